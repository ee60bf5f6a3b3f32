// SPDX-License-Identifier: ISC
#include <gtest/gtest.h>

#include <string>

#include "../support/file_util.h"
#include "updater/updater.h"

using namespace kestrel;

TEST(Probe, ErrorFileNaming) {
    char buf[64];
    ASSERT_TRUE(ping_error_file("/tmp/rae_ping_result", buf, sizeof buf));
    EXPECT_STREQ(buf, "/tmp/rae_ping_result_error");
    ASSERT_TRUE(ping_error_file("/var/x", buf, sizeof buf));
    EXPECT_STREQ(buf, "/tmp/ping_error");
    ASSERT_TRUE(ping_error_file("/tmpx/y", buf, sizeof buf));
    EXPECT_STREQ(buf, "/tmp/ping_error");
    EXPECT_FALSE(ping_error_file(("/tmp/" + std::string(60, 'a')).c_str(), buf, sizeof buf));
}

TEST(Probe, Decision) {
    EXPECT_EQ(ping_judge("", "PING 127.0.0.3 (127.0.0.3) 56(84) bytes of data."), 1);
    EXPECT_EQ(ping_judge("", ""), 0);
    EXPECT_EQ(ping_judge("ping: connect: Network is unreachable", "PING x"), 0);
    EXPECT_EQ(ping_judge("ping: Unknown host", "PING x"), 0);
    EXPECT_EQ(ping_judge("ping: unknown host", "PING x"), 1);  // case-sensitive phrases
}

TEST(Probe, HostNameWithoutNameServerIsNotPinged) {
    set_config("oru_log=1\n");
    remove_file("/tmp/oru_log.txt");
    remove_file("/tmp/resolv.conf");
    write_file("/tmp/rae_ping_result", "old");
    EXPECT_EQ(kol_ping(4, "www.example.com", "/tmp/rae_ping_result", 0), 0);
    EXPECT_EQ(read_file("/tmp/rae_ping_result"), "\n");
    EXPECT_EQ(read_file("/tmp/rae_ping_result_error"), "Unknown host\n");
    std::string log = read_file("/tmp/oru_log.txt");
    EXPECT_NE(log.find("is_valid_ipaddr L#"), std::string::npos);
    EXPECT_NE(log.find("Invalid IP Address:www.example.com\n"), std::string::npos);
    EXPECT_EQ(log.find("Cannot connect"), std::string::npos);
}

TEST(Probe, LoopbackAddressIsReachableWithTheRealPing) {
    remove_file("/tmp/resolv.conf");  // a dotted address needs no name server
    EXPECT_EQ(kol_ping(1, "127.0.0.1", "/var/probe_out", 0), 1);
    EXPECT_NE(read_file("/var/probe_out").find("PING 127.0.0.1"), std::string::npos);
    EXPECT_TRUE(file_exists("/tmp/ping_error"));
}

TEST(Probe, ValidAddressesAndUpperCasing) {
    set_config("oru_log=1\n");
    remove_file("/tmp/oru_log.txt");
    EXPECT_EQ(is_valid_ipaddr("192.168.1.1"), 1);
    EXPECT_EQ(is_valid_ipaddr("256.1.1.1"), 0);
    EXPECT_EQ(is_valid_ipaddr("1.2.3"), 0);
    EXPECT_EQ(is_valid_ipaddr("0.0.0.0"), 0);
    EXPECT_EQ(is_valid_ipaddr("255.255.255.255"), 0);
    std::string log = read_file("/tmp/oru_log.txt");
    EXPECT_NE(log.find("Invalid IP Address:256.1.1.1\n"), std::string::npos);
    EXPECT_NE(log.find("Invalid IP Address:0.0.0.0\n\n"), std::string::npos);
    EXPECT_EQ(log.find("192.168.1.1"), std::string::npos);

    char text[] = "ab-Cz9\xE4";
    strupr(text);
    EXPECT_STREQ(text, "AB-CZ9\xE4");
}
