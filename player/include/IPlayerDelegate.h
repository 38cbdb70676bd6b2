#pragma once

#include <string>

#include "PlayerExport.h"
#include "PlayerRecords.h"

namespace OrvanePlayer {

// The engine's reports. All arrive on the player thread; info is valid only during the call.
class ORVANE_PLAYER_API IPlayerDelegate {
public:
    virtual ~IPlayerDelegate() = default;
    virtual void NotifyItemPlaybackFinished(const PlaybackInfo& info, const std::string& item) = 0;
    virtual void NotifyTrackPlaybackFinished(const PlaybackInfo& info, const std::string& track,
                                             bool partially) = 0;
    virtual void NotifyPlaybackCommandExecuted(const PlaybackInfo& info) = 0;
    virtual void NotifyPlaybackStateChanged(const PlaybackInfo& info, const char* state_name) = 0;
    virtual void NotifyTrackPlaybackStarted(const PlaybackInfo& info, bool last_track) = 0;
    virtual void NotifyItemPlaybackStarted(const PlaybackInfo& info) = 0;
    virtual void NotifyPlaybackItemMissing(const PlaybackInfo& info, const std::string& name) = 0;
    virtual void NotifyPlaybackError(const PlaybackInfo& info, int code) = 0;
    virtual void NotifyPlaybackInfoChanged(const PlaybackInfo& info) = 0;
};

// Optional observer of fade ends (not owned by the player).
class ORVANE_PLAYER_API IFadeListener {
public:
    virtual ~IFadeListener() = default;
    virtual void OnFadeEnd(PlaybackInfo info, bool is_stream, const unsigned* kind) = 0;
    virtual void OnTrackFadeIn(const PlaybackInfo& info) = 0;
};

}  // namespace OrvanePlayer
