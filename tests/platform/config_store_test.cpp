// SPDX-License-Identifier: ISC
#include <kestrel/config.h>

#include <gtest/gtest.h>

#include <string>

#include "../support/file_util.h"

TEST(ConfigStore, ReadsKeyValueLinesLastOneWinning) {
    set_config(
        "# comment=ignored\n"
        "\n"
        "no equals sign\n"
        "dbg_ftp_path=first\n"
        "dbg_file_path= /with/blank \n"
        "dbg_ftp_path=second\r\n"
        "eq=a=b\n"
        "oru_log=1");  // last line without a line end
    EXPECT_STREQ(config_get("dbg_ftp_path"), "second");
    EXPECT_STREQ(config_get("dbg_file_path"), " /with/blank ");
    EXPECT_STREQ(config_get("eq"), "a=b");
    EXPECT_STREQ(config_get("oru_log"), "1");
    EXPECT_STREQ(config_get("# comment"), "");
    EXPECT_TRUE(config_match("oru_log", "1"));
    EXPECT_FALSE(config_match("dbg_file_path", "/with/blank"));
}

TEST(ConfigStore, UnsetKeysAndAMissingFileMatchTheEmptyString) {
    set_config("dbg=x\nempty=\n");
    EXPECT_TRUE(config_match("unset", ""));
    EXPECT_TRUE(config_match("empty", ""));
    EXPECT_FALSE(config_match("dbg", ""));
    EXPECT_STREQ(config_get("unset"), "");
    EXPECT_FALSE(config_match("db", "x"));  // key is the whole text before '='

    remove_file("/etc/kestrel/config");
    EXPECT_TRUE(config_match("dbg", ""));
    EXPECT_STREQ(config_get("dbg"), "");
}

TEST(ConfigStore, ReadsAfreshOnEveryCall) {
    set_config("k=1\n");
    EXPECT_TRUE(config_match("k", "1"));
    set_config("k=2\n");
    EXPECT_TRUE(config_match("k", "2"));
}

TEST(ConfigStore, AnOverlongLineDoesNotLeakIntoTheNextKey) {
    // The tail of a long line must not be read as a line of its own.
    set_config("junk=" + std::string(3000, 'a') + "oru_log=1\nreal=yes\n");
    EXPECT_TRUE(config_match("oru_log", ""));
    EXPECT_STREQ(config_get("real"), "yes");
}
