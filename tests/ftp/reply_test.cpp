// SPDX-License-Identifier: ISC
#include <arpa/inet.h>
#include <cstring>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <vector>
#include <chrono>
#include <sys/socket.h>
#include <sys/wait.h>
#include <dirent.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <unistd.h>

#include "ftp/control.h"
#include "ftp/data_conn.h"

using namespace kestrel;

namespace {
int open_fds() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    if (!d) return -1;
    while (readdir(d)) ++n;
    closedir(d);
    return n;
}

struct sock_pair {
    int ours = -1, peer = -1;
    sock_pair() {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        ours = fds[0];
        peer = fds[1];
    }
    ~sock_pair() {
        if (ours >= 0) close(ours);
        if (peer >= 0) close(peer);
    }
    void say(const std::string& s) const { ASSERT_EQ(write(peer, s.data(), s.size()), static_cast<ssize_t>(s.size())); }
    void hang_up() {
        close(peer);
        peer = -1;
    }
    std::string heard() const {
        char buf[4096];
        ssize_t n = recv(peer, buf, sizeof buf, MSG_DONTWAIT);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }
};

// A socketpair keeps the boundaries of separate writes as separate reads
// only if each is read before the next arrives; SOCK_SEQPACKET does.
struct packet_pair : sock_pair {
    packet_pair() {
        close(ours);
        close(peer);
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds), 0);
        ours = fds[0];
        peer = fds[1];
    }
};
}  // namespace

TEST(FtpReply, SingleLineWithCrLfLosesLineEnding) {
    sock_pair s;
    s.say("200 OK\r\n");
    ftp_carry c{};
    ftp_reply_buf buf;
    char* line = get_line(s.ours, c, buf);
    ASSERT_NE(line, nullptr);
    EXPECT_STREQ(line, "200 OK");
    EXPECT_EQ(line, buf);
}

TEST(FtpReply, MultiLineReplyInOneRead) {
    sock_pair s;
    s.say("220-Welcome\r\n220 Ready\r\n");
    ftp_carry c{};
    ftp_reply_buf buf;
    char* line = get_line(s.ours, c, buf);
    ASSERT_NE(line, nullptr);
    EXPECT_STREQ(line, "220 Ready");
}

TEST(FtpReply, MultiLineReplyInTwoReads) {
    packet_pair s;
    s.say("220-Welcome\r\n220-more text\r\n");
    s.say("220 Ready\r\n");
    ftp_carry c{};
    ftp_reply_buf buf;
    char* line = get_line(s.ours, c, buf);
    ASSERT_NE(line, nullptr);
    EXPECT_STREQ(line, "220 Ready");
    EXPECT_EQ(line, buf);
}

TEST(FtpReply, ContinuationWithoutCodeAndFollowingReply) {
    packet_pair s;
    s.say("free text first\r\n");
    s.say("211-Features:\r\n SIZE\r\n211 End\r\n");
    s.say("230 Logged in\r\n");
    ftp_carry c{};
    ftp_reply_buf buf;
    char* line = get_line(s.ours, c, buf);
    ASSERT_NE(line, nullptr);
    EXPECT_STREQ(line, "211 End");
    line = get_line(s.ours, c, buf);
    ASSERT_NE(line, nullptr);
    EXPECT_STREQ(line, "230 Logged in");
}

TEST(FtpReply, UnfinishedReplyAtEndOfStreamGivesNull) {
    ftp_reply_buf buf;
    for (const char* text : {"220", "2", "220-partial\r\n", "220-a\r\n230 other code\r\n"}) {
        SCOPED_TRACE(text);
        sock_pair s;
        s.say(text);
        s.hang_up();
        ftp_carry c{};
        EXPECT_EQ(get_line(s.ours, c, buf), nullptr);
    }
    // A final line whose line ending never came, before the server closed.
    sock_pair s;
    s.say("221 Bye");
    s.hang_up();
    ftp_carry c{};
    char* line = get_line(s.ours, c, buf);
    ASSERT_NE(line, nullptr);
    EXPECT_STREQ(line, "221 Bye");
}

