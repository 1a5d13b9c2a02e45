"""The serial benchmark's measuring program, baseline.exe, under Wine against the simulated
board: its figures are only worth comparing with Velka's if it sends every line, waits for
each answer, stops at a rejected one and counts every wrong byte of a stream."""
import json

import common as c
import harness as h

BASELINE = c.MINGW / "bench" / "serial" / "baseline.exe"
PATTERN = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"


class BaselineTest(c.VelkaCase):
    def setUp(self):
        super().setUp()
        if not BASELINE.is_file():
            self.fail("%s is missing: build it first" % BASELINE)

    def result(self, run):
        self.assertEqual(run.wait(60), 0, run.stderr_path.read_text(errors="replace"))
        return json.loads(run.output().splitlines()[-1])

    def test_every_wait_mode_sends_each_line_after_the_last_answer(self):
        lines = ["%d CONSTANT C%d" % (n, n) for n in range(1, 13)]
        src = self.dir / "lines.src"
        src.write_text("\r\n".join(lines) + "\r\n")
        winpath = "Z:" + str(src).replace("/", "\\")
        cases = [  # (mode, board options, lines sent, rejected)
            ("upload", (), 12, False),
            ("upload-after", (), 12, False),
            ("upload-peek", (), 12, False),
            ("upload-read", (), 12, False),
            ("upload-read", ("--reject", "C5"), 5, True),
            ("upload", ("--reject", "C5"), 5, True),  # the rejected line is the last sent
            ("upload-peek", ("--delay", "30", "--pieces", "3"), 12, False),
        ]
        for mode, options, sent, rejected in cases:
            with self.subTest(mode=mode, options=options):
                board = self.s.start_board("COM1", *options)
                got = self.result(self.s.run(BASELINE, mode, "COM1", winpath))
                self.assertEqual((got["lines"], got["rejected"]), (sent, rejected))
                log = board.lines()
                self.assertEqual([x["line"] for x in log], lines[:sent])
                # answered_before: no line left before the previous answer was all out.
                self.assertTrue(all(x["answered_before"] for x in log), log)
                self.s.end_test()

    def test_a_stream_is_checked_byte_by_byte(self):
        good = (PATTERN * 40)[:2500]
        cases = [  # (what the board sends, wrong bytes counted)
            (good, 0),
            (good[:1000] + b"?" + good[1001:], 1),
            (good[:10] + good[11:] + b"A", 2490),  # one lost byte shifts all that follow
        ]
        for data, wrong in cases:
            with self.subTest(wrong=wrong):
                board = self.s.start_board("COM1")
                run = self.s.run(BASELINE, "receive", "COM1", str(len(good)))
                h.wait_for(lambda: "ready" in run.output(), 60, "the baseline to open COM1")
                board.send(data)
                got = self.result(run)
                self.assertEqual((got["bytes"], got["wrong"]), (len(good), wrong))
                self.s.end_test()
