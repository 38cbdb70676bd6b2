/* Virtual playback device: an ALSA I/O plugin that consumes frames at the pace of a
 * (configurable) clock, records what it played to a WAV file and logs its events. */
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>
#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include "vcard_clock.h"
#include "vcard_env.h"
#include "vcard_events.h"
#include "vcard_mixer_state.h"
#include "vcard_wav.h"

typedef struct vcard_pcm {
    snd_pcm_ioplug_t io;
    char device[64];         /* PCM name: WAV file and event log name */
    char dir[PATH_MAX - 80]; /* card folder */
    int timer_fd;            /* poll descriptor, fires when the clock frees room */
    vcard_clock clock;
    vcard_wav wav;
    uint8_t *ring; /* the device buffer: frames written and not yet played */
    snd_pcm_uframes_t buffer_size;
    snd_pcm_uframes_t period_size;
    unsigned int frame_bytes;
    snd_pcm_uframes_t avail_min;
    snd_pcm_uframes_t stop_threshold;
    snd_pcm_uframes_t boundary;
    uint64_t written; /* frames received since prepare */
    uint64_t played;  /* frames played (and recorded) since prepare */
    int running;
    int xrun;
    int drained;
    unsigned int runs; /* starts since open: a stall applies to the first run only */
    int fail_close;    /* VCARD_FAIL_CLOSE names this device */
    double vanish_ms;  /* VCARD_VANISH: device time after the first start; <0: never */
    int64_t vanish_at; /* CLOCK_MONOTONIC time the device goes away; 0 until started */
    int gone;          /* the device went away: everything but close fails */
    /* The recorder thread writes what the clock has played while the program does not
     * call in; lock guards every field above against it. */
    pthread_mutex_t lock;
    pthread_cond_t wake; /* start and close wake the recorder */
    pthread_t recorder;
    int recorder_started;
    int closing;
} vcard_pcm;

/* A recording lags the clock by at most this much wall time (or one period). */
static const int64_t RECORD_MAX_LAG_NS = 10000000;
static const int64_t RECORD_MIN_LAG_NS = 2000000;

/* Every callback takes p->lock; the helpers below expect it held. alsa-lib's own PCM
 * lock does not cover the recorder thread. */

static int clock_unpaced(const vcard_pcm *p)
{
    return p->clock.cfg.unpaced;
}

static int may_xrun(const vcard_pcm *p)
{
    return !clock_unpaced(p) && p->stop_threshold <= p->buffer_size &&
           p->io.state != SND_PCM_STATE_DRAINING;
}

/* Writes frames [played, upto) from the device buffer to the recording. */
static void record_until(vcard_pcm *p, uint64_t upto)
{
    while (p->played < upto) {
        const snd_pcm_uframes_t idx = p->played % p->buffer_size;
        uint64_t n = upto - p->played;
        if (n > p->buffer_size - idx)
            n = p->buffer_size - idx;
        vcard_wav_append(&p->wav, p->ring + (size_t)idx * p->frame_bytes, (uint32_t)n);
        p->played += n;
    }
}

static uint64_t xrun_point(const vcard_pcm *p)
{
    const uint64_t slack = p->buffer_size - p->stop_threshold;
    return p->written > slack ? p->written - slack : 0;
}

/* "<dir>/<device><suffix>" */
static void device_file(const vcard_pcm *p, const char *suffix, char *buf, size_t len)
{
    snprintf(buf, len, "%s/%s%s", p->dir, p->device, suffix);
}

static void touch(const char *path)
{
    FILE *f = fopen(path, "w");
    if (f)
        fclose(f);
}

static int file_exists(const char *path)
{
    return access(path, F_OK) == 0;
}

/* A card gone away stays gone, for every process, while "<device>.gone" exists. */
static int device_is_gone(const char *dir, const char *device)
{
    char path[PATH_MAX];
    snprintf(path, sizeof(path), "%s/%s.gone", dir, device);
    return file_exists(path);
}

/* Arms the vanish at the first start, once per card folder: a device that came back
 * stays ("<device>.vanished" remembers that it went away once). */
