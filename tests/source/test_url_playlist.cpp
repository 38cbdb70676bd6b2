// The URL playlist resolver against the loopback HTTP test server.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "SourceTestSupport.h"
#include "player/source/CURLPlaylistAudioSource.h"
#include "tests/support/http/HttpTestServer.h"
#include "utils/utils.h"

using sourcetest::LogCapture;
using sourcetest::TempDir;
using testkit::HttpTestServer;

namespace {

const char* const kRoutes = R"({
  "/stream": {"headers": {"Content-Type": "audio/mpeg"}, "body": "not really mp3", "body_size": 20000},
  "/stream2": {"headers": {"Content-Type": "audio/aacp"}, "body": "aac"},
  "/list.m3u": {"headers": {"Content-Type": "audio/x-mpegurl"},
                "body": "#EXTM3U\n#EXTINF:-1,Radio\nhttp://127.0.0.1:{port}/dead\n  http://127.0.0.1:{port}/stream \r\n"},
  "/list_params": {"headers": {"Content-Type": "audio/x-mpegurl ; charset=utf-8"},
                   "body": "http://127.0.0.1:{port}/stream2\n"},
  "/radio.pls": {"body": "[playlist]\nNumberOfEntries=3\nFile1=http://127.0.0.1:{port}/dead\nFile2=local.mp3\nFile3=http://127.0.0.1:{port}/stream2\n"},
  "/redir": {"status": 302, "headers": {"Location": "http://127.0.0.1:{port}/hop"}},
  "/hop": {"status": 301, "headers": {"Location": "http://127.0.0.1:{port}/stream"}},
  "/redir_rel": {"status": 302, "headers": {"Location": "/stream2"}},
  "/plain": {"body": "hello"},
  "/typed": {"headers": {"Content-Type": " audio/mpeg ; codecs=mp3"}, "body": "x"},
  "/html": {"headers": {"Content-Type": "text/html"}, "body": "<html></html>"},
  "/gone.m3u": {"status": 404, "body": "no"},
  "/short.m3u": {"headers": {"Content-Type": "audio/x-mpegurl"}, "body": "# pad\n", "body_size": 3000},
  "/garbage.m3u": {"headers": {"Content-Type": "audio/x-mpegurl"}, "body": "\u0000\u00ff\u0001:/\u0080\n\u0000://\u00fe", "body_size": 3000},
  "/garbage.pls": {"headers": {"Content-Type": "audio/x-scpls"}, "body": "\u0000[\u00ff\n=\u0001\u0080", "body_size": 3000},
  "/stall.m3u": {"headers": {"Content-Type": "audio/x-mpegurl"}, "body": "x", "stall_after": 0},
  "/local.m3u": {"headers": {"Content-Type": "audio/x-mpegurl"},
                 "body": "file:///etc/passwd\nFILE:///etc/passwd\nftp://127.0.0.1:{port}/stream\nhttp://127.0.0.1:{port}/stream\n"},
  "/local.pls": {"headers": {"Content-Type": "audio/x-scpls"},
                 "body": "[playlist]\nnumberofentries=2\nFile1=file:///etc/passwd\nFile2=HTTP://127.0.0.1:{port}/stream2\n"},
  "/names_file": {"headers": {"Content-Type": "audio/mpeg", "Location": "file:///etc/passwd"}, "body": "x"},
  "/names_rtp": {"headers": {"Content-Type": "audio/mpeg", "Location": "rtp://127.0.0.1:5004"}, "body": "x"},
  "/noloc": {"status": 302, "headers": {"Content-Type": "audio/mpeg"}, "raw_headers": ["Location: "]}
})";

// Routes whose bodies are built here: a stream address of several hundred characters,
// thousands of PLS entries and a 500-character Content-Type.
std::string ExtraRoutes()
{
    const std::string tail(600, 'a');
    std::string overlong = "http://127.0.0.1:{port}/stream?" + tail + "http://127.0.0.1:{port}/stream2\\n";
    overlong += "http://127.0.0.1:{port}/stream2\\n";
    std::string many = "[playlist]\\nnumberofentries=5000\\n";
    for (int i = 1; i <= 5000; ++i) {
        many += "File" + std::to_string(i) + "=http://127.0.0.1:{port}/dead" + std::to_string(i) + "\\n";
    }
    std::string long_list = "#EXTM3U\\n";
    while (long_list.size() < 8000) {
        long_list += "# padding padding padding\\n";
    }
    long_list += "http://127.0.0.1:{port}/stream\\n";
    const std::string big_type = "audio/" + std::string(494, 'x');
    std::string extra = ",\n";
    extra += R"("/overlong.m3u": {"headers": {"Content-Type": "audio/x-mpegurl"}, "body": ")" + overlong + "\"},\n";
    extra += R"("/many.pls": {"headers": {"Content-Type": "audio/scpls"}, "body": ")" + many + "\"},\n";
    // Paced so that the body arrives in several chunks, as from a real server.
    extra += R"("/long.m3u": {"headers": {"Content-Type": "audio/x-mpegurl"}, "rate": 51200, "body": ")" +
             long_list + "\"},\n";
    extra += R"("/bigtype": {"headers": {"Content-Type": ")" + big_type + R"("}, "body": "x"})";
    return extra;
}

class CURLPlaylistTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string routes = kRoutes;
        routes.insert(routes.rfind('}'), ExtraRoutes());
        server = std::make_unique<HttpTestServer>(dir.path(), routes);
        ASSERT_TRUE(server->running());
        resolver.SetDownloadPath(dir.file("url_download"));
    }

    int Resolve(const std::string& path, std::string& stream, uint8_t* digest = nullptr)
    {
        return resolver.ExtractURL(server->url(path).c_str(), stream, digest);
    }

    TempDir dir;
    std::unique_ptr<HttpTestServer> server;
    CURLPlaylistAudioSource resolver;
};

int64_t FileSize(const std::string& path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

}  // namespace

TEST_F(CURLPlaylistTest, M3USkipsDeadEntryReportsDigestAndSendsRequestOptions)
{
    const std::string opts[2] = {"QuillonTest/1.0", "X-Station-Key: abc123"};
    resolver.SetRequestOptions(opts);
    std::string stream;
    uint8_t digest[16] = {};
    ASSERT_EQ(0, Resolve("/list.m3u", stream, digest));
    EXPECT_EQ(server->url("/stream"), stream);

    const std::string body = "#EXTM3U\n#EXTINF:-1,Radio\n" + server->url("/dead") + "\n  " +
                             server->url("/stream") + " \r\n";
    const std::string copy = dir.write("expected", body);
    uint8_t expected[16] = {};
    ASSERT_EQ(0, utils::md5_file(copy, expected));
    EXPECT_EQ(0, memcmp(expected, digest, 16));

    struct stat st {};
    ASSERT_EQ(0, lstat(dir.file("url_download").c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(0600u, st.st_mode & 0777u);

    const std::string requests = server->requests();
    EXPECT_NE(std::string::npos, requests.find("GET /dead"));
    size_t agents = 0;
    size_t headers = 0;
    for (size_t at = 0; (at = requests.find("User-Agent: QuillonTest/1.0", at)) != std::string::npos; ++at) {
        ++agents;
    }
    for (size_t at = 0; (at = requests.find("X-Station-Key: abc123", at)) != std::string::npos; ++at) {
        ++headers;
    }
    EXPECT_EQ(3u, agents) << requests;  // the playlist and both probes
    EXPECT_EQ(3u, headers) << requests;
}

TEST_F(CURLPlaylistTest, ContentTypeAndExtensionDecideThePlaylistKind)
{
    std::string stream;
    EXPECT_EQ(0, Resolve("/radio.pls", stream)) << "PLS by extension without Content-Type";
    EXPECT_EQ(server->url("/stream2"), stream);

    EXPECT_EQ(0, Resolve("/list_params", stream));
    EXPECT_EQ(server->url("/stream2"), stream);
    EXPECT_EQ(2, Resolve("/typed", stream));
    EXPECT_EQ("audio/mpeg", resolver.GetContentType()) << "parameters cut, blanks trimmed";

    LogCapture log;
    const std::string no_dot = "http://localhost:" + std::to_string(server->port()) + "/plain";
    EXPECT_EQ(2, resolver.ExtractURL(no_dot.c_str(), stream, nullptr));
    EXPECT_TRUE(stream.empty());
    EXPECT_TRUE(log.Contains("mime type 'unknown'")) << log.All();

    EXPECT_EQ(2, Resolve("/html", stream));
    EXPECT_EQ(2, Resolve("/stream", stream)) << "audio without a redirect is played directly";
}

TEST_F(CURLPlaylistTest, AudioBehindRedirectsResolvesToTheTarget)
{
    LogCapture log;
    std::string stream;
    EXPECT_EQ(0, Resolve("/redir", stream));
    EXPECT_EQ(server->url("/stream"), stream) << "the last Location of the chain";
    EXPECT_TRUE(log.Contains("URL '" + server->url("/redir") + "' redirects to '" + server->url("/stream") + "'"))
        << log.All();

    EXPECT_EQ(0, Resolve("/redir_rel", stream));
    EXPECT_EQ(server->url("/stream2"), stream) << "a relative Location becomes an absolute URL";

    EXPECT_EQ(2, Resolve("/noloc", stream)) << "a Location header without value is no redirect";
    EXPECT_TRUE(stream.empty());
}

TEST_F(CURLPlaylistTest, FailuresReportOne)
{
    std::string stream;
    {
        LogCapture log;
        EXPECT_EQ(1, resolver.ExtractURL("rtp://127.0.0.1:5004", stream, nullptr));
        EXPECT_TRUE(log.Contains("ERROR :CURLPlaylistAudioSource::ExtractURL() unable to probe rtp://127.0.0.1:5004!"))
            << log.All();
    }
    EXPECT_EQ(1, Resolve("/gone.m3u", stream)) << "HTTP errors fail the probe";
    EXPECT_EQ(2, resolver.ExtractURL(nullptr, stream, nullptr));

    // Stream lines beyond the first 4024 bytes are never seen.
    EXPECT_EQ(1, Resolve("/long.m3u", stream));
    const int64_t kept = FileSize(dir.file("url_download"));
    EXPECT_GE(kept, 4024);
    EXPECT_LT(kept, 8000);
    EXPECT_EQ(1, Resolve("/short.m3u", stream));
    EXPECT_EQ(3000, FileSize(dir.file("url_download")));
}

// The player gives its thread half a second to stop before it cancels it; a resolution
// must see an interrupt well within that, also while the server sends nothing at all.
TEST_F(CURLPlaylistTest, InterruptEndsAStalledTransferAndLetsNoFurtherRequestOut)
{
    static std::atomic<bool> interrupted{false};
    interrupted = false;
    resolver.SetInterruptCheck([](void*) { return interrupted.load(); }, nullptr);
    std::atomic<int64_t> interrupted_at_ns{0};
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        interrupted_at_ns = std::chrono::steady_clock::now().time_since_epoch().count();
        interrupted = true;
    });
    std::string stream;
    EXPECT_EQ(1, Resolve("/stall.m3u", stream));
    const int64_t returned_ns = std::chrono::steady_clock::now().time_since_epoch().count();
    stopper.join();
    ASSERT_NE(interrupted_at_ns.load(), 0) << "returned before the interrupt";
    EXPECT_LT(returned_ns - interrupted_at_ns.load(), int64_t{400} * 1000 * 1000);

    // Still interrupted: nothing more is sent.
    const std::string before = server->requests();
    EXPECT_EQ(1, Resolve("/list.m3u", stream));
    EXPECT_EQ(before, server->requests());
}

