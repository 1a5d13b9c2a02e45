"""velka-load.exe under Wine, as a Windows console user or a build script runs it: COM ports
on ptys with the simulated board behind them, its exit status and messages read as a script
reads them. The upload table is velka-load's own on Linux: the same rows must give the same
bytes at the board, the same status and the same words."""
import os
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import harness as h  # noqa: E402
from common import MINGW, VelkaCase, settings_file  # noqa: E402

sys.path.insert(0, str(h.REPO / "tests" / "load"))
from test_load import UPLOAD_CASES, numbered  # noqa: E402

LOAD_EXE = MINGW / "velka-load.exe"


class LoadExeCase(VelkaCase):
    def run_exe(self, *args, env=None, timeout=60):
        """Runs velka-load.exe to its end: (status, standard error)."""
        env = dict(env or {})
        run = self.s.run(LOAD_EXE, *args, env=env)
        code = run.wait(timeout)
        return code, run.stderr_path.read_text(errors="replace")

    def source(self, content, name="src.txt"):
        (self.dir / name).write_bytes(content)
        return name

    def board_on(self, port, *options):
        board = self.s.start_board(port, *options)
        return board


class UploadTableTest(LoadExeCase):
    def test_the_rows_of_velka_load_give_the_same_bytes_and_words(self):
        board = None
        for name, options, files, extra, status, sent, said in UPLOAD_CASES:
            with self.subTest(name):
                if board:
                    board.stop()
                board = self.board_on("COM1", *options)
                board.send(b"Nivor ~ ready\r")  # queued before the upload: no answer
                h.wait_for(lambda: board.command(drained=None)["unsent"] == 0, 5, "the banner")
                names = [self.source(f, "src%d.txt" % i) for i, f in enumerate(files)]
                code, err = self.run_exe("-d", "COM1", *extra, *names)
                self.assertEqual(code, status, err)
                self.assertIn(said, err)
                h.wait_for(lambda: len(board.lines()) >= sent.count(b"\r"), 5, "the lines")
                self.assertEqual(board.received(), sent)


class PortTest(LoadExeCase):
    def test_velka_set_names_the_port_and_its_rate(self):
        board = self.board_on("COM2", "--delay", "200")
        (self.dir / "VELKA.SET").write_bytes(settings_file(port=2, baud=115200))
        env = {k: v for k, v in os.environ.items() if k != "VELKA_DEVICE"}
        run = self.s.run(LOAD_EXE, self.source(numbered(4)), env=env)
        board.wait_lines(1)
        self.assertEqual(board.speed(), 115200)
        self.assertEqual(run.wait(60), 0, run.stderr_path.read_text())
        self.assertEqual(board.received(), numbered(4, b"\r"))

    def test_a_port_in_use_is_refused_and_the_first_upload_goes_on(self):
        board = self.board_on("COM1", "--delay", "200")
        first = self.s.run(LOAD_EXE, "-d", "COM1", self.source(numbered(6)))
        board.wait_lines(1)
        code, err = self.run_exe("-d", "COM1", self.source(b"intruder\n", "other.txt"))
        self.assertEqual((code, err), (2, "velka-load: COM1 is in use by another program\n"))
        self.assertEqual(first.wait(60), 0, first.stderr_path.read_text())
        self.assertEqual(board.received(), numbered(6, b"\r"))

    def test_what_is_refused_before_anything_is_sent(self):
        board = self.board_on("COM1")
        good = self.source(numbered(2))
        # (args, the one line said)
        cases = [
            (("-d", "COM9", good), "velka-load: COM9: no such port (velka-load without -d "
                                    "lists those present)"),
            (("-d", "COM1", "-b", "4294986496", good),
             "velka-load: unknown rate 4294986496 (the rates: 9600 19200 38400 57600 115200)"),
            (("-d", "COM1", good, "missing.txt"), "velka-load: missing.txt: "),
            (("--sim", good), "velka-load: --sim needs Python 3, which is not on the PATH"),
        ]
        for args, said in cases:
            with self.subTest(args=args):
                code, err = self.run_exe(*args)
                self.assertEqual(code, 2, err)
                self.assertEqual(len(err.splitlines()), 1, err)
                self.assertTrue(err.startswith(said), err)
        self.assertEqual(board.received(), b"")

    def test_the_simulated_board_where_python_is_on_the_path(self):
        # Wine runs a Linux program named on its PATH as it would a python.exe.
        folder = self.dir / "python"
        folder.mkdir()
        python = folder / "python.exe"
        python.write_text("#!/bin/sh\nexec %s \"$@\"\n" % sys.executable)
        python.chmod(0o755)
        env = {"WINEPATH": "Z:" + str(folder).replace("/", "\\"),
               "VELKA_NIVORSIM": str(h.NIVORSIM)}
        run = self.s.run(LOAD_EXE, "--sim", "-v", str(h.REPO / "examples" / "blink.txt"), env=env)
        self.assertEqual(run.wait(60), 0, run.stderr_path.read_text())
        self.assertIn("<10> 0 do  on wait  off wait  loop ;\n    0 do  on wait  off wait  loop ; ok",
                      run.output())


if __name__ == "__main__":
    unittest.main()
