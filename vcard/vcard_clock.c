#include "vcard_clock.h"

#include <math.h>
#include <time.h>

int64_t vcard_clock_now_ns(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

void vcard_clock_start(vcard_clock *c, int64_t now_ns, uint64_t pos, int stall)
{
    c->base_ns = now_ns;
    c->base_pos = pos;
    c->stall_armed = stall && c->cfg.stall_at_ms >= 0.0 && c->cfg.stall_for_ms > 0.0;
}

static double device_per_wall(const vcard_clock *c)
{
    return c->cfg.speed * (1.0 + c->cfg.ppm * 1e-6);
}

/* Seconds of audio played after d device seconds: the stall holds the position. */
static double played_seconds(const vcard_clock *c, double d)
{
    const double at = c->cfg.stall_at_ms / 1000.0;
    const double dur = c->cfg.stall_for_ms / 1000.0;
    if (!c->stall_armed || d < at)
        return d;
    return d < at + dur ? at : d - dur;
}

uint64_t vcard_clock_pos(const vcard_clock *c, int64_t now_ns)
{
    double d, frames;
    uint64_t n;
    if (now_ns <= c->base_ns)
        return c->base_pos;
    d = (double)(now_ns - c->base_ns) * 1e-9 * device_per_wall(c);
    /* the epsilon absorbs rounding, so whole seconds give whole frame counts */
    frames = floor(played_seconds(c, d) * c->rate + 1e-6);
    n = (uint64_t)frames;
    if (c->cfg.period_pointer && c->period > 0)
        n -= n % c->period;
    return c->base_pos + n;
}

int64_t vcard_clock_time_of(const vcard_clock *c, uint64_t target)
{
    const double at = c->cfg.stall_at_ms / 1000.0;
    uint64_t k;
    double y, d;
    if (target <= c->base_pos)
        return c->base_ns;
    k = target - c->base_pos;
    if (c->cfg.period_pointer && c->period > 0)
        k = (k + c->period - 1) / c->period * c->period;
    y = (double)k / c->rate;
    d = y;
    if (c->stall_armed && y > at)
        d = y + c->cfg.stall_for_ms / 1000.0;
    /* round up, plus a nanosecond, so the position has surely arrived */
    return c->base_ns + (int64_t)ceil(d / device_per_wall(c) * 1e9) + 1;
}
