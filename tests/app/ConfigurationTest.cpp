#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "app/BackupSources.h"
#include "app/Configuration.h"
#include "app/Paths.h"
#include "app/PlaylistPreparation.h"
#include "utils/CIniReader.h"
#include "utils/Paths.h"

using OrvanePlayer::PlaybackItem;
using OrvanePlayer::PlayerInit;
using OrvanePlayer::StreamParams;

namespace {

// Console streams kept in memory.
class CapturedConsole final {
public:
    CapturedConsole() {
        m_console.out = open_memstream(&m_out, &m_out_size);
        m_console.err = open_memstream(&m_err, &m_err_size);
    }
    ~CapturedConsole() {
        std::fclose(m_console.out);
        std::fclose(m_console.err);
        std::free(m_out);
        std::free(m_err);
    }
    const app::Console& console() const { return m_console; }
    std::string out() {
        std::fflush(m_console.out);
        return std::string(m_out, m_out_size);
    }
    std::string err() {
        std::fflush(m_console.err);
        return std::string(m_err, m_err_size);
    }

private:
    app::Console m_console;
    char* m_out = nullptr;
    size_t m_out_size = 0;
    char* m_err = nullptr;
    size_t m_err_size = 0;
};

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A private media root with a configuration file beside it.
class ConfigFixture : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = ::testing::TempDir() + "appXXXXXX";
        m_dir = mkdtemp(&pattern[0]);
        m_root = m_dir + "/media/";
        ::mkdir(m_root.c_str(), 0755);
        app::SetEntryDefaults(item, params, init);
    }
    void TearDown() override { std::system(("rm -rf '" + m_dir + "'").c_str()); }

    int read(const std::string& content) {
        std::ofstream(config_file(), std::ios::binary) << content;
        return app::ReadConfiguration(config_file(), m_root, item, params, init, console.console());
    }
    std::string config_file() const { return m_dir + "/quillon.conf"; }
    void touch(const std::string& path) const { std::ofstream(path) << "x"; }

    std::string m_dir;
    std::string m_root;
    PlaybackItem item;
    StreamParams params;
    PlayerInit init;
    CapturedConsole console;
};

}  // namespace

TEST_F(ConfigFixture, EntryDefaultsAndCommonSettings) {
    EXPECT_EQ(init.player_id, 1);
    EXPECT_EQ(init.log_prefix, "PLAYBACK :");
    EXPECT_EQ(params.rtp_accuracy_ms, 100);
    EXPECT_EQ(params.tcp_delay_ms, 5000);
    EXPECT_EQ(item.repeat_count, 1);
    EXPECT_EQ(item.interrupt, 1);

    ASSERT_EQ(read("VOLUME = 0x20\nBuffer_MS=750\nmedia_type=Stream\nurl=http://127.0.0.1/s\n"), 0);
    EXPECT_EQ(item.volume, 32);
    EXPECT_EQ(params.rtp_delay_ms, 750);
    EXPECT_EQ(params.rtp_accuracy_ms, 100);  // not configurable
    EXPECT_EQ(item.repeat_count, -1);
    EXPECT_EQ(item.interrupt, 0);
    EXPECT_EQ(item.request_id, 1);
    EXPECT_EQ(item.auto_fade_streams, 1);
    EXPECT_EQ(item.shuffle, 0);
}

TEST_F(ConfigFixture, StreamTypeMatchesAnyCaseAndSubstring) {
    ASSERT_EQ(read("media_type = Stream\nurl = http://127.0.0.1:8000/live\n"), 0);
    EXPECT_EQ(item.name, "http://127.0.0.1:8000/live");
    EXPECT_EQ(init.playlist_dir, "./");
    EXPECT_EQ(init.media_dir, "./");
    EXPECT_EQ(console.out(),
              "Volume=50\nBUFFER SIZE=500\nMEDIA_TYPE is Stream\nPlaying stream...\n"
              "ITEM NAME is http://127.0.0.1:8000/live\n");

    EXPECT_EQ(read("media_type=webSTREAMING\nurl=rtp://239.0.0.1:5004\n"), 0);
    EXPECT_EQ(item.name, "rtp://239.0.0.1:5004");
    EXPECT_EQ(app::ReadRtpSource(config_file(), console.console()), "");
    // The paging server alone.
    EXPECT_EQ(read("media_type=stream\nurl=rtp://239.0.0.1:5004\nRTP_Source = pager.local\n"), 0);
    EXPECT_EQ(app::ReadRtpSource(config_file(), console.console()), "pager.local");
    EXPECT_NE(console.out().find("RTP SOURCE=pager.local\n"), std::string::npos);
    EXPECT_EQ(app::ReadRtpSource(m_dir + "/missing.conf", console.console()), "");

    EXPECT_EQ(read("media_type=stream\nurl=\n"), -1);
    EXPECT_EQ(read("media_type=stream\n"), -1);
}

