"""Helpers for Velka's Wine end-to-end tests: Xvfb, one Wine prefix per session, simulated
Nivor boards on ptys, Windows programs under Wine and their windows driven with xdotool.
Standard library only; typical use is a Session, with end_test() after every test."""
import base64
import ctypes
import ctypes.util
import json
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
NIVORSIM = REPO / "tools" / "nivorsim" / "nivorsim.py"
WINE_ENV = {"WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}
# COM1..COM<PORT_COUNT> are pointed, in the prefix registry, at stable paths under the session
# root; Wine's mount manager would otherwise re-link dosdevices/comN to /dev/ttyS* at each start.
PORT_COUNT = 4
SOCKET_PATH_MAX = 100  # sun_path holds 108 bytes; keep clear of it
REPLY_MAX = 1 << 20
# A 64-bit prefix runs Wine's 64-bit loader directly: the `wine` script would pick the 32-bit
# one whenever it is installed, even on a kernel that cannot run it.
WINE64_LOADER = "/usr/lib/wine/wine64"


def i386_runs():
    """Whether this kernel runs 32-bit x86 programs (some virtual machines' kernels do not,
    and 32-bit Wine with them)."""
    try:
        return subprocess.run(["/usr/lib/wine/wine", "--version"], stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=30).returncode == 0
    except OSError:
        return False


def wait_for(check, timeout, what, interval=0.05):
    """Call check() until it returns something truthy and return that; TimeoutError after
    `timeout` seconds, naming `what`."""
    deadline = time.monotonic() + timeout
    while True:
        value = check()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise TimeoutError("timed out after %.1f s waiting for %s" % (timeout, what))
        time.sleep(interval)


def end_process(proc, grace=2.0):
    """End a child started with start_new_session=True: SIGTERM to its process group, SIGKILL
    after `grace` seconds. Safe to call twice or after it exited."""
    if proc is None or proc.poll() is not None:
        return
    for sig in (signal.SIGTERM, signal.SIGKILL):
        try:
            os.killpg(proc.pid, sig)
        except ProcessLookupError:
            return
        try:
            proc.wait(grace)
            return
        except subprocess.TimeoutExpired:
            pass


def shim_preload(build_dir):
    """LD_PRELOAD value for the pty shim built in build_dir (a literal $LIB that ld.so
    expands per process); raises FileNotFoundError when either variant is missing."""
    build = Path(build_dir).resolve()
    for libdir in ("i386-linux-gnu", "x86_64-linux-gnu"):
        lib = build / "lib" / libdir / "libvelkapty.so"
        if not lib.is_file():
            raise FileNotFoundError(lib)
    return str(build) + "/$LIB/libvelkapty.so"


# --- X display -------------------------------------------------------------------------------
class Xvfb:
    """An Xvfb server on a display it picks itself (-displayfd), so parallel runs never clash.
    The server writes its display number to that pipe again at each reset (when its last
    client leaves) and dies if it cannot: so the pipe stays open as long as the server runs,
    and -noreset keeps the resets, and the state they throw away, from happening at all."""

    def __init__(self, screen="1280x1024x24", timeout=10, log=None, args=()):
        r, w = os.pipe()
        self.pipe = r
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(w), "-noreset", "-screen", "0", screen, "-nolisten",
             "tcp", *args],
            pass_fds=(w,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=log or subprocess.DEVNULL, start_new_session=True)
        os.close(w)
        ready, _, _ = select.select([r], [], [], timeout)
        number = os.read(r, 32).decode().strip() if ready else ""
        if not number.isdigit():
            self.stop()
            raise RuntimeError("Xvfb did not report a display")
        self.display = ":" + number

    def stop(self):
        end_process(self.proc)
        if self.pipe is not None:
            os.close(self.pipe)
            self.pipe = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


