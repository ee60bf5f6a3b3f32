// Arbitrary bytes as a reply, through the same matching and header,
// question and answer walk that dns_lookup applies to what it receives.
#include <cstddef>
#include <cstdint>
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
    return 0;
}
