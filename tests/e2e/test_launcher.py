"""The Linux launcher `velka`: its checks of the arguments, runs in a pseudo-terminal against
the simulated board and through the TELNET bridge with uploads of files picked by drive
letter, and every way a run ends: quietly, promptly, and with nothing left running."""
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest
from pathlib import Path

from common import ARCH, BUILD, SCREENREAD, TITLE, h, session, settings_file

LAUNCHER = h.REPO / "velka"


def processes_mentioning(text):
    """Pids of the processes whose command line or environment holds `text`."""
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit() or int(pid) == os.getpid():
            continue
        try:
            blob = Path("/proc", pid, "cmdline").read_bytes() + Path("/proc", pid,
                                                                     "environ").read_bytes()
        except OSError:
            continue
        if text.encode() in blob:
            found.append(int(pid))
    return found


class LauncherArgumentsTest(unittest.TestCase):
    CASES = [
        (["--com1", "/nonexistent/ttyUSB9"], "/nonexistent/ttyUSB9"),
        (["--com1"], "needs a device"),
        (["--com5", "/dev/null"], "--com5"),
        (["--telnet", "nohost"], "HOST:PORT"),
        (["--telnet", "host:99999"], "HOST:PORT"),
        (["--telnet", ":23"], "HOST:PORT"),
        (["--dir"], "needs a directory"),
        (["--bogus"], "--bogus"),
    ]

    def test_bad_arguments_are_refused_before_wine_starts(self):
        data = tempfile.mkdtemp(prefix="velka-args-")
        self.addCleanup(shutil.rmtree, data, True)
        for args, hint in self.CASES:
            with self.subTest(args=args):
                run = subprocess.run([str(LAUNCHER), *args], capture_output=True, text=True,
                                     timeout=30, stdin=subprocess.DEVNULL,
                                     env=dict(os.environ, XDG_DATA_HOME=data))
                self.assertEqual(run.returncode, 2, run.stderr)
                self.assertIn(hint, run.stderr)
                self.assertFalse(os.path.exists(os.path.join(data, "velka", "prefix")))

    def test_help_exits_cleanly(self):
        run = subprocess.run([str(LAUNCHER), "--help"], capture_output=True, text=True,
                             timeout=30)
        self.assertEqual(run.returncode, 0)
        self.assertIn("--telnet HOST:PORT", run.stdout)


