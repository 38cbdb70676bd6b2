#include "vcard_mixer_state.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

#include "vcard_env.h"

const char *const vcard_mixer_names[VCARD_MIXER_ELEMS] = {"chan_1", "chan_2", "chan_3", "chan_4",
                                                          "Playback"};

/* The PCM whose softvol control each element is, index for index. */
static const char *const softvol_pcms[VCARD_MIXER_ELEMS] = {"channel1", "channel2", "channel3",
                                                            "channel4", "default"};

static void state_path(char *buf, size_t len, const char *dir)
{
    snprintf(buf, len, "%s/mixer.state", dir);
}

/* listed[i]: the file has a valid line for element i */
static void parse_state(const char *text, long values[VCARD_MIXER_ELEMS],
                        int listed[VCARD_MIXER_ELEMS])
{
    for (int i = 0; i < VCARD_MIXER_ELEMS; ++i) {
        values[i] = VCARD_MIXER_DEFAULT;
        listed[i] = 0;
    }
    while (text && *text) {
        char name[32];
        long v;
        if (sscanf(text, "%31s %ld", name, &v) == 2 && v >= 0 && v <= VCARD_MIXER_MAX) {
            for (int i = 0; i < VCARD_MIXER_ELEMS; ++i)
                if (strcmp(name, vcard_mixer_names[i]) == 0) {
                    values[i] = v;
                    listed[i] = 1;
                }
        }
        text = strchr(text, '\n');
        if (text)
            ++text;
    }
}

static int read_locked(int fd, long values[VCARD_MIXER_ELEMS], int listed[VCARD_MIXER_ELEMS])
{
    char text[1024];
    ssize_t n = pread(fd, text, sizeof(text) - 1, 0);
    if (n < 0) {
        parse_state(NULL, values, listed);
        return -errno;
    }
    text[n] = '\0';
    parse_state(text, values, listed);
    return 0;
}

static void mark_present(const int listed[VCARD_MIXER_ELEMS], int present[VCARD_MIXER_ELEMS])
{
    const int softvol = vcard_env_softvol();
    for (int i = 0; i < VCARD_MIXER_ELEMS; ++i)
        present[i] = softvol ? listed[i] : 1;
}

int vcard_mixer_load_present(const char *dir, long values[VCARD_MIXER_ELEMS],
                             int present[VCARD_MIXER_ELEMS])
{
    char path[PATH_MAX];
    int listed[VCARD_MIXER_ELEMS];
    int fd, err;
    state_path(path, sizeof(path), dir);
    fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        parse_state(NULL, values, listed);
        mark_present(listed, present);
        return errno == ENOENT ? 0 : -errno;
    }
    flock(fd, LOCK_SH);
    err = read_locked(fd, values, listed);
    close(fd);
    mark_present(listed, present);
    return err;
}

int vcard_mixer_load(const char *dir, long values[VCARD_MIXER_ELEMS])
{
    int present[VCARD_MIXER_ELEMS];
    return vcard_mixer_load_present(dir, values, present);
}

/* Rewrites the file with the elements that exist; the caller holds the exclusive lock,
 * and readers take the shared one, so they never see the file half written. */
static int write_locked(int fd, const long values[VCARD_MIXER_ELEMS],
                        const int present[VCARD_MIXER_ELEMS])
{
    char text[1024];
    int len = 0;
    for (int i = 0; i < VCARD_MIXER_ELEMS; ++i)
        if (present[i])
            len += snprintf(text + len, sizeof(text) - (size_t)len, "%s %ld\n",
                            vcard_mixer_names[i], values[i]);
    if (ftruncate(fd, 0) < 0 || pwrite(fd, text, (size_t)len, 0) != len)
        return -EIO;
    return 0;
}

static int open_locked(const char *dir)
{
    char path[PATH_MAX];
    int fd;
    state_path(path, sizeof(path), dir);
    fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return -errno;
    flock(fd, LOCK_EX);
    return fd;
}

int vcard_mixer_store(const char *dir, int elem, long value)
{
    long values[VCARD_MIXER_ELEMS];
    int listed[VCARD_MIXER_ELEMS], present[VCARD_MIXER_ELEMS];
    int fd, err;

    if (elem < 0 || elem >= VCARD_MIXER_ELEMS)
        return -EINVAL;
    fd = open_locked(dir);
    if (fd < 0)
        return fd;
    read_locked(fd, values, listed);
    mark_present(listed, present);
    values[elem] = value < 0 ? 0 : value > VCARD_MIXER_MAX ? VCARD_MIXER_MAX : value;
    present[elem] = 1;
    err = write_locked(fd, values, present);
    close(fd);
    return err;
}

int vcard_mixer_create(const char *dir, int elem)
{
    long values[VCARD_MIXER_ELEMS];
    int listed[VCARD_MIXER_ELEMS];
    int fd, err;

    if (elem < 0 || elem >= VCARD_MIXER_ELEMS)
        return -EINVAL;
    if (!vcard_env_softvol())
        return 0;
    fd = open_locked(dir);
    if (fd < 0)
        return fd;
    read_locked(fd, values, listed);
    if (listed[elem]) {
        close(fd);
        return 0;
    }
    values[elem] = VCARD_MIXER_MAX;
    listed[elem] = 1;
    err = write_locked(fd, values, listed);
    close(fd);
    return err < 0 ? err : 1;
}

int vcard_mixer_elem_of_pcm(const char *pcm)
{
    for (int i = 0; i < VCARD_MIXER_ELEMS; ++i)
        if (strcmp(pcm, softvol_pcms[i]) == 0)
            return i;
    return -1;
}
