#pragma once

#include <cstdint>

#include "player/engine/APlayerState.h"

// A track or stream is read, decoded and written to the device.
class CPlayer_state_playing final : public APlayerState {
public:
    explicit CPlayer_state_playing(CPlayer* player);
    void on_entry() override;
    void on_exit() override;
    void SetNewPlaylist(bool interrupt) override;
    void Stop(bool immediately) override;
    void Pause() override;
    void PlayNext() override;
    void PlayPrevious() override;
    void Process() override;

private:
    bool m_stop_at_end = false;  // player thread only
};
