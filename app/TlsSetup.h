#pragma once

#include <string>

#include "player/include/IPlayer.h"
#include "player/include/PlayerFailure.h"

namespace app {

// Hands the HTTPS checks of the configuration to the player and says on the console and
// in the system log what is unusual about them: checks turned off, an added trust file
// that cannot be used. Application thread.
void ApplyTlsSettings(OrvanePlayer::IPlayer& player, const OrvanePlayer::TlsSettings& settings);

}  // namespace app
