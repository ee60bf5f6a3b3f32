// SPDX-License-Identifier: ISC
#include <kestrel/metrics.h>

#include <sys/mount.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "build_config.h"
#include "support_fixture.h"

namespace {
// Puts prepared text where the kernel file was, for the life of the object.
struct kernel_file {
    const char* target;
    bool mounted;
    kernel_file(const char* path, const std::string& text) : target(path) {
        require_sandbox();
        std::string copy = std::string("/sandbox/") + (std::strrchr(path, '/') + 1);
        write_file(copy, text);
        mounted = mount(copy.c_str(), path, nullptr, MS_BIND, nullptr) == 0;
        EXPECT_TRUE(mounted) << path;
    }
    ~kernel_file() {
        if (mounted) umount2(target, MNT_DETACH);
    }
};

constexpr const char meminfo_example[] =
    "MemTotal:            900 kB\nMemFree:             100 kB\nMemAvailable:        300 kB\n"
    "Buffers:              50 kB\nCached:              250 kB\nSwapCached:          999 kB\n";
}  // namespace

TEST(LastStr, NextToLastToken) {
    char a[] = "x y z", b[] = "mem_free: 400 KB", c[] = "  MemTotal:   900 kB\n", d[] = "one",
         e[] = "   ";
    EXPECT_STREQ(last_str(a), "y");
    EXPECT_STREQ(last_str(b), "400");
    EXPECT_STREQ(last_str(c), "900");
    EXPECT_STREQ(last_str(d), "");
    EXPECT_STREQ(last_str(e), "");
    EXPECT_STREQ(last_str(nullptr), "");
    std::string many;
    for (int i = 0; i < 100; ++i) many += "t" + std::to_string(i) + " ";
    EXPECT_STREQ(last_str(many.data()), "t98");
}

TEST(Meminfo, FiguresFromTheKernelFile) {
    write_file(kestrel::build_config::config_file, "oru_log=1\n");
    unlink("/tmp/oru_log.txt");
    kernel_file mem("/proc/meminfo", meminfo_example);
    char total[64], free_text[64];
    meminfo(total, free_text);
    EXPECT_STREQ(total, "MemTotal:            900 kB\n");
    EXPECT_STREQ(free_text, "mem_free: 400 KB");  // Cached, not the later SwapCached
    EXPECT_EQ(get_MemoryUtilization(), 55);
    std::string log = read_file("/tmp/oru_log.txt");
    EXPECT_EQ(log.rfind("DEBUG:   get_MemoryUtilization L#", 0), 0u) << log;
    EXPECT_NE(log.find(" Current Memory Utilization: 55.56%\n"), std::string::npos) << log;
    unlink(kestrel::build_config::config_file);
}

TEST(Meminfo, MissingLinesAndZeroTotal) {
    kernel_file mem("/proc/meminfo", "MemFree: 70 kB\nBuffers: 5 kB\n");
    char total[64], free_text[64];
    meminfo(total, free_text);
    EXPECT_STREQ(total, "");
    EXPECT_STREQ(free_text, "mem_free: 75 KB");
    EXPECT_EQ(get_MemoryUtilization(), 0);
}

TEST(Meminfo, HostileNumbersStayInRange) {
    kernel_file mem("/proc/meminfo",
                    "MemTotal: 10 kB\nMemFree: 99999999999999999999 kB\nCached: nan kB\n");
    char total[64], free_text[64];
    meminfo(total, free_text);
    EXPECT_STREQ(free_text, "mem_free: 2147483647 KB");
    EXPECT_EQ(get_MemoryUtilization(), 0);
}

TEST(CpuUtil, TakesTheAllProcessorLine) {
    char f[8][KESTREL_CPU_COUNTER_SIZE];
    auto reset = [&] { for (auto& b : f) std::strcpy(b, "-"); };
    auto call = [&] { cpu_util(f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7]); };
    {
        kernel_file stat("/proc/stat", "cpu0 9 9 9 9 9 9 9 9\ncpu  1 2 3 4\nintr 5 6\n");
        reset();
        call();
        EXPECT_STREQ(f[0], "1");
        EXPECT_STREQ(f[3], "4");
        EXPECT_STREQ(f[4], "-");  // fields the line lacks stay as they were
        EXPECT_STREQ(f[7], "-");
    }
    {
        std::string huge(60, '7');
        kernel_file stat("/proc/stat", "cpu  " + huge + " 1 2 3 4 5 6 7 8 9\n");
        call();
        EXPECT_EQ(std::string(f[0]), huge.substr(0, KESTREL_CPU_COUNTER_SIZE - 1));
        EXPECT_STREQ(f[7], "7");
    }
    {
        kernel_file stat("/proc/stat", "cpu0 1 2 3\nctxt 5\n");
        reset();
        call();
        EXPECT_STREQ(f[0], "-");
    }
}

TEST(Metrics, RealKernelFigures) {
    char total[64], free_text[64];
    meminfo(total, free_text);
    EXPECT_EQ(std::strncmp(total, "MemTotal:", 9), 0) << total;
    EXPECT_EQ(std::strncmp(free_text, "mem_free: ", 10), 0) << free_text;
    long long total_kb = std::atoll(last_str(total)), free_kb = std::atoll(last_str(free_text));
    EXPECT_GT(free_kb, 0);
    EXPECT_LT(free_kb, total_kb);
    int used = get_MemoryUtilization();
    EXPECT_GE(used, 0);
    EXPECT_LE(used, 100);

    char f[8][KESTREL_CPU_COUNTER_SIZE] = {};
    cpu_util(f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7]);
    for (auto& b : f) EXPECT_GT(std::strlen(b), 0u);
    EXPECT_GT(std::strtoll(f[3], nullptr, 10), 0);  // idle ticks
    EXPECT_GT(uptime(), 0);
}

TEST(Metrics, NoKernelFiles) {
    require_sandbox();
    ASSERT_EQ(mount("none", "/proc", "tmpfs", 0, nullptr), 0);
    char total[64] = "x", free_text[64] = "x", f[8][KESTREL_CPU_COUNTER_SIZE];
    for (auto& b : f) std::strcpy(b, "-");
    meminfo(total, free_text);
    int used = get_MemoryUtilization();
    cpu_util(f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7]);
    umount2("/proc", MNT_DETACH);
    EXPECT_STREQ(total, "");
    EXPECT_STREQ(free_text, "");
    EXPECT_EQ(used, 0);
    EXPECT_STREQ(f[0], "-");
}
