#include "unicode/narrow_utf16.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

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

TEST(Narrow, BothByteOrdersBecomeTheLowBytes) {
    EXPECT_EQ(narrowed(std::string("\xFF\xFE" "H\0i\0\r\0\n\0", 10)), "Hi\r\n");
    EXPECT_EQ(narrowed(std::string("\xFE\xFF\0H\0i", 6)), "Hi");
    EXPECT_EQ(narrowed(le("[Major1]\r\nfile=/x_V1.0\r\n")), "[Major1]\r\nfile=/x_V1.0\r\n");
    EXPECT_EQ(narrowed(be("[Major1]\nmd5=AB\n")), "[Major1]\nmd5=AB\n");
    EXPECT_FALSE(file_exists(narrow_temp_path));
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

TEST(Narrow, AFailedReplacementKeepsTheOriginalFile) {
    // /sandbox is another file system: the rename cannot succeed.
    const std::string other = "/sandbox/fileinfo.txt";
    const std::string original = le("[Major1]\n");
    write_file(other, original);
    EXPECT_EQ(iconv(other.c_str()), 0);
    EXPECT_EQ(read_file(other), original);
    EXPECT_FALSE(file_exists(narrow_temp_path));

    // The temporary file cannot be created.
    ::mkdir(narrow_temp_path, 0755);
    EXPECT_EQ(narrowed(original, 0), original);
    ::rmdir(narrow_temp_path);

    // A write that fails halfway (as on a full /tmp): the file size limit
    // lets 4 of the 8 narrowed bytes through.
    const std::string text = le("[Major1]");
    write_file(path, text);
    EXPECT_EQ(with_file_size_limit(4, [&] { return iconv(path.c_str()); }), 0);
    EXPECT_EQ(read_file(path), text);
    EXPECT_FALSE(file_exists(narrow_temp_path));
}
