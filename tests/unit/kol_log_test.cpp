// SPDX-License-Identifier: ISC
#include "internal/kol_log.h"

#include <gtest/gtest.h>

#include <string>

#include "../support/file_util.h"

namespace {
const std::string log_file = "/tmp/oru_log.txt";

class KolLog : public ::testing::Test {
protected:
    void SetUp() override {
        remove_file(log_file);
        set_config("oru_log=1\n");
    }
};

void log_from_here() { KOL_LOG("Get new version %d", 7); }
}  // namespace

TEST_F(KolLog, WritesOneLineWithFunctionAndSourceLine) {
    log_from_here();
    std::string text = read_file(log_file);
    EXPECT_EQ(text.rfind("DEBUG:   log_from_here L#", 0), 0u) << text;
    EXPECT_NE(text.find(" Get new version 7\n"), std::string::npos) << text;
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(text.find('\n'), text.size() - 1);
}

TEST_F(KolLog, OnlyTheExactValueOneSwitchesLoggingOnAndItIsAskedOnEveryCall) {
    for (const char* off : {"oru_log=0\n", "oru_log=true\n", "oru_log= 1\n", "other=1\n", ""}) {
        set_config(off);
        kol_printf("x");
        EXPECT_FALSE(file_exists(log_file)) << "config: " << off;
    }
    set_config("oru_log=1\n");
    kol_printf("first");
    set_config("oru_log=0\n");
    kol_printf("dropped");
    set_config("oru_log=1\n");
    kol_printf("second");
    EXPECT_EQ(read_file(log_file), "firstsecond");
}

TEST_F(KolLog, CutsAPieceAt1023CharactersAndAppends) {
    write_file(log_file, "earlier run\n");
    std::string long_text(1500, 'x');
    kol_printf("%s", long_text.c_str());
    EXPECT_EQ(read_file(log_file), "earlier run\n" + std::string(1023, 'x'));
}

TEST(CatFile, ReadsTheFirstLineWithoutItsEnding) {
    write_file("/tmp/a", "abc\r\nsecond");
    EXPECT_STREQ(cat_file("/tmp/a"), "abc");
    write_file("/tmp/a", "abc");
    EXPECT_STREQ(cat_file("/tmp/a"), "abc");
    write_file("/tmp/a", "\nabc");
    EXPECT_STREQ(cat_file("/tmp/a"), "");
    write_file("/tmp/a", std::string(600, 'y') + "\n");
    EXPECT_EQ(std::string(cat_file("/tmp/a")), std::string(511, 'y'));
    remove_file("/tmp/missing");
    EXPECT_STREQ(cat_file("/tmp/missing"), "");
}

TEST(CatFile, SharesOneBufferBetweenCalls) {
    write_file("/tmp/one", "first\n");
    write_file("/tmp/two", "second\n");
    const char* p = cat_file("/tmp/one");
    const char* q = cat_file("/tmp/two");
    EXPECT_EQ(p, q);
    EXPECT_STREQ(p, "second");
}

TEST(AutoupSet, ReplacesTheWholeFileWithoutALineEnding) {
    write_file("/tmp/dbg_md5", "a much longer earlier value\n");
    autoup_set("/tmp/dbg_md5", "ABC");
    EXPECT_EQ(read_file("/tmp/dbg_md5"), "ABC");
    autoup_set("/tmp/dbg_md5", "");
    EXPECT_TRUE(file_exists("/tmp/dbg_md5"));
    EXPECT_EQ(read_file("/tmp/dbg_md5"), "");
    autoup_set("/tmp/no/such/dir/file", "x");  // silently dropped
    EXPECT_FALSE(file_exists("/tmp/no/such/dir/file"));
}
