"""Checks of the serial benchmark's own arithmetic: what Velka's screen must show after a
burst (the benchmark's proof that no byte was lost) and the wire's time for an upload.
Run: python3 -m unittest test_bench_serial (no Wine needed)."""
import unittest

import bench_serial as b

P = b.PATTERN.decode()
BLANK = " " * 80


class ScreenExpectedTest(unittest.TestCase):
    def test_rows_for_bursts_around_the_wrap_and_the_scroll(self):
        stream = P * 100
        cases = [  # (bytes, {row: text}) - every other row blank
            (5, {0: P[:5]}),
            (80, {0: stream[:80]}),  # the wrap leaves the cursor on a blank row 1
            (85, {0: stream[:80], 1: stream[80:85]}),
            (29 * 80 + 3, {28: stream[28 * 80:29 * 80], 29: stream[29 * 80:29 * 80 + 3]}),
            (30 * 80, {0: stream[80:160], 28: stream[29 * 80:30 * 80], 29: ""}),  # scrolled once
            (30 * 80 + 7, {0: stream[80:160], 29: stream[2400:2407]}),
        ]
        for total, want in cases:
            with self.subTest(total=total):
                rows = b.screen_expected(total)
                self.assertEqual(len(rows), 30)
                for r, text in want.items():
                    self.assertEqual(rows[r], text.ljust(80))
                if total <= 29 * 80:
                    self.assertEqual(rows[total // 80 + 1:], [BLANK] * (29 - total // 80))

    def test_a_lost_byte_changes_the_screen(self):
        # The check only works if a stream one byte short ends differently on the screen.
        for total in (4 << 20, 100000, 2401):
            with self.subTest(total=total):
                self.assertNotEqual(b.screen_expected(total), b.screen_expected(total - 1))


class WireLimitsTest(unittest.TestCase):
    def test_byte_times_of_a_line(self):
        # At 10 baud a byte takes one second. "AB": up A B CR, down A B " ok" CR.
        self.assertEqual(b.wire_limits(["AB"], 10), (7.0, 9.0))
        crit, every = b.wire_limits(["x" * 30, "y" * 10], 115200)
        self.assertAlmostEqual(crit, (35 + 15) * 10 / 115200)
        self.assertAlmostEqual(every, (65 + 25) * 10 / 115200)


class SourceLinesTest(unittest.TestCase):
    def test_lines_are_distinct_and_in_the_stated_sizes(self):
        lines = b.source_lines(5000)
        self.assertEqual(len(set(lines)), 5000)
        self.assertTrue(all(12 <= len(x) <= 52 for x in lines), (min(map(len, lines)),
                                                                 max(map(len, lines))))
        # Nothing the source reader would drop or change: no leading blank, no comment,
        # no loader directive.
        self.assertFalse([x for x in lines if x[0] == " " or set(x) & set("\\({}")])


if __name__ == "__main__":
    unittest.main()
