// Components built outside a player (tools, tests, another application) still log with
// the default prefix until a player hands down its own.
#include <gtest/gtest.h>

#include <string>

#include "player/decoder/CAACADTSDecoder.h"
#include "player/decoder/CAACDecoder.h"
#include "player/decoder/CAudioDecoderChain.h"
#include "player/decoder/CMP3Decoder.h"
#include "player/engine/CPlayer.h"
#include "player/output/CBufferingAlgorithm.h"
#include "player/output/CBufferingAlgorithmNone.h"
#include "player/output/CPCMOutput.h"
#include "player/output/CPCMOutputBuffered.h"
#include "player/output/CResampler.h"
#include "player/playlist/CPlaylistFileMap.h"
#include "player/source/CAudioSource.h"
#include "player/source/CURLPlaylistAudioSource.h"
#include "player/volume/CFaderAdapter.h"
#include "player/volume/CVolumeControlAdapter.h"
#include "tests/support/log/LogCapture.h"

namespace {
bool StartsWithDefault(const std::string& text) { return text.rfind("PLAYBACK :", 0) == 0; }
}  // namespace

TEST(ComponentPrefixes, EveryComponentStartsWithTheDefaultPrefix) {
    LogCapture log;
    BufferingAlgorithm::CBufferingAlgorithm rtp(500, 50);  // logs its parameters while it is built
    BufferingAlgorithm::CBufferingAlgorithmNone none(48000);
    CResampler resampler(nullptr);
    CVolumeControlAdapter volume;
    CFaderAdapter fader(nullptr);
    CPlaylistFileMap playlist;
    CURLPlaylistAudioSource resolver;
    CAudioSource source;
    CMP3Decoder mp3;
    CAACDecoder aac;
    CAACADTSDecoder adts;
    CAudioDecoderChain chain;
    CPCMOutput pcm;
    CPCMOutputBuffered buffered(&none, 500, 50);
    CPlayer player;
    const APlayerInfoAdapter* const components[] = {&rtp,  &none, &resampler, &volume, &fader,
                                                    &playlist, &resolver, &source, &mp3, &aac,
                                                    &adts, &chain, &pcm, &buffered, &player};
    for (const APlayerInfoAdapter* component : components)
        EXPECT_TRUE(StartsWithDefault(component->get_player_prefix())) << "[" << component->get_player_prefix() << "]";

    const std::vector<std::string> lines = log.matching("Buffering [level_ms,level_ticks,acc_ms,acc_ticks]");
    ASSERT_FALSE(lines.empty());
    for (const std::string& line : lines) EXPECT_TRUE(StartsWithDefault(line)) << line;

    // A player's prefix replaces the default, each component adding its own suffix.
    fader.set_player_prefix("P2 :");
    EXPECT_EQ(std::string("P2 : FADER:"), fader.get_player_prefix());
    rtp.set_player_prefix("P2 :");
    EXPECT_EQ(std::string("P2 : BUFFERING RTP:"), rtp.get_player_prefix());
}
