// SPDX-License-Identifier: ISC
/* Runs a command on the virtual router and measures it as the kernel sees
 * it: as a child subreaper it inherits every process the command leaves
 * behind (a daemon that detaches, the programs it starts), waits for all of
 * them, and then writes to OUT the boot-clock seconds (as /proc/uptime) at
 * the start and when the last one ended, and the largest peak resident
 * memory any of them reached (ru_maxrss of RUSAGE_CHILDREN, in KiB).
 * Linked statically, so a preload meant for the command stays out of it.
 *
 * usage: run_peak OUT COMMAND [ARG]... */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double boot_seconds(void) {
    struct timespec t;
    clock_gettime(CLOCK_BOOTTIME, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: run_peak OUT COMMAND [ARG]...\n");
        return 2;
    }
    if (prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0) {
        perror("run_peak: PR_SET_CHILD_SUBREAPER");
        return 2;
    }
    double start = boot_seconds();
    pid_t child = fork();
    if (child < 0) {
        perror("run_peak: fork");
        return 2;
    }
    if (child == 0) {
        execvp(argv[2], argv + 2);
        perror("run_peak: exec");
        _exit(127);
    }
    int status = 0, command_status = 0;
    pid_t pid;
    while ((pid = waitpid(-1, &status, 0)) > 0 || errno == EINTR) {
        if (pid == child) command_status = status;
    }
    double end = boot_seconds();
    struct rusage usage;
    getrusage(RUSAGE_CHILDREN, &usage);
    FILE* out = fopen(argv[1], "we");
    if (!out) {
        perror("run_peak: OUT");
        return 2;
    }
    fprintf(out, "start %.3f\nend %.3f\nlargest_kib %ld\n", start, end, usage.ru_maxrss);
    fclose(out);
    return WIFEXITED(command_status) ? WEXITSTATUS(command_status) : 128 + WTERMSIG(command_status);
}
