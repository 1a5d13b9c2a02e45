"""Velka under Wine when things go wrong: the board vanishes while connected and while an
upload waits, Disconnect and Connect over and over with data flowing, a resize while a burst
scrolls the screen. Each ends with Velka responsive, not spinning, and leaving on request."""
import time
import unittest

from common import COLS, VelkaCase, h, process_cpu_seconds

PATTERN = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
# A program that waits in the background may use a little CPU for its timers, not a core.
IDLE_CPU_SHARE = 0.3


class StressTest(VelkaCase):
    def assert_idle(self, seconds=3.0):
        before = process_cpu_seconds("Velka.exe")
        time.sleep(seconds)
        used = process_cpu_seconds("Velka.exe") - before
        self.assertLess(used, IDLE_CPU_SHARE * seconds, "Velka used %.2f s of CPU" % used)

    def test_a_vanished_board_leaves_velka_idle_and_able_to_quit(self):
        board = self.start()
        self.type("1\r")
        self.screen(wait="1 ok")
        board.vanish()
        time.sleep(1)
        self.assert_idle()
        # The modem lines of a vanished pty cannot be set any more; that the port closed
        # shows as the caret going away.
        self.menu("f", "d")
        h.wait_for(lambda: self.caret() is None, 15, "the port to close")
        self.assertEqual(self.quit(), 0)

    def test_a_board_vanishing_while_an_upload_waits_is_escaped(self):
        board = self.start("--silent-after", "1")
        path = self.dir / "src.txt"
        path.write_bytes(b"1 .\r\n2 .\r\n3 .\r\n")
        self.select_source(path)
        self.keys("F3")
        board.wait_lines(2)
        board.vanish()
        self.assert_idle()
        self.keys("Escape")
        self.screen(wait="Upload cancelled in line <2>")
        self.assertEqual(self.quit(), 0)

    def test_many_disconnects_and_connects_with_data_flowing(self):
        board = self.start()
        cycles = 200
        board.burst(100_000)
        for _ in range(cycles // 20):
            board.burst(5000)  # more data for every twenty cycles
            h.send_keys(self.display, self.window, *(["alt+f", "d", "alt+f", "c"] * 20))
        h.wait_for(lambda: self.s.dtr_events().count("CLRDTR") >= cycles, 60,
                   "%d closes" % cycles)
        # After the last Connect the port works both ways.
        time.sleep(1)
        board.received()
        self.type("k")
        h.wait_for(lambda: board.received() == b"k", 15, "a key after the cycles")
        board.send(b"\r\nSTILL-HERE")
        self.screen(wait="STILL-HERE", timeout=60)
        self.assertEqual(self.s.dtr_events().count("SETDTR"), cycles + 1)
        self.assertEqual(self.quit(), 0)

    def test_a_2_mb_burst_while_resized_and_scrolled_keeps_every_row_whole(self):
        board = self.start()
        board.burst(2_000_000)
        # Small sizes bring the scroll bars; a click in the middle of a bar's track pages
        # the canvas, and growing again must clamp the position back.
        for size in ("400 200", "900 700", "300 500", "500 260", "960 760"):
            w, hgt = size.split()
            h.xdotool(self.display, "windowsize", self.window, w, hgt)
            time.sleep(0.5)
            for x, y in ((int(w) - 10, int(hgt) // 2), (int(w) // 2, int(hgt) - 30)):
                h.xdotool(self.display, "mousemove", "--window", self.window, str(x), str(y),
                          "click", "1")
            time.sleep(0.5)
        board.send(b"\r\nEND-OF-BURST")
        rows = self.screen(wait="END-OF-BURST", timeout=600)
        end = next(i for i, r in enumerate(rows) if "END-OF-BURST" in r)
        pieces = [r for r in rows[:end] if r.strip()][1:]
        self.assertGreaterEqual(len(pieces), 3)
        for row in pieces:
            self.assertEqual(len(row), COLS)
            at = PATTERN.find(row[:2])
            self.assertEqual((PATTERN * 3)[at:at + COLS], row)
        self.assertEqual(self.quit(), 0)


if __name__ == "__main__":
    unittest.main()
