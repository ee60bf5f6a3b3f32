/* Preloaded into the daemon under test: records each sleep() request and
 * returns at once, so tests can check the pauses without waiting them. */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

unsigned int sleep(unsigned int seconds) {
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
    return 0;
}
