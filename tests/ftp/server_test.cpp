// SPDX-License-Identifier: ISC
// What the drivers of ftp_servers.sh cannot show: the connect wait and the
// reply reader on a live socket, against the servers of run_with_servers.sh.
#include <chrono>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "ftp/control.h"

using namespace kestrel;

namespace {
std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string log_text() { return slurp("/tmp/oru_log.txt"); }

class FtpServers : public ::testing::Test {
  protected:
    void SetUp() override {
        mkdir("/etc/kestrel", 0755);
        std::ofstream("/etc/kestrel/config") << "oru_log=1\n";
        unlink("/tmp/oru_log.txt");
    }
};
}  // namespace

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
