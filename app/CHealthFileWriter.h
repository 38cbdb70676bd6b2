#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "app/SourceReport.h"
#include "player/include/IPlayer.h"
#include "player/include/PlayerHealth.h"

namespace app {

// Keeps "<status file>.health" current: once a second, while the player has a network
// stream on, one JSON line of the stream's figures replaces the file (a temporary file
// beside it, renamed over it, so readers never see a partial line); once the stream is
// off, and when the writer stops, the file is removed. Runs its own thread.
class CHealthFileWriter final {
public:
    // player: not owned, must outlive the writer's thread (Stop before it goes).
    CHealthFileWriter(OrvanePlayer::IPlayer& player, std::string path);
    ~CHealthFileWriter();
    CHealthFileWriter(const CHealthFileWriter&) = delete;
    CHealthFileWriter& operator=(const CHealthFileWriter&) = delete;

    // Removes a file left by an earlier run and starts the thread. Call with the stop
    // signals blocked (the thread inherits the mask).
    void Start();
    // Ends the thread and removes the file. Idempotent.
    void Stop();

    // The backup chain's report (not owned, outlives the writer). While it names a source
    // the file carries "source" and "switches" and is kept also while no stream is on (the
    // fallback folder plays, a switch is under way), its stream figures then 0. Before Start.
    void SetSourceReport(const SourceReport* report) { m_source_report = report; }

    // The line for these figures, written at wall time now_s; with the chain's source and
    // switch count when report names a source.
    static std::string HealthLine(const OrvanePlayer::StreamHealth& health,
                                  const OrvanePlayer::RtpSenderHealth& senders, int64_t now_s,
                                  const SourceReport* report = nullptr);
    // Replaces path with line through a new temporary file in the same folder. True on success.
    static bool WriteAtomically(const std::string& path, const std::string& line);

private:
    void Run();
    void Update();

    OrvanePlayer::IPlayer& m_player;
    const std::string m_path;
    std::thread m_thread;
    std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_stop = false;      // guarded by m_lock
    bool m_written = false;   // writer thread only (after Start)
    const SourceReport* m_source_report = nullptr;  // not owned; set before Start
};

}  // namespace app
