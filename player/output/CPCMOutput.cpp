#include "player/output/CPCMOutput.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "utils/CLogger.h"

namespace {
struct HwParamsFree {
    void operator()(snd_pcm_hw_params_t* p) const noexcept { snd_pcm_hw_params_free(p); }
};
struct SwParamsFree {
    void operator()(snd_pcm_sw_params_t* p) const noexcept { snd_pcm_sw_params_free(p); }
};

int64_t MonotonicNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}
}  // namespace

CPCMOutput::CPCMOutput() = default;

CPCMOutput::~CPCMOutput() = default;

void CPCMOutput::set_player_prefix(const char* text) {
    CAudioOutput::set_player_prefix((std::string(text ? text : "") + " AUDIO OUT:").c_str());
}

int CPCMOutput::SetAudioFormat(const AudioFormat* format) {
    if (!format || format->bits * format->channels * format->rate == 0) {
        utils::logger.debug(
            "%s Improper audio format provided: bits=%d,channels=%d,rate=%d. Clearing audio "
            "format values.",
            get_player_prefix(), format ? format->bits : 0, format ? format->channels : 0,
            format ? format->rate : 0);
        ClearFormat();
        return -1;
    }
    m_bits = format->bits;
    m_channels = format->channels;
    m_rate = format->rate;
    int result = DeInitWithDrain();
    if (result != 0)
        utils::logger.error(
            "%s ERROR :CPCMOutput::SetAudioFormat(): Error iitilaizing with format(): "
            "format:[%d,%d,%d]\n",
            get_player_prefix(), m_bits, m_channels, m_rate);
    // A failed close still let go of the old handle: the new format may open all the same.
    if (!m_handle)
        result = Initialize();
    // A device that went away takes the format when it comes back.
    if (result < 0 && m_lost)
        return 0;
    if (result < 0)
        ClearFormat();
    return result;
}

int CPCMOutput::Initialize() {
    if (m_handle) {
        utils::logger.warning("%s CPCMOutput::Initialize(): already initiliazed with audio interface %s \n",
                              get_player_prefix(), m_device_name.c_str());
        return 0;
    }
    snd_pcm_t* raw = nullptr;
    int r = snd_pcm_open(&raw, m_device_name.c_str(), SND_PCM_STREAM_PLAYBACK, 0);
    if (r < 0) {
        utils::logger.error("%s ERROR :CPCMOutput::Initialize(): cannot open audio device %s (%s)\n",
                            get_player_prefix(), m_device_name.c_str(), snd_strerror(r));
        return -1;
    }
    m_handle.reset(raw);
    r = set_hwparams();
    if (r < 0) {
        utils::logger.error("%s ERROR :CPCMOutput::Initialize(): cannot set HW params (%s)\n",
                            get_player_prefix(), snd_strerror(r));
        return -1;
    }
    r = snd_pcm_prepare(raw);
    if (r < 0) {
        utils::logger.error(
            "%s ERROR :CPCMOutput::Initialize(): cannot prepare audio interface for use (%s)\n",
            get_player_prefix(), snd_strerror(r));
        return -1;
    }
    r = set_swparams();
    if (r < 0) {
        utils::logger.error(
            "%s ERROR :CPCMOutput::Initialize(): cannot allocate minimal pcm playback threshold "
            "of 4096B frames\n",
            get_player_prefix());
        return r;
    }
    if (m_lost)
        utils::logger.notice("%s CPCMOutput::Initialize(): audio device %s is back.\n", get_player_prefix(),
                             m_device_name.c_str());
    m_lost = false;
    if (m_open_listener) m_open_listener();
    return 0;
}

int CPCMOutput::set_hwparams() {
    snd_pcm_hw_params_t* raw = nullptr;
    const int r = snd_pcm_hw_params_malloc(&raw);
    if (r < 0) {
        utils::logger.error(
            "%s ERROR :CPCMOutput::set_hwparams(): cannot allocate hardware parameter structure "
            "(%s)\n",
            get_player_prefix(), snd_strerror(r));
        return -1;
    }
    std::unique_ptr<snd_pcm_hw_params_t, HwParamsFree> params(raw);
    return ApplyHwParams(params.get());
}

