#pragma once

#include <cstdint>

#include "player/engine/APlayerState.h"

// A stream failed to open; it is retried after the player's retry pause.
class CPlayer_state_wait final : public APlayerState {
public:
    explicit CPlayer_state_wait(CPlayer* player);
    void on_entry() override;
    void SetNewPlaylist(bool interrupt) override;
    void Play() override;
    void Stop(bool immediately) override;
    void Pause() override;
    void PlayNext() override;
    void PlayPrevious() override;
    void Process() override;

private:
    int32_t m_timeout_s = 1;      // player thread only: the pause of this wait
    int64_t m_entry_time = 0;     // player thread only: whole seconds of the monotonic clock
};
