#include "vcard_events.h"
#include "vcard_env.h"

#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

void vcard_event(const char *pcm, const char *event, const char *fmt, ...)
{
    char dir[PATH_MAX - 16];
    char path[PATH_MAX];
    char details[384];
    char line[512];
    struct timespec now;
    va_list ap;
    int n, fd;

    if (vcard_env_dir(dir, sizeof(dir)) < 0)
        return;
    snprintf(path, sizeof(path), "%s/events.log", dir);
    clock_gettime(CLOCK_MONOTONIC, &now);
    va_start(ap, fmt);
    if (vsnprintf(details, sizeof(details), fmt, ap) < 0)
        details[0] = '\0';
    va_end(ap);
    n = snprintf(line, sizeof(line), "%lld.%06ld %d %s %s%s%s", (long long)now.tv_sec,
                 now.tv_nsec / 1000, (int)getpid(), pcm, event, details[0] ? " " : "", details);
    if (n < 0)
        return;
    if (n > (int)sizeof(line) - 2)
        n = (int)sizeof(line) - 2;
    line[n++] = '\n';
    fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0)
        return;
    if (write(fd, line, (size_t)n) < 0) {
        /* nothing sensible to do: the log is diagnostic only */
    }
    close(fd);
}
