"""velka-load's includes and its interactive session, end to end: files that include files,
uploaded from the command line to the simulated board; and a session at a real pty, its
screen read through a terminal emulator (pyte), with a board unplugged and plugged back
behind the same symlink, and the session's log."""
import os
import pty
import re
import select
import subprocess
import sys
import time
import unittest

try:
    import pyte
except ImportError:  # Debian's python3-pyte, where the python3 running this is another one
    sys.path.append("/usr/lib/python3/dist-packages")
    import pyte

from test_load import LOAD, LoadCase, h

STAMP = r"\d\d:\d\d:\d\d\.\d{3}"


class IncludeTest(LoadCase):
    def test_includes_from_the_command_line(self):
        # (name, files, status, bytes at the board, stderr has)
        cases = [
            ("nested", {"top.txt": "1 .\n#include a.txt\n4 .\n", "a.txt": "2 .\n#include b.txt\n",
                        "b.txt": "3 .\n"}, 0, b"1 .\r2 .\r3 .\r4 .\r", " Ready"),
            ("beside the including file first", {
                "top.txt": "#include sub/a.txt\n", "sub/a.txt": "#include b.txt\n",
                "sub/b.txt": "5 .\n", "b.txt": "wrong\n"}, 0, b"5 .\r", " Ready"),
            ("#require once", {"top.txt": "#require lib.txt\n#require lib.txt\n#include b.txt\n",
                               "b.txt": "#require lib.txt\n6 .\n", "lib.txt": "7 .\n"}, 0,
             b"7 .\r6 .\r", " Ready"),
            ("a cycle", {"top.txt": "1 .\n#include c.txt\n", "c.txt": "#include top.txt\n"}, 2,
             b"", "c.txt:1: cannot include top.txt: it includes this file (a cycle)\n"
                  "  included from top.txt:2\n"),
            ("a missing file", {"top.txt": "1 .\n#include gone.txt\n"}, 2, b"",
             "top.txt:2: cannot include gone.txt: No such file"),
            ("rejected two levels down", {"top.txt": "#include m.txt\n",
                                          "m.txt": "1 .\n#include d.txt\n", "d.txt": "2 .\nbad\n"},
             1, b"1 .\r2 .\rbad\r",
             "d.txt:2: bad ~ error\n  included from m.txt:2\n  included from top.txt:1\n"),
        ]
        for name, files, status, sent, said in cases:
            with self.subTest(name):
                board = self.board("--reject", "bad")
                case = self.dir / name.replace(" ", "_").replace("#", "")
                for path, text in files.items():
                    (case / path).parent.mkdir(parents=True, exist_ok=True)
                    (case / path).write_text(text)
                r = subprocess.run([*LOAD, "-d", board.slave, "top.txt"], cwd=case, timeout=60,
                                   stdin=subprocess.DEVNULL, capture_output=True)
                self.assertEqual(r.returncode, status, r.stderr)
                self.assertIn(said, r.stderr.decode())
                if sent:
                    board.wait_lines(sent.count(b"\r"))
                self.assertEqual(board.received(), sent)


class Screen:
    """velka-load at a pty of its own, its output kept on a pyte screen."""

    def __init__(self, args, cwd, env):
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            os.chdir(cwd)
            os.execve(LOAD[0], [*LOAD, *args], {**os.environ, **env})
        self.screen = pyte.Screen(100, 40)
        self.stream = pyte.ByteStream(self.screen)

    def pump(self, seconds):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            ready, _, _ = select.select([self.fd], [], [], 0.05)
            if ready:
                try:
                    self.stream.feed(os.read(self.fd, 4096))
                except OSError:
                    return

    def rows(self):
        return [row.rstrip() for row in self.screen.display]

    def wait(self, text, count=1, timeout=15):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if "\n".join(self.rows()).count(text) >= count:
                return
            self.pump(0.05)
        raise AssertionError("%r not shown %d times:\n%s" % (text, count, "\n".join(self.rows())))

    def type(self, keys):
        os.write(self.fd, keys)

    def end(self):
        _, status = os.waitpid(self.pid, 0)
        os.close(self.fd)
        return os.waitstatus_to_exitcode(status)


class SessionTest(LoadCase):
    def test_a_session_with_includes_recall_an_unplug_and_a_log(self):
        link = self.dir / "board"
        (self.dir / "app.txt").write_text(": sq dup * ;\n")
        (self.dir / "bad.txt").write_text("1 .\n3 cuve .\n")
        self.boards.append(h.Board(link, ["--forth"], workdir=self.dir))
        s = Screen(["-i", "-d", str(link), "-l", "session.log"], self.dir,
                   {"XDG_STATE_HOME": str(self.dir / "state")})
        s.wait("Ctrl-] ends")
        s.type(b"1 2 + .\r")
        s.wait(" 3 ok")
        # The board echoes the line: shown once, its answer after it on the same row.
        self.assertIn("1 2 + . 3 ok", s.rows())
        s.type(b"#include bad.txt\r")
        s.wait("bad.txt:2: 3 cuve . cuve ~ ?")  # the board echoes, then answers
        s.type(b"#include app.txt\r")
        s.wait(" Ready")
        s.type(b"#require app.txt\r")  # typed as in a file: once is enough
        s.wait("app.txt went up already (#require)")
        s.type(b"3 sq .\r")
        s.wait("3 sq . 9 ok")
        s.type(b"\x1b[A\r")  # Up: the last line again
        s.wait("3 sq . 9 ok", count=2)

        self.boards[0].stop()
        s.wait("waiting for it to come back")
        self.boards.append(h.Board(link, ["--forth"], workdir=self.dir))
        s.wait("is back")
        s.type(b"2 3 * .\r")
        s.wait("2 3 * . 6 ok")
        s.type(b"\x1d")
        self.assertEqual(s.end(), 0, "\n".join(s.rows()))

        log = (self.dir / "session.log").read_text().splitlines()
        self.assertTrue(all(re.match(STAMP + " [<>*] ", line) for line in log), log)
        said = [line[13:] for line in log]
        for entry in ["> 1 2 + .", "< 1 2 + . 3 ok", "* upload of bad.txt started",
                      "* upload of bad.txt stopped: a line rejected at bad.txt:2",
                      "> : sq dup * ;", "* upload of app.txt went up; lines sent: 1",
                      "< 2 3 * . 6 ok", "* back: " + str(link)]:
            self.assertIn(entry, said)
        self.assertTrue(any(x.startswith("* unplugged: ") for x in said), said)
        stamps = [line[:12] for line in log]
        self.assertEqual(stamps, sorted(stamps))  # in order, to the millisecond
        self.assertTrue((self.dir / "state" / "velka" / "history").is_file())


if __name__ == "__main__":
    unittest.main()