TEST_F(CURLPlaylistTest, HostileBodiesAndHeadersGiveClearResults)
{
    std::string stream;
    EXPECT_EQ(1, Resolve("/garbage.m3u", stream));
    EXPECT_EQ(1, Resolve("/garbage.pls", stream));
    EXPECT_EQ(1, Resolve("/many.pls", stream)) << "every listed entry is dead";

    // A long address (a token in its query) is probed and played whole, not cut.
    EXPECT_EQ(0, Resolve("/overlong.m3u", stream));
    EXPECT_EQ(server->url("/stream?" + std::string(600, 'a') + "http://127.0.0.1:" +
                          std::to_string(server->port()) + "/stream2"),
              stream);

    EXPECT_EQ(2, Resolve("/bigtype", stream));
    EXPECT_EQ(500u, resolver.GetContentType().size());
}

TEST_F(CURLPlaylistTest, PlantedLinkAtTheDownloadPathIsNotFollowed)
{
    const std::string victim = dir.write("victim", "keep me");
    ASSERT_EQ(0, symlink(victim.c_str(), dir.file("url_download").c_str()));
    std::string stream;
    EXPECT_EQ(0, Resolve("/list.m3u", stream));

    std::ifstream in(victim);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ("keep me", content);
    struct stat st {};
    ASSERT_EQ(0, lstat(dir.file("url_download").c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));

    // A download path that cannot be created (a folder is in the way) fails, and says why.
    ASSERT_EQ(0, unlink(dir.file("url_download").c_str()));
    ASSERT_EQ(0, mkdir(dir.file("url_download").c_str(), 0700));
    LogCapture log;
    EXPECT_EQ(1, Resolve("/list.m3u", stream));
    EXPECT_TRUE(log.Contains("download path " + dir.file("url_download") +
                             " is a directory: playlist URLs cannot be resolved"))
        << log.All();
}

