#include "app/CHealthFileWriter.h"
#include "utils/utils.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <ctime>

namespace app {

namespace {

// A new file only: never follow or reuse what another process put at the temporary name.
int CreateTemporary(const std::string& temp) {
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::open(temp.c_str(), flags, 0644);
    if (fd < 0 && errno == EEXIST && ::unlink(temp.c_str()) == 0)
        fd = ::open(temp.c_str(), flags, 0644);  // left by a crashed run with the same id
    return fd;
}

}  // namespace

CHealthFileWriter::CHealthFileWriter(OrvanePlayer::IPlayer& player, std::string path)
    : m_player(player), m_path(std::move(path)) {}

CHealthFileWriter::~CHealthFileWriter() { Stop(); }

std::string CHealthFileWriter::HealthLine(const OrvanePlayer::StreamHealth& h,
                                          const OrvanePlayer::RtpSenderHealth& senders, int64_t now_s,
                                          const SourceReport* report) {
    char line[512];
    std::snprintf(line, sizeof line,
                  "{\"time\":%" PRId64 ",\"buffer_ms\":%" PRIu32 ",\"target_ms\":%" PRIu32
                  ",\"underruns\":%" PRIu64 ",\"duplicated_frames\":%" PRIu64 ",\"dropped_frames\":%" PRIu64
                  ",\"lost_packets\":%" PRIu64 ",\"foreign_packets\":%" PRIu64 ",\"reconnects\":%" PRIu64 ",\"stream_age_s\":%" PRIu64,
                  now_s, h.buffer_ms, h.target_ms, h.underruns, h.duplicated_frames, h.dropped_frames,
                  h.lost_packets, senders.foreign_packets, h.reconnects, h.stream_age_ms / 1000);
    std::string text = line;
    const int source = report ? report->Get() : SourceReport::kNone;
    if (source != SourceReport::kNone) {
        std::snprintf(line, sizeof line, ",\"source\":\"%s\",\"switches\":%" PRIu64 ",\"failover_s\":%" PRId32,
                      SourceReport::Name(source), report->Switches(), report->FailoverSeconds());
        text += line;
    }
    return text + "}\n";
}

bool CHealthFileWriter::WriteAtomically(const std::string& path, const std::string& line) {
    const std::string temp = path + "." + std::to_string(::getpid()) + ".tmp";
    const int fd = CreateTemporary(temp);
    if (fd < 0) return false;
    // Readable by the SNMP agent's user whatever the umask says.
    const bool ok = ::fchmod(fd, 0644) == 0 && utils::write_all(fd, line) == 0;
    if (::close(fd) != 0 || !ok || ::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

void CHealthFileWriter::Start() {
    if (m_thread.joinable()) return;
    ::unlink(m_path.c_str());
    m_stop = false;
    m_written = false;
    m_thread = std::thread(&CHealthFileWriter::Run, this);
}

void CHealthFileWriter::Stop() {
    if (!m_thread.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stop = true;
    }
    m_wake.notify_all();
    m_thread.join();
    ::unlink(m_path.c_str());
}

void CHealthFileWriter::Run() {
    pthread_setname_np(pthread_self(), "Health");  // as ps and top show the program's threads
    using Clock = std::chrono::steady_clock;
    auto next = Clock::now();
    std::unique_lock<std::mutex> lock(m_lock);
    while (!m_stop) {
        lock.unlock();
        Update();
        lock.lock();
        // Steps of one second on the monotonic clock: a wall clock step changes nothing.
        next += std::chrono::seconds(1);
        m_wake.wait_until(lock, next, [this] { return m_stop; });
    }
}

void CHealthFileWriter::Update() {
    OrvanePlayer::StreamHealth health;
    const bool chain = m_source_report && m_source_report->Get() != SourceReport::kNone;
    if (OrvanePlayer::GetStreamHealth(m_player, health) == 0 && (health.active || chain)) {
        if (!health.active) health = OrvanePlayer::StreamHealth();
        OrvanePlayer::RtpSenderHealth senders;
        OrvanePlayer::GetRtpSenderHealth(m_player, senders);
        if (WriteAtomically(m_path, HealthLine(health, senders, static_cast<int64_t>(std::time(nullptr)),
                                               m_source_report)))
            m_written = true;
        return;
    }
    if (m_written) {
        ::unlink(m_path.c_str());
        m_written = false;
    }
}

}  // namespace app