TEST(FtpReply, PreliminaryAndFinalReplyInOneRead) {
    // Two multi-line replies arriving together, as a server sends its 150
    // and, on loopback, its 226 after a small file.
    sock_pair s;
    s.say("150-Accepted data connection\r\n150 4.0 kbytes to download\r\n"
          "226-File successfully transferred\r\n226 0.000 seconds\r\n");
    ftp_carry c{};
    ftp_reply_buf buf;
    char* line = get_line(s.ours, c, buf);
    ASSERT_NE(line, nullptr);
    EXPECT_STREQ(line, "150 4.0 kbytes to download");
    line = get_line_within(s.ours, c, buf, 0);
    ASSERT_NE(line, nullptr);
    EXPECT_STREQ(line, "226 0.000 seconds");
    EXPECT_EQ(c.fill, 0u);
}

TEST(FtpReply, MultiLineReplyEndsOnlyAtItsOwnCode) {
    sock_pair s;
    s.say("230-Welcome\r\n220 is not the end\r\n 230 nor this\r\n230 Logged in\n");
    ftp_carry c{};
    ftp_reply_buf buf;
    char* line = get_line(s.ours, c, buf);
    ASSERT_NE(line, nullptr);
    EXPECT_STREQ(line, "230 Logged in");
}

TEST(FtpReply, TrickledContinuationLinesMeetTheDeadline) {
    // A line every 20 ms for about a second, from a shell (threads and fork
    // are out under qemu-user, posix_spawn is not): each read is quick, the
    // reply never ends, and the bound holds for the whole reply.
    sock_pair s;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, s.peer, 1);
    const char* loop = "i=0; while [ $i -lt 50 ]; do printf '220-still here\\r\\n'; sleep 0.02; i=$((i+1)); done";
    char* argv[] = {const_cast<char*>("/bin/sh"), const_cast<char*>("-c"), const_cast<char*>(loop), nullptr};
    pid_t talker = -1;
    ASSERT_EQ(posix_spawn(&talker, "/bin/sh", &fa, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&fa);
    ftp_carry c{};
    ftp_reply_buf buf;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(get_line_within(s.ours, c, buf, 300), nullptr);
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    kill(talker, SIGTERM);
    waitpid(talker, nullptr, 0);
    EXPECT_GE(took, 0.25);
    EXPECT_LT(took, 0.9);
    // The reply had begun: its lines were coming all along.
    EXPECT_STREQ(c.open_code, "220");
}

TEST(FtpReply, LongReplyStaysInsideBuffer) {
    sock_pair s;
    std::string big(5000, 'x');
    s.say(big);
    s.say("\r\n250 done\r\n");
    s.hang_up();
    ftp_carry c{};
    ftp_reply_buf buf;
    char* line = get_line(s.ours, c, buf);
    ASSERT_NE(line, nullptr);
    EXPECT_STREQ(line, "250 done");
    EXPECT_LT(line, buf + sizeof buf);
}

TEST(FtpReply, CheckNumericComparesThreeCharacters) {
    EXPECT_TRUE(check_numeric("227", "227 Entering"));
    EXPECT_FALSE(check_numeric("227", "228 x"));
    EXPECT_FALSE(check_numeric("227", "22"));
    EXPECT_FALSE(check_numeric("550", ""));
}

TEST(FtpCommand, SendControlWritesExactBytes) {
    sock_pair s;
    EXPECT_EQ(send_control(s.ours, "CWD ", "a/b", "\r\n", nullptr), 1);
    EXPECT_EQ(s.heard(), "CWD a/b\r\n");
    EXPECT_EQ(send_control(s.ours, "PASS ", "", "\r\n", nullptr), 1);
    std::string pass = s.heard();
    EXPECT_EQ(pass.size(), 7u);
    EXPECT_EQ(pass, "PASS \r\n");
    ftp_quit(s.ours);
    EXPECT_EQ(s.heard(), "QUIT\r\n");
}

