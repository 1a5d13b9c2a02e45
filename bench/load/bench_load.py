#!/usr/bin/env python3
"""bench_load: velka-load's upload measured side by side with Velka.exe under Wine and the
serial benchmark's baseline.exe, in one run, over the same kind of pty, against the same
simulated board (bench/serial's harness does the Wine side). Rounds alternate the programs;
medians are shown.

  1. upload, answered at once: lines per second and CPU per line, velka-load against
     Velka.exe (program + wineserver) and the baseline;
  2. upload over a simulated 115200-baud wire: velka-load's time against the wire's own
     time for all bytes sent and received, and its CPU as a share of one core;
  3. start-up: a one-line file to a board that answers at once, velka-load from its start
     to its exit (each run a new process), beside Velka.exe's start to its open window.
  4. network serial server: the upload of part 1 through Debian's ser2net serving the
     board's pty, over rfc2217:// (Telnet with the port settings) beside raw TCP, rounds
     alternating; lines/s from the board's first byte to its last answer. Needs no Wine:
     --only net runs it alone.
  5. the session (--only session, no Wine): an upload typed as "#include FILE" in a -i
     session at a pty, its lines/s beside the same upload from the command line; a
     connected, idle session (line editing on) for --idle seconds, its CPU time from
     /proc/PID/stat; a board unplugged and plugged back behind the same symlink, the time
     from the new board's start (its link comes a little later) to velka-load's "is back".
  6. against (--against PATH, no Wine): another velka-load, an older build, beside this one,
     rounds alternating which goes first: the upload of part 1 answered at once, lines/s and
     CPU per line, and over the wire of part 2, its time against the wire's. --only against
     runs it alone.

velka-load's CPU is the whole process's, start-up included (from wait4), so it is never
understated; Velka's and the baseline's is counted from the first answered line to the last.

Run: bench/load/run   (see --help)
"""
import argparse
import errno
import os
import re
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[0] / "serial"))
import bench_serial as bs  # noqa: E402
from bench_serial import c, h  # noqa: E402

LOAD = c.BUILD / "load" / "velka-load"
# Goals: velka-load's lines/s of Velka's; its CPU per line of Velka's (program + wineserver);
# its upload on the wire of the wire's time; its share of one core there; start-up in s.
GOAL_RATE, GOAL_CPU, GOAL_WIRE, GOAL_WIRE_SHARE, GOAL_START = 5.0, 1 / 20, 1.02, 0.02, 0.050
GOAL_RFC2217 = 0.9  # rfc2217:// lines/s of raw TCP's, both through the same ser2net
SER2NET = shutil.which("ser2net", path=os.environ.get("PATH", "") + ":/usr/sbin:/sbin")
# The session: in-session lines/s of the command line's; idle share of one core; replug s.
GOAL_SESSION_RATE, GOAL_IDLE_SHARE, GOAL_BACK = 0.95, 0.001, 1.0