static void arm_vanish(vcard_pcm *p, int64_t now)
{
    char path[PATH_MAX];
    double per_ms;
    if (p->vanish_ms < 0 || p->vanish_at != 0)
        return;
    device_file(p, ".vanished", path, sizeof(path));
    if (file_exists(path)) {
        p->vanish_ms = -1;
        return;
    }
    /* device time runs at the clock's speed; an unpaced card has only wall time */
    per_ms = clock_unpaced(p) ? 1.0 : p->clock.cfg.speed * (1.0 + p->clock.cfg.ppm * 1e-6);
    p->vanish_at = now + (int64_t)(p->vanish_ms / per_ms * 1e6);
    if (p->vanish_at == 0)
        p->vanish_at = 1;
}

/* Makes the device go away once its time has come. Returns 1 while it is gone. */
static int check_vanish(vcard_pcm *p, int64_t now)
{
    char path[PATH_MAX];
    if (p->gone)
        return 1;
    if (p->vanish_at == 0 || now < p->vanish_at)
        return 0;
    if (p->running && !p->xrun) {
        const uint64_t pos = clock_unpaced(p) ? p->written : vcard_clock_pos(&p->clock, p->vanish_at);
        record_until(p, pos < p->written ? pos : p->written);
    }
    p->gone = 1;
    p->running = 0;
    device_file(p, ".vanished", path, sizeof(path));
    touch(path);
    device_file(p, ".gone", path, sizeof(path));
    touch(path);
    vcard_event(p->device, "vanish", "played=%llu", (unsigned long long)p->played);
    return 1;
}

/* For callbacks on a device that went away: alsa-lib reports -ENODEV from the state. */
static int gone_error(vcard_pcm *p)
{
    snd_pcm_ioplug_set_state(&p->io, SND_PCM_STATE_DISCONNECTED);
    return -ENODEV;
}

/* Brings the position up to now. Returns -EPIPE once the device has under-run, -ENODEV
 * once it went away. */
static int update(vcard_pcm *p)
{
    uint64_t pos;
    int64_t now;

    if (check_vanish(p, vcard_clock_now_ns()))
        return -ENODEV;
    if (p->xrun)
        return -EPIPE;
    if (!p->running)
        return 0;
    now = vcard_clock_now_ns();
    pos = clock_unpaced(p) ? p->written : vcard_clock_pos(&p->clock, now);
    if (may_xrun(p) && pos >= xrun_point(p)) {
        record_until(p, pos < p->written ? pos : p->written);
        const int64_t at = vcard_clock_time_of(&p->clock, xrun_point(p));
        p->xrun = 1;
        /* noticed only now; "at" tells when the queue really ran dry */
        vcard_event(p->device, "xrun", "played=%llu at=%lld.%06lld", (unsigned long long)p->played,
                    (long long)(at / 1000000000LL), (long long)(at % 1000000000LL / 1000));
        return -EPIPE;
    }
    if (pos > p->written) {
        /* a starving device that may not stop waits for data from now on */
        pos = p->written;
        if (!clock_unpaced(p) && p->io.state != SND_PCM_STATE_DRAINING)
            vcard_clock_start(&p->clock, now, pos, 0);
    }
    record_until(p, pos);
    return 0;
}

static int start_clock(vcard_pcm *p)
{
    if (vcard_env_names("VCARD_FAIL_START", p->device)) {
        vcard_event(p->device, "start-failed", "queued=%llu", (unsigned long long)p->written);
        return -EIO;
    }
    if (p->gone)
        return gone_error(p);
    vcard_clock_start(&p->clock, vcard_clock_now_ns(), p->played, p->runs == 0);
    arm_vanish(p, p->clock.base_ns);
    p->running = 1;
    p->runs++;
    pthread_cond_signal(&p->wake);
    vcard_event(p->device, "start", "queued=%llu", (unsigned long long)(p->written - p->played));
    return 0;
}

/* Records what the clock has played so far; unlike update() it changes no state, so an
 * under-run is still noticed (and logged) when the program next calls in. */
static void record_played(vcard_pcm *p, int64_t now)
{
    uint64_t pos;
    if (!p->running || p->xrun)
        return;
    pos = clock_unpaced(p) ? p->written : vcard_clock_pos(&p->clock, now);
    record_until(p, pos < p->written ? pos : p->written);
}

/* When the recorder next looks: the end of the next period on the card's clock, within
 * [RECORD_MIN_LAG_NS, RECORD_MAX_LAG_NS] of now. */
