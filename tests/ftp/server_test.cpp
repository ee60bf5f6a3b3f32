// Retrieval and listing against vsftpd, pyftpdlib and scripted servers
// started by run_with_servers.sh.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "ftp/control.h"
#include <kestrel/ftp.h>

using namespace kestrel;

namespace {
const std::string ftp_root = "/sandbox/ftp";
const char* out_path = "/tmp/ftp_out";

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool exists(const char* path) {
    struct stat st;
    return stat(path, &st) == 0;
}

void set_config(const std::string& text) {
    mkdir("/etc/kestrel", 0755);
    std::ofstream("/etc/kestrel/config") << text;
}

std::string log_text() { return slurp("/tmp/oru_log.txt"); }

// Commands a scripted server received; waits a little for a QUIT that was
// sent without waiting for its reply.
std::vector<std::string> commands(const std::string& addr, bool want_quit = true) {
    std::vector<std::string> lines;
    for (int i = 0; i < 40; ++i) {
        lines.clear();
        std::istringstream in(slurp(ftp_root + "/commands-" + addr + ".txt"));
        for (std::string l; std::getline(in, l);) lines.push_back(l);
        if (!want_quit || (!lines.empty() && lines.back() == "QUIT")) break;
        usleep(50000);
    }
    return lines;
}

void forget_commands(const std::string& addr) { unlink((ftp_root + "/commands-" + addr + ".txt").c_str()); }

std::vector<int> percents;
void record(int pct) { percents.push_back(pct); }

class FtpServers : public ::testing::Test {
  protected:
    void SetUp() override {
        set_config("oru_log=1\n");
        unlink("/tmp/oru_log.txt");
        unlink(out_path);
    }
};

struct server {
    const char* name;
    const char* passive;  // PASV and PORT allowed
    const char* active;   // PASV refused: PORT only
};

class RealServer : public FtpServers, public ::testing::WithParamInterface<server> {};

const std::string data_bin = ftp_root + "/anon/pub/nested/deep/data.bin";
}  // namespace

TEST_P(RealServer, AnonymousNestedDirectoryBothModes) {
    for (const char* addr : {GetParam().passive, GetParam().active}) {
        SCOPED_TRACE(addr);
        unlink(out_path);
        std::string url = std::string("ftp://") + addr + "/pub/nested/deep/data.bin";
        EXPECT_EQ(ftp_transfer(url.c_str(), out_path, nullptr), 1);
        EXPECT_EQ(slurp(out_path), slurp(data_bin));
    }
}

TEST_P(RealServer, UserAndPasswordFromUrl) {
    std::string url = std::string("ftp://kestrel:s3cret@") + GetParam().passive + "/private/secret.txt";
    EXPECT_EQ(ftp_transfer(url.c_str(), out_path, nullptr), 1);
    EXPECT_EQ(slurp(out_path), "only for kestrel\n");

    url = std::string("ftp://kestrel:wrong@") + GetParam().passive + "/private/secret.txt";
    EXPECT_EQ(ftp_transfer(url.c_str(), out_path, nullptr), 0);
    EXPECT_EQ(slurp(out_path), "");
}

TEST_P(RealServer, MissingFileAndDirectory) {
    for (const char* addr : {GetParam().passive, GetParam().active}) {
        SCOPED_TRACE(addr);
        // SIZE answered 550 and RETR refused.
        std::string url = std::string("ftp://") + addr + "/pub/nothing.bin";
        EXPECT_EQ(ftp_transfer(url.c_str(), out_path, nullptr), -1);
        EXPECT_TRUE(exists(out_path));
        EXPECT_EQ(slurp(out_path), "");
        url = std::string("ftp://") + addr + "/nodir/f.bin";
        EXPECT_EQ(ftp_transfer(url.c_str(), out_path, nullptr), 0);
    }
}

TEST_P(RealServer, EmptyFileRootFileCallbackAndDefaultName) {
    std::string url = std::string("ftp://") + GetParam().passive + "/empty.bin";
    EXPECT_EQ(ftp_transfer(url.c_str(), out_path, nullptr), 1);
    EXPECT_TRUE(exists(out_path));
    EXPECT_EQ(slurp(out_path), "");

    percents.clear();
    url = std::string("ftp://") + GetParam().active + "/f.bin";
    EXPECT_EQ(ftp_transfer(url.c_str(), out_path, record), 1);
    EXPECT_EQ(slurp(out_path), slurp(ftp_root + "/anon/f.bin"));
    ASSERT_GE(percents.size(), 3u);
    EXPECT_EQ(percents.front(), 0);
    EXPECT_EQ(percents.back(), 100);

    // Without an output name the remote name is used, relative to the cwd.
    mkdir("/tmp/ftp_cwd", 0755);
    ASSERT_EQ(chdir("/tmp/ftp_cwd"), 0);
    url = std::string("ftp://") + GetParam().passive + "/pub/nested/deep/data.bin";
    EXPECT_EQ(ftp_transfer(url.c_str(), nullptr, nullptr), 1);
    EXPECT_EQ(slurp("/tmp/ftp_cwd/data.bin"), slurp(data_bin));
    ASSERT_EQ(chdir("/"), 0);
}

