#!/usr/bin/python3
"""pyftpdlib for the delayed benchmark: listens on HOST:PORT, serves ROOT to user "bench"
(password "bench", full rights), takes its passive connections on PASV_FIRST..PASV_LAST and
names MASQUERADE in its passive replies, so that a delaying proxy there carries the data too.

usage: slow_ftp_server.py HOST PORT ROOT PASV_FIRST PASV_LAST MASQUERADE
"""
import logging
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    host, port, root = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    first, last, masquerade = int(sys.argv[4]), int(sys.argv[5]), sys.argv[6]
    logging.basicConfig(level=logging.WARNING)
    authorizer = DummyAuthorizer()
    authorizer.add_user("bench", "bench", root, perm="elradfmwMT")
    handler = FTPHandler
    handler.authorizer = authorizer
    handler.passive_ports = range(first, last + 1)
    handler.masquerade_address = masquerade
    server = FTPServer((host, port), handler)
    server.max_cons = 256
    server.serve_forever()


if __name__ == "__main__":
    main()
