#pragma once

#include "PlayerExport.h"

namespace OrvanePlayer {

// The engine's process-wide services, shared by every player of the process.

// Opens the engine's system log under name (facility local7) and sets the levels it
// writes: 0x02 error, 0x04 warning, 0x08 notice, 0x10 info, 0x20 debug (63: all). Until
// then the engine writes errors and warnings under the program's name. Main thread,
// before the first player is initialized.
ORVANE_PLAYER_API void OpenEngineLog(const char* name, int level_mask);

// Starts the timer service thread that runs the volume fades; a player starts it on
// first use too. Main thread.
ORVANE_PLAYER_API void StartTimerService();

// Stops the timer service; call after the last player was deinitialized. Main thread.
ORVANE_PLAYER_API void StopTimerService();

}  // namespace OrvanePlayer
