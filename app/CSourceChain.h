#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/CItemSwitcher.h"
#include "app/CSourceRecheck.h"
#include "app/SourceReport.h"
#include "player/include/IPlayer.h"

namespace app {

// The backup chain of a stream: url, backup_url1, backup_url2, fallback_folder. When the
// source that plays has brought no decoded audio for failover_s, the player moves on to
// the next one; every source above the one that plays is tried again in the background
// (10 s after it failed, then 20, 40 ... at most 180 s apart) and the player returns to
// the highest one that is back: from a stream at once, with the switch's fades, from the
// fallback folder at the end of its track. The engine plays one item at a time as ever;
// the chain only hands it another one. Main thread only (the tries run on the recheck's
// thread).
class CSourceChain final {
public:
    using StopWait = CItemSwitcher::StopWait;
    // The cause of the current source's failure in words, or empty; and its reset.
    using FailureText = std::function<std::string()>;
    using ForgetFailure = std::function<void()>;

    // Back-off of the background tries, before the time scale.
    static constexpr int64_t kFirstRecheckMs = 10000;
    static constexpr int64_t kMaxRecheckMs = 180000;
    // How often the program should look at the chain while backups are configured.
    static constexpr int64_t kTickMs = 200;

    // The scale of the back-off from QUILLON_FAILOVER_TIME_SCALE (tests only: "0.1" makes
    // it 1 s to 18 s); 1 when unset or not a positive number.
    static double TimeScaleFromEnvironment();

    // Not owned, all outlive the chain.
    CSourceChain(std::string media_root, CItemSwitcher& switcher, SourceReport& report,
                 CSourceRecheck& recheck, FailureText failure_text, ForgetFailure forget_failure,
                 double time_scale = 1.0);

    // The configuration in use (its item is the main source). playing_main: the player
    // plays it already; otherwise, unless the chain had it playing, the next Tick moves
    // the player to it.
    void Configure(const PlayerSetup& main, bool playing_main, int64_t now_ms);
    // Backups are configured.
    bool Active() const { return m_sources.size() > 1; }

    enum class Result { kPlaying, kStopped, kEngineLost };
    // Looks at the player, takes the background tries' results, moves the player when it
    // must. kStopped: a stop signal came during a switch (StopSignal() says which).
    Result Tick(OrvanePlayer::IPlayer& player, int64_t now_ms, const StopWait& wait_for_stop);
    int StopSignal() const { return m_switcher.StopSignal(); }

private:
    struct Source {
        int id = SourceReport::kMain;  // SourceReport's source
        std::string label;             // the URL, or the fallback folder
        PlayerSetup setup;
        bool back = false;             // a background try found it playing again
        int64_t next_try_ms = 0;       // monotonic
        int64_t interval_ms = 0;       // until the try after a failed one
    };

    void AddSource(int id, const std::string& label, const PlayerSetup& setup);
    void ObserveAudio(OrvanePlayer::IPlayer& player, int64_t now_ms);
    void TakeRecheckResult(int64_t now_ms);
    void RequestRecheck(int64_t now_ms);
    int HighestBack() const;
    bool FailoverDue(int64_t now_ms) const;
    std::string FailureReason() const;
    Result MoveTo(OrvanePlayer::IPlayer& player, size_t index, const StopWait& wait_for_stop,
                  int64_t now_ms);
    Result ReturnTo(OrvanePlayer::IPlayer& player, size_t index, const StopWait& wait_for_stop,
                    int64_t now_ms);
    bool CurrentIsFolder() const { return m_sources[m_current].id == SourceReport::kFallback; }

    const std::string m_media_root;
    CItemSwitcher& m_switcher;
    SourceReport& m_report;
    CSourceRecheck& m_recheck;
    const FailureText m_failure_text;
    const ForgetFailure m_forget_failure;
    const int64_t m_first_recheck_ms;
    const int64_t m_max_recheck_ms;

    std::vector<Source> m_sources;  // in the chain's order, only those configured
    size_t m_current = 0;           // what the player plays
    bool m_move_to_main = false;    // a new configuration while another source plays
    bool m_return_at_track_end = false;  // the fallback folder was asked to stop at its track end
    int64_t m_last_audio_ms = 0;    // when the current source last brought audio (or started)
    uint64_t m_seen_audio_ms = 0;   // the stream's decoded audio at the last look
};

}  // namespace app
