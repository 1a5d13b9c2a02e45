"""velka-load end to end: the real program against the simulated board on a pty (or a small
TCP server as a network serial server), run as a script or a user runs it, its exit status
and messages read as they would be. VELKA_LOAD names the program, possibly behind an
emulator (e.g. "qemu-aarch64 build/arm64/velka-load", with Debian's arm64 libraries
installed through multiarch)."""
import os
import pty
import shlex
import socket
import subprocess
import sys
import tempfile
import termios
import threading
import time
import unittest
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tests" / "e2e"))
import harness as h  # noqa: E402  (the simulated board and its control socket)

LOAD = shlex.split(os.environ.get("VELKA_LOAD", str(REPO / "build" / "host" / "velka-load")))

# A source as a Linux editor saves it: LF line ends, tab-aligned, with comments and a
# suppressed region; and what the board must receive from it.
TABBED = (b"{ squares }\n"
          b"  : sq\tdup * ;\t\t\\ n -- n*n\n"
          b"\n"
          b"3\t{ three } sq .\n"
          b"{ ###\n"
          b"not sent\n"
          b"{ >>>\n"
          b"\t7 sq .\n")
TABBED_SENT = b": sq dup * ;  \\ n -- n*n\r3   sq .\r7 sq .\r"


def numbered(count, end=b"\n"):
    return b"".join(b"%d ." % n + end for n in range(1, count + 1))


# What reaches the board and how it ends, for velka-load and velka-load.exe alike:
# (name, board options, files, extra args, status, bytes at the board, stderr has)
UPLOAD_CASES = [
    ("LF, tabs, comments", (), [TABBED], (), 0, TABBED_SENT, "src0.txt: Loading  Ready"),
    ("CR LF gives the same bytes", (), [TABBED.replace(b"\n", b"\r\n")], (), 0,
     TABBED_SENT, " Ready"),
    ("a dot every ten lines", (), [numbered(25)], (), 0,
     numbered(25, b"\r"), "src0.txt: Loading ... Ready"),
    ("a rejected line stops every file", ("--reject", "bad"),
     [b"1 .\n\n3 .\nbad\n5 .\n", b"6 .\n"], (), 1, b"1 .\r3 .\rbad\r",
     "src0.txt:4: bad ~ error\n"),
    # As in Velka: the cut 81 characters go out, and the board waits for their CR.
    ("a cut line is named and goes out", (), [b"x" * 85 + b"\ny\n"], ("-t", "0.5"), 3,
     b"x" * 81, "src0.txt:1: Max # of Char/Line exceeded!\nsrc0.txt:1: no answer"),
    ("a silent board", ("--silent-after", "2"), [numbered(5)], ("-t", "0.5"), 3,
     numbered(3, b"\r"), "src0.txt:3: no answer from the board in 0.5 s\n"),
    ("a pause with no terminal goes on", (), [b"1 .\n{ kkk\n3 .\n"], (), 0,
     b"1 .\r3 .\r", "src0.txt:2: pause ({ kkk) passed over: no terminal"),
    # Line numbers past 65 535 are counted as they are.
    ("a line past 65 535", ("--reject", "bad"), [b"\n" * 70000 + b"bad\n"], (), 1, b"bad\r",
     "src0.txt:70001: bad ~ error\n"),
]


class LoadCase(unittest.TestCase):
    def setUp(self):
        self.dir = Path(tempfile.mkdtemp(prefix="velka-load-"))
        self.boards = []

    def tearDown(self):
        for b in self.boards:
            b.stop()

    def board(self, *options):
        b = h.Board(self.dir / ("pty%d" % len(self.boards)), options, workdir=self.dir)
        self.boards.append(b)
        return b

    def source(self, content, name="src.txt"):
        (self.dir / name).write_bytes(content)
        return name

    def run_load(self, *args, timeout=60, env=None):
        return subprocess.run([*LOAD, *args], cwd=self.dir, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=timeout,
                              env={**os.environ, **(env or {})})

    def start_load(self, *args):
        return subprocess.Popen([*LOAD, *args], cwd=self.dir, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)


