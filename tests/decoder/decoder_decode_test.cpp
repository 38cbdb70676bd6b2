#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "player/decoder/CMP3Decoder.h"
#include "tests/decoder/DecodeHelpers.h"
#include "tests/support/log/LogCapture.h"
#include "tests/support/media/ToneAnalysis.h"

using testkit::AnalyseTone;
using testkit::MediaFile;
using testkit::MediaPackets;
using Event = RecordingOutput::Event;

namespace {

struct Expected {
    const char* file;
    int decoder_id;
    int rate;
    int channels;
    double frequency;
    double seconds;
    uint16_t frames_per_send;  // 0: not fixed
};

// The format must be announced before any PCM, and every PCM call must follow one.
void ExpectFormatBeforePcm(const RecordingOutput& out) {
    ASSERT_FALSE(out.events.empty());
    EXPECT_EQ(out.events.front().kind, Event::kFormat);
}

void ExpectTone(const RecordingOutput::Segment& seg, const Expected& e, double seconds) {
    EXPECT_EQ(seg.format.bits, 16);
    EXPECT_EQ(seg.format.rate, e.rate);
    EXPECT_EQ(seg.format.channels, e.channels);
    const auto report = AnalyseTone(seg.samples, seg.format.channels, seg.format.rate,
                                    static_cast<size_t>(e.rate / 20));
    EXPECT_NEAR(report.frequency, e.frequency, e.frequency * 0.01);
    EXPECT_NEAR(report.rms, 0.5 / std::sqrt(2.0), 0.05);
    // Codecs add priming and padding: at most four frames of 2048 samples.
    const double expected_frames = seconds * e.rate;
    EXPECT_GE(static_cast<double>(report.frames), expected_frames - 100);
    EXPECT_LE(static_cast<double>(report.frames), expected_frames + 4 * 2048);
}

}  // namespace

TEST(Decoders, ToneFilesDecodeToTheRightPcm) {
    const Expected cases[] = {
        {"tone_440_44100_stereo.mp3", 0, 44100, 2, 440, 2.0, 0},
        {"tone_1000_22050_mono.mp3", 0, 22050, 1, 1000, 2.0, 0},
        {"tone_440_44100_stereo.mp2", 0, 44100, 2, 440, 2.0, 0},
        {"tone_440_44100_stereo.aac", 2, 44100, 2, 440, 2.0, 1024},
        {"tone_1000_22050_mono.aac", 2, 22050, 1, 1000, 2.0, 1024},
        {"tone_440_44100_stereo.m4a", 1, 44100, 2, 440, 2.0, 1024},
        {"tone_440_44100_stereo_he.aac", 2, 44100, 2, 440, 2.0, 2048},
        {"tone_440_48000_stereo.opus", 4, 48000, 2, 440, 2.0, 0},
        {"tone_440_44100_stereo.ogg", 4, 44100, 2, 440, 2.0, 0},
        {"tone_440_44100_stereo.flac", 4, 44100, 2, 440, 2.0, 0},
        {"tone_1000_48000_mono_24.flac", 4, 48000, 1, 1000, 2.0, 0},
        {"tone_440_48000_stereo.webm", 4, 48000, 2, 440, 2.0, 0},
    };
    for (const Expected& e : cases) {
        SCOPED_TRACE(e.file);
        ChainUnderTest t;
        MediaPackets media = MediaPackets::Load(MediaFile(e.file));
        ASSERT_TRUE(media.ok());
        ASSERT_EQ(media.decoder_id(), e.decoder_id);
        EXPECT_EQ(t.Play(media), 0);
        ExpectFormatBeforePcm(t.out);
        ASSERT_EQ(t.out.segments.size(), 1u);
        ExpectTone(t.out.segments[0], e, e.seconds);
        if (e.frames_per_send) {
            for (const Event& ev : t.out.events) {
                if (ev.kind == Event::kPcm) {
                    EXPECT_EQ(ev.frames, e.frames_per_send);
                }
            }
        }
    }
}

