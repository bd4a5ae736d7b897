#!/usr/bin/python3
"""An FTP server that costs next to nothing, so that a transfer against it measures the client.

Serves ROOT on 127.0.0.1 to an anonymous login ("anonymous" or "ftp", any password), one session
at a time, and answers just what a client needs to log in and move one file: USER, PASS, SYST,
FEAT, OPTS UTF8, PWD, CWD, CDUP, TYPE I, PASV, EPSV, PORT, EPRT, SIZE, RETR, STOR, NOOP, QUIT;
any other command gets 502. File bytes never pass through Python: RETR hands the file to the
data socket with sendfile(), STOR splices the data socket through a pipe into the file.

With --discard NAME, the root seems to hold a directory NAME, always empty: whatever is stored
in it goes to /dev/null (the number of bytes is logged), so that an upload there costs the
server only the splicing.

Prints "listening PORT" on standard output once it accepts connections. On standard error: a
line per whole transfer, "RETR BYTES PATH" or "STOR BYTES FILE" (/dev/null for a thrown-away
upload), and a line in words per failed transfer or broken-off session. Every wait has a time-out;
the server ends on SIGTERM, and by itself when the process that started it is gone.

usage: lean_ftp_server.py ROOT [--port N] [--discard NAME] [--timeout SECONDS]
"""
import argparse
import errno
import fcntl
import os
import socket
import struct
import sys

HOST = "127.0.0.1"
PIPE_SIZE = 1 << 20
FEATURES = ["EPRT", "EPSV", "PASV", "SIZE", "UTF8"]


def log(text):
    print(text, file=sys.stderr, flush=True)


def set_timeouts(sock, seconds):
    """A blocking socket whose every send and receive gives up after `seconds` (EAGAIN), so
    that sendfile() and splice() on it block in the kernel and still end."""
    sock.settimeout(None)
    timeval = struct.pack("ll", int(seconds), int((seconds % 1) * 1e6))
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDTIMEO, timeval)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVTIMEO, timeval)


class Reply(Exception):
    """Ends a command with this reply."""

    def __init__(self, code, text):
        super().__init__(f"{code} {text}")
        self.line = f"{code} {text}"