static int64_t next_record_time(const vcard_pcm *p, int64_t now)
{
    int64_t at = now + RECORD_MAX_LAG_NS;
    if (!clock_unpaced(p) && p->clock.rate > 0) {
        const int64_t period_end = vcard_clock_time_of(&p->clock, p->played + p->period_size);
        if (period_end < at)
            at = period_end;
    }
    return at < now + RECORD_MIN_LAG_NS ? now + RECORD_MIN_LAG_NS : at;
}

static void *recorder_main(void *arg)
{
    vcard_pcm *p = arg;
    pthread_mutex_lock(&p->lock);
    while (!p->closing) {
        const int64_t now = vcard_clock_now_ns();
        /* the device goes away on time, whether or not the program calls in */
        const int vanishing = !check_vanish(p, now) && p->vanish_at != 0;
        if ((p->running && !p->xrun) || vanishing) {
            int64_t at = p->running && !p->xrun ? next_record_time(p, now) : p->vanish_at;
            struct timespec until;
            if (vanishing && p->vanish_at < at)
                at = p->vanish_at;
            record_played(p, now);
            until.tv_sec = at / 1000000000LL;
            until.tv_nsec = at % 1000000000LL;
            pthread_cond_timedwait(&p->wake, &p->lock, &until);
        } else {
            pthread_cond_wait(&p->wake, &p->lock);
        }
    }
    pthread_mutex_unlock(&p->lock);
    return NULL;
}

static int recorder_init(vcard_pcm *p)
{
    pthread_condattr_t attr;
    int err;
    if ((err = pthread_mutex_init(&p->lock, NULL)) != 0)
        return -err;
    if ((err = pthread_condattr_init(&attr)) != 0)
        goto fail_mutex;
    /* deadlines come from the card's monotonic clock */
    err = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    if (err == 0)
        err = pthread_cond_init(&p->wake, &attr);
    pthread_condattr_destroy(&attr);
    if (err != 0)
        goto fail_mutex;
    return 0;
fail_mutex:
    pthread_mutex_destroy(&p->lock);
    return -err;
}

/* The recorder takes no signals: a handler that closes the device on it would wait
 * for itself. */
static int recorder_start(vcard_pcm *p)
{
    sigset_t all, old;
    int err;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    err = pthread_create(&p->recorder, NULL, recorder_main, p);
    pthread_sigmask(SIG_SETMASK, &old, NULL);
    if (err != 0)
        return -err;
    pthread_setname_np(p->recorder, "vcard-rec");
    p->recorder_started = 1;
    return 0;
}

static void recorder_destroy(vcard_pcm *p)
{
    if (p->recorder_started) {
        pthread_mutex_lock(&p->lock);
        p->closing = 1;
        pthread_cond_signal(&p->wake);
        pthread_mutex_unlock(&p->lock);
        pthread_join(p->recorder, NULL);
        p->recorder_started = 0;
    }
    pthread_cond_destroy(&p->wake);
    pthread_mutex_destroy(&p->lock);
}

static int vcard_start(snd_pcm_ioplug_t *io)
{
    vcard_pcm *p = io->private_data;
    pthread_mutex_lock(&p->lock);
    const int err = start_clock(p);
    pthread_mutex_unlock(&p->lock);
    return err;
}

static int vcard_stop(snd_pcm_ioplug_t *io)
{
    vcard_pcm *p = io->private_data;
    pthread_mutex_lock(&p->lock);
    if (p->running && !p->xrun)
        update(p);
    /* after a drain or an under-run nothing is left to discard */
    if (p->running && !p->drained && !p->xrun)
        vcard_event(p->device, "drop", "discarded=%llu played=%llu",
                    (unsigned long long)(p->written - p->played), (unsigned long long)p->played);
    p->running = 0;
    pthread_mutex_unlock(&p->lock);
    return 0;
}

static snd_pcm_sframes_t vcard_pointer(snd_pcm_ioplug_t *io)
{
    vcard_pcm *p = io->private_data;
    snd_pcm_sframes_t pos = -EPIPE;
    pthread_mutex_lock(&p->lock);
    const int err = update(p);
    /* an error here would read as an under-run: a gone device reports through its state */
    if (err == 0 || err == -ENODEV)
        pos = (snd_pcm_sframes_t)(p->played % p->boundary);
    if (err == -ENODEV)
        gone_error(p);
    pthread_mutex_unlock(&p->lock);
    return pos;
}

