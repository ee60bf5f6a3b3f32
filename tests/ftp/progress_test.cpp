// SPDX-License-Identifier: ISC
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "ftp/progress.h"
#include "ftp/url.h"

using namespace kestrel;

namespace {
// Sends stderr into a temporary file for the life of the object.
struct stderr_capture {
    FILE* file = std::tmpfile();
    int saved = dup(2);
    stderr_capture() {
        std::fflush(stderr);
        dup2(fileno(file), 2);
    }
    std::string text() { return text_from(0); }
    // What was written from byte offset on; reading to the end leaves the
    // shared offset where stderr goes on writing.
    std::string text_from(size_t offset) {
        std::fflush(stderr);
        std::string out;
        std::fseek(file, static_cast<long>(offset), SEEK_SET);
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, file)) > 0) out.append(buf, n);
        return out;
    }
    ~stderr_capture() {
        std::fflush(stderr);
        dup2(saved, 2);
        close(saved);
        std::fclose(file);
    }
};

ftp_url url_for(const char* full, char* file) {
    ftp_url u{};
    u.full_url = full;
    u.file = file;
    return u;
}

std::vector<int> calls;
void record(int pct) { calls.push_back(pct); }

const std::string name25 = "file.bin                 [";  // name left-aligned in 25 columns
}  // namespace

TEST(FtpProgress, BarModeExactText) {
    char file[] = "file.bin";
    ftp_url u = url_for("ftp://h/d/file.bin", file);
    ftp_progress p;
    stderr_capture cap;
    progress_init(&p, &u, 100, nullptr);
    EXPECT_EQ(cap.text(), "ftp://h/d/file.bin (0K)\n" + name25 + std::string(25, ' ') + "]       0K");
    EXPECT_EQ(p.max_hashes, 25);
    progress_draw(&p, 50, nullptr, 2.0);
    EXPECT_EQ(cap.text(), "ftp://h/d/file.bin (0K)\n" + name25 + std::string(25, ' ') + "]       0K" + "\r" + name25 +
                              std::string(12, '#') + std::string(13, ' ') + "]       0K |    0.02K/s");
    progress_summary(&p, 0.5);
    EXPECT_TRUE(cap.text().ends_with("K/s\n50 bytes transferred in 0.50 sec (0.10k/sec)\n")) << cap.text();
}

TEST(FtpProgress, LargeSizeShowsKilobytesAndRate) {
    char file[] = "big.img";
    ftp_url u = url_for("ftp://h/big.img", file);
    ftp_progress p;
    stderr_capture cap;
    progress_init(&p, &u, 10 * 1024 * 1024, nullptr);
    progress_draw(&p, 5 * 1024 * 1024, nullptr, 4.0);
    std::string t = cap.text();
    EXPECT_TRUE(t.starts_with("ftp://h/big.img (10240K)\n")) << t;
    EXPECT_TRUE(t.ends_with("[############             ]    5120K | 1280.00K/s")) << t;
    // Zero elapsed time shows a zero rate.
    progress_draw(&p, 0, nullptr, 0.0);
    EXPECT_TRUE(cap.text().ends_with("]    5120K |    0.00K/s"));
}

TEST(FtpProgress, SpinnerModeCyclesAndClosesInLessThanASecond) {
    char file[] = "file.bin";
    ftp_url u = url_for("ftp://h/file.bin", file);
    ftp_progress p;
    stderr_capture cap;
    calls.clear();
    progress_init(&p, &u, 0, record);
    std::string expect = "ftp://h/file.bin (unknown size)\n" + name25 + "+]       0K";
    EXPECT_EQ(cap.text(), expect);
    const char frames[] = "-\\|/-";
    for (int i = 0; i < 5; ++i) {
        progress_draw(&p, 1024, record, 1.0);
        expect += "\r" + name25 + frames[i] + "] " + std::string(6, ' ') + std::to_string(i + 1) + "K";
    }
    EXPECT_EQ(cap.text(), expect);
    progress_summary(&p, 0.0);
    EXPECT_EQ(cap.text(), expect + "\n5120 bytes transferred in less than a second\n");
    progress_fini(&p, record);
    // No size: the callback hears only the final 100.
    EXPECT_EQ(calls, std::vector<int>{100});
}

TEST(FtpProgress, LongNameCutAt24Characters) {
    char file[] = "abcdefghijklmnopqrstuvwxyz0123";
    ftp_url u = url_for("ftp://h/x", file);
    ftp_progress p;
    stderr_capture cap;
    progress_init(&p, &u, 2048, nullptr);
    EXPECT_EQ(cap.text(), "ftp://h/x (2K)\nabcdefghijklmnopqrstuvwx [" + std::string(25, ' ') + "]       0K");
}