TEST_P(RealServer, ScanLoginOnly) {
    for (const char* addr : {GetParam().passive, GetParam().active}) {
        SCOPED_TRACE(addr);
        EXPECT_EQ(ftp_scan(addr, "pub/nested", nullptr), 1);
        EXPECT_EQ(ftp_scan(addr, nullptr, nullptr), 1);
        EXPECT_EQ(ftp_scan(addr, "nodir", nullptr), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Ftp, RealServer,
                         ::testing::Values(server{"vsftpd", "127.0.0.2", "127.0.0.4"},
                                           server{"pyftpdlib", "127.0.0.3", "127.0.0.5"}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(FtpServers, ScanListingNeeds125) {
    // pyftpdlib in active mode has the data connection open when LIST comes,
    // so it answers 125.  (In passive mode it races the client's connect.)
    const char* addr = "127.0.0.5";
    EXPECT_EQ(ftp_scan(addr, "/pub/nested/deep", out_path), 1);
    EXPECT_NE(slurp(out_path).find("data.bin"), std::string::npos);
    EXPECT_EQ(ftp_scan(addr, nullptr, out_path), 1);
    EXPECT_NE(slurp(out_path).find("pub"), std::string::npos);
    // The path is sent to both CWD and LIST: a relative one lists a
    // directory that is not there.
    EXPECT_EQ(ftp_scan(addr, "pub/nested", out_path), 0);

    // vsftpd answers LIST with 150: refused, nothing written.
    for (const char* v : {"127.0.0.2", "127.0.0.4"}) {
        SCOPED_TRACE(v);
        EXPECT_EQ(ftp_scan(v, "/pub", out_path), 0);
        EXPECT_TRUE(exists(out_path));
        EXPECT_EQ(slurp(out_path), "");
    }
}

TEST_F(FtpServers, ScriptedListingInPiecesAnd150) {
    forget_commands("127.0.0.19");
    EXPECT_EQ(ftp_scan("127.0.0.19", nullptr, out_path), 1);
    std::string listing = slurp(out_path);
    std::string expect;
    for (const char* name : {"a", "b", "c"}) expect += std::string("-rw-r--r-- 1 0 0 1000 Jan 01 00:00 ") + name + "\r\n";
    EXPECT_EQ(listing, expect);
    auto cmds = commands("127.0.0.19");
    EXPECT_EQ(cmds, (std::vector<std::string>{"USER anonymous", "PASS ", "TYPE I", "PASV", "LIST ", "QUIT"}));

    EXPECT_EQ(ftp_scan("127.0.0.19", nullptr, "/dev/full"), 0);

    forget_commands("127.0.0.18");
    EXPECT_EQ(ftp_scan("127.0.0.18", "dir", out_path), 0);
    EXPECT_EQ(slurp(out_path), "");
    EXPECT_EQ(commands("127.0.0.18").back(), "QUIT");
}

TEST_F(FtpServers, CommandSequenceOfRetrieval) {
    forget_commands("127.0.0.10");
    EXPECT_EQ(ftp_transfer("ftp://127.0.0.10/sw/pkg/fileinfo.txt", out_path, nullptr), 1);
    EXPECT_EQ(slurp(out_path).size(), 1000u);
    EXPECT_EQ(commands("127.0.0.10"),
              (std::vector<std::string>{"USER anonymous", "PASS ", "TYPE I", "CWD sw/pkg", "PASV",
                                        "SIZE fileinfo.txt", "RETR fileinfo.txt", "QUIT"}));

    forget_commands("127.0.0.10");
    EXPECT_EQ(ftp_transfer("ftp://127.0.0.10//abs/f.bin", out_path, nullptr), 1);
    auto cmds = commands("127.0.0.10");
    ASSERT_GE(cmds.size(), 4u);
    EXPECT_EQ(cmds[3], "CWD /abs");

    forget_commands("127.0.0.10");
    EXPECT_EQ(ftp_transfer("ftp://127.0.0.10/f.bin", out_path, nullptr), 1);
    cmds = commands("127.0.0.10");
    ASSERT_GE(cmds.size(), 4u);
    EXPECT_EQ(cmds[3], "PASV");

    forget_commands("127.0.0.10");
    EXPECT_EQ(ftp_transfer("ftp://127.0.0.10/missing/f.bin", out_path, nullptr), 0);
    EXPECT_EQ(commands("127.0.0.10"), (std::vector<std::string>{"USER anonymous", "PASS ", "TYPE I", "CWD missing", "QUIT"}));
}

TEST_F(FtpServers, UserLoggedInAtOnceGetsNoPass) {
    forget_commands("127.0.0.11");
    EXPECT_EQ(ftp_transfer("ftp://joe:pw@127.0.0.11/f.bin", out_path, nullptr), 1);
    auto cmds = commands("127.0.0.11");
    ASSERT_GE(cmds.size(), 2u);
    EXPECT_EQ(cmds[0], "USER joe");
    EXPECT_EQ(cmds[1], "TYPE I");
}

TEST_F(FtpServers, GreetingInTwoReads) {
    EXPECT_EQ(ftp_transfer("ftp://127.0.0.12/f.bin", out_path, nullptr), 1);
    EXPECT_EQ(slurp(out_path).size(), 1000u);
}

TEST_F(FtpServers, SizeRefusedOrUnknown) {
    EXPECT_EQ(ftp_transfer("ftp://127.0.0.13/f.bin", out_path, nullptr), -1);
    EXPECT_EQ(slurp(out_path), "");
    EXPECT_EQ(ftp_transfer("ftp://127.0.0.14/f.bin", out_path, nullptr), 1);
    EXPECT_EQ(slurp(out_path).size(), 1000u);

    // 502 to SIZE: spinner meter, file still retrieved.
    FILE* err = std::tmpfile();
    std::fflush(stderr);
    int saved = dup(2);
    dup2(fileno(err), 2);
    int rc = ftp_transfer("ftp://127.0.0.15/f.bin", out_path, nullptr);
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    std::rewind(err);
    char text[4096] = {};
    size_t n = std::fread(text, 1, sizeof text - 1, err);
    std::fclose(err);
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(slurp(out_path).size(), 1000u);
    std::string shown(text, n);
    EXPECT_NE(shown.find("ftp://127.0.0.15/f.bin (unknown size)\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("\n1000 bytes transferred in "), std::string::npos) << shown;
}

TEST_F(FtpServers, ShortTransferIsAFailureAndLeavesNoFile) {
    EXPECT_EQ(ftp_transfer("ftp://127.0.0.16/f.bin", out_path, nullptr), 0);
    EXPECT_FALSE(exists(out_path));
}

TEST_F(FtpServers, FullDiskEndsTransfer) {
    // Every write to /dev/full fails with ENOSPC.
    EXPECT_EQ(ftp_transfer("ftp://127.0.0.10/f.bin", "/dev/full", nullptr), 0);
    EXPECT_EQ(ftp_transfer("ftp://127.0.0.10/f.bin", out_path, nullptr), 1);
}

TEST_F(FtpServers, ServerThatHangsUpAfterGreeting) {
    EXPECT_EQ(ftp_transfer("ftp://127.0.0.17/f.bin", out_path, nullptr), 0);
    EXPECT_TRUE(exists(out_path));
}

TEST_F(FtpServers, ConfiguredAddressOverridesHostName) {
    set_config("oru_log=1\noru_ftp_ip=127.0.0.10\n");
    EXPECT_EQ(ftp_transfer("ftp://no.such.host/f.bin", out_path, nullptr), 1);
    EXPECT_NE(log_text().find("ftp_connect L#"), std::string::npos);
    EXPECT_NE(log_text().find("Host: no.such.host, Inet: 127.0.0.10\n"), std::string::npos) << log_text();
    EXPECT_EQ(ftp_scan("no.such.host", nullptr, nullptr), 1);
}

TEST_F(FtpServers, UnresolvableHostAndUnwritableOutput) {
    EXPECT_EQ(ftp_transfer("ftp://no.such.host/f.bin", out_path, nullptr), 0);
    EXPECT_TRUE(exists(out_path));
    EXPECT_NE(log_text().find("Can't resovle the host : no.such.host IP!\n"), std::string::npos) << log_text();
    EXPECT_EQ(ftp_scan("no.such.host", nullptr, nullptr), 0);

    unlink("/tmp/oru_log.txt");
    EXPECT_EQ(ftp_transfer("ftp://127.0.0.10/f.bin", "/nonexistent/dir/out", nullptr), 0);
    EXPECT_NE(log_text().find("ftp_transfer L#"), std::string::npos);
    EXPECT_NE(log_text().find("Can't open the output file!\n"), std::string::npos);
    EXPECT_EQ(ftp_scan("127.0.0.10", nullptr, "/nonexistent/dir/out"), 0);
    EXPECT_NE(log_text().find("ftp_scan L#"), std::string::npos);

    // Refused URLs touch nothing.
    unlink(out_path);
    EXPECT_EQ(ftp_transfer("ftp://127.0.0.10/dir/", out_path, nullptr), 0);
    EXPECT_FALSE(exists(out_path));
}

TEST_F(FtpServers, ConnectTimeoutAndRefusal) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ftp_connect("127.0.0.9"), -1);
    double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_NE(log_text().find("connect timeout\n"), std::string::npos) << log_text();
    // The connect wait, not the 60-second socket timeout.
    EXPECT_GE(waited, 4.9);
    EXPECT_LT(waited, 30);

    EXPECT_EQ(ftp_connect("127.0.0.30"), -1);
    int sock = ftp_connect("127.0.0.2");
    ASSERT_GE(sock, 0);
    ftp_carry c{};
    ftp_reply_buf buf;
    char* greeting = get_line(sock, c, buf);
    ASSERT_NE(greeting, nullptr);
    EXPECT_TRUE(check_numeric("220", greeting));
    close(sock);
}
