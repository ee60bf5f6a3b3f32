#!/usr/bin/python3
# SPDX-License-Identifier: ISC
"""An HTTPS server that floods one path, for what nginx will not do.

usage: flood_https.py CERT KEY ROOT ADDR PATH MODE LOG
Serves files below ROOT on ADDR:443; a GET of PATH gets data without end
(for at most HOLD seconds) instead of the file:
  nolength     no Content-Length, the body ends when the connection does
  falselength  "Content-Length: 314572800", far more than is ever sent
Each flood appends "sent N" (bytes it got out before the client hung up)
to LOG.  Runs until killed.
"""
import os
import socket
import ssl
import sys
import threading
import time

HOLD = 60


def flood(conn, mode, log):
    head = "HTTP/1.1 200 OK\r\nConnection: close\r\n"
    if mode == "falselength":
        head += "Content-Length: 314572800\r\n"
    conn.sendall((head + "\r\n").encode())
    chunk, sent, end = b"x" * 65536, 0, time.time() + HOLD
    try:
        while time.time() < end:
            conn.sendall(chunk)
            sent += len(chunk)
    except OSError:
        pass
    with open(log, "a") as f:
        f.write(f"sent {sent}\n")


def serve(conn, root, path, mode, log):
    request = b""
    while b"\r\n\r\n" not in request:
        data = conn.recv(4096)
        if not data:
            return
        request += data
    target = request.split(b" ")[1].decode()
    if target == path:
        flood(conn, mode, log)
        return
    try:
        with open(os.path.join(root, target.lstrip("/")), "rb") as f:
            body = f.read()
        head = f"HTTP/1.1 200 OK\r\nContent-Length: {len(body)}\r\nConnection: close\r\n\r\n"
    except OSError:
        body = b"File not found"
        head = f"HTTP/1.1 404 Not Found\r\nContent-Length: {len(body)}\r\nConnection: close\r\n\r\n"
    conn.sendall(head.encode() + body)


def main():
    cert, key, root, addr, path, mode, log = sys.argv[1:8]
    tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    tls.load_cert_chain(cert, key)
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((addr, 443))
    listener.listen(16)
    while True:
        raw, _ = listener.accept()

        def handle(raw=raw):
            try:
                with tls.wrap_socket(raw, server_side=True) as conn:
                    serve(conn, root, path, mode, log)
            except (OSError, ssl.SSLError):
                pass
            finally:
                raw.close()

        threading.Thread(target=handle, daemon=True).start()


main()
