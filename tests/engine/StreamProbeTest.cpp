// The stream probe beside a player: decoded audio from paced, broken, undecodable, short
// and stalled streams on the loopback HTTP test server; and a player's own count of the
// audio its stream delivered.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

#include "player/engine/CStreamProbe.h"
#include "player/include/PlayerErrors.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/http/HttpTestServer.h"

using namespace OrvanePlayer;
using namespace enginetest;

namespace {

// The ffmpeg command line sending a looped MP3 file as RTP from 127.0.0.1, at its pace.
class RtpSender {
public:
    RtpSender(const std::string& file, const std::string& target) : m_pid(fork()) {
        if (m_pid == 0) {
            execl(ENGINE_TEST_FFMPEG, ENGINE_TEST_FFMPEG, "-nostdin", "-hide_banner", "-loglevel", "error", "-re",
                  "-stream_loop", "-1", "-i", file.c_str(), "-c:a", "copy", "-f", "rtp", target.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~RtpSender() {
        if (m_pid <= 0) return;
        kill(m_pid, SIGTERM);
        waitpid(m_pid, nullptr, 0);
    }
    RtpSender(const RtpSender&) = delete;
    RtpSender& operator=(const RtpSender&) = delete;
    bool running() const { return m_pid > 0; }

private:
    pid_t m_pid;
};

std::string Route(const std::string& file, int rate, bool loop) {
    return std::string("{\"file\": \"") + ENGINE_TEST_MEDIA + "/" + file + "\", \"loop\": " +
           (loop ? "true" : "false") + ", \"rate\": " + std::to_string(rate) +
           ", \"headers\": {\"Content-Type\": \"audio/mpeg\"}}";
}

class CStreamProbeTest : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/stream-probe-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(dir));
        m_dir = dir;
        setenv("QUILLON_URL_DOWNLOAD", (m_dir + "/url").c_str(), 1);
        probe = std::make_unique<CStreamProbe>(StreamParams(), 1);
    }
    void TearDown() override {
        probe.reset();
        unsetenv("QUILLON_URL_DOWNLOAD");
        std::system(("rm -rf " + m_dir).c_str());
    }
    std::string m_dir;
    std::unique_ptr<CStreamProbe> probe;
};

}  // namespace

TEST_F(CStreamProbeTest, PacedStreamIsBackAfterTwoSecondsOfDecodedAudioTwiceInARow) {
    // 16000 bytes/s is the MP3's own pace: a live radio.
    testkit::HttpTestServer server(m_dir, "{\"/radio\": " + Route("stream.mp3", 16000, true) +
                                              ", \"/playlist.m3u\": {\"body\": \"#EXTM3U\\nhttp://127.0.0.1:{port}/radio\\n\","
                                              " \"headers\": {\"Content-Type\": \"audio/x-mpegurl\"}}}");
    ASSERT_TRUE(server.running());
    for (const char* path : {"/radio", "/playlist.m3u"}) {
        ProbeResult result;
        EXPECT_EQ(0, probe->Probe(server.url(path), 2000, 15000, result)) << path << ": " << result.reason;
        EXPECT_EQ(0, result.code);
        EXPECT_GE(result.audio_ms, 2000u);
        EXPECT_LT(result.audio_ms, 4000u) << "the probe stops once it has its two seconds";
        EXPECT_TRUE(result.reason.empty()) << result.reason;
    }
}

TEST_F(CStreamProbeTest, StreamsThatBringNoAudioAreNotBackAndSayWhy) {
    testkit::HttpTestServer server(
        m_dir, "{\"/short\": " + Route("a.mp3", 0, false) +
                   ", \"/noise\": {\"body\": \"\\u0001\\u00ff\\u0013\\u0037 not audio at all \", \"body_size\": 400000,"
                   " \"headers\": {\"Content-Type\": \"audio/mpeg\"}}}");
    ASSERT_TRUE(server.running());
    struct Case {
        std::string url;
        int code;
    };
    const Case cases[] = {
        {"http://127.0.0.1:" + std::to_string(UnusedPort()) + "/radio", EPLAYER_OPEN_URL},  // refused
        {server.url("/missing"), EPLAYER_OPEN_URL},                                         // 404
        {server.url("/short"), EPLAYER_PROCESS_BUFFER},                                     // 1.2 s, then its end
        {server.url("/noise"), 0},                                                          // anything but 0
    };
    for (const Case& c : cases) {
        ProbeResult result;
        const int r = probe->Probe(c.url, 2000, 8000, result);
        EXPECT_NE(0, r) << c.url;
        EXPECT_EQ(r, result.code) << c.url;
        if (c.code != 0) {
            EXPECT_EQ(c.code, r) << c.url << ": " << result.reason;
        }
        EXPECT_LT(result.audio_ms, 2000u) << c.url;
        EXPECT_FALSE(result.reason.empty()) << c.url;
    }
}