def run_load(args, cwd, load=LOAD):
    """velka-load (or `load`) with `args`; (wall seconds, CPU seconds of the whole process)."""
    t0 = time.monotonic()
    proc = subprocess.Popen([str(load), *args], cwd=cwd, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    err = proc.stderr.read()
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.monotonic() - t0
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        raise RuntimeError("%s %s: %d, %s" % (load, args, proc.returncode, err.decode()))
    return wall, usage.ru_utime + usage.ru_stime


def upload_with(load, args, board, workdir):
    """The serial benchmark's source uploaded by `load` (a velka-load) to `board`; its
    figures."""
    lines = bs.source_lines(args.lines)
    path = workdir / "bench.src"
    path.write_text("\r\n".join(lines) + "\r\n")
    _, cpu = run_load(["-d", board.slave, "-b", str(args.baud), str(path)], workdir, load)
    last = board.command(times=None)
    if [x["line"] for x in board.lines()] != lines:
        raise RuntimeError("%s sent other lines than the source's" % load)
    seconds = last["last_answer"] - last["first_rx"]
    return {"seconds": seconds, "lines_per_s": len(lines) / seconds,
            "cpu_per_1000": {"program": cpu * 1000 / len(lines), "wineserver": 0.0},
            "core_share": cpu / seconds}


def against_round(args, n, res):
    """Part 6, one round: this velka-load and --against's, each with a board of its own,
    answered at once and then over the wire; which goes first alternates by round."""
    work = Path(tempfile.mkdtemp(prefix="bench-against-"))
    order = (("this", LOAD), ("against", Path(args.against)))
    try:
        for part, options in (("fast", ()), ("wire", ("--wire", str(args.baud)))):
            for who, load in order if n % 2 == 0 else order[::-1]:
                board = h.Board(work / ("%s-%s" % (who, part)), options, workdir=work)
                try:
                    res["%s_%s" % (who, part)].append(upload_with(load, args, board, work))
                finally:
                    board.stop()
    finally:
        shutil.rmtree(work, ignore_errors=True)


class LoadBench(bs.Bench):
    def upload_load(self, wire):
        """The serial benchmark's source uploaded by velka-load; its figures."""
        options = ["--wire", str(self.args.baud)] if wire else []
        board = self.s.start_board("COM1", *options)
        try:
            return upload_with(LOAD, self.args, board, self.s.test_dir)
        finally:
            self.s.end_test()

    def start_load(self):
        """Start to exit of velka-load sending one line to a board that answers at once."""
        board = self.s.start_board("COM1")
        path = self.s.test_dir / "one.txt"
        path.write_text("1 .\n")
        try:
            return [run_load(["-d", board.slave, str(path)], self.s.test_dir)[0]
                    for _ in range(self.args.starts)]
        finally:
            self.s.end_test()

    def start_velka(self):
        """Velka.exe's start to its window, under Wine with the prefix already made."""
        self.s.start_board("COM1")
        try:
            t0 = time.monotonic()
            self.s.run(c.EXE)
            h.find_window(self.s.display, "^%s$" % re.escape(c.TITLE), 60)
            return time.monotonic() - t0
        finally:
            self.s.end_test()


def listening(port):
    """Whether something listens on the loopback port: a bind of it fails."""
    with socket.socket() as s:
        try:
            s.bind(("127.0.0.1", port))
        except OSError as e:
            return e.errno == errno.EADDRINUSE
    return False


def upload_ser2net(args, kind, workdir):
    """The source of part 1 uploaded by velka-load through ser2net to a board of its own,
    over rfc2217:// ("rfc2217") or raw TCP ("raw"); its lines/s."""
    lines = bs.source_lines(args.lines)
    path = workdir / "bench.src"
    path.write_text("\r\n".join(lines) + "\r\n")
    board = h.Board(workdir / ("pty-" + kind), (), workdir=workdir)
    server = None
    try:
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        config = workdir / ("ser2net-%s.yaml" % kind)
        config.write_text("connection: &board\n"
                          "    accepter: %s,127.0.0.1,%d\n"
                          "    connector: serialdev,%s,%dn81,local\n"
                          # Without it ser2net waits two characters' time after each
                          # byte from the pty: its own pace would hide the client's.
                          "    options:\n"
                          "      chardelay: false\n" % (
                              "telnet(rfc2217),tcp" if kind == "rfc2217" else "tcp", port,
                              board.slave, args.baud))
        server = subprocess.Popen([SER2NET, "-n", "-d", "-c", str(config)],
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL, start_new_session=True)
        h.wait_for(lambda: listening(port), 10, "ser2net on port %d" % port)
        device = ("rfc2217://" if kind == "rfc2217" else "") + "127.0.0.1:%d" % port
        run_load(["-d", device, "-b", str(args.baud), str(path)], workdir)
        if [x["line"] for x in board.lines()] != lines:
            raise RuntimeError("velka-load sent other lines than the source's over " + kind)
        times = board.command(times=None)
        return len(lines) / (times["last_answer"] - times["first_rx"])
    finally:
        h.end_process(server)
        board.stop()


class PtySession:
    """velka-load -i at a pty of its own, its output gathered."""

    def __init__(self, args, cwd):
        import pty
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            os.chdir(cwd)
            os.execv(str(LOAD), [str(LOAD), "-i", *args])
        self.out = b""

    def wait(self, text, count=1, timeout=60):
        import select
        end = time.monotonic() + timeout
        while self.out.count(text) < count:
            if time.monotonic() > end:
                raise RuntimeError("velka-load did not show %r: %r" % (text, self.out[-500:]))
            if select.select([self.fd], [], [], 0.01)[0]:
                self.out += os.read(self.fd, 65536)
        return time.monotonic()

    def cpu(self):
        """utime + stime of the process so far, in seconds."""
        with open("/proc/%d/stat" % self.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def end(self):
        os.write(self.fd, b"\x1d")
        _, status = os.waitpid(self.pid, 0)
        os.close(self.fd)
        return os.waitstatus_to_exitcode(status)


def session_bench(args):
    """Part 5, on the tests' simulated board: no Wine."""
    import tempfile
    work = Path(tempfile.mkdtemp(prefix="bench-session-"))
    lines = bs.source_lines(args.lines)
    (work / "bench.src").write_text("\r\n".join(lines) + "\r\n")
    res = {"cmd": [], "session": [], "idle": None, "back": []}

    def rate(board):
        last = board.command(times=None)
        if [x["line"] for x in board.lines()] != lines:
            raise RuntimeError("velka-load sent other lines than the source's")
        return len(lines) / (last["last_answer"] - last["first_rx"])

    for n in range(args.rounds):
        board = h.Board(work / ("c%d" % n), (), workdir=work)
        run_load(["-d", board.slave, "bench.src"], work)
        res["cmd"].append(rate(board))
        board.stop()
        board = h.Board(work / ("s%d" % n), (), workdir=work)
        s = PtySession(["-d", board.slave], work)
        s.wait(b"Ctrl-] ends")
        os.write(s.fd, b"#include bench.src\r")
        s.wait(b" Ready")
        res["session"].append(rate(board))
        s.end()
        board.stop()
    link = work / "board"
    board = h.Board(link, (), workdir=work)
    s = PtySession(["-d", str(link)], work)
    s.wait(b"Ctrl-] ends")
    time.sleep(1)
    cpu0, t0 = s.cpu(), time.monotonic()
    time.sleep(args.idle)
    res["idle"] = (s.cpu() - cpu0) / (time.monotonic() - t0)
    for n in range(args.rounds):
        board.stop()
        s.wait(b"waiting for it to come back", n + 1)
        # From the new board's start: an upper bound of the time from its link's return.
        t_start = time.monotonic()
        board = h.Board(link, (), workdir=work)
        res["back"].append(s.wait(b" is back", n + 1) - t_start)
    s.end()
    board.stop()
    return res


def session_report(args, res):
    med = statistics.median
    ratio = med(res["session"]) / med(res["cmd"])
    back = max(res["back"])
    return "\n".join([
        "", "5. the session (median of %d rounds, %d lines, answered at once)" % (
            args.rounds, args.lines),
        "   command line %.0f lines/s, typed #include %.0f lines/s: %.3f (goal >= %.2f: %s)" % (
            med(res["cmd"]), med(res["session"]), ratio, GOAL_SESSION_RATE,
            bs.verdict(ratio >= GOAL_SESSION_RATE)),
        "   idle for %d s, line editing on: %.4f %% of one core (goal <= %.1f %%: %s)" % (
            args.idle, res["idle"] * 100, GOAL_IDLE_SHARE * 100,
            bs.verdict(res["idle"] <= GOAL_IDLE_SHARE)),
        "   back after a replug, from the new board's start: %s s, slowest %.3f s (goal <= %.0f s: %s)" % (
            ", ".join("%.3f" % x for x in res["back"]), back, GOAL_BACK,
            bs.verdict(back <= GOAL_BACK))])


def cpu_line(runs, with_server=True):
    return statistics.median(r["cpu_per_1000"]["program"] +
                             (r["cpu_per_1000"]["wineserver"] if with_server else 0)
                             for r in runs)


def report(args, res):
    med = statistics.median
    out = ["machine: " + bs.machine()]
    if res["load_fast"]:
        rate = {p: med(r["lines_per_s"] for r in res[p + "_fast"]) for p in
                ("load", "velka", "baseline")}
        cpu = {p: cpu_line(res[p + "_fast"]) for p in ("load", "velka", "baseline")}
        out += ["", "1. upload of %d lines, answered at once (median of %d rounds)" % (
            args.lines, len(res["load_fast"])),
            "   %-11s %10s %30s" % ("", "lines/s", "CPU s/1000 lines (+wineserver)")]
        for p, name in (("load", "velka-load"), ("velka", "Velka.exe"), ("baseline", "baseline")):
            out.append("   %-11s %10.0f %30.3f" % (name, rate[p], cpu[p]))
        out.append("   velka-load / Velka: lines/s %.2f (goal >= %.0f: %s); CPU per line %.4f "
                   "(goal <= %.3f: %s)" % (
                       rate["load"] / rate["velka"], GOAL_RATE,
                       bs.verdict(rate["load"] >= GOAL_RATE * rate["velka"]),
                       cpu["load"] / cpu["velka"], GOAL_CPU,
                       bs.verdict(cpu["load"] <= GOAL_CPU * cpu["velka"])))
        out.append("   velka-load / baseline: lines/s %.2f; CPU per line %.3f" % (
            rate["load"] / rate["baseline"], cpu["load"] / cpu["baseline"]))
    if res["load_wire"]:
        crit, every = bs.wire_limits(bs.source_lines(args.lines), args.baud)
        t = med(r["seconds"] for r in res["load_wire"])
        share = med(r["core_share"] for r in res["load_wire"])
        out += ["", "2. the same upload over a simulated %d-baud wire (median of %d rounds)" % (
            args.baud, len(res["load_wire"])),
            "   wire time of all bytes %.3f s, shortest possible %.3f s; velka-load %.3f s: "
            "%.3f of all bytes' time (goal <= %.2f: %s), %.3f of the shortest" % (
                every, crit, t, t / every, GOAL_WIRE, bs.verdict(t <= GOAL_WIRE * every),
                t / crit),
            "   velka-load's CPU: %.2f %% of one core (goal <= %.0f %%: %s)" % (
                share * 100, GOAL_WIRE_SHARE * 100, bs.verdict(share <= GOAL_WIRE_SHARE))]
    if res["load_start"]:
        starts = sorted(res["load_start"])
        out += ["", "3. start-up: a one-line file, the board answering at once (%d runs)" %
                len(starts),
                "   velka-load, start to exit: median %.1f ms, slowest %.1f ms (goal < %.0f ms: "
                "%s)" % (med(starts) * 1e3, starts[-1] * 1e3, GOAL_START * 1e3,
                         bs.verdict(med(starts) < GOAL_START)),
                "   Velka.exe under Wine, start to its window: %s s" % ", ".join(
                    "%.2f" % x for x in res["velka_start"])]
    if res["net_rfc2217"]:
        rate = {k: med(res["net_" + k]) for k in ("rfc2217", "raw")}
        out += ["", "4. the upload of %d lines through ser2net on loopback (median of %d rounds)" % (
            args.lines, len(res["net_rfc2217"])),
            "   rfc2217:// %8.0f lines/s" % rate["rfc2217"],
            "   raw TCP    %8.0f lines/s" % rate["raw"],
            "   rfc2217 / raw: %.2f (goal >= %.1f: %s)" % (
                rate["rfc2217"] / rate["raw"], GOAL_RFC2217,
                bs.verdict(rate["rfc2217"] >= GOAL_RFC2217 * rate["raw"]))]
    return "\n".join(out)


def against_report(args, res):
    """Part 6: both velka-loads' figures, the ratios of their medians, and each round's ratio
    beside them, so that a difference can be told from the rounds' spread."""
    med = statistics.median
    crit, every = bs.wire_limits(bs.source_lines(args.lines), args.baud)
    figures = {
        "lines/s": lambda r: r["lines_per_s"],
        "CPU s/1000 lines": lambda r: r["cpu_per_1000"]["program"],
    }
    out = ["", "6. velka-load beside %s, %d lines (median of %d rounds, alternating which goes "
           "first)" % (args.against, args.lines, len(res["this_fast"])),
           "   %-8s %10s %18s %14s %12s" % ("", "lines/s", "CPU s/1000 lines", "wire: upload s",
                                            "/ all bytes")]
    for who in ("this", "against"):
        t = med(r["seconds"] for r in res[who + "_wire"])
        out.append("   %-8s %10.0f %18.3f %14.3f %12.3f" % (
            who, med(map(figures["lines/s"], res[who + "_fast"])),
            med(map(figures["CPU s/1000 lines"], res[who + "_fast"])), t, t / every))
    rows = [(name, [f(a) / f(b) for a, b in zip(res["this_fast"], res["against_fast"])],
             med(map(f, res["this_fast"])) / med(map(f, res["against_fast"])))
            for name, f in figures.items()]
    rows.append(("wire time", [a["seconds"] / b["seconds"] for a, b in
                               zip(res["this_wire"], res["against_wire"])],
                 med(r["seconds"] for r in res["this_wire"]) /
                 med(r["seconds"] for r in res["against_wire"])))
    out.append("   this / against, of the medians (each round's):")
    out += ["     %-17s %.3f (%s)" % (name, ratio, ", ".join("%.3f" % x for x in rounds))
            for name, rounds, ratio in rows]
    return "\n".join(out)


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                formatter_class=argparse.RawDescriptionHelpFormatter,
                                epilog=__doc__.split("\n\n", 1)[1])
    p.add_argument("--lines", type=int, default=2000, help="source lines (default 2000)")
    p.add_argument("--baud", type=int, default=115200, help="wire speed (default 115200)")
    p.add_argument("--rounds", type=int, default=3, help="rounds of each upload (default 3)")
    p.add_argument("--starts", type=int, default=20, help="start-up runs (default 20)")
    p.add_argument("--idle", type=int, default=60, help="idle session seconds (default 60)")
    p.add_argument("--only", choices=("fast", "wire", "start", "net", "session", "against"),
                   action="append",
                   help="run only these parts (repeatable)")
    p.add_argument("--against", metavar="PATH",
                   help="another velka-load (an older build) to measure beside this one "
                   "(part 6)")
    args = p.parse_args(argv)
    if args.only and "against" in args.only and not args.against:
        p.error("--only against needs --against PATH")
    if args.against and not Path(args.against).is_file():
        sys.exit("%s is missing" % args.against)
    if args.only == ["session"]:  # needs no Wine
        if not LOAD.is_file():
            sys.exit("%s is missing: bench/load/run builds it" % LOAD)
        print("machine: " + bs.machine() + session_report(args, session_bench(args)))
        return
    args.before_exe = None  # the serial benchmark's older Velka: not measured here
    parts = args.only or ["fast", "wire", "start", "session"] + (["net"] if SER2NET else []) + \
        (["against"] if args.against else [])
    wine = set(parts) - {"net", "session", "against"}
    for need in (LOAD, c.EXE, bs.BASELINE) if wine else (LOAD,):
        if not need.is_file():
            sys.exit("%s is missing: bench/load/run builds it" % need)
    if "net" in parts and not SER2NET:
        sys.exit("ser2net is not installed (scripts/install-deps installs it)")
    res = {k: [] for k in ("load_fast", "velka_fast", "baseline_fast", "load_wire",
                           "load_start", "velka_start", "net_rfc2217", "net_raw",
                           "this_fast", "this_wire", "against_fast", "against_wire")}
    bench = LoadBench(args) if wine else None
    try:
        for n in range(args.rounds):
            if "net" in parts:
                workdir = Path(tempfile.mkdtemp(prefix="bench-net-"))
                kinds = ("rfc2217", "raw") if n % 2 == 0 else ("raw", "rfc2217")
                for kind in kinds:
                    res["net_" + kind].append(upload_ser2net(args, kind, workdir))
                shutil.rmtree(workdir, ignore_errors=True)
            if "against" in parts:
                against_round(args, n, res)
            if "fast" in parts:
                res["load_fast"].append(bench.upload_load(False))
                res["velka_fast"].append(bench.upload("velka", False))
                res["baseline_fast"].append(bench.upload("baseline", False))
            if "wire" in parts:
                res["load_wire"].append(bench.upload_load(True))
            if "start" in parts and n == 0:
                res["load_start"] = bench.start_load()
                res["velka_start"] = [bench.start_velka() for _ in range(3)]
            print("round %d done" % (n + 1), file=sys.stderr, flush=True)
    finally:
        if bench:
            bench.close()
    print(report(args, res))
    if "against" in parts:
        print(against_report(args, res))
    if "session" in parts:
        print(session_report(args, session_bench(args)))


if __name__ == "__main__":
    main()
