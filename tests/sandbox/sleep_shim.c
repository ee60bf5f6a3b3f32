// SPDX-License-Identifier: ISC
/* Preloaded into the daemon under test: records each sleep() request and
 * returns at once, so tests can check the pauses without waiting them. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <dlfcn.h>
#include <sys/prctl.h>
#include <sys/timex.h>
#include <time.h>
#include <unistd.h>

/* The daemon alone needs the shim.  Under qemu-user the shim is an ARM
 * library, and the host programs the daemon starts (sh, curl, md5sum) would
 * only complain that they cannot preload it: they get no LD_PRELOAD.  The
 * emulator also names the process after itself, so the daemon's own name is
 * put back, as the tests look for it (pgrep, /proc/PID/comm). */
__attribute__((constructor)) static void sleep_shim_init(void) {
    unsetenv("LD_PRELOAD");
    prctl(PR_SET_NAME, program_invocation_short_name, 0, 0, 0);
}

unsigned int sleep(unsigned int seconds) {
    /* Logged before any real pause, so that a test can tell the daemon is in it. */
    const char* log = getenv("KESTREL_SLEEP_LOG");
    if (log && *log) {
        char line[32];
        int n = snprintf(line, sizeof line, "sleep %u\n", seconds);
        int fd = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd >= 0) {
            if (write(fd, line, (size_t)n) != n) { /* nothing to do: the test will see it missing */ }
            close(fd);
        }
    }
    /* KESTREL_SLEEP_REAL_FIRST=S: the first pause really lasts S seconds
     * (whatever was asked), for tests of what a pause must not eat; a signal
     * that is handled cuts it short, as it does a real sleep(). */
    static int calls;
    const char* real = getenv("KESTREL_SLEEP_REAL_FIRST");
    if (calls++ == 0 && real && *real) {
        struct timespec t = {atoi(real), 0};
        if (nanosleep(&t, &t) != 0 && errno == EINTR) return (unsigned)t.tv_sec + (t.tv_nsec > 0);
    }
    return 0;
}

/* KESTREL_CLOCK=synchronized or unsynchronized: what the kernel is said to
 * report of the clock, whatever the machine's own clock is; unset: the
 * machine's answer. */
int adjtimex(struct timex* tx) {
    const char* clock = getenv("KESTREL_CLOCK");
    if (clock && *clock) {
        memset(tx, 0, sizeof *tx);
        return strcmp(clock, "synchronized") == 0 ? TIME_OK : TIME_ERROR;
    }
    int (*real)(struct timex*) = (int (*)(struct timex*))dlsym(RTLD_NEXT, "adjtimex");
    return real ? real(tx) : -1;
}
