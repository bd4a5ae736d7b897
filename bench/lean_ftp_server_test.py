#!/usr/bin/python3
"""Checks of lean_ftp_server.py: replies, byte-exact transfers over every kind of data
connection, uploads thrown away, names kept under the root, and that nothing waits for good.

usage: bench/lean_ftp_server_test.py [-v]   (standard library only; loopback only)
"""
import os
import select
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER = os.path.join(HERE, "lean_ftp_server.py")
# The server's time-out in these checks; what is refused at once takes well under it.
TIMEOUT = 3
AT_ONCE = 1.5


class Client:
    """Just enough of an FTP client to say anything, right or wrong."""

    def __init__(self, port, timeout=10):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.reader = self.sock.makefile("rb")
        self.greeting = self.reply()

    def reply(self):
        line = self.reader.readline().decode()
        if not line:
            return (None, "")
        text = [line.rstrip("\r\n")]
        if line[3:4] == "-":
            while not (line[:3] == text[0][:3] and line[3:4] == " "):
                line = self.reader.readline().decode()
                if not line:
                    break
                text.append(line.rstrip("\r\n"))
        return (int(text[0][:3]), "\n".join(text))

    def cmd(self, line):
        self.sock.sendall(line.encode() + b"\r\n")
        return self.reply()

    def login(self):
        self.cmd("USER anonymous")
        code, text = self.cmd("PASS x@y")
        assert code == 230, text

    def data(self, how):
        """Sets up a data connection of kind `how`; returns a function that gives its socket
        once the transfer command has been sent."""
        if how == "PASV":
            code, text = self.cmd("PASV")
            assert code == 227, text
            nums = text[text.index("(") + 1:text.index(")")].split(",")
            port = int(nums[4]) * 256 + int(nums[5])
            return lambda: socket.create_connection(("127.0.0.1", port), timeout=10)
        if how == "EPSV":
            code, text = self.cmd("EPSV")
            assert code == 229, text
            port = int(text.split("|||")[1].split("|")[0])
            return lambda: socket.create_connection(("127.0.0.1", port), timeout=10)
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        listener.settimeout(10)
        port = listener.getsockname()[1]
        if how == "PORT":
            code, text = self.cmd(f"PORT 127,0,0,1,{port >> 8},{port & 255}")
        else:
            code, text = self.cmd(f"EPRT |1|127.0.0.1|{port}|")
        assert code == 200, text

        def accept():
            with listener:
                return listener.accept()[0]
        return accept

    def retr(self, name, how="PASV"):
        connect = self.data(how)
        code, text = self.cmd(f"RETR {name}")
        if code != 150:
            return code, None
        got = bytearray()
        with connect() as data:
            while chunk := data.recv(1 << 16):
                got += chunk
        return self.reply()[0], bytes(got)

    def stor(self, name, payload, how="PASV"):
        connect = self.data(how)
        code, text = self.cmd(f"STOR {name}")
        if code != 150:
            return code
        with connect() as data:
            data.sendall(payload)
        return self.reply()[0]

    def close(self):
        self.reader.close()
        self.sock.close()


class Server:
    def __init__(self, root, *args):
        self.log = tempfile.TemporaryFile()
        self.process = subprocess.Popen([sys.executable, SERVER, root] + list(args),
                                        stdout=subprocess.PIPE, stderr=self.log,
                                        stdin=subprocess.DEVNULL)
        ready, _, _ = select.select([self.process.stdout], [], [], 10)
        line = self.process.stdout.readline().decode() if ready else ""
        assert line.startswith("listening "), line
        self.port = int(line.split()[1])

    def log_lines(self):
        self.log.seek(0)
        return self.log.read().decode().splitlines()

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(5)
        self.process.stdout.close()
        self.log.close()