TEST(FtpCommand, PeerThatHungUpRaisesNoSignal) {
    sock_pair s;
    s.hang_up();
    // A plain write would raise SIGPIPE and end the test binary here.
    EXPECT_EQ(send_control(s.ours, "NOOP\r\n", nullptr), 1);
    EXPECT_EQ(send_control(s.ours, "NOOP\r\n", nullptr), 1);
    ftp_quit(s.ours);
    ftp_carry c{};
    ftp_reply_buf buf;
    EXPECT_EQ(get_line(s.ours, c, buf), nullptr);
}

TEST(FtpCommand, LineThatDoesNotFitIsNotSent) {
    sock_pair s;
    std::string arg(ftp_buf_size - 7, 'a');  // "RETR " + arg + "\r\n" needs 2048 + NUL
    EXPECT_EQ(send_control(s.ours, "RETR ", arg.c_str(), "\r\n", nullptr), 0);
    EXPECT_EQ(s.heard(), "");
    arg.pop_back();  // exactly 2047 characters fit
    EXPECT_EQ(send_control(s.ours, "RETR ", arg.c_str(), "\r\n", nullptr), 1);
    EXPECT_EQ(s.heard().size(), ftp_buf_size - 1);
}

TEST(FtpCommand, LstrcpyCountsCharacters) {
    char dest[8];
    std::memset(dest, 'x', sizeof dest);
    EXPECT_EQ(lstrcpy(dest, "abc"), 3);
    EXPECT_STREQ(dest, "abc");
    EXPECT_EQ(lstrcpy(dest, ""), 0);
    EXPECT_EQ(dest[0], '\0');
}

namespace {
std::string pasv(const char* reply, bool* ok = nullptr) {
    char line[256];
    std::strncpy(line, reply, sizeof line - 1);
    line[sizeof line - 1] = '\0';
    sockaddr_in sa{};
    bool parsed = pasv_address(line, &sa);
    if (ok) *ok = parsed;
    if (!parsed) return "none";
    EXPECT_EQ(sa.sin_family, AF_INET);
    return std::string(inet_ntoa(sa.sin_addr)) + ":" + std::to_string(ntohs(sa.sin_port));
}
}  // namespace

TEST(FtpPasv, AddressAndPort) {
    EXPECT_EQ(pasv("227 Entering Passive Mode (192,168,1,10,3,4)"), "192.168.1.10:772");
    EXPECT_EQ(pasv("227 =10,0,0,1,0,99"), "10.0.0.1:99");
    // A blank after each comma reads as a number 0.
    EXPECT_EQ(pasv("227 (10, 0, 0, 1, 4, 5)"), "10.0.0.0:0");
    EXPECT_EQ(pasv("227 (256,1,2,3,260,511)"), "0.1.2.3:1279");
    EXPECT_EQ(pasv("227 (1,2,3)"), "1.2.3.0:0");
    // An endless number wraps instead of overflowing; its low byte is kept.
    EXPECT_EQ(pasv("227 (9,9,9,9,1,99999999999999999999999)"), "9.9.9.9:511");
    bool ok = true;
    EXPECT_EQ(pasv("227 no numbers here", &ok), "none");
    EXPECT_FALSE(ok);
    EXPECT_EQ(pasv("227", &ok), "none");
}

TEST(FtpPasv, NumericStepsOverOneSeparator) {
    char text[] = "12,,x7";
    char* p = text;
    EXPECT_EQ(numeric(&p), 12);
    EXPECT_EQ(p, text + 3);
    EXPECT_EQ(numeric(&p), 0);  // not a digit: one step on
    EXPECT_EQ(p, text + 4);
    EXPECT_EQ(numeric(&p), 0);
    EXPECT_EQ(numeric(&p), 7);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(numeric(&p), 0);
    EXPECT_EQ(p, nullptr);
}

