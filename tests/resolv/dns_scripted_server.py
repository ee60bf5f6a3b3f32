#!/usr/bin/python3
# SPDX-License-Identifier: ISC
"""A name server that answers badly on purpose, chosen by the first label of
the name asked for; other names get an A record 192.0.2.N (an AAAA record
fd00::N), N the last number of the server's address.  Every query is logged
as "ADDR ID NAME TYPE udp|tcp" to LOG, before it is answered.  Some answers
come first from another port of the same address, or from 127.0.0.9:53,
which the resolver never asks.  Over TCP the same answers come whole, but for
the tcp* names.

usage: dns_scripted_server.py LOG ADDR...   (listens on ADDR:53, UDP and
TCP, for each; an IPv6 ADDR may carry a zone, fe80::1%lo)
"""
import select
import socket
import struct
import sys
import threading
import time

A, CNAME, TXT, AAAA, IN = 1, 5, 16, 28, 1
TC = 0x0200
asked = {}


def rr(name, rtype, rdata, rdlength=None, rclass=IN):
    if rdlength is None:
        rdlength = len(rdata)
    return name + struct.pack(">HHIH", rtype, rclass, 60, rdlength) + rdata


def header(qid, qd, an, flags=0x8180):
    return struct.pack(">HHHHHH", qid, flags, qd, an, 0, 0)


def reply(query, server, tcp=False):
    """The datagrams to send, as (via, bytes): via is "self", "otherport" or
    "otheraddr"."""
    qid = struct.unpack(">H", query[:2])[0]
    end = query.index(b"\0", 12) + 1
    qname, question = query[12:end], query[12:end + 4]
    qtype = struct.unpack(">H", query[end:end + 2])[0]
    kind = qname[1:1 + qname[0]].decode("ascii", "replace")
    asked[kind] = asked.get(kind, 0) + 1
    ptr = b"\xc0\x0c"
    addr = bytes([192, 0, 2, 77])
    cname = rr(ptr, CNAME, b"\x05other\xc0\x0c")

    n = int(server.split("%")[0].replace(":", ".").split(".")[-1], 16 if ":" in server else 10)
    own = bytes([192, 0, 2, n]) if qtype == A else bytes([0xfd] + [0] * 14 + [n])
    right = header(qid, 1, 1) + question + rr(ptr, A, addr)
    decoy = bytes([192, 0, 2, 66])
    if kind == "lastok" and server != "127.0.0.2":  # refused at once elsewhere
        return [("self", header(qid, 1, 0, 0x8183) + question)]
    if kind.startswith(("truncated", "tcp")) and not tcp:  # a decoy A, cut short
        return [("self", header(qid, 1, 1, 0x8180 | TC) + question + rr(ptr, A, decoy))]
    if kind == "truncated":  # over TCP: more than 512 bytes, the A record last
        pad = rr(ptr, TXT, b"\xff" + b"p" * 255) * 2
        return [("self", header(qid, 1, 3) + question + pad + rr(ptr, A, addr))]
    if kind == "wrongid":
        return [("self", header(qid ^ 0x100, 1, 1) + question + rr(ptr, A, addr))]
    if kind == "late":  # the first query gets only a reply to another ID
        stale = header((qid + 1) & 0xFFFF, 1, 1) + question + rr(ptr, A, decoy)
        return [("self", stale if asked[kind] == 1 else right)]
    if kind == "wrongfirst":  # a reply to another ID just before the right one
        return [("self", header(qid ^ 0x8000, 1, 1) + question + rr(ptr, A, decoy)), ("self", right)]
    if kind in ("otherport", "otheraddr"):  # a false answer from elsewhere first
        return [(kind, header(qid, 1, 1) + question + rr(ptr, A, decoy)), ("self", right)]
    if kind == "otherquestion":  # the right ID, another name asked
        other = b"\x01x" + question
        return [("self", header(qid, 1, 1) + other + rr(ptr, A, decoy)), ("self", right)]
    if kind == "cnameonly":
        return [("self", header(qid, 1, 1) + question + cname)]
    if kind == "pastend":  # nine answers announced, one sent
        return [("self", header(qid, 1, 9) + question + cname)]
    if kind == "manyquestions":
        return [("self", header(qid, 300, 1) + question + rr(ptr, A, addr))]
    if kind == "rdlength":  # A record whose data runs past the end
        return [("self", header(qid, 1, 1) + question + rr(ptr, A, addr, rdlength=200))]
    if kind == "labelpast":  # answer name with a label longer than the rest
        return [("self", header(qid, 1, 1) + question + b"\x3fabc")]
    if kind == "short":
        return [("self", header(qid, 1, 1)[:11])]
    if kind == "loop":  # answer names chain pointers into each other
        chain = rr(b"\xc0\x12", CNAME, b"\xc0\x10") + rr(b"\x01x\xc0\x0c", TXT, b"\x01y")
        return [("self", header(qid, 1, 3) + question + chain + rr(b"\xc0\x0e", A, addr))]
    if kind == "pointerq":  # the question's name a pointer (at itself): not ours
        return [("self", header(qid, 1, 1) + b"\xc0\x0c" + question[-4:] + rr(ptr, A, addr))]
    if kind == "chaos":  # an A record of class CH first
        return [("self", header(qid, 1, 2) + question + rr(ptr, A, bytes(4), rclass=3) + rr(ptr, A, addr))]
    if kind == "afterbuffer":  # padding pushes the A record past 512 bytes
        pad = rr(ptr, TXT, b"\xff" + b"p" * 255) * 2
        return [("self", header(qid, 1, 3) + question + pad + rr(ptr, A, addr))]
    if kind == "longreply":  # A record first, then more than 512 bytes
        pad = rr(ptr, TXT, b"\xff" + b"p" * 255) * 3
        return [("self", header(qid, 1, 4) + question + rr(ptr, A, addr) + pad)]
    if kind == "nxdomain":
        return [("self", header(qid, 1, 0, 0x8183) + question)]
    return [("self", header(qid, 1, 1) + question + rr(ptr, A if qtype == A else AAAA, own))]


