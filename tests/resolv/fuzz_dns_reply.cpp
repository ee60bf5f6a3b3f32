// SPDX-License-Identifier: ISC
// Arbitrary bytes as a reply, through the same matching and header,
// question and answer walk that dns_lookup applies to what it receives:
// as one datagram, and as a TCP stream framed by its two-byte length.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "resolv/dns_message.h"

using namespace kestrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Exactly the bytes received, at most one packet, so any read past them
    // lands outside the allocation.
    const size_t len = size < dns_packet_size ? size : dns_packet_size;
    std::vector<unsigned char> reply(data, data + len);
    const unsigned char* p = reply.empty() ? nullptr : reply.data();
    const int id = len >= 2 ? (reply[0] << 8 | reply[1]) : 0;
    unsigned int address = 0;
    if (p) {
        // Matched against our question, as a received datagram is first.
        unsigned char query[dns_packet_size];
        const int qlen = dns_build_query(query, id, "a.test");
        dns_reply_matches(p, static_cast<int>(len), query, qlen);
        dns_reply_address(p, static_cast<int>(len), id, &address);
        for (size_t off = 0; off < len; off += 7) {
            resolv_answer a{};
            __decode_answer(p, static_cast<int>(off), static_cast<int>(len), &a);
            __length_question(p, static_cast<int>(off), static_cast<int>(len));
        }
    }
    // Read as a TCP answer is, never more than the framing still wants;
    // the message then judged as exactly its bytes.
    std::vector<unsigned char> framed(2 + dns_tcp_max);
    int got = 0;
    for (int want; (want = dns_tcp_wanted(framed.data(), got)) > 0 && static_cast<size_t>(got) < size;) {
        const int n = static_cast<int>(size) - got < want ? static_cast<int>(size) - got : want;
        std::memcpy(framed.data() + got, data + got, static_cast<size_t>(n));
        got += n;
    }
    if (got >= 4 && dns_tcp_wanted(framed.data(), got) == 0) {
        std::vector<unsigned char> message(framed.begin() + 2, framed.begin() + got);
        unsigned char out[4 * 16];
        if (dns_reply_addresses(message.data(), got - 2, message[0] << 8 | message[1], dns_type_aaaa, out, 4) > 4)
            abort();
    }
    return 0;
}