TEST(Decoders, FormatChangeIsAnnouncedBeforeItsFirstFrame) {
    for (const char* file : {"change_44100s_22050m.mp3", "change_44100s_22050m.aac"}) {
        SCOPED_TRACE(file);
        ChainUnderTest t;
        MediaPackets media = MediaPackets::Load(MediaFile(file));
        ASSERT_TRUE(media.ok());
        t.Play(media);
        ExpectFormatBeforePcm(t.out);
        ASSERT_EQ(t.out.segments.size(), 2u);
        ExpectTone(t.out.segments[0], {file, 0, 44100, 2, 440, 1.0, 0}, 1.0);
        ExpectTone(t.out.segments[1], {file, 0, 22050, 1, 1000, 1.0, 0}, 1.0);
    }
}

TEST(CMP3Decoder, EmptyAndIncompletePacketsAndMissingHandle) {
    ChainUnderTest t;
    ASSERT_EQ(t.chain.SetDecoderId(0), 0);
    // An empty write is passed downstream as an empty PCM write.
    EXPECT_EQ(t.chain.WriteBuffer(nullptr, 0, 0), 0);
    ASSERT_EQ(t.out.events.size(), 1u);
    EXPECT_EQ(t.out.events[0].kind, Event::kPcm);
    EXPECT_EQ(t.out.events[0].frames, 0);

    // Half of the first frame completes nothing.
    MediaPackets media = MediaPackets::Load(MediaFile("tone_440_44100_stereo.mp3"));
    ASSERT_TRUE(media.ok());
    const auto& p = media.packets().front();
    const uint16_t half = static_cast<uint16_t>(p.size() / 2);
    EXPECT_EQ(t.chain.WriteBuffer(p.data(), half, 0), 0);
    EXPECT_EQ(t.out.events.size(), 1u);
    // The rest of it and the next frames come out in the stream's format.
    EXPECT_EQ(t.chain.WriteBuffer(p.data() + half, static_cast<uint16_t>(p.size() - half), 0), 0);
    for (size_t i = 1; i < 4; ++i)
        t.chain.WriteBuffer(media.packets()[i].data(),
                            static_cast<uint16_t>(media.packets()[i].size()), 0);
    ASSERT_GE(t.out.events.size(), 3u);
    EXPECT_EQ(t.out.events[1].kind, Event::kFormat);
    EXPECT_EQ(t.out.CountOf(Event::kFormat), 1u);

    CMP3Decoder bare;
    EXPECT_EQ(bare.RestartFeed(), -1);
    EXPECT_EQ(bare.WriteBuffer(p.data(), static_cast<uint16_t>(p.size()), 0), -1);
}

TEST(CAACDecoder, RawDecoderNeedsASourceAndKeepsItsConfiguration) {
    LogCapture log;
    ChainUnderTest t;
    MediaPackets media = MediaPackets::Load(MediaFile("tone_440_44100_stereo.m4a"));
    ASSERT_TRUE(media.ok());
    const auto& p = media.packets()[5];
    ASSERT_EQ(t.chain.SetDecoderId(1), 0);
    EXPECT_EQ(t.chain.WriteBuffer(p.data(), static_cast<uint16_t>(p.size()), 0), -1);
    EXPECT_TRUE(log.Contains("P1 DECODER AAC+: ERROR :CAACDecoder::WriteBuffer(): Error: no "
                             "source. Call SetExtraData() first!\n"));

    t.Play(media);
    const size_t sent = t.out.CountOf(Event::kPcm);
    // A restart re-applies the stored configuration; decoding goes on without a new
    // SetExtraData and without a new announcement.
    EXPECT_EQ(t.chain.RestartFeed(), 0);
    for (const auto& packet : media.packets())
        t.chain.WriteBuffer(packet.data(), static_cast<uint16_t>(packet.size()), 0);
    EXPECT_GE(t.out.CountOf(Event::kPcm), 2 * sent - 2);
    EXPECT_EQ(t.out.CountOf(Event::kFormat), 1u);

    // The ADTS decoder restarts without any configuration.
    ASSERT_EQ(t.chain.SetDecoderId(2), 0);
    EXPECT_EQ(t.chain.RestartFeed(), 0);
}