static int vcard_delay(snd_pcm_ioplug_t *io, snd_pcm_sframes_t *delayp)
{
    vcard_pcm *p = io->private_data;
    int err;
    pthread_mutex_lock(&p->lock);
    err = update(p);
    if (err == 0)
        *delayp = (snd_pcm_sframes_t)(p->written - p->played);
    if (err == -ENODEV)
        gone_error(p);
    pthread_mutex_unlock(&p->lock);
    if (err == -ENODEV)
        return err;
    if (err < 0) {
        snd_pcm_ioplug_set_state(io, SND_PCM_STATE_XRUN);
        return -EPIPE;
    }
    return 0;
}

static snd_pcm_sframes_t vcard_transfer(snd_pcm_ioplug_t *io, const snd_pcm_channel_area_t *areas,
                                        snd_pcm_uframes_t offset, snd_pcm_uframes_t size)
{
    vcard_pcm *p = io->private_data;
    snd_pcm_uframes_t done = 0;
    snd_pcm_channel_area_t dst[io->channels];

    pthread_mutex_lock(&p->lock);
    if (check_vanish(p, vcard_clock_now_ns())) {
        const int err = gone_error(p);
        pthread_mutex_unlock(&p->lock);
        return err;
    }
    for (unsigned int ch = 0; ch < io->channels; ++ch) {
        dst[ch].addr = p->ring;
        dst[ch].first = ch * 16;
        dst[ch].step = p->frame_bytes * 8;
    }
    while (done < size) {
        const snd_pcm_uframes_t idx = (p->written + done) % p->buffer_size;
        snd_pcm_uframes_t n = size - done;
        if (n > p->buffer_size - idx)
            n = p->buffer_size - idx;
        snd_pcm_areas_copy(dst, idx, areas, offset + done, io->channels, n, io->format);
        done += n;
    }
    p->written += size;
    pthread_mutex_unlock(&p->lock);
    return (snd_pcm_sframes_t)size;
}

/* Runs without the PCM lock: blocks until every queued frame has played. */
static int vcard_drain(snd_pcm_ioplug_t *io)
{
    vcard_pcm *p = io->private_data;
    pthread_mutex_lock(&p->lock);
    if (check_vanish(p, vcard_clock_now_ns())) {
        const int err = gone_error(p);
        pthread_mutex_unlock(&p->lock);
        return err;
    }
    /* alsa-lib drains a prepared stream without starting it: a device plays it out */
    if (!p->running && !p->xrun && p->written > p->played) {
        int err = start_clock(p);
        if (err < 0) {
            pthread_mutex_unlock(&p->lock);
            return err;
        }
    }
    while (p->running && !p->xrun) {
        struct timespec until;
        int64_t t;
        if (update(p) == -ENODEV) {
            const int err = gone_error(p);
            pthread_mutex_unlock(&p->lock);
            return err;
        }
        if (p->played >= p->written)
            break;
        t = vcard_clock_time_of(&p->clock, p->written);
        until.tv_sec = t / 1000000000LL;
        until.tv_nsec = t % 1000000000LL;
        pthread_mutex_unlock(&p->lock);
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, NULL);
        pthread_mutex_lock(&p->lock);
    }
    p->drained = 1;
    vcard_event(p->device, "drain", "played=%llu", (unsigned long long)p->played);
    pthread_mutex_unlock(&p->lock);
    return 0;
}

static int vcard_prepare(snd_pcm_ioplug_t *io)
{
    vcard_pcm *p = io->private_data;
    pthread_mutex_lock(&p->lock);
    /* a running device (a resume after a pause) has played frames nobody asked about yet */
    if (p->running)
        update(p);
    if (check_vanish(p, vcard_clock_now_ns())) {
        const int err = gone_error(p);
        pthread_mutex_unlock(&p->lock);
        return err;
    }
    p->running = 0;
    p->xrun = 0;
    p->drained = 0;
    p->written = 0;
    p->played = 0;
    pthread_mutex_unlock(&p->lock);
    return 0;
}

