/* The device clock: how many frames the virtual card has consumed at a given moment. */
#pragma once

#include <stdint.h>

#include "vcard_env.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct vcard_clock {
    vcard_clock_cfg cfg;
    unsigned int rate;
    uint32_t period;   /* frames; snapping unit in period-pointer mode */
    int64_t base_ns;   /* CLOCK_MONOTONIC time of base_pos */
    uint64_t base_pos; /* frames consumed at base_ns */
    int stall_armed;   /* the configured stall still lies ahead in this run */
} vcard_clock;

int64_t vcard_clock_now_ns(void);

/* Starts counting at now_ns from pos frames; stall tells whether the configured stall
 * applies to this run. */
void vcard_clock_start(vcard_clock *c, int64_t now_ns, uint64_t pos, int stall);

/* Frames consumed at now_ns (never less than base_pos), snapped to whole periods in
 * period-pointer mode. Not meaningful for an unpaced clock. */
uint64_t vcard_clock_pos(const vcard_clock *c, int64_t now_ns);

/* Earliest CLOCK_MONOTONIC time at which vcard_clock_pos() reaches target. */
int64_t vcard_clock_time_of(const vcard_clock *c, uint64_t target);

#ifdef __cplusplus
}
#endif
