#pragma once

#include <cstdint>

#include "player/engine/APlayerState.h"

// Nothing plays; a new item is opened here and waits for Play.
class CPlayer_state_idle final : public APlayerState {
public:
    explicit CPlayer_state_idle(CPlayer* player);
    void on_entry() override;
    void on_exit() override;
    void SetNewPlaylist(bool interrupt) override;
    void Play() override;
    void PlayNext() override;
    void PlayPrevious() override;
};
