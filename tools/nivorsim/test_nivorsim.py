"""Tests of the simulated Nivor board: answers, timing options, the log and the control socket,
driven through its pty link the way Wine would use it. Run: python3 -m unittest test_nivorsim."""
import base64
import json
import os
import select
import signal
import socket
import subprocess
import sys
import tempfile
import termios
import time
import tty
import unittest
from pathlib import Path

SIM = Path(__file__).with_name("nivorsim.py")
PATTERN = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"


class Board:
    """A nivorsim process and the pty end a program would open."""

    def __init__(self, *options):
        self.dir = tempfile.TemporaryDirectory()
        d = Path(self.dir.name)
        self.link, self.ctl, self.log = d / "com", d / "ctl", d / "log"
        self.proc = subprocess.Popen(
            [sys.executable, str(SIM), "--link", str(self.link), "--control", str(self.ctl),
             "--log", str(self.log), *options], stdout=subprocess.PIPE)
        self.proc.stdout.readline()
        self.fd = os.open(self.link, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)

    def read(self, seconds):
        """Everything that arrives within `seconds`, as a list of separate reads."""
        chunks, end = [], time.monotonic() + seconds
        while (left := end - time.monotonic()) > 0:
            if select.select([self.fd], [], [], left)[0]:
                chunks.append(os.read(self.fd, 4096))
        return chunks

    def command(self, cmd):
        with socket.socket(socket.AF_UNIX) as s:
            s.connect(str(self.ctl))
            s.sendall(json.dumps(cmd).encode() + b"\n")
            return json.loads(s.makefile("rb").readline())

    def lines(self):
        return [json.loads(x) for x in self.log.read_text().splitlines()]

    def close(self):
        os.close(self.fd)
        if self.proc.poll() is None:
            self.proc.terminate()
        self.proc.wait(5)
        self.proc.stdout.close()
        self.dir.cleanup()


