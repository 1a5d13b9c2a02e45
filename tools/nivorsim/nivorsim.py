#!/usr/bin/env python3
"""Simulated Nivor board on a pseudo-terminal, for Velka's Wine tests and demo launcher.

Answers CR-terminated lines like the board's console; tests steer it through a control socket.
"""
import argparse
import base64
import json
import os
import selectors
import signal
import socket
import sys
import termios
import time
import tty
from collections import deque

# Burst and long-answer byte k is PATTERN[k % 64]: the base64 alphabet, printable, no CR or LF.
PATTERN = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
READ_SIZE = 4096
PIECE_GAP_S = 0.02
CR, LF = 0x0D, 0x0A
BAUDS = {getattr(termios, "B%d" % b): b for b in
         (50, 75, 110, 134, 150, 200, 300, 600, 1200, 1800, 2400, 4800, 9600, 19200, 38400,
          57600, 115200, 230400, 460800, 500000, 576000, 921600, 1000000)
         if hasattr(termios, "B%d" % b)}

HELP_EPILOG = """\
Every received byte but CR and LF is echoed at once, as the board's console does. Each line
ending in CR (LF bytes are ignored) is then answered with " ok" (or --answer TEXT) and CR; a
line holding a --reject word gets " ~ error" instead.

Control socket (--control): one JSON object per line in, one JSON reply per line out.
  {"send": "<base64>"}   write these raw bytes to the port
  {"burst": N}           write N bytes at full speed; byte k is PATTERN[k % 64],
                         PATTERN = the base64 alphabet A-Z a-z 0-9 + /
  {"speed": null}        the port's current {"speed": baud, "stop": 1 or 2}
  {"received": null}     base64 of all raw bytes received since the last such query
  {"quit": null}         reply, then exit
Log (--log): one JSON line per received line:
  {"n": 1, "line": "...", "t": <unix time>, "answered_before": true}
answered_before is false when part of an earlier answer was still unwritten as the line's
first byte arrived.  The slave path is printed on stdout; --link appears once ready.
"""


def pattern(n):
    """The first n bytes of the repeating burst pattern."""
    reps = n // len(PATTERN) + 1
    return (PATTERN * reps)[:n]


def split_pieces(data, n):
    """Cut data into min(n, len) nearly equal consecutive pieces."""
    n = max(1, min(n, len(data)))
    step, extra = divmod(len(data), n)
    out, pos = [], 0
    for i in range(n):
        size = step + (1 if i < extra else 0)
        out.append(data[pos:pos + size])
        pos += size
    return out


class Stop(Exception):
    """Ends the main loop: a signal or the quit command."""


class Chunk:
    """Bytes waiting to go out: not before `due`, and `gap` seconds after the chunk ahead."""

    def __init__(self, data, due, gap=0.0, ends_answer=False):
        self.data, self.due, self.gap, self.ends_answer = data, due, gap, ends_answer


