#include "vcard_mixer_state.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

const char *const vcard_mixer_names[VCARD_MIXER_ELEMS] = {"chan_1", "chan_2", "chan_3", "chan_4",
                                                          "Playback"};

static void state_path(char *buf, size_t len, const char *dir)
{
    snprintf(buf, len, "%s/mixer.state", dir);
}

static void parse_state(const char *text, long values[VCARD_MIXER_ELEMS])
{
    for (int i = 0; i < VCARD_MIXER_ELEMS; ++i)
        values[i] = VCARD_MIXER_DEFAULT;
    while (text && *text) {
        char name[32];
        long v;
        if (sscanf(text, "%31s %ld", name, &v) == 2 && v >= 0 && v <= VCARD_MIXER_MAX) {
            for (int i = 0; i < VCARD_MIXER_ELEMS; ++i)
                if (strcmp(name, vcard_mixer_names[i]) == 0)
                    values[i] = v;
        }
        text = strchr(text, '\n');
        if (text)
            ++text;
    }
}

static int read_locked(int fd, long values[VCARD_MIXER_ELEMS])
{
    char text[1024];
    ssize_t n = pread(fd, text, sizeof(text) - 1, 0);
    if (n < 0) {
        parse_state(NULL, values);
        return -errno;
    }
    text[n] = '\0';
    parse_state(text, values);
    return 0;
}

int vcard_mixer_load(const char *dir, long values[VCARD_MIXER_ELEMS])
{
    char path[PATH_MAX];
    int fd, err;
    state_path(path, sizeof(path), dir);
    fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        parse_state(NULL, values);
        return errno == ENOENT ? 0 : -errno;
    }
    flock(fd, LOCK_SH);
    err = read_locked(fd, values);
    close(fd);
    return err;
}

int vcard_mixer_store(const char *dir, int elem, long value)
{
    char path[PATH_MAX];
    char text[1024];
    long values[VCARD_MIXER_ELEMS];
    int fd, len = 0, err = 0;

    if (elem < 0 || elem >= VCARD_MIXER_ELEMS)
        return -EINVAL;
    state_path(path, sizeof(path), dir);
    fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return -errno;
    flock(fd, LOCK_EX);
    read_locked(fd, values);
    values[elem] = value < 0 ? 0 : value > VCARD_MIXER_MAX ? VCARD_MIXER_MAX : value;
    for (int i = 0; i < VCARD_MIXER_ELEMS; ++i)
        len += snprintf(text + len, sizeof(text) - (size_t)len, "%s %ld\n", vcard_mixer_names[i],
                        values[i]);
    /* readers take the shared lock, so they never see the file half written */
    if (ftruncate(fd, 0) < 0 || pwrite(fd, text, (size_t)len, 0) != len)
        err = -EIO;
    close(fd);
    return err;
}
