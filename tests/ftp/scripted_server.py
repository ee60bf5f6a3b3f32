# SPDX-License-Identifier: ISC
"""Scripted FTP servers for what real servers will not do.

usage: scripted_server.py LOGDIR ADDR:MODE...
Each ADDR (IPv4, or IPv6 where EPSV and EPRT take the place of PASV and
PORT) listens on port 21 and behaves per MODE; every command it receives,
and every event of note (marked "EVENT"), is appended to
LOGDIR/commands-ADDR.txt.  Files served are 1000 bytes of the pattern
"0123456789" unless the mode says otherwise.  No hostile behaviour lasts
longer than HOLD seconds.

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
hostile modes:
  trickle_greeting  "220-" continuation lines every half second, no end
  trickle_reply     the reply to USER trickled the same way
  trickle_data      the file one byte every 3 seconds
  endless_size      SIZE 1000, then data without end
  endless_nosize    SIZE 502, then data without end
  pasv_elsewhere    the 227 names 127.0.0.99 (which listens on the same port
                    and logs any connection as EVENT decoy)
  pasv_dead_port    the 227 names a port where nothing listens
  active_intruder   PASV refused; at RETR a connection from 127.0.0.77 (fd00::77
                    over IPv6) first
                    (EVENT intruder closed/kept), then the server's own
  active_late_intruder  PASV refused; at RETR only 127.0.0.77 connects,
                    20 seconds later
  no_final          the file, then no reply after it
  final426          the file, then "426" after it
  together          the file, then its two-line 150 and two-line 226 in one
                    write
  split_midline     greeting and replies split inside lines across writes
  size_garbage      SIZE answered "213 abc"
  size_negative     SIZE answered "213 -1000"
  list_endless      LIST answered 125, listing without end
  list426           LIST answered 125, listing, then "426"
  list_together     LIST answered with a two-line 125 and a 226 in one write
                    after the listing
  flood_nosize@NAME, flood_hugesize@NAME
                    files served from LOGDIR/anon, but NAME: SIZE 502 or
                    "213 314572800", then data without end
"""
import os
import socket
import sys
import threading
import time

CONTENT = (b"0123456789" * 100)
HOLD = 90
INTRUDER = {socket.AF_INET: "127.0.0.77", socket.AF_INET6: "fd00::77"}
DECOY = "127.0.0.99"
LISTING = [b"-rw-r--r-- 1 0 0 1000 Jan 01 00:00 a\r\n",
           b"-rw-r--r-- 1 0 0 1000 Jan 01 00:00 b\r\n",
           b"-rw-r--r-- 1 0 0 1000 Jan 01 00:00 c\r\n"]


def family(addr):
    return socket.AF_INET6 if ":" in addr else socket.AF_INET


def endless():
    chunk = b"x" * 65536
    end = time.time() + HOLD
    while time.time() < end:
        yield chunk


def trickle():
    end = time.time() + HOLD
    while time.time() < end:
        yield b"7"
        time.sleep(3)


