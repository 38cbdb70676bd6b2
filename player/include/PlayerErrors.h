#pragma once

#include "PlayerExport.h"

namespace OrvanePlayer {

enum PlayerError : int {
    EPLAYER_OPEN_ITEM = -1000,
    EPLAYER_OPEN_TRACKFILE = -1001,
    EPLAYER_OPEN_URL = -1002,
    EPLAYER_PROCESS_BUFFER = -1003,
    EPLAYER_SOURCE_TIMEOUT = -1004,
    EPLAYER_SET_VOLUME = -1005,
    EPLAYER_PCMAUDIO_OUT = -1006,
    EPLAYER_ITEM_NOT_PLAYABLE = -1007,
    EPLAYER_STREAM_LOW_BUFFER_REACHED = -1008,
};

// The fixed text of an error code of either sign, or nullptr for an unknown code.
ORVANE_PLAYER_API const char* PlayerErrorText(int code);

}  // namespace OrvanePlayer
