// SPDX-License-Identifier: ISC
// The router's state as one owner keeps it, the decision over it, and the
// time limits of the service's verdict.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "../support/file_util.h"
#include "internal/fixed_path.h"
#include "internal/shell_command.h"
#include "internal/unique_fd.h"
#include "updater/decision.h"
#include "updater/install.h"
#include "updater/router_state.h"

using namespace kestrel;

namespace {

constexpr uid_t nobody = 65534;
const std::string record_dir = "/tmp/dbg_log_collect";
const std::string floor_file = "/etc/kestrel/highest_version";

void reset_router() {
    std::system("rm -rf /tmp/dbg_log_collect /tmp/dbg-gen.cfg /tmp/plant /etc/kestrel/highest_version");
    ::mkdir("/etc/kestrel", 0755);
    ::chmod("/etc/kestrel", 0755);
    ::mkdir(record_dir.c_str(), 0755);
}

// An entry at path made as the row says; false when the row names nothing.
void plant(const std::string& path, const std::string& how) {
    if (how == "file") write_file(path, "x");
    if (how == "nobody's") {
        write_file(path, "x");
        ASSERT_EQ(::chown(path.c_str(), nobody, nobody), 0);
    }
    if (how == "group-writable") {
        write_file(path, "x");
        ::chmod(path.c_str(), 0664);
    }
    if (how == "two links") {
        write_file("/tmp/plant", "x");
        ASSERT_EQ(::link("/tmp/plant", path.c_str()), 0);
    }
    if (how == "link") {
        ASSERT_EQ(::symlink("/etc/passwd", path.c_str()), 0);
    }
}

}  // namespace

