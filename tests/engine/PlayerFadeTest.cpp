// Volume and fades on the virtual card's mixer: volume commands, fades with pause, stop and
// play at their end, the automatic fade-in of tracks and streams, and commands from many
// threads at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "tests/engine/EngineTestSupport.h"
#include "tests/support/http/HttpTestServer.h"

using namespace OrvanePlayer;
using namespace enginetest;

namespace {

// Waits until the player has carried out everything queued so far.
bool Settle(PlayerHarness& h) {
    const size_t done = h.recorder.Count(Kind::CommandExecuted);
    h.player->SetShuffle(false);
    return h.recorder.WaitCount(Kind::CommandExecuted, done + 1) && h.player->GetQueue().Count() == 0;
}

std::vector<unsigned> FadeEnds(Recorder& r) {
    std::vector<unsigned> kinds;
    for (const Note& n : r.Of(Kind::FadeEnd)) kinds.push_back(static_cast<unsigned>(n.code));
    return kinds;
}

}  // namespace

TEST(CPlayerVolume, PercentAndDecibelCommandsReachTheMixer) {
    PlayerHarness h;
    ASSERT_EQ(0, h.Start());
    ASSERT_TRUE(h.player->SetVolume(100));
    ASSERT_TRUE(Settle(h));
    EXPECT_EQ(255, h.Mixer("chan_1"));
    EXPECT_EQ(100, h.player->GetVolume());

    ASSERT_TRUE(h.player->SetVolume(75));
    ASSERT_TRUE(Settle(h));
    const long at75 = h.Mixer("chan_1");
    EXPECT_LT(at75, 255);
    PlaybackInfo info;
    h.player->GetPlaybackInfo(info);
    EXPECT_EQ(75, info.m_curr_volume);

    // -20 dB is 46 % on the volume curve: (-2000 + 5450) / 74.
    ASSERT_TRUE(h.player->SetVolume_dB(-20));
    ASSERT_TRUE(Settle(h));
    h.player->GetPlaybackInfo(info);
    EXPECT_EQ(46, info.m_curr_volume);
    EXPECT_EQ(46, h.player->GetVolume());
    EXPECT_NE(h.Mixer("chan_1"), at75);

    h.player->SetVolumeInUnit(75, 0);
    ASSERT_TRUE(Settle(h));
    EXPECT_EQ(at75, h.Mixer("chan_1"));
    EXPECT_EQ(0u, h.recorder.Count(Kind::Error));
}

TEST(CPlayerFade, FadesEndInPauseStopOrPlay) {
    PlayerHarness h("1");
    ASSERT_EQ(0, h.Start());
    h.WritePlaylist("p.m3u", {"a.mp3", "b.mp3", "c.mp3"});
    h.player->SetItem(h.Item("p.m3u", -1));
    h.player->FadeAndPlay(0, 90);
    ASSERT_TRUE(h.recorder.WaitState(PLAYER_STATE_PLAYING));
    EXPECT_EQ(90, h.player->GetVolume());

    h.player->FadeAndPause(300, 20);
    ASSERT_TRUE(h.recorder.WaitState(PLAYER_STATE_PAUSED));
    EXPECT_EQ(20, h.player->GetVolume());
    EXPECT_TRUE(h.log.Contains("CPlayer::EndFadingCallback(): Pause executed, ending fading"));

    // From paused, a fade-in over 300 ms resumes at once and ends at the target.
    h.player->FadeAndPlay(300, 0, 70);
    ASSERT_TRUE(h.recorder.WaitState(PLAYER_STATE_PLAYING));
    ASSERT_TRUE(h.recorder.WaitFor([](const std::vector<Note>& notes) {
        return std::any_of(notes.begin(), notes.end(), [](const Note& n) {
            return n.kind == Kind::FadeEnd && n.code == FADE_END_NONE && n.info.m_curr_volume == 70;
        });
    }));
    EXPECT_EQ(70, h.player->GetVolume());

    h.player->FadeAndStop(300, 0);
    ASSERT_TRUE(h.recorder.WaitState(PLAYER_STATE_IDLE));
    EXPECT_EQ(0, h.player->GetVolume());
    EXPECT_TRUE(h.WaitMixer("chan_1", 0)) << h.Mixer("chan_1");
    EXPECT_TRUE(h.log.Contains("CPlayer::EndFadingCallback(): Stop executed, ending fading"));

    // Prepared while idle: the fade starts when the file track plays.
    h.player->FadeAndPlay(300, 10, 60);
    ASSERT_TRUE(h.recorder.WaitState(PLAYER_STATE_PLAYING));
    EXPECT_TRUE(h.log.Contains("Player not playing right now, only setting up"));
    ASSERT_TRUE(h.recorder.WaitFor([](const std::vector<Note>& notes) {
        return std::count_if(notes.begin(), notes.end(), [](const Note& n) {
                   return n.kind == Kind::FadeEnd && n.info.m_curr_volume == 60;
               }) >= 1;
    }));
    EXPECT_EQ(60, h.player->GetVolume());
    h.player->Stop(true);
    ASSERT_TRUE(h.recorder.WaitSettledIdle());
}

