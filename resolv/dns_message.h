// SPDX-License-Identifier: ISC
// DNS message codec of the resolver: the query it sends and the parts of a
// reply it examines.  Every decoder is given the number of bytes received and
// never reads beyond them.
#pragma once

namespace kestrel {

// Largest message the resolver sends or reads over UDP; longer replies are
// cut here.
constexpr int dns_packet_size = 512;
// Largest reply taken over TCP: all that its two-byte length can name.
constexpr int dns_tcp_max = 65535;
constexpr int dns_type_a = 1;
constexpr int dns_type_aaaa = 28;
// Longest name in label form, its final 0 byte included.
constexpr int dns_name_max = 255;

struct resolv_header {
    int id;
    int qr;
    int opcode;
    int aa;
    int tc;
    int rd;
    int ra;
    int rcode;
    int qdcount;
    int ancount;
    int nscount;
    int arcount;
};

struct resolv_question {
    const char* dotted;
    int qtype;
    int qclass;
};

struct resolv_answer {
    int atype;
    int aclass;
    int rdlength;
    const unsigned char* rdata;  // inside the received message
};

// Writes the 12-byte header; returns 12.
int __encode_header(const resolv_header* h, unsigned char* dest);
// Writes the name in label form into at most maxlen bytes; returns L+2, or -1
// when the name has an empty label, a label over 63 characters, is longer
// than a name may be, or does not fit.
int __encode_dotted(const char* dotted, unsigned char* dest, int maxlen);
// Name, QTYPE and QCLASS; returns L+6, or -1 as __encode_dotted.
int __encode_question(const resolv_question* q, unsigned char* dest, int maxlen);
// Fills the record from the first 12 bytes of data.
void __decode_header(resolv_header* h, const unsigned char* data);
// Length of the name at offset (a compression pointer ends it and is not
// followed); -1 when the name reaches past len.
int __length_dotted(const unsigned char* data, int offset, int len);
// Name length plus 4; -1 when the question reaches past len.
int __length_question(const unsigned char* message, int offset, int len);
// Fills the answer at offset; returns name length plus 10 plus RDLENGTH, or
// -1 when the record reaches past len.
int __decode_answer(const unsigned char* message, int offset, int len, resolv_answer* a);

// The query of qtype (A unless given), class IN, for name with the given ID,
// into packet (dns_packet_size bytes); returns its length L+18, or -1 when
// the name cannot be encoded.
int dns_build_query(unsigned char* packet, int id, const char* name, int qtype = dns_type_a);

// True when the len bytes of reply answer the query of qlen bytes: the
// same ID, and the query's question (name in any case, type, class) first.
bool dns_reply_matches(const unsigned char* reply, int len, const unsigned char* query, int qlen);

// Judges one reply of len bytes to the query with the given ID.  True when it
// carries an A record of class IN (its address, network order, in *address);
// false when the attempt is spent: short, not a response, an error code, no
// answers, another ID, no A/IN answer, or names/records past its end.
bool dns_reply_address(const unsigned char* reply, int len, int id, unsigned int* address);

// As dns_reply_address, for replies of any length and either type: the
// addresses (4 bytes for A, 16 for AAAA) of the first max records of qtype
// and class IN, in the order received, into out, up to the first record
// that runs past the end.  Returns how many; 0 when the attempt is spent.
// An AAAA record must be 16 bytes long; an A record's length is not judged,
// but its 4 bytes must have arrived.
int dns_reply_addresses(const unsigned char* reply, int len, int id, int qtype, unsigned char* out, int max);

// Bytes still missing from a reply over TCP of which got bytes arrived in
// buf: its two-byte length first, then the message that length names.  0
// once the whole message is there (at buf + 2).  Reading no more than this
// asks for never reads past the message.
int dns_tcp_wanted(const unsigned char* buf, int got);

}  // namespace kestrel