def note(log, query, server, proto):
    end = query.find(b"\0", 12)
    labels, i = [], 12
    while i < end:
        labels.append(query[i + 1:i + 1 + query[i]].decode("ascii", "replace"))
        i += 1 + query[i]
    qid, qtype = struct.unpack(">HH", query[:2] + query[end + 1:end + 3])
    log.write("%s %d %s %s %s\n" % (server, qid, ".".join(labels), "AAAA" if qtype == AAAA else "A", proto))


def serve_tcp(lst, server, log):
    """Each connection: one query framed by its two-byte length, the answer
    so framed (a broken one for the tcp* names), in a thread of its own."""
    conn = lst.accept()[0]
    threading.Thread(target=serve_tcp, args=(lst, server, log), daemon=True).start()
    with conn:
        query = conn.recv(2 + 512)[2:]
        note(log, query, server, "tcp")
        kind = query[13:13 + query[12]].decode("ascii", "replace")
        data = reply(query, server, tcp=True)[-1][1]
        framed = struct.pack(">H", len(data)) + data
        if kind == "tcpcut":  # the length of a whole answer, half of it
            framed = framed[:len(framed) // 2]
        elif kind == "tcpoversized":  # the most a length can say, then more without end
            framed = b"\xff\xff"
        elif kind == "tcpsilent":
            time.sleep(60)
        try:
            conn.sendall(framed)
            while kind == "tcpoversized":
                conn.sendall(b"x" * 65536)
        except OSError:
            pass


def main():
    log = open(sys.argv[1], "a", buffering=1)
    socks, other_port, names = [], {}, {}
    for addr in sys.argv[2:]:
        family, _, _, _, where = socket.getaddrinfo(addr, 53, proto=socket.IPPROTO_UDP)[0]
        s = socket.socket(family, socket.SOCK_DGRAM)
        s.bind(where)
        socks.append(s)
        names[s] = addr
        other_port[s] = socket.socket(family, socket.SOCK_DGRAM)
        other_port[s].bind(where[:1] + (0,) + where[2:])
        lst = socket.create_server(where, family=family)
        threading.Thread(target=serve_tcp, args=(lst, addr, log), daemon=True).start()
    other_addr = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    other_addr.bind(("127.0.0.9", 53))
    print("ready", flush=True)
    while True:
        for s in select.select(socks, [], [])[0]:
            query, peer = s.recvfrom(512)
            if len(query) < 17:
                continue
            note(log, query, names[s], "udp")
            for via, data in reply(query, names[s]):
                {"self": s, "otherport": other_port[s], "otheraddr": other_addr}[via].sendto(data, peer)


if __name__ == "__main__":
    main()