class UploadTest(LoadCase):
    def test_what_reaches_the_board_and_how_it_ends(self):
        for name, options, files, extra, status, sent, said in UPLOAD_CASES:
            with self.subTest(name):
                board = self.board(*options)
                # A banner queued before the upload is no answer: were it taken for the
                # first line's, its "~" would reject that line.
                board.send(b"Nivor ~ ready\r")
                h.wait_for(lambda: board.command(drained=None)["unsent"] == 0, 5, "the banner")
                names = [self.source(f, "src%d.txt" % i) for i, f in enumerate(files)]
                r = self.run_load("-d", board.slave, *extra, *names)
                err = r.stderr.decode()
                self.assertEqual(r.returncode, status, err)
                self.assertIn(said, err)
                h.wait_for(lambda: len(board.lines()) >= sent.count(b"\r"), 5, "the lines")
                self.assertEqual(board.received(), sent)

    def test_visible_shows_each_line_numbered_with_its_answer(self):
        board = self.board()
        r = self.run_load("-v", "-d", board.slave, self.source(b"{ c }\n1 .\n\n2 .\n"))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout.decode().splitlines(),
                         ["<2> 1 .", "    1 . ok", "<4> 2 .", "    2 . ok"])
        # A cut line shows as it goes: all 81 characters.
        r = self.run_load("-v", "-t", "0.3", "-d", board.slave, self.source(b"y" * 90 + b"\n"))
        self.assertEqual(r.stdout.decode().splitlines()[0], "<1> " + "y" * 81)

    def test_the_simulated_board(self):
        r = self.run_load("--sim", str(REPO / "examples" / "blink.txt"), timeout=30)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(r.stderr.decode().endswith(" Ready\n"), r.stderr)

    def test_a_network_serial_server(self):
        got = bytearray()
        server = socket.create_server(("127.0.0.1", 0))
        port = server.getsockname()[1]

        def serve():  # a greeting first (no answer), then " ok" and CR for each line
            conn, _ = server.accept()
            with conn:
                conn.sendall(b"welcome ~\r")
                while True:
                    data = conn.recv(100)
                    if not data:
                        return
                    got.extend(data)
                    conn.sendall(b" ok\r" * data.count(b"\r"))
        t = threading.Thread(target=serve, daemon=True)
        t.start()
        r = self.run_load("-d", "127.0.0.1:%d" % port, self.source(numbered(3)))
        t.join(5)
        server.close()
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(bytes(got), numbered(3, b"\r"))

    def test_servers_that_talk_on_or_stop_reading(self):
        def chatter(conn):  # talks all the time; answers lines too
            conn.setblocking(False)
            while True:
                try:
                    data = conn.recv(100)
                    if not data:
                        return
                    conn.sendall(b" ok\r" * data.count(b"\r") + b"news\r")
                except BlockingIOError:
                    conn.sendall(b"news\r")
                time.sleep(0.01)

        def serve_quietly(serve, conn):
            try:
                with conn:
                    serve(conn)
            except OSError:
                pass  # the client has gone

        server = socket.create_server(("127.0.0.1", 0))
        threading.Thread(target=lambda: serve_quietly(chatter, server.accept()[0]),
                         daemon=True).start()
        r = self.run_load("-d", "127.0.0.1:%d" % server.getsockname()[1],
                          self.source(numbered(20)), timeout=30)
        server.close()
        self.assertEqual(r.returncode, 0, r.stderr)

        # A far end that answers lines it never takes: the line fills, and -t ends the write.
        master, slave = pty.openpty()
        self.addCleanup(os.close, master)
        self.addCleanup(os.close, slave)
        p = self.start_load("-t", "1", "-d", os.ttyname(slave),
                            self.source((b"y" * 79 + b"\n") * 5000))
        deadline = time.monotonic() + 20
        while p.poll() is None and time.monotonic() < deadline:
            os.write(master, b" ok\r")
            time.sleep(0.001)
        p.kill()
        self.assertEqual(p.wait(), 3)
        self.assertIn("the line took nothing more in 1 s", p.stderr.read().decode())

    def test_a_keyboard_that_fails_ends_the_terminal_with_trouble(self):
        board = self.board()
        keys = os.open(self.dir, os.O_RDONLY)  # ready to read, and every read fails
        self.addCleanup(os.close, keys)
        r = subprocess.run([*LOAD, "-i", "-d", board.slave], stdin=keys, cwd=self.dir,
                           capture_output=True, timeout=30)
        self.assertEqual(r.returncode, 2, r.stderr)
        self.assertIn("the keyboard: Is a directory", r.stderr.decode())

    def test_the_board_unplugged_mid_upload(self):
        board = self.board("--delay", "300")
        p = self.start_load("-d", board.slave, self.source(numbered(20)))
        board.wait_lines(3)
        board.vanish()
        _, err = p.communicate(timeout=20)
        self.assertEqual(p.returncode, 2, err)
        self.assertRegex(err.decode(), r"src.txt:[34]: .*(hung up|Input/output error)")


