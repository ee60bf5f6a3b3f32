// SPDX-License-Identifier: ISC
// Byte layouts of the query and the walk over replies.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "resolv/dns_message.h"

using namespace kestrel;

namespace {
using bytes = std::vector<unsigned char>;

bytes query(int id, const char* name) {
    unsigned char packet[dns_packet_size];
    const int n = dns_build_query(packet, id, name);
    if (n < 0) return {};
    return bytes(packet, packet + n);
}

// Header of a reply: flags 81 80 (response, RD, RA) unless given.
bytes reply_header(int id, int qd, int an, int flags = 0x8180) {
    return {static_cast<unsigned char>(id >> 8), static_cast<unsigned char>(id & 0xFF),
            static_cast<unsigned char>(flags >> 8), static_cast<unsigned char>(flags & 0xFF),
            0, static_cast<unsigned char>(qd), 0, static_cast<unsigned char>(an), 0, 0, 0, 0};
}

void append(bytes& b, const bytes& more) { b.insert(b.end(), more.begin(), more.end()); }

// Answer with a compression pointer to the question name.
bytes answer(int type, const bytes& rdata) {
    bytes a = {0xC0, 0x0C, 0, static_cast<unsigned char>(type), 0, 1, 0, 0, 0x0E, 0x10, 0,
               static_cast<unsigned char>(rdata.size())};
    append(a, rdata);
    return a;
}

const bytes question_abc = {1, 'a', 2, 'b', 'c', 0, 0, 1, 0, 1};
const bytes cname_rdata = {3, 'w', 'w', 'w', 0xC0, 0x0C};

bool address_of(const bytes& r, int id, unsigned int* addr) {
    return dns_reply_address(r.data(), static_cast<int>(r.size()), id, addr);
}
}  // namespace

TEST(DnsQuery, LayoutOfAnAQuery) {
    const bytes want = {0x05, 0x22, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,
                        0x00, 0x01, 0x61, 0x02, 0x62, 0x63, 0x00, 0x00, 0x01, 0x00, 0x01};
    EXPECT_EQ(query(1314, "a.bc"), want);
    EXPECT_EQ(query(1315, "a.bc")[1], 0x23);
    const std::string name = "ftp.dl.example.com";
    EXPECT_EQ(query(1314, name.c_str()).size(), name.size() + 18);

    unsigned char dotted[16] = {};
    EXPECT_EQ(__encode_dotted("a.bc", dotted, sizeof dotted), 6);
    EXPECT_EQ(bytes(dotted, dotted + 6), bytes({1, 'a', 2, 'b', 'c', 0}));
}

TEST(DnsQuery, HeaderFieldsGoToTheirBits) {
    resolv_header h{0xBEEF, 1, 2, 1, 0, 1, 1, 3, 1, 2, 3, 4};
    unsigned char wire[12];
    EXPECT_EQ(__encode_header(&h, wire), 12);
    EXPECT_EQ(bytes(wire, wire + 12), bytes({0xBE, 0xEF, 0x95, 0x83, 0, 1, 0, 2, 0, 3, 0, 4}));

    resolv_header back{};
    __decode_header(&back, wire);
    EXPECT_EQ(std::memcmp(&back, &h, sizeof h), 0);

    const unsigned char nx[12] = {0x05, 0x22, 0x85, 0x83, 0xFF, 0xFE, 0x12, 0x34, 0, 0, 0x80, 0};
    __decode_header(&back, nx);
    EXPECT_EQ(back.id, 1314);
    EXPECT_EQ(back.qr, 1);
    EXPECT_EQ(back.opcode, 0);
    EXPECT_EQ(back.aa, 1);
    EXPECT_EQ(back.tc, 0);
    EXPECT_EQ(back.rd, 1);
    EXPECT_EQ(back.ra, 1);
    EXPECT_EQ(back.rcode, 3);
    EXPECT_EQ(back.qdcount, 0xFFFE);
    EXPECT_EQ(back.ancount, 0x1234);
    EXPECT_EQ(back.arcount, 0x8000);
}

