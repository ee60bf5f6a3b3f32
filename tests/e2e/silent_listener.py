#!/usr/bin/python3
# SPDX-License-Identifier: ISC
"""A peer that holds every connection: accepts it and never sends a byte.

usage: silent_listener.py LOG ADDR:PORT...
Each accepted connection appends "ADDR:PORT" to LOG.  Runs until killed.
"""
import selectors
import socket
import sys


def main():
    log, endpoints = sys.argv[1], sys.argv[2:]
    sel = selectors.DefaultSelector()
    for endpoint in endpoints:
        addr, port = endpoint.rsplit(":", 1)
        s = socket.socket()
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind((addr, int(port)))
        s.listen(16)
        sel.register(s, selectors.EVENT_READ, endpoint)
    held = []
    while True:
        for key, _ in sel.select():
            conn, _ = key.fileobj.accept()
            held.append(conn)
            with open(log, "a") as f:
                f.write(key.data + "\n")


if __name__ == "__main__":
    main()
