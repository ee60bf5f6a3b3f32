// SPDX-License-Identifier: ISC
#include <gtest/gtest.h>

#include <string>

#include "../support/file_util.h"
#include "updater/updater.h"

using namespace kestrel;

namespace {
// md5 of "hello\n"
const std::string upper = "B1946AC92492D2347C6235B4D2611184";
const std::string lower = "b1946ac92492d2347c6235b4d2611184";
const std::string payload = "/tmp/dbg-gen.cfg.new";

int check(const std::string& record) {
    write_file(payload, "hello\n");
    write_file("/tmp/dbg_md5", record);
    return check_md5(payload.c_str(), "/tmp/dbg_md5");
}
}  // namespace

TEST(CheckMd5, UpperCaseRecordMatchesAndOnly32CharactersCount) {
    EXPECT_EQ(check(upper), 1);
    EXPECT_EQ(check(upper + "  dbg-gen.cfg\n"), 1);
    EXPECT_EQ(check(lower), 0);
    EXPECT_EQ(check(upper.substr(0, 31)), 0);
    EXPECT_EQ(check("F" + upper.substr(1)), 0);
    EXPECT_FALSE(file_exists(payload + ".md5"));
}

TEST(CheckMd5, MissingPayloadOrRecordNeverVerifies) {
    remove_file("/tmp/dbg_md5");
    write_file(payload, "hello\n");
    EXPECT_EQ(check_md5(payload.c_str(), "/tmp/dbg_md5"), 0);

    remove_file(payload);
    write_file("/tmp/dbg_md5", "");
    EXPECT_EQ(check_md5(payload.c_str(), "/tmp/dbg_md5"), 0);  // empty digest against empty record
    EXPECT_FALSE(file_exists(payload + ".md5"));
}

TEST(CheckMd5, HostileFileNamesAreNotRunAndLongOnesAreRefused) {
    // Markers would land in the working directory.
    ASSERT_EQ(chdir("/tmp"), 0);
    std::string hostile = "/tmp/a';touch pwned;'$(touch pwned2)`touch pwned3`\"x\"";
    write_file(hostile, "hello\n");
    write_file("/tmp/dbg_md5", upper);
    EXPECT_EQ(check_md5(hostile.c_str(), "/tmp/dbg_md5"), 1);
    for (const char* marker : {"/tmp/pwned", "/tmp/pwned2", "/tmp/pwned3"}) EXPECT_FALSE(file_exists(marker));

    std::string long_name = "/tmp/" + std::string(120, 'n');
    write_file(long_name, "hello\n");
    EXPECT_EQ(check_md5(long_name.c_str(), "/tmp/dbg_md5"), 0);
}