TEST(DnsQuery, NamesThatCannotGoOnTheWireAreRefused) {
    const std::string label63(63, 'x');
    EXPECT_EQ(query(1, (label63 + ".com").c_str()).size(), 63 + 4 + 18u);
    EXPECT_TRUE(query(1, (label63 + "y.com").c_str()).empty());
    for (const char* bad : {"", ".", ".a.bc", "a.bc.", "a..bc"})
        EXPECT_TRUE(query(1, bad).empty()) << '"' << bad << '"';

    // 253 characters is the longest name (255 bytes in label form).
    std::string longest;
    while (longest.size() < 253) longest += label63.substr(0, 49) + ".";
    longest.resize(253);
    EXPECT_EQ(query(1, longest.c_str()).size(), 253 + 18u);
    EXPECT_TRUE(query(1, (longest + "z").c_str()).empty());
    EXPECT_TRUE(query(1, std::string(600, 'a').c_str()).empty());

    unsigned char small[6];
    EXPECT_EQ(__encode_dotted("a.bc", small, 6), 6);
    EXPECT_EQ(__encode_dotted("a.bcd", small, 6), -1);
}

TEST(DnsReply, NamesAreSkippedOverLabelsAndPointers) {
    const unsigned char msg[] = {1, 'a', 2, 'b', 'c', 0,       // plain name
                                 0xC0, 0x0C,                   // pointer alone
                                 3, 'w', 'w', 'w', 0xC0, 0x00, // label then pointer
                                 0xC0, 0x0E};                  // pointer to a pointer
    EXPECT_EQ(__length_dotted(msg, 0, sizeof msg), 6);
    EXPECT_EQ(__length_dotted(msg, 6, sizeof msg), 2);
    EXPECT_EQ(__length_dotted(msg, 8, sizeof msg), 6);
    EXPECT_EQ(__length_dotted(msg, 14, sizeof msg), 2);
    EXPECT_EQ(__length_question(msg, 0, sizeof msg), 10);
    EXPECT_EQ(__length_question(msg, 6, sizeof msg), 6);

    // Names and questions that run past the bytes received.
    EXPECT_EQ(__length_dotted(msg, 0, 5), -1);   // no final 0
    EXPECT_EQ(__length_dotted(msg, 8, 13), -1);  // pointer cut in half
    EXPECT_EQ(__length_dotted(msg, 16, 16), -1);
    const unsigned char long_label[] = {0x3F, 'a', 0};
    EXPECT_EQ(__length_dotted(long_label, 0, sizeof long_label), -1);
    EXPECT_EQ(__length_question(msg, 12, sizeof msg), -1);
}

TEST(DnsReply, CnameThenAGivesTheAddress) {
    bytes r = reply_header(1314, 1, 2);
    append(r, question_abc);
    const bytes cname = answer(5, cname_rdata);
    append(r, cname);
    append(r, answer(1, {192, 0, 2, 10}));

    resolv_answer a{};
    EXPECT_EQ(__decode_answer(r.data(), 22, static_cast<int>(r.size()), &a), 2 + 10 + 6);
    EXPECT_EQ(a.atype, 5);
    EXPECT_EQ(a.aclass, 1);
    EXPECT_EQ(a.rdlength, 6);
    EXPECT_EQ(a.rdata, r.data() + 22 + 12);

    unsigned int addr = 0;
    ASSERT_TRUE(address_of(r, 1314, &addr));
    const unsigned char want[4] = {192, 0, 2, 10};
    EXPECT_EQ(std::memcmp(&addr, want, 4), 0);

    // An A record of another class is skipped like any other answer.
    bytes chaos = reply_header(7, 1, 2);
    append(chaos, question_abc);
    bytes a_chaos = answer(1, {10, 0, 0, 1});
    a_chaos[5] = 3;
    append(chaos, a_chaos);
    append(chaos, answer(1, {10, 0, 0, 2}));
    ASSERT_TRUE(address_of(chaos, 7, &addr));
    EXPECT_EQ(reinterpret_cast<unsigned char*>(&addr)[3], 2);
}

