#pragma once

#include <memory>
#include <string>

#include "IPlayer.h"
#include "PlayerExport.h"
#include "PlayerRecords.h"

namespace OrvanePlayer {

// Destroys a player made by CreatePlayer, deinitializing it first when it still runs.
struct PlayerDeleter {
    ORVANE_PLAYER_API void operator()(IPlayer* player) const noexcept;
};
using PlayerPtr = std::unique_ptr<IPlayer, PlayerDeleter>;

// A new player engine, not yet initialized. Application thread.
ORVANE_PLAYER_API PlayerPtr CreatePlayer();

// Builds the player's playback chain on the ALSA device of init's player id and starts its
// player thread. 0, or the failing component's negative result (a failed initialization
// still needs DeinitializePlayer or the deleter). Application thread.
ORVANE_PLAYER_API int InitializePlayer(IPlayer& player, const PlayerInit& init,
                                       const StreamParams& params);

// The only host (name or address) an RTP stream of a player made by CreatePlayer takes
// packets from; empty: any host, the default (since 1.3). Packets of other hosts are
// counted as foreign (GetRtpSenderHealth). Before or after InitializePlayer; applies from
// the next stream open on. Application thread. 0, or -1 for a player that CreatePlayer
// did not make.
ORVANE_PLAYER_API int SetRtpSource(IPlayer& player, const std::string& host);

// Stops the player thread and frees the playback chain; the player may be initialized
// again. The result of the last component that was shut down; -1 for a player that
// CreatePlayer did not make. Application thread.
ORVANE_PLAYER_API int DeinitializePlayer(IPlayer& player);

// The engine's version text, the one IPlayer::GetVersion returns.
ORVANE_PLAYER_API const char* EngineVersion();

// The libraries the engine runs with and their versions, as one line of text.
ORVANE_PLAYER_API std::string EngineLibraryVersions();

}  // namespace OrvanePlayer
