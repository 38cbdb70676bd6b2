#pragma once

#include <cstdint>

#include "player/engine/APlayerState.h"

// The current track plays to its end before the new item is opened.
class CPlayer_state_ending final : public APlayerState {
public:
    explicit CPlayer_state_ending(CPlayer* player);
    void SetNewPlaylist(bool interrupt) override;
    void Stop(bool immediately) override;
    void Pause() override;
    void PlayNext() override;
    void PlayPrevious() override;
    void Process() override;
};
