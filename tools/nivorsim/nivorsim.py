#!/usr/bin/env python3
"""Simulated Nivor board on a pseudo-terminal, for Velka's Wine tests and demo launcher.

Answers CR-terminated lines like the board's console, with " ok" or, with --forth, as the
board's small Forth does; tests steer it through a control socket. With --tcp it serves one
TCP connection instead of a pty, as a network serial server would (and as velka-load.exe's
--sim reaches it on Windows, which has no ptys).
"""
import argparse
import base64
import json
import os
import selectors
import signal
import socket
import struct
import sys
import time
from collections import deque

try:  # not on Windows, where only --tcp serves
    import fcntl
    import termios
    import tty
except ImportError:
    fcntl = termios = tty = None

from forth import Forth

# Burst and long-answer byte k is PATTERN[k % 64]: the base64 alphabet, printable, no CR or LF.
PATTERN = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
READ_SIZE = 4096
PIECE_GAP_S = 0.02
STREAM_TICK_S = 0.002  # a stream's bytes are offered in slices this far apart
CR, LF = 0x0D, 0x0A
BITS_PER_BYTE = 10  # start bit, 8 data bits, stop bit
BAUDS = {getattr(termios, "B%d" % b): b for b in
         (50, 75, 110, 134, 150, 200, 300, 600, 1200, 1800, 2400, 4800, 9600, 19200, 38400,
          57600, 115200, 230400, 460800, 500000, 576000, 921600, 1000000)
         if hasattr(termios, "B%d" % b)} if termios else {}
# A rate set as a number (BOTHER in c_cflag, as Wine 10 sets every rate) is only in the
# termios2 record: _IOR('T', 0x2A, struct termios2), its c_ospeed at byte 40 of 44.
TCGETS2, TERMIOS2_SIZE, TERMIOS2_OSPEED = 0x802C542A, 44, 40
BOTHER = 0o10000