class LauncherRunTest(unittest.TestCase):
    """Runs of the launcher in a data directory of its own, on the tests' X display, each in
    a pseudo-terminal whose session it leads, as under a shell: a Ctrl+C typed there reaches
    its whole foreground process group, and closing the terminal hangs it up."""

    @classmethod
    def setUpClass(cls):
        cls.display = session().display
        cls.data = Path(tempfile.mkdtemp(prefix="velka-launch-"))
        prefix = "prefix" if ARCH == "win32" else "prefix64"
        cls.prefix = cls.data / "velka" / prefix
        cls.home = cls.data / "home"  # H: in the file box
        cls.home.mkdir()

    @classmethod
    def tearDownClass(cls):
        subprocess.run(["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=str(cls.prefix)),
                       capture_output=True, timeout=30)
        shutil.rmtree(cls.data, ignore_errors=True)

    def setUp(self):
        self.workdir = Path(tempfile.mkdtemp(prefix="velka-dir-"))
        self.addCleanup(shutil.rmtree, self.workdir, True)
        self.startdir = self.workdir / "start"  # W: in the file box
        self.startdir.mkdir()

    def launch(self, *args):
        env = dict(os.environ, XDG_DATA_HOME=str(self.data), DISPLAY=self.display,
                   VELKA_BUILD=str(BUILD), HOME=str(self.home))
        env.pop("LD_PRELOAD", None)
        self.terminal, slave = os.openpty()
        self.output = bytearray()
        self.hung_up = threading.Event()  # the reader stops: the terminal is to be closed
        self.released = threading.Event()  # no process holds the terminal any more
        self.proc = subprocess.Popen(["setsid", "--ctty", str(LAUNCHER), "--dir",
                                      str(self.workdir), *args],
                                     env=env, cwd=self.startdir, stdin=slave, stdout=slave,
                                     stderr=slave)
        os.close(slave)
        self.reader = threading.Thread(target=self.read_terminal, daemon=True)
        self.reader.start()
        self.addCleanup(self.close_terminal)
        self.addCleanup(h.end_process, self.proc)
        return self.proc

    def read_terminal(self):
        while not self.hung_up.is_set():
            if select.select([self.terminal], [], [], 0.05)[0]:
                try:
                    chunk = os.read(self.terminal, 4096)
                except OSError:  # EIO: every holder of the other side has closed it
                    chunk = b""
                if not chunk:
                    self.released.set()
                    return
                self.output.extend(chunk)

    def close_terminal(self):
        self.hung_up.set()
        self.reader.join()
        if self.terminal is not None:
            os.close(self.terminal)
            self.terminal = None

    def main_window(self):
        def search():
            ids = h.xdotool(self.display, "search", "--onlyvisible", "--name",
                            "^%s$" % re.escape(TITLE)).split()
            return ids[0] if ids else None

        return h.wait_for(search, 180, "the main window (prefix made on first use)", 0.5)

    def screen_has(self, text, timeout=20):
        """Wait until a row of the screen holds `text`; the rows, trailing blanks removed."""
        env = dict(os.environ, WINEPREFIX=str(self.prefix), DISPLAY=self.display,
                   **h.WINE_ENV)
        wine = [h.WINE64_LOADER] if ARCH == "win64" else ["wine"]
        if ARCH == "win64":
            env["WINELOADER"] = h.WINE64_LOADER
        run = subprocess.run([*wine, str(SCREENREAD), "--wait", text, "--timeout",
                              str(timeout)], env=env, capture_output=True, text=True,
                             timeout=timeout + 60)
        self.assertEqual(run.returncode, 0, "%r not shown:\n%s%s" % (text, run.stdout,
                                                                     run.stderr))
        return [row.rstrip() for row in run.stdout.splitlines()[:30]]

    def upload(self, window, path, key="F3"):
        """F2, the file's Windows path typed into the Open box as a user does, then `key`
        (F3 or F4)."""
        h.send_keys(self.display, window, "F2")
        box = h.wait_for(lambda: h.xdotool(self.display, "search", "--onlyvisible", "--name",
                                           "^Open$").split(), 20, "the Open box", 0.3)
        h.type_text(self.display, box[0], path)
        h.send_keys(self.display, box[0], "Return")
        h.wait_for(lambda: not h.xdotool(self.display, "search", "--onlyvisible", "--name",
                                         "^Open$"), 10, "the Open box to close (%s)" % path,
                   0.3)
        h.send_keys(self.display, window, key)

    def end(self, how, code, seconds, window=None):
        """End the launcher `how` a user does; it must exit with `code` within `seconds`,
        print at most one line of its own, and leave no process and no holder of its
        terminal behind."""
        if how == "Ctrl+C, the board unplugged":  # its pty hangs up under Wine
            for pid in processes_mentioning(str(self.data)):
                if b"nivorsim" in Path("/proc", str(pid), "cmdline").read_bytes():
                    os.kill(pid, signal.SIGKILL)
            time.sleep(1)
        start = len(self.output)
        if how.startswith("Ctrl+C"):
            os.write(self.terminal, b"\x03")
        elif how == "SIGTERM":
            os.kill(self.proc.pid, signal.SIGTERM)
        elif how == "terminal closed":
            self.close_terminal()
        elif how == "Alt+F4 and OK":
            h.send_keys(self.display, window, "alt+F4")
            box = h.wait_for(lambda: h.xdotool(self.display, "search", "--onlyvisible",
                                               "--name", "^Really\\?$").split(), 20,
                             "the Really? box", 0.2)
            start = len(self.output)
            h.send_keys(self.display, box[0], "Return")
        t0 = time.monotonic()
        self.assertEqual(self.proc.wait(30), code)
        took = time.monotonic() - t0
        self.assertLessEqual(took, seconds, "%s: the prompt came back after %.2f s" %
                             (how, took))
        h.wait_for(lambda: not processes_mentioning(str(self.data)), 1,
                   "every process of the launcher's data directory to end")
        if how != "terminal closed":
            self.assertTrue(self.released.wait(2), "a process still holds the terminal")
            said = bytes(self.output[start:]).replace(b"^C", b"").split(b"\n")
            said = [line.strip(b"\r ") for line in said if line.strip(b"\r ")]
            self.assertLessEqual(len(said), 1, said)
        # Whatever was printed came from the launcher, not from Wine.
        for line in bytes(self.output).replace(b"^C", b"").splitlines():
            if line.strip(b"\r "):
                self.assertTrue(line.lstrip(b"\r").startswith(b"velka: "), line)

    def test_default_run_is_a_terminal_on_the_simulated_board(self):
        # A source from the home folder, outside the working and the start directory.
        (self.home / "src").mkdir(exist_ok=True)
        shutil.copy(h.REPO / "examples" / "blink.txt", self.home / "src" / "blink.txt")
        self.launch()
        window = self.main_window()
        h.type_text(self.display, window, "1 2 +\r")
        self.screen_has("1 2 + ok")
        self.upload(window, r"H:\src\blink.txt")
        self.screen_has("Ready", timeout=60)
        self.assertIn(b"simulated Nivor board", self.output)
        self.end("Ctrl+C", 130, 2.0)

    def fresh_data(self):
        """A data folder and a home of this test's own, as on a user's first run: the prefix
        is made on the way, and Wine starts in it for the first time."""
        self.data = Path(tempfile.mkdtemp(prefix="velka-fresh-"))
        self.addCleanup(shutil.rmtree, self.data, True)
        self.prefix = self.data / "velka" / self.prefix.name
        self.addCleanup(subprocess.run, ["wineserver", "-k"], capture_output=True, timeout=30,
                        env=dict(os.environ, WINEPREFIX=str(self.prefix)))
        self.home = self.data / "home"
        self.home.mkdir()

    def test_endings_on_first_runs(self):
        for how, code, seconds in [("Ctrl+C", 130, 2.0), ("SIGTERM", 143, 2.0),
                                   ("terminal closed", 129, 2.0),
                                   ("Ctrl+C, the board unplugged", 130, 2.0),
                                   ("Alt+F4 and OK", 0, 1.5)]:
            with self.subTest(how=how):
                self.fresh_data()
                self.launch()
                self.end(how, code, seconds, self.main_window())

    def test_the_default_board_runs_the_examples_in_forth(self):
        self.launch()
        window = self.main_window()
        h.type_text(self.display, window, "1 2 + .\r")
        self.screen_has("1 2 + . 3 ok")
        # The example defines blink; typed afterwards, it reports each change of the LED.
        self.upload(window, "Z:" + str(h.REPO / "examples" / "blink.txt").replace("/", "\\"),
                    "F4")
        rows = [r for r in self.screen_has(" Ready", timeout=60) if r]
        self.assertEqual(rows[-2:], ["<10> 0 do  on wait  off wait  loop ;", " Ready"])
        h.type_text(self.display, window, "2 blink\r")
        rows = self.screen_has("2 blink", timeout=20)
        at = rows.index("2 blink")
        h.wait_for(lambda: " ok" in self.screen_has("2 blink")[at:], 20, "the answer to blink")
        self.assertEqual(self.screen_has("2 blink")[at:at + 6],
                         ["2 blink", "<LED on>", "<LED off>", "<LED on>", "<LED off>", " ok"])
        # A misspelt word on line 4 stops the upload there, with the board's answer shown once.
        source = self.startdir / "typo.txt"
        source.write_bytes(b"{ a misspelt word }\r\n: twice 2 * ;\r\n3 twice .\r\n"
                           b"4 twcie .\r\n5 twice .\r\n")
        self.upload(window, r"W:\typo.txt", "F3")
        self.screen_has("Source Error in line <4> ", timeout=30)
        # The board's answer and the report are written by two threads, in either order.
        answer = "4 twcie . twcie ~ ?"
        rows = h.wait_for(lambda: (lambda rows: answer in "".join(rows) and rows)(
            [r for r in self.screen_has("<4>") if r]), 10, "the board's answer")
        self.assertEqual(sum(r.count(answer) for r in rows), 1, rows)
        self.assertIn("Source Error in line <4>", "".join(rows[-2:]))
        self.assertIn(answer, "".join(rows[-2:]))
        self.end("SIGTERM", 143, 2.0)

    def test_telnet_port_is_carried_over_tcp(self):
        server = socket.socket()
        server.bind(("127.0.0.1", 0))
        server.listen(1)
        server.settimeout(120)
        self.addCleanup(server.close)
        got = bytearray()
        ready = threading.Event()

        def serve():
            """A network serial server with a board behind it: echoes, answers each CR."""
            try:
                conn, _ = server.accept()
            except OSError:
                return
            with conn:
                ready.set()
                conn.settimeout(120)
                while True:
                    try:
                        chunk = conn.recv(100)
                    except OSError:
                        return
                    if not chunk:
                        return
                    got.extend(chunk)
                    conn.sendall(chunk.replace(b"\r", b" ok\r"))

        threading.Thread(target=serve, daemon=True).start()
        # Port 5 of the settings is the TELNET device.
        (self.workdir / "VELKA.SET").write_bytes(settings_file(port=5))
        self.launch("--telnet", "127.0.0.1:%d" % server.getsockname()[1])
        window = self.main_window()
        self.assertTrue(ready.wait(30), "Velka never connected through the bridge")
        h.type_text(self.display, window, "t\r")
        h.wait_for(lambda: bytes(got) == b"t\r", 20, "the keys at the TCP server")
        self.screen_has("t ok")
        # A source from the folder velka was started in.
        (self.startdir / "net.txt").write_bytes(b"1 .\r\n  2 .\r\n{ a comment }\r\n3 .\r\n")
        self.upload(window, r"W:\net.txt")
        self.screen_has("Ready", timeout=60)
        self.assertEqual(bytes(got), b"t\r1 .\r2 .\r3 .\r")
        self.end("SIGTERM", 143, 2.0)


if __name__ == "__main__":
    unittest.main()