# --- Wine prefix -----------------------------------------------------------------------------
class WinePrefix:
    """A Wine prefix under `root`, made once per session.

    wineboot -i takes about 12 s for a win32 prefix (about 590 MB) and 24 s for win64 (1.3 GB);
    after that a program starts in about 0.6 s on a stopped wineserver, so each test may end
    with shutdown() and still be cheap. Ports are re-linked per test with link().
    """

    def __init__(self, root, arch="win32"):
        self.root = Path(root)
        self.arch = arch
        self.wine = [WINE64_LOADER] if arch == "win64" else ["wine"]
        self.path = self.root / "prefix"
        self.ports = self.root / "ports"
        self.mapped = {}

    @classmethod
    def create(cls, root, arch="win32", display=None, timeout=180):
        """Initialise a fresh prefix in root/prefix and aim COM1..COM4 at root/ports/comN."""
        prefix = cls(root, arch)
        prefix.ports.mkdir(parents=True, exist_ok=True)
        env = prefix.env(display, {"WINEARCH": arch})
        # On a loaded machine wineboot now and then gives up on a service it waited for; a
        # second run completes the same prefix.
        for attempt in range(2):
            boot = subprocess.run([*prefix.wine, "wineboot", "-i"], env=env,
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.PIPE, timeout=timeout)
            if boot.returncode == 0:
                break
            prefix.shutdown()
        else:
            prefix.remove_server_dirs()
            raise RuntimeError("wineboot failed: %s" % boot.stderr.decode(errors="replace")[-2000:])
        for n in range(1, PORT_COUNT + 1):
            stable = prefix.ports / ("com%d" % n)
            subprocess.run([*prefix.wine, "reg", "add", r"HKLM\Software\Wine\Ports", "/v",
                            "COM%d" % n, "/d", str(stable), "/f"],
                           env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=60, check=True)
        prefix.shutdown()
        # The mount manager applies the registry at the next start; do it now so no program
        # ever races it to a stale /dev/ttyS* link.
        for n in range(1, PORT_COUNT + 1):
            dos = prefix.path / "dosdevices" / ("com%d" % n)
            if os.path.lexists(dos):
                dos.unlink()
            os.symlink(prefix.ports / ("com%d" % n), dos)
        return prefix

    def env(self, display=None, extra=None):
        """Environment for a Wine command on this prefix. Without TMPDIR: Debian's Wine 10
        frees the string getenv("TMPDIR") returns when it picks its socket directory, and
        aborts ("free(): invalid pointer") whenever TMPDIR is set and /run/user/UID is not
        there. The wineserver is private all the same: see server_dirs()."""
        env = dict(os.environ, WINEPREFIX=str(self.path), **WINE_ENV)
        env.pop("LD_PRELOAD", None)
        env.pop("TMPDIR", None)
        if display:
            env["DISPLAY"] = display
        if self.arch == "win64":
            env["WINELOADER"] = WINE64_LOADER
        env.update(extra or {})
        return env

    def port_path(self, name):
        """Path whose symlink decides what the Windows device `name` opens.

        COM1..COM4 go through root/ports/comN (the registry points there); any other name,
        such as TELNET for "\\\\.\\TELNET", is dosdevices/<name in lower case>.
        An unmapped COM1..COM4 still opens but every comm call fails with error 1; for a
        port that cannot be opened at all (error 2) use an unregistered name such as COM9.
        """
        low = name.lower()
        if low.startswith("com") and low[3:].isdigit() and 1 <= int(low[3:]) <= PORT_COUNT:
            return self.ports / low
        return self.path / "dosdevices" / low

    def link(self, name, device):
        """Map Windows device `name` to the Linux path `device` (existing or not)."""
        path = self.port_path(name)
        tmp = path.with_name(path.name + ".new")
        if os.path.lexists(tmp):
            tmp.unlink()
        os.symlink(device, tmp)
        os.replace(tmp, path)
        self.mapped[name.upper()] = str(device)

    def unlink_all(self):
        """Remove every mapping made through link() or a Board."""
        for name in list(self.mapped):
            path = self.port_path(name)
            if os.path.islink(path):
                path.unlink()
        self.mapped.clear()

    def pty_mapped(self):
        """Whether any mapped device resolves to a pseudo-terminal slave."""
        return any(os.path.realpath(self.port_path(n)).startswith("/dev/pts/")
                   for n in self.mapped)

    def server_dirs(self):
        """Directories that may hold this prefix's wineserver socket. Wine names the directory
        after the prefix's device and inode, so no other prefix ever reaches this wineserver;
        it puts it in /tmp/.wine-UID, or (Debian's Wine) in /run/user/UID/wine when that
        exists, else in a directory /tmp/wine-XXXXXX of the prefix's own, whose name it keeps
        in the prefix's file `wineserver`."""
        try:
            st = os.stat(self.path)
        except FileNotFoundError:
            return []
        name = "server-%x-%x" % (st.st_dev, st.st_ino)
        uid = os.getuid()
        dirs = [Path("/tmp/.wine-%d" % uid) / name, Path("/run/user/%d/wine" % uid) / name]
        try:
            own = (self.path / "wineserver").read_text().strip()
        except OSError:
            own = ""
        if re.fullmatch(r"wine-[A-Za-z0-9]{6}", own):
            dirs.append(Path("/tmp") / own)
        return [d for d in dirs if d.is_dir()]

    def remove_server_dirs(self):
        """Remove the socket directories of this prefix's wineserver, once it has exited."""
        for d in self.server_dirs():
            shutil.rmtree(d, ignore_errors=True)

    def shutdown(self, timeout=15):
        """Kill every Wine process of this prefix and wait for its wineserver to exit."""
        env = self.env()
        for args in (["wineserver", "-k"], ["wineserver", "-w"]):
            try:
                subprocess.run(args, env=env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               timeout=timeout)
            except subprocess.TimeoutExpired:
                pass