TEST(CAACDecoder, RejectedFormatFailsThatFrameOnly) {
    LogCapture log;
    ChainUnderTest t;
    t.out.format_result = -1;
    MediaPackets media = MediaPackets::Load(MediaFile("tone_440_44100_stereo.aac"));
    ASSERT_TRUE(media.ok());
    t.Play(media);
    EXPECT_TRUE(log.Contains("ERROR :CAACDecoder::WriteBuffer(): Error: unable to change to new "
                             "format."));
    // The new format is stored before the announcement, so later frames are sent as they are.
    EXPECT_EQ(t.out.CountOf(Event::kFormat), 1u);
    EXPECT_GT(t.out.CountOf(Event::kPcm), 50u);
}

TEST(CLibavDecoder, NeedsItsStreamAndRestartsWithoutANewConfiguration) {
    LogCapture log;
    ChainUnderTest t;
    MediaPackets media = MediaPackets::Load(MediaFile("tone_440_44100_stereo.ogg"));
    ASSERT_TRUE(media.ok());
    const auto& p = media.packets()[3];
    ASSERT_EQ(t.chain.SetDecoderId(4), 0);
    EXPECT_EQ(t.chain.WriteBuffer(p.data(), static_cast<uint16_t>(p.size()), 0), -1);
    EXPECT_TRUE(log.Contains("P1 DECODER LIBAV: ERROR :CLibavDecoder::WriteBuffer(): Error: no codec "
                             "open. Call SetExtraData() first!\n"));
    // A configuration that belongs to none of the context's streams opens nothing.
    uint8_t* foreign = nullptr;
    int foreign_size = 0;
    t.chain.SetExtraData(&foreign, &foreign_size, media.context());
    EXPECT_EQ(t.chain.WriteBuffer(p.data(), static_cast<uint16_t>(p.size()), 0), -1);
    EXPECT_EQ(t.chain.RestartFeed(), -1);

    EXPECT_EQ(t.Play(media), 0);
    const size_t sent = t.out.CountOf(Event::kPcm);
    ASSERT_GT(sent, 50u);
    // Decoding goes on after a restart without a new announcement of the same format.
    EXPECT_EQ(t.chain.RestartFeed(), 0);
    for (const auto& packet : media.packets())
        t.chain.WriteBuffer(packet.data(), static_cast<uint16_t>(packet.size()), 0);
    EXPECT_GE(t.out.CountOf(Event::kPcm), 2 * sent - 2);
    EXPECT_EQ(t.out.CountOf(Event::kFormat), 1u);
}

TEST(CLibavDecoder, DamagedPacketsFailAloneAndDecodingGoesOn) {
    LogCapture log;
    ChainUnderTest t;
    MediaPackets media = MediaPackets::Load(MediaFile("tone_440_44100_stereo.flac"));
    ASSERT_TRUE(media.ok());
    t.chain.SetDecoderId(4);
    t.chain.SetExtraData(media.extradata(), media.extradata_size(), media.context());
    int failures = 0;
    size_t i = 0;
    for (const auto& packet : media.packets()) {
        std::vector<uint8_t> copy = packet;
        // Every fourth packet loses its middle: FLAC's frame checksum catches that.
        if (i++ % 4 == 1)
            for (size_t k = copy.size() / 4; k < copy.size() / 2; ++k) copy[k] ^= 0x5A;
        failures += t.chain.WriteBuffer(copy.data(), static_cast<uint16_t>(copy.size()), 0) < 0;
    }
    EXPECT_GT(failures, 0);
    EXPECT_TRUE(log.Contains("ERROR :CLibavDecoder::WriteBuffer(): Decode failed"));
    // The good packets still come out, all in the one announced format.
    EXPECT_GE(t.out.CountOf(Event::kPcm), media.packets().size() / 2);
    EXPECT_EQ(t.out.CountOf(Event::kFormat), 1u);
}