class Board:
    def __init__(self, args):
        self.args = args
        self.rejects = {w.encode() for w in args.reject}
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        os.set_blocking(self.master, False)
        self.sel = selectors.DefaultSelector()
        self.sel.register(self.master, selectors.EVENT_READ, self.on_port)
        self.out = deque()
        self.pending_answers = 0
        self.line = bytearray()
        self.in_line = False
        self.answered_before = True
        self.lines = 0
        self.received = bytearray()
        self.log = open(args.log, "w", encoding="utf-8") if args.log else None
        self.server = None
        self.clients = {}
        if args.control:
            if os.path.exists(args.control):
                os.unlink(args.control)
            self.server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            self.server.bind(args.control)
            self.server.listen(4)
            self.sel.register(self.server, selectors.EVENT_READ, self.on_accept)

    def slave_path(self):
        return os.ttyname(self.slave)

    # --- the port ---------------------------------------------------------------------------
    def on_port(self, _conn):
        try:
            data = os.read(self.master, READ_SIZE)
        except (BlockingIOError, OSError):
            return
        self.received += data
        echo = bytearray()
        for b in data:
            if b == LF:
                continue
            if not self.in_line:
                self.in_line = True
                self.answered_before = self.pending_answers == 0
            if b == CR:
                self.queue_echo(echo)
                self.end_line()
            else:
                self.line.append(b)
                echo.append(b)
        self.queue_echo(echo)

    def silent(self):
        return self.args.silent_after is not None and self.lines >= self.args.silent_after

    def queue_echo(self, echo):
        if echo and not self.silent():
            self.out.append(Chunk(bytes(echo), 0.0))
        echo.clear()

    def end_line(self):
        self.lines += 1
        line = bytes(self.line)
        self.line.clear()
        self.in_line = False
        if self.log:
            rec = {"n": self.lines, "line": line.decode("latin-1"), "t": time.time(),
                   "answered_before": self.answered_before}
            self.log.write(json.dumps(rec) + "\n")
            self.log.flush()
        if self.args.silent_after is not None and self.lines > self.args.silent_after:
            return
        self.queue_answer(self.answer_for(line), time.monotonic())

    def answer_for(self, line):
        if self.args.long_answer is not None:
            return pattern(self.args.long_answer) + b"\r"
        if self.rejects.intersection(line.split()):
            return b" ~ error\r"
        return self.args.answer.encode("latin-1") + b"\r"

    def queue_answer(self, answer, now):
        pieces = split_pieces(answer, self.args.pieces)
        self.pending_answers += 1
        due = now + self.args.delay / 1000.0
        for i, piece in enumerate(pieces):
            self.out.append(Chunk(piece, due if i == 0 else 0.0, PIECE_GAP_S if i else 0.0,
                                  i == len(pieces) - 1))

    def flush(self, now):
        """Write what is due; return seconds until the next chunk is due, or None."""
        while self.out:
            head = self.out[0]
            if head.due > now:
                return head.due - now
            try:
                n = os.write(self.master, head.data)
            except BlockingIOError:
                return 0.005
            head.data = head.data[n:]
            if head.data:
                return 0.005
            self.out.popleft()
            if head.ends_answer:
                self.pending_answers -= 1
            if self.out:
                nxt = self.out[0]
                nxt.due = max(nxt.due, now + nxt.gap)
        return None

    # --- the control socket -----------------------------------------------------------------
    def on_accept(self, _conn):
        conn, _ = self.server.accept()
        self.clients[conn] = bytearray()
        self.sel.register(conn, selectors.EVENT_READ, self.on_client)

    def on_client(self, conn):
        try:
            data = conn.recv(READ_SIZE)
            buf = self.clients[conn]
            buf += data
            while b"\n" in buf:
                raw, _, rest = bytes(buf).partition(b"\n")
                buf[:] = rest
                reply, stop = self.command(raw)
                conn.sendall(json.dumps(reply).encode() + b"\n")
                if stop:
                    raise Stop()
        except OSError:
            data = b""  # a test that went away mid-command
        if not data:
            self.drop(conn)

    def drop(self, conn):
        self.sel.unregister(conn)
        del self.clients[conn]
        conn.close()

    def command(self, raw):
        """Carry out one control command; return (reply, whether to quit)."""
        try:
            cmd = json.loads(raw)
            if "send" in cmd:
                self.out.append(Chunk(base64.b64decode(cmd["send"]), 0.0))
            elif "burst" in cmd:
                self.out.append(Chunk(pattern(int(cmd["burst"])), 0.0))
            elif "speed" in cmd:
                return self.line_settings(), False
            elif "received" in cmd:
                data, self.received = bytes(self.received), bytearray()
                return {"received": base64.b64encode(data).decode()}, False
            elif "quit" in cmd:
                return {"ok": True}, True
            else:
                return {"error": "unknown command"}, False
        except (ValueError, TypeError, AttributeError) as e:
            return {"error": str(e)}, False
        return {"ok": True}, False

    def line_settings(self):
        """Speed and stop bits of the slave as its last user set them (termios is per tty).

        A pty forces CS8 without parity, so character size and parity cannot be seen here.
        """
        _, _, cflag, _, _, ospeed, _ = termios.tcgetattr(self.slave)
        return {"speed": BAUDS.get(ospeed), "stop": 2 if cflag & termios.CSTOPB else 1}

    # --- main loop --------------------------------------------------------------------------
    def run(self):
        while True:
            timeout = self.flush(time.monotonic())
            for key, _ in self.sel.select(timeout):
                key.data(key.fileobj)

    def close(self):
        for conn in list(self.clients):
            self.drop(conn)
        if self.server:
            self.server.close()
            try:
                os.unlink(self.args.control)
            except OSError:
                pass
        if self.log:
            self.log.close()
        os.close(self.master)
        os.close(self.slave)


def place_link(link, target):
    """Point `link` at `target`, replacing any old link atomically."""
    tmp = link + ".new"
    if os.path.lexists(tmp):
        os.unlink(tmp)
    os.symlink(target, tmp)
    os.replace(tmp, link)


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0], epilog=HELP_EPILOG,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--link", metavar="PATH", help="make PATH a symlink to the pty slave")
    p.add_argument("--reject", metavar="WORD", action="append", default=[],
                   help="answer lines holding WORD with ' ~ error' (repeatable)")
    p.add_argument("--delay", metavar="MS", type=int, default=0,
                   help="wait MS milliseconds before answering a line")
    p.add_argument("--pieces", metavar="N", type=int, default=1,
                   help="send each answer in N pieces, %d ms apart" % int(PIECE_GAP_S * 1000))
    p.add_argument("--silent-after", metavar="N", type=int,
                   help="echo and answer only the first N lines (later ones are still logged)")
    p.add_argument("--long-answer", metavar="N", type=int,
                   help="answer every line with N pattern bytes and then CR")
    p.add_argument("--answer", metavar="TEXT", default=" ok",
                   help="answer TEXT and CR instead of ' ok' and CR")
    p.add_argument("--log", metavar="PATH", help="write a JSON line per received line to PATH")
    p.add_argument("--control", metavar="PATH", help="listen for commands on this Unix socket")
    return p.parse_args(argv)


def main(argv=None):
    args = parse_args(argv)

    def on_signal(_sig, _frame):
        raise Stop()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    board = Board(args)
    try:
        if args.link:
            place_link(args.link, board.slave_path())
        print(board.slave_path(), flush=True)
        board.run()
    except Stop:
        pass
    finally:
        if args.link and os.path.islink(args.link) and \
                os.readlink(args.link) == board.slave_path():
            os.unlink(args.link)
        board.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
