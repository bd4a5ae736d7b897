#!/usr/bin/python3
"""A scripted SSH server whose SFTP subsystem misbehaves on purpose, for the client's fault tests.

    sftp_fault_server.py PORT HOST_KEY MODE AUTH PASSWORD

It listens on 127.0.0.1:PORT with the private HOST_KEY, lets in any user who gives PASSWORD by
AUTH ("password" or "kbdint"), and answers SFTP with one directory "/d" holding one file "file"
(256 KiB: the byte values 0..255 over and over). Each request after INIT is printed as
"request TYPE", so that a test can count them. MODE names the one thing it gets wrong:

    normal       nothing
    short-reads  every READ answered with at most 1000 bytes (allowed, and must still add up)
    oversize     OPENDIR answered with a packet that claims 2 GiB
    truncated    OPENDIR answered with a handle longer than its packet
    wrong-id     OPENDIR answered with a STATUS for a request never sent
    bad-name     READDIR names an entry "../evil"
    zero-data    READ answered with DATA of no bytes
    eof-early    end of file at half the size FSTAT gave
    stall        READ never answered
    close        the channel closed after the first DATA
"""
import asyncio
import struct
import sys

import asyncssh

CONTENT = bytes(range(256)) * 1024
FILE_ATTRS = struct.pack(">IQI", 0x1 | 0x4, len(CONTENT), 0o100644)


def packet(kind, body):
    return struct.pack(">IB", len(body) + 1, kind) + body


def string(data):
    return struct.pack(">I", len(data)) + data


def status(request, code, message=b""):
    return packet(101, struct.pack(">II", request, code) + string(message) + string(b""))


class SftpSession(asyncssh.SSHServerSession):
    """The raw "sftp" subsystem of one channel: packets in, scripted answers out."""

    def __init__(self, mode):
        self.mode = mode
        self.channel = None
        self.pending = b""
        self.started = False
        self.listed = False
        self.data_sent = 0

    def connection_made(self, chan):
        self.channel = chan

    def subsystem_requested(self, subsystem):
        return subsystem == "sftp"

    def data_received(self, data, datatype):
        self.pending += data
        while len(self.pending) >= 4:
            (length,) = struct.unpack(">I", self.pending[:4])
            if len(self.pending) < 4 + length:
                return
            request, self.pending = self.pending[4:4 + length], self.pending[4 + length:]
            if self.channel is None:
                return
            self.answer(request)

    def answer(self, request):
        write, mode = self.channel.write, self.mode
        if not self.started:  # INIT
            self.started = True
            write(packet(2, struct.pack(">I", 3)))
            return
        kind = request[0]
        (rid,) = struct.unpack(">I", request[1:5])
        rest = request[5:]
        print("request", kind, flush=True)
        if kind == 16:  # REALPATH: everything is "/"
            write(packet(104, struct.pack(">II", rid, 1) + string(b"/") + string(b"/") +
                         struct.pack(">I", 0)))
        elif kind == 11:  # OPENDIR
            if mode == "oversize":
                write(struct.pack(">I", 0x7FFFFFFF) + b"\x66")
            elif mode == "truncated":
                write(packet(102, struct.pack(">I", rid) + struct.pack(">I", 50) + b"ab"))
            elif mode == "wrong-id":
                write(status(rid + 1000, 0))
            else:
                write(packet(102, struct.pack(">I", rid) + string(b"D")))
        elif kind == 12:  # READDIR
            if self.listed:
                write(status(rid, 1))
            else:
                self.listed = True
                name = b"../evil" if mode == "bad-name" else b"file"
                write(packet(104, struct.pack(">II", rid, 1) + string(name) +
                             string(b"-rw-r--r-- file") + FILE_ATTRS))
        elif kind == 3:  # OPEN
            write(packet(102, struct.pack(">I", rid) + string(b"F")))
        elif kind == 8:  # FSTAT
            write(packet(105, struct.pack(">I", rid) + FILE_ATTRS))
        elif kind == 5:  # READ
            (handle_length,) = struct.unpack(">I", rest[:4])
            offset, length = struct.unpack(">QI", rest[4 + handle_length:16 + handle_length])
            if mode == "stall":
                return
            if mode == "close" and self.data_sent > 0:
                self.channel.close()
                self.channel = None
                return
            end = len(CONTENT) // 2 if mode == "eof-early" else len(CONTENT)
            if offset >= end:
                write(status(rid, 1))
            elif mode == "zero-data":
                write(packet(103, struct.pack(">I", rid) + string(b"")))
            else:
                count = min(length, end - offset, 1000 if mode == "short-reads" else length)
                write(packet(103, struct.pack(">I", rid) + string(CONTENT[offset:offset + count])))
                self.data_sent += count
        elif kind == 4:  # CLOSE
            write(status(rid, 0))
        else:
            write(status(rid, 8))


class Server(asyncssh.SSHServer):
    def __init__(self, mode, auth, password):
        self.mode = mode
        self.auth = auth
        self.password = password

    def session_requested(self):
        return SftpSession(self.mode)

    def begin_auth(self, username):
        return True

    def password_auth_supported(self):
        return self.auth == "password"

    def validate_password(self, username, password):
        return password == self.password

    def kbdint_auth_supported(self):
        return self.auth == "kbdint"

    def get_kbdint_challenge(self, username, lang, submethods):
        return "", "", "", [("Senha: ", False)]

    def validate_kbdint_response(self, username, responses):
        return list(responses) == [self.password]


async def main():
    port, host_key, mode, auth, password = sys.argv[1:6]

    await asyncssh.listen("127.0.0.1", int(port), server_host_keys=[host_key],
                          server_factory=lambda: Server(mode, auth, password), encoding=None)
    print("listening", flush=True)
    await asyncio.Event().wait()


if __name__ == "__main__":
    asyncio.run(main())
