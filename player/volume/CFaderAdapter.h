#pragma once

#include "player/include/PlayerRecords.h"
#include "player/volume/CFader.h"
#include "player/volume/IFaderPlayer.h"

// The player's fade operations: each becomes a fade request for the player's
// PrepareFader, or, with a duration of 0, the volume is applied at once followed by the
// requested operation. Called from application threads through the player.
class CFaderAdapter final : public CFader {
public:
    explicit CFaderAdapter(CVolumeControlAdapter* volume_control) : CFader(volume_control) {}

    // player: not owned; also becomes the fader's callback.
    void SetPlayer(IFaderPlayer* player);

    void FadeAndStop(unsigned interval_ms, int volume);
    void FadeAndPause(unsigned interval_ms, int volume);
    int FadeAndPlay(unsigned interval_ms, int from_volume, int to_volume);
    int FadeAndPlay(unsigned interval_ms, int volume);
    void Fade(const OrvanePlayer::FadeRequest& request);

    void set_player_prefix(const char* text) override;

private:
    void request_fade(unsigned interval_ms, int from_volume, int to_volume, unsigned operation);
    bool player_ready(const char* warning_format);

    IFaderPlayer* m_player = nullptr;  // not owned; set once before the player thread runs
};
