#pragma once

#include <cstdint>

#include "player/engine/APlayerState.h"

// Playback is held; Play resumes the same track.
class CPlayer_state_paused final : public APlayerState {
public:
    explicit CPlayer_state_paused(CPlayer* player);
    void on_entry() override;
    void on_exit() override;
    void SetNewPlaylist(bool interrupt) override;
    void Play() override;
    void Stop(bool immediately) override;
    void PlayNext() override;
    void PlayPrevious() override;
};
