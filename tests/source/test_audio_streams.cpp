// The libavformat source on network streams: ICY titles from the loopback HTTP server,
// interrupts and time-outs on a stalled server, playlist URLs, and MP3 over RTP.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern "C" {
#include <libavutil/error.h>
}

#include "SourceTestSupport.h"
#include "player/source/CAudioSource.h"
#include "tests/support/http/HttpTestServer.h"
#include "tests/support/net/FreePorts.h"
#include "utils/utils.h"

using sourcetest::LogCapture;
using sourcetest::PacketRecorder;
using sourcetest::TempDir;
using testkit::HttpTestServer;

namespace {

std::string Media(const std::string& name)
{
    return std::string(QUILLON_TEST_MEDIA_DIR) + "/" + name;
}

// What the player installs, minus its buffering work: give up once the watchdog expired.
int InterruptCallback(void* context)
{
    return static_cast<CAudioSource*>(context)->IsExpired() ? 1 : 0;
}

class StreamTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        source.m_libav_callback = &InterruptCallback;
        source.m_libav_context = &source;
        source.SetOutput(&recorder);
        source.GetPlaylistResolver().SetDownloadPath(dir.file("url_download"));
        source.NetworkInit();
    }
    void TearDown() override
    {
        source.DeInitialize();
        source.NetworkDeinit();
    }

    void StartServer(const std::string& routes)
    {
        server = std::make_unique<HttpTestServer>(dir.path(), routes);
        ASSERT_TRUE(server->running());
    }

    TempDir dir;
    PacketRecorder recorder;
    CAudioSource source;
    std::unique_ptr<HttpTestServer> server;
};

// Routes serving the 2 s MP3 tone as a paced radio stream (about 1.5x real time).
std::string RadioRoutes(const std::string& mp3)
{
    return R"({
  "/radio": {"headers": {"Content-Type": "audio/mpeg", "icy-name": "Test FM"}, "file": ")" + mp3 + R"(",
             "loop": true, "icy": true, "metaint": 8000, "rate": 24000, "title_blocks": 5,
             "titles": ["First Song", "Second Song", "Third Song"]},
  "/radio.m3u": {"headers": {"Content-Type": "audio/x-mpegurl"}, "body": "http://127.0.0.1:{port}/radio\n"},
  "/stall": {"headers": {"Content-Type": "audio/mpeg"}, "file": ")" + mp3 + R"(", "stall_after": 30000},
  "/silent": {"headers": {"Content-Type": "audio/mpeg"}, "stall_after": 0},
  "/silent_player": {"headers": {"Content-Type": "audio/mpeg"}, "body": "ID3", "stall_for_icy": true}
})";
}

}  // namespace

TEST_F(StreamTest, IcyStreamPlaysAndReportsEachTitleChangeOnce)
{
    StartServer(RadioRoutes(Media("tone_440_44100_stereo.mp3")));
    LogCapture log;
    const std::string opts[2] = {"QuillonTest/2.0", "X-Device: unit-7"};
    source.SetRequestOptions(opts);
    ASSERT_EQ(0, source.Initialize(server->url("/radio"), "radio"));
    EXPECT_EQ(DECODER_ID_MP3, source.GetCodecType());
    AudioInfo info;
    source.GetAudioInfo(&info);
    EXPECT_NEAR(128000, info.bit_rate, 8000) << "the measured stream bit rate is kept";
    EXPECT_EQ(0, info.rate) << "the format is left to the decoders";

    std::vector<std::string> titles;
    int packets = 0;
    while (packets < 2000) {
        bool changed = false;
        const int result = source.ReadAudio(&changed);
        ASSERT_GE(result, 0) << "stream read failed";
        ++packets;
        if (changed) {
            ContentInfo content;
            source.GetContentInfo(content);
            titles.push_back(content.title);
            if (content.title == "Third Song") {
                break;
            }
        }
    }
    // The first title may pass while the stream is still being probed.
    ASSERT_FALSE(titles.empty());
    if (titles.front() == "First Song") {
        titles.erase(titles.begin());
    }
    EXPECT_EQ(std::vector<std::string>({"Second Song", "Third Song"}), titles);
    EXPECT_EQ(1, log.count("new icy meta data packet: StreamTitle='Third Song'"));
    EXPECT_NE(std::string::npos, std::string(source.GetIcyMetadata()).find("Third Song"));
    EXPECT_FALSE(recorder.sizes.empty());

    const std::string requests = server->requests();
    EXPECT_NE(std::string::npos, requests.find("Icy-MetaData: 1")) << requests;
    EXPECT_NE(std::string::npos, requests.find("User-Agent: QuillonTest/2.0")) << requests;
    EXPECT_NE(std::string::npos, requests.find("X-Device: unit-7")) << requests;
}

