#include <gtest/gtest.h>

#include <vector>

#include "tests/decoder/DecodeHelpers.h"
#include "tests/support/log/LogCapture.h"

using testkit::MediaFile;
using testkit::MediaPackets;
using Event = RecordingOutput::Event;

namespace {

std::vector<uint8_t> Garbage(size_t n, uint32_t seed) {
    std::vector<uint8_t> bytes(n);
    for (auto& b : bytes) {
        seed = seed * 1664525u + 1013904223u;  // fixed sequence, same every run
        b = static_cast<uint8_t>(seed >> 24);
    }
    return bytes;
}

int Write(ChainUnderTest& t, const std::vector<uint8_t>& p) {
    return t.chain.WriteBuffer(p.data(), static_cast<uint16_t>(p.size()), 0);
}

// After bad input, the good packets of the file must still decode to PCM.
void ExpectRecovery(ChainUnderTest& t, const MediaPackets& media, size_t from) {
    const size_t before = t.out.CountOf(Event::kPcm);
    for (size_t i = from; i < media.packets().size(); ++i)
        Write(t, media.packets()[i]);
    EXPECT_GT(t.out.CountOf(Event::kPcm), before + (media.packets().size() - from) / 2);
}

}  // namespace

TEST(Decoders, BadPacketsAreRefusedAndDecodingGoesOn) {
    for (const char* file : {"tone_440_44100_stereo.mp3", "tone_440_44100_stereo.aac",
                             "tone_440_44100_stereo.m4a", "tone_440_44100_stereo_he.aac"}) {
        SCOPED_TRACE(file);
        LogCapture log;
        ChainUnderTest t;
        MediaPackets media = MediaPackets::Load(MediaFile(file));
        ASSERT_TRUE(media.ok());
        t.chain.SetDecoderId(media.decoder_id());
        t.chain.SetExtraData(media.extradata(), media.extradata_size(), media.context());
        for (size_t i = 0; i < 10; ++i)
            Write(t, media.packets()[i]);

        // Garbage, a truncated frame, an empty packet and the largest packet possible: none may
        // crash or produce PCM of a wrong size; the results are never "success with data".
        const auto small = Garbage(417, 1);
        const auto huge = Garbage(65535, 2);
        std::vector<uint8_t> truncated(media.packets()[10].begin(),
                                       media.packets()[10].begin() + 7);
        int failures = 0;
        failures += Write(t, small) < 0;
        failures += Write(t, truncated) < 0;
        EXPECT_GE(t.chain.WriteBuffer(nullptr, 0, 0), 0);  // an empty packet is no failure
        failures += Write(t, huge) < 0;
        EXPECT_GE(failures, 1);
        for (const Event& e : t.out.events) {
            if (e.kind == Event::kPcm) {
                EXPECT_LE(e.frames, 8192);
            }
        }
        ExpectRecovery(t, media, 11);
        EXPECT_TRUE(log.Contains("ERROR :"));
    }
}

TEST(CAACDecoder, CorruptConfigurationFailsUntilAGoodOneArrives) {
    LogCapture log;
    ChainUnderTest t;
    MediaPackets media = MediaPackets::Load(MediaFile("tone_440_44100_stereo.m4a"));
    ASSERT_TRUE(media.ok());
    ASSERT_EQ(t.chain.SetDecoderId(1), 0);
    // Object type 31 escapes to an unknown type; channel configuration 15 does not exist.
    std::vector<uint8_t> bad = {0xff, 0xff, 0xff, 0xff};
    uint8_t* bad_ptr = bad.data();
    int bad_size = static_cast<int>(bad.size());
    t.chain.SetExtraData(&bad_ptr, &bad_size, media.context());
    EXPECT_TRUE(log.Contains("P1 DECODER AAC+: ERROR :CAACDecoder::SetExtraData(): Error: Unable "
                             "to decode the ASC\n"));
    int failures = 0;
    for (size_t i = 0; i < 5; ++i)
        failures += Write(t, media.packets()[i]) < 0;
    EXPECT_EQ(failures, 5);
    EXPECT_EQ(t.out.CountOf(Event::kPcm), 0u);
    EXPECT_NE(t.chain.RestartFeed(), 0);  // the stored configuration is still the bad one

    // A missing configuration is refused the same way, without reading through null.
    int zero = 0;
    t.chain.SetExtraData(nullptr, &zero, media.context());
    t.chain.SetExtraData(media.extradata(), media.extradata_size(), media.context());
    ExpectRecovery(t, media, 5);
}
