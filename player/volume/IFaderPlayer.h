#pragma once

#include <cstdint>

#include "player/include/IFadingCallback.h"
#include "player/include/PlayerRecords.h"

// What the fader adapter needs from the player that owns it: the end-of-fade callbacks
// and the few operations that give a fade its follow-up. The player implements it with
// the same names as its public operations.
class IFaderPlayer : public IFadingCallback {
public:
    // The player command that starts playback with an already prepared fade-in.
    static constexpr uint16_t kPlayFadedCommand = 13;

    ~IFaderPlayer() override = default;
    virtual bool IsInitialized() const = 0;
    virtual uint16_t GetVolume() = 0;
    virtual bool SetVolume(uint16_t percent) = 0;
    virtual void Stop(bool immediately) = 0;
    virtual void Pause() = 0;
    virtual void Play() = 0;
    // Aborts the running fade and sets up (or starts, when playing) the new one.
    virtual void PrepareFader(const OrvanePlayer::FadeRequest& request) = 0;
    virtual void PostCommand(uint16_t code) = 0;
};
