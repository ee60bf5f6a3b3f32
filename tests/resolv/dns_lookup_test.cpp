// dns_lookup over loopback against small in-process name servers: the order
// of servers, the IDs, the server list and what never reaches the wire.
// Runs in the sandbox only: it owns /tmp/resolv.conf and the log.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "build_config.h"
#include "resolv/name_servers.h"
#include "resolv/resolv.h"

namespace {
using bytes = std::vector<unsigned char>;

void write_file(const char* path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::string read_file(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A name server on addr:53 that answers every query with an A record of
// 192.0.2.<last byte of addr>, or, when wrong_id is set, with the ID off by one.
struct responder {
    int fd = -1;
    bool wrong_id;
    std::atomic<bool> stop{false};
    std::mutex m;
    std::vector<bytes> queries;
    std::thread thread;
    unsigned char host;

    responder(const char* addr, bool wrong) : wrong_id(wrong) {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(53);
        sa.sin_addr.s_addr = inet_addr(addr);
        host = static_cast<unsigned char>(ntohl(sa.sin_addr.s_addr) & 0xFF);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0) << addr;
        thread = std::thread([this] { serve(); });
    }
    ~responder() {
        finish();
        close(fd);
    }
    void finish() {
        if (!thread.joinable()) return;
        stop = true;
        thread.join();
    }
    // Queries seen so far, once every datagram already sent has been taken.
    std::vector<bytes> seen() {
        finish();
        std::lock_guard<std::mutex> lock(m);
        return queries;
    }
    std::vector<int> ids() {
        std::vector<int> out;
        for (const bytes& q : seen()) out.push_back(q.size() >= 2 ? (q[0] << 8 | q[1]) : -1);
        return out;
    }

    void serve() {
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            // Once stopped, drain what is queued and quit.
            if (poll(&p, 1, stop ? 0 : 20) <= 0) {
                if (stop) return;
                continue;
            }
            unsigned char buf[512];
            sockaddr_in from{};
            socklen_t fl = sizeof from;
            const ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fl);
            if (n < 12) continue;
            {
                std::lock_guard<std::mutex> lock(m);
                queries.emplace_back(buf, buf + n);
            }
            bytes r(buf, buf + n);
            if (wrong_id) r[1] ^= 1;
            r[2] = 0x81;
            r[3] = 0x80;
            r[7] = 1;
            const bytes a = {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 192, 0, 2, host};
            r.insert(r.end(), a.begin(), a.end());
            sendto(fd, r.data(), r.size(), 0, reinterpret_cast<sockaddr*>(&from), fl);
        }
    }
};

class DnsLookup : public testing::Test {
protected:
    void SetUp() override {
        // Fixed paths under /tmp and /etc: only ever inside the sandbox.
        if (access("/sandbox", F_OK) != 0) GTEST_SKIP() << "needs the test sandbox";
        mkdir("/etc/kestrel", 0755);
        write_file(build_config::config_file, "oru_log=1\n");
        unlink("/tmp/oru_log.txt");
        unlink("/tmp/resolv.conf");
    }
    static std::string log() { return read_file("/tmp/oru_log.txt"); }
};

unsigned int addr(const char* dotted) { return inet_addr(dotted); }
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
    // token of 32 characters does not fit, an address followed by a long
    // run of blanks still counts, the last line may lack its line feed.
    write_file(path,
               std::string(127, '#') + "nameserver 10.0.0.9\n" +
               "nameserver " + std::string(31, '1') + "\n" +
               "nameserver 10.0.0.5" + std::string(200, ' ') + "x\n" +
               "nameserver " + std::string(120, ' ') + "10.0.0.9\n" +
               "nameserver 10.0.0.6");
    ASSERT_EQ(read_name_servers(path, dnsl), 2);
    EXPECT_STREQ(dnsl[0], "10.0.0.5");
    EXPECT_STREQ(dnsl[1], "10.0.0.6");

    write_file(path, "nameserver " + std::string(30, '2') + "\n");
    ASSERT_EQ(read_name_servers(path, dnsl), 1);
    EXPECT_EQ(std::strlen(dnsl[0]), 31u);
}

