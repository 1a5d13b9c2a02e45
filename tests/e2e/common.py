"""What every Wine test shares: one Xvfb and Wine prefix for the whole run, Velka started in a
fresh working directory per test, and readers of its screen (screenread.exe) and of its
message boxes. Velka is a 32-bit program; on a kernel that cannot run 32-bit code the tests
run the 64-bit build of the same sources in a 64-bit prefix, and say so once."""
import atexit
import os
import re
import subprocess
import sys
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import harness as h  # noqa: E402

BUILD = Path(os.environ.get("VELKA_BUILD", h.REPO / "build")).resolve()
# VELKA_ARCH=win64 takes the 64-bit build on a kernel that runs 32-bit code too.
ARCH = os.environ.get("VELKA_ARCH") or ("win32" if h.i386_runs() else "win64")
MINGW = BUILD / ("mingw" if ARCH == "win32" else "mingw64")
EXE = MINGW / "Velka.exe"
SCREENREAD = MINGW / "tools" / "screenread" / "screenread.exe"
TITLE = "Velka v3.3"
ROWS, COLS = 30, 80

_session = None


def session():
    """The run's one Session, made at first use and closed when the interpreter exits."""
    global _session
    if _session is None:
        if ARCH == "win64":
            sys.stderr.write("note: this kernel cannot run 32-bit programs; the Wine tests "
                             "run the 64-bit build %s\n" % EXE)
        for need in (EXE, SCREENREAD):
            if not need.is_file():
                raise FileNotFoundError("%s is missing: build it first" % need)
        _session = h.Session(BUILD / "host", ARCH)
        # VELKA_E2E_KEEP=1 keeps the session's files (logs, prefix) for a look afterwards.
        atexit.register(_session.close, keep=bool(os.environ.get("VELKA_E2E_KEEP")))
    return _session


def settings_file(port=1, baud=19200, new_line=1, auto_wrap=1, local_echo=0, hex_print=0,
                  height=14, face="Courier New"):
    """Bytes of a VELKA.SET as Velka writes it: port, baud in units of 2400, the options,
    the font height and the 0-terminated face name."""
    return bytes([port, baud // 2400, new_line, auto_wrap, 0, local_echo, hex_print,
                  height & 0xFF]) + face.encode() + b"\0"


