#pragma once

#include <cstdint>

#include "player/engine/APlayerState.h"

// The current track is being opened.
class CPlayer_state_connecting final : public APlayerState {
public:
    explicit CPlayer_state_connecting(CPlayer* player);
    void on_entry() override;
    void on_exit() override;
    void SetNewPlaylist(bool interrupt) override;
    void Stop(bool immediately) override;
    void Pause() override;
    void PlayNext() override;
    void PlayPrevious() override;
    void Process() override;

private:
    int32_t m_last_result = 0;  // player thread only
};