// Every failure returns at once; the parameter block is freed by the caller's owner.
int CPCMOutput::ApplyHwParams(snd_pcm_hw_params_t* params) {
    snd_pcm_t* pcm = m_handle.get();
    const char* prefix = get_player_prefix();
    int r = snd_pcm_hw_params_any(pcm, params);
    if (r < 0) {
        utils::logger.error(
            "%s ERROR :CPCMOutput::set_hwparams(): cannot initialize hardware parameter structure "
            "(%s)\n",
            prefix, snd_strerror(r));
        return -1;
    }
    if ((r = snd_pcm_hw_params_set_rate_resample(pcm, params, 1)) < 0) {
        utils::logger.error("%s ERROR :CPCMOutput::set_hwparams(): Resampling setup failed for playback: %s\n",
                            prefix, snd_strerror(r));
        return r;
    }
    if ((r = snd_pcm_hw_params_set_access(pcm, params, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0) {
        utils::logger.error("%s ERROR :CPCMOutput::set_hwparams(): cannot set access type (%s)\n", prefix,
                            snd_strerror(r));
        return -1;
    }
    // The decoders always deliver signed 16-bit samples, whatever bits the format names.
    if ((r = snd_pcm_hw_params_set_format(pcm, params, SND_PCM_FORMAT_S16_LE)) < 0) {
        utils::logger.error("%s ERROR :CPCMOutput::set_hwparams(): cannot set sample format (%s)\n", prefix,
                            snd_strerror(r));
        return -1;
    }
    utils::logger.info("%s CPCMOutput::set_hwparams(): Setting samplerate to %d...\n", prefix, m_rate);
    unsigned int rate = static_cast<unsigned int>(m_rate);
    if ((r = snd_pcm_hw_params_set_rate_near(pcm, params, &rate, nullptr)) < 0) {
        utils::logger.error("%s ERROR :CPCMOutput::set_hwparams(): cannot set sample rate (%s)\n", prefix,
                            snd_strerror(r));
        return -1;
    }
    if (rate != static_cast<unsigned int>(m_rate)) {
        utils::logger.error(
            "%s ERROR :CPCMOutput::set_hwparams(): Rate doesn't match (requested %iHz, get %iHz)\n",
            prefix, m_rate, static_cast<int>(rate));
        return -EINVAL;
    }
    if ((r = snd_pcm_hw_params_set_channels(pcm, params, static_cast<unsigned int>(m_channels))) < 0) {
        utils::logger.error("%s ERROR :CPCMOutput::set_hwparams(): cannot set channel count to %d (%s)\n",
                            prefix, m_channels, snd_strerror(r));
        return -1;
    }
    if ((r = snd_pcm_hw_params(pcm, params)) < 0) {
        utils::logger.error("%s ERROR :CPCMOutput::set_hwparams(): cannot set parameters (%s)\n", prefix,
                            snd_strerror(r));
        return -1;
    }
    return 0;
}

int CPCMOutput::set_swparams() {
    snd_pcm_sw_params_t* raw = nullptr;
    int r = snd_pcm_sw_params_malloc(&raw);
    if (r < 0)
        return r;
    std::unique_ptr<snd_pcm_sw_params_t, SwParamsFree> params(raw);
    snd_pcm_t* pcm = m_handle.get();
    if ((r = snd_pcm_sw_params_current(pcm, raw)) < 0) {
        utils::logger.error(
            "%s ERROR :CPCMOutput::set_swparams(): Unable to determine current swparams for "
            "playback: %s\n",
            get_player_prefix(), snd_strerror(r));
        return r;
    }
    if ((r = snd_pcm_sw_params_set_start_threshold(pcm, raw, kStartThreshold)) < 0) {
        utils::logger.error(
            "%s ERROR :CPCMOutput::set_swparams(): Unable to set start threshold mode for "
            "playback: %s\n",
            get_player_prefix(), snd_strerror(r));
        return r;
    }
    if ((r = snd_pcm_sw_params(pcm, raw)) < 0) {
        utils::logger.error("%s ERROR :CPCMOutput::set_swparams(): Unable to set sw params for playback: %s\n",
                            get_player_prefix(), snd_strerror(r));
        return r;
    }
    return 0;
}

int CPCMOutput::WriteBuffer(const uint8_t* data, uint16_t frames, unsigned int) {
    if (!m_handle && m_lost)
        return WriteWhileLost(data, frames);
    if (!m_handle) {
        utils::logger.error(
            "%s ERROR :CPCMOutput::WriteBuffer() Audio handle is NULL, the output has to be "
            "initialized again.\n",
            get_player_prefix());
        return -1;
    }
    if (frames == 0 || !data)
        return 0;
    snd_pcm_t* pcm = m_handle.get();
    snd_pcm_sframes_t written = snd_pcm_writei(pcm, data, frames);
    if (written == -EAGAIN)
        return 0;
    if (written >= 0)
        return static_cast<int>(written);
    if (xrun_recovery(pcm, static_cast<int>(written)) < 0) {
        utils::logger.error("%s ERROR :CPCMOutput::WriteBuffer() Write error: %s\n", get_player_prefix(),
                            snd_strerror(static_cast<int>(written)));
        if (written == -ENODEV)
            LoseDevice();
        return -1;
    }
    // The device is usable again: write this block once more instead of dropping it, so an
    // under-run costs a gap but no audio.
    written = snd_pcm_writei(pcm, data, frames);
    return written > 0 ? static_cast<int>(written) : 0;
}

void CPCMOutput::LoseDevice() {
    utils::logger.error("%s ERROR :CPCMOutput::WriteBuffer(): audio device %s went away, opening it again "
                        "once a second.\n",
                        get_player_prefix(), m_device_name.c_str());
    CloseHandle("WriteBuffer");
    m_lost = true;
    const int64_t now = MonotonicNs();
    m_next_reopen_ns = now + kReopenIntervalNs;
    m_paced_until_ns = now;
    if (m_lost_listener) m_lost_listener();
}

// Nothing plays the audio while the device is away: it takes as long as it would have
// played, so the playback thread neither spins through the playlist nor stops answering.
int CPCMOutput::WriteWhileLost(const uint8_t* data, uint16_t frames) {
    const int64_t now = MonotonicNs();
    if (now >= m_next_reopen_ns && m_rate > 0) {
        m_next_reopen_ns = now + kReopenIntervalNs;
        if (Initialize() == 0)
            return WriteBuffer(data, frames, 0);
        DeInitialize();  // a device that opened but could not be set up is not back
    }
    if (m_rate <= 0)
        return 0;
    m_paced_until_ns = std::max(m_paced_until_ns, now) + static_cast<int64_t>(frames) * 1000000000 / m_rate;
    const timespec until{static_cast<time_t>(m_paced_until_ns / 1000000000),
                         static_cast<long>(m_paced_until_ns % 1000000000)};
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
    return 0;
}

int CPCMOutput::xrun_recovery(snd_pcm_t* pcm, int error) {
    if (error == -EPIPE) {
        const int r = snd_pcm_prepare(pcm);
        if (r < 0)
            utils::logger.error(
                "%s ERROR :CPCMOutput::xrun_recovery(): Can't recovery from underrun, prepare "
                "failed: %s\n",
                get_player_prefix(), snd_strerror(r));
        return r;
    }
    if (error == -ESTRPIPE) {
        int r;
        while ((r = snd_pcm_resume(pcm)) == -EAGAIN)
            sleep(1);  // the driver is still waking up; it gives no event to wait on
        if (r < 0) {
            r = snd_pcm_prepare(pcm);
            if (r < 0)
                utils::logger.error(
                    "%s ERROR :CPCMOutput::xrun_recovery(): Can't recovery from suspend, prepare "
                    "failed: %s\n",
                    get_player_prefix(), snd_strerror(r));
        }
        return 0;
    }
    return error;
}

int CPCMOutput::CloseHandle(const char* caller) {
    // alsa-lib frees the handle whatever snd_pcm_close returns: keeping it for a retry
    // would drain a freed handle at the next format change.
    const int r = snd_pcm_close(m_handle.release());
    if (r < 0)
        utils::logger.error("%s ERROR :CPCMOutput::%s(): cannot close handle (%s)\n", get_player_prefix(),
                            caller, snd_strerror(r));
    return r;
}

int CPCMOutput::DeInitialize() {
    utils::logger.info("%s CPCMOutput::DeInitialize(): CPCMOutput::DeInitialize() called.\n",
                       get_player_prefix());
    const int r = m_handle ? CloseHandle("DeInitialize") : 0;
    utils::logger.info("%s CPCMOutput::DeInitialize() End.\n", get_player_prefix());
    return r;
}

int CPCMOutput::DeInitWithDrain() {
    utils::logger.info("%s CPCMOutput::DeInitWithDrain(): CPCMOutput::DeInitWithDrain() called.\n",
                       get_player_prefix());
    int r = 0;
    if (m_handle) {
        const int d = snd_pcm_drain(m_handle.get());
        if (d < 0)
            utils::logger.error("%s ERROR :CPCMOutput::DeInitWithDrain(): cannot drain handle (%s)\n",
                                get_player_prefix(), snd_strerror(d));
        r = CloseHandle("DeInitWithDrain");
    }
    utils::logger.info("%s CPCMOutput::DeInitWithDrain() End.\n", get_player_prefix());
    return r;
}

int CPCMOutput::StopAudio() {
    utils::logger.info("%s CPCMOutput::StopAudio(): CPCMOutput::StopAudio() called.\n", get_player_prefix());
    int r = 0;
    if (m_handle) {
        r = snd_pcm_nonblock(m_handle.get(), 0);
        if (r < 0) {
            utils::logger.error("%s ERROR :CPCMOutput::StopAudio(): cannot set non-blocking mode (%s)\n",
                                get_player_prefix(), snd_strerror(r));
            return r;
        }
        r = snd_pcm_drain(m_handle.get());
        if (r < 0)
            utils::logger.error("%s ERROR :CPCMOutput::StopAudio(): cannot drain audio (%s)\n",
                                get_player_prefix(), snd_strerror(r));
    }
    utils::logger.info("%s CPCMOutput::StopAudio() End.\n", get_player_prefix());
    return r;
}

int CPCMOutput::StartAudio() {
    utils::logger.info("%s CPCMOutput::StartAudio(): called.", get_player_prefix());
    if (!m_handle) {
        utils::logger.warning("%s CPCMOutput::StartAudio(): NULL Audio handle found.", get_player_prefix());
        return 0;
    }
    const int r = snd_pcm_prepare(m_handle.get());
    if (r < 0) {
        utils::logger.error(
            "%s ERROR :CPCMOutput::StartAudio(): cannot prepare audio interface for use (%s)\n",
            get_player_prefix(), snd_strerror(r));
        return -1;
    }
    utils::logger.info("%s CPCMOutput::StartAudio(): End.", get_player_prefix());
    return 0;
}

int CPCMOutput::DropAudio() {
    utils::logger.info("%s CPCMOutput::DropAudio(): called.\n", get_player_prefix());
    if (!m_handle) return 0;
    int r = snd_pcm_drop(m_handle.get());
    if (r < 0) {
        utils::logger.error("%s ERROR :CPCMOutput::DropAudio(): cannot drop audio (%s)\n", get_player_prefix(),
                            snd_strerror(r));
        return r;
    }
    r = snd_pcm_prepare(m_handle.get());
    if (r < 0)
        utils::logger.error("%s ERROR :CPCMOutput::DropAudio(): cannot prepare audio interface for use (%s)\n",
                            get_player_prefix(), snd_strerror(r));
    return r;
}

int CPCMOutput::GetDelay(int64_t* frames) {
    if (!m_handle)
        return -EBADFD;
    snd_pcm_sframes_t d = 0;
    const int r = snd_pcm_delay(m_handle.get(), &d);
    if (r < 0)
        return r;
    if (frames)
        *frames = static_cast<int64_t>(d);
    return 0;
}