TEST(FtpPort, CommandText) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = inet_addr("192.168.1.5");
    sa.sin_port = htons(772);
    char line[256];
    ASSERT_TRUE(port_command(line, sizeof line, sa));
    EXPECT_STREQ(line, "PORT 192,168,1,5,3,4\r\n");
    char tiny[8];
    EXPECT_FALSE(port_command(tiny, sizeof tiny, sa));
}

TEST(FtpEpsv, PortOfTheReplyAndTheEprtText) {
    // Reply, then its port, or -1 when it names none.
    const std::pair<const char*, int> rows[] = {
        {"229 Entering Extended Passive Mode (|||6446|)", 6446}, {"229 (!!!21!)", 21}, {"229 (|||65535|)", 65535},
        {"229 (|||65536|)", -1}, {"229 (|||0|)", -1}, {"229 (|||6446)", -1}, {"229 (||6446|)", -1},
        {"229 (1112221)", -1}, {"229 (", -1}, {"229 no port", -1},
    };
    for (const auto& [reply, want] : rows) {
        unsigned short port = 0;
        EXPECT_EQ(epsv_port(reply, &port) ? port : -1, want) << reply;
    }
    sockaddr_in6 sa{};
    inet_pton(AF_INET6, "2001:db8::5", &sa.sin6_addr);
    sa.sin6_port = htons(772);
    char line[256];
    ASSERT_TRUE(eprt_command(line, sizeof line, sa));
    EXPECT_STREQ(line, "EPRT |2|2001:db8::5|772|\r\n");
}