class VelkaCase(unittest.TestCase):
    """A test that runs Velka; everything it starts ends with the test."""

    def setUp(self):
        self.s = session()
        self.addCleanup(self.s.end_test)
        self.display = self.s.display
        self.dir = self.s.test_dir

    # -- starting ---------------------------------------------------------------------------
    def start(self, *board_options, port="COM1", board=True, settings=None):
        """Velka in this test's directory, with a simulated board on `port` unless board is
        false; returns the board (or None). settings: bytes written as VELKA.SET first."""
        if settings is not None:
            (self.dir / "VELKA.SET").write_bytes(settings)
        self.board = self.s.start_board(port, *board_options) if board else None
        self.velka = self.s.run(EXE)
        self.window = None
        try:
            h.find_window(self.display, "^%s$" % re.escape(TITLE), timeout=60)
        except TimeoutError:
            self.fail("no Velka window: exit code %s, Xvfb %s, stderr:\n%s" %
                      (self.velka.proc.poll(),
                       "running" if self.s.xvfb.proc.poll() is None else "gone",
                       self.velka.stderr_path.read_text(errors="replace")[-3000:]))
        return self.board

    def windows(self, title):
        """X ids of the visible windows titled exactly `title`, largest first."""
        ids = h.xdotool(self.display, "search", "--onlyvisible", "--name",
                        "^%s$" % re.escape(title)).split()
        return sorted(ids, key=lambda w: -self.area(w))

    def area(self, window):
        size = re.search(r"Geometry: (\d+)x(\d+)",
                         h.xdotool(self.display, "getwindowgeometry", window))
        return int(size.group(1)) * int(size.group(2)) if size else 0

    @property
    def window(self):
        """The main window: the largest one titled like it (its message boxes are too)."""
        if self._window is None:
            ids = h.wait_for(lambda: self.windows(TITLE), 60, "the main window", interval=0.2)
            self._window = ids[0]
        return self._window

    @window.setter
    def window(self, value):
        self._window = value

    def keys(self, *keys, window=None):
        h.send_keys(self.display, window or self.window, *keys)

    def type(self, text):
        h.type_text(self.display, self.window, text)

    def menu(self, *keys):
        """Choose a menu item with Alt and the item's letters, e.g. menu("f", "d")."""
        self.keys("alt+" + keys[0], *keys[1:])

    # -- reading ----------------------------------------------------------------------------
    def read(self, *args, timeout=30):
        run = subprocess.run([*self.s.prefix.wine, str(SCREENREAD), *args],
                             env=self.s.prefix.env(self.display), stdin=subprocess.DEVNULL,
                             capture_output=True, text=True, errors="replace",
                             timeout=timeout)
        return run.returncode, run.stdout, run.stderr

    def screen(self, wait=None, timeout=10):
        """The 30 rows Velka shows; with `wait`, read until a row holds it (the test fails
        when none does within `timeout` seconds)."""
        args = ["--wait", wait, "--timeout", str(timeout)] if wait else []
        code, out, err = self.read(*args, timeout=timeout + 30)
        rows = out.splitlines()[:ROWS]
        if wait and code != 0:
            self.fail("%r not on the screen (screenread %d: %s):\n%s" %
                      (wait, code, err.strip(), "\n".join(rows)))
        self.assertEqual(code, 0, err)
        self.assertEqual(len(rows), ROWS, out)
        return rows

    def caret(self):
        """(row, column) of the blinking caret, or None when there is none."""
        code, out, err = self.read("--caret")
        self.assertEqual(code, 0, err)
        last = out.splitlines()[-1].split()
        return None if last[1] == "none" else (int(last[1]), int(last[2]))

    def dialogs(self):
        """Visible dialog boxes as {title: [control texts]}."""
        code, out, err = self.read("--dialogs")
        self.assertEqual(code, 0, err)
        boxes, current = {}, None
        for line in out.splitlines():
            if line.startswith("dialog "):
                current = boxes.setdefault(line[7:], [])
            elif current is not None and line.startswith("  "):
                current.append(line[2:].split(" ", 1)[-1] if " " in line[2:] else "")
        return boxes

    def wait_dialog(self, title, text=None, timeout=15):
        """Wait for a dialog box titled `title` (holding `text`, if given); its texts."""
        def found():
            texts = self.dialogs().get(title)
            if texts is not None and (text is None or text in texts):
                return texts
            return None

        return h.wait_for(found, timeout, "dialog %r with %r" % (title, text), interval=0.3)

    def answer_dialog(self, title, key="Return"):
        """Press `key` on the dialog box window titled `title` (not the main window)."""
        ids = self.windows(title)
        if title == TITLE:
            ids = ids[1:] if len(ids) > 1 and self.area(ids[0]) > self.area(ids[-1]) else ids
        self.assertTrue(ids, "no %r box to answer" % title)
        box = ids[-1]
        self.keys(key, window=box)
        h.wait_for(lambda: title not in self.dialogs(), 10, "the %r box to close" % title,
                   interval=0.3)
        # Wine unmaps the box's X window a little after Windows forgets it; a key sent
        # meanwhile to "the largest window so titled" can land on the dying box.
        h.wait_for(lambda: box not in self.windows(title), 10,
                   "the %r box's window to go" % title, interval=0.2)

    def no_dialog(self, title, settle=1.0):
        time.sleep(settle)
        self.assertNotIn(title, self.dialogs())

    # -- ending -----------------------------------------------------------------------------
    def quit(self, timeout=20):
        """Close Velka the way a user does: Alt+F4, then OK on "exit   Velka?"; its code."""
        self.keys("alt+F4")
        try:
            texts = self.wait_dialog("Really?", timeout=8)
        except TimeoutError:
            # A key pressed while Wine is still handing the focus over from a box that
            # just closed can be dropped; a user presses it again.
            self.assertIsNone(self.velka.proc.poll(), "Velka ended before its question")
            self.keys("alt+F4")
            texts = self.wait_dialog("Really?")
        self.assertIn("exit   Velka?", texts)
        self.answer_dialog("Really?")
        return self.velka.wait(timeout)

    def select_source(self, path):
        """F2, then the file's Windows path typed into the open box."""
        self.keys("F2")
        ids = h.wait_for(lambda: self.windows("Open"), 15, "the Open box", interval=0.3)
        h.type_text(self.display, ids[0], "Z:" + str(path).replace("/", "\\"))
        self.keys("Return", window=ids[0])
        h.wait_for(lambda: not self.windows("Open"), 10, "the Open box to close",
                   interval=0.3)


def process_cpu_seconds(name):
    """CPU seconds used so far by the Linux processes whose command line holds `name`."""
    total = 0.0
    tick = os.sysconf("SC_CLK_TCK")
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            cmd = Path("/proc", pid, "cmdline").read_bytes()
            if name.encode() not in cmd:
                continue
            fields = Path("/proc", pid, "stat").read_text().rsplit(")", 1)[1].split()
            total += (int(fields[11]) + int(fields[12])) / tick
        except OSError:
            continue
    return total
