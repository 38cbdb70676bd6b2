// The engine's interface without playback: command queue limits, range checks, texts,
// stream parameter validation, channels and calls made before Initialize.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/engine/EngineTestSupport.h"
#include "utils/CMsgQueue.h"

using namespace OrvanePlayer;
using namespace enginetest;

TEST(CMsgQueue, KeepsOrderDropsOldestAndLeavesArgumentOnEmpty) {
    LogCapture log;
    utils::CMsgQueue queue;
    queue.SetCapacity(2);
    queue.SetName("q");
    std::string argument = "unchanged";
    EXPECT_EQ(-1, queue.Get(argument));
    EXPECT_EQ("unchanged", argument);

    queue.Put(1, "one");
    queue.Put(2, "two");
    queue.Put(3, "three");  // count 2 <= capacity: still counted
    EXPECT_EQ(3, queue.Count());
    EXPECT_FALSE(log.Contains("overflow"));
    queue.Put(4, "four");  // count 3 > capacity: the oldest goes
    EXPECT_TRUE(log.Contains("Message queue 'q' overflow"));
    EXPECT_EQ(3, queue.Count());
    EXPECT_EQ(2, queue.Get(argument));
    EXPECT_EQ("two", argument);
    EXPECT_EQ(3, queue.Get(argument));
    EXPECT_EQ(4, queue.Get(argument));
    EXPECT_EQ("four", argument);
    EXPECT_EQ(0, queue.Count());
}

TEST(CPlayerApi, FiftyOneCommandsKeepTheNewestFiftyInOrder) {
    CPlayer player;  // not initialized: nothing consumes the queue
    for (uint16_t v = 0; v <= 50; ++v) EXPECT_TRUE(player.SetVolume(v));
    utils::CMsgQueue& queue = player.GetQueue();
    ASSERT_EQ(50, queue.Count());
    for (uint16_t expected = 1; expected <= 50; ++expected) {
        std::string argument;
        ASSERT_EQ(CPlayer::CMD_VOLUME, queue.Get(argument));
        uint16_t value = 0;
        ASSERT_EQ(sizeof(value), argument.size());
        std::memcpy(&value, argument.data(), sizeof(value));
        EXPECT_EQ(expected, value);
    }
}

TEST(CPlayerApi, RangeChecksTextsAndCallsBeforeInitialize) {
    LogCapture log;
    CPlayer player;
    utils::CMsgQueue& queue = player.GetQueue();

    std::string text = "kept";
    EXPECT_TRUE(player.GetErrorText(1003, text));
    std::string negative;
    EXPECT_TRUE(player.GetErrorText(-1003, negative));
    EXPECT_EQ(text, negative);
    EXPECT_EQ(0u, text.find("EPLAYER_PROCESS_BUFFER:"));
    text = "kept";
    EXPECT_FALSE(player.GetErrorText(-999, text));
    EXPECT_FALSE(player.GetErrorText(1009, text));
    EXPECT_FALSE(player.GetErrorText(-1009, text));
    EXPECT_EQ("kept", text);

    EXPECT_FALSE(player.SetVolume(101));
    EXPECT_TRUE(log.Contains("ERROR :CPlayer::SetVolume(): Volume value 101 is out of range"));
    EXPECT_EQ(0, queue.Count());
    EXPECT_FALSE(player.SetVolume_dB(1));
    EXPECT_FALSE(player.SetVolume_dB(-121));
    EXPECT_EQ(0, queue.Count());
    EXPECT_TRUE(player.SetVolume(100));
    EXPECT_TRUE(player.SetVolume_dB(-120));
    EXPECT_TRUE(player.SetVolume_dB(0));
    player.SetVolumeInUnit(30, 2);  // unknown unit: nothing
    EXPECT_EQ(3, queue.Count());

    player.SetRepeatCount(-5);
    PlaybackInfo info;
    player.GetPlaybackInfo(info);
    EXPECT_EQ(-1, info.m_repeat_count);
    player.SetRepeatCount(3);
    player.GetPlaybackInfo(info);
    EXPECT_EQ(3, info.m_repeat_count);

    const uint16_t before = queue.Count();
    PlaybackItem item;
    item.name = "p.m3u";
    player.SetItem(item);
    EXPECT_TRUE(log.Contains("ERROR :CPlayer::SetItem() called without being initialized."));
    EXPECT_EQ(before, queue.Count());

    player.set_player_id(3);
    EXPECT_TRUE(log.Contains("ERROR :NULL AUDIO OUTPUT. Failed to set new Player id/channel."));
    EXPECT_EQ(-1, player.get_player_id());

    std::string version;
    player.GetVersion(version);
    EXPECT_EQ(15u, version.size());
    EXPECT_FALSE(player.IsRunning());
}

