#pragma once

#include <cstdint>

#include "player/engine/APlayerState.h"

// A stream fills its buffer until the device starts.
class CPlayer_state_buffering final : public APlayerState {
public:
    explicit CPlayer_state_buffering(CPlayer* player);
    void on_entry() override;
    void SetNewPlaylist(bool interrupt) override;
    void Stop(bool immediately) override;
    void Pause() override;
    void PlayNext() override;
    void PlayPrevious() override;
    void Process() override;
};
