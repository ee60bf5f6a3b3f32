#include <gtest/gtest.h>

#include <string>

#include "../support/file_util.h"
#include "updater/updater.h"

using namespace kestrel;

namespace {
const std::string digest = "0123456789ABCDEF0123456789ABCDEF";

class ControlFile : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* p : {control_file_path, recorded_version_path, pending_version_path, md5_record_path})
            remove_file(p);
        ::mkdir("/tmp/dbg_log_collect", 0755);
        set_config("oru_log=1\n");
        remove_file("/tmp/oru_log.txt");
    }

    int parse(const std::string& file_value, const std::string& recorded = "") {
        write_file(control_file_path,
                   "[Major1]\r\nfile=" + file_value + "\r\nmd5=" + digest + "\r\nsize=4096\r\n[Major2]\r\n");
        if (!recorded.empty()) write_file(recorded_version_path, recorded);
        return parse_ctl();
    }
};
}  // namespace

TEST_F(ControlFile, NewerVersionRecordsPendingVersionAndMd5) {
    EXPECT_EQ(parse("/images/dbg-gen_V1.0.12", "1.0.9"), 1);
    EXPECT_EQ(read_file(pending_version_path), "1.0.12");
    EXPECT_EQ(read_file(md5_record_path), digest);
    // The recorded version moves only once the payload is installed.
    EXPECT_EQ(read_file(recorded_version_path), "1.0.9");
    record_installed_version();
    EXPECT_EQ(read_file(recorded_version_path), "1.0.12");

    std::string log = read_file("/tmp/oru_log.txt");
    EXPECT_NE(log.find("\n---------------------------------------------\n      firmware:\n      ver =1.0.12\n"
                       "      file=dbg-gen_V1.0.12\n      md5 =" + digest + "\n      size=4096\n"
                       "---------------------------------------------\n\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find(" Get new version\n"), std::string::npos);
}

TEST_F(ControlFile, SameOrOlderVersionIsNotNewer) {
    for (const char* recorded : {"1.0.12", "1.0.13", "1.1"}) {
        EXPECT_EQ(parse("/images/dbg-gen_V1.0.12", recorded), 0) << recorded;
        EXPECT_FALSE(file_exists(md5_record_path));
        EXPECT_FALSE(file_exists(pending_version_path));
    }
    EXPECT_NE(read_file("/tmp/oru_log.txt").find("We have had the newest version"), std::string::npos);
    EXPECT_EQ(parse("/images/x_V0.0"), 0);  // nothing recorded, 0.0 is not newer
}

TEST_F(ControlFile, VersionIsTheTextAfterTheFirstUpperCaseV) {
    EXPECT_EQ(parse("dbg V1.2 beta"), 1);
    EXPECT_EQ(read_file(pending_version_path), "1.2");
    EXPECT_EQ(parse("/a/DeVice_V1.0"), 1);
    EXPECT_EQ(read_file(pending_version_path), "ice_V1.0");
    EXPECT_EQ(parse("/a/V1.0.12"), -1);
    EXPECT_EQ(parse("/a/dbg-gen_v1.0"), -1);
    EXPECT_EQ(parse("/a/x_V" + std::string(40, '1')), -1);  // too long to record
    EXPECT_NE(read_file("/tmp/oru_log.txt").find("status ctlfile fail!"), std::string::npos);
}

TEST_F(ControlFile, MissingFileSectionOrValueGivesMinusOne) {
    EXPECT_EQ(parse_ctl(), -1);
    write_file(control_file_path, "[Major2]\nfile=/x_V1.0\n");
    EXPECT_EQ(parse_ctl(), -1);
    write_file(control_file_path, "[Major1]\nmd5=AA\n");
    EXPECT_EQ(parse_ctl(), -1);
    EXPECT_FALSE(file_exists(md5_record_path));
}

TEST(ParseFileinfo, TagSubstringKeyOrderBlanksAndSectionEnd) {
    write_file("/tmp/ctl",
               "junk\n"
               "[Major10]\n"          // substring of the tag test
               "filesize=10\n"        // "file" wins over "size"
               "md5 =  \tABC  \n"     // blanks after '=' skipped, trailing kept
               "md5 without equals\n" // keeps the value
               "size=1\n"
               "size=2\n"             // a later line replaces
               "[Major2]\n"
               "file=/after/section\n");
    ctl_value file, md5, size;
    parse_fileinfo("/tmp/ctl", "Major1", file, md5, size);
    EXPECT_STREQ(file, "10");
    EXPECT_STREQ(md5, "ABC  ");
    EXPECT_STREQ(size, "2");
}

TEST(ParseFileinfo, OverlongValuesAreCutNeverOverflowed) {
    std::string big(2000, 'Z');
    write_file("/tmp/ctl", "[Major1]\nfile=" + big + "\nmd5=" + big + "\n");
    ctl_value file, md5, size;
    parse_fileinfo("/tmp/ctl", "Major1", file, md5, size);
    EXPECT_EQ(std::string(file), std::string(127, 'Z'));
    // The 512-byte reads split the long line; later pieces hold no key word.
    EXPECT_EQ(std::string(md5), std::string(127, 'Z'));
    EXPECT_STREQ(size, "");
}