TEST(FtpProgress, OverrunBarIsLongerButBounded) {
    char file[] = "f";
    ftp_url u = url_for("ftp://h/f", file);
    ftp_progress p;
    stderr_capture cap;
    progress_init(&p, &u, 10, nullptr);
    progress_draw(&p, 20, nullptr, 1.0);
    EXPECT_NE(cap.text().find("[" + std::string(50, '#') + "]"), std::string::npos);
    progress_draw(&p, 1 << 30, nullptr, 1.0);
    EXPECT_NE(cap.text().find("[" + std::string(100, '#') + "]"), std::string::npos);
    EXPECT_EQ(cap.text().find(std::string(101, '#')), std::string::npos);
}

TEST(FtpProgress, CallbackEveryFourPointsThenHundredTwice) {
    char file[] = "f";
    ftp_url u = url_for("ftp://h/f", file);
    ftp_progress p;
    stderr_capture cap;
    calls.clear();
    progress_init(&p, &u, 500, record);
    progress_update(&p, 0, record);
    for (int i = 0; i < 100; ++i) progress_update(&p, 5, record);
    progress_fini(&p, record);
    std::vector<int> expect;
    for (int pct = 0; pct <= 100; pct += 4) expect.push_back(pct);
    expect.push_back(100);
    EXPECT_EQ(calls, expect);
    EXPECT_TRUE(cap.text().find("\n500 bytes transferred in ") != std::string::npos);
}

TEST(FtpProgress, RepcharWritesCount) {
    stderr_capture cap;
    repchar(stderr, '#', 3);
    repchar(stderr, ' ', 0);
    EXPECT_EQ(cap.text(), "###");
}

namespace {
// The bar line as three printf calls draw it; the meter must match it byte
// for byte.
std::string reference_line(const ftp_progress& p, double elapsed) {
    char buf[512];
    int n = std::snprintf(buf, sizeof buf, "\r%-25s[", p.outfile);
    std::string s(buf, static_cast<size_t>(n));
    if (p.length != 0) {
        float fraction = static_cast<float>(p.current) / static_cast<float>(p.length);
        float scaled = static_cast<float>(p.max_hashes) * fraction;
        unsigned cells = scaled >= 100 ? 100 : static_cast<unsigned>(scaled);
        s += std::string(cells, '#');
        if (cells < 25) s += std::string(25 - cells, ' ');
        float rate = 0;
        if (elapsed != 0) rate = static_cast<float>(p.current / elapsed / 1024);
        if (rate > 999999) rate = 0;
        n = std::snprintf(buf, sizeof buf, "] %7dK | %7.2fK/s", p.current / 1024, static_cast<double>(rate));
    } else {
        // The draw has already stepped frame (which wraps at 256).
        n = std::snprintf(buf, sizeof buf, "%c] %7dK", "-\\|/"[(p.frame + 3) % 4], p.current / 1024);
    }
    return s + std::string(buf, static_cast<size_t>(n));
}
}  // namespace

TEST(FtpProgress, BarLineMatchesPrintfOverWholeTransfers) {
    char file[] = "a-name-of-exactly-24-chr";
    char shorter[] = "x";
    for (char* name : {file, shorter}) {
        for (int length : {0, 1, 700, 2047, 65536, 67108864, INT_MAX}) {
            ftp_url u = url_for("ftp://h/x", name);
            ftp_progress p;
            stderr_capture cap;
            progress_init(&p, &u, length, nullptr);
            size_t at = cap.text().size();
            int mismatches = 0;
            // Reads of every size up to 2047 bytes, elapsed times from a
            // microsecond to hours, and a final overrun past the size.
            for (int i = 0; i < 3000 && mismatches < 5; ++i) {
                int increment = i == 2999 ? length : (i * 7919) % 2048;
                double elapsed = i % 97 == 0 ? 0.0 : 1e-6 * i * i * (1 + i % 13);
                progress_draw(&p, increment, nullptr, elapsed);
                std::string got = cap.text_from(at);
                std::string want = reference_line(p, elapsed);
                if (got != want) {
                    ++mismatches;
                    ADD_FAILURE() << "length " << length << " current " << p.current << " elapsed " << elapsed
                                  << ": '" << got << "' != '" << want << "'";
                }
                at += got.size();
            }
        }
    }
}