TEST(DnsReply, RepliesThatSpendTheAttempt) {
    bytes good = reply_header(1314, 1, 1);
    append(good, question_abc);
    append(good, answer(1, {192, 0, 2, 10}));
    unsigned int addr = 0;
    ASSERT_TRUE(address_of(good, 1314, &addr));

    EXPECT_FALSE(address_of(good, 1315, &addr));                  // another ID
    EXPECT_FALSE(dns_reply_address(good.data(), 11, 1314, &addr));  // short

    bytes query_bit = good;
    query_bit[2] &= 0x7F;
    EXPECT_FALSE(address_of(query_bit, 1314, &addr));
    bytes nxdomain = good;
    nxdomain[3] |= 3;
    EXPECT_FALSE(address_of(nxdomain, 1314, &addr));
    bytes no_answers = good;
    no_answers[7] = 0;
    EXPECT_FALSE(address_of(no_answers, 1314, &addr));

    bytes cname_only = reply_header(1314, 1, 1);
    append(cname_only, question_abc);
    append(cname_only, answer(5, cname_rdata));
    EXPECT_FALSE(address_of(cname_only, 1314, &addr));

    // Counts and lengths that point past the bytes received.
    bytes cname_first = reply_header(1314, 1, 2);
    append(cname_first, question_abc);
    append(cname_first, answer(5, cname_rdata));
    EXPECT_FALSE(address_of(cname_first, 1314, &addr));
    bytes many_questions = good;
    many_questions[5] = 40;
    EXPECT_FALSE(address_of(many_questions, 1314, &addr));
    bytes short_rdata = good;
    short_rdata.resize(short_rdata.size() - 1);
    EXPECT_FALSE(address_of(short_rdata, 1314, &addr));
    bytes rdlength_two = good;
    rdlength_two[rdlength_two.size() - 5] = 2;
    rdlength_two.resize(rdlength_two.size() - 2);
    EXPECT_FALSE(address_of(rdlength_two, 1314, &addr));
}

TEST(DnsReply, OnlyTheAnswerToOurQuestionMatches) {
    const bytes q = query(0xBEEF, "a.bc");
    const int qlen = static_cast<int>(q.size());
    bytes good = reply_header(0xBEEF, 1, 1);
    append(good, question_abc);
    append(good, answer(1, {192, 0, 2, 10}));
    auto matches = [&](const bytes& r) { return dns_reply_matches(r.data(), static_cast<int>(r.size()), q.data(), qlen); };
    EXPECT_TRUE(matches(good));

    bytes upper = good;  // names compare in any case
    upper[13] = 'A';
    upper[16] = 'C';
    EXPECT_TRUE(matches(upper));
    bytes other_id = good;
    other_id[1] ^= 1;
    EXPECT_FALSE(matches(other_id));
    bytes other_name = good;
    other_name[15] = 'x';
    EXPECT_FALSE(matches(other_name));
    bytes other_type = good;
    other_type[19] = 28;
    EXPECT_FALSE(matches(other_type));
    bytes other_class = good;
    other_class[21] = 3;
    EXPECT_FALSE(matches(other_class));
    bytes no_question = good;
    no_question[5] = 0;
    EXPECT_FALSE(matches(no_question));
    // The question's name as a pointer is no name of ours.
    bytes pointer = reply_header(0xBEEF, 1, 1);
    append(pointer, {0xC0, 0x0C, 0, 1, 0, 1});
    append(pointer, answer(1, {192, 0, 2, 10}));
    EXPECT_FALSE(matches(pointer));
    // Cut before the question ends.
    EXPECT_FALSE(dns_reply_matches(good.data(), qlen - 1, q.data(), qlen));
}

TEST(DnsReply, UpToFourAddressesOfTheTypeAsked) {
    // A, an AAAA of 4 bytes (no address), an AAAA, then four more A records.
    bytes r = reply_header(9, 1, 7);
    append(r, question_abc);
    const bytes six(16, 0xfd);
    append(r, answer(1, {192, 0, 2, 1}));
    append(r, answer(28, {1, 2, 3, 4}));
    append(r, answer(28, six));
    for (unsigned char n = 2; n <= 5; ++n) append(r, answer(1, {192, 0, 2, n}));
    unsigned char out[4 * 16] = {};
    const int len = static_cast<int>(r.size());
    ASSERT_EQ(dns_reply_addresses(r.data(), len, 9, dns_type_a, out, 4), 4);
    EXPECT_EQ(out[15], 4);
    ASSERT_EQ(dns_reply_addresses(r.data(), len, 9, dns_type_aaaa, out, 4), 1);
    EXPECT_EQ(bytes(out, out + 16), six);
    // A record past the end ends the walk: those before it count.
    EXPECT_EQ(dns_reply_addresses(r.data(), len - 1, 9, dns_type_a, out, 8), 4);
}
