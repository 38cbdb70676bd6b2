#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "player/volume/CFader.h"
#include "player/volume/CFaderAdapter.h"
#include "player/volume/CVolumeControlAdapter.h"
#include "tests/support/vcard/VCardTestEnv.h"
#include "utils/CLogger.h"

using OrvanePlayer::FadeRequest;
using Clock = std::chrono::steady_clock;

namespace {
// One virtual card for the whole binary, set up before anything opens ALSA.
class CardEnvironment final : public ::testing::Environment {
public:
    void SetUp() override { env = std::make_unique<vcard::VCardTestEnv>(); }
    void TearDown() override { env.reset(); }
    std::unique_ptr<vcard::VCardTestEnv> env;
};
CardEnvironment* const card_environment = static_cast<CardEnvironment*>(
    ::testing::AddGlobalTestEnvironment(new CardEnvironment));

// Records the fader's calls back into its owner.
class RecordingCallback : public IFadingCallback {
public:
    void EndFadingCallback(const unsigned* kind) override {
        std::lock_guard<std::mutex> lock(m);
        kinds.push_back(*kind);
        cv.notify_all();
    }
    void NotifyFadeAborted(unsigned long elapsed_ms) override {
        std::lock_guard<std::mutex> lock(m);
        aborted.push_back(elapsed_ms);
    }
    // Waits (bounded, only so a broken fader cannot hang the test) for n end callbacks.
    bool wait_for_ends(size_t n, std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, limit, [&] { return kinds.size() >= n; });
    }
    std::vector<unsigned> end_kinds() {
        std::lock_guard<std::mutex> lock(m);
        return kinds;
    }
    std::vector<unsigned long> aborts() {
        std::lock_guard<std::mutex> lock(m);
        return aborted;
    }

private:
    std::mutex m;
    std::condition_variable cv;
    std::vector<unsigned> kinds;
    std::vector<unsigned long> aborted;
};

// Counts the volume control's successful mixer writes.
struct MixerWrites {
    MixerWrites() {
        old_mask = utils::log_level_mask.exchange(0xff);
        utils::logger.set_sink([this](int, const std::string& line) {
            if (line.find("went OK") != std::string::npos) {
                std::lock_guard<std::mutex> lock(m);
                ++count;
            }
        });
    }
    ~MixerWrites() {
        utils::logger.set_sink({});
        utils::log_level_mask = old_mask;
    }
    int get() {
        std::lock_guard<std::mutex> lock(m);
        return count;
    }
    std::mutex m;
    int count = 0;
    int old_mask;
};

FadeRequest request(uint32_t wait, uint32_t duration, uint32_t init, uint32_t target, uint32_t operation) {
    FadeRequest r;
    r.wait = wait;
    r.fading_duration = duration;
    r.init = init;
    r.target = target;
    r.operation = operation;
    return r;
}

class FaderOnCard : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(volume.OpenMixer(), 0);
        ASSERT_TRUE(volume.HasElement());
        fader.SetCallback(&callback);
    }
    void TearDown() override {
        fader.SetVolumeControl(nullptr);
        volume.CloseMixer();
    }
    CVolumeControlAdapter volume;
    CFader fader{&volume};
    RecordingCallback callback;
};
}  // namespace