// What "ours" means, for an entry and for the directory it stands in.
TEST(RouterState, OnlyOurEntriesCount) {
    struct row {
        const char* dir_mode;  // of the directory holding the entry
        const char* entry;
        bool ours;
    } rows[] = {
        {"0755", "file", true},        {"0755", "nobody's", false}, {"0755", "group-writable", false},
        {"0755", "two links", false},  {"0755", "link", false},     {"1777", "file", true},
        {"0777", "file", false},       {"0775", "file", false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(std::string(r.dir_mode) + " " + r.entry);
        std::system("rm -rf /tmp/st /tmp/plant");
        ASSERT_EQ(::mkdir("/tmp/st", 0755), 0);
        ::chmod("/tmp/st", static_cast<mode_t>(std::strtol(r.dir_mode, nullptr, 8)));
        plant("/tmp/st/e", r.entry);
        char line[16];
        EXPECT_EQ(read_owned_line("/tmp/st/e", line, sizeof line), r.ours ? 1 : -1);
    }
}

// The floor cannot be read, created or kept: every cause named, with its path.
TEST(RouterState, RollbackFloorFailsClosed) {
    struct row {
        const char* setup;
        const char* problem;  // "" when usable
    } rows[] = {
        {"", ""},
        {"rm -rf /etc/kestrel", ""},
        {"chmod 0775 /etc/kestrel", "/etc/kestrel is not root's alone"},
        {"chown 65534 /etc/kestrel", "/etc/kestrel is not root's alone"},
        {"rm -rf /etc/kestrel && ln -s /tmp /etc/kestrel", "/etc/kestrel is not root's alone"},
        {"echo 2.0 > /etc/kestrel/highest_version && chown 65534 /etc/kestrel/highest_version",
         "/etc/kestrel/highest_version is not ours"},
        {"ln -s /etc/passwd /etc/kestrel/highest_version", "/etc/kestrel/highest_version is not ours"},
        {"echo 2.0 > /etc/kestrel/highest_version", ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.setup);
        reset_router();
        ASSERT_EQ(std::system(r.setup), 0);
        rollback_floor f = read_rollback_floor();
        EXPECT_EQ(f.usable, !r.problem[0]);
        EXPECT_STREQ(f.problem, r.problem);
        std::system("rm -f /etc/kestrel; mkdir -p /etc/kestrel; chown 0 /etc/kestrel; chmod 0755 /etc/kestrel");
    }
    reset_router();
    raise_rollback_floor("1.2");
    raise_rollback_floor("1.1");
    EXPECT_EQ(read_file(floor_file), "1.2");
}

// One answer from the control file and the router's state, with its reason.
TEST(Decision, TakesOnlyWhatThisRouterShould) {
    struct row {
        const char* file;
        const char* recorded;
        const char* refused;
        bool signed_run;
        const char* floor;  // "!" unusable
        const char* rollout;
        unsigned long long seq_floor;  // the control file's seq is 5
        run_result result;  // installed: taken
        const char* reason;
    } rows[] = {
        {"dbg-gen", "", "", false, "", "", 0, run_result::refused, "the control file names no version"},
        {"dbg-gen_V1.0", "1.0", "", false, "", "", 0, run_result::current, "version 1.0 is the newest published"},
        {"dbg-gen_V1.0", "1.1", "", false, "", "", 0, run_result::current, "version 1.1 is the newest published"},
        {"dbg-gen_V1.1", "1.0", "", false, "", "", 0, run_result::installed,
         "version 1.1 is newer than the recorded one"},
        {"dbg-gen_V1.1", "1.0", "", true, "!", "", 0, run_result::refused,
         "rollback floor unusable: /etc/kestrel is not root's alone: update refused"},
        {"dbg-gen_V1.0", "1.0", "", true, "!", "", 0, run_result::current, "version 1.0 is the newest published"},
        {"dbg-gen_V1.1", "", "", true, "1.2", "", 0, run_result::refused,
         "version 1.1 is older than 1.2, installed here before: update refused"},
        {"dbg-gen_V1.1", "", "", false, "1.2", "", 0, run_result::installed,
         "version 1.1 is newer than the recorded one"},
        {"dbg-gen_V1.1", "1.0", "1.1", false, "", "", 0, run_result::refused,
         "version 1.1 was refused by the service, waiting for a newer one"},
        {"dbg-gen_V1.1", "1.0", "1.10", false, "", "", 0, run_result::installed,
         "version 1.1 is newer than the recorded one"},
        {"dbg-gen_V1.1", "1.0", "", false, "", "0", 0, run_result::waiting,
         "version 1.1 is rolling out to 0%, this router's bucket is 99"},
        {"dbg-gen_V1.1", "1.0", "", true, "", "", 6, run_result::refused,
         "seq 5 is lower than 6, verified here before: update refused"},
        {"dbg-gen_V1.1", "1.0", "", true, "", "", 5, run_result::installed,
         "version 1.1 is newer than the recorded one"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.reason);
        control_record rec{};
        std::strcpy(rec.file, r.file);
        rec.has_rollout = r.rollout[0] != '\0';
        std::strcpy(rec.rollout, r.rollout);
        rec.seq.value = 5;
        router_view view{};
        view.signed_run = r.signed_run;
        std::strcpy(view.recorded, r.recorded);
        std::strcpy(view.refused, r.refused);
        view.floor.usable = std::strcmp(r.floor, "!") != 0;
        view.releases.usable = true;
        view.releases.seq = r.seq_floor;
        if (view.floor.usable) std::strcpy(view.floor.highest, r.floor);
        else std::strcpy(view.floor.problem, "/etc/kestrel is not root's alone");
        decision d = decide(rec, view, "/tmp/bucket.md5");
        EXPECT_EQ(d.take, r.result == run_result::installed);
        if (!d.take) {
            EXPECT_EQ(d.result, r.result);
        }
        EXPECT_STREQ(d.reason, r.reason);
    }
}

// The installed file and the good one share a file; a marker whose version
// got recorded only finishes, any other rolls back.
TEST(RouterState, InterruptedJudgement) {
    reset_router();
    write_file(payload_path, "good");
    ASSERT_TRUE(keep_good_file());
    EXPECT_TRUE(installed_file_ours());
    EXPECT_TRUE(good_file_ours());
    ASSERT_TRUE(restore_good_file());  // already the same file: no third link
    struct stat st;
    ASSERT_EQ(::stat(good_path, &st), 0);
    EXPECT_EQ(st.st_nlink, 2u);

    version_text judged;
    EXPECT_FALSE(judging_interrupted(judged));
    ASSERT_TRUE(write_state(trying_path, "2.0"));
    ASSERT_TRUE(write_state(recorded_version_path, "2.0"));
    EXPECT_FALSE(judging_interrupted(judged));
    EXPECT_FALSE(file_exists(trying_path));

    ASSERT_TRUE(write_state(trying_path, "2.1"));
    write_file("/tmp/new", "bad");
    ASSERT_EQ(::rename("/tmp/new", payload_path), 0);
    ASSERT_TRUE(judging_interrupted(judged));
    EXPECT_STREQ(judged, "2.1");
    roll_back(judged, service_check{"", 5, 5});
    EXPECT_EQ(read_file(payload_path), "good");
    EXPECT_EQ(read_file(refused_path), "2.1");
    EXPECT_FALSE(file_exists(trying_path));
}

// Another user's entry at the record directory's name never receives a file.
TEST(RouterState, WritesOnlyIntoOurRecordDirectory) {
    for (const char* planted : {"ln -s /etc /tmp/dbg_log_collect",
                                "mkdir -m 0777 /tmp/dbg_log_collect && chown 65534 /tmp/dbg_log_collect",
                                "mkdir -m 0777 /tmp/dbg_log_collect"}) {
        SCOPED_TRACE(planted);
        std::system("rm -rf /tmp/dbg_log_collect /etc/status.json");
        ASSERT_EQ(std::system(planted), 0);
        ASSERT_TRUE(write_state(status_path, "{}"));
        struct stat st;
        ASSERT_EQ(::lstat(record_dir.c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode) && st.st_uid == 0 && (st.st_mode & 07777) == 0755);
        EXPECT_FALSE(file_exists("/etc/status.json"));
    }
}

// A resolver configuration counts only when no other user could have written it.
TEST(RouterState, ResolverConfigurationTrust) {
    struct row {
        const char* setup;
        bool trusted;
    } rows[] = {
        {"echo x > /tmp/rc.target && ln -s /tmp/rc.target /tmp/rc", true},
        {"echo x > /tmp/rc && chmod 0666 /tmp/rc", false},
        {"echo x > /tmp/rc && chown 65534 /tmp/rc", false},
        {"echo x > /tmp/rc.target && chown 65534 /tmp/rc.target && ln -s /tmp/rc.target /tmp/rc", false},
        {"echo x > /tmp/rc.target && ln -s /tmp/rc.target /tmp/rc && chown -h 65534 /tmp/rc", false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.setup);
        std::system("rm -f /tmp/rc /tmp/rc.target");
        ASSERT_EQ(std::system(r.setup), 0);
        unique_fd fd(::open("/tmp/rc", O_RDONLY));
        ASSERT_TRUE(fd.valid());
        EXPECT_EQ(config_file_trusted("/tmp/rc", fd.get()), r.trusted);
    }
}

// A command past its time is stopped with everything it started.
TEST(ServiceVerdict, TimeLimitStopsTheWholeGroup) {
    pid_t group = 0;
    run_command_share_group(&group);
    char cmd[128];
    command_result r = run_command(text_builder(cmd).raw("sleep 60 & echo $! > /tmp/child; wait"), 0, 1);
    EXPECT_TRUE(r.timed_out);
    EXPECT_FALSE(r.succeeded());
    EXPECT_EQ(group, 0);
    std::string child = read_file("/tmp/child");
    ASSERT_FALSE(child.empty());
    // Gone, or a zombie waiting for the namespace's init to reap it, once
    // SIGKILL has been delivered.
    std::string stat_path = "/proc/" + child.substr(0, child.find('\n')) + "/stat";
    bool dead = false;
    for (int i = 0; i < 200 && !dead; ++i) {
        std::string stat = read_file(stat_path);
        dead = stat.empty() || stat.find(") Z ") != std::string::npos;
        if (!dead) ::usleep(10000);
    }
    EXPECT_TRUE(dead) << "the command's child outlived its limit";
    r = run_command(text_builder(cmd).raw("exit 3"), 0, 5);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 3);
    run_command_share_group(nullptr);
}