TEST_F(CURLPlaylistTest, RemotePlaylistsNameOnlyNetworkStreams)
{
    // A server's playlist must not make the player open local files.
    LogCapture log;
    std::string stream;
    EXPECT_EQ(0, Resolve("/local.m3u", stream));
    EXPECT_EQ(server->url("/stream"), stream);
    EXPECT_TRUE(log.Contains("GetURLfromM3U(): file:///etc/passwd is not a network stream (http, https, rtp), skipped"))
        << log.All();
    EXPECT_TRUE(log.Contains("FILE:///etc/passwd is not a network stream"));
    EXPECT_TRUE(log.Contains("ftp://127.0.0.1:" + std::to_string(server->port()) + "/stream is not a network stream"));

    EXPECT_EQ(0, Resolve("/local.pls", stream));
    EXPECT_EQ("HTTP://127.0.0.1:" + std::to_string(server->port()) + "/stream2", stream) << "schemes in any case";
    EXPECT_TRUE(log.Contains("GetURLfromPLS(): file:///etc/passwd is not a network stream"));

    // Nor may an audio answer that names another address.
    EXPECT_EQ(1, Resolve("/names_file", stream));
    EXPECT_NE("file:///etc/passwd", stream);
    EXPECT_TRUE(log.Contains("ExtractURL(): file:///etc/passwd is not a network stream")) << log.All();
    EXPECT_EQ(0, Resolve("/names_rtp", stream));
    EXPECT_EQ("rtp://127.0.0.1:5004", stream);
}

TEST_F(CURLPlaylistTest, LongM3ULinesAreProbedWholeOrSkipped)
{
    // Read from a file directly: a download stops after about 4 KiB.
    const std::string long_url = server->url("/stream2?token=" + std::string(3000, 'q'));
    const std::string too_long = server->url("/stream?" + std::string(9000, 'x'));
    std::string stream;
    LogCapture log;
    ASSERT_TRUE(resolver.GetURLfromM3U(dir.write("a.m3u", too_long + "\n" + long_url + "\n").c_str(), stream));
    EXPECT_EQ(long_url, stream);
    EXPECT_TRUE(log.Contains("GetURLfromM3U(): line longer than 8192 characters skipped")) << log.All();
}

TEST(CURLPlaylistAudioSource, EachResolverDownloadsToAFileOfItsOwn)
{
    const std::string pid = std::to_string(getpid());
    setenv("QUILLON_URL_DOWNLOAD", "/some/where/.url", 1);
    CURLPlaylistAudioSource configured;
    unsetenv("QUILLON_URL_DOWNLOAD");
    CURLPlaylistAudioSource standard;
    EXPECT_EQ(0u, configured.GetDownloadPath().rfind("/some/where/.url." + pid + ".", 0))
        << configured.GetDownloadPath();
    EXPECT_EQ(0u, standard.GetDownloadPath().rfind("/tmp/.url." + pid + ".", 0)) << standard.GetDownloadPath();

    // Two players resolving at once: each keeps its own download, which goes with it.
    TempDir dir;
    HttpTestServer server(dir.path(), R"({
      "/one.m3u": {"headers": {"Content-Type": "audio/x-mpegurl"}, "body": "http://127.0.0.1:{port}/one\n"},
      "/two.m3u": {"headers": {"Content-Type": "audio/x-mpegurl"}, "body": "http://127.0.0.1:{port}/two\n"},
      "/one": {"headers": {"Content-Type": "audio/mpeg"}, "body": "x"},
      "/two": {"headers": {"Content-Type": "audio/mpeg"}, "body": "x"}})");
    ASSERT_TRUE(server.running());
    setenv("QUILLON_URL_DOWNLOAD", dir.file("url").c_str(), 1);
    auto first = std::make_unique<CURLPlaylistAudioSource>();
    CURLPlaylistAudioSource second;
    unsetenv("QUILLON_URL_DOWNLOAD");
    std::string stream;
    ASSERT_EQ(0, first->ExtractURL(server.url("/one.m3u").c_str(), stream, nullptr));
    ASSERT_EQ(0, second.ExtractURL(server.url("/two.m3u").c_str(), stream, nullptr));
    ASSERT_TRUE(first->GetURLfromM3U(first->GetDownloadPath().c_str(), stream));
    EXPECT_EQ(server.url("/one"), stream) << "the other player's download replaced this one's";
    const std::string left = first->GetDownloadPath();
    first.reset();
    EXPECT_NE(0, access(left.c_str(), F_OK)) << "a removed player leaves its download behind";
}
