"""The interactive terminal under Wine: the port opens at start with DTR raised, typed keys
reach the board, what the board prints is on the screen, Disconnect and Connect, a port that
cannot be opened, and the way out."""
import re
import time
import unittest

from common import COLS, TITLE, VelkaCase, h

# The board's burst pattern: the base64 alphabet, over and over.
PATTERN = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"


class TerminalTest(VelkaCase):
    def test_typed_keys_reach_the_board_and_its_answer_is_shown(self):
        board = self.start()
        self.type("1 2 +\r")
        rows = self.screen(wait="1 2 + ok")
        self.assertEqual(rows[0].rstrip(), "1 2 + ok")
        self.assertEqual(board.received(), b"1 2 +\r")
        self.assertEqual(board.speed(), 19200)
        self.assertIn("SETDTR", self.s.dtr_events())
        self.assertIsNotNone(self.caret(), "a connected terminal shows its caret")
        self.assertEqual(self.quit(), 0)

    def test_a_scrolled_picture_is_the_one_a_full_repaint_draws(self):
        """At a scroll Velka moves the painted picture up and paints only what is new: after
        each stream the window must show, pixel for pixel, what it shows once wholly
        repainted (a resize and back makes it paint everything)."""
        board = self.start()
        lines = [b"line %d %s\r\n" % (n, b"=" * (n * 7 % 60)) for n in range(40)]
        streams = [
            # name, pieces sent with a pause between them, the text that ends the stream
            ("a line at a time", lines, "line 39"),
            ("all at once", [b"".join(lines).replace(b"line", b"LINE")], "LINE 39"),
            ("wraps", [(PATTERN * 50).encode(), b"<w>"], "<w>"),
            ("overwritten after a scroll", [b"\r\n" * 3 + b"abcdef\b\b\bXY\rZ\n<o>"], "<o>"),
            ("a view scrolled down", [b"".join(lines[:35]), b"<v>"], None),
        ]
        for name, pieces, end in streams:
            with self.subTest(name):
                if name == "a view scrolled down":  # smaller than the canvas, paged down
                    h.xdotool(self.display, "windowsize", self.window, "500", "260")
                    time.sleep(0.5)
                    h.xdotool(self.display, "mousemove", "--window", self.window, "490", "130",
                              "click", "1")
                    time.sleep(0.5)
                for piece in pieces:
                    board.send(piece)
                    time.sleep(0.05)
                if end:
                    self.screen(wait=end)
                else:  # screenread reads only a view that shows the whole canvas
                    time.sleep(2)
                moved, whole = self.picture_and_full_repaint()
                self.assertEqual(moved[:2], whole[:2])
                differing = sum(a != b for a, b in zip(moved[2], whole[2]))
                self.assertEqual(differing, 0, "%d bytes of the picture differ" % differing)
        self.assertEqual(self.quit(), 0)

    def picture_and_full_repaint(self):
        """Screenshots of the main window as painted, then after a resize there and back.
        Disconnected while they are taken, so that no caret blinks in them."""
        n = self.s.dtr_events().count("CLRDTR")
        self.menu("f", "d")
        h.wait_for(lambda: self.s.dtr_events().count("CLRDTR") > n, 10, "DTR to drop")
        time.sleep(0.5)
        moved = h.capture(self.display, self.window)
        w, hgt = moved[:2]
        h.xdotool(self.display, "windowsize", self.window, str(w + 8), str(hgt))
        time.sleep(0.5)
        h.xdotool(self.display, "windowsize", self.window, str(w), str(hgt))
        time.sleep(0.5)
        whole = h.capture(self.display, self.window)
        n = self.s.dtr_events().count("SETDTR")
        self.menu("f", "c")
        h.wait_for(lambda: self.s.dtr_events().count("SETDTR") > n, 10, "DTR to rise again")
        return moved, whole

    def test_disconnect_drops_dtr_and_connect_opens_again(self):
        board = self.start()
        self.menu("f", "d")
        h.wait_for(lambda: "CLRDTR" in self.s.dtr_events(), 10, "DTR to drop")
        self.assertIsNone(self.caret(), "no caret while disconnected")
        self.type("x")
        board.send(b"unseen")
        self.assertEqual(board.received(), b"", "a closed port sends nothing")
        self.assertNotIn("unseen", "".join(self.screen()))

        self.menu("f", "c")
        h.wait_for(lambda: self.s.dtr_events().count("SETDTR") >= 2, 10, "DTR to rise again")
        self.type("2")
        h.wait_for(lambda: board.received() == b"2", 10, "the key after Connect")
        board.send(b"back again")
        self.screen(wait="back again")
        self.assertEqual(self.quit(), 0)

    def test_with_no_port_mapped_the_failure_is_reported_and_velka_stays(self):
        # Nothing behind COM1: the open succeeds, configuring the port fails.
        self.start(board=False)
        texts = self.wait_dialog(TITLE, "Connection failed.")
        self.assertIn("Connection failed.", texts)
        self.answer_dialog(TITLE)
        self.window = None  # the box may have been the only window titled so
        self.assertIsNone(self.velka.proc.poll(), "Velka keeps running without a port")
        self.assertIsNone(self.caret())
        self.assertEqual(self.quit(), 0)

    def test_cancel_on_the_exit_question_keeps_velka(self):
        self.start()
        self.keys("alt+F4")
        self.wait_dialog("Really?")
        self.answer_dialog("Really?", key="Escape")
        self.assertIsNone(self.velka.proc.poll())
        self.type("3")
        h.wait_for(lambda: self.board.received() == b"3", 10, "the key after Cancel")
        self.assertEqual(self.quit(), 0)

    def test_a_long_burst_arrives_whole_and_in_order(self):
        board = self.start()
        size = 200_000
        board.burst(size)
        board.send(b"\r\nEND-OF-BURST")
        rows = self.screen(wait="END-OF-BURST", timeout=120)
        end = next(i for i, r in enumerate(rows) if "END-OF-BURST" in r)
        # The rows above the mark are full 80-column pieces of the pattern (with New Line on,
        # each wrap leaves a blank row), each taking up exactly where the one above it
        # stopped: no byte lost, none doubled.
        pieces = [r for r in rows[:end] if r.strip()]
        self.assertTrue(all(len(r) == COLS for r in pieces[1:-1]), pieces)
        text = "".join(pieces[1:])
        self.assertGreaterEqual(len(text), 3 * COLS)
        start = PATTERN.index(text[:2]) if text[:2] in PATTERN else -1
        self.assertGreaterEqual(start, 0, text)
        expected = (PATTERN * (len(text) // len(PATTERN) + 2))[start:start + len(text)]
        self.assertEqual(text, expected)
        # The last row of the burst ends where the total count says it must.
        last = pieces[-1].rstrip()
        self.assertTrue(re.fullmatch("[A-Za-z0-9+/]+", last), last)
        self.assertEqual((PATTERN * 3)[(size - len(last)) % len(PATTERN):][:len(last)], last)
        self.assertEqual(self.quit(), 0)


if __name__ == "__main__":
    unittest.main()