static void default_sw_params(vcard_pcm *p)
{
    p->avail_min = p->period_size;
    p->stop_threshold = p->buffer_size;
    /* alsa-lib's default boundary: the largest buffer multiple below LONG_MAX */
    p->boundary = p->buffer_size;
    while (p->boundary * 2 <= LONG_MAX - p->buffer_size)
        p->boundary *= 2;
}

static int apply_hw_params(vcard_pcm *p, snd_pcm_hw_params_t *params)
{
    unsigned int rate = 0, channels = 0;
    snd_pcm_access_t access;
    int err;

    snd_pcm_hw_params_get_rate(params, &rate, NULL);
    snd_pcm_hw_params_get_channels(params, &channels);
    snd_pcm_hw_params_get_buffer_size(params, &p->buffer_size);
    snd_pcm_hw_params_get_period_size(params, &p->period_size, NULL);
    snd_pcm_hw_params_get_access(params, &access);
    p->frame_bytes = channels * 2;
    free(p->ring);
    p->ring = calloc(p->buffer_size, p->frame_bytes);
    if (!p->ring)
        return -ENOMEM;
    p->clock.rate = rate;
    p->clock.period = (uint32_t)p->period_size;
    default_sw_params(p);
    err = vcard_wav_open(&p->wav, p->dir, p->device, rate, channels);
    if (err < 0)
        SNDERR("vcard: cannot record %s/%s.wav: %s", p->dir, p->device, strerror(-err));
    vcard_event(p->device, "open", "rate=%u channels=%u period=%lu buffer=%lu access=%s", rate,
                channels, (unsigned long)p->period_size, (unsigned long)p->buffer_size,
                access == SND_PCM_ACCESS_MMAP_INTERLEAVED ? "mmap" : "rw");
    return 0;
}

static int vcard_hw_params(snd_pcm_ioplug_t *io, snd_pcm_hw_params_t *params)
{
    vcard_pcm *p = io->private_data;
    pthread_mutex_lock(&p->lock);
    const int err = apply_hw_params(p, params);
    pthread_mutex_unlock(&p->lock);
    return err;
}

static int vcard_sw_params(snd_pcm_ioplug_t *io, snd_pcm_sw_params_t *params)
{
    vcard_pcm *p = io->private_data;
    pthread_mutex_lock(&p->lock);
    snd_pcm_sw_params_get_avail_min(params, &p->avail_min);
    snd_pcm_sw_params_get_stop_threshold(params, &p->stop_threshold);
    snd_pcm_sw_params_get_boundary(params, &p->boundary);
    if (p->avail_min < 1)
        p->avail_min = 1;
    if (p->avail_min > p->buffer_size)
        p->avail_min = p->buffer_size;
    pthread_mutex_unlock(&p->lock);
    return 0;
}

static void arm_timer(vcard_pcm *p, int64_t at_ns)
{
    struct itimerspec its;
    memset(&its, 0, sizeof(its));
    /* a zero expiry would disarm the timer */
    if (at_ns <= 0)
        at_ns = 1;
    its.it_value.tv_sec = at_ns / 1000000000LL;
    its.it_value.tv_nsec = at_ns % 1000000000LL;
    timerfd_settime(p->timer_fd, TFD_TIMER_ABSTIME, &its, NULL);
}

/* The moment the waiter has something to do: room for avail_min frames, or the
 * end of a drain. */
static int64_t room_time(const vcard_pcm *p)
{
    uint64_t target;
    if (!p->running || p->xrun || clock_unpaced(p))
        return 1;
    if (p->io.state == SND_PCM_STATE_DRAINING)
        target = p->written;
    else if (p->written + p->avail_min > p->buffer_size)
        target = p->written + p->avail_min - p->buffer_size;
    else
        return 1;
    return vcard_clock_time_of(&p->clock, target);
}

/* ... or the moment the device goes away. */
static int64_t wake_time(const vcard_pcm *p)
{
    const int64_t at = room_time(p);
    if (p->gone)
        return 1;
    return p->vanish_at != 0 && p->vanish_at < at ? p->vanish_at : at;
}

static int ready(const vcard_pcm *p)
{
    if (!p->running || p->xrun || clock_unpaced(p))
        return 1;
    if (p->io.state == SND_PCM_STATE_DRAINING)
        return p->played >= p->written;
    return p->buffer_size - (p->written - p->played) >= p->avail_min;
}

