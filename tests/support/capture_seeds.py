# SPDX-License-Identifier: ISC
"""Records what real and scripted servers send, as fuzz seeds.

usage: capture_seeds.py OUTDIR FTP_ADDR:NAME... -- DNS_ADDR:NAME...
Inside the sandbox, with the servers already running (capture_seeds.sh
starts them).  For each FTP server it logs in anonymously, fetches
pub/f.bin over PASV and lists the login directory, and writes the control
connection's bytes twice:
  OUTDIR/ftp_reply/NAME     the reads as they came, separated by 0xff
  OUTDIR/ftp_framing/NAME   one cut-choosing byte, then the bytes
For each name server it asks A questions and writes each reply to
  OUTDIR/dns_reply/NAME-QUESTION
and asks some of them again over TCP, writing the stream as it came (the
two-byte length first, at most 64 KiB) to
  OUTDIR/dns_reply/NAME-tcp-QUESTION
"""
import os
import re
import socket
import struct
import sys
import time


def ftp_session(addr):
    ctl = socket.create_connection((addr, 21), timeout=5)
    reads = []

    def drain(quiet=0.3, limit=3.0):
        ctl.settimeout(quiet)
        end = time.time() + limit
        while time.time() < end:
            try:
                chunk = ctl.recv(4096)
            except socket.timeout:
                if reads:
                    return
                continue
            if not chunk:
                return
            reads.append(chunk)

    def command(text, quiet=0.3):
        ctl.sendall(text.encode() + b"\r\n")
        drain(quiet)

    def passive():
        before = len(reads)
        command("PASV")
        text = b"".join(reads[before:]).decode("latin-1")
        m = re.search(r"(\d+),(\d+),(\d+),(\d+),(\d+),(\d+)", text)
        if not m:
            return None
        n = [int(x) for x in m.groups()]
        return socket.create_connection((addr, n[4] * 256 + n[5]), timeout=5)

    def transfer(verb):
        data = passive()
        if data is None:
            return
        command(verb)
        while data.recv(65536):
            pass
        data.close()
        drain(0.5)

    drain()
    for text in ("USER anonymous", "PASS seed@", "SYST", "FEAT", "TYPE I", "CWD pub", "SIZE f.bin",
                 "SIZE missing.bin"):
        command(text)
    transfer("RETR f.bin")
    command("CWD /")
    transfer("LIST")
    command("RETR missing.bin")
    command("QUIT")
    ctl.close()
    return reads


def dns_query(qid, name):
    q = struct.pack(">HHHHHH", qid, 0x0100, 1, 0, 0, 0)
    for label in name.split("."):
        q += bytes([len(label)]) + label.encode()
    return q + b"\0" + struct.pack(">HH", 1, 1)


def main():
    out = sys.argv[1]
    split = sys.argv.index("--")
    for d in ("ftp_reply", "ftp_framing", "dns_reply"):
        os.makedirs(os.path.join(out, d), exist_ok=True)
    for entry in sys.argv[2:split]:
        addr, name = entry.split(":")
        reads = ftp_session(addr)
        with open(os.path.join(out, "ftp_reply", name), "wb") as f:
            f.write(b"\xff".join(reads))
        with open(os.path.join(out, "ftp_framing", name), "wb") as f:
            f.write(bytes([len(reads) & 0xff]) + b"".join(reads))
    for entry in sys.argv[split + 1:]:
        addr, name = entry.split(":")
        for question in ("a.test", "alias.test", "missing.test", "wrongid.test",
                          "cnameonly.test", "pointerq.test", "loop.test", "chaos.test",
                          "longreply.test", "pastend.test"):
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.settimeout(1)
            s.sendto(dns_query(0x1234, question), (addr, 53))
            try:
                reply = s.recv(4096)
            except socket.timeout:
                continue
            finally:
                s.close()
            with open(os.path.join(out, "dns_reply", f"{name}-{question}"), "wb") as f:
                f.write(reply)
        for question in ("a.test", "long.test", "truncated.test", "tcpcut.test"):
            query, stream = dns_query(0x1234, question), b""
            with socket.create_connection((addr, 53), timeout=1) as s:
                s.sendall(struct.pack(">H", len(query)) + query)
                # As long as its length says, or until the server hangs up.
                while len(stream) < 2 + int.from_bytes(stream[:2].ljust(2, b"\xff"), "big"):
                    if not (chunk := s.recv(65536)):
                        break
                    stream += chunk
            with open(os.path.join(out, "dns_reply", f"{name}-tcp-{question}"), "wb") as f:
                f.write(stream)

main()