# --- simulated board -------------------------------------------------------------------------
class Board:
    """A nivorsim process whose pty is linked at `link`; options are nivorsim's own flags."""

    def __init__(self, link, options=(), workdir=None, timeout=10):
        self.workdir = Path(workdir or tempfile.mkdtemp(prefix="nivor-"))
        self.link = Path(link)
        self.log_path = self.workdir / ("%s.jsonl" % self.link.name)
        self.control_path = self.workdir / ("%s.sock" % self.link.name)
        if len(str(self.control_path)) > SOCKET_PATH_MAX:
            raise ValueError("control socket path too long: %s" % self.control_path)
        self.stderr = open(self.workdir / ("%s.err" % self.link.name), "wb")
        self.proc = subprocess.Popen(
            [sys.executable, str(NIVORSIM), "--link", str(self.link), "--log",
             str(self.log_path), "--control", str(self.control_path), *options],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=self.stderr,
            start_new_session=True)
        ready, _, _ = select.select([self.proc.stdout], [], [], timeout)
        self.slave = self.proc.stdout.readline().decode().strip() if ready else ""
        if not self.slave:
            self.stop()
            raise RuntimeError("nivorsim did not start; see %s" % self.stderr.name)

    def command(self, **cmd):
        """Send one control command, e.g. command(burst=100); return the decoded reply."""
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(5)
            s.connect(str(self.control_path))
            s.sendall(json.dumps(cmd).encode() + b"\n")
            reply = b""
            while not reply.endswith(b"\n") and len(reply) < REPLY_MAX:
                chunk = s.recv(4096)
                if not chunk:
                    break
                reply += chunk
        answer = json.loads(reply)
        if "error" in answer:
            raise RuntimeError("nivorsim: %s" % answer["error"])
        return answer

    def send(self, data):
        """Write raw bytes to the port, as if the board printed them."""
        self.command(send=base64.b64encode(data).decode())

    def burst(self, n):
        """Write n bytes of the base64-alphabet pattern at full speed."""
        self.command(burst=n)

    def speed(self):
        """Baud rate the port is set to now."""
        return self.command(speed=None)["speed"]

    def received(self):
        """Raw bytes received since the last call."""
        return base64.b64decode(self.command(received=None)["received"])

    def lines(self):
        """Received lines so far, as nivorsim logged them (dicts with n, line, t,
        answered_before)."""
        if not self.log_path.exists():
            return []
        with open(self.log_path, encoding="utf-8") as f:
            return [json.loads(line) for line in f if line.endswith("\n")]

    def wait_lines(self, count, timeout=10):
        """Wait until at least `count` lines arrived; return them all."""
        def enough():
            got = self.lines()
            return got if len(got) >= count else None

        return wait_for(enough, timeout, "%d received lines" % count)

    def vanish(self):
        """Kill the board at once: the pty master closes, like an unplugged USB adapter."""
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()

    def stop(self):
        """End the board cleanly (it removes its link) and release its files."""
        end_process(self.proc)
        if self.proc.stdout:
            self.proc.stdout.close()
        self.stderr.close()


