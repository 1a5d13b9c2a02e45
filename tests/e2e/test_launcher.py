"""The Linux launcher `velka`: its checks of the arguments, a default run against the
simulated board with an upload of an example, the TELNET port bridged to a TCP server, and
that nothing it started outlives it."""
import os
import re
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
    """Runs of the launcher in a data directory of its own, on the tests' X display."""

    @classmethod
    def setUpClass(cls):
        cls.display = session().display
        cls.data = Path(tempfile.mkdtemp(prefix="velka-launch-"))
        prefix = "prefix" if ARCH == "win32" else "prefix64"
        cls.prefix = cls.data / "velka" / prefix

    @classmethod
    def tearDownClass(cls):
        subprocess.run(["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=str(cls.prefix)),
                       capture_output=True, timeout=30)
        shutil.rmtree(cls.data, ignore_errors=True)

    def setUp(self):
        self.workdir = Path(tempfile.mkdtemp(prefix="velka-dir-"))
        self.addCleanup(shutil.rmtree, self.workdir, True)

    def launch(self, *args):
        env = dict(os.environ, XDG_DATA_HOME=str(self.data), DISPLAY=self.display,
                   VELKA_BUILD=str(BUILD))
        env.pop("LD_PRELOAD", None)
        self.err = open(self.workdir.with_suffix(".err"), "w+")
        self.addCleanup(self.err.close)
        self.proc = subprocess.Popen([str(LAUNCHER), "--dir", str(self.workdir), *args],
                                     env=env, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=self.err,
                                     start_new_session=True)
        self.addCleanup(h.end_process, self.proc)
        return self.proc

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

    def upload(self, window, path, key):
        """F2, the file's path typed in the Open box, then `key` (F3 or F4)."""
        h.send_keys(self.display, window, "F2")
        box = h.wait_for(lambda: h.xdotool(self.display, "search", "--onlyvisible", "--name",
                                           "^Open$").split(), 20, "the Open box", 0.3)
        h.type_text(self.display, box[0], "Z:" + str(path).replace("/", "\\"))
        h.send_keys(self.display, box[0], "Return")
        h.wait_for(lambda: not h.xdotool(self.display, "search", "--onlyvisible", "--name",
                                         "^Open$"), 20, "the Open box to close", 0.3)
        h.send_keys(self.display, window, key)

    def stop_and_check_cleanup(self, sig, code):
        """Signal the launcher: it must end with `code`, and take Wine and its helpers with
        it."""
        os.kill(self.proc.pid, sig)
        self.assertEqual(self.proc.wait(30), code)
        h.wait_for(lambda: not processes_mentioning(str(self.data)), 20,
                   "every process of the launcher's data directory to end")

    def test_default_run_is_a_terminal_on_the_simulated_board(self):
        self.launch()
        window = self.main_window()
        h.type_text(self.display, window, "1 2 +\r")
        self.screen_has("1 2 + ok")
        # The example program goes up through the file box and the handshake.
        h.send_keys(self.display, window, "F2")
        box = h.wait_for(lambda: h.xdotool(self.display, "search", "--onlyvisible", "--name",
                                           "^Open$").split(), 20, "the Open box", 0.3)
        path = "Z:" + str(h.REPO / "examples" / "blink.txt").replace("/", "\\")
        h.type_text(self.display, box[0], path)
        h.send_keys(self.display, box[0], "Return")
        time.sleep(1)
        h.send_keys(self.display, window, "F3")
        self.screen_has("Ready", timeout=60)
        self.err.seek(0)
        self.assertIn("simulated Nivor board", self.err.read())
        # Ctrl+C in the launcher's terminal.
        self.stop_and_check_cleanup(signal.SIGINT, 130)

    def test_the_default_board_runs_the_examples_in_forth(self):
        self.launch()
        window = self.main_window()
        h.type_text(self.display, window, "1 2 + .\r")
        self.screen_has("1 2 + . 3 ok")
        # The example defines blink; typed afterwards, it reports each change of the LED.
        self.upload(window, h.REPO / "examples" / "blink.txt", "F4")
        rows = [r for r in self.screen_has(" Ready", timeout=60) if r]
        self.assertEqual(rows[-2:], ["<10> 0 do  on wait  off wait  loop ;", " Ready"])
        h.type_text(self.display, window, "2 blink\r")
        rows = self.screen_has("2 blink", timeout=20)
        at = rows.index("2 blink")
        h.wait_for(lambda: " ok" in self.screen_has("2 blink")[at:], 20, "the answer to blink")
        self.assertEqual(self.screen_has("2 blink")[at:at + 6],
                         ["2 blink", "<LED on>", "<LED off>", "<LED on>", "<LED off>", " ok"])
        # A misspelt word on line 4 stops the upload there, with the board's answer shown once.
        source = self.workdir / "typo.txt"
        source.write_bytes(b"{ a misspelt word }\r\n: twice 2 * ;\r\n3 twice .\r\n"
                           b"4 twcie .\r\n5 twice .\r\n")
        self.upload(window, source, "F3")
        self.screen_has("Source Error in line <4> ", timeout=30)
        # The board's answer and the report are written by two threads, in either order.
        answer = "4 twcie . twcie ~ ?"
        rows = h.wait_for(lambda: (lambda rows: answer in "".join(rows) and rows)(
            [r for r in self.screen_has("<4>") if r]), 10, "the board's answer")
        self.assertEqual(sum(r.count(answer) for r in rows), 1, rows)
        self.assertIn("Source Error in line <4>", "".join(rows[-2:]))
        self.assertIn(answer, "".join(rows[-2:]))
        self.stop_and_check_cleanup(signal.SIGTERM, 143)

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
        source = self.workdir / "net.txt"
        source.write_bytes(b"1 .\r\n  2 .\r\n{ a comment }\r\n3 .\r\n")
        h.send_keys(self.display, window, "F2")
        box = h.wait_for(lambda: h.xdotool(self.display, "search", "--onlyvisible", "--name",
                                           "^Open$").split(), 20, "the Open box", 0.3)
        h.type_text(self.display, box[0], "Z:" + str(source).replace("/", "\\"))
        h.send_keys(self.display, box[0], "Return")
        time.sleep(1)
        h.send_keys(self.display, window, "F3")
        self.screen_has("Ready", timeout=60)
        self.assertEqual(bytes(got), b"t\r1 .\r2 .\r3 .\r")
        self.stop_and_check_cleanup(signal.SIGTERM, 143)


if __name__ == "__main__":
    unittest.main()