TEST_F(FaderOnCard, LinearFadeOnWallClockEndsExactlyOnce) {
    fader.Setup(request(0, 1000, 100, 0, OrvanePlayer::FADE_END_STOP));
    EXPECT_EQ(fader.GetAppliedVolume(), 100);
    const auto start = Clock::now();
    fader.StartFading();
    EXPECT_EQ(fader.GetState(), CFader::STATE_FADING);

    // Sample the applied volume while the fade runs.
    std::vector<std::pair<long, int>> samples;
    while (Clock::now() - start < std::chrono::milliseconds(900)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const long ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        samples.emplace_back(ms, fader.GetAppliedVolume());
    }
    ASSERT_TRUE(callback.wait_for_ends(1));
    EXPECT_EQ(fader.GetAppliedVolume(), 0);
    long raw = -1;
    ASSERT_EQ(vcard::ReadMixer(card_environment->env->Dir(), "Playback", &raw), 0);
    EXPECT_EQ(raw, 0);  // the card's mixer really ends at 0
    EXPECT_EQ(callback.end_kinds(), std::vector<unsigned>{OrvanePlayer::FADE_END_STOP});
    EXPECT_EQ(fader.GetState(), CFader::STATE_IDLE);

    // The volume only goes down and follows the line 100 - t/10 (one step of slack).
    int previous = 100;
    bool saw_middle = false;
    for (const auto& [ms, v] : samples) {
        EXPECT_LE(v, previous) << "at " << ms << " ms";
        previous = v;
        EXPECT_NEAR(v, 100 - ms / 10.0, 12.0) << "at " << ms << " ms";
        if (ms >= 450 && ms <= 550) {
            saw_middle = true;
            EXPECT_NEAR(v, 50, 12) << "at " << ms << " ms";
        }
    }
    EXPECT_TRUE(saw_middle);
    // No second callback arrives after the end.
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(callback.end_kinds().size(), 1u);
}

TEST_F(FaderOnCard, EqualInitAndTargetNeverTouchesTheMixer) {
    fader.Setup(request(0, 300, 40, 40, OrvanePlayer::FADE_END_NONE));
    EXPECT_EQ(fader.GetAppliedVolume(), 40);
    MixerWrites writes;
    fader.StartFading();
    ASSERT_TRUE(callback.wait_for_ends(1));
    EXPECT_EQ(writes.get(), 0);
    EXPECT_EQ(callback.end_kinds(), std::vector<unsigned>{OrvanePlayer::FADE_END_NONE});
}

TEST_F(FaderOnCard, AbortJumpsToTargetAndReports) {
    // Idle: nothing to abort.
    EXPECT_EQ(fader.Abort(), 0);
    EXPECT_TRUE(callback.aborts().empty());

    fader.Setup(request(0, 5000, 0, 80, OrvanePlayer::FADE_END_PAUSE));
    fader.StartFading();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(fader.Abort(), 1);
    EXPECT_EQ(fader.GetAppliedVolume(), 80);
    EXPECT_EQ(callback.aborts().size(), 1u);
    EXPECT_EQ(callback.end_kinds(), std::vector<unsigned>{OrvanePlayer::FADE_END_PAUSE});
    EXPECT_EQ(fader.Abort(), 0);

    // A pure wait reports the abort but has no follow-up to announce.
    fader.Setup(request(5000, 0, 80, 80, OrvanePlayer::FADE_END_WAIT));
    fader.StartWait();
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    EXPECT_EQ(fader.Abort(), 1);
    const auto aborts = callback.aborts();
    ASSERT_EQ(aborts.size(), 2u);
    EXPECT_GE(aborts[1], 50u);  // the wait had measured at least one step
    EXPECT_EQ(callback.end_kinds().size(), 1u);
    // The stopped timer does not fire any more.
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(callback.end_kinds().size(), 1u);
}

// A new fade that takes over, and a fade that waits for the next play, never make the
// volume jump to a target nobody hears yet.
TEST_F(FaderOnCard, TakingOverAndKeepingASetUpFadeDoNotJump) {
    fader.Setup(request(0, 5000, 0, 80, OrvanePlayer::FADE_END_NONE));
    fader.StartFading();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(fader.AbortKeepingVolume(), 1);
    EXPECT_LT(fader.GetAppliedVolume(), 40);  // where the fade was, not 80
    EXPECT_EQ(callback.aborts().size(), 1u);
    EXPECT_EQ(callback.end_kinds(), std::vector<unsigned>{OrvanePlayer::FADE_END_NONE});
    EXPECT_EQ(fader.AbortKeepingVolume(), 0);

    // Set up only: kept for the play that starts it, at its initial volume.
    fader.Setup(request(0, 300, 0, 60, OrvanePlayer::FADE_END_NONE));
    EXPECT_EQ(fader.AbortRunning(), 0);
    EXPECT_EQ(fader.GetState(), CFader::STATE_WAITING);
    EXPECT_EQ(fader.GetAppliedVolume(), 0);
    fader.StartFading();
    ASSERT_TRUE(callback.wait_for_ends(2));
    EXPECT_EQ(fader.GetAppliedVolume(), 60);

    // Running, a fade or a wait is aborted as by Abort.
    fader.Setup(request(0, 5000, 60, 10, OrvanePlayer::FADE_END_PAUSE));
    fader.StartFading();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(fader.AbortRunning(), 1);
    EXPECT_EQ(fader.GetAppliedVolume(), 10);
    fader.Setup(request(5000, 0, 10, 10, OrvanePlayer::FADE_END_WAIT));
    fader.StartWait();
    EXPECT_EQ(fader.AbortRunning(), 1);
    EXPECT_EQ(fader.GetState(), CFader::STATE_IDLE);
}