# --- programs under Wine ---------------------------------------------------------------------
class WineRun:
    """A Windows program started under Wine in its own process group, output to files."""

    def __init__(self, prefix, exe, args=(), cwd=None, display=None, shim=None,
                 dtr_log=None, env=None, workdir=None):
        self.workdir = Path(workdir or tempfile.mkdtemp(prefix="winerun-"))
        extra = dict(env or {})
        if prefix.pty_mapped():
            if not shim:
                raise RuntimeError("a pty is mapped but no shim was given")
            extra["LD_PRELOAD"] = shim
            if dtr_log:
                extra["VELKA_PTYSHIM_LOG"] = str(dtr_log)
        stem = Path(exe).stem
        self.stdout_path = self.workdir / (stem + ".out")
        self.stderr_path = self.workdir / (stem + ".err")
        with open(self.stdout_path, "wb") as out, open(self.stderr_path, "wb") as err:
            self.proc = subprocess.Popen(
                [*prefix.wine, str(exe), *args], cwd=cwd, env=prefix.env(display, extra),
                stdin=subprocess.DEVNULL, stdout=out, stderr=err, start_new_session=True)

    def wait(self, timeout=30):
        """Exit code of the program; TimeoutError if it runs longer than `timeout`."""
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise TimeoutError("%s still running after %s s" % (self.proc.args[1], timeout))

    def output(self):
        """What the program wrote to stdout so far."""
        return self.stdout_path.read_text(errors="replace")

    def kill(self):
        end_process(self.proc)


# --- windows and keys ------------------------------------------------------------------------
def xdotool(display, *args, timeout=10):
    """Run xdotool on `display`; return its stdout (empty when it found nothing)."""
    result = subprocess.run(["xdotool", *args], env=dict(os.environ, DISPLAY=display),
                            stdin=subprocess.DEVNULL, capture_output=True, text=True,
                            timeout=timeout)
    return result.stdout.strip()


def find_window(display, title, timeout=20):
    """Id of the first visible window whose title matches the regex `title`."""
    def search():
        ids = xdotool(display, "search", "--onlyvisible", "--name", title).split()
        return ids[0] if ids else None

    return wait_for(search, timeout, "a window titled %r" % title, interval=0.2)


def window_title(display, window):
    """Title of `window` now."""
    return xdotool(display, "getwindowname", window)


def focus(display, window):
    """Give `window` the keyboard focus (Xvfb has no window manager to do it)."""
    xdotool(display, "windowfocus", window)


class _XImage(ctypes.Structure):
    _fields_ = [("width", ctypes.c_int), ("height", ctypes.c_int), ("xoffset", ctypes.c_int),
                ("format", ctypes.c_int), ("data", ctypes.POINTER(ctypes.c_char)),
                ("byte_order", ctypes.c_int), ("bitmap_unit", ctypes.c_int),
                ("bitmap_bit_order", ctypes.c_int), ("bitmap_pad", ctypes.c_int),
                ("depth", ctypes.c_int), ("bytes_per_line", ctypes.c_int),
                ("bits_per_pixel", ctypes.c_int)]