TEST_F(ConfigFixture, LongUrlsAreReadWholeOrRefused) {
    // Stream addresses with access tokens: read whole, also with "=" in the part a
    // 200-byte line buffer would have cut off.
    const std::string url = "http://127.0.0.1:8000/live.mp3?token=" + std::string(500, 't') + "&sig=" +
                            std::string(100, 's') + "==";
    ASSERT_EQ(read("media_type=stream\nurl = " + url + "\nvolume=30\n"), 0);
    EXPECT_EQ(item.name, url);
    EXPECT_EQ(item.volume, 30);
    EXPECT_NE(console.out().find("ITEM NAME is " + url + "\n"), std::string::npos);

    // Too long to be read whole: the configuration is refused, never played cut.
    const std::string huge = "http://127.0.0.1/" + std::string(utils::CIniReader::kMaxLineLength, 'x');
    EXPECT_EQ(read("media_type=stream\nurl=" + huge + "\n"), -1);
    EXPECT_NE(console.err().find("Line 2 of " + config_file() + " is too long: lines are read up to 8192 characters\n"),
              std::string::npos)
        << console.err();
}

TEST_F(ConfigFixture, NumbersOutOfRangeAreClampedNotWrapped) {
    ASSERT_EQ(read("volume=loud\nbuffer_ms=70000\n"), 0);
    EXPECT_EQ(item.volume, 50);
    EXPECT_EQ(params.rtp_delay_ms, 65535);
    const std::string out = console.out();
    EXPECT_NE(out.find("buffer_ms 70000 out of range, using 65535\n"), std::string::npos);
    EXPECT_NE(out.find("BUFFER SIZE=65535\n"), std::string::npos);

    ASSERT_EQ(read("volume=250\nbuffer_ms=-5\n"), 0);
    EXPECT_EQ(item.volume, 100);
    EXPECT_EQ(params.rtp_delay_ms, 0);
    ASSERT_EQ(read("volume=-3\nbuffer_ms=65535\n"), 0);
    EXPECT_EQ(item.volume, 0);
    EXPECT_EQ(params.rtp_delay_ms, 65535);
}

TEST_F(ConfigFixture, LocalWithoutFolderUsesMediaRootAndWritesNothing) {
    ASSERT_EQ(read("volume=40\n"), 0);
    EXPECT_EQ(item.name, "p.m3u");
    EXPECT_EQ(init.playlist_dir, m_root);
    EXPECT_EQ(init.media_dir, m_root);
    EXPECT_NE(access((m_root + "p.m3u").c_str(), F_OK), 0);
    EXPECT_EQ(console.out(),
              "Volume=40\nBUFFER SIZE=500\nMEDIA_TYPE is \nMedia folder is []\nITEM NAME is p.m3u\n");
}

TEST_F(ConfigFixture, MediaFolderGetsPlaylistOnceWithMp3NamesOnly) {
    const std::string folder = m_root + "music/";
    ::mkdir(folder.c_str(), 0755);
    touch(folder + "one.mp3");
    touch(folder + "two.mp3.bak");
    touch(folder + "LOUD.MP3");
    touch(folder + "notes.txt");
    touch(folder + "line\nbreak.mp3");
    ::mkdir((folder + "album.mp3").c_str(), 0755);

    ASSERT_EQ(read("media_type=local\nmedia_folder=music\n"), 0);
    EXPECT_EQ(item.name, "p.m3u");
    EXPECT_EQ(init.playlist_dir, folder);
    EXPECT_EQ(init.media_dir, folder);
    const std::string list = read_file(folder + "p.m3u");
    EXPECT_NE(list.find("one.mp3\n"), std::string::npos);
    EXPECT_NE(list.find("two.mp3.bak\n"), std::string::npos);
    EXPECT_EQ(list.size(), std::string("one.mp3\ntwo.mp3.bak\n").size());
    const std::string out = console.out();
    EXPECT_NE(out.find("Media folder is [music]\nPlaylist " + folder +
                       "p.m3u does not exist, creating it first time.\n"),
              std::string::npos);
    EXPECT_NE(out.find("ITEM NAME is p.m3u\n"), std::string::npos);

    touch(folder + "three.mp3");  // an existing playlist is left as it is
    ASSERT_EQ(read("media_folder=music\n"), 0);
    EXPECT_EQ(read_file(folder + "p.m3u"), list);
}