class Session:
    def __init__(self, server, control):
        self.server = server
        self.control = control
        self.peer = control.getpeername()[0]
        self.reader = control.makefile("rb")
        self.cwd = "/"
        self.user = None
        self.logged_in = False
        self.passive = None  # listening socket of the last PASV or EPSV
        self.active = None  # (host, port) of the last PORT or EPRT

    # -- the control connection ------------------------------------------------------------------

    def send(self, line):
        self.control.sendall(line.encode("utf-8") + b"\r\n")

    def run(self):
        self.control.settimeout(self.server.timeout)
        try:
            self.send("220 lean server ready")
            while True:
                raw = self.reader.readline(4096)
                if not raw:
                    return
                line = raw.decode("utf-8", "replace").rstrip("\r\n")
                verb, _, arg = line.partition(" ")
                verb = verb.upper()
                if verb == "QUIT":
                    self.send("221 Goodbye")
                    return
                try:
                    self.send(self.dispatch(verb, arg))
                except Reply as reply:
                    self.send(reply.line)
        except OSError as error:  # time-out, reset
            log(f"session from {self.peer} ended: {error}")
        finally:
            self.close_data()
            self.reader.close()
            self.control.close()

    def dispatch(self, verb, arg):
        if verb in ("USER", "PASS", "SYST", "FEAT", "OPTS", "NOOP"):
            return getattr(self, "cmd_" + verb.lower())(arg)
        handler = getattr(self, "cmd_" + verb.lower(), None) if verb.isalpha() else None
        if handler is None:
            return f"502 {verb} not implemented"
        if not self.logged_in:
            return "530 Please log in with USER and PASS"
        return handler(arg)

    # -- log-in and information ------------------------------------------------------------------

    def cmd_user(self, arg):
        self.logged_in = False
        self.user = arg
        return "331 Any password will do"

    def cmd_pass(self, arg):
        if self.user is None:
            return "503 USER first"
        if self.user.lower() not in ("anonymous", "ftp"):
            return "530 Only anonymous logins here"
        self.logged_in = True
        return "230 Logged in"

    def cmd_syst(self, arg):
        return "215 UNIX Type: L8"

    def cmd_feat(self, arg):
        return "211-Features:\r\n" + "".join(f" {f}\r\n" for f in FEATURES) + "211 End"

    def cmd_opts(self, arg):
        if arg.upper() in ("UTF8 ON", "UTF8"):
            return "200 Always in UTF8 mode"
        return "501 Option not understood"

    def cmd_noop(self, arg):
        return "200 NOOP ok"

    def cmd_type(self, arg):
        # Bytes go as they are: only the image type is offered.
        if arg.upper() in ("I", "L 8"):
            return "200 Switching to Binary mode"
        return "504 Only TYPE I"

    # -- names -----------------------------------------------------------------------------------

    def remote(self, arg):
        """The client's path as an absolute one under the root, never above it."""
        if not arg:
            raise Reply(501, "A name is needed")
        path = os.path.normpath(os.path.join(self.cwd, arg))
        return "/" + path.lstrip("/")

    def discarded(self, path):
        return self.server.discard is not None and os.path.dirname(path) == self.server.discard

    def local(self, path):
        return os.path.join(self.server.root, path.lstrip("/"))

    def cmd_pwd(self, arg):
        return f'257 "{self.cwd}" is the current directory'

    def cmd_cwd(self, arg):
        path = self.remote(arg)
        if path != self.server.discard and not os.path.isdir(self.local(path)):
            return "550 No such directory"
        self.cwd = path
        return "250 Directory changed"

    def cmd_cdup(self, arg):
        return self.cmd_cwd("..")

    def cmd_size(self, arg):
        path = self.remote(arg)
        if not self.discarded(path):
            try:
                st = os.stat(self.local(path))
                if os.path.isfile(self.local(path)):
                    return f"213 {st.st_size}"
            except OSError:
                pass
        return "550 No such file"

    # -- data connections ------------------------------------------------------------------------

    def close_data(self):
        if self.passive is not None:
            self.passive.close()
            self.passive = None
        self.active = None

    def listen(self):
        self.close_data()
        self.passive = socket.socket()
        self.passive.bind((HOST, 0))
        self.passive.listen(1)
        self.passive.settimeout(self.server.timeout)
        return self.passive.getsockname()[1]

    def cmd_pasv(self, arg):
        port = self.listen()
        return f"227 Entering Passive Mode ({HOST.replace('.', ',')},{port >> 8},{port & 255})"

    def cmd_epsv(self, arg):
        if arg.upper() == "ALL":
            return "200 EPSV ALL ok"
        if arg and arg != "1":
            return "522 Only IPv4 (1)"
        return f"229 Entering Extended Passive Mode (|||{self.listen()}|)"

    def set_active(self, host, port):
        if host != self.peer or not 0 < port < 65536:
            return "501 Data connections go only to the client's own address"
        self.close_data()
        self.active = (host, port)
        return "200 Active data connection set"

    def cmd_port(self, arg):
        try:
            fields = [int(x) for x in arg.split(",")]
        except ValueError:
            return "501 Bad PORT"
        if len(fields) != 6 or any(not 0 <= x < 256 for x in fields):
            return "501 Bad PORT"
        return self.set_active(".".join(map(str, fields[:4])), fields[4] * 256 + fields[5])

    def cmd_eprt(self, arg):
        parts = arg[1:].split(arg[:1]) if arg else []
        if len(parts) != 4 or parts[0] != "1" or not parts[2].isdigit():
            return "522 Only IPv4 (1)"
        return self.set_active(parts[1], int(parts[2]))

    def need_data(self):
        """Refuses a transfer at once, before any 150, when no data connection was set up."""
        if self.passive is None and self.active is None:
            raise Reply(425, "Use PASV, EPSV, PORT or EPRT first")

    def open_data(self):
        """The data connection of the last PASV, EPSV, PORT or EPRT, after the 150 reply."""
        self.need_data()
        try:
            if self.passive is not None:
                while True:  # bounded by the listener's time-out
                    data, (host, _) = self.passive.accept()
                    if host == self.peer:
                        break
                    data.close()
            else:
                data = socket.create_connection(self.active, timeout=self.server.timeout)
        except OSError as error:
            raise Reply(425, f"No data connection: {error}")
        finally:
            self.close_data()
        set_timeouts(data, self.server.timeout)
        return data

    # -- transfers -------------------------------------------------------------------------------

    def cmd_retr(self, arg):
        path = self.remote(arg)
        self.need_data()
        # Only plain files: opening a named pipe would wait for a writer.
        if self.discarded(path) or not os.path.isfile(self.local(path)):
            return "550 No such file"
        try:
            source = open(self.local(path), "rb")
        except OSError:
            return "550 Cannot open the file"
        with source:
            size = os.fstat(source.fileno()).st_size
            self.send(f"150 Opening BINARY mode data connection for {arg} ({size} bytes)")
            data = self.open_data()
            sent = 0
            try:
                while sent < size:
                    n = os.sendfile(data.fileno(), source.fileno(), sent, size - sent)
                    if n == 0:
                        break  # the file got shorter
                    sent += n
            except OSError as error:
                data.close()
                log(f"RETR failed after {sent} of {size} bytes of {path}: {error}")
                return "426 Transfer aborted"
            data.close()
        log(f"RETR {sent} {path}")
        return "226 Transfer complete"

    def cmd_stor(self, arg):
        path = self.remote(arg)
        self.need_data()
        target = os.devnull if self.discarded(path) else self.local(path)
        try:
            fd = os.open(target, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        except OSError:
            return "553 Cannot create the file"
        received = 0
        try:
            self.send("150 Ok to send data")
            data = self.open_data()
            pipe_r, pipe_w = os.pipe()
            try:
                try:
                    fcntl.fcntl(pipe_w, fcntl.F_SETPIPE_SZ, PIPE_SIZE)
                except OSError:
                    pass  # the default pipe does, with more calls
                while True:  # until the client closes the data connection
                    n = os.splice(data.fileno(), pipe_w, PIPE_SIZE, flags=os.SPLICE_F_MOVE)
                    if n == 0:
                        break
                    while n > 0:  # the pipe holds n bytes; each pass takes some
                        moved = os.splice(pipe_r, fd, n, flags=os.SPLICE_F_MOVE)
                        if moved == 0:
                            raise OSError(errno.EIO, "the file takes no more bytes")
                        n -= moved
                        received += moved
            except OSError as error:
                log(f"STOR failed after {received} bytes into {target}: {error}")
                code = 426 if error.errno in (errno.EAGAIN, errno.ECONNRESET) else 451
                return f"{code} Transfer aborted"
            finally:
                os.close(pipe_r)
                os.close(pipe_w)
                data.close()
        finally:
            os.close(fd)
        log(f"STOR {received} {target}")
        return "226 Transfer complete"


class Server:
    def __init__(self, root, port, discard, timeout):
        self.root = os.path.abspath(root)
        self.discard = "/" + discard.strip("/") if discard else None
        self.timeout = timeout
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((HOST, port))
        self.listener.listen(4)
        self.port = self.listener.getsockname()[1]
        self.parent = os.getppid()

    def serve(self):
        # A second at a time, so that a server whose starter is gone does not outlive it by more.
        self.listener.settimeout(1.0)
        while os.getppid() == self.parent:
            try:
                control, _ = self.listener.accept()
            except socket.timeout:
                continue
            Session(self, control).run()
        log("the process that started this server is gone: ending")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("root")
    parser.add_argument("--port", type=int, default=0, help="0 (default): any free port")
    parser.add_argument("--discard", default=None,
                        help="name of a directory at the root whose uploads go to /dev/null")
    parser.add_argument("--timeout", type=float, default=30.0,
                        help="seconds of silence after which a session or transfer is given "
                             "up (default 30)")
    args = parser.parse_args()
    if not os.path.isdir(args.root):
        parser.error(f"{args.root} is not a directory")
    server = Server(args.root, args.port, args.discard, args.timeout)
    print(f"listening {server.port}", flush=True)
    try:
        server.serve()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