TEST_F(FaderOnCard, WaitEndsWithKindSixAndStartFadingNeedsStateZero) {
    fader.Setup(request(300, 0, 70, 70, OrvanePlayer::FADE_END_NONE));
    const auto start = Clock::now();
    fader.StartWait();
    ASSERT_TRUE(callback.wait_for_ends(1));
    EXPECT_GT(Clock::now() - start, std::chrono::milliseconds(300));
    EXPECT_EQ(callback.end_kinds(), std::vector<unsigned>{OrvanePlayer::FADE_END_WAIT});
    EXPECT_EQ(fader.GetState(), CFader::STATE_IDLE);

    // Idle: StartFading does nothing.
    fader.StartFading();
    EXPECT_EQ(fader.GetState(), CFader::STATE_IDLE);
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    EXPECT_EQ(callback.end_kinds().size(), 1u);

    // Fading: a second StartFading neither restarts nor doubles the fade.
    fader.Setup(request(0, 200, 10, 20, OrvanePlayer::FADE_END_NONE));
    fader.StartFading();
    fader.StartFading();
    ASSERT_TRUE(callback.wait_for_ends(2));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(callback.end_kinds().size(), 2u);
    EXPECT_EQ(fader.GetAppliedVolume(), 20);
}

namespace {
// An owner that answers the end of a track fade-in with the follow-up wait, as the player
// does; held back, it lets another thread set up a new fade first, as the player thread
// does when the next track starts while the end is on its way.
class FollowUpCallback final : public IFadingCallback {
public:
    explicit FollowUpCallback(bool hold) : held(hold) {}
    void EndFadingCallback(const unsigned* kind) override {
        if (*kind != OrvanePlayer::FADE_END_TRACK_FADE_IN) return;
        std::unique_lock<std::mutex> lock(m);
        reported = true;
        cv.notify_all();
        cv.wait_for(lock, std::chrono::seconds(10), [&] { return !held; });
        started = fader->StartFollowUpWait(request(100, 0, 70, 70, OrvanePlayer::FADE_END_NONE)) ? 1 : 0;
        cv.notify_all();
    }
    void NotifyFadeAborted(unsigned long) override {}
    bool wait_reported() {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, std::chrono::seconds(10), [&] { return reported; });
    }
    void release() {
        std::lock_guard<std::mutex> lock(m);
        held = false;
        cv.notify_all();
    }
    int wait_started() {
        std::unique_lock<std::mutex> lock(m);
        cv.wait_for(lock, std::chrono::seconds(10), [&] { return started >= 0; });
        return started;
    }
    CFader* fader = nullptr;

private:
    std::mutex m;
    std::condition_variable cv;
    bool held;
    bool reported = false;
    int started = -1;
};
}  // namespace