TEST_F(CStreamProbeTest, InterruptEndsAStalledProbeAndEveryLaterOne) {
    testkit::HttpTestServer server(
        m_dir, "{\"/stall\": {\"headers\": {\"Content-Type\": \"audio/mpeg\"}, \"body\": \"x\", \"body_size\": 100000,"
               " \"stall_after\": 0}}");
    ASSERT_TRUE(server.running());
    ProbeResult result;
    const auto start = std::chrono::steady_clock::now();
    std::thread prober([&] { probe->Probe(server.url("/stall"), 2000, 60000, result); });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    probe->Interrupt();
    prober.join();
    // Well before the probe's own minute (a hang guard, not a timing figure).
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_EQ(EPLAYER_SOURCE_TIMEOUT, result.code) << result.reason;
    ProbeResult later;
    EXPECT_EQ(EPLAYER_SOURCE_TIMEOUT, probe->Probe(server.url("/stall"), 2000, 60000, later));
    EXPECT_EQ("interrupted", later.reason);
}

TEST(CPlayerStreamAudio, CountsDecodedAudioOfTheStreamItemOnly) {
    PlayerHarness h("2");
    testkit::HttpTestServer server(
        h.env.Dir(), "{\"/radio\": " + Route("stream.mp3", 32000, true) +
                         ", \"/noise\": {\"body\": \"not audio \", \"body_size\": 4000000, \"rate\": 16000,"
                         " \"headers\": {\"Content-Type\": \"audio/mpeg\"}}}");
    ASSERT_TRUE(server.running());
    StreamParams params;
    params.tcp_delay_ms = 500;
    params.tcp_accuracy_ms = 250;
    params.tcp_low_threshold_ms = 250;
    ASSERT_EQ(0, h.Start(params));
    uint64_t audio = 1;
    audio = h.player->GetStreamAudioMs();
    EXPECT_EQ(0u, audio) << "no stream item yet";

    h.player->SetItem(h.Item(server.url("/radio"), 0));
    h.player->Play();
    ASSERT_TRUE(h.recorder.WaitState(PLAYER_STATE_PLAYING));
    audio = h.player->GetStreamAudioMs();
    EXPECT_GE(audio, 250u) << "at least the buffer delay was decoded before playing";
    const uint64_t first = audio;
    ASSERT_TRUE(h.recorder.WaitFor([&](const std::vector<Note>&) {
        return h.player->GetStreamAudioMs() >= first + 1000;
    }));

    // Bytes that no decoder takes: the player keeps trying, the count stays at 0.
    h.player->SetItem(h.Item(server.url("/noise"), 0));
    h.player->Play();
    ASSERT_TRUE(h.recorder.WaitFor([&](const std::vector<Note>& notes) {
        return std::count_if(notes.begin(), notes.end(), [](const Note& n) {
                   return n.kind == Kind::StateChanged && n.code == PLAYER_STATE_CONNECTING;
               }) >= 2;
    }));
    std::this_thread::sleep_for(std::chrono::seconds(2));
    audio = h.player->GetStreamAudioMs();
    EXPECT_EQ(0u, audio);
    h.player->Stop(true);
    ASSERT_TRUE(h.recorder.WaitSettledIdle());
    audio = h.player->GetStreamAudioMs();
    EXPECT_EQ(0u, audio);
}

TEST_F(CStreamProbeTest, HttpsServerOfAPrivateCaIsBackOnlyWithItsCaFile) {
    const std::string certs = m_dir + "/certs";
    ASSERT_EQ(0, std::system((std::string(QUILLON_TEST_MAKE_CERTS) + " '" + certs + "'").c_str()));
    testkit::HttpTestServer server(m_dir, "{\"/radio\": " + Route("stream.mp3", 16000, true) + "}",
                                   certs + "/good.pem", certs + "/good.key");
    ASSERT_TRUE(server.running());
    const std::string url = server.url("/radio");
    ASSERT_EQ(0u, url.rfind("https://", 0)) << url;

    ProbeResult result;
    EXPECT_NE(0, probe->Probe(url, 2000, 8000, result)) << "a chain nobody trusts was taken";
    EXPECT_EQ(0u, result.audio_ms);
    EXPECT_NE(std::string::npos, result.reason.find("certificate")) << result.reason;

    TlsSettings tls;
    tls.ca_file = certs + "/ca.pem";
    ASSERT_EQ(0, probe->SetTlsSettings(tls));
    EXPECT_EQ(0, probe->Probe(url, 2000, 15000, result)) << result.reason;
    EXPECT_GE(result.audio_ms, 2000u);
}

TEST_F(CStreamProbeTest, RtpStreamIsBackOnlyFromTheAllowedSender) {
    const int port = UnusedRtpPort();
    ASSERT_GT(port, 0);
    const std::string url = "rtp://127.0.0.1:" + std::to_string(port);
    RtpSender sender(std::string(ENGINE_TEST_MEDIA) + "/stream.mp3", url);
    ASSERT_TRUE(sender.running());

    // A device that listens to one paging server alone: another host's stream is no
    // stream at all, however much it plays.
    probe->SetRtpSource("127.0.0.2");
    ProbeResult result;
    EXPECT_NE(0, probe->Probe(url, 2000, 3000, result));
    EXPECT_EQ(0u, result.audio_ms);
    EXPECT_FALSE(result.reason.empty());

    for (const char* host : {"127.0.0.1", ""}) {
        probe->SetRtpSource(host);
        EXPECT_EQ(0, probe->Probe(url, 2000, 15000, result)) << host << ": " << result.reason;
        EXPECT_GE(result.audio_ms, 2000u) << host;
    }
}