static int vcard_poll_count(snd_pcm_ioplug_t *io)
{
    (void)io;
    return 1;
}

static int vcard_poll_descriptors(snd_pcm_ioplug_t *io, struct pollfd *pfd, unsigned int space)
{
    vcard_pcm *p = io->private_data;
    if (space < 1)
        return -EINVAL;
    pthread_mutex_lock(&p->lock);
    update(p);
    arm_timer(p, wake_time(p));
    pthread_mutex_unlock(&p->lock);
    pfd->fd = p->timer_fd;
    pfd->events = POLLIN;
    pfd->revents = 0;
    return 1;
}

static int vcard_poll_revents(snd_pcm_ioplug_t *io, struct pollfd *pfd, unsigned int nfds,
                              unsigned short *revents)
{
    vcard_pcm *p = io->private_data;
    uint64_t expirations;
    (void)nfds;
    if (pfd->revents & POLLIN) {
        if (read(p->timer_fd, &expirations, sizeof(expirations)) < 0) {
            /* already consumed: the state below decides anyway */
        }
    }
    pthread_mutex_lock(&p->lock);
    if (update(p) == -ENODEV) {
        gone_error(p);
        *revents = POLLOUT | POLLERR;
    } else if (p->xrun)
        *revents = POLLOUT | POLLERR;
    else if (ready(p))
        *revents = POLLOUT;
    else {
        arm_timer(p, wake_time(p));
        *revents = 0;
    }
    pthread_mutex_unlock(&p->lock);
    return 0;
}

/* Runs at snd_pcm_close (and before every new hw_params): where a failing close shows
 * up, since alsa-lib ignores the result of the close callback itself. */
static int vcard_hw_free(snd_pcm_ioplug_t *io)
{
    const vcard_pcm *p = io->private_data;
    return p->fail_close ? -ENODEV : 0;
}

static int vcard_close(snd_pcm_ioplug_t *io)
{
    vcard_pcm *p = io->private_data;
    const int fail = p->fail_close;
    pthread_mutex_lock(&p->lock);
    if (p->running && !p->xrun)
        update(p);
    pthread_mutex_unlock(&p->lock);
    recorder_destroy(p);
    vcard_event(p->device, "close", "played=%llu%s", (unsigned long long)p->played,
                fail ? " failed=1" : "");
    vcard_wav_close(&p->wav);
    if (p->timer_fd >= 0)
        close(p->timer_fd);
    free(p->ring);
    free(p);
    /* freed either way, as alsa-lib frees the handle whatever a close returns */
    return fail ? -ENODEV : 0;
}

static const snd_pcm_ioplug_callback_t vcard_callbacks = {
    .start = vcard_start,
    .stop = vcard_stop,
    .pointer = vcard_pointer,
    .transfer = vcard_transfer,
    .close = vcard_close,
    .hw_params = vcard_hw_params,
    .hw_free = vcard_hw_free,
    .sw_params = vcard_sw_params,
    .prepare = vcard_prepare,
    .drain = vcard_drain,
    .poll_descriptors_count = vcard_poll_count,
    .poll_descriptors = vcard_poll_descriptors,
    .poll_revents = vcard_poll_revents,
    .delay = vcard_delay,
};

static int set_constraints(vcard_pcm *p, unsigned int rate, unsigned int channels)
{
    static const unsigned int access[] = {SND_PCM_ACCESS_RW_INTERLEAVED,
                                          SND_PCM_ACCESS_MMAP_INTERLEAVED};
    static const unsigned int formats[] = {SND_PCM_FORMAT_S16_LE};
    snd_pcm_ioplug_t *io = &p->io;
    const unsigned int forced = vcard_env_forced_rate();
    int err;

    if (forced)
        rate = forced;
    if ((err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_ACCESS, 2, access)) < 0 ||
        (err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_FORMAT, 1, formats)) < 0 ||
        (err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_CHANNELS,
                                               channels ? channels : 1, channels ? channels : 8)) < 0 ||
        (err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_RATE, rate ? rate : 8000,
                                               rate ? rate : 96000)) < 0 ||
        (err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIOD_BYTES, 512, 65536)) < 0 ||
        (err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIODS, 2, 64)) < 0 ||
        (err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_BUFFER_BYTES, 4096, 131072)) < 0)
        return err;
    return 0;
}

