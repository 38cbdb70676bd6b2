#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "app/SourceReport.h"
#include "player/include/IPlayer.h"
#include "player/include/IPlayerDelegate.h"
#include "player/include/PlayerFailure.h"

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

    // The player whose standing failure the status file shows (not owned; null: none).
    // Before the player starts.
    void SetPlayer(OrvanePlayer::IPlayer* player) { m_player = player; }

    // The status line for info: the error member holds error_code when with_error is set,
    // the reason member the failure's words (empty: none); a source name, when given,
    // comes as the member "source" before them.
    static std::string StatusLine(const OrvanePlayer::PlaybackInfo& info, bool with_error,
                                  int error_code, const std::string& reason = std::string(),
                                  const char* source = nullptr);

    // The backup chain's report (not owned, outlives the delegate): while it names a
    // source, every status line carries it. Set before the engine starts.
    void SetSourceReport(const app::SourceReport* report) { m_source_report = report; }
    // Writes the status file now with info, as a change of source shows. Main thread.
    void SourceChanged(const OrvanePlayer::PlaybackInfo& info);
    // The cause of the latest error notification since ForgetFailure, in words ("URL not
    // reachable"), or empty. Any thread.
    std::string LatestFailure() const;
    void ForgetFailure();

    // A configuration read again could not be used (code < 0), or a later one could (0).
    // While such an error stands, every status line that would say "no error" carries its
    // code instead, since the program would not start again with that file. Writes the
    // status file now with info, unless no error stood and none comes. Main thread.
    void SetConfigurationError(const OrvanePlayer::PlaybackInfo& info, int code);

    // Sets the status file's modification time to now, content untouched: readers tell a
    // running player that plays a long track from one that ended without a word. Main
    // thread.
    void TouchStatusFile();

private:
    void PrintPlaybackInfo(const OrvanePlayer::PlaybackInfo& info, bool with_error);
    void WriteStatus(const OrvanePlayer::PlaybackInfo& info, bool with_error, int error_code);
    void WriteStatusFile(const std::string& line) const;
    OrvanePlayer::PlaybackFailure StandingFailure() const;

    OrvanePlayer::IPlayer* m_player = nullptr;  // not owned; set before notifications come
    void RememberFailure(const char* text);

    int m_last_error = 0;  // player thread only
    mutable std::mutex m_failure_lock;
    std::string m_latest_failure;  // guarded by m_failure_lock
    const app::SourceReport* m_source_report = nullptr;  // not owned; set before the engine runs
    std::atomic<int> m_configuration_error{0};
    std::mutex m_status_lock;  // one writer of the status file at a time (shared temp file)
    const std::string m_status_path;
};