TEST(CPlayerApi, StreamParametersAreAdjustedAndUnchangedNumbersQueueNothing) {
    LogCapture log;
    CPlayer player;
    utils::CMsgQueue& queue = player.GetQueue();

    StreamParams rtp;
    rtp.rtp_delay_ms = 30;
    rtp.rtp_accuracy_ms = 10;
    rtp.rtp_low_threshold_ms = 40;
    player.SetStreamParams(rtp);
    StreamParams stored = player.GetStreamParams();
    EXPECT_EQ(25, stored.rtp_accuracy_ms);
    EXPECT_EQ(50, stored.rtp_delay_ms);
    EXPECT_EQ(25, stored.rtp_low_threshold_ms);
    EXPECT_TRUE(log.Contains("too low rtp accuracy requested, overriding with 25"));
    EXPECT_EQ(1, queue.Count());

    StreamParams tcp;
    tcp.tcp_delay_ms = 400;
    tcp.tcp_accuracy_ms = 600;
    tcp.tcp_low_threshold_ms = 300;
    tcp.fade_in_ms = 500;
    player.SetStreamParams(tcp);
    stored = player.GetStreamParams();
    EXPECT_EQ(500, stored.tcp_delay_ms);
    EXPECT_EQ(499, stored.tcp_accuracy_ms);
    EXPECT_EQ(250, stored.tcp_low_threshold_ms);
    EXPECT_EQ(250u, stored.fade_in_ms);
    EXPECT_TRUE(log.Contains("tcp low buffer threshold (300) > (250) delay/2 requested , overriding with 250"));
    EXPECT_EQ(2, queue.Count());

    StreamParams same = stored;
    same.user_agent = "another agent";
    same.http_headers = "X-Other: 1";
    player.SetStreamParams(same);
    EXPECT_EQ(2, queue.Count());
    EXPECT_EQ("", player.GetStreamParams().user_agent);
}

TEST(CPlayerApi, ApplyStreamParamsSizesTheBufferAndWarnsOnTruncation) {
    PlayerHarness h;
    ASSERT_EQ(0, h.Start());
    // Reset values: 10000 + 50 + 8000.
    StreamParams p;
    p.fade_in_ms = 999;  // a change, so the parameters are applied
    h.player->SetStreamParams(p);
    EXPECT_TRUE(h.log.WaitFor("fade out threshold (1000) fade-out interval (999) and total buffer size of (18050)[ms]."));

    // 60000 + 25 + 7011 = 67036 wraps to 1500 in 16 bits; 1500 - 1000 < 1000.
    StreamParams big;
    big.tcp_delay_ms = 60000;
    big.tcp_accuracy_ms = 7011;
    big.rtp_delay_ms = 500;
    big.rtp_accuracy_ms = 25;
    big.tcp_low_threshold_ms = 1000;
    big.fade_in_ms = 1000;
    h.player->SetStreamParams(big);
    EXPECT_TRUE(h.log.WaitFor("fade out threshold + fade-out interval (1000+1000)=2000[ms] exceeds total buffer (1500)[ms]."));
}

TEST(CPlayerApi, PlayerIdSelectsDeviceAndMixerElement) {
    PlayerHarness h("8", 2);
    ASSERT_EQ(0, h.Start());
    EXPECT_TRUE(h.log.Contains("id=2, CPlayer::AssignPlayerChannel(): PCMOutput[plug:dmix] set to channel2."));
    for (int id : {1, 3, 4}) {
        h.player->set_player_id(id);
        EXPECT_EQ(id, h.player->get_player_id());
        EXPECT_TRUE(h.log.Contains("set to channel" + std::to_string(id) + "."));
    }
    for (int id : {0, 5}) {
        h.player->set_player_id(id);
        EXPECT_EQ(-1, h.player->AssignPlayerChannel());
        EXPECT_TRUE(h.log.Contains("unsupported mixer channel chan_" + std::to_string(id) +
                                   ". Valid values are in [1..4]. Deafalting to plug:dmix"));
    }
    // Back on channel 3: a track plays there; the mixer keeps the element it opened with.
    h.player->set_player_id(3);
    h.player_id = 3;
    h.player->SetItem(h.Item("a.mp3"));
    h.player->FadeAndPlay(0, 60);
    ASSERT_TRUE(h.recorder.WaitCount(Kind::ItemFinished, 1));
    h.FinishRecording();
    vcard::Wav wav;
    ASSERT_EQ(0, vcard::ReadWav(h.env.WavPath("channel3"), &wav));
    EXPECT_NEAR(1.2 * 44100, static_cast<double>(wav.Frames()), 0.06 * 44100);  // all of a.mp3
    EXPECT_LT(h.Mixer("chan_2"), 255);
    EXPECT_EQ(255, h.Mixer("chan_3"));
}
