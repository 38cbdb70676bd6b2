#pragma once

#include <string>

#include "player/include/IPlayerDelegate.h"

// The program's delegate: prints every notification on standard output and mirrors the
// playback state into a one-line JSON status file. Notifications arrive on the engine's
// player thread.
class CTestPlayerDelegate final : public OrvanePlayer::IPlayerDelegate {
public:
    explicit CTestPlayerDelegate(std::string status_path);

    void NotifyItemPlaybackFinished(const OrvanePlayer::PlaybackInfo& info,
                                    const std::string& item) override;
    void NotifyTrackPlaybackFinished(const OrvanePlayer::PlaybackInfo& info,
                                     const std::string& track, bool partially) override;
    void NotifyPlaybackCommandExecuted(const OrvanePlayer::PlaybackInfo& info) override;
    void NotifyPlaybackStateChanged(const OrvanePlayer::PlaybackInfo& info,
                                    const char* state_name) override;
    void NotifyTrackPlaybackStarted(const OrvanePlayer::PlaybackInfo& info,
                                    bool last_track) override;
    void NotifyItemPlaybackStarted(const OrvanePlayer::PlaybackInfo& info) override;
    void NotifyPlaybackItemMissing(const OrvanePlayer::PlaybackInfo& info,
                                   const std::string& name) override;
    void NotifyPlaybackError(const OrvanePlayer::PlaybackInfo& info, int code) override;
    void NotifyPlaybackInfoChanged(const OrvanePlayer::PlaybackInfo& info) override;

    // The status line for info: the error member holds error_code when with_error is set.
    static std::string StatusLine(const OrvanePlayer::PlaybackInfo& info, bool with_error,
                                  int error_code);

private:
    void PrintPlaybackInfo(const OrvanePlayer::PlaybackInfo& info, bool with_error);
    void WriteStatusFile(const std::string& line) const;

    int m_last_error = 0;  // player thread only
    const std::string m_status_path;
};
