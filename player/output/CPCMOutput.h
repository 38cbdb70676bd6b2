#pragma once

#include <alsa/asoundlib.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "player/decoder/CAudioOutput.h"
#include "player/volume/CVolumeConvertion.h"

// Last stage for local files: writes interleaved S16_LE PCM to an ALSA playback device in
// blocking mode, so the write paces the playback thread. Opens the device when it is given a
// format, recovers from under-runs and suspends, and offers drain, stop and start. A device
// that goes away (a card removed: -ENODEV) is closed; until it opens again (tried once a
// second) the audio is let go at its own pace, so playback goes on and comes back.
// No lock: all calls come from the playback path or from the command thread while playback
// is stopped.
class CPCMOutput : public CAudioOutput, public CVolumeConvertion {
public:
    static constexpr snd_pcm_uframes_t kStartThreshold = 4096;  // frames queued before start

    CPCMOutput();
    ~CPCMOutput() override;  // closes a device still open

    int SetDecoderId(int) override { return 0; }
    int RestartFeed() override { return 0; }
    int GetDecoderId() override { return 3; }
    // Stores the format and reopens the device for it (draining what the old one holds).
    // -1 for a format with zero bits, channels or rate.
    int SetAudioFormat(const AudioFormat* format) override;
    int SetBufferSize(unsigned) override { return 0; }
    int ReservedOperation(int, int) override { return 0; }
    // frames of interleaved PCM; returns frames written, 0 after a recovered fault, -1 on
    // failure (also when the device is closed). ts is not used here.
    int WriteBuffer(const uint8_t* data, uint16_t frames, unsigned int ts) override;
    void SetExtraData(uint8_t**, int*, void*) override {}

    // Opens and configures the device; 0 when already open. A failure after the open keeps
    // the handle for the next deinitialisation.
    virtual int Initialize();
    // Closes without draining; 0 without a device, else the close result.
    virtual int DeInitialize();
    // Plays out what is queued, then closes.
    virtual int DeInitWithDrain();
    // Drains and keeps the device open; StartAudio makes it usable again.
    virtual int StopAudio();
    // Prepares the device; 0 (with a warning) when it is closed.
    virtual int StartAudio();
    // Discards what the device still holds and prepares it again: for a caller that cuts
    // the current audio off, where StopAudio would play it out first. 0 without a device.
    virtual int DropAudio();
    // Device delay in frames; the ALSA error (or -EBADFD when closed) leaves frames alone.
    virtual int GetDelay(int64_t* frames);
    virtual bool IsPrebuffering() { return false; }

    void set_player_prefix(const char* text) override;

    // Takes effect at the next Initialize.
    void SetDeviceName(const char* name) { m_device_name = name ? name : ""; }
    const char* GetDeviceName() const { return m_device_name.c_str(); }
    bool IsOpen() const { return m_handle != nullptr; }
    // Called on the playback thread each time Initialize has opened and set up the device,
    // before the first write: a softvol volume control exists only from then on.
    void SetOpenListener(std::function<void()> listener) { m_open_listener = std::move(listener); }
    // Called on the playback thread when the device went away during a write.
    void SetLostListener(std::function<void()> listener) { m_lost_listener = std::move(listener); }
    // The device went away and has not opened again since.
    bool IsDeviceLost() const { return m_lost; }
    // The open device is gone (a card removed): nothing written to it plays any more.
    bool IsDeviceGone() const {
        return m_handle && snd_pcm_state(m_handle.get()) == SND_PCM_STATE_DISCONNECTED;
    }

protected:
    struct PcmCloser {
        void operator()(snd_pcm_t* p) const noexcept { snd_pcm_close(p); }
    };

    snd_pcm_t* handle() const { return m_handle.get(); }
    // Prepares after an under-run, resumes after a suspend; other errors come back unchanged.
    int xrun_recovery(snd_pcm_t* handle, int error);
    void ClearFormat() { m_bits = m_channels = m_rate = 0; }
    // Closes the handle, which is gone afterwards even when the close fails (logged with
    // the caller's name). Returns the close result.
    int CloseHandle(const char* caller);

    std::string m_device_name = "plug:dmix";
    int32_t m_bits = 0;      // 0 = no format
    int32_t m_channels = 0;
    int32_t m_rate = 0;
    std::unique_ptr<snd_pcm_t, PcmCloser> m_handle;  // null while closed
    std::function<void()> m_open_listener;           // set before playback starts
    std::function<void()> m_lost_listener;           // set before playback starts

private:
    static constexpr int64_t kReopenIntervalNs = 1000000000;

    int set_hwparams();
    void LoseDevice();
    int WriteWhileLost(const uint8_t* data, uint16_t frames);

    // Playback path only. While lost the format members keep the format to reopen with.
    bool m_lost = false;
    int64_t m_next_reopen_ns = 0;  // CLOCK_MONOTONIC
    int64_t m_paced_until_ns = 0;  // when the audio let go so far would have played
    int set_swparams();
    int ApplyHwParams(snd_pcm_hw_params_t* params);
};