class RefusedTest(LoadCase):
    def test_bad_input_is_refused_before_anything_is_sent(self):
        board = self.board()
        good = self.source(numbered(2))
        os.mkdir(self.dir / "adir")
        listener = socket.create_server(("127.0.0.1", 0))
        closed_port = listener.getsockname()[1]
        listener.close()
        # (args, what the one line says)
        cases = [
            (("-d", board.slave, good, "missing.txt"), "missing.txt: No such file"),
            (("-d", board.slave, good, "adir"), "adir: is a directory"),
            (("-d", board.slave, "-b", "12345", good), "unknown rate 12345"),
            (("-d", board.slave, "-b", "4294986496", good), "unknown rate 4294986496"),
            (("-d", board.slave, "-t", "soon", good), "--timeout wants seconds"),
            (("-d", "/dev/null", good), "/dev/null is not a serial device"),
            (("-d", str(self.dir / "ttyNone"), good), "ttyNone: no such device"),
            (("-d", "127.0.0.1:%d" % closed_port, good), "Connection refused"),
            (("-d", board.slave), "no source file named"),
        ]
        for args, said in cases:
            with self.subTest(args=args):
                r = self.run_load(*args)
                lines = r.stderr.decode().splitlines()
                self.assertEqual(r.returncode, 2, lines)
                self.assertEqual(len(lines), 1, lines)
                self.assertIn(said, lines[0])
        self.assertEqual(board.received(), b"")

    def test_a_busy_device_is_refused_and_the_first_upload_goes_on(self):
        board = self.board("--delay", "200")
        (self.dir / "VELKA.SET").write_bytes(bytes([1, 48, 1, 1, 0, 0, 0, 14]) + b"Courier New\0")
        first = self.start_load("-d", board.slave, self.source(numbered(6)))
        board.wait_lines(1)
        self.assertEqual(board.speed(), 115200)  # the rate saved in VELKA.SET
        r = self.run_load("-d", board.slave, self.source(b"intruder\n", "other.txt"))
        self.assertEqual(r.returncode, 2)
        self.assertIn("in use by another program", r.stderr.decode())
        _, err = first.communicate(timeout=30)
        self.assertEqual(first.returncode, 0, err)
        self.assertEqual(board.received(), numbered(6, b"\r"))

    def test_no_device_named_lists_those_present(self):
        root = self.dir / "root"
        usb = root / "sys/devices/pci0/usb1/1-1"
        (usb / "1-1:1.0/ttyUSB0").mkdir(parents=True)
        (usb / "product").write_text("FT232R USB UART\n")
        (usb / "manufacturer").write_text("FTDI\n")
        tty = root / "sys/class/tty/ttyUSB0"
        tty.mkdir(parents=True)
        (tty / "device").symlink_to(usb / "1-1:1.0")
        (root / "sys/class/tty/ttyS0").mkdir()  # no UART behind it: not listed
        (root / "dev/serial/by-id").mkdir(parents=True)
        (root / "dev/serial/by-id/usb-FTDI_FT232R-if00").symlink_to("../../ttyUSB0")
        (root / "dev/ttyUSB0").touch()
        env = {"VELKA_SYS_ROOT": str(root)}
        env_no_device = {k: v for k, v in os.environ.items() if k != "VELKA_DEVICE"}
        r = subprocess.run([*LOAD, self.source(numbered(1))], cwd=self.dir, capture_output=True,
                           env={**env_no_device, **env}, timeout=30)
        self.assertEqual(r.returncode, 2)
        self.assertEqual(r.stderr.decode().splitlines(), [
            "velka-load: no device named: give -d DEVICE, or set VELKA_DEVICE",
            "Serial devices present:",
            "  /dev/ttyUSB0  FTDI FT232R USB UART",
            "      /dev/serial/by-id/usb-FTDI_FT232R-if00",
            "Without a board: velka-load --sim FILE... uploads to the simulated one."])


class TerminalTest(LoadCase):
    """Through a real pty, as a user at a terminal: keys typed, Ctrl+C, Ctrl-]."""

    def run_in_pty(self, args, keys, wait_for):
        pid, master = pty.fork()
        if pid == 0:
            os.chdir(self.dir)
            os.execvp(LOAD[0], [*LOAD, *args])
        before = termios.tcgetattr(master)
        out = b""
        deadline = time.monotonic() + 30
        for key, text in zip(keys, wait_for):
            while text.encode() not in out and time.monotonic() < deadline:
                out += self.read_some(master)
            self.assertIn(text.encode(), out)
            os.write(master, key)
        while time.monotonic() < deadline:
            chunk = self.read_some(master)
            if chunk is None:
                break
            out += chunk
        _, status = os.waitpid(pid, 0)
        after = termios.tcgetattr(master)
        os.close(master)
        return os.waitstatus_to_exitcode(status), out.decode(errors="replace"), before, after

    @staticmethod
    def read_some(fd):
        import select
        ready, _, _ = select.select([fd], [], [], 0.2)
        if not ready:
            return b""
        try:
            return os.read(fd, 4096) or None
        except OSError:  # the child has ended and closed its side
            return None

    def test_ctrl_c_and_ctrl_bracket_end_it_with_the_terminal_restored(self):
        slow = self.board("--delay", "1000")
        self.source(numbered(10))
        board = self.board()
        # (args, keys, each typed once the text before it is shown, status, shown at the end)
        cases = [
            (("-d", slow.slave, "src.txt"), [b"\x03"], ["of 10 lines sent"], 130,
             "src.txt:1: interrupted"),
            (("-i", "-d", board.slave), [b"1 2 + .\r", b"\x1d"], ["Ctrl-] ends", " ok\r\n"], 0,
             "1 2 + . ok"),
            (("-i", "-d", board.slave), [b"\x03"], ["Ctrl-] ends"], 130, ""),
        ]
        for args, keys, shown, status, said in cases:
            with self.subTest(args=args, keys=keys):
                code, out, before, after = self.run_in_pty(args, keys, shown)
                self.assertEqual(code, status, out)
                self.assertIn(said, out)
                self.assertEqual(before, after)


if __name__ == "__main__":
    unittest.main()
