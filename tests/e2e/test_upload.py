"""Source upload under Wine: the file chosen in the Open box is cleaned and sent a line at a
time, each line only after the board answered the one before; a "~" in an answer stops the
upload and names the line; Escape ends a wait for a board that never answers."""
import subprocess
import unittest

from common import BUILD, MINGW, TITLE, VelkaCase, h

# Comments, blank lines, leading blanks and a suppressed region never reach the board; a tab
# inside a line reaches it as a blank.
SOURCE = (b"{ squares for the board }\r\n"
          b"  : sq\tdup * ;\t\t\\ n -- n*n\r\n"
          b"\r\n"
          b"3\t{ three } sq .\r\n"
          b"{ ###\r\n"
          b"this is not sent\r\n"
          b"{ >>>\r\n"
          b"\t7 sq .\r\n")
SENT = [": sq dup * ;  \\ n -- n*n", "3   sq .", "7 sq ."]


def numbered(count):
    return b"".join(b"%d .\r\n" % n for n in range(1, count + 1))


class UploadTest(VelkaCase):
    def upload(self, content, key="F3", name="src.txt"):
        path = self.dir / name
        path.write_bytes(content)
        self.select_source(path)
        self.keys(key)

    def sent(self, board, count, timeout=20):
        return [entry["line"].rstrip("\r") for entry in board.wait_lines(count, timeout)]

    def test_fast_upload_sends_the_cleaned_lines_one_answer_at_a_time(self):
        board = self.start("--delay", "150", "--pieces", "3")
        self.upload(SOURCE)
        self.screen(wait="Ready", timeout=30)
        lines = board.wait_lines(len(SENT))
        self.assertEqual([entry["line"].rstrip("\r") for entry in lines], SENT)
        self.assertTrue(all(entry["answered_before"] for entry in lines), lines)
        self.assertEqual(len(board.lines()), len(SENT), "nothing after the last line")
        # Byte for byte: the lines, each ended by its CR, and nothing else.
        self.assertEqual(board.received(), b"".join(l.encode() + b"\r" for l in SENT))
        # The terminal is a terminal again.
        self.type("9")
        h.wait_for(lambda: board.received() == b"9", 10, "a key after the upload")
        self.assertEqual(self.quit(), 0)

    def test_visible_upload_shows_each_line_with_its_number(self):
        board = self.start()
        self.upload(numbered(4), key="F4")
        rows = self.screen(wait="Ready", timeout=30)
        self.assertEqual(self.sent(board, 4), ["1 .", "2 .", "3 .", "4 ."])
        shown = [r.strip() for r in rows if r.strip()]
        self.assertEqual(shown[:5], ["<%d> %d ." % (n, n) for n in range(1, 5)] + ["Ready"])

    def test_an_answer_with_a_tilde_stops_the_upload_and_names_the_line(self):
        board = self.start("--reject", "bad")
        self.upload(b"1 .\r\n2 .\r\n\r\n4 .\r\nbad\r\n6 .\r\n")
        self.screen(wait="Source Error in line <5> ", timeout=30)
        self.assertEqual(self.sent(board, 4), ["1 .", "2 .", "4 .", "bad"])
        self.no_dialog(TITLE, settle=1.0)
        self.assertEqual(len(board.lines()), 4, "no line after the rejected one")

    def test_a_source_with_lf_line_ends_goes_up_line_by_line(self):
        board = self.start("--reject", "bad")
        self.upload(b"{ saved on Linux }\n  1 .\n\n3\t.\nbad\n6 .\n")
        self.screen(wait="Source Error in line <5> ", timeout=30)
        # Byte for byte what a CR LF file sends, and the line counted as the file's.
        self.assertEqual(self.sent(board, 3), ["1 .", "3 .", "bad"])
        self.assertEqual(board.received(), b"1 .\r3 .\rbad\r")
        self.no_dialog(TITLE, settle=1.0)

    def test_escape_ends_the_wait_for_a_silent_board(self):
        board = self.start("--silent-after", "2")
        self.upload(numbered(6))
        self.assertEqual(self.sent(board, 3), ["1 .", "2 .", "3 ."])
        self.keys("Escape")
        self.screen(wait="Upload cancelled in line <3>", timeout=15)
        self.assertEqual(len(board.lines()), 3)
        self.assertEqual(self.quit(), 0)

    def test_keys_typed_during_an_upload_are_not_sent(self):
        board = self.start("--delay", "400")
        self.upload(numbered(5))
        board.wait_lines(1)
        self.type("zz")
        self.screen(wait="Ready", timeout=30)
        self.assertEqual(self.sent(board, 5), ["1 .", "2 .", "3 .", "4 .", "5 ."])
        self.assertNotIn(b"z", b"".join(e["line"].encode() for e in board.lines()))
        board.received()
        self.type("q")
        h.wait_for(lambda: board.received() == b"q", 10, "a key after the upload")

    def test_upload_while_disconnected_asks_to_connect(self):
        board = self.start()
        (self.dir / "src.txt").write_bytes(numbered(2))
        self.select_source(self.dir / "src.txt")
        self.menu("f", "d")
        h.wait_for(lambda: "CLRDTR" in self.s.dtr_events(), 10, "DTR to drop")
        self.keys("F3")
        self.assertIn("Connect before Upload!", self.wait_dialog(TITLE, "Connect before Upload!"))
        self.answer_dialog(TITLE)
        self.assertEqual(board.lines(), [])
        self.assertEqual(self.quit(), 0)

    def test_a_long_answer_still_ends_its_line(self):
        board = self.start("--long-answer", "10000")
        self.upload(numbered(3))
        self.screen(wait="Ready", timeout=60)
        lines = board.wait_lines(3)
        self.assertTrue(all(entry["answered_before"] for entry in lines), lines)


