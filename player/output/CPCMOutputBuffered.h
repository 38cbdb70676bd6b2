#pragma once

#include <alsa/asoundlib.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "player/output/CPCMOutput.h"
#include "player/output/IBufferingAlgorithm.h"
#include "player/output/IResamplerOutput.h"

class CRingBuffer;
class CResampler;
class CStreamHealth;

// Output for network streams: every decoded block passes the buffering algorithm and the
// resampler (to 48000 Hz stereo S16) into a ring; whole periods move from the ring to the
// ALSA device whenever it has room. The device never starts by itself: playback starts
// once ring plus device delay reach the threshold, and again after every under-run.
// WriteBuffer, SetAudioFormat, alsa_write_audio_poll and GetBufferedMs run on the playback
// thread; SetBufferSize, StopAudio, StartAudio and DeInitialize on the player's command
// thread while the output is not being written. The ring has its own lock.
class CPCMOutputBuffered final : public CPCMOutput, public IResamplerOutput {
public:
    static constexpr uint32_t kDeviceStartThreshold = 2147483647u;  // never reached by ALSA
    static constexpr int kDeviceRate = 48000;
    static constexpr int kDeviceChannels = 2;
    static constexpr int kBytesPerFrame = 4;
    static constexpr int kInitialRingMs = 9000;

    // algorithm: not owned. delay_ms above 9000 is lowered to 9000.
    CPCMOutputBuffered(BufferingAlgorithm::IBufferingAlgorithm* algorithm, int delay_ms, int acc_ms);
    ~CPCMOutputBuffered() override;

    // Sets the resampler input; the device is not touched. -1 for an unusable format.
    int SetAudioFormat(const AudioFormat* format) override;
    // New threshold and a ring of 1.5 times it; the device is stopped and prepared again.
    int SetBufferSize(unsigned ms) override;
    // frames of PCM in the announced format; lost: packets lost just before this block.
    int WriteBuffer(const uint8_t* data, uint16_t frames, unsigned int lost) override;

    // Ring, resampler output and device. 0 or negative.
    int Initialize() override;
    int DeInitialize() override;
    // Streams are not drained: same as DeInitialize.
    int DeInitWithDrain() override { return DeInitialize(); }
    // Drops queued audio (device and ring); pre-buffering starts again after StartAudio.
    int StopAudio() override;
    // StopAudio, then the device is prepared again for the next pre-buffering.
    int DropAudio() override;
    bool IsPrebuffering() override { return !m_started; }
    void set_player_prefix(const char* text) override;

    int reset_thresholds(int ms);
    // Ring fill plus device delay, in frames at the device rate.
    int GetTotalDelay(uint64_t* ticks);
    // Buffered audio in ms; returns snd_pcm_avail (room in the device, frames).
    int GetBufferedMs(uint32_t* ms);
    int ResamplerOutputBuffer(const void* data, int frames) override;
    // Moves whole periods from the ring into the device while both allow it.
    void alsa_write_audio_poll();

    // Back-pressure for sources that deliver faster than real time: while the ring has
    // no room, the writer waits for the device instead of dropping audio, asking check
    // (with context) between waits; a non-zero answer gives the rest of the block up.
    // A null check restores dropping (the behaviour for RTP, which cannot be slowed).
    void SetBackPressure(int (*check)(void*), void* context);
    // End of a finite stream: starts the device if the stream was shorter than the
    // threshold and moves the rest of the ring, its last partial period padded with
    // silence, into the device. 1 while audio is still queued, 0 once all has played,
    // negative on a device error. Call repeatedly (the caller sleeps between calls).
    int PlayOut();

    // The device plays, or pre-buffering has gathered audio in the ring: what a
    // reconnection of the same stream may keep. Playback thread.
    bool HoldsAudio();
    // While playback runs with at least a period in the ring: sleeps until the device can
    // take a period, at most ms, and returns true. Otherwise false at once (nothing to
    // feed: the caller sleeps as it would). Playback thread.
    bool WaitForDevice(int ms);

    // Where the level, the target, under-runs, the level control's corrections and lost
    // packets are counted (not owned; null counts nothing). Before Initialize.
    void SetHealth(CStreamHealth* health);

    // Diagnostics.
    uint64_t GetThreshold() const { return m_threshold; }
    uint32_t GetRingCapacity() const;

private:
    int alsa_initialize();
    int set_alsa_hw_params();
    int set_alsa_hw_params(snd_pcm_hw_params_t* params);
    int set_alsa_sw_params();
    int total_delay_with_recovery(uint64_t* total);
    int write_frames(const uint8_t* block, uint16_t frames, uint64_t out);
    const uint8_t* silence(uint16_t frames);
    uint64_t cap_to_ring(uint16_t frames, uint64_t out);
    int start_if_threshold_reached();
    int start_playback(const char* reason, uint64_t total);
    int start_device();
    enum { kRoom, kGiveUp, kCannotWait };
    int wait_for_room();
    void write_tail();
    void write_period();
    void write_transfer();
    void count_decision(int decision, uint16_t frames, uint64_t out, unsigned int lost);
    unsigned int lost_while_playing(unsigned int lost) const;
    void count_underrun();
    void report_level(uint64_t ticks);

    BufferingAlgorithm::IBufferingAlgorithm* m_algorithm;  // not owned
    std::unique_ptr<CRingBuffer> m_ring;
    std::unique_ptr<CResampler> m_resampler;
    uint64_t m_threshold = 0;  // ticks; command thread writes while playback is stopped
    int32_t m_acc_ms;
    int32_t m_period = 0;      // frames, from the device
    std::atomic<bool> m_started{false};
    int64_t m_started_ms = 0;  // monotonic, the last device start; playback thread only
    std::unique_ptr<uint8_t[]> m_transfer;  // one period of device frames
    std::unique_ptr<uint8_t[]> m_silence;   // zeroed input frames for silence insertion
    size_t m_silence_bytes = 0;
    int (*m_room_check)(void*) = nullptr;  // playback thread; null: a full ring drops
    void* m_room_context = nullptr;
    bool m_told_waiting = false;  // the first wait for room is logged, later ones not
    CStreamHealth* m_health = nullptr;  // not owned
    bool m_playing_out = false;   // the end of a finite stream: its last under-run is no fault
};