def payload(size):
    # Every byte value, in an order that shifts, so that a lost or repeated block shows.
    return bytes((i * 7 + i // 251) & 255 for i in range(size))


class LeanServerTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.root = os.path.join(self.tmp.name, "root")
        os.makedirs(os.path.join(self.root, "pub", "sub"))
        os.makedirs(os.path.join(self.root, "incoming"))
        with open(os.path.join(self.root, "pub", "f.bin"), "wb") as f:
            f.write(payload(1000))
        with open(os.path.join(self.tmp.name, "outside.bin"), "wb") as f:
            f.write(b"not to be served")
        os.mkfifo(os.path.join(self.root, "pub", "fifo"))
        self.server = Server(self.root, "--discard", "discard", "--timeout", str(TIMEOUT))
        self.client = Client(self.server.port)

    def tearDown(self):
        self.client.close()
        self.server.stop()
        self.tmp.cleanup()

    def test_replies_before_log_in(self):
        self.assertEqual(self.client.greeting[0], 220)
        for line, code in [
            ("SYST", 215),
            ("FEAT", 211),
            ("OPTS UTF8 ON", 200),
            ("NOOP", 200),
            ("PWD", 530),
            ("CWD pub", 530),
            ("PASV", 530),
            ("RETR pub/f.bin", 530),
            ("STOR incoming/x", 530),
            ("PASS before-user", 503),
            ("AUTH TLS", 502),
            ("USER bob", 331),
            ("PASS secret", 530),
            ("PWD", 530),
            ("user Anonymous", 331),
            ("pass x", 230),
            ("PWD", 257),
        ]:
            with self.subTest(line=line):
                self.assertEqual(self.client.cmd(line)[0], code)

    def test_replies_after_log_in(self):
        self.client.login()
        for line, code, text in [
            ("SYST", 215, "UNIX"),
            ("PWD", 257, '"/"'),
            ("CWD pub", 250, ""),
            ("PWD", 257, '"/pub"'),
            ("CWD sub", 250, ""),
            ("CDUP", 250, ""),
            ("PWD", 257, '"/pub"'),
            ("CWD nowhere", 550, ""),
            ("CWD f.bin", 550, ""),
            ("CWD ../../../..", 250, ""),
            ("PWD", 257, '"/"'),
            ("CWD", 501, ""),
            ("TYPE I", 200, ""),
            ("type i", 200, ""),
            ("TYPE A", 504, ""),
            ("SIZE pub/f.bin", 213, "213 1000"),
            ("SIZE /pub/f.bin", 213, "213 1000"),
            ("SIZE pub", 550, ""),
            ("SIZE pub/fifo", 550, ""),
            ("SIZE pub/none", 550, ""),
            ("SIZE ../outside.bin", 550, ""),
            ("SIZE discard/anything", 550, ""),
            ("CWD discard", 250, ""),
            ("CWD /", 250, ""),
            ("OPTS MODE Z", 501, ""),
            ("EPSV 2", 522, ""),
            ("EPSV ALL", 200, ""),
            ("PORT 127,0,0,1,300,1", 501, ""),
            ("PORT 10,0,0,1,4,1", 501, ""),
            ("PORT nonsense", 501, ""),
            ("EPRT |2|::1|1025|", 522, ""),
            ("EPRT |1|10.1.2.3|1025|", 501, ""),
            ("RETR pub/f.bin", 425, ""),
            ("LIST", 502, ""),
            ("MKD x", 502, ""),
            ("DELE pub/f.bin", 502, ""),
            ("REST 10", 502, ""),
            ("SITE CHMOD 777 x", 502, ""),
            ("FEAT", 211, " SIZE"),
            ("NOOP", 200, ""),
        ]:
            with self.subTest(line=line):
                got, reply = self.client.cmd(line)
                self.assertEqual(got, code, reply)
                self.assertIn(text, reply)
        self.assertTrue(os.path.exists(os.path.join(self.root, "pub", "f.bin")))
        self.assertEqual(self.client.cmd("QUIT")[0], 221)

    def test_transfers_are_exact_over_every_data_connection(self):
        self.client.login()
        for how in ("PASV", "EPSV", "PORT", "EPRT"):
            for size in (0, 1, 65537, (3 << 20) + 7):
                with self.subTest(how=how, size=size):
                    data = payload(size)
                    name = f"incoming/{how}-{size}.bin"
                    self.assertEqual(self.client.stor(name, data, how), 226)
                    with open(os.path.join(self.root, name), "rb") as f:
                        self.assertEqual(f.read(), data)
                    self.assertEqual(self.client.cmd(f"SIZE {name}"), (213, f"213 {size}"))
                    code, got = self.client.retr(name, how)
                    self.assertEqual(code, 226)
                    self.assertEqual(got, data)
        last = os.path.join(self.root, "incoming", f"EPRT-{(3 << 20) + 7}.bin")
        self.assertIn(f"STOR {(3 << 20) + 7} {last}", self.server.log_lines())

    def test_an_upload_replaces_a_longer_file(self):
        self.client.login()
        self.assertEqual(self.client.stor("incoming/x", payload(5000)), 226)
        self.assertEqual(self.client.stor("incoming/x", b"short"), 226)
        with open(os.path.join(self.root, "incoming", "x"), "rb") as f:
            self.assertEqual(f.read(), b"short")

    def test_uploads_into_the_discard_directory_are_thrown_away_and_counted(self):
        self.client.login()
        self.assertEqual(self.client.stor("discard/up.bin", payload(200000)), 226)
        self.assertEqual(self.client.cmd("CWD discard")[0], 250)
        self.assertEqual(self.client.stor("again.bin", payload(10)), 226)
        self.assertEqual(self.client.retr("again.bin")[0], 550)
        self.assertFalse(os.path.exists(os.path.join(self.root, "discard")))
        self.assertEqual([line for line in self.server.log_lines() if line.startswith("STOR ")],
                         ["STOR 200000 /dev/null", "STOR 10 /dev/null"])

    def test_names_stay_under_the_root(self):
        self.client.login()
        for name in ("../outside.bin", "/../outside.bin", "pub/../../outside.bin",
                     "../../../../" + os.path.join(self.tmp.name, "outside.bin").lstrip("/")):
            with self.subTest(name=name):
                self.assertEqual(self.client.retr(name), (550, None))
        # Above the root is the root itself: an upload there lands inside.
        self.assertEqual(self.client.stor("../../escaped.bin", b"in"), 226)
        self.assertTrue(os.path.exists(os.path.join(self.root, "escaped.bin")))
        self.assertFalse(os.path.exists(os.path.join(self.tmp.name, "escaped.bin")))

    def test_what_cannot_be_read_or_written_is_refused_at_once(self):
        self.client.login()
        for line, code in [("RETR pub/fifo", 550), ("RETR pub", 550), ("RETR pub/none", 550),
                           ("STOR pub", 553), ("STOR none/x", 553)]:
            with self.subTest(line=line):
                self.client.data("PASV")
                start = time.monotonic()
                self.assertEqual(self.client.cmd(line)[0], code)
                self.assertLess(time.monotonic() - start, AT_ONCE)

    def test_a_data_connection_that_never_comes_is_given_up(self):
        self.client.login()
        for verb in ("RETR pub/f.bin", "STOR incoming/late"):
            with self.subTest(verb=verb):
                self.client.data("PASV")  # and never connected
                start = time.monotonic()
                self.assertEqual(self.client.cmd(verb)[0], 150)
                self.assertEqual(self.client.reply()[0], 425)
                self.assertLess(time.monotonic() - start, 2 * TIMEOUT)
        self.assertEqual(self.client.cmd("NOOP")[0], 200)

    def test_a_stalled_upload_is_given_up_and_the_next_session_served(self):
        self.client.login()
        connect = self.client.data("EPSV")
        self.assertEqual(self.client.cmd("STOR incoming/stalled")[0], 150)
        sent = b"some bytes, then silence"
        with connect() as data:
            data.sendall(sent)
            start = time.monotonic()
            self.assertEqual(self.client.reply()[0], 426)
            self.assertLess(time.monotonic() - start, 2 * TIMEOUT)
        self.assertTrue(any(line.startswith(f"STOR failed after {len(sent)} bytes")
                            for line in self.server.log_lines()))
        self.assertFalse(any(line.split(" ")[1].isdigit() for line in self.server.log_lines()
                             if line.startswith("STOR ")))
        self.client.cmd("QUIT")
        other = Client(self.server.port)
        try:
            other.login()
            self.assertEqual(other.retr("pub/f.bin"), (226, payload(1000)))
        finally:
            other.close()

    def test_a_silent_session_is_closed_and_sessions_are_served_in_turn(self):
        waiting = Client(self.server.port)  # queued behind self.client
        try:
            start = time.monotonic()
            self.assertEqual(self.client.reply(), (None, ""))  # closed for silence
            self.assertLess(time.monotonic() - start, 2 * TIMEOUT)
            self.assertEqual(waiting.greeting[0], 220)
            waiting.login()
            self.assertEqual(waiting.cmd("PWD")[0], 257)
        finally:
            waiting.close()

    def test_sigterm_ends_it(self):
        self.server.process.send_signal(signal.SIGTERM)
        self.assertEqual(self.server.process.wait(5), -signal.SIGTERM)


class StartAndEndTest(unittest.TestCase):
    def test_it_ends_by_itself_when_its_starter_is_gone(self):
        with tempfile.TemporaryDirectory() as root:
            # A starter that names the server once it listens, and exits.
            starter = ("import subprocess, sys\n"
                       "p = subprocess.Popen([sys.executable] + sys.argv[1:], "
                       "stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)\n"
                       "p.stdout.readline()\n"
                       "print(p.pid)\n")
            started = subprocess.run([sys.executable, "-c", starter, SERVER, root],
                                     capture_output=True, text=True, timeout=10)
            pid = int(started.stdout)
            try:
                pidfd = os.pidfd_open(pid)
            except ProcessLookupError:
                self.fail("the server did not even start")
            try:
                ready, _, _ = select.select([pidfd], [], [], 5)
                if not ready:
                    signal.pidfd_send_signal(pidfd, signal.SIGTERM)
                self.assertTrue(ready, "the server outlived its starter by 5 s")
            finally:
                os.close(pidfd)

    def test_it_refuses_a_root_that_is_no_directory(self):
        done = subprocess.run([sys.executable, SERVER, "/nonexistent/root"],
                              capture_output=True, text=True, timeout=10)
        self.assertEqual(done.returncode, 2)
        self.assertIn("not a directory", done.stderr)


if __name__ == "__main__":
    unittest.main()
