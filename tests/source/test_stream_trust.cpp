// HTTPS as the source sees it, against loopback servers with certificates made by the test
// (openssl): a chain nobody trusts, one trusted through an added CA file, a wrong host name,
// an expired certificate, a redirect and a playlist leading to an untrusted server, and the
// checks turned off. Then the causes of failed opens and reads, each in words: HTTP status,
// refused connection, unknown host name, time-out, no decodable audio.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

extern "C" {
#include <libavutil/error.h>
}

#include "SourceTestSupport.h"
#include "player/source/CAudioSource.h"
#include "player/source/CTrustStore.h"
#include "tests/support/http/HttpTestServer.h"

using OrvanePlayer::PlaybackFailure;
using sourcetest::PacketRecorder;
using sourcetest::TempDir;
using testkit::HttpTestServer;

namespace {

int InterruptCallback(void* context)
{
    return static_cast<CAudioSource*>(context)->IsExpired() ? 1 : 0;
}

std::string Routes()
{
    const std::string mp3 = std::string(QUILLON_TEST_MEDIA_DIR) + "/tone_440_44100_stereo.mp3";
    return R"({
  "/tone.mp3": {"headers": {"Content-Type": "audio/mpeg"}, "file": ")" + mp3 + R"("},
  "/gone": {"status": 503},
  "/text": {"headers": {"Content-Type": "audio/mpeg"}, "body": "no audio in here at all\n", "body_size": 70000},
  "/silent_player": {"headers": {"Content-Type": "audio/mpeg"}, "body": "ID3", "stall_for_icy": true}
})";
}

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The certificates and one server per certificate, shared by every test of the suite.
class TrustTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_dir = new TempDir();
        const std::string certs = s_dir->file("certs");
        ASSERT_EQ(0, std::system((std::string(QUILLON_TEST_MAKE_CERTS) + " '" + certs + "'").c_str()));
        s_ca = certs + "/ca.pem";
        for (const char* name : {"good", "wrong", "expired"}) {
            const std::string folder = s_dir->file(name);
            ASSERT_EQ(0, std::system(("mkdir -p '" + folder + "'").c_str()));
            s_servers[ServerIndex(name)] = new HttpTestServer(folder, Routes(), certs + "/" + name + ".pem",
                                                              certs + "/" + name + ".key");
        }
        const std::string plain = s_dir->file("plain");
        ASSERT_EQ(0, std::system(("mkdir -p '" + plain + "'").c_str()));
        const std::string wrong = Server("wrong").url("/tone.mp3");
        s_plain = new HttpTestServer(plain, R"({
  "/to_wrong": {"status": 302, "headers": {"Location": ")" + wrong + R"("}},
  "/list.m3u": {"headers": {"Content-Type": "audio/x-mpegurl"}, "body": ")" + wrong + R"(\n"},
  "/gone": {"status": 404}
})");
    }
    static void TearDownTestSuite()
    {
        delete s_plain;
        for (HttpTestServer*& server : s_servers) {
            delete server;
            server = nullptr;
        }
        delete s_dir;
    }
    static int ServerIndex(const std::string& name) { return name == "good" ? 0 : name == "wrong" ? 1 : 2; }
    static HttpTestServer& Server(const std::string& name) { return *s_servers[ServerIndex(name)]; }

    void SetUp() override
    {
        ASSERT_TRUE(Server("good").running() && Server("wrong").running() && Server("expired").running() &&
                    s_plain->running());
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

    void Trust(bool verify, const std::string& ca_file)
    {
        std::shared_ptr<const CTrustStore> store;
        ASSERT_EQ(0, CTrustStore::Create(verify, ca_file, store));
        source.SetTrust(store);
    }
    // Opens url, expecting a failure; the cause the source names.
    PlaybackFailure Refused(const std::string& url)
    {
        const int result = source.Initialize(url, "");
        EXPECT_LT(result, 0) << url << " opened";
        PlaybackFailure failure = source.GetFailure();
        source.DeInitialize();
        return failure;
    }
    bool Plays(const std::string& url)
    {
        if (source.Initialize(url, "") != 0) {
            return false;
        }
        bool changed = false;
        const bool read = source.ReadAudio(&changed) > 0;
        source.DeInitialize();
        return read && !recorder.bytes.empty();
    }

    static TempDir* s_dir;
    static HttpTestServer* s_servers[3];
    static HttpTestServer* s_plain;
    static std::string s_ca;

    TempDir dir;
    PacketRecorder recorder;
    CAudioSource source;
};

TempDir* TrustTest::s_dir = nullptr;
HttpTestServer* TrustTest::s_servers[3] = {};
HttpTestServer* TrustTest::s_plain = nullptr;
std::string TrustTest::s_ca;

}  // namespace

