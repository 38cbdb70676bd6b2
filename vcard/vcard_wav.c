#include "vcard_wav.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

enum { WAV_HEADER_BYTES = 44 };
/* RIFF sizes are 32-bit; stop recording well before they overflow */
static const uint32_t WAV_MAX_DATA = 0xF0000000u;

static void put_le16(uint8_t *p, uint32_t v)
{
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}

static void put_le32(uint8_t *p, uint32_t v)
{
    put_le16(p, v & 0xFFFF);
    put_le16(p + 2, v >> 16);
}

static void make_header(uint8_t *h, unsigned int rate, unsigned int channels, uint32_t data)
{
    const uint32_t block = channels * 2u;
    memcpy(h, "RIFF", 4);
    put_le32(h + 4, 36 + data);
    memcpy(h + 8, "WAVEfmt ", 8);
    put_le32(h + 16, 16);
    put_le16(h + 20, 1); /* PCM */
    put_le16(h + 22, channels);
    put_le32(h + 24, rate);
    put_le32(h + 28, rate * block);
    put_le16(h + 32, block);
    put_le16(h + 34, 16);
    memcpy(h + 36, "data", 4);
    put_le32(h + 40, data);
}

/* Returns the audio bytes of an existing recording of this format, or -1. */
static long long existing_data(int fd, unsigned int rate, unsigned int channels)
{
    uint8_t have[WAV_HEADER_BYTES], want[WAV_HEADER_BYTES];
    struct stat st;
    if (pread(fd, have, sizeof(have), 0) != (ssize_t)sizeof(have) || fstat(fd, &st) < 0)
        return -1;
    make_header(want, rate, channels, 0);
    if (memcmp(have, want, 4) || memcmp(have + 8, want + 8, 32))
        return -1;
    /* trust the file size over the header: it tells what really reached the disk */
    long long data = (long long)st.st_size - WAV_HEADER_BYTES;
    data -= data % (long long)(channels * 2u);
    return data <= (long long)WAV_MAX_DATA ? data : -1;
}

static void keep_old_recording(const char *path, const char *dir, const char *name)
{
    char old[PATH_MAX];
    struct stat st;
    for (int n = 1; n < 10000; ++n) {
        snprintf(old, sizeof(old), "%s/%s-%d.wav", dir, name, n);
        if (stat(old, &st) < 0 && errno == ENOENT) {
            rename(path, old);
            return;
        }
    }
}

int vcard_wav_open(vcard_wav *wav, const char *dir, const char *name, unsigned int rate,
                   unsigned int channels)
{
    char path[PATH_MAX];
    uint8_t h[WAV_HEADER_BYTES];
    long long data = -1;
    int fd;

    vcard_wav_close(wav);
    if ((size_t)snprintf(path, sizeof(path), "%s/%s.wav", dir, name) >= sizeof(path))
        return -ENAMETOOLONG;
    fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd >= 0) {
        data = existing_data(fd, rate, channels);
        if (data < 0) {
            close(fd);
            keep_old_recording(path, dir, name);
        }
    }
    if (data < 0) {
        fd = open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0)
            return -errno;
        data = 0;
    }
    make_header(h, rate, channels, (uint32_t)data);
    if (pwrite(fd, h, sizeof(h), 0) != (ssize_t)sizeof(h) ||
        ftruncate(fd, WAV_HEADER_BYTES + data) < 0) {
        int err = -errno;
        close(fd);
        return err ? err : -EIO;
    }
    wav->fd = fd;
    wav->rate = rate;
    wav->channels = channels;
    wav->data_bytes = (uint32_t)data;
    return 0;
}

int vcard_wav_append(vcard_wav *wav, const void *data, uint32_t frames)
{
    uint8_t sizes[4];
    uint64_t bytes = (uint64_t)frames * wav->channels * 2u;
    ssize_t done;

    if (wav->fd < 0 || frames == 0)
        return 0;
    if (wav->data_bytes + bytes > WAV_MAX_DATA)
        return -EFBIG;
    done = pwrite(wav->fd, data, (size_t)bytes, WAV_HEADER_BYTES + (off_t)wav->data_bytes);
    if (done != (ssize_t)bytes)
        return done < 0 ? -errno : -EIO;
    wav->data_bytes += (uint32_t)bytes;
    /* sizes follow the data, so the header never claims bytes that are not there */
    put_le32(sizes, 36 + wav->data_bytes);
    if (pwrite(wav->fd, sizes, 4, 4) != 4)
        return -EIO;
    put_le32(sizes, wav->data_bytes);
    if (pwrite(wav->fd, sizes, 4, 40) != 4)
        return -EIO;
    return 0;
}

void vcard_wav_close(vcard_wav *wav)
{
    if (wav->fd >= 0)
        close(wav->fd);
    wav->fd = -1;
    wav->data_bytes = 0;
}
