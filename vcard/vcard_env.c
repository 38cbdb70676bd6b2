#include "vcard_env.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

int vcard_env_dir(char *buf, size_t len)
{
    const char *dir = getenv("VCARD_DIR");
    if (!dir || !*dir)
        dir = "/tmp/vcard";
    if ((size_t)snprintf(buf, len, "%s", dir) >= len)
        return -ENAMETOOLONG;
    /* create missing parents too, as "mkdir -p" would */
    for (char *p = buf + 1; *p; ++p) {
        if (*p != '/')
            continue;
        *p = '\0';
        if (mkdir(buf, 0777) < 0 && errno != EEXIST) {
            *p = '/';
            return -errno;
        }
        *p = '/';
    }
    if (mkdir(buf, 0777) < 0 && errno != EEXIST)
        return -errno;
    return 0;
}

static int parse_double(const char *text, double *out)
{
    char *end = NULL;
    double v;
    if (!text || !*text)
        return -1;
    errno = 0;
    v = strtod(text, &end);
    if (errno || end == text)
        return -1;
    *out = v;
    return (int)(end - text);
}

static void parse_speed(vcard_clock_cfg *cfg)
{
    const char *s = getenv("VCARD_SPEED");
    double v;
    if (!s || !*s)
        return;
    if (strcmp(s, "unpaced") == 0 || strcmp(s, "0") == 0) {
        cfg->unpaced = 1;
        return;
    }
    if (parse_double(s, &v) > 0 && v > 0.0 && v <= 1000.0)
        cfg->speed = v;
}

/* "<at_ms>:<for_ms>" */
static void parse_stall(vcard_clock_cfg *cfg)
{
    const char *s = getenv("VCARD_STALL");
    double at, dur;
    int n;
    if (!s || !*s)
        return;
    n = parse_double(s, &at);
    if (n <= 0 || s[n] != ':' || parse_double(s + n + 1, &dur) <= 0)
        return;
    if (at < 0 || dur <= 0)
        return;
    cfg->stall_at_ms = at;
    cfg->stall_for_ms = dur;
}

void vcard_env_clock(vcard_clock_cfg *cfg)
{
    const char *ptr = getenv("VCARD_POINTER");
    double ppm;

    cfg->speed = 1.0;
    cfg->unpaced = 0;
    cfg->ppm = 0.0;
    cfg->period_pointer = 0;
    cfg->stall_at_ms = -1.0;
    cfg->stall_for_ms = 0.0;
    parse_speed(cfg);
    /* a few percent is already far beyond any real crystal */
    if (parse_double(getenv("VCARD_PPM"), &ppm) > 0 && ppm > -500000.0 && ppm < 500000.0)
        cfg->ppm = ppm;
    if (ptr && strcmp(ptr, "period") == 0)
        cfg->period_pointer = 1;
    parse_stall(cfg);
}

int vcard_env_names(const char *var, const char *pcm)
{
    const char *list = getenv(var);
    size_t len = strlen(pcm);
    const char *p;
    if (!list || !*list)
        return 0;
    for (p = list; *p;) {
        const char *end = strchr(p, ',');
        size_t n = end ? (size_t)(end - p) : strlen(p);
        if ((n == 1 && *p == '*') || (n == len && strncmp(p, pcm, n) == 0))
            return 1;
        if (!end)
            break;
        p = end + 1;
    }
    return 0;
}

unsigned int vcard_env_forced_rate(void)
{
    const char *s = getenv("VCARD_FORCE_RATE");
    long v;
    char *end = NULL;
    if (!s || !*s)
        return 0;
    v = strtol(s, &end, 10);
    if (*end || v < 1000 || v > 768000)
        return 0;
    return (unsigned int)v;
}

int vcard_env_softvol(void)
{
    const char *s = getenv("VCARD_SOFTVOL");
    return s && *s && strcmp(s, "0") != 0;
}

double vcard_env_vanish_ms(const char *pcm)
{
    const char *p = getenv("VCARD_VANISH");
    const size_t len = strlen(pcm);
    while (p && *p) {
        const char *colon = strchr(p, ':');
        const char *end = strchr(p, ',');
        double ms;
        int n;
        if (!colon || (end && end < colon))
            return -1.0;
        n = parse_double(colon + 1, &ms);
        if (n > 0 && ms >= 0.0 &&
            (((size_t)(colon - p) == len && strncmp(p, pcm, len) == 0) ||
             (colon - p == 1 && *p == '*')))
            return ms;
        p = end ? end + 1 : NULL;
    }
    return -1.0;
}
