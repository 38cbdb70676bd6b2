/* Settings of the virtual sound card, read from the process environment. */
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* How the device clock runs. */
typedef struct vcard_clock_cfg {
    double speed;        /* device seconds per wall-clock second */
    int unpaced;         /* consume everything at once, never under-run */
    double ppm;          /* clock offset: positive runs fast */
    int period_pointer;  /* hardware pointer moves in whole periods */
    double stall_at_ms;  /* device time after start at which consumption stops; <0: never */
    double stall_for_ms; /* device time the stall lasts */
} vcard_clock_cfg;

/* Writes the folder for recordings, event log and mixer state into buf and
 * creates it if needed. Returns 0 or a negative errno. */
int vcard_env_dir(char *buf, size_t len);

/* Reads VCARD_SPEED, VCARD_PPM, VCARD_POINTER and VCARD_STALL. Bad values fall back
 * to the defaults (real time, continuous pointer, no stall). */
void vcard_env_clock(vcard_clock_cfg *cfg);

/* True when the comma-separated list in variable var names pcm (or holds "*"). */
int vcard_env_names(const char *var, const char *pcm);

/* VCARD_FORCE_RATE: the only rate granted, 0 when unset. */
unsigned int vcard_env_forced_rate(void);

/* VCARD_SOFTVOL: true when mixer elements exist only once their PCM was opened. */
int vcard_env_softvol(void);

/* VCARD_VANISH, "<pcm>:<ms>[,<pcm>:<ms>...]" (pcm may be "*"): the device time in ms
 * after which a handle of pcm goes away; negative when pcm is not named. */
double vcard_env_vanish_ms(const char *pcm);

#ifdef __cplusplus
}
#endif
