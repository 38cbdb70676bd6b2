// Shutting the player down while its thread is held where a stop cannot reach it: an
// application delegate that does not return (as a write to a hung file system would).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "tests/engine/EngineTestSupport.h"

using namespace OrvanePlayer;
using namespace enginetest;

namespace {

// Passes every notification on to a recorder; holds the player thread in the first track
// start, in a blocking read (a cancellation point), until Release().
class HoldingDelegate final : public IPlayerDelegate {
public:
    explicit HoldingDelegate(Recorder& recorder) : m_recorder(recorder) {
        if (pipe2(m_pipe, O_CLOEXEC) != 0) m_pipe[0] = m_pipe[1] = -1;
    }
    ~HoldingDelegate() override {
        for (int fd : m_pipe)
            if (fd >= 0) close(fd);
    }
    HoldingDelegate(const HoldingDelegate&) = delete;
    HoldingDelegate& operator=(const HoldingDelegate&) = delete;

    bool WaitHeld() {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(20), [this] { return m_held; });
    }
    void Release() {
        const char byte = 1;
        EXPECT_EQ(1, write(m_pipe[1], &byte, 1));
    }

    void NotifyTrackPlaybackStarted(const PlaybackInfo& info, bool last) override {
        bool hold = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            hold = !m_held;
            m_held = true;
        }
        m_changed.notify_all();
        if (hold) {
            char byte = 0;
            EXPECT_EQ(1, read(m_pipe[0], &byte, 1));
        }
        m_recorder.NotifyTrackPlaybackStarted(info, last);
    }
    void NotifyItemPlaybackFinished(const PlaybackInfo& info, const std::string& item) override {
        m_recorder.NotifyItemPlaybackFinished(info, item);
    }
    void NotifyTrackPlaybackFinished(const PlaybackInfo& info, const std::string& track, bool partially) override {
        m_recorder.NotifyTrackPlaybackFinished(info, track, partially);
    }
    void NotifyPlaybackCommandExecuted(const PlaybackInfo& info) override {
        m_recorder.NotifyPlaybackCommandExecuted(info);
    }
    void NotifyPlaybackStateChanged(const PlaybackInfo& info, const char* state) override {
        m_recorder.NotifyPlaybackStateChanged(info, state);
    }
    void NotifyItemPlaybackStarted(const PlaybackInfo& info) override { m_recorder.NotifyItemPlaybackStarted(info); }
    void NotifyPlaybackItemMissing(const PlaybackInfo& info, const std::string& name) override {
        m_recorder.NotifyPlaybackItemMissing(info, name);
    }
    void NotifyPlaybackError(const PlaybackInfo& info, int code) override { m_recorder.NotifyPlaybackError(info, code); }
    void NotifyPlaybackInfoChanged(const PlaybackInfo& info) override { m_recorder.NotifyPlaybackInfoChanged(info); }

private:
    Recorder& m_recorder;
    int m_pipe[2] = {-1, -1};
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_held = false;  // guarded by m_mutex
};

}  // namespace

// The thread is not unwound from under the libraries and the delegate it is in: the shutdown
// leaves the chain to it, the thread ends by itself once it is let go, and only then is
// the chain freed. A new player runs on the same card afterwards.
TEST(CPlayerShutdown, ThreadThatDoesNotEndKeepsItsChainUntilItHasEnded) {
    PlayerHarness h;
    ASSERT_EQ(0, h.Start());
    HoldingDelegate holder(h.recorder);
    h.player->SetDelegate(&holder, 7);
    h.WritePlaylist("p.m3u", {"a.mp3", "b.mp3"});
    h.player->SetItem(h.Item("p.m3u"));
    h.player->FadeAndPlay(0, 80);
    ASSERT_TRUE(holder.WaitHeld());

    const double start = NowMs();
    EXPECT_EQ(-1, h.player->Deinitialize());
    std::printf("Deinitialize with a held thread took %.0f ms\n", NowMs() - start);
    EXPECT_FALSE(h.player->IsInitialized());
    EXPECT_EQ(1u, h.log.count("Thread Player( "));  // "... ) killed": asked, not unwound
    EXPECT_TRUE(h.log.Contains("ERROR :CPlayer::Deinitialize(): the player thread did not end, its components "
                               "are left in place."))
        << h.log.All();
    EXPECT_FALSE(h.log.Contains("Deinitialize(): Thread stopped.")) << h.log.All();

    holder.Release();
    EXPECT_TRUE(h.log.WaitFor("Thread Player ( ")) << h.log.All();  // "... exit normally"
    EXPECT_TRUE(h.recorder.WaitCount(Kind::TrackStarted, 1));
    h.player.reset();

    h.player = std::make_unique<CPlayer>();
    h.recorder.Clear();
    ASSERT_EQ(0, h.Start());
    h.player->SetItem(h.Item("p.m3u"));
    h.player->FadeAndPlay(0, 80);
    EXPECT_TRUE(h.recorder.WaitCount(Kind::TrackStarted, 1));
    EXPECT_EQ(0, h.player->Deinitialize());
}