class NivorsimTest(unittest.TestCase):
    def board(self, *options):
        b = Board(*options)
        self.addCleanup(b.close)
        return b

    def test_answers(self):
        cases = [
            ((), b"1 2 +\r", b"1 2 + ok\r"),
            ((), b"a\nb\r\n", b"ab ok\r"),
            (("--reject", "BAD"), b"x BAD y\r", b"x BAD y ~ error\r"),
            (("--reject", "BAD"), b"xBADy\r", b"xBADy ok\r"),
            (("--answer", " OK!"), b"q\r", b"q OK!\r"),
            (("--long-answer", "70"), b"q\r", b"q" + (PATTERN * 2)[:70] + b"\r"),
            (("--silent-after", "1"), b"a\rb\r", b"a ok\r"),
        ]
        for options, sent, answer in cases:
            with self.subTest(options=options, sent=sent):
                b = self.board(*options)
                os.write(b.fd, sent)
                self.assertEqual(b"".join(b.read(0.3)), answer)
                self.assertEqual(len(b.lines()), sent.count(b"\r"))

    def test_delay_holds_the_answer_but_not_the_echo(self):
        b = self.board("--delay", "300")
        os.write(b.fd, b"a\r")
        self.assertEqual(b"".join(b.read(0.2)), b"a")
        self.assertEqual(b"".join(b.read(0.3)), b" ok\r")

    def test_pieces_arrive_separately(self):
        b = self.board("--pieces", "3")
        os.write(b.fd, b"abcdef\r")
        chunks = b.read(0.4)
        self.assertGreaterEqual(len(chunks), 2)  # a busy machine may merge two reads
        self.assertEqual(b"".join(chunks), b"abcdef ok\r")

    def test_log_tells_whether_the_previous_answer_was_out(self):
        b = self.board("--delay", "200")
        os.write(b.fd, b"one\rtwo\r")
        b.read(0.6)
        os.write(b.fd, b"three\r")
        b.read(0.4)
        got = [(x["n"], x["line"], x["answered_before"]) for x in b.lines()]
        self.assertEqual(got, [(1, "one", True), (2, "two", False), (3, "three", True)])

    def test_control_commands(self):
        b = self.board()
        self.assertEqual(b.command({"burst": 130}), {"ok": True})
        self.assertEqual(b"".join(b.read(0.3)), (PATTERN * 3)[:130])
        b.command({"send": base64.b64encode(b"\x00hi\r").decode()})
        self.assertEqual(b"".join(b.read(0.3)), b"\x00hi\r")
        attrs = termios.tcgetattr(b.fd)
        attrs[4] = attrs[5] = termios.B57600
        attrs[2] |= termios.CSTOPB
        termios.tcsetattr(b.fd, termios.TCSANOW, attrs)
        self.assertEqual(b.command({"speed": None}), {"speed": 57600, "stop": 2})
        os.write(b.fd, b"x\n")
        b.read(0.2)
        self.assertEqual(base64.b64decode(b.command({"received": None})["received"]), b"x\n")
        self.assertEqual(b.command({"received": None}), {"received": ""})
        self.assertIn("error", b.command({"nonsense": 1}))

    def arrivals(self, b, seconds, start=None):
        """(seconds since `start`, byte) for every byte that arrives by `start` + `seconds`;
        `start` is the time of the call unless given."""
        got, start = [], time.monotonic() if start is None else start
        while (left := start + seconds - time.monotonic()) > 0:
            if select.select([b.fd], [], [], left)[0]:
                t = time.monotonic() - start
                got += [(t, x) for x in os.read(b.fd, 4096)]
        return got

    def test_wire_paces_each_direction_by_its_byte_time(self):
        # 9600 baud: 1.04 ms a byte. Sent: 11 bytes; back: 10 echoed, then " ok" and CR,
        # which can start only when the CR is in: 11 + 4 byte times after the write.
        byte = 10 / 9600
        b = self.board("--wire", "9600")
        start = time.monotonic()
        os.write(b.fd, b"abcdefghij\r")
        got = self.arrivals(b, 0.5, start)
        self.assertEqual(bytes(x for _, x in got), b"abcdefghij ok\r")
        self.assertGreaterEqual(got[0][0], 2 * byte * 0.95)  # "a" came in, then went back
        self.assertGreaterEqual(got[-1][0], 15 * byte * 0.95)
        self.assertLess(got[-1][0], 15 * byte + 0.010)
        times = b.command({"times": None})
        self.assertEqual((times["lines"], times["rx_bytes"], times["tx_bytes"]), (1, 11, 14))
        self.assertLessEqual(times["first_rx"], times["last_answer"])

    def test_wire_burst_takes_its_wire_time_and_drains(self):
        b = self.board("--wire", "9600")
        # Timed from before the command: its reply may come late on a busy machine.
        start = time.monotonic()
        b.command({"burst": 480})  # 0.5 s at 9600 baud
        got = self.arrivals(b, 0.8, start)
        self.assertEqual(bytes(x for _, x in got), (PATTERN * 8)[:480])
        self.assertGreaterEqual(got[-1][0], 0.5 * 0.95)
        self.assertLess(got[-1][0], 0.5 + 0.1)
        self.assertEqual(b.command({"drained": None}), {"unsent": 0, "unread": 0})

    def test_drained_counts_what_the_reader_has_not_taken(self):
        b = self.board()
        b.command({"burst": 100})
        time.sleep(0.3)
        self.assertEqual(b.command({"drained": None}), {"unsent": 0, "unread": 100})
        os.read(b.fd, 4096)
        self.assertEqual(b.command({"drained": None}), {"unsent": 0, "unread": 0})

    def test_stream_keeps_its_pace_and_counts_what_the_pty_refused(self):
        # Read at once: every byte arrives, in pattern order, at the stream's rate.
        b = self.board()
        start = time.monotonic()
        b.command({"stream": {"bytes": 3000, "rate": 10000}})
        got = b"".join(b.read(0.6))
        self.assertEqual(got, (PATTERN * 47)[:3000])
        self.assertGreater(time.monotonic() - start, 0.3)
        self.assertEqual(b.command({"streamed": None}),
                         {"offered": 3000, "written": 3000, "lost": 0, "done": True})
        # Not read: once the pty is full the rest is lost, and the pattern skips it.
        b = self.board()
        b.command({"stream": {"bytes": 200000, "rate": 400000}})
        time.sleep(1.0)
        s = b.command({"streamed": None})
        self.assertTrue(s["done"])
        self.assertEqual(s["written"] + s["lost"], 200000)
        self.assertGreater(s["lost"], 0)
        self.assertEqual(len(b"".join(b.read(0.5))), s["written"])

    def test_forth_answers_each_line_after_the_waits_of_the_one_before(self):
        b = self.board("--forth")
        os.write(b.fd, b"1 2 + .\r")
        self.assertEqual(b"".join(b.read(0.3)), b"1 2 + . 3 ok\r")
        start = time.monotonic()
        os.write(b.fd, b"300 ms 1 led !\r100 ms 2 .\r")
        got = self.arrivals(b, 0.9, start)
        self.assertEqual(bytes(x for _, x in got),
                         b"300 ms 1 led ! \r<LED on>\r ok\r100 ms 2 . 2 ok\r")
        self.assertGreaterEqual(got[[x for _, x in got].index(ord("<"))][0], 0.3)
        self.assertGreaterEqual(got[-1][0], 0.4)

    def test_quit_and_signals_remove_the_link(self):
        for how in ("quit", signal.SIGTERM, signal.SIGINT):
            with self.subTest(how=how):
                b = self.board()
                if how == "quit":
                    b.command({"quit": None})
                else:
                    b.proc.send_signal(how)
                self.assertEqual(b.proc.wait(5), 0)
                self.assertFalse(os.path.lexists(b.link))
                self.assertFalse(os.path.exists(b.ctl))


if __name__ == "__main__":
    unittest.main()
