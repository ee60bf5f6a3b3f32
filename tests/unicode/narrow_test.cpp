// SPDX-License-Identifier: ISC
#include "unicode/narrow_utf16.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "../support/file_util.h"

using namespace kestrel;

namespace {
const std::string path = "/tmp/fileinfo.txt";

std::string narrowed(const std::string& bytes, int expect = 1) {
    write_file(path, bytes);
    EXPECT_EQ(iconv(path.c_str()), expect);
    return read_file(path);
}

std::string le(const std::string& ascii) {
    std::string s("\xFF\xFE", 2);
    for (char c : ascii) s += std::string{c, '\0'};
    return s;
}

std::string be(const std::string& ascii) {
    std::string s("\xFE\xFF", 2);
    for (char c : ascii) s += std::string{'\0', c};
    return s;
}
}  // namespace

namespace {
// The narrowing's temporary files are named after the file: none may stay.
bool temporary_left() {
    return ::system("ls /tmp | grep -q '^fileinfo.txt.'") == 0;
}
}  // namespace

TEST(Narrow, BothByteOrdersBecomeTheLowBytes) {
    EXPECT_EQ(narrowed(std::string("\xFF\xFE" "H\0i\0\r\0\n\0", 10)), "Hi\r\n");
    EXPECT_EQ(narrowed(std::string("\xFE\xFF\0H\0i", 6)), "Hi");
    EXPECT_EQ(narrowed(le("[Major1]\r\nfile=/x_V1.0\r\n")), "[Major1]\r\nfile=/x_V1.0\r\n");
    EXPECT_EQ(narrowed(be("[Major1]\nmd5=AB\n")), "[Major1]\nmd5=AB\n");
    EXPECT_FALSE(temporary_left());
}

TEST(Narrow, EachChunkChoosesItsParityFromItsFirstByte) {
    EXPECT_EQ(narrowed(std::string("\xFF\xFE\x2D\x4E", 4)), "\x2D");
    EXPECT_EQ(narrowed(std::string("\xFF\xFE\x00\x4E\x41\x00", 6)), "\x4E");

    // The second 4096-byte chunk starts with a zero byte and so takes the odd
    // bytes, although the text is little-endian.
    std::string text = le(std::string(2048, 'a'));
    text += std::string("\0b\0c", 4);
    EXPECT_EQ(narrowed(text), std::string(2048, 'a') + "bc");
}

TEST(Narrow, OddLengthsAndLoneMarks) {
    EXPECT_EQ(narrowed(std::string("\xFF\xFE" "A\0B", 5)), "AB");      // even parity keeps the lone byte
    EXPECT_EQ(narrowed(std::string("\xFE\xFF\0A\0", 5)), "A");         // odd parity drops it
    EXPECT_EQ(narrowed(std::string("\xFF\xFE\0", 3)), "");             // a single zero byte
    EXPECT_EQ(narrowed(std::string("\xFF\xFE", 2)), "");
    EXPECT_EQ(narrowed(std::string("\xFE\xFF", 2)), "");
}

TEST(Narrow, FilesWithoutAMarkAreLeftAlone) {
    EXPECT_EQ(narrowed("[Major1]\nfile=x\n"), "[Major1]\nfile=x\n");
    EXPECT_EQ(narrowed("\xFF"), "\xFF");
    EXPECT_EQ(narrowed(""), "");
    EXPECT_EQ(narrowed(std::string("\xFE\xFE\0A", 4)), std::string("\xFE\xFE\0A", 4));
    EXPECT_EQ(iconv(nullptr), 1);
    remove_file("/tmp/none");
    EXPECT_EQ(iconv("/tmp/none"), 0);
}

TEST(Narrow, TheTemporaryIsMadeBesideTheFileAndByNoOneElse) {
    // Another file system than /tmp: the temporary is beside the file, so the
    // rename works there too; its mode is the file's.
    const std::string other = "/sandbox/fileinfo.txt";
    write_file(other, le("[Major1]\n"));
    ::chmod(other.c_str(), 0640);
    EXPECT_EQ(iconv(other.c_str()), 1);
    EXPECT_EQ(read_file(other), "[Major1]\n");
    struct stat st;
    ASSERT_EQ(::stat(other.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);

    // The old fixed scratch name, planted as a link, is not used.
    write_file("/tmp/victim", "untouched");
    ::symlink("/tmp/victim", "/tmp/xxx-2008");
    EXPECT_EQ(narrowed(le("[Major1]")), "[Major1]");
    EXPECT_EQ(read_file("/tmp/victim"), "untouched");
    ::unlink("/tmp/xxx-2008");

    // The temporary cannot be created (the source tree is read-only here).
    const char* source = std::getenv("KESTREL_SOURCE_DIR");
    ASSERT_NE(source, nullptr);
    const std::string seed = std::string(source) + "/tests/unicode/corpus/narrow/control-utf16le";
    const std::string before = read_file(seed);
    ASSERT_EQ(before.substr(0, 2), "\xFF\xFE");
    EXPECT_EQ(iconv(seed.c_str()), 0);
    EXPECT_EQ(read_file(seed), before);
}

TEST(Narrow, AFailedReplacementKeepsTheOriginalFile) {
    // A write that fails halfway (as on a full /tmp): the file size limit
    // lets 4 of the 8 narrowed bytes through.
    const std::string text = le("[Major1]");
    write_file(path, text);
    EXPECT_EQ(with_file_size_limit(4, [&] { return iconv(path.c_str()); }), 0);
    EXPECT_EQ(read_file(path), text);
    EXPECT_FALSE(temporary_left());
}
