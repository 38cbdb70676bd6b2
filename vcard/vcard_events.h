/* Event log of the virtual sound card: one line per event, shared by every process. */
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

/* Appends "<monotonic seconds> <pid> <pcm> <event> <details>\n" to events.log in the
 * card's folder. One write() per line with O_APPEND, so lines of several processes
 * never interleave. Failures are ignored: the log must not break playback. */
void vcard_event(const char *pcm, const char *event, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

#ifdef __cplusplus
}
#endif
