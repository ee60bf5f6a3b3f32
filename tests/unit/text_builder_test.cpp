// SPDX-License-Identifier: ISC
#include "internal/text_builder.h"
#include "internal/shell_command.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "../support/file_util.h"

using namespace kestrel;

TEST(TextBuilder, QuotesAWordSoTheShellReadsItLiterally) {
    char buf[128];
    text_builder b(buf);
    b.raw("printf %s ").quoted("a'b $(touch /tmp/q) `x` \"y\"; z");
    ASSERT_TRUE(b.ok());
    EXPECT_STREQ(buf, "printf %s 'a'\\''b $(touch /tmp/q) `x` \"y\"; z'");

    // The real shell gives back exactly the word, and runs nothing in it.
    std::string cmd = std::string(buf) + " > /tmp/word";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    EXPECT_EQ(read_file("/tmp/word"), "a'b $(touch /tmp/q) `x` \"y\"; z");
    EXPECT_FALSE(file_exists("/tmp/q"));
}

TEST(TextBuilder, ReportsTruncationAndStaysTerminated) {
    char buf[8];
    text_builder b(buf);
    EXPECT_TRUE(b.raw("1234567").ok());
    EXPECT_FALSE(b.raw("8").ok());
    EXPECT_STREQ(buf, "1234567");

    char q[6];
    EXPECT_FALSE(text_builder(q).quoted("abcd").ok());  // needs 6 chars + NUL
    EXPECT_EQ(q[5], '\0');

    char f[6];
    EXPECT_FALSE(text_builder(f).printf("%d", 1234567).ok());
    EXPECT_STREQ(f, "12345");
}

TEST(TextBuilder, BoundedFormatAndCopyTellWhetherTheTextFitted) {
    char buf[4];
    EXPECT_TRUE(bounded_format(buf, sizeof buf, "%s", "abc"));
    EXPECT_FALSE(bounded_format(buf, sizeof buf, "%s", "abcd"));
    EXPECT_STREQ(buf, "abc");
    EXPECT_TRUE(bounded_copy(buf, sizeof buf, ""));
    EXPECT_STREQ(buf, "");
    EXPECT_FALSE(bounded_copy(buf, sizeof buf, "xyzw"));
    EXPECT_STREQ(buf, "xyz");
}

TEST(RunCommand, TellsTheExitStatusAndLogsARefusedLineWithoutItsText) {
    char buf[64];
    text_builder ok(buf);
    ok.raw("exit 3");
    command_result r = run_command(ok);
    EXPECT_TRUE(r.ran);
    EXPECT_EQ(r.status, 3);
    EXPECT_FALSE(r.succeeded());
    EXPECT_TRUE(run_command(text_builder(buf).raw("true")).succeeded());

    set_config("oru_log=1\n");
    remove_file("/tmp/oru_log.txt");
    char small[16];
    text_builder cut(small);
    cut.raw("curl -H ").quoted("Authorization:agent:secret-claim-code").printf(" %d", 12345);
    r = run_command(cut);
    EXPECT_FALSE(r.ran);
    EXPECT_EQ(cut.wanted, 8u + 39u + 6u);
    std::string log = read_file("/tmp/oru_log.txt");
    EXPECT_NE(log.find(" curl command line of 53 characters does not fit in 15, not run\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("secret"), std::string::npos) << log;
    remove_file("/etc/kestrel/config");
}
