// SPDX-License-Identifier: ISC
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "../support/file_util.h"
#include "updater/router_state.h"
#include "updater/updater.h"

using namespace kestrel;

namespace {
const std::string digest = "0123456789ABCDEF0123456789ABCDEF";
const char control_file_path[] = "/tmp/ctl";
const char md5_record_path[] = "/tmp/md5rec";
const char recorded_version_temp_path[] = "/tmp/dbg_log_collect/dbg_version.new";

class ControlFile : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* p : {control_file_path, recorded_version_path, recorded_version_temp_path, md5_record_path})
            remove_file(p);
        ::mkdir("/tmp/dbg_log_collect", 0755);
        set_config("oru_log=1\n");
        remove_file("/tmp/oru_log.txt");
    }

    version_text found = "x";

    int parse_ctl_file() {
        control_record rec;
        read_control_record(control_file_path, rec);
        return parse_ctl(rec, md5_record_path, found);
    }

    int parse(const std::string& file_value, const std::string& recorded = "") {
        write_file(control_file_path,
                   "[Major1]\r\nfile=" + file_value + "\r\nmd5=" + digest + "\r\nsize=4096\r\n[Major2]\r\n");
        if (!recorded.empty()) write_file(recorded_version_path, recorded);
        return parse_ctl_file();
    }

    bool logged(const std::string& text) { return read_file("/tmp/oru_log.txt").find(text) != std::string::npos; }
};
}  // namespace

TEST_F(ControlFile, NewerVersionWaitsInMemoryAndMd5IsRecorded) {
    EXPECT_EQ(parse("/images/dbg-gen_V1.0.12", "1.0.9"), 1);
    EXPECT_STREQ(found, "1.0.12");
    EXPECT_EQ(read_file(md5_record_path), digest);
    // The record stays until the install is done.
    EXPECT_EQ(read_file(recorded_version_path), "1.0.9");

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
        EXPECT_STREQ(found, "");
        EXPECT_FALSE(file_exists(md5_record_path));
    }
    EXPECT_TRUE(logged("We have had the newest version"));
    remove_file(recorded_version_path);
    EXPECT_EQ(parse("/images/x_V0.0"), 0);  // nothing recorded, 0.0 is not newer
}

TEST_F(ControlFile, VersionIsTheTextAfterTheFirstUpperCaseV) {
    EXPECT_EQ(parse("dbg V1.2 beta"), 1);
    EXPECT_STREQ(found, "1.2");
    EXPECT_EQ(parse("/a/DeVice_V1.0"), 1);
    EXPECT_STREQ(found, "ice_V1.0");
    EXPECT_EQ(parse("/a/V1.0.12"), -1);
    EXPECT_EQ(parse("/a/dbg-gen_v1.0"), -1);
    EXPECT_EQ(parse("/a/x_V" + std::string(40, '1')), -1);  // too long to record
    EXPECT_TRUE(logged("status ctlfile fail!"));
}

TEST_F(ControlFile, MissingFileSectionOrValueGivesMinusOne) {
    EXPECT_EQ(parse_ctl_file(), -1);
    write_file(control_file_path, "[Major2]\nfile=/x_V1.0\n");
    EXPECT_EQ(parse_ctl_file(), -1);
    write_file(control_file_path, "[Major1]\nmd5=AA\n");
    EXPECT_EQ(parse_ctl_file(), -1);
    EXPECT_FALSE(file_exists(md5_record_path));
}

TEST_F(ControlFile, OverlongFileValueIsRefusedNotCut) {
    // Cut at 127 characters it would publish 1.2.3 and record that for ever.
    const std::string value = "/" + std::string(110, 'p') + "/dbg-gen_V1.2.3456789";
    ASSERT_EQ(value.size(), 132u);
    EXPECT_EQ(parse(value, "1.0"), -1);
    EXPECT_STREQ(found, "");
    EXPECT_FALSE(file_exists(md5_record_path));
    EXPECT_TRUE(logged("file value over 127 characters"));
    EXPECT_TRUE(logged("status ctlfile fail!"));
    // 127 characters still fit.
    EXPECT_EQ(parse(value.substr(0, 119) + "V1.2.3.4", "1.0"), 1);
    EXPECT_STREQ(found, "1.2.3.4");
}

TEST_F(ControlFile, OverlongRecordedVersionCountsAsNone) {
    // Cut to 31 characters this record would read as 9.0..., newer than
    // anything published: the device would never update again.
    const std::string recorded = "9" + std::string(40, '0');
    EXPECT_EQ(parse("/images/dbg-gen_V1.0", recorded), 1);
    EXPECT_STREQ(found, "1.0");
    EXPECT_TRUE(logged("recorded version over 31 characters, taken as none"));
    // 31 characters are read whole.
    EXPECT_EQ(parse("/images/dbg-gen_V1.0", "9" + std::string(30, '0')), 0);
}

