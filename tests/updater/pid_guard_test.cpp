// SPDX-License-Identifier: ISC
#include "updater/pid_guard.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "../support/file_util.h"

using namespace kestrel;

namespace {
const char* const path = "/var/run/kestreld.pid";

pid_t dead_pid() {
    pid_t pid = fork();
    if (pid == 0) _exit(0);
    waitpid(pid, nullptr, 0);
    return pid;
}

// Child that waits for the go byte, tries the guard, holds the result for a
// moment and reports it as exit status (0 acquired, 1 running, 2 unguarded).
pid_t contender(int go_fd) {
    pid_t pid = fork();
    if (pid == 0) {
        char c;
        if (read(go_fd, &c, 1) != 1) _exit(3);
        unique_fd owner;
        pid_guard_status s = pid_guard_acquire(path, owner);
        usleep(200 * 1000);
        _exit(s == pid_guard_status::acquired ? 0 : s == pid_guard_status::running ? 1 : 2);
    }
    return pid;
}
}  // namespace

TEST(PidGuard, CreatesTheFileWithOurPid) {
    remove_file(path);
    unique_fd owner;
    ASSERT_EQ(pid_guard_acquire(path, owner), pid_guard_status::acquired);
    EXPECT_EQ(read_file(path), std::to_string(getpid()) + "\n");
    EXPECT_TRUE(owner.valid());
}

// A live process under the daemon's own name (a fork of this test).
TEST(PidGuard, ALiveProcessInTheFileMeansRunning) {
    pid_t live = fork();
    if (live == 0) {
        pause();
        _exit(0);
    }
    write_file(path, std::to_string(live) + "\n");
    unique_fd owner;
    EXPECT_EQ(pid_guard_acquire(path, owner), pid_guard_status::running);
    EXPECT_FALSE(owner.valid());
    EXPECT_EQ(read_file(path), std::to_string(live) + "\n");
    kill(live, SIGKILL);
    waitpid(live, nullptr, 0);
}

TEST(PidGuard, AStalePidFileIsTakenOver) {
    // A pid recorded before a crash or a reboot may since name any process:
    // one under another name, or the one starting now.
    int named[2];
    ASSERT_EQ(pipe(named), 0);
    pid_t other = fork();
    if (other == 0) {
        prctl(PR_SET_NAME, "not-a-run", 0, 0, 0);
        if (write(named[1], "n", 1) != 1) _exit(1);
        pause();
        _exit(0);
    }
    char c;
    ASSERT_EQ(read(named[0], &c, 1), 1);
    close(named[0]);
    close(named[1]);
    for (const std::string& stale : {std::to_string(dead_pid()) + "\n", std::string("garbage"), std::string(),
                                     std::to_string(getpid()) + "\n", std::to_string(other) + "\n"}) {
        write_file(path, stale);
        unique_fd owner;
        EXPECT_EQ(pid_guard_acquire(path, owner), pid_guard_status::acquired) << stale;
        EXPECT_EQ(read_file(path), std::to_string(getpid()) + "\n");
    }
    kill(other, SIGKILL);
    waitpid(other, nullptr, 0);
}

TEST(PidGuard, TheLockCountsEvenWhenTheFileNamesAnEndedProcess) {
    // As after daemon(): the file may still name the parent that detached.
    remove_file(path);
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    pid_t holder = contender(go[0]);
    ASSERT_EQ(write(go[1], "g", 1), 1);
    usleep(50 * 1000);
    write_file(path, std::to_string(dead_pid()) + "\n");
    unique_fd owner;
    EXPECT_EQ(pid_guard_acquire(path, owner), pid_guard_status::running);
    int status = 0;
    waitpid(holder, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    close(go[0]);
    close(go[1]);
}

TEST(PidGuard, SimultaneousStartsLetExactlyOneRun) {
    for (bool stale_file : {false, true}) {
        if (stale_file)
            write_file(path, std::to_string(dead_pid()) + "\n");
        else
            remove_file(path);
        int go[2];
        ASSERT_EQ(pipe(go), 0);
        constexpr int n = 8;
        pid_t kids[n];
        for (pid_t& k : kids) k = contender(go[0]);
        ASSERT_EQ(write(go[1], "gggggggg", n), n);
        int acquired = 0, running = 0;
        for (pid_t k : kids) {
            int status = 0;
            waitpid(k, &status, 0);
            acquired += WEXITSTATUS(status) == 0;
            running += WEXITSTATUS(status) == 1;
        }
        EXPECT_EQ(acquired, 1) << "stale file: " << stale_file;
        EXPECT_EQ(running, n - 1);
        close(go[0]);
        close(go[1]);
    }
}

TEST(PidGuard, NoPidDirectoryMeansUnguarded) {
    unique_fd owner;
    EXPECT_EQ(pid_guard_acquire("/no/such/dir/kestreld.pid", owner), pid_guard_status::unguarded);
}

// A link planted at the name, or another user's file naming a live process
// of ours: replaced, never written through, never taken for a run.
TEST(PidGuard, AFileOfAnotherUserOrALinkIsReplacedNeverWritten) {
    pid_t live = fork();
    if (live == 0) {
        pause();
        _exit(0);
    }
    write_file("/tmp/victim", "victim");
    for (bool link : {true, false}) {
        remove_file(path);
        if (link) {
            ASSERT_EQ(symlink("/tmp/victim", path), 0);
        } else {
            write_file(path, std::to_string(live) + "\n");
            ASSERT_EQ(chown(path, 65534, 65534), 0);
        }
        unique_fd owner;
        EXPECT_EQ(pid_guard_acquire(path, owner), pid_guard_status::acquired) << link;
        EXPECT_EQ(read_file(path), std::to_string(getpid()) + "\n");
        struct stat st;
        ASSERT_EQ(lstat(path, &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode) && st.st_uid == 0) << link;
    }
    EXPECT_EQ(read_file("/tmp/victim"), "victim");
    kill(live, SIGKILL);
    waitpid(live, nullptr, 0);
}