TEST_F(TrustTest, CertificatesAreCheckedAndRefusalsSayWhy)
{
    // Checks are on by default, against the system's store alone.
    PlaybackFailure failure = Refused(Server("good").url("/tone.mp3"));
    EXPECT_EQ(OrvanePlayer::FAILURE_CERTIFICATE, failure.cause);
    EXPECT_EQ("certificate refused: untrusted chain", failure.reason);

    Trust(true, s_ca);
    EXPECT_TRUE(Plays(Server("good").url("/tone.mp3"))) << "trusted through the added CA file";

    failure = Refused(Server("wrong").url("/tone.mp3"));
    EXPECT_EQ(OrvanePlayer::FAILURE_CERTIFICATE, failure.cause);
    EXPECT_EQ("certificate refused: wrong host name (not issued for 127.0.0.1)", failure.reason);

    failure = Refused(Server("expired").url("/tone.mp3"));
    EXPECT_EQ(OrvanePlayer::FAILURE_CERTIFICATE, failure.cause);
    EXPECT_EQ("certificate refused: expired", failure.reason);

    // Redirected or named by a playlist, the untrusted server is refused all the same.
    EXPECT_EQ(OrvanePlayer::FAILURE_CERTIFICATE, Refused(s_plain->url("/to_wrong")).cause);
    EXPECT_EQ(OrvanePlayer::FAILURE_CERTIFICATE, Refused(s_plain->url("/list.m3u")).cause);
    EXPECT_TRUE(recorder.bytes.size() > 0);

    // Checks turned off on purpose: anything goes.
    Trust(false, "");
    EXPECT_TRUE(Plays(Server("wrong").url("/tone.mp3")));
    EXPECT_TRUE(Plays(Server("expired").url("/tone.mp3")));
}

TEST_F(TrustTest, AddedAnchorsComeWithTheSystemStore)
{
    std::shared_ptr<const CTrustStore> store;
    ASSERT_EQ(0, CTrustStore::Create(true, s_ca, store));
    ASSERT_FALSE(store->BundlePath().empty());
    const std::string bundle = ReadAll(store->BundlePath());
    const std::string system = ReadAll(CTrustStore::SystemBundlePath());
    EXPECT_FALSE(system.empty()) << "the system's store is installed";
    EXPECT_EQ(0u, bundle.find(system)) << "the system's anchors first";
    EXPECT_NE(std::string::npos, bundle.find(ReadAll(s_ca))) << "then the added ones";

    // A file that cannot be used: the system's store alone, and the caller is told.
    EXPECT_EQ(-ENOENT, CTrustStore::Create(true, dir.file("missing.pem"), store));
    EXPECT_TRUE(store->Verify());
    EXPECT_TRUE(store->BundlePath().empty());
    EXPECT_EQ(-EINVAL, CTrustStore::Create(true, dir.write("empty.pem", "not a certificate\n"), store));
    EXPECT_TRUE(store->Verify());
    EXPECT_TRUE(store->BundlePath().empty());
}

TEST_F(TrustTest, FailedOpensNameTheirCause)
{
    Trust(true, s_ca);
    PlaybackFailure failure = Refused(Server("good").url("/gone"));
    EXPECT_EQ(OrvanePlayer::FAILURE_HTTP_STATUS, failure.cause);
    EXPECT_EQ(503, failure.http_status);
    EXPECT_EQ("HTTP status 503 (Service Unavailable)", failure.reason);

    failure = Refused(s_plain->url("/gone"));
    EXPECT_EQ(404, failure.http_status);
    EXPECT_EQ("HTTP status 404 (Not Found)", failure.reason);

    // Nothing listens on a port that was just free.
    const int port = [] {
        TempDir spare;
        HttpTestServer closed(spare.path(), "{}");
        return closed.port();
    }();
    failure = Refused("http://127.0.0.1:" + std::to_string(port) + "/live");
    EXPECT_EQ(OrvanePlayer::FAILURE_CONNECTION_REFUSED, failure.cause);
    EXPECT_EQ("connection refused by 127.0.0.1:" + std::to_string(port), failure.reason);

    failure = Refused("http://stream.invalid/live");
    EXPECT_EQ(OrvanePlayer::FAILURE_NAME_NOT_RESOLVED, failure.cause);
    EXPECT_EQ("host name not resolved: stream.invalid", failure.reason);

    // The probe gets an answer, the player's own connection nothing.
    source.SetTimeout(1);
    failure = Refused(Server("good").url("/silent_player"));
    EXPECT_EQ(OrvanePlayer::FAILURE_TIMEOUT, failure.cause);
    EXPECT_NE(std::string::npos, failure.reason.find("time-out")) << failure.reason;
    source.SetTimeout(CAudioSource::kDefaultTimeout);

    failure = Refused(Server("good").url("/text"));
    EXPECT_EQ(OrvanePlayer::FAILURE_UNDECODABLE, failure.cause) << failure.reason;

    // A success leaves no cause behind.
    EXPECT_TRUE(Plays(Server("good").url("/tone.mp3")));
    EXPECT_EQ(OrvanePlayer::FAILURE_NONE, source.GetFailure().cause);
}
