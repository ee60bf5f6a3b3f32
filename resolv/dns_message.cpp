// SPDX-License-Identifier: ISC
#include "resolv/dns_message.h"

#include <cctype>
#include <cstring>

namespace kestrel {

namespace {
constexpr int header_size = 12;
constexpr int max_label = 63;
constexpr int class_in = 1;

void put16(unsigned char* p, int v) {
    p[0] = static_cast<unsigned char>((v >> 8) & 0xFF);
    p[1] = static_cast<unsigned char>(v & 0xFF);
}

int get16(const unsigned char* p) { return (p[0] << 8) | p[1]; }
}  // namespace

int __encode_header(const resolv_header* h, unsigned char* dest) {
    put16(dest, h->id);
    dest[2] = static_cast<unsigned char>(((h->qr & 1) << 7) | ((h->opcode & 0xF) << 3) |
                                         ((h->aa & 1) << 2) | ((h->tc & 1) << 1) | (h->rd & 1));
    dest[3] = static_cast<unsigned char>(((h->ra & 1) << 7) | (h->rcode & 0xF));
    put16(dest + 4, h->qdcount);
    put16(dest + 6, h->ancount);
    put16(dest + 8, h->nscount);
    put16(dest + 10, h->arcount);
    return header_size;
}

int __encode_dotted(const char* dotted, unsigned char* dest, int maxlen) {
    if (!dotted) return -1;
    const int len = static_cast<int>(std::strlen(dotted));
    // Length bytes replace the dots, plus one in front and the final 0.
    if (len + 2 > dns_name_max || len + 2 > maxlen) return -1;
    int out = 0;
    const char* p = dotted;
    for (;;) {
        const char* dot = std::strchr(p, '.');
        const int label = dot ? static_cast<int>(dot - p) : static_cast<int>(std::strlen(p));
        // Leading, trailing or doubled dots make empty labels, which would
        // end the name early on the wire.
        if (label == 0 || label > max_label) return -1;
        dest[out++] = static_cast<unsigned char>(label);
        std::memcpy(dest + out, p, static_cast<size_t>(label));
        out += label;
        if (!dot) break;
        p = dot + 1;
    }
    dest[out++] = 0;
    return out;
}

int __encode_question(const resolv_question* q, unsigned char* dest, int maxlen) {
    const int n = __encode_dotted(q->dotted, dest, maxlen - 4);
    if (n < 0) return -1;
    put16(dest + n, q->qtype);
    put16(dest + n + 2, q->qclass);
    return n + 4;
}

void __decode_header(resolv_header* h, const unsigned char* data) {
    h->id = get16(data);
    h->qr = (data[2] >> 7) & 1;
    h->opcode = (data[2] >> 3) & 0xF;
    h->aa = (data[2] >> 2) & 1;
    h->tc = (data[2] >> 1) & 1;
    h->rd = data[2] & 1;
    h->ra = (data[3] >> 7) & 1;
    h->rcode = data[3] & 0xF;
    h->qdcount = get16(data + 4);
    h->ancount = get16(data + 6);
    h->nscount = get16(data + 8);
    h->arcount = get16(data + 10);
}

int __length_dotted(const unsigned char* data, int offset, int len) {
    if (offset < 0) return -1;
    int pos = offset;
    for (;;) {
        if (pos >= len) return -1;
        const int b = data[pos];
        if (b == 0) return pos + 1 - offset;
        // A pointer ends the name; it is stepped over, never followed, so
        // pointer loops cannot trap the walk.
        if (b >= 0xC0) return pos + 2 <= len ? pos + 2 - offset : -1;
        pos += 1 + b;
    }
}

int __length_question(const unsigned char* message, int offset, int len) {
    const int name = __length_dotted(message, offset, len);
    if (name < 0 || offset + name + 4 > len) return -1;
    return name + 4;
}

int __decode_answer(const unsigned char* message, int offset, int len, resolv_answer* a) {
    const int name = __length_dotted(message, offset, len);
    if (name < 0 || offset + name + 10 > len) return -1;
    const unsigned char* fixed = message + offset + name;
    a->atype = get16(fixed);
    a->aclass = get16(fixed + 2);
    a->rdlength = get16(fixed + 8);
    if (offset + name + 10 + a->rdlength > len) return -1;
    a->rdata = fixed + 10;
    return name + 10 + a->rdlength;
}

int dns_build_query(unsigned char* packet, int id, const char* name, int qtype) {
    std::memset(packet, 0, dns_packet_size);
    resolv_header h{};
    h.id = id & 0xFFFF;
    h.rd = 1;
    h.qdcount = 1;
    const int n = __encode_header(&h, packet);
    const resolv_question q{name, qtype, class_in};
    const int qn = __encode_question(&q, packet + n, dns_packet_size - n);
    if (qn < 0) return -1;
    return n + qn;
}

bool dns_reply_matches(const unsigned char* reply, int len, const unsigned char* query, int qlen) {
    if (len < qlen || qlen < header_size + 5) return false;
    if (reply[0] != query[0] || reply[1] != query[1] || get16(reply + 4) == 0) return false;
    // The name as we wrote it (labels, no pointer); letters in either case.
    const int name_end = qlen - 4;
    for (int i = header_size; i < name_end; ++i)
        if (std::tolower(reply[i]) != std::tolower(query[i])) return false;
    return std::memcmp(reply + name_end, query + name_end, 4) == 0;
}

bool dns_reply_address(const unsigned char* reply, int len, int id, unsigned int* address) {
    if (len > dns_packet_size) len = dns_packet_size;
    return dns_reply_addresses(reply, len, id, dns_type_a, reinterpret_cast<unsigned char*>(address), 1) == 1;
}

int dns_reply_addresses(const unsigned char* reply, int len, int id, int qtype, unsigned char* out, int max) {
    if (len < header_size) return 0;
    resolv_header h{};
    __decode_header(&h, reply);
    if (h.qr == 0 || h.rcode != 0 || h.ancount == 0 || h.id != (id & 0xFFFF)) return 0;

    int pos = header_size;
    for (int i = 0; i < h.qdcount; ++i) {
        const int n = __length_question(reply, pos, len);
        if (n < 0) return 0;
        pos += n;
    }
    const int size = qtype == dns_type_aaaa ? 16 : 4;
    int found = 0;
    for (int i = 0; i < h.ancount && found < max; ++i) {
        resolv_answer a{};
        const int n = __decode_answer(reply, pos, len, &a);
        // A record past the end ends the walk; those before it count, as
        // a reply cut after its first address gives that address.
        if (n < 0) return found;
        if (a.atype == qtype && a.aclass == class_in && (qtype == dns_type_a || a.rdlength == size)) {
            if (a.rdata + size > reply + len) return found;
            std::memcpy(out + found * size, a.rdata, static_cast<size_t>(size));
            ++found;
        }
        pos += n;
    }
    return found;
}

int dns_tcp_wanted(const unsigned char* buf, int got) {
    if (got < 2) return 2 - got;
    return 2 + get16(buf) - got;
}

}  // namespace kestrel
