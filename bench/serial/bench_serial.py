#!/usr/bin/env python3
"""bench_serial: Velka's serial throughput under Wine, measured beside baseline.exe, a Win32
program of the benchmark's own that does nothing but write a line and wait for the answer's
CR (or read a stream), with the same serial calls, under the same Wine, over the same kind of
pty, against the same simulated board. Rounds alternate the two programs; medians are shown.

  1. upload, answered at once: lines per second, the ratio Velka / baseline, CPU seconds per
     1000 lines of the program and of the wineserver; velka-load.exe, the command-line upload,
     beside both;
  2. upload over a simulated 115200-baud wire: the upload time against the wire's own time;
  3. receive: a burst as fast as the pty takes it, bytes per second, CPU, and whether every
     byte arrived (the baseline checks each byte; for Velka the pty must be drained and the
     screen must show the burst's end exactly where a lossless stream puts it);
  4. soak: the board offers the pattern at the wire rate of --baud for --soak-seconds and
     does not wait for the reader; what the pty cannot take at once is lost, as on a UART
     without flow control. Once on the idle machine, once with a CPU hog on every core.
     Bytes lost, the screen (or the baseline's check), and CPU as a share of one core;
  5. idle: connected, nothing flowing, for --idle-seconds: CPU as a share of one core, the
     baseline waiting in its event wait beside Velka with its window open.

With --before-exe, an older Velka.exe (bench/serial/run --before REV builds one) runs the
receive, the soak and the idle part too, beside the current one.

Run: scripts/install-deps && python3 bench/serial/bench_serial.py   (see --help)
"""
import argparse
import json
import os
import platform
import re
import statistics
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests" / "e2e"))
import common as c  # noqa: E402
import harness as h  # noqa: E402

BASELINE = c.MINGW / "bench" / "serial" / "baseline.exe"
LOAD_EXE = c.MINGW / "velka-load.exe"
PATTERN = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
BITS_PER_BYTE = 10
ANSWER = b" ok\r"  # the board's answer after the echo of a line
POLL_S = 0.005
# Goals: of the baseline's lines per second; of its CPU per line; of the wire's time.
GOAL_RATE, GOAL_CPU, GOAL_WIRE = 0.95, 1.5, 1.05
# velka-load.exe: of Velka's lines per second; of its CPU per line (program + wineserver); of
# the wire's time for all bytes.
GOAL_LOAD_RATE, GOAL_LOAD_CPU, GOAL_LOAD_WIRE = 3.0, 1 / 3, 1.02
# Receive goals: of the baseline's bytes per second; of its CPU per MB (the program, the
# wineserver and the X server); the idle soak's share of one core; the idle part's share
# beyond the baseline's, in points of one core.
GOAL_BURST, GOAL_CPU_MB, GOAL_SHARE, GOAL_IDLE_POINTS = 0.40, 5.0, 0.30, 1.0
# Each round runs these, alternating. "baseline" arms its event wait before it writes a line,
# as a program that listens all the time must, and as Velka's receive thread does; "after"
# asks for the event only once the line is out, when the answer is often queued already;
# "peek" reads what is queued before it waits at all: what Wine allows at best; "read"
# listens all the time too, but waits in a read that returns with the first byte, not in
# the event: what a receiver built that way would get. "load" is velka-load.exe, which waits
# in a read posted ahead, as "read" does; "first" waits in a read of one byte that ends with
# it, then reads what is queued.
UPLOADERS = ("baseline", "velka", "load", "after", "peek", "read", "first")
MODES = {"baseline": "upload", "after": "upload-after", "peek": "upload-peek",
         "read": "upload-read", "first": "upload-first"}
RECEIVERS = ("baseline", "before", "velka")
LOADS = ("idle", "hog")
HOG = "while :; do :; done"


def source_lines(count):
    """A source of `count` lines of 12 to 52 bytes that needs no cleaning, so that Velka and
    the baseline send the same bytes."""
    words = ["DUP", "DROP", "SWAP", "OVER", "+", "-", "*", "AND", "OR", "1", "2", "16"]
    lines = []
    for n in range(1, count + 1):
        extra = " ".join(words[(n * 7 + k) % len(words)] for k in range(n % 9))
        lines.append(("%d CONSTANT C%d %s" % (n, n, extra)).strip())
    return lines


