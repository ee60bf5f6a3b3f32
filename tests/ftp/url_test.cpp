// SPDX-License-Identifier: ISC
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

#include "ftp/url.h"

using namespace kestrel;

namespace {
struct parsed {
    bool ok;
    std::string user, pass, host, path, file;
    bool has_path;
};

parsed parse(const char* url) {
    ftp_url u;
    parsed r{};
    r.ok = url_init(&u, url) != 0;
    if (!r.ok) {
        EXPECT_EQ(u.url_buf, nullptr);
        return r;
    }
    EXPECT_EQ(u.full_url, url);
    r.user = u.username;
    r.pass = u.password;
    r.host = u.host;
    r.has_path = u.path != nullptr;
    if (u.path) r.path = u.path;
    r.file = u.file;
    std::free(u.url_buf);
    return r;
}
}  // namespace

TEST(FtpUrl, PlainUrlIsAnonymousWithDirectoryAndFile) {
    auto r = parse("ftp://server/sw/pkg/fileinfo.txt");
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.user, "anonymous");
    EXPECT_EQ(r.pass, "");
    EXPECT_EQ(r.host, "server");
    EXPECT_EQ(r.path, "sw/pkg");
    EXPECT_EQ(r.file, "fileinfo.txt");
}

TEST(FtpUrl, FileDirectlyAfterHostHasNoPath) {
    auto r = parse("ftp://server/f.bin");
    ASSERT_TRUE(r.ok);
    EXPECT_FALSE(r.has_path);
    EXPECT_EQ(r.file, "f.bin");
}

TEST(FtpUrl, DoubleSlashKeepsAbsolutePath) {
    auto r = parse("ftp://server//abs/f.bin");
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.host, "server");
    EXPECT_EQ(r.path, "/abs");
    EXPECT_EQ(r.file, "f.bin");
}

TEST(FtpUrl, Credentials) {
    auto r = parse("ftp://joe:s3cr:et@host/d/f");
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.user, "joe");
    EXPECT_EQ(r.pass, "s3cr:et");
    EXPECT_EQ(r.host, "host");
    EXPECT_EQ(r.path, "d");

    auto empty = parse("ftp://joe:@host/f");
    ASSERT_TRUE(empty.ok);
    EXPECT_EQ(empty.user, "joe");
    EXPECT_EQ(empty.pass, "");

    auto no_colon = parse("ftp://joe@host/f");
    ASSERT_TRUE(no_colon.ok);
    EXPECT_EQ(no_colon.user, "joe");
    EXPECT_EQ(no_colon.pass, "");
    EXPECT_EQ(no_colon.host, "host");
}

TEST(FtpUrl, AtSignAfterHostSlashBelongsToPath) {
    auto r = parse("ftp://host/a@b/c@d.txt");
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.user, "anonymous");
    EXPECT_EQ(r.host, "host");
    EXPECT_EQ(r.path, "a@b");
    EXPECT_EQ(r.file, "c@d.txt");
}

TEST(FtpUrl, RefusedWithoutFile) {
    EXPECT_FALSE(parse("ftp://server").ok);
    EXPECT_FALSE(parse("ftp://server/").ok);
    EXPECT_FALSE(parse("ftp://server/dir/").ok);
    EXPECT_FALSE(parse("http://server/f").ok);
    EXPECT_FALSE(parse("").ok);
    EXPECT_FALSE(parse("ft").ok);
}

TEST(FtpUrl, NoSchemeAndUpperCaseScheme) {
    auto r = parse("ftpserver/pub/f");
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.host, "ftpserver");
    EXPECT_EQ(r.path, "pub");
    EXPECT_EQ(r.file, "f");

    // Only the lower-case scheme is stripped.
    auto upper = parse("FTP://host/dir/f");
    ASSERT_TRUE(upper.ok);
    EXPECT_EQ(upper.host, "FTP:");
    EXPECT_EQ(upper.path, "/host/dir");
    EXPECT_EQ(upper.file, "f");
}

TEST(FtpUrl, BracketedIpv6HostLosesItsBrackets) {
    auto r = parse("ftp://joe:pw@[2001:db8::1]/sw/pkg/f.bin");
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.user + " " + r.host + " " + r.path + " " + r.file, "joe 2001:db8::1 sw/pkg f.bin");
    EXPECT_FALSE(parse("ftp://[2001:db8::1/f").ok);
    EXPECT_FALSE(parse("ftp://[2001:db8::1]:21/f").ok);
}