TEST_F(DnsLookup, LastServerFirstWithIdsRaisedAcrossServers) {
    responder first("127.0.0.2", false);
    responder second("127.0.0.3", true);
    write_file("/tmp/resolv.conf", "nameserver 127.0.0.2\nnameserver 127.0.0.3\n");

    EXPECT_EQ(resolve_dns("ftp.example.com"), addr("192.0.2.2"));
    EXPECT_EQ(second.ids(), std::vector<int>({0x0522, 0x0523, 0x0524}));
    EXPECT_EQ(first.ids(), std::vector<int>({0x0525}));
    const bytes q = first.seen().at(0);
    const std::string qname(q.begin() + 12, q.end() - 4);
    EXPECT_EQ(qname, std::string("\3ftp\7example\3com", 17));
    EXPECT_EQ(q.size(), 15 + 18u);

    // The server string is logged as stored, its line feed included.
    const std::string l = log();
    const size_t s3 = l.find(" DNS-LOOKUP dns : 127.0.0.3\n\n");
    const size_t s2 = l.find(" DNS-LOOKUP dns : 127.0.0.2\n\n");
    ASSERT_NE(s3, std::string::npos) << l;
    ASSERT_NE(s2, std::string::npos) << l;
    EXPECT_LT(s3, s2);
    EXPECT_EQ(l.rfind("DEBUG:   dns_lookup L#", s3), 0u);
}

TEST_F(DnsLookup, OnlyTheFirstThreeServersAreAskedThirdFirst) {
    responder s2("127.0.0.2", false), s3("127.0.0.3", true), s4("127.0.0.4", true);
    responder s5("127.0.0.5", false), s6("127.0.0.6", false);
    write_file("/tmp/resolv.conf",
               "nameserver 127.0.0.2\nnameserver 127.0.0.3\nnameserver 127.0.0.4\n"
               "nameserver 127.0.0.5\nnameserver 127.0.0.6\n");
    EXPECT_EQ(resolve_dns("a.bc"), addr("192.0.2.2"));
    EXPECT_EQ(s4.ids(), std::vector<int>({1314, 1315, 1316}));
    EXPECT_EQ(s3.ids(), std::vector<int>({1317, 1318, 1319}));
    EXPECT_EQ(s2.ids(), std::vector<int>({1320}));
    EXPECT_TRUE(s5.seen().empty());
    EXPECT_TRUE(s6.seen().empty());

    // Every attempt spent: 0, and no line beyond the three server lines.
    responder s7("127.0.0.7", true);
    write_file("/tmp/resolv.conf", "nameserver 127.0.0.7\n");
    unlink("/tmp/oru_log.txt");
    EXPECT_EQ(resolve_dns("a.bc"), 0u);
    EXPECT_EQ(s7.ids(), std::vector<int>({1314, 1315, 1316}));
    EXPECT_EQ(log().find("DNS-LOOKUP dns : 127.0.0.7\n\n"), log().find("DNS-LOOKUP"));
    EXPECT_EQ(log().size(), log().find("\n\n") + 2);
}

TEST_F(DnsLookup, AddressesAreNotLookedUp) {
    responder server("127.0.0.2", false);
    write_file("/tmp/resolv.conf", "nameserver 127.0.0.2\n");
    EXPECT_EQ(resolve_dns("192.0.2.10"), addr("192.0.2.10"));
    EXPECT_EQ(resolve_dns("0.0.0.0"), 0u);
    EXPECT_TRUE(server.seen().empty());
    EXPECT_EQ(log(), "");

    // All ones is the parser's failure value: that text is asked for.
    responder other("127.0.0.3", false);
    write_file("/tmp/resolv.conf", "nameserver 127.0.0.3\n");
    EXPECT_EQ(resolve_dns("255.255.255.255"), addr("192.0.2.3"));
    const bytes q = other.seen().at(0);
    EXPECT_EQ(std::string(q.begin() + 12, q.end() - 4), std::string("\3" "255\3" "255\3" "255\3" "255", 17));
}

TEST_F(DnsLookup, RefusedNamesAndMissingServersSendNothing) {
    responder server("127.0.0.2", false);
    write_file("/tmp/resolv.conf", "nameserver 127.0.0.2\n");
    for (const char* bad : {"a..bc", ".a.bc", "a.bc.", ""}) EXPECT_EQ(resolve_dns(bad), 0u) << bad;
    EXPECT_EQ(resolve_dns((std::string(64, 'x') + ".com").c_str()), 0u);
    EXPECT_EQ(resolve_dns(std::string(300, 'y').c_str()), 0u);
    EXPECT_TRUE(server.seen().empty());
    EXPECT_NE(log().find("dns_lookup L#"), std::string::npos);
    EXPECT_EQ(log().find("DNS-LOOKUP dns"), std::string::npos);

    const std::string none = "DNS-LOOKUP: no dns server address in /tmp/resolv.conf\n";
    unlink("/tmp/resolv.conf");
    unlink("/tmp/oru_log.txt");
    EXPECT_EQ(resolve_dns("a.bc"), 0u);
    EXPECT_NE(log().find(none), std::string::npos);
    write_file("/tmp/resolv.conf", "search lan\nnameserver \n");
    unlink("/tmp/oru_log.txt");
    EXPECT_EQ(resolve_dns("a.bc"), 0u);
    EXPECT_EQ(log().substr(0, 22), "DEBUG:   dns_lookup L#");
    EXPECT_NE(log().find(none), std::string::npos);
}
