#pragma once

#include <cstdint>
#include <string>

#include "IFadingCallback.h"
#include "IPlayerDelegate.h"
#include "PlayerExport.h"
#include "PlayerErrors.h"
#include "PlayerRecords.h"
#include "PlayerStates.h"

namespace OrvanePlayer {

// Control interface of the player engine. Every operation may be called from any
// thread; most queue a command for the player thread and return at once.
class ORVANE_PLAYER_API IPlayer : public IFadingCallback {
public:
    ~IPlayer() override = default;

    virtual void FadeAndStop(unsigned interval_ms, int volume) = 0;
    virtual void FadeAndPause(unsigned interval_ms, int volume) = 0;
    virtual void Fade(const FadeRequest& request) = 0;
    virtual void FadeAndPlay(unsigned interval_ms, int volume) = 0;
    virtual void FadeAndPlay(unsigned interval_ms, int from_volume, int to_volume) = 0;
    virtual void RefreshItem() = 0;
    virtual void SetItem(const PlaybackItem& item) = 0;
    virtual void PlayPlaylist(const std::string& name, bool interrupt, bool shuffle, int volume) = 0;
    virtual void Play() = 0;
    virtual void Play(int song_id) = 0;
    virtual void Stop(bool immediately) = 0;
    virtual void Pause() = 0;
    virtual void PlayNext() = 0;
    virtual void PlayPrevious() = 0;
    virtual void ReservedA() = 0;
    virtual void ReservedB() = 0;
    virtual void SetShuffle(bool on) = 0;
    virtual void GetPlaybackInfo(PlaybackInfo& out) = 0;
    virtual uint16_t GetVolume() = 0;
    virtual void ReloadPlaylist() = 0;
    virtual bool SetVolume(uint16_t percent) = 0;
    virtual bool SetVolume_dB(int db) = 0;
    virtual void SetVolumeInUnit(int value, int unit) = 0;
    virtual void ReservedC(int) = 0;
    virtual void SetRepeatCount(int count) = 0;
    virtual bool IsStream() = 0;
    virtual void SetFadeListener(IFadeListener* listener) = 0;
    virtual void SetDelegate(IPlayerDelegate* delegate, uint32_t context) = 0;
    virtual bool GetErrorText(int code, std::string& out) = 0;
    virtual void GetVersion(std::string& out) = 0;
    virtual bool IsRunning() = 0;
    virtual void SetStreamParams(const StreamParams& params) = 0;
};

}  // namespace OrvanePlayer
