// Network streams on the virtual card, served by the loopback HTTP test server: ICY
// titles, playlist URLs, buffering and under-runs, unreachable and stalled servers, RTP.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <thread>

#include "tests/engine/EngineTestSupport.h"
#include "tests/support/http/HttpTestServer.h"

using namespace OrvanePlayer;
using namespace enginetest;

namespace {

StreamParams ShortBuffers() {
    StreamParams p;
    p.tcp_delay_ms = 500;
    p.tcp_accuracy_ms = 250;
    p.tcp_low_threshold_ms = 250;
    p.fade_in_ms = 250;
    return p;
}

// Reads the player's stream figures from its own thread, as an application does, and
// keeps the largest counts seen while the stream was on.
class HealthWatcher final {
public:
    explicit HealthWatcher(CPlayer& player) : m_thread([this, &player] {
        while (!m_stop) {
            const OrvanePlayer::StreamHealth h = player.GetStreamHealth();
            if (h.active) {
                m_active = true;
                m_underruns = std::max<uint64_t>(m_underruns, h.underruns);
                m_reconnects = std::max<uint64_t>(m_reconnects, h.reconnects);
                m_target_ms = h.target_ms;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }) {}
    ~HealthWatcher() { Stop(); }
    void Stop() {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
    }
    std::atomic<bool> m_active{false};
    std::atomic<uint64_t> m_underruns{0};
    std::atomic<uint64_t> m_reconnects{0};
    std::atomic<uint32_t> m_target_ms{0};

private:
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// 128 kbit/s of MP3 is 16000 bytes per second of audio.
std::string StreamRoute(int bytes_per_second, const std::string& extra = "") {
    return std::string("{\"file\": \"") + ENGINE_TEST_MEDIA + "/stream.mp3\", \"loop\": true, \"rate\": " +
           std::to_string(bytes_per_second) + ", \"headers\": {\"Content-Type\": \"audio/mpeg\"}" + extra + "}";
}

std::vector<int> States(Recorder& r) {
    std::vector<int> out;
    for (const Note& n : r.Of(Kind::StateChanged)) out.push_back(n.code);
    return out;
}

size_t CountErrors(Recorder& r, int code) {
    size_t n = 0;
    for (const Note& note : r.Of(Kind::Error))
        if (note.code == code) ++n;
    return n;
}

}  // namespace

TEST(CPlayerStream, HttpStreamWithIcyTitlesBuffersThenPlays) {
    PlayerHarness h("2");
    testkit::HttpTestServer server(h.env.Dir(),
                                   "{\"/radio\": " +
                                       StreamRoute(32000, ", \"icy\": true, \"metaint\": 16000, \"title_blocks\": 6, "
                                                          "\"titles\": [\"Song A\", \"Song B\"]") +
                                       "}");
    ASSERT_TRUE(server.running());
    ASSERT_EQ(0, h.Start(ShortBuffers()));
    h.player->SetItem(h.Item(server.url("/radio"), 0));
    EXPECT_TRUE(h.player->IsStream());
    h.player->Play();
    ASSERT_TRUE(h.recorder.WaitCount(Kind::InfoChanged, 1, "Song B"));
    ASSERT_TRUE(h.recorder.WaitState(PLAYER_STATE_PLAYING));
    PlaybackInfo info;
    h.player->GetPlaybackInfo(info);
    EXPECT_EQ("Song B", info.m_curr_song_name);
    EXPECT_EQ(server.url("/radio"), info.m_playlist_name);
    EXPECT_GE(h.recorder.Count(Kind::InfoChanged, "Song A"), 1u);
    EXPECT_TRUE(h.log.Contains("Switching to TCP buffering. Setting delay to 5 s."));
    EXPECT_TRUE(h.log.Contains("Setting PCM Output to BUFFERED output"));
    const std::vector<int> states = States(h.recorder);
    ASSERT_GE(states.size(), 3u);
    EXPECT_EQ((std::vector<int>{PLAYER_STATE_CONNECTING, PLAYER_STATE_BUFFERING, PLAYER_STATE_PLAYING}),
              std::vector<int>(states.begin(), states.begin() + 3));
    EXPECT_NE(std::string::npos, server.requests().find("Icy-MetaData: 1"));

    // The stream starts with no more than its 500 ms buffered (half that on this card's
    // doubled clock): a busy machine may under-run it once, which also ends the track.
    const size_t finished = h.recorder.Count(Kind::TrackFinished);
    h.player->Stop(true);
    ASSERT_TRUE(h.recorder.WaitCount(Kind::TrackFinished, finished + 1));
    EXPECT_EQ(PLAYER_STATE_IDLE, h.recorder.Of(Kind::TrackFinished)[finished].info.m_player_state);
    EXPECT_TRUE(h.recorder.Of(Kind::TrackFinished)[finished].flag);

    // A file after the stream goes back to the normal output.
    h.player->SetItem(h.Item("a.mp3", 0));
    h.player->Play();
    ASSERT_TRUE(h.recorder.WaitCount(Kind::ItemFinished, 1, "a.mp3"));
    EXPECT_TRUE(h.log.Contains("Setting PCM Output to NORMAL output"));
    // The card keeps the 48 kHz stream recording aside when the 44.1 kHz file opens it.
    h.FinishRecording();
    vcard::Wav wav;
    ASSERT_EQ(0, vcard::ReadWav(h.env.WavPath("channel1-1"), &wav));
    EXPECT_EQ(48000u, wav.rate);
    EXPECT_NEAR(1000.0, vcard::DominantFrequency(wav, 0, wav.rate / 2, wav.rate / 4), 20.0);
    ASSERT_EQ(0, vcard::ReadWav(h.env.WavPath("channel1"), &wav));
    EXPECT_NEAR(440.0, vcard::DominantFrequency(wav, 0, wav.rate / 4, wav.rate / 4), 10.0);
}

TEST(CPlayerStream, SlowStreamUnderrunsRebuffersAndReportsLowBuffer) {
    // The server sends at half the rate the card plays: the buffer runs dry again and again.
    PlayerHarness h("1");
    testkit::HttpTestServer server(h.env.Dir(), "{\"/slow\": " + StreamRoute(8000) + "}");
    ASSERT_TRUE(server.running());
    ASSERT_EQ(0, h.Start(ShortBuffers()));
    HealthWatcher health(*h.player);
    h.player->SetItem(h.Item(server.url("/slow"), 0));
    h.player->Play();
    // Dips: the level falls below the threshold; each needs a refill before the next error.
    ASSERT_TRUE(h.recorder.WaitFor([](const std::vector<Note>& notes) {
        const auto dips = std::count_if(notes.begin(), notes.end(), [](const Note& n) {
            return n.kind == Kind::Error && n.code == EPLAYER_STREAM_LOW_BUFFER_REACHED;
        });
        const auto rebuffers = std::count_if(notes.begin(), notes.end(), [](const Note& n) {
            return n.kind == Kind::StateChanged && n.code == PLAYER_STATE_BUFFERING;
        });
        return dips >= 1 && rebuffers >= 2;
    }));
    h.player->Stop(true);
    ASSERT_TRUE(h.recorder.WaitFor([](const std::vector<Note>& notes) {
        return !notes.empty() && notes.back().kind == Kind::CommandExecuted &&
               notes.back().info.m_player_state == PLAYER_STATE_IDLE;
    }));
    health.Stop();
    // Every fall back to buffering was an under-run of the card; the server never went away.
    EXPECT_TRUE(health.m_active);
    EXPECT_GE(health.m_underruns, 1u);
    EXPECT_EQ(health.m_reconnects, 0u);
    EXPECT_EQ(health.m_target_ms, 500u);
    EXPECT_FALSE(h.player->GetStreamHealth().active) << "a stopped stream is no stream";

    const size_t low = CountErrors(h.recorder, EPLAYER_STREAM_LOW_BUFFER_REACHED);
    EXPECT_GE(low, 1u);
    EXPECT_EQ(h.log.count("audio buffer reached low level"), low);
    // A fall back to buffering closes the stretch partially, without closing the source;
    // the stop closes the last one.
    const std::vector<Note> finished = h.recorder.Of(Kind::TrackFinished);
    ASSERT_GE(finished.size(), 2u);
    for (const Note& n : finished) EXPECT_TRUE(n.flag);
    EXPECT_EQ(0u, h.recorder.Count(Kind::ItemFinished));
}

TEST(CPlayerStream, PlaylistUrlResolvesToItsStream) {
    PlayerHarness h("2");
    testkit::HttpTestServer server(
        h.env.Dir(), "{\"/radio.m3u\": {\"body\": \"#EXTM3U\\nhttp://127.0.0.1:{port}/stream\\n\", \"headers\": "
                     "{\"Content-Type\": \"audio/x-mpegurl\"}}, \"/stream\": " +
                         StreamRoute(32000) + "}");
    ASSERT_TRUE(server.running());
    ASSERT_EQ(0, h.Start(ShortBuffers()));
    h.player->SetItem(h.Item(server.url("/radio.m3u"), 0));
    h.player->Play();
    ASSERT_TRUE(h.recorder.WaitCount(Kind::TrackStarted, 1));
    const Note started = h.recorder.Of(Kind::TrackStarted)[0];
    EXPECT_EQ(server.url("/radio.m3u"), started.info.m_curr_music_file);
    EXPECT_EQ(32u, started.info.m_playlist_digest.size());
    EXPECT_NE(std::string::npos, server.requests().find("GET /stream"));
    h.player->Stop(true);
    ASSERT_TRUE(h.recorder.WaitSettledIdle());
}

TEST(CPlayerStream, UnreachableStreamRetriesThroughWaitUntilStopped) {
    PlayerHarness h("2");
    ASSERT_EQ(0, h.Start(ShortBuffers()));
    const std::string url = "http://127.0.0.1:" + std::to_string(UnusedPort()) + "/none";
    h.player->SetItem(h.Item(url, 0));
    h.player->Play();
    ASSERT_TRUE(h.recorder.WaitFor([](const std::vector<Note>& notes) {
        return std::count_if(notes.begin(), notes.end(), [](const Note& n) {
                   return n.kind == Kind::StateChanged && n.code == PLAYER_STATE_WAIT;
               }) >= 2;
    }));
    h.player->Stop(true);
    ASSERT_TRUE(h.recorder.WaitSettledIdle());
    const std::vector<int> states = States(h.recorder);
    EXPECT_EQ((std::vector<int>{PLAYER_STATE_CONNECTING, PLAYER_STATE_WAIT, PLAYER_STATE_CONNECTING,
                                PLAYER_STATE_WAIT}),
              std::vector<int>(states.begin(), states.begin() + 4));
    EXPECT_GE(CountErrors(h.recorder, EPLAYER_OPEN_URL), 2u);
    EXPECT_EQ(0u, h.recorder.Count(Kind::TrackFinished)) << "a stream that never opened is not finished";
}

TEST(CPlayerStream, StopCutsAStalledOpenAndRtpUsesItsOwnBuffering) {
    PlayerHarness h("2");
    // The server waits a minute before answering: only the interrupt can end the open.
    testkit::HttpTestServer server(h.env.Dir(), "{\"/late\": {\"delay\": 60, \"body\": \"x\"}}");
    ASSERT_TRUE(server.running());
    ASSERT_EQ(0, h.Start(ShortBuffers()));
    h.player->SetItem(h.Item(server.url("/late"), 0));
    h.player->Play();
    ASSERT_TRUE(h.recorder.WaitState(PLAYER_STATE_CONNECTING));
    ASSERT_TRUE(h.log.WaitFor("setting to: [" + server.url("/late")));
    h.player->Stop(true);
    ASSERT_TRUE(h.recorder.WaitSettledIdle(4000)) << "the stop waited for the network";
    EXPECT_TRUE(h.log.Contains("Custom interrupt detected"));
    EXPECT_EQ(0u, h.recorder.Count(Kind::Error));

    // Nothing arrives on the RTP port: the RTP delay sets a 5 s source timeout.
    h.recorder.Clear();
    const std::string rtp = "rtp://127.0.0.1:" + std::to_string(UnusedPort(SOCK_DGRAM));
    h.player->SetItem(h.Item(rtp, 0));
    h.player->Play();
    ASSERT_TRUE(h.log.WaitFor("Switching to RTP buffering. Setting delay to 5 [" + rtp + "]"));
    h.player->Stop(true);
    ASSERT_TRUE(h.recorder.WaitSettledIdle(4000));
}

TEST(CPlayerStream, StreamThatEndsIsReopenedWhenTheItemRepeats) {
    // The server closes the connection after one pass of the file; an endless item connects again.
    PlayerHarness h("2");
    testkit::HttpTestServer server(h.env.Dir(), std::string("{\"/once\": {\"file\": \"") + ENGINE_TEST_MEDIA +
                                                    "/stream.mp3\", \"rate\": 32000, \"headers\": "
                                                    "{\"Content-Type\": \"audio/mpeg\"}}}");
    ASSERT_TRUE(server.running());
    ASSERT_EQ(0, h.Start(ShortBuffers()));
    HealthWatcher health(*h.player);
    h.player->SetItem(h.Item(server.url("/once"), -1));
    h.player->Play();
    // Connected, played, lost the stream, connected again and plays.
    ASSERT_TRUE(h.recorder.WaitFor([](const std::vector<Note>& notes) {
        int connects = 0;
        for (const Note& n : notes) {
            if (n.kind == Kind::StateChanged && n.code == PLAYER_STATE_CONNECTING) ++connects;
            if (connects >= 2 && n.kind == Kind::TrackStarted) return true;
        }
        return false;
    }));
    const OrvanePlayer::StreamHealth reopened = h.player->GetStreamHealth();
    h.player->Stop(true);
    ASSERT_TRUE(h.recorder.WaitSettledIdle());
    health.Stop();
    // The same item connected again: its counts went on.
    EXPECT_TRUE(reopened.active);
    EXPECT_GE(reopened.reconnects, 1u);
    EXPECT_GE(reopened.stream_age_ms, 1000u);
    EXPECT_FALSE(h.player->GetStreamHealth().active);
    EXPECT_EQ(0u, h.recorder.Count(Kind::ItemFinished));
    EXPECT_EQ(1u, h.recorder.Count(Kind::ItemStarted));
    EXPECT_GE(h.recorder.Count(Kind::TrackFinished), 2u);
}

namespace {

// The twelve tones of tones.mp3, one second each.
std::vector<int> FileTones() {
    std::vector<int> tones;
    double hz = 300;
    for (int i = 0; i < 12; ++i, hz *= 1.15) tones.push_back(static_cast<int>(std::lround(hz)));
    return tones;
}

// A body without a length ends with the connection, which the server announces.
std::string FileRoute(const std::string& extra) {
    return std::string("{\"file\": \"") + ENGINE_TEST_MEDIA +
           "/tones.mp3\", \"headers\": {\"Content-Type\": \"audio/mpeg\", \"Connection\": \"close\"}" + extra + "}";
}

// Frames from the first to the last sample that is not silence, on channel 0.
size_t SoundSpan(const vcard::Wav& wav) {
    size_t first = wav.Frames();
    size_t last = 0;
    for (size_t i = 0; i < wav.Frames(); ++i) {
        if (std::abs(wav.At(i, 0)) < 1000) continue;
        first = std::min(first, i);
        last = i;
    }
    return first < last ? last - first + 1 : 0;
}

}  // namespace

TEST(CPlayerStream, FiniteFileFasterThanRealTimePlaysWholeOnceInOrder) {
    // A web server sends a 12 s file as fast as it can: the ring (9 s) must hold the reader
    // back instead of dropping audio, and the end of the file is the end of the track.
    // Once with a Content-Length (a static web server), once without (a body that ends
    // with the connection): both are files, neither carries ICY headers.
    for (const char* length : {"true", "false"}) {
        SCOPED_TRACE(std::string("Content-Length sent: ") + length);
        PlayerHarness h("8");
        testkit::HttpTestServer server(h.env.Dir(),
                                       "{\"/file.mp3\": " + FileRoute(std::string(", \"length\": ") + length) + "}");
        ASSERT_TRUE(server.running());
        ASSERT_EQ(0, h.Start(ShortBuffers()));
        h.player->SetItem(h.Item(server.url("/file.mp3"), 0));
        h.player->Play();
        ASSERT_TRUE(h.recorder.WaitCount(Kind::ItemFinished, 1));
        h.FinishRecording();

        EXPECT_EQ(0u, h.log.count("Audio buffer full")) << "audio was dropped";
        EXPECT_EQ(1u, h.log.count("end of a finite stream, playing out"));
        EXPECT_EQ(1u, h.log.count("Opening URL playback audio source")) << "the file was fetched again";
        EXPECT_TRUE(h.recorder.Of(Kind::Error).empty());
        ASSERT_EQ(1u, h.recorder.Count(Kind::TrackFinished));
        EXPECT_FALSE(h.recorder.Of(Kind::TrackFinished)[0].flag) << "the track was not played to its end";

        EXPECT_EQ(FileTones(), h.ToneOrder(FileTones()));
        vcard::Wav wav;
        ASSERT_EQ(0, vcard::ReadWav(h.env.WavPath("channel1"), &wav));
        // Twelve seconds at 48 kHz; one lost or repeated MP3 frame would be 1254 frames.
        EXPECT_NEAR(12.0 * 48000, static_cast<double>(SoundSpan(wav)), 600.0);
        EXPECT_TRUE(vcard::FindSilence(wav, 480, 64).size() <= 2) << "a gap inside the file";
    }
}

TEST(CPlayerStream, StopAndNewItemCutIntoAFullRingAndIntoThePlayOut) {
    PlayerHarness h("1");
    testkit::HttpTestServer server(h.env.Dir(), "{\"/file.mp3\": " + FileRoute(", \"length\": true") + "}");
    ASSERT_TRUE(server.running());
    ASSERT_EQ(0, h.Start(ShortBuffers()));

    // The reader waits for room in the playback callback's checks: Stop ends it.
    h.player->SetItem(h.Item(server.url("/file.mp3"), 0));
    h.player->Play();
    ASSERT_TRUE(h.recorder.WaitState(PLAYER_STATE_PLAYING));
    ASSERT_TRUE(h.log.WaitFor("ring full, the source waits for the device"));
    h.player->Stop(true);
    ASSERT_TRUE(h.recorder.WaitSettledIdle(5000));
    ASSERT_EQ(1u, h.recorder.Count(Kind::TrackFinished));
    EXPECT_TRUE(h.recorder.Of(Kind::TrackFinished)[0].flag);

    // At the end of the file the rest plays out over many passes: a new item cuts in.
    h.recorder.Clear();
    h.log.clear();
    h.player->SetItem(h.Item(server.url("/file.mp3"), 0));
    h.player->Play();
    ASSERT_TRUE(h.log.WaitFor("end of a finite stream, playing out"));
    h.player->SetItem(h.Item("a.mp3", 0));
    h.player->Play();
    ASSERT_TRUE(h.recorder.WaitCount(Kind::ItemFinished, 1, "a.mp3"));
    EXPECT_EQ(0u, h.recorder.Count(Kind::ItemFinished, server.url("/file.mp3")));
    EXPECT_EQ(0u, h.log.count("Thread Player killed"));
    EXPECT_EQ(0u, h.log.count("Audio buffer full"));
}

TEST(CPlayerStream, LiveStreamThatEndsIsNotPlayedOut) {
    // A server that answers with ICY headers is radio: when it closes, the stream is lost,
    // not finished, and what is buffered is not played out.
    PlayerHarness h("4");
    testkit::HttpTestServer server(h.env.Dir(), std::string("{\"/radio\": {\"file\": \"") + ENGINE_TEST_MEDIA +
                                                    "/stream.mp3\", \"headers\": {\"icy-name\": \"On Air\", \"Connection\": \"close\"}}}");
    ASSERT_TRUE(server.running());
    ASSERT_EQ(0, h.Start(ShortBuffers()));
    h.player->SetItem(h.Item(server.url("/radio"), 0));
    h.player->Play();
    ASSERT_TRUE(h.recorder.WaitCount(Kind::ItemFinished, 1));
    // libavformat reports the end of a body without a length as a read error; a server
    // that closed cleanly is the end of its stream, no fault.
    EXPECT_TRUE(h.log.Contains("the server closed the connection of"));
    EXPECT_EQ(0u, h.log.count("other error detected"));
    EXPECT_EQ(0u, h.log.count("Audio processing returned"));
    EXPECT_EQ(0u, h.log.count("end of a finite stream"));
}

TEST(CPlayerStream, LiveStreamWhoseConnectionBreaksIsStillAnError) {
    // A reset is no clean end: it stays a read error, in the log and to the delegate.
    PlayerHarness h("4");
    testkit::HttpTestServer server(h.env.Dir(), std::string("{\"/radio\": {\"file\": \"") + ENGINE_TEST_MEDIA +
                                                    "/stream.mp3\", \"loop\": true, \"rate\": 64000, \"reset_after\": 1, "
                                                    "\"headers\": {\"icy-name\": \"On Air\"}}}");
    ASSERT_TRUE(server.running());
    ASSERT_EQ(0, h.Start(ShortBuffers()));
    h.player->SetItem(h.Item(server.url("/radio"), 0));
    h.player->Play();
    ASSERT_TRUE(h.recorder.WaitCount(Kind::ItemFinished, 1));
    EXPECT_TRUE(h.log.Contains("ERROR : Audio processing returned"));
    EXPECT_TRUE(h.log.Contains("other error detected"));
    EXPECT_EQ(0u, h.log.count("the server closed the connection of"));
}