class Session:
    def __init__(self, conn, addr, mode, log):
        self.conn, self.addr, self.log = conn, addr, log
        self.mode, _, self.flooded = mode.partition("@")
        self.root = os.path.join(os.path.dirname(log), "anon")
        self.cwd = "/"
        self.pasv = None
        self.port = None
        self.rfile = conn.makefile("rb")

    def served(self, name):
        """The bytes of a real file for the flood modes; None when missing."""
        try:
            with open(os.path.join(self.root, self.cwd.strip("/"), name), "rb") as f:
                return f.read()
        except OSError:
            return None

    def note(self, line):
        with open(self.log, "a") as f:
            f.write(line + "\n")

    def send(self, text):
        self.conn.sendall(text.encode() + b"\r\n")

    def raw(self, *pieces):
        """Sends the pieces as separate writes, a little apart."""
        for piece in pieces:
            self.conn.sendall(piece)
            time.sleep(0.2)

    def hold(self, line):
        """Continuation lines of one reply every half second, never its end."""
        end = time.time() + HOLD
        while time.time() < end:
            self.conn.sendall(line)
            time.sleep(0.5)

    def data_conn(self, source=None):
        if self.pasv:
            data, _ = self.pasv.accept()
            self.pasv.close()
            self.pasv = None
            return data
        # From the server's own address, as real servers do.
        data = socket.socket(family(self.addr))
        data.bind((source or self.addr, 0))
        data.settimeout(10)
        data.connect(self.port)
        return data

    def intrude(self):
        """Connects to the client's PORT from another address; notes whether
        the client hung up on it."""
        try:
            sock = self.data_conn(INTRUDER[family(self.addr)])
            sock.settimeout(5)
            got = sock.recv(1)
            self.note("EVENT intruder closed" if got == b"" else "EVENT intruder kept")
        except socket.timeout:
            self.note("EVENT intruder kept")
        except OSError:
            self.note("EVENT intruder closed")

    def pump(self, data, chunks):
        try:
            for chunk in chunks:
                data.sendall(chunk)
                time.sleep(0.05 if len(chunk) < 4096 else 0)
        except OSError:
            self.note("EVENT client closed the data connection")
        data.close()

    def send_data(self, chunks, code="150 Opening data connection", final="226 Transfer complete"):
        data = self.data_conn() if self.pasv else None
        self.send(code)
        if data is None:
            data = self.data_conn()
        self.pump(data, chunks)
        if final:
            self.send(final)

    def retr(self, name):
        m = self.mode
        if self.flooded and name != self.flooded:
            body = self.served(name)
            if body is None:
                self.send("550 No such file")
            else:
                self.send_data([body])
        elif self.flooded:
            self.send_data(endless())
        elif m == "size550_refuse":
            self.send("550 No such file")
        elif m == "short":
            self.send_data([CONTENT[:300], CONTENT[300:500]])
        elif m == "trickle_data":
            self.send_data(trickle())
        elif m in ("endless_size", "endless_nosize"):
            self.send_data(endless())
        elif m == "active_intruder":
            self.send("150 Opening data connection")
            self.intrude()
            self.pump(self.data_conn(), [CONTENT[:300], CONTENT[300:]])
            self.send("226 Transfer complete")
        elif m == "active_late_intruder":
            self.send("150 Opening data connection")
            time.sleep(20)
            self.intrude()
            time.sleep(HOLD)
        elif m == "no_final":
            self.send_data([CONTENT], final=None)
            time.sleep(HOLD)
        elif m == "final426":
            self.send_data([CONTENT], final="426 Connection closed; transfer aborted")
        elif m == "together":
            self.pump(self.data_conn(), [CONTENT])
            self.raw(b"150-Accepted data connection\r\n150 1.0 kbytes to download\r\n"
                     b"226-File successfully transferred\r\n226 0.001 seconds\r\n")
        elif m == "split_midline":
            data = self.data_conn()
            self.raw(b"150-Accepted data conn", b"ection\r\n150", b" 1000 bytes to download\r\n")
            self.pump(data, [CONTENT])
            self.raw(b"226-File successfully tr", b"ansferred\r\n22", b"6 0.001 seconds\r\n")
        else:
            self.send_data([CONTENT[:300], CONTENT[300:]])

    def list(self):
        m = self.mode
        if m == "list150":
            self.send_data(LISTING, "150 Here it comes")
        elif m == "list_endless":
            self.send_data(endless(), "125 Data connection open")
        elif m == "list426":
            self.send_data(LISTING, "125 Data connection open", "426 Connection closed; transfer aborted")
        elif m == "list_together":
            self.pump(self.data_conn(), LISTING)
            self.raw(b"125-Data connection already open\r\n125 Transfer starting\r\n226 Transfer complete\r\n")
        else:
            self.send_data(LISTING, "125 Data connection open")

    def pasv_reply(self, extended=False):
        self.pasv = socket.socket(family(self.addr))
        self.pasv.bind((self.addr, 0))
        self.pasv.listen(1)
        p = self.pasv.getsockname()[1]
        if extended:
            self.send(f"229 Entering Extended Passive Mode (|||{p}|)")
            return
        h = self.addr
        if self.mode == "pasv_elsewhere":
            h = DECOY
            decoy = socket.socket()
            decoy.bind((DECOY, p))
            decoy.listen(1)
            decoy.settimeout(HOLD)

            def watch():
                try:
                    decoy.accept()
                    self.note("EVENT decoy")
                except OSError:
                    pass
            threading.Thread(target=watch, daemon=True).start()
        elif self.mode == "pasv_dead_port":
            # A port that was just free: nothing listens there.
            self.pasv.close()
            self.pasv = None
        self.send(f"227 Entering Passive Mode ({h.replace('.', ',')},{p >> 8},{p & 255})")

    def run(self):
        m = self.mode
        if m == "split":
            self.conn.sendall(b"220-Welcome\r\n")
            time.sleep(0.3)
            self.conn.sendall(b"220 Ready\r\n")
        elif m == "split_midline":
            self.raw(b"220-Wel", b"come\r\n220", b" Ready\r\n")
        elif m == "trickle_greeting":
            self.hold(b"220-Welcome, still warming up\r\n")
            return
        else:
            self.send("220 Scripted server ready")
        for raw in self.rfile:
            line = raw.decode("latin-1").rstrip("\r\n")
            self.note(line)
            verb, _, arg = line.partition(" ")
            verb = verb.upper()
            if verb == "USER":
                if m == "mute":
                    return
                if m == "trickle_reply":
                    self.hold(b"331-Checking your name\r\n")
                    return
                self.send("230 Logged in" if m == "user230" else "331 Password please")
            elif verb == "PASS":
                self.send("230 Logged in")
            elif verb == "TYPE":
                self.send("200 Type set")
            elif verb == "CWD":
                self.cwd = arg
                self.send("250 Okay" if arg != "missing" else "550 No such directory")
            elif verb in ("PASV", "EPSV"):
                if m.startswith("active_"):
                    self.send("502 Not implemented")
                else:
                    self.pasv_reply(verb == "EPSV")
            elif verb == "PORT":
                n = [int(x) for x in arg.split(",")]
                self.port = (".".join(map(str, n[:4])), n[4] * 256 + n[5])
                self.send("200 PORT ok")
            elif verb == "EPRT":
                _, _, host, port, _ = arg.split("|")
                self.port = (host, int(port))
                self.send("200 EPRT ok")
            elif verb == "SIZE":
                if self.flooded and arg != self.flooded:
                    body = self.served(arg)
                    self.send("550 No such file" if body is None else f"213 {len(body)}")
                elif self.flooded:
                    self.send("502 Not implemented" if m == "flood_nosize" else "213 314572800")
                elif m.startswith("size550"):
                    self.send("550 No such file")
                elif m in ("size502", "endless_nosize"):
                    self.send("502 Not implemented")
                elif m == "size_garbage":
                    self.send("213 abc")
                elif m == "size_negative":
                    self.send("213 -1000")
                else:
                    self.send(f"213 {len(CONTENT)}")
            elif verb == "RETR":
                self.retr(arg)
            elif verb == "LIST":
                self.list()
            elif verb == "QUIT":
                self.send("221 Bye")
                return
            else:
                self.send("502 Not implemented")


def serve(addr, mode, logdir):
    log = os.path.join(logdir, f"commands-{addr}.txt")
    lst = socket.socket(family(addr))
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
        addr, mode = entry.rsplit(":", 1)
        t = threading.Thread(target=serve, args=(addr, mode, logdir), daemon=True)
        t.start()
        threads.append(t)
    for t in threads:
        t.join()


main()