TEST_F(ControlFile, ARecordOrDirectoryOfAnotherUserIsNeverTrusted) {
    // Another user's record reads as none, so the published version installs
    // and a record of ours replaces it.
    write_file(recorded_version_path, "999.0");
    ASSERT_EQ(::chown(recorded_version_path, 65534, 65534), 0);
    EXPECT_EQ(parse("/images/dbg-gen_V1.0"), 1);
    EXPECT_TRUE(logged(std::string(recorded_version_path) + " is not ours, taken as none"));
    ASSERT_TRUE(record_version("1.0"));
    struct stat st;
    ASSERT_EQ(::lstat(recorded_version_path, &st), 0);
    EXPECT_EQ(st.st_uid, 0u);

    // A directory made by another user, or a link, is moved aside and made
    // afresh; ours stays.
    for (int planted = 0; planted < 3; ++planted) {
        ::system("rm -rf /tmp/dbg_log_collect /tmp/elsewhere");
        ::mkdir("/tmp/elsewhere", 0777);
        int rc = planted == 0   ? ::symlink("/tmp/elsewhere", "/tmp/dbg_log_collect")
                 : planted == 1 ? ::mkdir("/tmp/dbg_log_collect", 0777) | ::chown("/tmp/dbg_log_collect", 65534, 0)
                                : ::mkdir("/tmp/dbg_log_collect", 0755);
        ASSERT_EQ(rc, 0) << planted;
        ASSERT_TRUE(record_dir_ready()) << planted;
        ASSERT_EQ(::lstat("/tmp/dbg_log_collect", &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode) && st.st_uid == 0 && (st.st_mode & 0777) == 0755) << planted;
    }
    EXPECT_TRUE(logged("/tmp/dbg_log_collect was not ours (owner 65534), moved aside"));
}

TEST_F(ControlFile, VersionIsRecordedByRename) {
    ASSERT_TRUE(record_version("1.0.12"));
    EXPECT_EQ(read_file(recorded_version_path), "1.0.12");
    ASSERT_TRUE(record_version("1.1"));
    EXPECT_EQ(read_file(recorded_version_path), "1.1");
    EXPECT_FALSE(file_exists(recorded_version_temp_path));
}

TEST_F(ControlFile, AFailedRecordLeavesTheOldOneWhole) {
    write_file(recorded_version_path, "1.0.9");

    // A write that fails after the file was opened (rewriting in place would
    // already have emptied the record by then).
    bool recorded = with_file_size_limit(0, [] { return record_version("1.0.12"); });
    EXPECT_FALSE(recorded);
    EXPECT_EQ(read_file(recorded_version_path), "1.0.9");
    EXPECT_FALSE(file_exists(recorded_version_temp_path));

    // The temporary file cannot be created.
    ASSERT_EQ(::mkdir(recorded_version_temp_path, 0755), 0);
    EXPECT_FALSE(record_version("1.0.12"));
    EXPECT_EQ(read_file(recorded_version_path), "1.0.9");
    EXPECT_TRUE(logged("cannot write /tmp/dbg_log_collect/dbg_version"));
    ::rmdir(recorded_version_temp_path);
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

// The [Release] section: only after the tag's section, only the first, and
// only whole lines "key=value" count.
TEST(ReadControlRecord, ReleaseSection) {
    struct {
        const char* text;
        bool has;
        const char* module;
        const char* path;
        const char* rollout;
    } rows[] = {
        {"[Major1]\nfile=x_V1\n[Release]\r\nmodule=abc\r\npath=/p/abc/\r\nrollout=10\r\n", true, "abc", "/p/abc/", "10"},
        {"[Major1]\nfile=x_V1\n[Major2]\nmodule=no\n[Release]\nmodule=abc\n[Release]\nmodule=x\n", true, "abc", "", ""},
        {"[Release]\nmodule=abc\n[Major1]\nfile=x_V1\n", false, "", "", ""},
        {"[Major1]\nfile=x_V1\n[Release] \nmodule=abc\n", false, "", "", ""},
        {"[Major1]\nfile=x_V1\n[Release]\n module=abc\nmodules=x\npath =/y/\nmodule=\n", true, "", "", ""},
        {"[Major1]\nfile=x_V1\n[Release]\nmodule=abc\n[Other]\npath=/late/\n", true, "abc", "", ""},
    };
    for (const auto& row : rows) {
        write_file("/tmp/ctl", row.text);
        control_record rec;
        read_control_record("/tmp/ctl", rec);
        EXPECT_EQ(rec.has_release, row.has) << row.text;
        EXPECT_STREQ(rec.module, row.module) << row.text;
        EXPECT_STREQ(rec.path, row.path) << row.text;
        EXPECT_STREQ(rec.rollout, row.rollout) << row.text;
        EXPECT_FALSE(rec.release_cut) << row.text;
        EXPECT_STREQ(rec.file, "x_V1") << row.text;
    }
    // A value that does not fit is left empty and marked, never cut.
    write_file("/tmp/ctl", "[Major1]\nfile=x_V1\n[Release]\nmodule=" + std::string(16, 'm') + "\npath=/p/\n");
    control_record rec;
    read_control_record("/tmp/ctl", rec);
    EXPECT_TRUE(rec.release_cut);
    EXPECT_STREQ(rec.module, "");
    EXPECT_STREQ(rec.path, "/p/");
}

TEST(ParseFileinfo, OverlongValuesNeverOverflow) {
    std::string big(2000, 'Z');
    write_file("/tmp/ctl", "[Major1]\nfile=" + big + "\nmd5=" + big + "\n");
    ctl_value file, md5, size;
    parse_fileinfo("/tmp/ctl", "Major1", file, md5, size);
    EXPECT_STREQ(file, "");  // refused: the version is read from it
    // The 512-byte reads split the long line; later pieces hold no key word.
    EXPECT_EQ(std::string(md5), std::string(127, 'Z'));
    EXPECT_STREQ(size, "");
}
