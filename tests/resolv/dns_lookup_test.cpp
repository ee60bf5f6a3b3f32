// dns_lookup over loopback against the scripted name server: the order of
// servers, the IDs, the server list and what never reaches the wire.
// Runs in the sandbox only: it owns /tmp/resolv.conf and the log.
#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "build_config.h"
#include "resolv/name_servers.h"
#include <kestrel/resolv.h>

using namespace kestrel;

namespace {
void write_file(const char* path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::string read_file(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The scripted name server (dns_scripted_server.py) on the given addresses,
// started with posix_spawn, which works under qemu where threads and fork do
// not.  Names whose first label is "lastok" are answered only on 127.0.0.2
// (refused at once elsewhere); other names get 192.0.2.<server byte>.
struct name_server {
    pid_t pid = -1;
    std::string log_path = "/sandbox/dns-queries.log";

    explicit name_server(std::vector<std::string> addrs) {
        const char* src = std::getenv("KESTREL_SOURCE_DIR");
        const std::string script = std::string(src ? src : ".") + "/tests/resolv/dns_scripted_server.py";
        const std::string ready = "/sandbox/dns-server.out";
        unlink(log_path.c_str());
        unlink(ready.c_str());
        std::vector<std::string> args = {"/usr/bin/python3", script, log_path};
        args.insert(args.end(), addrs.begin(), addrs.end());
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, ready.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        EXPECT_EQ(posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&fa);
        for (int i = 0; i < 100 && read_file(ready.c_str()).find("ready") == std::string::npos; ++i)
            usleep(50 * 1000);
        EXPECT_NE(read_file(ready.c_str()).find("ready"), std::string::npos) << "server did not start";
    }
    ~name_server() {
        if (pid <= 0) return;
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    // IDs of the queries the server at addr has seen, in order.  Each query
    // is logged before it is answered, and the resolver waits for answers.
    std::vector<int> ids(const std::string& addr) const {
        std::vector<int> out;
        std::istringstream in(read_file(log_path.c_str()));
        std::string a, name;
        int id = 0;
        while (in >> a >> id >> name)
            if (a == addr) out.push_back(id);
        return out;
    }
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        std::istringstream in(read_file(log_path.c_str()));
        std::string a, name;
        int id = 0;
        while (in >> a >> id >> name) out.push_back(name);
        return out;
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

// IDs of one lookup: all different, and not a count.
void expect_unguessable(std::vector<int> ids) {
    for (size_t i = 1; i < ids.size(); ++i) EXPECT_NE(ids[i], (ids[i - 1] + 1) & 0xFFFF) << i;
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end()), ids.end());
}

std::vector<int> operator+(std::vector<int> a, const std::vector<int>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
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

TEST_F(DnsLookup, LastServerFirstWithFreshIdsAcrossServers) {
    name_server ns({"127.0.0.2", "127.0.0.3"});
    write_file("/tmp/resolv.conf", "nameserver 127.0.0.2\nnameserver 127.0.0.3\n");

    EXPECT_EQ(resolve_dns("lastok.example.com"), addr("192.0.2.2"));
    ASSERT_EQ(ns.ids("127.0.0.3").size(), 3u);
    ASSERT_EQ(ns.ids("127.0.0.2").size(), 1u);
    const std::vector<int> first = ns.ids("127.0.0.3") + ns.ids("127.0.0.2");
    expect_unguessable(first);
    // The next lookup does not start where this one left off, nor repeat it.
    EXPECT_EQ(resolve_dns("lastok.example.com"), addr("192.0.2.2"));
    const std::vector<int> both = ns.ids("127.0.0.3") + ns.ids("127.0.0.2");
    ASSERT_EQ(both.size(), 8u);
    EXPECT_NE(std::vector<int>(both.begin() + 3, both.begin() + 6), std::vector<int>(first.begin(), first.begin() + 3));
    EXPECT_NE(both[3], (first[3] + 1) & 0xFFFF);

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
    name_server ns({"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5", "127.0.0.6"});
    write_file("/tmp/resolv.conf",
               "nameserver 127.0.0.2\nnameserver 127.0.0.3\nnameserver 127.0.0.4\n"
               "nameserver 127.0.0.5\nnameserver 127.0.0.6\n");
    EXPECT_EQ(resolve_dns("lastok.bc"), addr("192.0.2.2"));
    EXPECT_EQ(ns.ids("127.0.0.4").size(), 3u);
    EXPECT_EQ(ns.ids("127.0.0.3").size(), 3u);
    EXPECT_EQ(ns.ids("127.0.0.2").size(), 1u);
    expect_unguessable(ns.ids("127.0.0.4") + ns.ids("127.0.0.3") + ns.ids("127.0.0.2"));
    EXPECT_TRUE(ns.ids("127.0.0.5").empty());
    EXPECT_TRUE(ns.ids("127.0.0.6").empty());

    // Every attempt spent: 0, and no line beyond the server line.
    write_file("/tmp/resolv.conf", "nameserver 127.0.0.5\n");
    unlink("/tmp/oru_log.txt");
    EXPECT_EQ(resolve_dns("lastok.bc"), 0u);
    EXPECT_EQ(ns.ids("127.0.0.5").size(), 3u);
    EXPECT_EQ(log().find("DNS-LOOKUP dns : 127.0.0.5\n\n"), log().find("DNS-LOOKUP"));
    EXPECT_EQ(log().size(), log().find("\n\n") + 2);
}

TEST_F(DnsLookup, AddressesAreNotLookedUp) {
    name_server ns({"127.0.0.3"});
    write_file("/tmp/resolv.conf", "nameserver 127.0.0.3\n");
    EXPECT_EQ(resolve_dns("192.0.2.10"), addr("192.0.2.10"));
    EXPECT_EQ(resolve_dns("0.0.0.0"), 0u);
    EXPECT_TRUE(ns.names().empty());
    EXPECT_EQ(log(), "");

    // All ones is the parser's failure value: that text is asked for.
    EXPECT_EQ(resolve_dns("255.255.255.255"), addr("192.0.2.3"));
    EXPECT_EQ(ns.names(), std::vector<std::string>({"255.255.255.255"}));
}

TEST_F(DnsLookup, TrailingDotIsTheSameName) {
    name_server ns({"127.0.0.3"});
    write_file("/tmp/resolv.conf", "nameserver 127.0.0.3\n");
    EXPECT_EQ(resolve_dns("a.bc."), addr("192.0.2.3"));
    EXPECT_EQ(ns.names(), std::vector<std::string>({"a.bc"}));
}

TEST_F(DnsLookup, RefusedNamesAndMissingServersSendNothing) {
    name_server ns({"127.0.0.2"});
    write_file("/tmp/resolv.conf", "nameserver 127.0.0.2\n");
    for (const char* bad : {"a..bc", ".a.bc", "a.bc..", "", "."}) EXPECT_EQ(resolve_dns(bad), 0u) << bad;
    EXPECT_EQ(resolve_dns((std::string(64, 'x') + ".com").c_str()), 0u);
    EXPECT_EQ(resolve_dns(std::string(300, 'y').c_str()), 0u);
    EXPECT_TRUE(ns.names().empty());
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
    EXPECT_TRUE(ns.names().empty());
}