def wire_limits(lines, baud):
    """(critical path, all bytes) in seconds for these lines at `baud`. Per line of L bytes
    the wire carries L + CR up and L echoed + " ok" CR down; the echo runs one byte behind
    the line, so the answer's CR is in L + 1 + 4 byte times after the line's first byte."""
    byte = BITS_PER_BYTE / baud
    crit = sum(len(x) + 1 + len(ANSWER) for x in lines) * byte
    every = sum(2 * len(x) + 1 + len(ANSWER) for x in lines) * byte
    return crit, every


def screen_expected(total):
    """The 30 rows after `total` pattern bytes on a clear screen with New Line off: rows
    fill from the top, a wrap at column 80 goes on in the next row, and once the cursor's
    row is the last one, the screen scrolls."""
    data = (PATTERN * (total // len(PATTERN) + 1))[:total].decode()
    full = total // c.COLS
    rows = [data[r * c.COLS:(r + 1) * c.COLS] for r in range(full + 1)][-c.ROWS:]
    rows += [""] * (c.ROWS - len(rows))
    return [r.ljust(c.COLS) for r in rows]


class Bench:
    def __init__(self, args):
        self.args = args
        self.before = Path(args.before_exe) if args.before_exe else None
        self.s = h.Session(c.BUILD / "host", c.ARCH)
        self.root = str(self.s.root)

    # -- measuring -----------------------------------------------------------------------
    def cpu(self, name):
        """CPU seconds of this session's processes whose command line holds `name`."""
        total, tick = 0.0, os.sysconf("SC_CLK_TCK")
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                proc = Path("/proc", pid)
                if name.encode() not in (proc / "cmdline").read_bytes():
                    continue
                if pid != str(self.s.xvfb.proc.pid) and \
                        self.root.encode() not in (proc / "environ").read_bytes():
                    continue
                fields = (proc / "stat").read_text().rsplit(")", 1)[1].split()
                total += (int(fields[11]) + int(fields[12])) / tick
            except OSError:
                continue
        return total

    def cpu_now(self, program):
        now = {"program": self.cpu(program), "wineserver": self.cpu("wineserver"),
               "xvfb": self.cpu("Xvfb")}
        if self.args.threads:
            now["threads"] = self.threads(program)
        return now

    def threads(self, name):
        """Per thread of this session's processes whose command line holds `name`: CPU
        seconds and voluntary context switches ("wakes"), keyed by process and thread id."""
        found, tick = {}, os.sysconf("SC_CLK_TCK")
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                proc = Path("/proc", pid)
                if name.encode() not in (proc / "cmdline").read_bytes() or \
                        self.root.encode() not in (proc / "environ").read_bytes():
                    continue
                for tid in os.listdir(proc / "task"):
                    task = proc / "task" / tid
                    fields = (task / "stat").read_text().rsplit(")", 1)[1].split()
                    wakes = next(int(x.split()[1]) for x in
                                 (task / "status").read_text().splitlines()
                                 if x.startswith("voluntary_ctxt_switches"))
                    found["%s/%s" % (pid, tid)] = {
                        "name": (task / "comm").read_text().strip(), "main": pid == tid,
                        "cpu": (int(fields[11]) + int(fields[12])) / tick, "wakes": wakes}
            except (OSError, StopIteration):
                continue
        return found

    @staticmethod
    def cpu_delta(before, after):
        delta = {k: after[k] - before[k] for k in before if k != "threads"}
        if "threads" in before:
            # A thread that ended meanwhile is missing from `after`; one that started counts
            # from zero. What ended is the process's total less what its threads still show.
            threads = {}
            for key, t in after["threads"].items():
                t0 = before["threads"].get(key, {"cpu": 0.0, "wakes": 0})
                threads[key] = {"name": t["name"], "main": t["main"],
                                "cpu": t["cpu"] - t0["cpu"], "wakes": t["wakes"] - t0["wakes"]}
            delta["threads"] = threads
        return delta

    # -- one upload ----------------------------------------------------------------------
    def upload(self, program, wire):
        """Upload the source with `program` ("velka", "load" or one of MODES); returns its
        figures."""
        lines = source_lines(self.args.lines)
        path = self.s.test_dir / "bench.src"
        path.write_text("\r\n".join(lines) + "\r\n")
        options = ["--wire", str(self.args.baud)] if wire else []
        board = self.s.start_board("COM1", *options)
        winpath = "Z:" + str(path).replace("/", "\\")
        try:
            if program == "velka":
                (self.s.test_dir / "VELKA.SET").write_bytes(c.settings_file(baud=self.args.baud))
                run = self.s.run(c.EXE)
                window = h.find_window(self.s.display, "^%s$" % re.escape(c.TITLE), 60)
                self.select_source(window, winpath)
                h.send_keys(self.s.display, window, "F3")
                exe = "Velka.exe"
            elif program == "load":
                load = Path(self.args.load_exe or LOAD_EXE)
                run = self.s.run(load, "-d", "COM1", "-b", str(self.args.baud), winpath)
                exe = load.name
            else:
                run = self.s.run(BASELINE, MODES[program], "COM1", winpath, "hold")
                exe = "baseline.exe"
            # CPU is counted from the first answered line to the last, leaving out start-up.
            first = self.wait_times(board, lambda t: t["lines"] >= 1, 60)
            cpu0 = self.cpu_now(exe)
            last = self.wait_times(board, lambda t: t["lines"] >= len(lines) and
                                   t["last_answer"] is not None and
                                   t["last_answer"] >= t["first_rx"], 600, lines=len(lines))
            cpu1 = self.cpu_now(exe)
            if program == "load":
                # It ends at its last answer, perhaps before its /proc entry is read: its CPU
                # is the whole process's at its end (wait4), exit included.
                cpu1["program"] = self.exit_cpu(run)
            log = board.lines()
            got = [x["line"] for x in log]
            if got != lines:
                raise RuntimeError("%s sent other lines than the source's" % program)
            if program == "velka":
                self.read_screen(" Ready")
            elif program == "load":
                if run.proc.returncode != 0:
                    raise RuntimeError("velka-load.exe: %d, %s" % (
                        run.proc.returncode, run.stderr_path.read_text(errors="replace")))
            else:
                result = self.result_of(run)
                if result["lines"] != len(lines) or result["rejected"]:
                    raise RuntimeError("baseline: %s" % result)
            seconds = last["last_answer"] - last["first_rx"]
            counted = last["lines"] - first["lines"]
            cpu = self.cpu_delta(cpu0, cpu1)
            # The board logs when each line's CR came in: the gaps are whole round trips.
            gaps = [b["t"] - a["t"] for a, b in zip(log, log[1:])]
            return {"lines": len(lines), "seconds": seconds, "lines_per_s": len(lines) / seconds,
                    "median_ms": statistics.median(gaps) * 1e3 if gaps else 0.0,
                    "cpu_per_1000": {k: v * 1000 / counted for k, v in cpu.items()
                                     if k != "threads"},
                    "cpu": cpu, "bytes_up": last["rx_bytes"], "bytes_down": last["tx_bytes"]}
        finally:
            self.s.end_test()

    @staticmethod
    def exit_cpu(run, timeout=60):
        """CPU seconds of the Wine process of `run` once it has ended (it is that program's
        process: Wine's loader runs the program in the process it was started as)."""
        deadline = time.monotonic() + timeout
        while True:
            pid, status, usage = os.wait4(run.proc.pid, os.WNOHANG)
            if pid:
                run.proc.returncode = os.waitstatus_to_exitcode(status)
                return usage.ru_utime + usage.ru_stime
            if time.monotonic() > deadline:
                raise RuntimeError("%s still running %d s after its last line" % (
                    run.proc.args[1], timeout))
            time.sleep(POLL_S)

    @staticmethod
    def result_of(run):
        """The JSON line the baseline prints when it is done."""
        line = h.wait_for(lambda: next((x for x in run.output().splitlines()
                                        if x.startswith("{")), None), 60, "the baseline's result")
        return json.loads(line)

    def wait_times(self, board, done, timeout, lines=None):
        def check():
            t = board.command(times=None)
            return t if done(t) else None

        return h.wait_for(check, timeout, "%s lines answered" % (lines or "the first"),
                          interval=POLL_S)

    def select_source(self, window, winpath):
        h.send_keys(self.s.display, window, "F2")
        box = h.find_window(self.s.display, "^Open$", 15)
        h.type_text(self.s.display, box, winpath)
        h.send_keys(self.s.display, box, "Return")
        h.wait_for(lambda: not h.xdotool(self.s.display, "search", "--onlyvisible", "--name",
                                         "^Open$"), 10, "the Open box to close", 0.2)

    def read_screen(self, wait, timeout=30):
        """Velka's 30 rows, once `wait` is in the text they show; a wrap may split it over
        two rows, so the rows that are not blank are read as one run of text."""
        deadline, rows = time.monotonic() + timeout, []
        while True:
            run = subprocess.run([*self.s.prefix.wine, str(c.SCREENREAD)],
                                 env=self.s.prefix.env(self.s.display), stdin=subprocess.DEVNULL,
                                 capture_output=True, text=True, errors="replace", timeout=60)
            rows = run.stdout.splitlines()[:c.ROWS]
            if run.returncode == 0 and wait in "".join(r for r in rows if r.strip()):
                return rows
            if time.monotonic() > deadline:
                raise RuntimeError("%r not on Velka's screen (screenread %d: %s):\n%s" % (
                    wait, run.returncode, run.stderr.strip(), "\n".join(rows)))
            time.sleep(0.2)

    # -- one receive ---------------------------------------------------------------------
    def start_receiver(self, program, total):
        """Start `program` ("velka", "before" or "baseline") reading COM1; returns its run
        and the name its CPU is counted by."""
        if program == "baseline":
            run = self.s.run(BASELINE, "receive", "COM1", str(total), "hold")
            h.wait_for(lambda: "ready" in run.output(), 60, "the baseline to open the port")
            return run, "baseline.exe"
        # Without New Line a wrap is one line feed, so all 30 rows hold the stream.
        (self.s.test_dir / "VELKA.SET").write_bytes(c.settings_file(new_line=0))
        exe = c.EXE if program == "velka" else self.before
        run = self.s.run(exe)
        h.find_window(self.s.display, "^%s$" % re.escape(c.TITLE), 60)
        return run, exe.name

    def received_whole(self, program, run, total):
        """Whether every one of `total` pattern bytes arrived: the baseline checked each
        byte; Velka's screen must be what a lossless stream leaves."""
        if program == "baseline":
            result = self.result_of(run)
            return result["bytes"] == total and result["wrong"] == 0
        expected = screen_expected(total)
        try:
            rows = self.read_screen(next(r.rstrip() for r in reversed(expected) if r.strip()))
        except RuntimeError as e:
            print(e, file=sys.stderr)
            return False
        return rows == expected

    def receive(self, program):
        """Burst the pattern at `program`; returns its figures."""
        total = self.args.bytes
        board = self.s.start_board("COM1")
        try:
            run, exe = self.start_receiver(program, total)
            time.sleep(1.0)  # let the program settle into its wait
            cpu0 = self.cpu_now(exe)
            t0 = time.monotonic()
            board.burst(total)
            h.wait_for(lambda: board.command(drained=None) == {"unsent": 0, "unread": 0},
                       900, "the burst to be read", interval=POLL_S)
            seconds = time.monotonic() - t0
            cpu = self.cpu_delta(cpu0, self.cpu_now(exe))
            return {"bytes": total, "seconds": seconds, "bytes_per_s": total / seconds,
                    "cpu": cpu, "cpu_all": cpu_sum(cpu),
                    "whole": self.received_whole(program, run, total)}
        finally:
            self.s.end_test()

    @staticmethod
    def wait_read(board, still_s=10.0):
        """Wait until the pty is drained, or until its reader has taken nothing for
        `still_s` seconds (a reader that stopped: what it left is counted as missing)."""
        last, since = None, time.monotonic()
        while True:
            unread = board.command(drained=None)["unread"]
            if unread == 0:
                return
            if unread != last:
                last, since = unread, time.monotonic()
            elif time.monotonic() - since > still_s:
                return
            time.sleep(POLL_S)

    # -- connected, nothing flowing -------------------------------------------------------
    def idle(self, program):
        """`program` connected to a silent board for --idle-seconds; returns its figures."""
        self.s.start_board("COM1")
        try:
            if program == "baseline":
                run = self.s.run(BASELINE, "listen", "COM1")
                h.wait_for(lambda: "ready" in run.output(), 60, "the baseline to open the port")
                exe = "baseline.exe"
            else:
                run, exe = self.start_receiver(program, 0)
            time.sleep(2.0)  # start-up over, the program in its waits
            cpu0, t0 = self.cpu_now(exe), time.monotonic()
            time.sleep(self.args.idle_seconds)
            cpu, seconds = self.cpu_delta(cpu0, self.cpu_now(exe)), time.monotonic() - t0
            if run.proc.poll() is not None:
                raise RuntimeError("%s ended during the idle part" % program)
            return {"seconds": seconds, "cpu": cpu, "core_share": cpu_sum(cpu) / seconds}
        finally:
            self.s.end_test()

    # -- one soak ------------------------------------------------------------------------
    def soak(self, program, load):
        """Offer the pattern to `program` at the wire rate for --soak-seconds, on the idle
        machine or beside a CPU hog on every core; returns its figures."""
        rate = self.args.baud / BITS_PER_BYTE
        total = int(rate * self.args.soak_seconds)
        board = self.s.start_board("COM1")
        hogs = []

        def stop(procs):
            while procs:
                p = procs.pop()
                p.kill()
                p.wait()

        try:
            run, exe = self.start_receiver(program, total)
            time.sleep(1.0)
            if load == "hog":
                hogs = [subprocess.Popen(["sh", "-c", HOG]) for _ in range(os.cpu_count())]
            cpu0 = self.cpu_now(exe)
            t0 = time.monotonic()
            board.command(stream={"bytes": total, "rate": rate})
            h.wait_for(lambda: board.command(streamed=None)["done"],
                       self.args.soak_seconds + 60, "the stream to end", interval=0.5)
            self.wait_read(board)
            seconds = time.monotonic() - t0
            cpu = self.cpu_delta(cpu0, self.cpu_now(exe))
            stop(hogs)  # before the screen is read
            lost = board.command(streamed=None)["lost"]
            return {"bytes": total, "lost": lost, "seconds": seconds, "cpu": cpu,
                    "core_share": cpu_sum(cpu) / seconds,
                    "whole": lost == 0 and self.received_whole(program, run, total)}
        finally:
            stop(hogs)
            self.s.end_test()

    def close(self):
        self.s.close()


def cpu_sum(cpu):
    """The program's, the wineserver's and the X server's CPU seconds together."""
    return sum(v for k, v in cpu.items() if k != "threads")


def median_of(runs, *keys):
    values = []
    for r in runs:
        for k in keys:
            r = r[k]
        values.append(r)
    return statistics.median(values)


def machine():
    cpu = next((line.split(":", 1)[1].strip() for line in
                Path("/proc/cpuinfo").read_text().splitlines() if line.startswith("model name")),
               platform.machine())
    wine = subprocess.run([h.WINE64_LOADER if c.ARCH == "win64" else "wine", "--version"],
                          capture_output=True, text=True).stdout.strip()
    return "%s, %d cores, Linux %s, %s, %s build" % (cpu, os.cpu_count(), platform.release(),
                                                      wine, "32-bit" if c.ARCH == "win32"
                                                      else "64-bit")


def verdict(ok):
    return "met" if ok else "MISSED"


def thread_report(res):
    """Per thread, in the first run of each part that sampled its threads: share of one
    core and wakes (voluntary context switches) a second."""
    out = []
    for key, runs in res.items():
        if not runs or "threads" not in runs[0].get("cpu", {}):
            continue
        r = runs[0]
        seconds, threads = r["seconds"], r["cpu"]["threads"]
        ended = r["cpu"]["program"] - sum(t["cpu"] for t in threads.values())
        out.append("   %s, %.1f s: program %.1f %%, wineserver %.1f %%, Xvfb %.1f %%" % (
            key, seconds, r["cpu"]["program"] / seconds * 100,
            r["cpu"]["wineserver"] / seconds * 100, r["cpu"]["xvfb"] / seconds * 100))
        for key_t, t in sorted(threads.items(), key=lambda kv: -kv[1]["cpu"]):
            if t["cpu"] <= 0 and t["wakes"] <= 0:
                continue
            out.append("     %-12s %-16s %6.1f %% %8.0f wakes/s" % (
                key_t, t["name"] + (" (main)" if t["main"] else ""),
                t["cpu"] / seconds * 100, t["wakes"] / seconds))
        out.append("     %-29s %6.1f %%" % ("threads that ended", max(ended, 0) / seconds * 100))
    return ["", "threads (first run of each part)"] + out if out else []


def report(args, res):
    """The figures as text: per part a table, the ratios and whether each goal was met."""
    out = ["machine: " + machine()]
    names = {"velka": "Velka", "baseline": "baseline", "load": "velka-load.exe",
             "after": "after", "peek": "peek", "read": "read", "first": "first",
             "before": "before"}
    if res["velka_fast"]:
        ran = [p for p in UPLOADERS if res[p + "_fast"]]
        rows = {p: (median_of(res[p + "_fast"], "lines_per_s"),
                    median_of(res[p + "_fast"], "cpu_per_1000", "program"),
                    median_of(res[p + "_fast"], "cpu_per_1000", "wineserver"))
                for p in ran}
        (rate_v, cpu_v, _), (rate_b, cpu_b, _) = rows["velka"], rows["baseline"]
        out += ["", "1. upload of %d lines, answered at once (median of %d rounds)" %
                (args.lines, len(res["velka_fast"])),
                "   %-14s %10s %14s %16s %22s" % ("", "lines/s", "median line ms",
                                                  "CPU s/1000 lines", "wineserver s/1000 lines")]
        out += ["   %-14s %10.0f %14.2f %16.3f %22.3f" % (
            names[p], rows[p][0], median_of(res[p + "_fast"], "median_ms"), *rows[p][1:])
            for p in ran]
        out += ["   Velka / baseline: lines/s %.3f (goal >= %.2f: %s); CPU per line %.3f "
                "(goal <= %.2f: %s)" % (rate_v / rate_b, GOAL_RATE,
                                        verdict(rate_v >= GOAL_RATE * rate_b),
                                        cpu_v / cpu_b if cpu_b else float("inf"), GOAL_CPU,
                                        verdict(cpu_v <= GOAL_CPU * cpu_b))]
        out += ["   Velka / %s: lines/s %.3f" % (p, rate_v / rows[p][0])
                for p in ("after", "peek") if p in rows]
        if "load" in rows:
            # CPU per line here is the program's and the wineserver's together.
            both = {p: rows[p][1] + rows[p][2] for p in ("load", "velka", "baseline")}
            out += ["   velka-load.exe / Velka: lines/s %.2f (goal >= %.0f: %s); CPU per line, "
                    "program + wineserver, %.3f (goal <= 1/%.0f: %s)" % (
                        rows["load"][0] / rate_v, GOAL_LOAD_RATE,
                        verdict(rows["load"][0] >= GOAL_LOAD_RATE * rate_v),
                        both["load"] / both["velka"], 1 / GOAL_LOAD_CPU,
                        verdict(both["load"] <= GOAL_LOAD_CPU * both["velka"])),
                    "   velka-load.exe / baseline: lines/s %.2f; CPU per line, program + "
                    "wineserver, %.3f" % (rows["load"][0] / rate_b,
                                          both["load"] / both["baseline"])]
    if res["velka_wire"]:
        crit, every = wire_limits(source_lines(args.lines), args.baud)
        out += ["", "2. the same upload over a simulated %d-baud wire (median of %d rounds)" %
                (args.baud, len(res["velka_wire"])),
                "   wire time of all bytes sent and received %.3f s; shortest possible upload "
                "%.3f s (the echo runs beside the line)" % (every, crit),
                "   %-14s %9s %13s %12s" % ("", "upload s", "/ all bytes", "/ shortest")]
        for p in UPLOADERS:
            if res[p + "_wire"]:
                t = median_of(res[p + "_wire"], "seconds")
                out.append("   %-14s %9.3f %13.3f %12.3f" % (names[p], t, t / every, t / crit))
        t_v = median_of(res["velka_wire"], "seconds")
        out.append("   Velka within %.0f %% of the wire time of all bytes: %s; of the shortest "
                   "upload: %s" % ((GOAL_WIRE - 1) * 100, verdict(t_v <= GOAL_WIRE * every),
                                   verdict(t_v <= GOAL_WIRE * crit)))
        if res["load_wire"]:
            t_l = median_of(res["load_wire"], "seconds")
            out.append("   velka-load.exe: %.3f of the wire time of all bytes (goal <= %.2f: %s)"
                       % (t_l / every, GOAL_LOAD_WIRE, verdict(t_l <= GOAL_LOAD_WIRE * every)))
    if res["velka_receive"]:
        out += ["", "3. receive of a %d-byte burst as fast as the pty takes it (median of %d)" %
                (args.bytes, len(res["velka_receive"])),
                "   %-9s %10s %8s %8s %11s %8s  %s" % ("", "bytes/s", "seconds", "CPU s",
                                                     "wineserver", "Xvfb", "every byte")]
        for p in RECEIVERS:
            runs = res[p + "_receive"]
            if not runs:
                continue
            out.append("   %-9s %10.0f %8.2f %8.2f %11.2f %8.2f  %s" % (
                names[p], median_of(runs, "bytes_per_s"), median_of(runs, "seconds"),
                median_of(runs, "cpu", "program"), median_of(runs, "cpu", "wineserver"),
                median_of(runs, "cpu", "xvfb"), "yes" if all(x["whole"] for x in runs) else "NO"))
        rate_v = median_of(res["velka_receive"], "bytes_per_s")
        out.append("   Velka / baseline: bytes/s %.3f (goal >= %.2f: %s)" % (
            rate_v / median_of(res["baseline_receive"], "bytes_per_s"), GOAL_BURST,
            verdict(rate_v >= GOAL_BURST * median_of(res["baseline_receive"], "bytes_per_s"))))
        per_mb = {p: median_of(res[p + "_receive"], "cpu_all") / (args.bytes / 1e6)
                  for p in RECEIVERS if res[p + "_receive"]}
        out.append("   CPU s per MB, program + wineserver + Xvfb: %s; Velka / baseline %.2f "
                   "(goal <= %.1f: %s)" % (
                       ", ".join("%s %.2f" % (names[p], v) for p, v in per_mb.items()),
                       per_mb["velka"] / per_mb["baseline"], GOAL_CPU_MB,
                       verdict(per_mb["velka"] <= GOAL_CPU_MB * per_mb["baseline"])))
    if res["velka_soak_idle"]:
        out += ["", "4. soak: the pattern offered at %d bytes/s for %d s, no flow control" % (
            args.baud // BITS_PER_BYTE, args.soak_seconds),
            "   %-9s %-5s %9s %10s %8s %11s %8s %12s  %s" % (
                "", "load", "offered", "lost", "CPU s", "wineserver", "Xvfb", "share of core",
                "every byte")]
        for p in RECEIVERS:
            for load in LOADS:
                for r in res["%s_soak_%s" % (p, load)]:
                    out.append("   %-9s %-5s %9d %10d %8.2f %11.2f %8.2f %11.1f %%  %s" % (
                        names[p], load, r["bytes"], r["lost"], r["cpu"]["program"],
                        r["cpu"]["wineserver"], r["cpu"]["xvfb"], r["core_share"] * 100,
                        "yes" if r["whole"] else "NO"))
        v = {load: res["velka_soak_" + load] for load in LOADS}
        nothing_lost = all(r["lost"] == 0 and r["whole"] for load in LOADS for r in v[load])
        share = max(r["core_share"] for r in v["idle"])
        out.append("   Velka: nothing lost and the screen whole in every run: %s; idle share of "
                   "one core %.1f %% (goal <= %.0f %%: %s)" % (
                       verdict(nothing_lost), share * 100, GOAL_SHARE * 100,
                       verdict(share <= GOAL_SHARE)))
    if res["velka_idle"]:
        out += ["", "5. idle: connected, nothing flowing, %d s (median of %d)" % (
            args.idle_seconds, len(res["velka_idle"])),
            "   %-9s %8s %11s %8s %14s" % ("", "CPU s", "wineserver", "Xvfb", "share of core")]
        for p in RECEIVERS:
            runs = res[p + "_idle"]
            if runs:
                out.append("   %-9s %8.2f %11.2f %8.2f %12.2f %%" % (
                    names[p], median_of(runs, "cpu", "program"),
                    median_of(runs, "cpu", "wineserver"), median_of(runs, "cpu", "xvfb"),
                    median_of(runs, "core_share") * 100))
        points = (median_of(res["velka_idle"], "core_share") -
                  median_of(res["baseline_idle"], "core_share")) * 100
        out.append("   Velka - baseline: %.2f points of one core (goal <= %.0f: %s)" % (
            points, GOAL_IDLE_POINTS, verdict(points <= GOAL_IDLE_POINTS)))
    out += thread_report(res)
    return "\n".join(out)


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                formatter_class=argparse.RawDescriptionHelpFormatter,
                                epilog=__doc__.split("\n\n", 1)[1])
    p.add_argument("--lines", type=int, default=5000, help="source lines (default 5000)")
    p.add_argument("--bytes", type=int, default=4 << 20, help="burst size (default 4 MiB)")
    p.add_argument("--baud", type=int, default=115200, help="wire speed (default 115200)")
    p.add_argument("--rounds", type=int, default=3, help="rounds of each upload (default 3)")
    p.add_argument("--receive-rounds", type=int, default=1,
                   help="rounds of the receive (default 1: Velka takes minutes for 4 MiB)")
    p.add_argument("--soak-seconds", type=int, default=120,
                   help="length of each soak (default 120)")
    p.add_argument("--idle-seconds", type=int, default=60,
                   help="length of each idle run (default 60)")
    p.add_argument("--before-exe", metavar="EXE",
                   help="an older Velka.exe to receive and soak beside the current one")
    p.add_argument("--load-exe", metavar="EXE",
                   help="a velka-load.exe other than the build's to upload with as \"load\"")
    p.add_argument("--only", choices=("fast", "wire", "receive", "soak", "idle"), action="append",
                   help="run only these parts (repeatable)")
    p.add_argument("--with", dest="uploaders", choices=UPLOADERS[2:], action="append",
                   help="upload with Velka, the baseline and only these of the others "
                   "(repeatable; default all: load is velka-load.exe)")
    p.add_argument("--json", metavar="FILE", help="also write every round's figures here")
    p.add_argument("--threads", action="store_true",
                   help="also show the CPU and wakes of each thread of the programs")
    args = p.parse_args(argv)
    uploaders = UPLOADERS[:2] + tuple(args.uploaders or UPLOADERS[2:])
    for need in (c.EXE, c.SCREENREAD, BASELINE) + ((Path(args.load_exe or LOAD_EXE),) if "load" in uploaders else ()):
        if not need.is_file():
            sys.exit("%s is missing: build it first (see the README)" % need)
    parts = args.only or ["fast", "wire", "receive", "soak", "idle"]
    res = {"%s_%s" % (prog, part): [] for prog in UPLOADERS for part in ("fast", "wire")}
    res.update({"%s_receive" % prog: [] for prog in RECEIVERS})
    res.update({"%s_soak_%s" % (prog, load): [] for prog in RECEIVERS for load in LOADS})
    res.update({"%s_idle" % prog: [] for prog in RECEIVERS})
    receivers = [p for p in RECEIVERS if p != "before" or args.before_exe]
    bench = Bench(args)
    try:
        for n in range(max(args.rounds, args.receive_rounds)):
            for prog in uploaders:
                for part, wire in (("fast", False), ("wire", True)):
                    if part in parts and n < args.rounds:
                        res["%s_%s" % (prog, part)].append(bench.upload(prog, wire))
            for prog in receivers:
                if "receive" in parts and n < args.receive_rounds:
                    res[prog + "_receive"].append(bench.receive(prog))
            for load in LOADS:
                for prog in receivers:
                    if "soak" in parts and n < args.receive_rounds:
                        res["%s_soak_%s" % (prog, load)].append(bench.soak(prog, load))
            for prog in receivers:
                if "idle" in parts and n < args.receive_rounds:
                    res[prog + "_idle"].append(bench.idle(prog))
            print("round %d done" % (n + 1), file=sys.stderr, flush=True)
    finally:
        bench.close()
    if args.json:
        Path(args.json).write_text(json.dumps(res, indent=1))
    print(report(args, res))


if __name__ == "__main__":
    main()