HELP_EPILOG = """\
Every received byte but CR and LF is echoed at once, as the board's console does. Each line
ending in CR (LF bytes are ignored) is then answered with " ok" (or --answer TEXT) and CR; a
line holding a --reject word gets " ~ error" instead.

--forth interprets each line in a small Forth instead (forth.py; the launcher's board). The
answer is a blank, the line's output, then "ok", or "compiled" while a definition is open,
or "word ~ reason" when the line failed (the stack is then emptied and an unfinished
definition dropped), and CR:
  1 2 + .            ->  " 3 ok"           : sq dup * ;   ->  " ok"
  : cube ( n -- )    ->  " compiled"       dup sq * ;     ->  " ok"
  3 cube .           ->  " 27 ok"          3 cuve .       ->  " cuve ~ ?"
Reasons: ? (unknown word), stack empty, stack full (1024 cells, or 100 calls one inside
the other), division by zero, compile only (a control word outside a definition), interpret
only (: variable constant inside one), unbalanced, name missing, bad address, not in a loop,
too long (over 200000 words run or 8192 bytes printed in one line).
Words: dup drop swap over rot nip tuck 2dup 2drop + - * / mod /mod negate abs min max and
or xor invert = <> < > 0= 0< . .s emit cr space spaces ." variable constant ! @ +! : ;
if else then begin until while repeat do loop +loop i j ( \\ words, decimal, negative and
$hex numbers, 32-bit cells; a backspace in a line takes back the character before it.
Board words: led, a variable; each change between zero (off) and not zero (on) prints
"<LED on>" or "<LED off>" and CR on a line of its own, when it happens. n ms waits n
milliseconds, but the waits of one line stop adding up at 3 seconds; output after a wait
is sent when the wait is over, and the answer's CR last. A line whose output holds a CR
(cr, an LED report) ends an upload's wait for its answer early: type such lines, or put
them last in a source. --reject, --delay, --pieces and --silent-after apply as without it.

Control socket (--control): one JSON object per line in, one JSON reply per line out.
  {"send": "<base64>"}   write these raw bytes to the port
  {"burst": N}           write N bytes at full speed; byte k is PATTERN[k % 64],
                         PATTERN = the base64 alphabet A-Z a-z 0-9 + /
  {"stream": {"bytes": N, "rate": R}}
                         offer N pattern bytes at R bytes a second, whether or not the
                         reader keeps up, as a UART without flow control: what the pty
                         cannot take at once is lost (and skipped in the pattern)
  {"streamed": null}     {"offered", "written", "lost": bytes so far, "done": true once
                         all N were offered}
  {"speed": null}        the port's current {"speed": baud, "stop": 1 or 2}
  {"received": null}     base64 of all raw bytes received since the last such query
  {"drained": null}      {"unsent": bytes still queued here, "unread": bytes written to the
                         pty that its reader has not taken yet}
  {"times": null}        {"first_rx": unix time the first byte was received, "last_answer":
                         unix time the last answer's CR was written, "lines", "rx_bytes",
                         "tx_bytes": counts so far}
  {"quit": null}         reply, then exit
Log (--log): one JSON line per received line:
  {"n": 1, "line": "...", "t": <unix time>, "answered_before": true}
answered_before is false when part of an earlier answer was still unwritten as the line's
first byte arrived.  The slave path is printed on stdout; --link appears once ready.

--wire BAUD makes the pty as slow as a full-duplex wire of BAUD with 10 bits a byte: a
received byte counts as arrived one byte time after the wire became free for it, and every
byte sent (echo, answers, bursts) is written only once its byte time on the other wire is
over. The echo of a byte starts when it has arrived; the answer when its CR has.
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
        self.forth = Forth() if args.forth else None
        self.busy_until = 0.0  # when the Forth's last answer is over: lines run one by one
        # select() sleeps to the microsecond; epoll and poll round up to whole milliseconds,
        # more than ten byte times at 115200 baud.
        self.sel = selectors.SelectSelector() if args.wire else selectors.DefaultSelector()
        self.master = self.slave = self.listener = self.conn = None
        if args.tcp:
            host, _, port = args.tcp.rpartition(":")
            self.listener = socket.create_server((host.strip("[]"), int(port)))
            self.sel.register(self.listener, selectors.EVENT_READ, self.on_connect)
        else:
            self.master, self.slave = os.openpty()
            tty.setraw(self.slave)
            os.set_blocking(self.master, False)
            self.sel.register(self.master, selectors.EVENT_READ, self.on_port)
        self.out = deque()
        self.pending_answers = 0
        self.line = bytearray()
        self.in_line = False
        self.answered_before = True
        self.lines = 0
        self.received = bytearray()
        self.byte_time = BITS_PER_BYTE / args.wire if args.wire else 0.0
        self.rx_free = 0.0  # when the incoming wire is free (monotonic clock), --wire only
        self.tx_free = 0.0  # when the outgoing wire is free
        self.first_rx = None
        self.last_answer = None
        self.rx_bytes = self.tx_bytes = 0
        self.stream = None  # [bytes, rate, start, offered, written], --control "stream"
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
        """The pty's path, or with --tcp the address it listens on."""
        if self.listener:
            host, port = self.listener.getsockname()[:2]
            return "%s:%d" % ("[%s]" % host if ":" in host else host, port)
        return os.ttyname(self.slave)

    # --- the port ---------------------------------------------------------------------------
    def on_connect(self, _conn):
        """--tcp: one client at a time is the line; a new one takes the place of the last."""
        conn, _ = self.listener.accept()
        if self.conn:
            self.sel.unregister(self.conn)
            self.conn.close()
        conn.setblocking(False)
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.conn = conn
        self.sel.register(conn, selectors.EVENT_READ, self.on_port)

    def port_read(self):
        if self.conn:
            data = self.conn.recv(READ_SIZE)
            if not data:  # the client has gone: wait for the next (with --once, end)
                self.sel.unregister(self.conn)
                self.conn.close()
                self.conn = None
                if self.args.once:
                    raise Stop()
            return data
        return os.read(self.master, READ_SIZE)

    def port_write(self, data):
        """Bytes written to the line; BlockingIOError when it takes none now."""
        if self.listener:
            if not self.conn:
                return len(data)  # nobody on the line: the bytes go nowhere, as on a wire
            return self.conn.send(data)
        return os.write(self.master, data)

    def on_port(self, _conn):
        try:
            data = self.port_read()
        except (BlockingIOError, ConnectionError):
            data = b""
            if self.args.once:
                raise Stop()
        except OSError:
            return
        if self.first_rx is None:
            self.first_rx = time.time()
        self.received += data
        self.rx_bytes += len(data)
        now = time.monotonic()
        echo = bytearray()
        echo_ready = 0.0
        for b in data:
            arrived = self.arrive(now)
            if b == LF:
                continue
            if not self.in_line:
                self.in_line = True
                self.answered_before = self.pending_answers == 0
            if b == CR:
                self.queue_echo(echo, echo_ready)
                self.end_line(arrived)
            else:
                if not echo:
                    echo_ready = arrived
                self.line.append(b)
                echo.append(b)
        self.queue_echo(echo, echo_ready)

    def arrive(self, now):
        """When the next received byte has come over the wire: at once without --wire."""
        if not self.byte_time:
            return now
        self.rx_free = max(now, self.rx_free) + self.byte_time
        return self.rx_free

    def silent(self):
        return self.args.silent_after is not None and self.lines >= self.args.silent_after

    def queue_echo(self, echo, ready):
        if echo and not self.silent():
            self.out.append(Chunk(bytes(echo), ready))
        echo.clear()

    def end_line(self, arrived):
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
        self.queue_answer(self.answer_for(line), arrived)

    def answer_for(self, line):
        """The answer as [(seconds after the line's start, bytes)]."""
        if self.args.long_answer is not None:
            return [(0.0, pattern(self.args.long_answer) + b"\r")]
        if self.rejects.intersection(line.split()):
            return [(0.0, b" ~ error\r")]
        if self.forth:
            return [(t, text.encode("latin-1"))
                    for t, text in self.forth.answer(line.decode("latin-1"))]
        return [(0.0, self.args.answer.encode("latin-1") + b"\r")]

    def queue_answer(self, answer, now):
        start = now + self.args.delay / 1000.0
        if self.forth:
            start = max(start, self.busy_until)
            self.busy_until = start + answer[-1][0]
        self.pending_answers += 1
        for n, (offset, data) in enumerate(answer):
            pieces = split_pieces(data, self.args.pieces)
            for i, piece in enumerate(pieces):
                self.out.append(Chunk(piece, start + offset if i == 0 else 0.0,
                                      PIECE_GAP_S if i else 0.0,
                                      n == len(answer) - 1 and i == len(pieces) - 1))

    def flush(self, now):
        """Write what is due; return seconds until the next chunk is due, or None."""
        while self.out:
            head = self.out[0]
            if head.due > now:
                return head.due - now
            size = len(head.data)
            if self.byte_time:
                # Bytes whose time on the wire is over by now; the first one ends one byte
                # time after it is ready and the wire is free.
                first_done = max(head.due, self.tx_free) + self.byte_time
                if first_done > now:
                    return first_done - now
                size = min(size, int((now - first_done) / self.byte_time) + 1)
            try:
                n = self.port_write(head.data[:size])
            except BlockingIOError:
                return 0.005
            if self.byte_time:
                self.tx_free = first_done + (n - 1) * self.byte_time
            self.tx_bytes += n
            head.data = head.data[n:]
            if head.data:
                if self.byte_time and n == size:
                    continue
                return 0.005
            self.out.popleft()
            if head.ends_answer:
                self.pending_answers -= 1
                self.last_answer = time.time()
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
                self.out.append(Chunk(base64.b64decode(cmd["send"]), time.monotonic()))
            elif "burst" in cmd:
                self.out.append(Chunk(pattern(int(cmd["burst"])), time.monotonic()))
            elif "stream" in cmd:
                self.stream = [int(cmd["stream"]["bytes"]), float(cmd["stream"]["rate"]),
                               time.monotonic(), 0, 0]
            elif "streamed" in cmd:
                total, _, _, offered, written = self.stream or [0, 0, 0, 0, 0]
                return {"offered": offered, "written": written, "lost": offered - written,
                        "done": offered == total}, False
            elif "speed" in cmd:
                return self.line_settings(), False
            elif "received" in cmd:
                data, self.received = bytes(self.received), bytearray()
                return {"received": base64.b64encode(data).decode()}, False
            elif "drained" in cmd:
                unread = struct.unpack("i", fcntl.ioctl(self.slave, termios.FIONREAD,
                                                        b"\0\0\0\0"))[0] if self.slave else 0
                return {"unsent": sum(len(c.data) for c in self.out), "unread": unread}, False
            elif "times" in cmd:
                return {"first_rx": self.first_rx, "last_answer": self.last_answer,
                        "lines": self.lines, "rx_bytes": self.rx_bytes,
                        "tx_bytes": self.tx_bytes}, False
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
        A TCP line has no settings.
        """
        if self.slave is None:
            return {"speed": None, "stop": None}
        _, _, cflag, _, _, ospeed, _ = termios.tcgetattr(self.slave)
        speed = BAUDS.get(ospeed)
        if speed is None and cflag & termios.CBAUD == BOTHER:
            record = fcntl.ioctl(self.slave, TCGETS2, bytes(TERMIOS2_SIZE))
            speed = struct.unpack_from("I", record, TERMIOS2_OSPEED)[0]
        return {"speed": speed, "stop": 2 if cflag & termios.CSTOPB else 1}

    def pace(self, now):
        """Offer the stream's bytes that are due by now; return seconds until the next."""
        if not self.stream:
            return None
        total, rate, start, offered, written = self.stream
        due = min(total, int((now - start) * rate))
        if due > offered:
            data = bytes(PATTERN[k % len(PATTERN)] for k in range(offered, due))
            try:
                n = self.port_write(data)
            except BlockingIOError:
                n = 0
            self.stream[3:] = [due, written + n]
            self.tx_bytes += n
        return None if due >= total else STREAM_TICK_S

    # --- main loop --------------------------------------------------------------------------
    def run(self):
        while True:
            now = time.monotonic()
            timeouts = [t for t in (self.flush(now), self.pace(now)) if t is not None]
            timeout = min(timeouts) if timeouts else None
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
        for sock in (self.conn, self.listener):
            if sock:
                sock.close()
        if self.master is not None:
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
    p.add_argument("--forth", action="store_true",
                   help="interpret each line in the board's small Forth (see below)")
    p.add_argument("--wire", metavar="BAUD", type=int,
                   help="pace both directions as a full-duplex wire of BAUD would")
    p.add_argument("--log", metavar="PATH", help="write a JSON line per received line to PATH")
    p.add_argument("--control", metavar="PATH", help="listen for commands on this Unix socket")
    p.add_argument("--tcp", metavar="HOST:PORT",
                   help="serve the line on TCP instead of a pty (port 0: any free one); the "
                        "address is printed where the pty's path would be")
    p.add_argument("--once", action="store_true",
                   help="with --tcp: end when the first client leaves")
    args = p.parse_args(argv)
    if args.tcp and args.link:
        p.error("--link names a pty; --tcp has none")
    if not args.tcp and not termios:
        p.error("this system has no ptys: give --tcp HOST:PORT")
    return args


def main(argv=None):
    args = parse_args(argv)

    def on_signal(_sig, _frame):
        raise Stop()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    if hasattr(signal, "SIGBREAK"):  # Windows: the console's Ctrl+Break
        signal.signal(signal.SIGBREAK, on_signal)
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
