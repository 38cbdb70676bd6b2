// The player's time-outs and retries while the wall clock jumps (an NTP correction at
// boot, an operator setting the time): wall_clock_testkit moves this process's wall clock.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "tests/engine/EngineTestSupport.h"
#include "tests/support/clock/WallClockStep.h"
#include "tests/support/http/HttpTestServer.h"

using namespace OrvanePlayer;
using namespace enginetest;

namespace {

StreamParams ShortBuffers() {
    StreamParams p;
    p.tcp_delay_ms = 500;
    p.tcp_accuracy_ms = 250;  // source time-out: 5 s
    p.tcp_low_threshold_ms = 250;
    return p;
}

// stream.mp3 at its own rate (128 kbit/s): endless, or stalled for good after
// `stall_after` bytes.
std::string Route(int stall_after) {
    return std::string("{\"file\": \"") + ENGINE_TEST_MEDIA + "/stream.mp3\", \"rate\": 16000, " +
           (stall_after < 0 ? "\"loop\": true}" : "\"stall_after\": " + std::to_string(stall_after) + "}");
}

size_t Count(Recorder& r, Kind kind, int code) {
    size_t n = 0;
    for (const Note& note : r.Of(kind))
        if (note.code == code) ++n;
    return n;
}

}  // namespace

TEST(CPlayerClock, SourceTimeOutNeitherHiddenNorFakedByWallClockJumps) {
    PlayerHarness h("1");
    testkit::HttpTestServer server(h.env.Dir(),
                                   "{\"/live\": " + Route(-1) + ", \"/stalls\": " + Route(32000) + "}");
    ASSERT_TRUE(server.running());
    ASSERT_EQ(0, h.Start(ShortBuffers()));

    // A healthy stream while the wall clock races forward: no time-out.
    h.player->SetItem(h.Item(server.url("/live"), 0));
    h.player->Play();
    ASSERT_TRUE(h.recorder.WaitState(PLAYER_STATE_PLAYING));
    {
        testkit::JumpingWallClock clock(3600, 50);
        std::this_thread::sleep_for(std::chrono::seconds(2));
    }
    EXPECT_EQ(0u, Count(h.recorder, Kind::Error, EPLAYER_SOURCE_TIMEOUT));
    PlaybackInfo info;
    h.player->GetPlaybackInfo(info);
    EXPECT_EQ(PLAYER_STATE_PLAYING, info.m_player_state);
    h.player->Stop(true);
    ASSERT_TRUE(h.recorder.WaitSettledIdle());

    // A stream that stalls while the wall clock keeps going back: the time-out still comes,
    // and Stop ends the player without cancelling its thread.
    h.recorder.Clear();
    h.player->SetItem(h.Item(server.url("/stalls"), 0));
    h.player->Play();
    ASSERT_TRUE(h.recorder.WaitState(PLAYER_STATE_PLAYING));
    {
        testkit::JumpingWallClock clock(-3600, 50);
        EXPECT_TRUE(h.recorder.WaitFor(
            [](const std::vector<Note>& notes) {
                return std::any_of(notes.begin(), notes.end(), [](const Note& n) {
                    return n.kind == Kind::Error && n.code == EPLAYER_SOURCE_TIMEOUT;
                });
            },
            15000));
        h.player->Stop(true);
        EXPECT_TRUE(h.recorder.WaitSettledIdle());
    }
    EXPECT_EQ(0u, h.log.count("killed"));
}

TEST(CPlayerClock, RetriesGoOnWhileTheWallClockGoesBack) {
    PlayerHarness h("1");
    ASSERT_EQ(0, h.Start(ShortBuffers()));
    // A port that nothing listens on: every open fails and the wait state retries.
    const std::string url = "http://127.0.0.1:" + std::to_string(UnusedPort()) + "/none";

    testkit::JumpingWallClock clock(-3600, 50);
    h.player->SetItem(h.Item(url, 0));
    h.player->Play();
    EXPECT_TRUE(h.recorder.WaitFor(
        [](const std::vector<Note>& notes) {
            return std::count_if(notes.begin(), notes.end(), [](const Note& n) {
                       return n.kind == Kind::StateChanged && n.code == PLAYER_STATE_CONNECTING;
                   }) >= 3;
        },
        15000))
        << "the retry wait never ended";
    h.player->Stop(true);
    EXPECT_TRUE(h.recorder.WaitSettledIdle());
}
