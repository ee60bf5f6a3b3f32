// SPDX-License-Identifier: ISC
// Location calls end to end: real curl against nginx on 127.0.0.2 (dev),
// .3 (QA) and .4 (production), with the fake kq and date of cloud_test.sh.
#include <kestrel/location.h>

#include "unit/cloud.h"

#include <dirent.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>

#include "build_config.h"
#include "support_fixture.h"

using namespace kestrel;

namespace {
bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Background curl: wait until its file has come (at most 10 s).
std::string wait_for(const std::string& path) {
    for (int i = 0; i < 200 && !exists(path); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let it finish writing
    return read_file(path);
}

// The one request body kept by the server at addr since the last call.
std::string take_body(const std::string& addr) {
    std::string dir = "/sandbox/bodies-" + addr, body;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            body += read_file(dir + "/" + e->d_name);
            unlink((dir + "/" + e->d_name).c_str());
        }
        closedir(d);
    }
    return body;
}

void identity(const std::string& id, const std::string& code) {
    write_file("/sandbox/kq_id", id + "\n");
    write_file("/sandbox/kq_code", code + "\n");
}

std::string resolve_reply() {
    unlink("/tmp/mBrisk_MAXmind");
    get_wanip_info();
    return wait_for("/tmp/mBrisk_MAXmind");
}

class Cloud : public testing::Test {
protected:
    static void SetUpTestSuite() {
        require_sandbox();
        // Nothing below may reach the real clock: date must be the recorder.
        unlink("/sandbox/date_args");
        if (std::system("date -s probe") != 0 || read_file("/sandbox/date_args") != "-s\nprobe\n")
            std::abort();
        std::string hosts = read_file("/etc/hosts");
        hosts += std::string("127.0.0.2 ") + build_config::location_host_dev + "\n127.0.0.3 " +
                 build_config::location_host_qa + "\n127.0.0.4 " +
                 build_config::location_host_prod + "\n";
        write_file("/etc/hosts", hosts);
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void SetUp() override { unlink("/sandbox/date_args"); }
};

struct clock_result {
    std::string date_args, printed;
};

clock_result set_clock_from(const char* reply) {
    unlink("/sandbox/date_args");
    if (reply)
        write_file("/sandbox/www/reply", reply);
    else
        unlink("/sandbox/www/reply");
    testing::internal::CaptureStdout();
    set_current_time();
    clock_result r;
    r.printed = testing::internal::GetCapturedStdout();
    r.date_args = read_file("/sandbox/date_args");
    return r;
}
}  // namespace

TEST_F(Cloud, HostChosenByAgentIdPrefix) {
    const std::string dev = build_config::location_host_dev, qa = build_config::location_host_qa,
                      prod = build_config::location_host_prod;
    struct {
        const char *id, *addr;
        std::string host;
    } cases[] = {{"DEV-17", "127.0.0.2", dev}, {"QA-3", "127.0.0.3", qa},
                 {"dev-17", "127.0.0.4", prod}, {"QA3", "127.0.0.4", prod},
                 {"", "127.0.0.4", prod}};
    for (const auto& c : cases) {
        identity(c.id, "s3cret");
        EXPECT_EQ(resolve_reply(), std::string("addr=") + c.addr + " host=" + c.host +
                                       " method=GET auth=" + c.id + ":s3cret\n")
            << c.id;
    }
    // The key reached kq as one word, brackets and all.
    EXPECT_NE(read_file("/sandbox/kq_args").find("-s|ozmardcfg[0].o_zmard_claim_code|\n"),
              std::string::npos);
}

TEST_F(Cloud, TimeRequestBodyIsCutAndEscaped) {
    write_file("/sandbox/www/reply", "fresh\n");
    identity("QA-1", "c");
    write_file("/tmp/Seria_Number", "S123456789012345678901234567890123456789\n");
    write_file("/module_name", "abcdefghi\n");
    write_file("/tmp/mBrisk_time", "stale\n");
    take_body("127.0.0.3");
    get_current_time();
    EXPECT_EQ(wait_for("/tmp/mBrisk_time"), "fresh\n");
    EXPECT_EQ(take_body("127.0.0.3"),
              R"({"hardwareId":"S123456789012345678901234567890","model":"abcdefg"})");

    write_file("/tmp/Seria_Number", "a\"b\\c'$(touch /sandbox/m1)`touch /sandbox/m2`\n");
    write_file("/module_name", "m'\"x\n");
    unlink("/tmp/mBrisk_time");
    get_current_time();
    wait_for("/tmp/mBrisk_time");
    EXPECT_EQ(take_body("127.0.0.3"),
              R"({"hardwareId":"a\"b\\c'$(touch /sandbox/m1)`touc","model":"m'\"x"})");
    EXPECT_FALSE(exists("/sandbox/m1") || exists("/sandbox/m2"));
}

