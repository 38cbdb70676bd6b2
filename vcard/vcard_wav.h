/* WAV recording of what a virtual PCM played. The header is rewritten after every
 * append, so a reader sees a valid file at any moment. */
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct vcard_wav {
    int fd;             /* -1 while closed */
    unsigned int rate;
    unsigned int channels;
    uint32_t data_bytes; /* bytes of audio in the file */
} vcard_wav;

/* Opens <dir>/<name>.wav for 16-bit PCM. An existing recording with the same format is
 * continued (a process may close and reopen its device between tracks); one with another
 * format is kept as <name>-<n>.wav and a new file is started. Returns 0 or -errno. */
int vcard_wav_open(vcard_wav *wav, const char *dir, const char *name, unsigned int rate,
                   unsigned int channels);

/* Appends frames of interleaved S16_LE audio and updates the header sizes. */
int vcard_wav_append(vcard_wav *wav, const void *data, uint32_t frames);

void vcard_wav_close(vcard_wav *wav);

#ifdef __cplusplus
}
#endif
