"""Settings and dialogs under Wine: "Save Setup" writes VELKA.SET, a stored VELKA.SET decides
the port, the speed and the display at the next start, and the help and Setup boxes open
from their keys and close again."""
import time
import unittest

from common import TITLE, VelkaCase, h, settings_file


class SetupTest(VelkaCase):
    def test_save_setup_writes_the_settings_in_use(self):
        self.start()
        self.menu("s", "s")
        path = self.dir / "VELKA.SET"
        h.wait_for(path.exists, 10, "VELKA.SET")
        time.sleep(0.5)
        self.assertEqual(path.read_bytes(), settings_file())
        self.assertEqual(len(path.read_bytes()), 20)
        self.assertEqual(self.quit(), 0)

    def test_stored_settings_choose_port_speed_and_hex_display(self):
        board = self.start(port="COM2", settings=settings_file(port=2, baud=57600, hex_print=1))
        h.wait_for(lambda: board.speed() == 57600, 10, "COM2 at 57600 baud")
        self.assertIn("SETDTR", self.s.dtr_events())
        board.send(b"AB\r")
        rows = self.screen(wait="41 42 0d")
        self.assertTrue(rows[0].startswith("41 42 0d "), rows[0])
        self.assertEqual(self.quit(), 0)

    def test_settings_saved_then_loaded_round_trip(self):
        stored = settings_file(port=1, baud=38400, new_line=0, auto_wrap=0, local_echo=1)
        board = self.start(settings=stored)
        h.wait_for(lambda: board.speed() == 38400, 10, "38400 baud")
        # Local echo shows typed keys on the screen as well as sending them.
        self.type("e")
        self.screen(wait="ee")
        (self.dir / "VELKA.SET").unlink()
        self.menu("s", "s")
        h.wait_for((self.dir / "VELKA.SET").exists, 10, "VELKA.SET")
        time.sleep(0.5)
        self.assertEqual((self.dir / "VELKA.SET").read_bytes(), stored)
        self.assertEqual(self.quit(), 0)

    def test_f1_opens_the_help_box_and_return_closes_it(self):
        self.start()
        self.keys("F1")
        texts = self.wait_dialog("Velka for Nivor")
        self.assertIn("Velka v 3.3 Terminal for Nivor", texts)
        self.assertIn("{ kkk : pause source loading until any key is pressed", texts)
        # Escape leaves the help box open; OK (Return) closes it.
        box = self.windows("Velka for Nivor")[0]
        self.keys("Escape", window=box)
        time.sleep(1.0)
        self.assertIn("Velka for Nivor", self.dialogs())
        self.answer_dialog("Velka for Nivor")
        self.assertEqual(self.quit(), 0)

    def test_f10_opens_setup_and_escape_closes_it(self):
        self.start()
        self.keys("F10")
        texts = self.wait_dialog("Setup")
        self.assertIn("-- 8 Data Bits", texts)
        self.answer_dialog("Setup", key="Escape")
        self.no_dialog(TITLE, settle=0.5)
        self.assertEqual(self.quit(), 0)


if __name__ == "__main__":
    unittest.main()
