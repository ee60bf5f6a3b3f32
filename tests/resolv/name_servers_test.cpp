// SPDX-License-Identifier: ISC
// read_name_servers on the files a router may have.  Runs in the sandbox
// only: it writes under /tmp.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>

#include "resolv/name_servers.h"

using namespace kestrel;

namespace {
void write_file(const char* path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}
}  // namespace

TEST(NameServerFile, TokensAreKeptAsReadAndOddLinesSkipped) {
    const char* path = "/tmp/ns-test.conf";
    if (access("/sandbox", F_OK) != 0) GTEST_SKIP() << "needs the test sandbox";
    dns_server_list dnsl;
    unlink(path);
    EXPECT_EQ(read_name_servers(path, dnsl), 0);

    write_file(path,
               "# nameserver 10.0.0.9\n"
               "search lan\n"
               "nameserver\n"
               "nameserver \n"
               "nameserver\t10.0.0.8\n"
               "nameserver   10.0.0.1  \n"
               "nameservers 10.0.0.2\n"
               "nameserver 10.0.0.3\n"
               "nameserver 10.0.0.4\n");
    ASSERT_EQ(read_name_servers(path, dnsl), 3);
    EXPECT_STREQ(dnsl[0], "10.0.0.1");
    EXPECT_STREQ(dnsl[1], "10.0.0.2\n");
    EXPECT_STREQ(dnsl[2], "10.0.0.3\n");

    // Buffer and entry limits: a tail piece of a long line is no line, a
    // token of 64 characters does not fit, an address followed by a long
    // run of blanks still counts, the last line may lack its line feed.
    write_file(path,
               std::string(127, '#') + "nameserver 10.0.0.9\n" +
               "nameserver " + std::string(63, '1') + "\n" +
               "nameserver 10.0.0.5" + std::string(200, ' ') + "x\n" +
               "nameserver " + std::string(120, ' ') + "10.0.0.9\n" +
               "nameserver 10.0.0.6");
    ASSERT_EQ(read_name_servers(path, dnsl), 2);
    EXPECT_STREQ(dnsl[0], "10.0.0.5");
    EXPECT_STREQ(dnsl[1], "10.0.0.6");

    write_file(path, "nameserver " + std::string(62, '2') + "\n");
    ASSERT_EQ(read_name_servers(path, dnsl), 1);
    EXPECT_EQ(std::strlen(dnsl[0]), 63u);
}

TEST(NameServerFile, Ipv6AddressesBareBracketedAndWithZones) {
    // Text, then the zone's interface, or -1 when the text is no address.
    const std::pair<const char*, int> rows[] = {
        {"2001:db8::53\n", 0}, {"[2001:db8::53] ", 0}, {"fe80::1%lo", 1}, {"[fe80::1%2]", 2},
        {"fe80::1%no-such-if", -1}, {"fe80::1%", -1}, {"[2001:db8::53", -1}, {"2001:db8::53]", -1},
        {"[2001:db8::53]:21", -1}, {"192.0.2.1", -1},
    };
    for (const auto& [text, zone] : rows) {
        in6_addr a{};
        unsigned scope = 99;
        EXPECT_EQ(ipv6_literal(text, &a, &scope) ? static_cast<int>(scope) : -1, zone) << text;
    }
    resolv_addresses none;
    EXPECT_TRUE(address_literal("::", &none) && none.v6_count == 0);
}