TEST_F(ConfigFixture, MediaExtensionsKeyChoosesTheFilesOfTheNewPlaylist) {
    const std::string folder = m_root + "music/";
    ::mkdir(folder.c_str(), 0755);
    touch(folder + "one.mp3");
    touch(folder + "two.FLAC");
    touch(folder + "three.m4a");
    touch(folder + "four.wma");
    ASSERT_EQ(read("media_folder=music\nmedia_extensions=flac, m4a\n"), 0);
    const std::string list = read_file(folder + "p.m3u");
    EXPECT_NE(list.find("two.FLAC\n"), std::string::npos);
    EXPECT_NE(list.find("three.m4a\n"), std::string::npos);
    EXPECT_EQ(list.size(), std::string("two.FLAC\nthree.m4a\n").size()) << list;
}

TEST_F(ConfigFixture, UnusableMediaFolderFails) {
    touch(m_root + "plainfile");
    EXPECT_EQ(read("media_folder=plainfile\n"), -1);
    EXPECT_EQ(read("media_folder=missing\n"), -1);
    EXPECT_NE(console.err().find("No such file or directory\n"), std::string::npos);

    EXPECT_EQ(app::PreparePlaylist(m_root + "missing/", m_root + "missing/p.m3u", console.console()), 1);
    if (geteuid() != 0) {
        // Root bypasses permission checks, so this case only means something for others.
        const std::string locked = m_root + "locked/";
        ::mkdir(locked.c_str(), 0000);
        EXPECT_EQ(read("media_folder=locked\n"), -1);
        ::chmod(locked.c_str(), 0755);
    }
}

TEST_F(ConfigFixture, BadFilesFailOrKeepWhatParsed) {
    EXPECT_EQ(app::ReadConfiguration(m_dir + "/none.conf", m_root, item, params, init,
                                     console.console()),
              -1);
    EXPECT_EQ(app::ReadConfiguration(m_dir, m_root, item, params, init, console.console()), -1);
    EXPECT_EQ(console.out(), "");

    // A syntax error does not lose the lines around it; keys after a section are not ours.
    ASSERT_EQ(read("volume=33\nthis line is broken\nbuffer_ms=900\n[other]\nvolume=99\n"), 0);
    EXPECT_EQ(item.volume, 33);
    EXPECT_EQ(params.rtp_delay_ms, 900);

    std::mt19937 generator(11);
    std::string garbage;
    for (int i = 0; i < 100000; ++i)
        garbage += static_cast<char>(generator() & 0xFF);
    const int result = read(garbage);
    EXPECT_TRUE(result == 0 || result == -1);
    EXPECT_GE(item.volume, 0);
    EXPECT_LE(item.volume, 100);
}

TEST(Paths, EnvironmentOverridesFixedPaths) {
    unsetenv("QUILLON_CONF");
    unsetenv("QUILLON_MEDIA_ROOT");
    unsetenv("QUILLON_STATUS_FILE");
    unsetenv("QUILLON_URL_DOWNLOAD");
    EXPECT_EQ(app::config_path(), "/etc/quillon.conf");
    EXPECT_EQ(app::media_root(), "/media/mmcsd0p1/");
    EXPECT_EQ(app::status_file_path(), "/var/run/quillon");
    EXPECT_EQ(utils::url_download_path(), "/tmp/.url");

    setenv("QUILLON_CONF", "/tmp/q.conf", 1);
    setenv("QUILLON_MEDIA_ROOT", "/tmp/media", 1);
    setenv("QUILLON_STATUS_FILE", "/tmp/status", 1);
    setenv("QUILLON_URL_DOWNLOAD", "/tmp/dl", 1);
    EXPECT_EQ(app::config_path(), "/tmp/q.conf");
    EXPECT_EQ(app::media_root(), "/tmp/media/");
    EXPECT_EQ(app::status_file_path(), "/tmp/status");
    EXPECT_EQ(app::url_download_path(), "/tmp/dl");
    setenv("QUILLON_MEDIA_ROOT", "", 1);
    EXPECT_EQ(app::media_root(), "/media/mmcsd0p1/");
    unsetenv("QUILLON_CONF");
    unsetenv("QUILLON_MEDIA_ROOT");
    unsetenv("QUILLON_STATUS_FILE");
    unsetenv("QUILLON_URL_DOWNLOAD");
}

