#include "unit/text_builder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "../support/file_util.h"

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