TEST_F(StreamTest, PlaylistUrlOpensItsStreamAndReportsTheDigest)
{
    StartServer(RadioRoutes(Media("tone_440_44100_stereo.mp3")));
    LogCapture log;
    ASSERT_EQ(0, source.Initialize(server->url("/radio.m3u"), "list"));
    EXPECT_TRUE(log.Contains("Opening play list stream audio source " + server->url("/radio") + ".")) << log.All();
    const std::string body = server->url("/radio") + "\n";
    uint8_t digest[16];
    ASSERT_EQ(0, utils::md5_file(dir.write("expected", body), digest));
    std::string hex;
    utils::convert_array_to_hex_string(digest, 16, hex);
    EXPECT_EQ(hex, source.GetPlaylistDigest());
    bool changed = false;
    EXPECT_GT(source.ReadAudio(&changed), 0);
    source.DeInitialize();

    ASSERT_EQ(0, source.Initialize(server->url("/radio"), "radio"));
    EXPECT_EQ("", source.GetPlaylistDigest()) << "a direct stream has no playlist digest";
}

TEST_F(StreamTest, PacedStreamsOpenFromTheirFirstFramesAndLoseNothing)
{
    // Streams sent at about their own pace from the first byte, whose format changes half
    // way: the open decides from the first frames (the first part's codec and bit rate),
    // every byte read while probing is still delivered, and the stream address's body is
    // not downloaded a second time by the playlist check.
    StartServer(R"({
  "/change.mp3": {"headers": {"Content-Type": "audio/mpeg"}, "file": ")" + Media("change_44100s_22050m.mp3") +
                R"(", "rate": 32000},
  "/change.aac": {"headers": {"Content-Type": "audio/aac"}, "file": ")" + Media("change_44100s_22050m.aac") +
                R"(", "rate": 32000}
})");
    const struct {
        const char* path;
        const char* file;
        int codec;
    } cases[] = {{"/change.mp3", "change_44100s_22050m.mp3", DECODER_ID_MP3},
                 {"/change.aac", "change_44100s_22050m.aac", DECODER_ID_AAC_ADTS}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        recorder.bytes.clear();
        ASSERT_EQ(0, source.Initialize(server->url(c.path), ""));
        EXPECT_EQ(c.codec, source.GetCodecType());
        AudioInfo info;
        source.GetAudioInfo(&info);
        EXPECT_NEAR(128000, info.bit_rate, 12000) << "the bit rate of the stream's first part";
        struct stat downloaded {};
        ASSERT_EQ(0, stat(dir.file("url_download").c_str(), &downloaded));
        EXPECT_EQ(0, downloaded.st_size) << "an audio body is not a playlist to download";
        int result = 0;
        for (int packets = 0; packets < 5000 && result >= 0; ++packets) {
            bool changed = false;
            result = source.ReadAudio(&changed);
        }
        EXPECT_EQ(AVERROR_EOF, result);
        source.DeInitialize();
        // The same file opened from disk, where nothing is paced or cut short.
        PacketRecorder local_packets;
        CAudioSource local;
        local.SetOutput(&local_packets);
        ASSERT_EQ(0, local.Initialize(Media(c.file), c.file));
        for (bool changed = false; local.ReadAudio(&changed) >= 0;) {
        }
        EXPECT_FALSE(local_packets.bytes.empty());
        EXPECT_TRUE(recorder.bytes == local_packets.bytes)
            << "delivered " << recorder.bytes.size() << " of " << local_packets.bytes.size() << " bytes";
    }
}

TEST_F(StreamTest, InterruptFromAnotherThreadEndsABlockedRead)
{
    StartServer(RadioRoutes(Media("tone_440_44100_stereo.mp3")));
    LogCapture log;
    ASSERT_EQ(0, source.Initialize(server->url("/stall"), "stall"));
    source.SetTimeout(3600);  // only the interrupt can end the read

    std::mutex lock;
    std::condition_variable done_signal;
    bool done = false;  // guarded by lock
    int result = 0;
    std::thread reader([&] {
        int r = 0;
        bool changed = false;
        while ((r = source.ReadAudio(&changed)) >= 0) {
        }
        std::lock_guard<std::mutex> guard(lock);
        result = r;
        done = true;
        done_signal.notify_all();
    });
    // Let the reader drain what was sent and block on the stalled connection.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const auto start = std::chrono::steady_clock::now();
    source.Interrupt();
    {
        std::unique_lock<std::mutex> guard(lock);
        if (!done_signal.wait_for(guard, std::chrono::seconds(30), [&] { return done; })) {
            server->Stop();  // unblock the reader so the test can fail instead of hanging
            done_signal.wait(guard, [&] { return done; });
        }
    }
    reader.join();
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    printf("interrupt returned after %.0f ms\n", ms);
    EXPECT_EQ(AVERROR_EXIT, result);
    EXPECT_EQ(-1, source.GetTimeout()) << "a custom interrupt, not a time-out";
    EXPECT_TRUE(log.Contains("Interrupting current AV format operation."));
    EXPECT_TRUE(log.Contains("AV format requested to exit immediatly.")) << log.All();
}