TEST_F(FaderOnCard, FollowUpWaitNeverReplacesAFadeSetUpAfterTheEnd) {
    // Nothing set up since the end: the wait follows.
    FollowUpCallback follows(false);
    follows.fader = &fader;
    fader.SetCallback(&follows);
    fader.Setup(request(0, 100, 0, 70, OrvanePlayer::FADE_END_TRACK_FADE_IN));
    fader.StartFading();
    EXPECT_EQ(follows.wait_started(), 1);
    EXPECT_EQ(fader.GetState(), CFader::STATE_WAITING);

    // The next track's fade-in is set up before the end reaches its owner: it stays armed
    // at its own start and runs to its own target.
    FollowUpCallback held(true);
    held.fader = &fader;
    fader.SetCallback(&held);
    fader.Setup(request(0, 100, 0, 70, OrvanePlayer::FADE_END_TRACK_FADE_IN));
    fader.StartFading();
    ASSERT_TRUE(held.wait_reported());
    fader.Setup(request(0, 200, 0, 60, OrvanePlayer::FADE_END_TRACK_FADE_IN));
    held.release();
    EXPECT_EQ(held.wait_started(), 0);
    EXPECT_EQ(fader.GetState(), CFader::STATE_WAITING);
    EXPECT_EQ(fader.GetAppliedVolume(), 0);
    fader.SetCallback(&callback);
    fader.StartFading();
    ASSERT_TRUE(callback.wait_for_ends(1));
    EXPECT_EQ(callback.end_kinds(), std::vector<unsigned>{OrvanePlayer::FADE_END_TRACK_FADE_IN});
    EXPECT_EQ(fader.GetAppliedVolume(), 60);
}

namespace {
// Stands in for the player: records what the adapter asks of it.
class RecordingPlayer final : public IFaderPlayer {
public:
    void EndFadingCallback(const unsigned*) override {}
    void NotifyFadeAborted(unsigned long) override {}
    bool IsInitialized() const override { return initialized; }
    uint16_t GetVolume() override { return volume; }
    bool SetVolume(uint16_t percent) override {
        calls.push_back("SetVolume " + std::to_string(percent));
        return true;
    }
    void Stop(bool immediately) override { calls.push_back(immediately ? "Stop now" : "Stop"); }
    void Pause() override { calls.push_back("Pause"); }
    void Play() override { calls.push_back("Play"); }
    void PrepareFader(const FadeRequest& r) override {
        calls.push_back("PrepareFader " + std::to_string(r.wait) + "," + std::to_string(r.fading_duration) +
                        "," + std::to_string(r.target) + "," + std::to_string(r.init) + "," +
                        std::to_string(r.operation));
    }
    void PostCommand(uint16_t code) override { calls.push_back("Command " + std::to_string(code)); }

    bool initialized = true;
    uint16_t volume = 65;
    std::vector<std::string> calls;
};
}  // namespace

TEST(CFaderAdapter, TurnsPlayerOperationsIntoRequests) {
    RecordingPlayer player;
    CFaderAdapter adapter(nullptr);
    adapter.SetPlayer(&player);
    adapter.set_player_prefix("P1");
    EXPECT_STREQ(adapter.get_player_prefix(), "P1 FADER:");

    adapter.FadeAndStop(0, 30);
    adapter.FadeAndStop(500, 30);
    adapter.FadeAndPause(0, 20);
    adapter.FadeAndPause(700, 0);
    EXPECT_EQ(adapter.FadeAndPlay(800, 10, 60), 0);
    EXPECT_EQ(adapter.FadeAndPlay(0, 45), 0);
    adapter.Fade(request(3000, 0, 50, 50, OrvanePlayer::FADE_END_WAIT));
    const std::vector<std::string> expected = {
        "SetVolume 30", "Stop now",
        "PrepareFader 0,500,30,65,2",
        "SetVolume 20", "Pause",
        "PrepareFader 0,700,0,65,1",
        "PrepareFader 0,800,60,10,0", "Command 13",
        "SetVolume 45", "Play",
        "PrepareFader 3000,0,50,50,6",
    };
    EXPECT_EQ(player.calls, expected);

    // Before the player is initialized the adapter warns and still proceeds.
    player.calls.clear();
    player.initialized = false;
    adapter.FadeAndStop(100, 0);
    EXPECT_EQ(player.calls, std::vector<std::string>{"PrepareFader 0,100,0,65,2"});
}
