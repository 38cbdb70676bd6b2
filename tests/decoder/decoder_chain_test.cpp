#include <gtest/gtest.h>

#include "tests/decoder/DecodeHelpers.h"
#include "tests/support/log/LogCapture.h"

using testkit::MediaFile;
using testkit::MediaPackets;

TEST(CAudioDecoderChain, SelectsDecodersByIdAndRefusesThePcmId) {
    ChainUnderTest t;
    EXPECT_EQ(t.chain.GetDecoderId(), -1);
    ASSERT_EQ(t.chain.SetDecoderId(1), 0);
    EXPECT_EQ(t.chain.GetDecoderId(), -1);  // the chain has no id of its own
    EXPECT_EQ(t.chain.GetDecoder(1)->GetDecoderId(), 1);
    EXPECT_EQ(t.chain.GetDecoder(0)->GetDecoderId(), 0);
    EXPECT_EQ(t.chain.GetDecoder(2)->GetDecoderId(), 2);
    EXPECT_EQ(t.chain.GetDecoder(3), nullptr);
    EXPECT_EQ(t.chain.GetDecoder(4)->GetDecoderId(), 4);

    // No PCM pass-through decoder: nothing is active afterwards.
    const uint8_t byte = 0;
    AudioInfo info;
    EXPECT_EQ(t.chain.SetDecoderId(3), -1);
    EXPECT_EQ(t.chain.WriteBuffer(&byte, 1, 0), -1);
    EXPECT_EQ(t.chain.RestartFeed(), -1);
    EXPECT_EQ(t.chain.SetAudioFormat(&info), -1);
    EXPECT_EQ(t.chain.ReservedOperation(0, 0), -1);
    EXPECT_EQ(t.chain.SetBufferSize(10), 0);
    t.chain.SetExtraData(nullptr, nullptr, nullptr);
    EXPECT_EQ(t.chain.SetDecoderId(-1), -1);
    EXPECT_EQ(t.chain.SetDecoderId(5), -1);
    EXPECT_TRUE(t.out.events.empty());

    // After teardown no id selects anything.
    t.chain.DestroyDecoders();
    EXPECT_EQ(t.chain.SetDecoderId(0), -1);
}

TEST(CAudioDecoderChain, PrefixesAndLatestDependentOutput) {
    ChainUnderTest t;
    t.chain.set_player_prefix("P2");
    EXPECT_STREQ(t.chain.get_player_prefix(), "P2 DECODER CHAIN:");
    EXPECT_STREQ(dynamic_cast<CAudioOutput*>(t.chain.GetDecoder(0))->get_player_prefix(),
                 "P2 DECODER MP3:");
    EXPECT_STREQ(dynamic_cast<CAudioOutput*>(t.chain.GetDecoder(1))->get_player_prefix(),
                 "P2 DECODER AAC+:");
    EXPECT_STREQ(dynamic_cast<CAudioOutput*>(t.chain.GetDecoder(2))->get_player_prefix(),
                 "P2 DECODER AAC+ ADTS:");
    EXPECT_STREQ(dynamic_cast<CAudioOutput*>(t.chain.GetDecoder(4))->get_player_prefix(),
                 "P2 DECODER LIBAV:");

    // Switching outputs twice leaves each decoder writing only to the latest one.
    RecordingOutput second, third;
    t.chain.SetDependentOutput(&second);
    t.chain.SetDependentOutput(&third);
    MediaPackets mp3 = MediaPackets::Load(MediaFile("tone_440_44100_stereo.mp3"));
    MediaPackets adts = MediaPackets::Load(MediaFile("tone_440_44100_stereo.aac"));
    ASSERT_TRUE(mp3.ok() && adts.ok());
    EXPECT_EQ(t.Play(mp3), 0);
    t.Play(adts);
    EXPECT_TRUE(t.out.events.empty());
    EXPECT_TRUE(second.events.empty());
    EXPECT_GT(third.CountOf(RecordingOutput::Event::kPcm), 100u);
}

TEST(CAudioDecoderChain, SameFormatTracksAreAnnouncedOnce) {
    for (const char* second_track : {"tone_880_44100_stereo.mp3", "tone_440_44100_stereo.aac"}) {
        SCOPED_TRACE(second_track);
        ChainUnderTest t;
        MediaPackets first = MediaPackets::Load(MediaFile("tone_440_44100_stereo.mp3"));
        MediaPackets next = MediaPackets::Load(MediaFile(second_track));
        ASSERT_TRUE(first.ok() && next.ok());
        t.Play(first);
        // The player reopens the stream: the decoder restarts its feed.
        t.chain.SetDecoderId(next.decoder_id());
        EXPECT_EQ(t.chain.RestartFeed(), 0);
        t.Play(next);
        // A PCM output reopens the device on every announcement; same format, no reopen.
        // (MP3 and AAC decoders each announce their first stream once.)
        const size_t expected = next.decoder_id() == first.decoder_id() ? 1u : 2u;
        EXPECT_EQ(t.out.CountOf(RecordingOutput::Event::kFormat), expected);
    }
}

TEST(CAudioDecoderChain, CreateChainReportsTheAacResult) {
    LogCapture log;
    mpg123_init();
    CAudioDecoderChain chain;
    EXPECT_EQ(chain.CreateChain("P3"), 0);
    EXPECT_EQ(chain.CreateChain("P3"), 0);  // a second fill replaces the decoders
    EXPECT_EQ(chain.SetDecoderId(0), 0);
    chain.DestroyDecoders();
    chain.DestroyDecoders();  // idempotent
    EXPECT_TRUE(log.Contains("P3 DECODER MP3: CMP3Decoder::DeInitialize() End.\n"));
    EXPECT_FALSE(log.Contains("ERROR"));
}