TEST_F(Cloud, HostileIdentityStaysOneWord) {
    // Kept within the 63 characters that are read of each.
    const std::string id = "DEV-';touch /tmp/m3;'$(touch /tmp/m4)`touch /tmp/m5`\"";
    const std::string code = "c'\"$(touch /tmp/m6);x";
    identity(id, code);
    EXPECT_EQ(resolve_reply(), "addr=127.0.0.2 host=" + std::string(build_config::location_host_dev) +
                                   " method=GET auth=" + id + ":" + code + "\n");
    get_value_from_kq("k'; touch /tmp/m7; '");
    EXPECT_NE(read_file("/sandbox/kq_args").find("-s|k'; touch /tmp/m7; '|\n"),
              std::string::npos);
    for (const char* m : {"/tmp/m3", "/tmp/m4", "/tmp/m5", "/tmp/m6", "/tmp/m7"})
        EXPECT_FALSE(exists(m)) << m;

    // Quotes take four characters each when quoted: this line cannot fit and is not run.
    write_file(build_config::config_file, "oru_log=1\n");
    identity("DEV-" + std::string(59, '\''), std::string(63, '\''));
    unlink("/tmp/mBrisk_MAXmind");
    get_wanip_info();
    std::string log = read_file("/tmp/oru_log.txt");
    EXPECT_NE(log.find(" curl command line of "), std::string::npos) << log;
    EXPECT_EQ(log.find("Authorization"), std::string::npos) << "credentials logged: " << log;
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_FALSE(exists("/tmp/mBrisk_MAXmind"));
    unlink(build_config::config_file);
}

TEST_F(Cloud, ClockSetFromTheTimeReply) {
    identity("x", "y");
    write_file("/tmp/Seria_Number", "SN1\n");
    write_file("/module_name", "r1\n");
    clock_result r = set_clock_from("{\n  \"timestamp\": 1700000000,\n  \"zoneOffset\": 3600\n}\n");
    EXPECT_EQ(r.date_args, "-s\n2023-11-14 23:13:20\n");
    EXPECT_EQ(r.printed, "ORU-IOT: Set the local time as 2023-11-14 23:13:20 according to ozmard "
                         "server current time!!!\n");

    r = set_clock_from("{\"zoneOffset\":-7200,\n\"timestamp\":0}\n");
    EXPECT_EQ(r.date_args, "-s\n1969-12-31 22:00:00\n");

    // The 32-bit limits themselves are numbers like any other.
    r = set_clock_from("{\n\"timestamp\": 2147483647,\n\"zoneOffset\": -2147483648\n}\n");
    EXPECT_EQ(r.date_args, "-s\n1969-12-31 23:59:59\n");
}

TEST_F(Cloud, ClockLeftAloneWithoutBothMembers) {
    identity("x", "y");
    for (const char* reply : {"{\"timestamp\": 1700000000, \"zoneOffset\": 3600}\n",
                              "{\n\"timestamp\": 1700000000,\n\"zone\": 3600\n}\n",
                              "{\n\"timestamp\":\n\"zoneOffset\": 3600\n}\n",
                              // Numbers beyond 32 bits count as not seen.
                              "{\n\"timestamp\": 2147483648,\n\"zoneOffset\": 0\n}\n",
                              "{\n\"timestamp\": 1700000000,\n\"zoneOffset\": -2147483649\n}\n",
                              "{\n\"timestamp\": 99999999999999999999,\n\"zoneOffset\": 0\n}\n",
                              (const char*)nullptr}) {
        clock_result r = set_clock_from(reply);
        EXPECT_EQ(r.date_args, "") << (reply ? reply : "no reply");
        EXPECT_EQ(r.printed, "") << (reply ? reply : "no reply");
    }
    EXPECT_FALSE(exists("/tmp/mBrisk_time"));  // the last call got no reply at all
}