def capture(display, window):
    """The pixels `window` shows on the X server now: (width, height, bytes), as a
    screenshot takes them (XGetImage of the window, all planes, ZPixmap)."""
    x11 = ctypes.CDLL(ctypes.util.find_library("X11"))
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XGetImage.restype = ctypes.POINTER(_XImage)
    x11.XGetImage.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int,
                              ctypes.c_uint, ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    size = re.search(r"Geometry: (\d+)x(\d+)", xdotool(display, "getwindowgeometry", window))
    width, height = int(size.group(1)), int(size.group(2))
    dpy = x11.XOpenDisplay(display.encode())
    if not dpy:
        raise RuntimeError("cannot open display %s" % display)
    try:
        z_pixmap, all_planes = 2, 0xFFFFFFFF
        image = x11.XGetImage(dpy, int(window), 0, 0, width, height, all_planes, z_pixmap)
        if not image:
            raise RuntimeError("XGetImage of window %s failed" % window)
        data = ctypes.string_at(image.contents.data, image.contents.bytes_per_line * height)
        libc = ctypes.CDLL(ctypes.util.find_library("c"))
        libc.free.argtypes = [ctypes.c_void_p]
        libc.free(ctypes.cast(image.contents.data, ctypes.c_void_p))
        libc.free(ctypes.cast(image, ctypes.c_void_p))
        return width, height, data
    finally:
        x11.XCloseDisplay(dpy)


def send_keys(display, window, *keys):
    """Press keys on `window` by xdotool name: "F5", "Return", "Escape", "ctrl+s"..."""
    focus(display, window)
    xdotool(display, "key", "--delay", "30", *keys)


def type_text(display, window, text):
    """Type `text` into `window` one character at a time."""
    focus(display, window)
    xdotool(display, "type", "--delay", "30", text)


# --- a test session --------------------------------------------------------------------------
class Session:
    """Xvfb, a Wine prefix and the shim shared by many tests; per-test things are tracked and
    ended by end_test(), which a test calls in `finally` (or tearDown)."""

    def __init__(self, build_dir, arch="win32", root=None):
        self.root = Path(root or tempfile.mkdtemp(prefix="velka-e2e-"))
        self.shim = shim_preload(build_dir)
        self.xvfb = None
        self.prefix = None
        self.boards, self.runs = [], []
        self.test_dir = None
        self.tests = 0
        try:
            self.xvfb_log = open(self.root / "xvfb.log", "wb")
            self.xvfb = Xvfb(log=self.xvfb_log)
            self.display = self.xvfb.display
            self.prefix = WinePrefix.create(self.root, arch, self.display)
        except BaseException:
            self.close()
            raise
        self.new_test_dir()

    def new_test_dir(self):
        self.tests += 1
        self.test_dir = self.root / ("t%d" % self.tests)
        self.test_dir.mkdir()
        self.dtr_log = self.test_dir / "dtr.log"

    def start_board(self, port="COM1", *options):
        """Start a simulated board and map Windows device `port` to it."""
        board = Board(self.prefix.port_path(port), options, self.test_dir)
        self.boards.append(board)
        self.prefix.mapped[port.upper()] = board.slave
        return board

    def run(self, exe, *args, cwd=None, env=None):
        """Start a Windows program (shim preloaded when a pty is mapped); see WineRun."""
        run = WineRun(self.prefix, exe, args, cwd or self.test_dir, self.display, self.shim,
                      self.dtr_log, env, self.test_dir)
        self.runs.append(run)
        return run

    def dtr_events(self):
        """Lines the shim logged for this test: SETDTR, CLRDTR, SETRTS, CLRRTS."""
        if not self.dtr_log.exists():
            return []
        return self.dtr_log.read_text().split()

    def end_test(self):
        """Kill this test's programs and boards, stop the wineserver, drop port links."""
        for run in self.runs:
            run.kill()
        if self.prefix:
            self.prefix.shutdown()
        for board in self.boards:
            board.stop()
        if self.prefix:
            self.prefix.unlink_all()
        self.boards, self.runs = [], []
        self.new_test_dir()

    def close(self, keep=False):
        """End everything; the session root is removed unless keep is true."""
        if self.prefix:
            self.end_test()
            self.prefix.remove_server_dirs()
        self.prefix = None
        if self.xvfb:
            self.xvfb.stop()
            self.xvfb = None
            self.xvfb_log.close()
        if not keep:
            shutil.rmtree(self.root, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
