#pragma once

#include <mpg123.h>

#include <string>

#include "player/decoder/CAudioDecoderChain.h"
#include "tests/decoder/RecordingOutput.h"
#include "tests/support/media/MediaPackets.h"

// A chain built the way the player builds it, writing into a recording output.
struct ChainUnderTest {
    ChainUnderTest() {
        mpg123_init();  // the player initialises the library before CreateChain
        chain.CreateChain("P1");
        chain.SetDependentOutput(&out);
    }
    ~ChainUnderTest() { chain.DestroyDecoders(); }

    // Selects the decoder for the media as the source does and feeds every packet.
    // Returns how many WriteBuffer calls failed.
    int Play(testkit::MediaPackets& media) {
        chain.SetDecoderId(media.decoder_id());
        chain.SetExtraData(media.extradata(), media.extradata_size(), media.context());
        int failures = 0;
        for (const auto& p : media.packets())
            failures += chain.WriteBuffer(p.data(), static_cast<uint16_t>(p.size()), 0) < 0;
        return failures;
    }

    RecordingOutput out;
    CAudioDecoderChain chain;
};