TEST_F(StreamTest, StalledServerTimesOutAfterTheSourceTimeout)
{
    StartServer(RadioRoutes(Media("tone_440_44100_stereo.mp3")));
    LogCapture log;
    source.SetTimeout(1);
    ASSERT_EQ(0, source.Initialize(server->url("/stall"), "stall"));
    int result = 0;
    bool changed = false;
    while ((result = source.ReadAudio(&changed)) >= 0) {
    }
    EXPECT_EQ(AVERROR_EXIT, result);
    EXPECT_EQ(1, source.GetTimeout()) << "a time-out, not a custom interrupt";
    source.DeInitialize();

    // A server that never sends audio to the player: the open itself gives up.
    EXPECT_EQ(AVERROR_EXIT, source.Initialize(server->url("/silent_player"), "silent"));
    EXPECT_TRUE(log.Contains("ERROR :CAudioSource::Initialize(): Could not initialize player for audio source")) << log.All();
}

TEST_F(StreamTest, InterruptAlsoEndsAPlaylistResolution)
{
    StartServer(RadioRoutes(Media("tone_440_44100_stereo.mp3")));
    LogCapture log;
    source.SetTimeout(3600);
    std::thread interrupter;
    std::mutex lock;
    std::condition_variable done_signal;
    bool done = false;  // guarded by lock
    interrupter = std::thread([&] {
        bool finished = false;
        {
            std::unique_lock<std::mutex> guard(lock);
            // The resolver is waiting for a body that never comes by now.
            finished = done_signal.wait_for(guard, std::chrono::milliseconds(500), [&] { return done; });
        }
        if (!finished) {
            source.Interrupt();
        }
    });
    const auto start = std::chrono::steady_clock::now();
    const int result = source.Initialize(server->url("/silent"), "silent");
    {
        std::lock_guard<std::mutex> guard(lock);
        done = true;
        done_signal.notify_all();
    }
    interrupter.join();
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    printf("interrupted open returned after %.0f ms\n", ms);
    EXPECT_EQ(AVERROR_EXIT, result);
    EXPECT_TRUE(log.Contains("unable to probe " + server->url("/silent"))) << log.All();
    // The player stopped the open: no fault of the source.
    EXPECT_FALSE(log.Contains("Could not initialize player")) << log.All();
    EXPECT_TRUE(log.Contains("opening " + server->url("/silent") + " was interrupted")) << log.All();
}

TEST_F(StreamTest, Mp3OverRtpOpensFromAnRtpUrl)
{
    const int port = testkit::UnusedRtpPort();
    ASSERT_GT(port, 0);
    const std::string target = "rtp://127.0.0.1:" + std::to_string(port);
    const pid_t sender = fork();
    if (sender == 0) {
        execl(SOURCE_TEST_FFMPEG, SOURCE_TEST_FFMPEG, "-nostdin", "-hide_banner", "-loglevel", "error",
              "-re", "-stream_loop", "-1", "-i", Media("tone_440_44100_stereo.mp3").c_str(), "-c:a", "copy",
              "-f", "rtp", target.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(sender, 0);
    LogCapture log;
    source.SetTimeout(10);
    const int opened = source.Initialize(target, "rtp");
    int packets = 0;
    int result = 0;
    bool changed = false;
    while (opened == 0 && packets < 20 && (result = source.ReadAudio(&changed)) >= 0) {
        ++packets;
    }
    kill(sender, SIGTERM);
    waitpid(sender, nullptr, 0);
    ASSERT_EQ(0, opened) << log.All();
    EXPECT_FALSE(log.Contains("unable to probe")) << "an RTP URL names no playlist: nothing to probe";
    EXPECT_FALSE(log.Contains("ERROR")) << log.All();
    EXPECT_TRUE(log.Contains("following RTP sender SSRC 0x")) << log.All();
    EXPECT_EQ(DECODER_ID_MP3, source.GetCodecType());
    EXPECT_EQ(20, packets) << "last result " << result;
}
