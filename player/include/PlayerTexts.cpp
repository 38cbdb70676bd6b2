#include "PlayerErrors.h"
#include "PlayerStates.h"

#include <cstdlib>

namespace OrvanePlayer {

namespace {
// Indexed by |code| - 1000.
const char* const kErrorTexts[] = {
    "EPLAYER_OPEN_ITEM: Failed to open/parse a playback item.",
    "EPLAYER_OPEN_TRACKFILE: Failed to open a track file.",
    "EPLAYER_OPEN_URL: URL not reachable.",
    "EPLAYER_PROCESS_BUFFER: Error detected while reading/decoding audio buffer. Details to be found in syslog.",
    "EPLAYER_SOURCE_TIMEOUT: Audio source timeout detected.",
    "EPLAYER_SET_VOLUME: Error encountered during volume setting.",
    "EPLAYER_PCMAUDIO_OUT: Audio PCM interface error.",
    "EPLAYER_ITEM_NOT_PLAYABLE: All tracks in playlist or item failed to open.",
    "EPLAYER_STREAM_LOW_BUFFER_REACHED: Stream is runnig out of buffer.",
};

const char* const kStateNames[] = {
    "Player_state_idle",    "Player_state_playing",    "Player_state_paused",
    "Player_state_ending",  "Player_state_connecting", "Player_state_buffering",
    "Player_state_wait",
};
}  // namespace

const char* PlayerErrorText(int code) {
    // Compare in 64 bits: abs(INT_MIN) would overflow.
    const long long index = std::llabs(static_cast<long long>(code)) - 1000;
    if (index < 0 || index >= static_cast<long long>(sizeof(kErrorTexts) / sizeof(kErrorTexts[0])))
        return nullptr;
    return kErrorTexts[index];
}

const char* PlayerStateName(int state) {
    if (state < 0 || state >= static_cast<int>(sizeof(kStateNames) / sizeof(kStateNames[0])))
        return nullptr;
    return kStateNames[state];
}

}  // namespace OrvanePlayer