/* Reads the device's own settings: "device" (recording name), "rate" and "channels"
 * (fix the format, as a dmix slave does). */
static int parse_conf(snd_config_t *conf, const char *name, vcard_pcm *p, long *rate,
                      long *channels)
{
    snd_config_iterator_t i, next;
    snprintf(p->device, sizeof(p->device), "%s", name ? name : "vcard");
    snd_config_for_each(i, next, conf)
    {
        snd_config_t *n = snd_config_iterator_entry(i);
        const char *id, *s;
        if (snd_config_get_id(n, &id) < 0)
            continue;
        if (!strcmp(id, "comment") || !strcmp(id, "type") || !strcmp(id, "hint"))
            continue;
        if (!strcmp(id, "device") && snd_config_get_string(n, &s) == 0) {
            snprintf(p->device, sizeof(p->device), "%s", s);
            continue;
        }
        if (!strcmp(id, "rate") && snd_config_get_integer(n, rate) == 0)
            continue;
        if (!strcmp(id, "channels") && snd_config_get_integer(n, channels) == 0)
            continue;
        SNDERR("vcard: unknown or bad field %s", id);
        return -EINVAL;
    }
    return 0;
}

SND_PCM_PLUGIN_DEFINE_FUNC(vcard)
{
    vcard_pcm *p;
    long rate = 0, channels = 0;
    int err, elem;
    (void)root;

    if (stream != SND_PCM_STREAM_PLAYBACK)
        return -ENOTSUP;
    p = calloc(1, sizeof(*p));
    if (!p)
        return -ENOMEM;
    p->timer_fd = -1;
    p->wav.fd = -1;
    err = recorder_init(p);
    if (err < 0) {
        free(p);
        return err;
    }
    err = parse_conf(conf, name, p, &rate, &channels);
    if (err < 0)
        goto fail;
    if (vcard_env_names("VCARD_FAIL_OPEN", p->device)) {
        vcard_event(p->device, "open-refused", "%s", "");
        err = -ENODEV;
        goto fail;
    }
    err = vcard_env_dir(p->dir, sizeof(p->dir));
    if (err < 0)
        goto fail;
    if (device_is_gone(p->dir, p->device)) {
        vcard_event(p->device, "open-refused", "%s", "gone=1");
        err = -ENODEV;
        goto fail;
    }
    p->fail_close = vcard_env_names("VCARD_FAIL_CLOSE", p->device);
    p->vanish_ms = vcard_env_vanish_ms(p->device);
    vcard_env_clock(&p->clock.cfg);
    p->timer_fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (p->timer_fd < 0) {
        err = -errno;
        goto fail;
    }
    p->io.version = SND_PCM_IOPLUG_VERSION;
    p->io.name = "Virtual sound card";
    p->io.callback = &vcard_callbacks;
    p->io.private_data = p;
    p->io.poll_fd = p->timer_fd;
    p->io.poll_events = POLLIN;
    p->io.mmap_rw = 0;
    p->io.flags = SND_PCM_IOPLUG_FLAG_BOUNDARY_WA | SND_PCM_IOPLUG_FLAG_MONOTONIC;
    err = snd_pcm_ioplug_create(&p->io, name, stream, mode);
    if (err < 0)
        goto fail;
    err = set_constraints(p, (unsigned int)rate, (unsigned int)channels);
    if (err == 0)
        err = recorder_start(p);
    if (err < 0) {
        p->fail_close = 0;
        snd_pcm_ioplug_delete(&p->io); /* calls vcard_close, which frees p */
        return err;
    }
    /* like softvol, which creates its control when its PCM is first opened */
    elem = vcard_mixer_elem_of_pcm(p->device);
    if (elem >= 0 && vcard_mixer_create(p->dir, elem) > 0)
        vcard_event(p->device, "control-created", "element=%s", vcard_mixer_names[elem]);
    *pcmp = p->io.pcm;
    return 0;

fail:
    if (p->timer_fd >= 0)
        close(p->timer_fd);
    recorder_destroy(p);
    free(p);
    return err;
}

SND_PCM_PLUGIN_SYMBOL(vcard);
