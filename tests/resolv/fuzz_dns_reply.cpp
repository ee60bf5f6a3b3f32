// Arbitrary bytes as a reply, through the same matching and header,
// question and answer walk that dns_lookup applies to what it receives:
// first as one datagram, then as a TCP stream framed by its two-byte
// length, arriving in pieces whose sizes the bytes themselves choose.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "resolv/dns_message.h"

using namespace kestrel;

namespace {
// Matched against our question of either type, as a received reply is.
void judge(const unsigned char* p, int len) {
    const int id = len >= 2 ? (p[0] << 8 | p[1]) : 0;
    unsigned char query[dns_packet_size];
    unsigned char out[4 * 16];
    for (int qtype : {dns_type_a, dns_type_aaaa}) {
        const int qlen = dns_build_query(query, id, "a.test", qtype);
        dns_reply_matches(p, len, query, qlen);
        if (dns_reply_addresses(p, len, id, qtype, out, 4) > 4) abort();
    }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Exactly the bytes received, at most one packet, so any read past them
    // lands outside the allocation.
    const size_t len = size < dns_packet_size ? size : dns_packet_size;
    std::vector<unsigned char> reply(data, data + len);
    const unsigned char* p = reply.empty() ? nullptr : reply.data();
    if (p) {
        judge(p, static_cast<int>(len));
        unsigned int address = 0;
        dns_reply_address(p, static_cast<int>(len), len >= 2 ? (p[0] << 8 | p[1]) : 0, &address);
        for (size_t off = 0; off < len; off += 7) {
            resolv_answer a{};
            __decode_answer(p, static_cast<int>(off), static_cast<int>(len), &a);
            __length_question(p, static_cast<int>(off), static_cast<int>(len));
        }
    }

    // The stream read as dns_lookup reads a TCP answer: never more than the
    // framing still wants, into a buffer of the largest framed answer.
    std::vector<unsigned char> framed(2 + dns_tcp_max);
    size_t pos = 0;
    int got = 0;
    for (int want; (want = dns_tcp_wanted(framed.data(), got)) > 0 && pos < size;) {
        if (got + want > 2 + dns_tcp_max) abort();
        size_t piece = 1 + data[pos] % 61;
        if (piece > static_cast<size_t>(want)) piece = static_cast<size_t>(want);
        if (piece > size - pos) piece = size - pos;
        std::memcpy(framed.data() + got, data + pos, piece);
        got += static_cast<int>(piece);
        pos += piece;
    }
    if (got >= 2 && dns_tcp_wanted(framed.data(), got) == 0) {
        // Exactly the message, so any read past it lands outside.
        std::vector<unsigned char> message(framed.begin() + 2, framed.begin() + got);
        if (!message.empty()) judge(message.data(), static_cast<int>(message.size()));
    }
    return 0;
}