// A configuration read again on SIGHUP reports why it cannot be used.
TEST_F(ConfigFixture, FailuresSayWhy) {
    const auto failure_of = [this](const std::string& content) {
        std::ofstream(config_file(), std::ios::binary) << content;
        app::ConfigFailure failure = app::ConfigFailure::kNone;
        app::ReadConfiguration(config_file(), m_root, item, params, init, console.console(), &failure);
        return failure;
    };
    EXPECT_EQ(failure_of("media_type=stream\nurl=\n"), app::ConfigFailure::kStreamWithoutUrl);
    EXPECT_EQ(failure_of("media_folder=nowhere\n"), app::ConfigFailure::kMediaFolder);
    EXPECT_EQ(failure_of("url=" + std::string(utils::CIniReader::kMaxLineLength + 10, 'x') + "\n"),
              app::ConfigFailure::kLineTooLong);
    EXPECT_EQ(failure_of("media_type=stream\nurl=http://h/s\n"), app::ConfigFailure::kNone);
    EXPECT_EQ(failure_of("media_folder=\n"), app::ConfigFailure::kNone);
    app::ConfigFailure failure = app::ConfigFailure::kNone;
    EXPECT_EQ(app::ReadConfiguration(m_dir, m_root, item, params, init, console.console(), &failure), -1);
    EXPECT_EQ(failure, app::ConfigFailure::kUnreadable);
    EXPECT_STREQ(app::ConfigFailureText(app::ConfigFailure::kMediaFolder), "the media folder cannot be opened");
}

TEST_F(ConfigFixture, BackupKeysAreReadWithTheirDefaultsAndTheFallbackPlaylistIsWritten) {
    ::mkdir((m_root + "fb").c_str(), 0755);
    touch(m_root + "fb/one.mp3");
    touch(m_root + "fb/two.FLAC");
    ASSERT_EQ(read("media_type=stream\nurl=http://main/live\nBACKUP_URL1=http://b1/live\n"
                   "backup_url2=rtp://@:5004\nfallback_folder=fb\nmedia_extensions=flac\n"),
              0);
    app::BackupSources backups;
    ASSERT_EQ(app::ReadBackupSources(config_file(), m_root, backups, console.console()), 0);
    EXPECT_EQ(backups.url1, "http://b1/live");
    EXPECT_EQ(backups.url2, "rtp://@:5004");
    EXPECT_EQ(backups.fallback_folder, "fb");
    EXPECT_EQ(backups.failover_s, 5);
    EXPECT_TRUE(backups.Any());
    // Chosen like media_folder's files.
    EXPECT_EQ(read_file(m_root + "fb/p.m3u"), "two.FLAC\n");
    EXPECT_NE(console.out().find("BACKUP URL 1 is http://b1/live\n"), std::string::npos) << console.out();
    EXPECT_NE(console.out().find("FAILOVER=5 s\n"), std::string::npos) << console.out();

    // Without the keys nothing is printed and nothing falls over.
    ASSERT_EQ(read("media_type=stream\nurl=http://main/live\n"), 0);
    const size_t printed = console.out().size();
    ASSERT_EQ(app::ReadBackupSources(config_file(), m_root, backups, console.console()), 0);
    EXPECT_FALSE(backups.Any());
    EXPECT_EQ(console.out().size(), printed);
}

TEST_F(ConfigFixture, FailoverSecondsAreClampedAndAMissingFallbackFolderIsLeftOut) {
    const struct {
        const char* value;
        int32_t seconds;
    } cases[] = {{"0", 0}, {"-3", 0}, {"12", 12}, {"0x10", 16}, {"999999999", 86400}, {"soon", 5}};
    for (const auto& c : cases) {
        ASSERT_EQ(read(std::string("media_type=stream\nurl=http://main/\nbackup_url1=http://b1/\nfailover_s=") +
                       c.value + "\n"),
                  0);
        app::BackupSources backups;
        ASSERT_EQ(app::ReadBackupSources(config_file(), m_root, backups, console.console()), 0);
        EXPECT_EQ(backups.failover_s, c.seconds) << c.value;
    }
    ASSERT_EQ(read("media_type=stream\nurl=http://main/\nfallback_folder=nowhere\n"), 0);
    app::BackupSources backups;
    ASSERT_EQ(app::ReadBackupSources(config_file(), m_root, backups, console.console()), 0);
    EXPECT_TRUE(backups.fallback_folder.empty());
    EXPECT_FALSE(backups.Any());
    EXPECT_NE(console.out().find("The fallback folder [nowhere] cannot be opened: it is left out.\n"),
              std::string::npos) << console.out();
    EXPECT_EQ(app::ReadBackupSources(m_dir + "/none.conf", m_root, backups, console.console()), -1);
}
