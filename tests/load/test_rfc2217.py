"""velka-load -d rfc2217://HOST:PORT against Debian's real ser2net, serving the simulated
board's pty on a loopback port: Telnet with the serial port settings of RFC 2217, and a
plain Telnet server that refuses them. VELKA_LOAD names the program, as for test_load."""
import errno
import shutil
import socket
import subprocess
import unittest

from test_load import LOAD, TABBED, TABBED_SENT, LoadCase  # puts tests/e2e on the path
import harness as h  # noqa: E402

SER2NET = shutil.which("ser2net") or shutil.which("ser2net", path="/usr/sbin:/sbin")
BANNER = "Nivor ~ ready\\r\\n"  # ser2net's escapes; a "~" taken for an answer rejects line 1
NOTICE = "the server does not take the serial port settings (RFC 2217)"


def listening(host, port):
    """Whether something listens there: a bind of the same address fails."""
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    with socket.socket(family) as s:
        try:
            s.bind((host, port))
        except OSError as e:
            return e.errno == errno.EADDRINUSE
    return False


@unittest.skipUnless(SER2NET, "ser2net is not installed (scripts/install-deps installs it)")
class Rfc2217Test(LoadCase):
    def serve(self, board, accepter="telnet(rfc2217)", host="127.0.0.1"):
        """ser2net in the foreground on a free port of host, for board's pty at 19200
        baud; the -d argument that reaches it."""
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        with socket.socket(family) as s:
            s.bind((host, 0))
            port = s.getsockname()[1]
        config = self.dir / ("ser2net%d.yaml" % port)
        config.write_text("connection: &board\n"
                          "    accepter: %s,tcp,%s,%d\n"
                          "    connector: serialdev,%s,19200n81,local\n"
                          "    options:\n"
                          "      banner: \"%s\"\n" % (accepter, host, port, board.slave, BANNER))
        proc = subprocess.Popen([SER2NET, "-n", "-d", "-c", str(config)],
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, start_new_session=True)
        self.addCleanup(h.end_process, proc)
        h.wait_for(lambda: listening(host, port), 10, "ser2net on port %d" % port)
        return "%s:%d" % ("[%s]" % host if ":" in host else host, port)

    def test_uploads_through_ser2net(self):
        # (name, ser2net's accepter, its address, rate the pty has afterwards, notice said)
        cases = [
            ("RFC 2217: the rate is set", "telnet(rfc2217)", "127.0.0.1", 115200, False),
            ("RFC 2217 over IPv6", "telnet(rfc2217)", "::1", 115200, False),
            ("plain Telnet: the upload goes at the server's rate", "telnet", "127.0.0.1", 19200,
             True),
        ]
        for name, accepter, host, speed, notice in cases:
            with self.subTest(name):
                # A slow board: the rate is read while the line is open, since ser2net puts
                # the port's settings back once its client has gone.
                board = self.board("--delay", "200")
                address = self.serve(board, accepter, host)
                p = self.start_load("-d", "rfc2217://" + address, "-b", "115200", "-t", "5",
                                    self.source(TABBED))
                board.wait_lines(1)
                self.assertEqual(board.speed(), speed)
                _, err = p.communicate(timeout=30)
                err = err.decode()
                self.assertEqual(p.returncode, 0, err)
                self.assertTrue(err.endswith(" Ready\n"), err)
                self.assertEqual(NOTICE in err, notice, err)
                self.assertEqual(len(err.splitlines()), 1 + notice, err)
                self.assertEqual(board.received(), TABBED_SENT)

    def test_an_answer_holding_0xff_is_shown_once(self):
        line = b"65 emit 255 emit 66 emit"  # the board answers A, 0xFF, B
        # (args, piped keys, what reaches the board, what standard output holds); a key 0xFF
        # (in a comment) goes out doubled and must reach the board as one byte.
        cases = [
            (("-v", self.source(line + b"\n")), None, line + b"\r",
             b"    " + line + b" A\\xFFB ok\n"),
            (("-i",), line + b" \\ \xff\r", line + b" \\ \xff\r",
             line + b" \\ \xff A\xffB ok\r\n"),
        ]
        for args, keys, received, shown in cases:
            with self.subTest(args=args):
                board = self.board("--forth")
                address = self.serve(board)
                r = subprocess.run([*LOAD, "-d", "rfc2217://" + address, *args], cwd=self.dir,
                                   input=keys, capture_output=True, timeout=30)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertIn(shown, r.stdout)
                self.assertEqual(board.received(), received)

if __name__ == "__main__":
    unittest.main()
