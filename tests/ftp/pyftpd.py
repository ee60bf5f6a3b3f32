# SPDX-License-Identifier: ISC
"""pyftpdlib on ADDR:21 (IPv4 or IPv6) with an anonymous root and one local user.

usage: pyftpd.py ADDR ANON_ROOT USER PASSWORD HOME [--no-pasv]
"""
import logging
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


class NoPassiveHandler(FTPHandler):
    def ftp_PASV(self, line):
        self.respond("502 Command not implemented.")

    ftp_EPSV = ftp_PASV


def main():
    addr, anon_root, user, password, home = sys.argv[1:6]
    authorizer = DummyAuthorizer()
    authorizer.add_anonymous(anon_root)
    authorizer.add_user(user, password, home, perm="elr")
    handler = NoPassiveHandler if "--no-pasv" in sys.argv[6:] else FTPHandler
    handler.authorizer = authorizer
    logging.basicConfig(level=logging.WARNING)
    FTPServer((addr, 21), handler).serve_forever()


main()