class BothProgramsTest(VelkaCase):
    """Velka.exe, velka-load and velka-load.exe compile the same reader: for each source, the
    bytes that reach a board are the same."""

    def test_each_source_reaches_the_board_as_the_same_bytes(self):
        examples = h.REPO / "examples"
        sources = [("blink.txt", (examples / "blink.txt").read_bytes()),
                   ("steps.src", (examples / "steps.src").read_bytes()),  # { kkk: a box
                   ("lf.txt", SOURCE.replace(b"\r\n", b"\n")),
                   ("cr.txt", SOURCE.replace(b"\r\n", b"\r")),
                   ("mixed.txt", b"{ a }\n1 .\r\n\r2\t.\n{ ###\r\nno\n{ >>>\r3 .\n")]
        board = self.start()
        other = h.Board(self.dir / "loadpty", workdir=self.dir)
        self.addCleanup(other.stop)
        windows = self.s.start_board("COM2")  # velka-load.exe's
        for i, (name, content) in enumerate(sources):
            with self.subTest(name):
                (self.dir / name).write_bytes(content)
                r = subprocess.run([str(BUILD / "host" / "velka-load"), "-d", other.slave, name],
                                   cwd=self.dir, stdin=subprocess.DEVNULL, capture_output=True,
                                   timeout=60)
                self.assertEqual(r.returncode, 0, r.stderr)
                expected = other.received()
                self.assertGreater(expected.count(b"\r"), 0)
                run = self.s.run(MINGW / "velka-load.exe", "-d", "COM2", name)
                self.assertEqual(run.wait(60), 0, run.stderr_path.read_text())
                self.assertEqual(windows.received(), expected)
                self.select_source(self.dir / name)
                self.keys("F3")
                if b"{ kkk" in content:
                    self.wait_dialog("Upload", "Continue?")
                    self.answer_dialog("Upload")
                h.wait_for(lambda: "".join(self.screen()).count("Ready") == i + 1, 30,
                           "Ready after %s" % name, interval=0.5)
                self.assertEqual(board.received(), expected)


if __name__ == "__main__":
    unittest.main()
