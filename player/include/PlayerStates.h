#pragma once

#include "PlayerExport.h"

namespace OrvanePlayer {

enum PlayerStateId : int {
    PLAYER_STATE_IDLE = 0,
    PLAYER_STATE_PLAYING = 1,
    PLAYER_STATE_PAUSED = 2,
    PLAYER_STATE_ENDING = 3,
    PLAYER_STATE_CONNECTING = 4,
    PLAYER_STATE_BUFFERING = 5,
    PLAYER_STATE_WAIT = 6,
};

// "Player_state_idle" ... "Player_state_wait"; nullptr outside 0 to 6.
ORVANE_PLAYER_API const char* PlayerStateName(int state);

}  // namespace OrvanePlayer