namespace {
// A loopback control connection: ctl is ours, srv the server's end.
struct tcp_pair {
    int ctl = -1, srv = -1;
    tcp_pair() {
        int lst = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sa;
        EXPECT_EQ(bind(lst, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
        EXPECT_EQ(listen(lst, 1), 0);
        getsockname(lst, reinterpret_cast<sockaddr*>(&sa), &len);
        ctl = socket(AF_INET, SOCK_STREAM, 0);
        EXPECT_EQ(connect(ctl, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
        srv = accept(lst, nullptr, nullptr);
        close(lst);
    }
    ~tcp_pair() {
        close(ctl);
        close(srv);
    }
    std::string heard() const {
        char buf[512];
        ssize_t n = recv(srv, buf, sizeof buf, MSG_DONTWAIT);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }
};
}  // namespace

namespace {
// A TCP connection to sa from the loopback address src; a non-blocking one
// is left in progress.
int connect_from(const char* src, const sockaddr_in& sa, bool nonblocking) {
    int fd = socket(AF_INET, SOCK_STREAM | (nonblocking ? SOCK_NONBLOCK : 0), 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = inet_addr(src);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
    int rc = connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    EXPECT_TRUE(rc == 0 || (nonblocking && errno == EINPROGRESS));
    return fd;
}
}  // namespace

TEST(FtpPort, ActiveSocketAcceptsOnlyTheServer) {
    tcp_pair t;
    ftp_carry c{};
    ASSERT_EQ(write(t.srv, "200 PORT ok\r\n", 13), 13);
    int lst = get_sock(t.ctl, c);
    ASSERT_GE(lst, 0);
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    getsockname(lst, reinterpret_cast<sockaddr*>(&sa), &len);
    unsigned port = ntohs(sa.sin_port);
    EXPECT_EQ(t.heard(), "PORT 127,0,0,1," + std::to_string(port >> 8) + "," + std::to_string(port & 0xff) + "\r\n");

    // Another host gets in first and fills the one-connection queue; the
    // server's own connection waits for its SYN to be sent again.  The
    // intruder is hung up on, the server's connection carries the data.
    int intruder = connect_from("127.0.0.2", sa, false);
    int data = connect_from("127.0.0.1", sa, true);
    int conn = accept_data_conn(lst, t.ctl);
    ASSERT_GE(conn, 0);
    char ch = 0;
    EXPECT_EQ(read(intruder, &ch, 1), 0);
    pollfd p{data, POLLOUT, 0};
    EXPECT_EQ(poll(&p, 1, 5000), 1);
    int f = fcntl(data, F_GETFL, 0);
    fcntl(data, F_SETFL, f & ~O_NONBLOCK);
    ASSERT_EQ(write(data, "x", 1), 1);
    EXPECT_EQ(read(conn, &ch, 1), 1);
    EXPECT_EQ(ch, 'x');
    close(intruder);
    close(data);
    close(conn);
}

TEST(FtpPort, RefusedPortClosesSocket) {
    tcp_pair t;
    ftp_carry c{};
    int before = open_fds();
    ASSERT_EQ(write(t.srv, "500 no\r\n", 8), 8);
    EXPECT_EQ(get_sock(t.ctl, c), -1);
    EXPECT_EQ(open_fds(), before);
    // PASV refused: no PORT fallback here, just -1 and nothing opened.
    ASSERT_EQ(write(t.srv, "502 no PASV\r\n", 13), 13);
    t.heard();
    EXPECT_EQ(get_passive_sock(t.ctl, c), -1);
    EXPECT_EQ(t.heard(), "PASV\r\n");
    EXPECT_EQ(open_fds(), before);
}

TEST(FtpPasv, PassiveSocketTakesOnlyThePortOfTheReply) {
    tcp_pair t;
    ftp_carry c{};
    int lst = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    ASSERT_EQ(bind(lst, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ASSERT_EQ(listen(lst, 1), 0);
    getsockname(lst, reinterpret_cast<sockaddr*>(&sa), &len);
    unsigned port = ntohs(sa.sin_port);
    // Nothing listens on 127.0.0.2: the connection goes to the server.
    std::string reply = "227 Entering Passive Mode (127,0,0,2," + std::to_string(port >> 8) + "," +
                        std::to_string(port & 0xff) + ")\r\n";
    ASSERT_EQ(write(t.srv, reply.data(), reply.size()), static_cast<ssize_t>(reply.size()));
    int data = get_passive_sock(t.ctl, c);
    ASSERT_GE(data, 0);
    sockaddr_in peer{};
    len = sizeof peer;
    getpeername(data, reinterpret_cast<sockaddr*>(&peer), &len);
    EXPECT_EQ(peer.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(ntohs(peer.sin_port), port);
    int conn = accept(lst, nullptr, nullptr);
    EXPECT_GE(conn, 0);
    close(conn);
    close(data);
    close(lst);
}

TEST(FtpData, RateRuleNeedsThirtyBytesInEveryThirtySeconds) {
    data_rate r;
    // One byte every two seconds: fails once 30 seconds have passed.
    data_rate_start(r, 1000);
    long long t = 1000;
    bool ok = true;
    while (ok && t < 100000) {
        t += 2000;
        ok = data_rate_ok(r, t, 1);
    }
    EXPECT_FALSE(ok);
    EXPECT_EQ(t, 1000 + 30000);

    // A byte a second holds for ever; 30 bytes at once last 30 seconds.
    data_rate_start(r, 0);
    for (t = 1000; t <= 200000; t += 1000) ASSERT_TRUE(data_rate_ok(r, t, 1)) << t;
    data_rate_start(r, 0);
    EXPECT_TRUE(data_rate_ok(r, 500, 30));
    EXPECT_TRUE(data_rate_ok(r, 30999, 0));
    EXPECT_FALSE(data_rate_ok(r, 31000, 0));
    // Fast data, then silence longer than the whole window.
    data_rate_start(r, 0);
    EXPECT_TRUE(data_rate_ok(r, 10, 1 << 20));
    EXPECT_TRUE(data_rate_ok(r, 20000, 0));
    EXPECT_FALSE(data_rate_ok(r, 100000, 0));
}
