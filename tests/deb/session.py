#!/usr/bin/env python3
"""A first session of the installed velka, as a user has it: the launcher in a terminal (a
pty whose session it leads), `1 2 + .` and Return typed into its window on the X display,
the answer read back from the screen, then Ctrl+C typed in the terminal. Run as the user,
with DISPLAY set; prints how long the start took. Exits non-zero with the reason on a fault.

Usage: session.py SCREENREAD32.exe SCREENREAD64.exe"""
import os
import select
import signal
import subprocess
import sys
import time
from pathlib import Path

TITLE = "^Velka v3.3$"
ANSWER = "1 2 + . 3 ok"
START_S = 600  # the first start makes the Wine prefix
LOADER64 = "/usr/lib/wine/wine64"


def xdotool(*args):
    return subprocess.run(["xdotool", *args], capture_output=True, text=True,
                          timeout=20).stdout.split()


def owned(pid):
    """Whether process `pid` is this user's (False when it has ended meanwhile)."""
    try:
        return os.stat("/proc/" + pid).st_uid == os.getuid()
    except OSError:
        return False


def main(screenread32, screenread64):
    t0 = time.monotonic()
    terminal, slave = os.openpty()
    launcher = subprocess.Popen(["setsid", "--ctty", "velka"], stdin=slave, stdout=slave,
                                stderr=slave, cwd=os.environ["HOME"])
    os.close(slave)
    said = bytearray()

    def drain(seconds=0.0):
        while select.select([terminal], [], [], seconds)[0]:
            try:
                chunk = os.read(terminal, 4096)
            except OSError:  # EIO: nothing holds the terminal any more
                return
            if not chunk:
                return
            said.extend(chunk)
            seconds = 0.0

    def fail(reason):
        drain()
        if launcher.poll() is None:
            launcher.kill()
        sys.exit("%s\nthe launcher said:\n%s" % (reason, said.decode(errors="replace")))

    window = None
    while window is None:
        if launcher.poll() is not None:
            fail("the launcher ended with %d before Velka's window showed" % launcher.returncode)
        if time.monotonic() - t0 > START_S:
            fail("no Velka window within %d s" % START_S)
        drain(0.5)
        found = xdotool("search", "--onlyvisible", "--name", TITLE)
        window = found[0] if found else None
    xdotool("windowfocus", window)
    xdotool("type", "--delay", "30", "1 2 + .")
    xdotool("key", "--delay", "30", "Return")

    data = Path(os.environ["HOME"], ".local/share/velka")
    env = dict(os.environ, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    if (data / "prefix64").is_dir():
        env.update(WINEPREFIX=str(data / "prefix64"), WINELOADER=LOADER64)
        reader = [LOADER64, screenread64]
    else:
        env["WINEPREFIX"] = str(data / "prefix")
        reader = ["wine", screenread32]
    run = subprocess.run([*reader, "--wait", ANSWER, "--timeout", "60"], env=env,
                         stdin=subprocess.DEVNULL, capture_output=True, text=True,
                         errors="replace", timeout=180)
    if run.returncode != 0:
        fail("%r not on the screen:\n%s%s" % (ANSWER, run.stdout, run.stderr))
    print("velka: %r on the screen %.1f s after the launcher started" %
          (ANSWER, time.monotonic() - t0))

    drain()
    os.write(terminal, b"\x03")
    t1 = time.monotonic()
    try:
        code = launcher.wait(10)
    except subprocess.TimeoutExpired:
        fail("still running 10 s after Ctrl+C")
    if code != 128 + signal.SIGINT:
        fail("Ctrl+C ended the launcher with %d, not 130" % code)
    print("velka: Ctrl+C ended it with 130 in %.2f s" % (time.monotonic() - t1))
    # Nothing of this user's may be left running (Wine, its server, the board).
    deadline = time.monotonic() + 3
    while True:
        left = [p for p in os.listdir("/proc") if p.isdigit() and int(p) != os.getpid()
                and owned(p)]
        if not left or time.monotonic() > deadline:
            break
        time.sleep(0.1)
    if left:
        fail("left running after Ctrl+C: %s" % left)
    drain()
    lines = [l for l in said.decode(errors="replace").replace("^C", "").splitlines()
             if l.strip("\r ")]
    stray = [l for l in lines if not l.lstrip("\r").startswith("velka: ")]
    if stray:
        fail("not the launcher's own lines: %r" % stray)
    print("\n".join("  | " + l.strip("\r") for l in lines))


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__.split("\n\n")[1])
    main(sys.argv[1], sys.argv[2])