TEST(CPlayerFade, EveryTrackFadesInFromZeroToTheItemVolume) {
    PlayerHarness h("1");
    ASSERT_EQ(0, h.Start());
    h.WritePlaylist("p.m3u", {"a.mp3", "b.mp3"});
    PlaybackItem item = h.Item("p.m3u", 0);
    item.volume = 70;
    item.auto_fade_tracks = 1;
    // Watch the card's mixer while the two tracks play.
    std::atomic<bool> watching{true};
    std::vector<long> levels;
    std::thread sampler([&] {
        while (watching) {
            const long level = h.Mixer("chan_1");
            if (levels.empty() || levels.back() != level) levels.push_back(level);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    h.player->SetItem(item);
    h.player->Play();
    const bool finished = h.recorder.WaitCount(Kind::ItemFinished, 1);
    const bool faded = h.recorder.WaitFor([](const std::vector<Note>& notes) {
        return std::count_if(notes.begin(), notes.end(), [](const Note& n) {
                   return n.kind == Kind::FadeEnd && n.code == FADE_END_TRACK_FADE_IN;
               }) >= 2;
    });
    watching = false;
    sampler.join();
    ASSERT_TRUE(finished);
    ASSERT_TRUE(faded) << h.log.All();
    EXPECT_EQ(2u, h.recorder.Count(Kind::TrackFadeIn));
    // The last fade-in ends at the item volume; the first one too, unless the next
    // track's fade-in took over before it ended (the device still held the first track):
    // it then ends where it had got to, without jumping to the item volume.
    int fade_in_ends = 0;
    int last_end_volume = -1;
    for (const Note& n : h.recorder.Of(Kind::FadeEnd)) {
        if (n.code == FADE_END_TRACK_FADE_IN) {
            EXPECT_GT(n.info.m_curr_volume, 0);
            EXPECT_LE(n.info.m_curr_volume, 70);
            last_end_volume = n.info.m_curr_volume;
            ++fade_in_ends;
        }
    }
    EXPECT_GE(fade_in_ends, 2);
    EXPECT_EQ(70, last_end_volume);
    // 1.2 s tracks are shorter than the end margin: the wait ends at once.
    EXPECT_TRUE(h.log.Contains("is too short, issue wait end now."));
    EXPECT_EQ(70, h.player->GetVolume());

    // Each track starts from silence and climbs through intermediate levels to the same top.
    ASSERT_FALSE(levels.empty());
    const long top = levels.back();
    int starts = 0;
    for (size_t i = 1; i < levels.size(); ++i)
        if (levels[i] == 0 && levels[i - 1] != 0) ++starts;
    if (!levels.empty() && levels[0] == 0) ++starts;
    EXPECT_EQ(2, starts);
    EXPECT_GT(levels.size(), 6u) << "the fade moves in steps";
    // (the first sample is the card's level before the item started)
    EXPECT_EQ(top, *std::max_element(levels.begin() + 1, levels.end()));
    EXPECT_GT(top, 0);
}
TEST(CPlayerFade, StreamFadesInOnceBufferedAndCommandsFromManyThreads) {
    PlayerHarness h("2");
    testkit::HttpTestServer server(h.env.Dir(),
                                   std::string("{\"/radio\": {\"file\": \"") + ENGINE_TEST_MEDIA +
                                       "/stream.mp3\", \"loop\": true, \"rate\": 32000}}");
    ASSERT_TRUE(server.running());
    StreamParams params;
    params.tcp_delay_ms = 500;
    params.tcp_accuracy_ms = 250;
    params.tcp_low_threshold_ms = 250;
    params.fade_in_ms = 250;
    ASSERT_EQ(0, h.Start(params));
    PlaybackItem item = h.Item(server.url("/radio"), -1);
    item.volume = 65;
    item.auto_fade_streams = 1;
    h.player->SetItem(item);
    h.player->Play();
    ASSERT_TRUE(h.recorder.WaitState(PLAYER_STATE_PLAYING));
    ASSERT_TRUE(h.recorder.WaitCount(Kind::FadeEnd, 1));
    const Note fade = h.recorder.Of(Kind::FadeEnd)[0];
    EXPECT_EQ(static_cast<int>(FADE_END_NONE), fade.code);
    EXPECT_TRUE(fade.flag);
    EXPECT_EQ(65, fade.info.m_curr_volume);
    EXPECT_TRUE(h.log.Contains("setting up automatic stream fade in with duration 250ms."));

    // Four threads hammer the player while it plays; it must stay consistent and responsive.
    std::atomic<bool> go{true};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; go && i < 60; ++i) {
                PlaybackInfo info;
                switch ((i + t) % 5) {
                    case 0: h.player->SetVolume(static_cast<uint16_t>(40 + i % 20)); break;
                    case 1: h.player->GetPlaybackInfo(info); break;
                    case 2: h.player->SetRepeatCount(-1); break;
                    case 3: h.player->SetStreamParams(params); break;
                    default: h.player->IsStream(); break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
    }
    for (std::thread& t : threads) t.join();
    go = false;
    ASSERT_TRUE(Settle(h));
    const uint16_t volume = h.player->GetVolume();
    EXPECT_GE(volume, 40);
    EXPECT_LT(volume, 60);
    h.player->Stop(true);
    ASSERT_TRUE(h.recorder.WaitSettledIdle());
    EXPECT_TRUE(FadeEnds(h.recorder).size() >= 1u);
}
