"""Scripted FTP servers for what real servers will not do.

usage: scripted_server.py LOGDIR ADDR:MODE...
Each ADDR listens on port 21 and behaves per MODE; every command it receives
is appended to LOGDIR/commands-ADDR.txt.  Files served are 1000 bytes of
the pattern "0123456789" unless the mode says otherwise.

modes:
  normal          ordinary server (USER 331, PASS 230, SIZE 213 1000)
  user230         USER answered 230 directly (no PASS expected)
  split           greeting 220-Welcome / 220 Ready in two separate segments
  size550_refuse  SIZE 550, RETR 550
  size550_serve   SIZE 550, RETR served anyway
  size502         SIZE 502, RETR served
  short           SIZE 213 1000, only 500 bytes sent
  mute            greeting, then the connection is closed at USER
  list150         LIST answered 150 (listing sent anyway)
  list125         LIST answered 125 with a listing in three pieces
"""
import os
import socket
import sys
import threading
import time

CONTENT = (b"0123456789" * 100)


class Session:
    def __init__(self, conn, addr, mode, log):
        self.conn, self.addr, self.mode, self.log = conn, addr, mode, log
        self.pasv = None
        self.port = None
        self.rfile = conn.makefile("rb")

    def send(self, text):
        self.conn.sendall(text.encode() + b"\r\n")

    def data_conn(self):
        if self.pasv:
            data, _ = self.pasv.accept()
            self.pasv.close()
            self.pasv = None
            return data
        data = socket.create_connection(self.port, timeout=10)
        return data

    def send_data(self, chunks, code="150 Opening data connection"):
        data = self.data_conn() if self.pasv else None
        self.send(code)
        if data is None:
            data = self.data_conn()
        try:
            for chunk in chunks:
                data.sendall(chunk)
                time.sleep(0.05)
        except OSError:
            pass  # the client may give up on the data connection
        data.close()
        self.send("226 Transfer complete")

    def run(self):
        if self.mode == "split":
            self.conn.sendall(b"220-Welcome\r\n")
            time.sleep(0.3)
            self.conn.sendall(b"220 Ready\r\n")
        else:
            self.send("220 Scripted server ready")
        for raw in self.rfile:
            line = raw.decode("latin-1").rstrip("\r\n")
            with open(self.log, "a") as f:
                f.write(line + "\n")
            verb, _, arg = line.partition(" ")
            verb = verb.upper()
            if verb == "USER":
                if self.mode == "mute":
                    return
                self.send("230 Logged in" if self.mode == "user230" else "331 Password please")
            elif verb == "PASS":
                self.send("230 Logged in")
            elif verb == "TYPE":
                self.send("200 Type set")
            elif verb == "CWD":
                self.send("250 Okay" if arg != "missing" else "550 No such directory")
            elif verb == "PASV":
                self.pasv = socket.socket()
                self.pasv.bind((self.addr, 0))
                self.pasv.listen(1)
                p = self.pasv.getsockname()[1]
                h = self.addr.replace(".", ",")
                self.send(f"227 Entering Passive Mode ({h},{p >> 8},{p & 255})")
            elif verb == "PORT":
                n = [int(x) for x in arg.split(",")]
                self.port = (".".join(map(str, n[:4])), n[4] * 256 + n[5])
                self.send("200 PORT ok")
            elif verb == "SIZE":
                if self.mode.startswith("size550"):
                    self.send("550 No such file")
                elif self.mode == "size502":
                    self.send("502 Not implemented")
                else:
                    self.send(f"213 {len(CONTENT)}")
            elif verb == "RETR":
                if self.mode == "size550_refuse":
                    self.send("550 No such file")
                    continue
                body = CONTENT[:500] if self.mode == "short" else CONTENT
                self.send_data([body[:300], body[300:]])
            elif verb == "LIST":
                listing = [b"-rw-r--r-- 1 0 0 1000 Jan 01 00:00 a\r\n",
                           b"-rw-r--r-- 1 0 0 1000 Jan 01 00:00 b\r\n",
                           b"-rw-r--r-- 1 0 0 1000 Jan 01 00:00 c\r\n"]
                code = "150 Here it comes" if self.mode == "list150" else "125 Data connection open"
                self.send_data(listing, code)
            elif verb == "QUIT":
                self.send("221 Bye")
                return
            else:
                self.send("502 Not implemented")


def serve(addr, mode, logdir):
    log = os.path.join(logdir, f"commands-{addr}.txt")
    lst = socket.socket()
    lst.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    lst.bind((addr, 21))
    lst.listen(8)
    while True:
        conn, _ = lst.accept()

        def handle(c=conn):
            try:
                Session(c, addr, mode, log).run()
            except OSError:
                pass
            finally:
                c.close()

        threading.Thread(target=handle, daemon=True).start()


def main():
    logdir = sys.argv[1]
    threads = []
    for entry in sys.argv[2:]:
        addr, mode = entry.split(":")
        t = threading.Thread(target=serve, args=(addr, mode, logdir), daemon=True)
        t.start()
        threads.append(t)
    for t in threads:
        t.join()


main()
