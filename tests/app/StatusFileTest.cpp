#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "FileSizeLimit.h"
#include "app/CTestPlayerDelegate.h"

using OrvanePlayer::PlaybackInfo;

namespace {

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string line_for_playlist(const std::string& name) {
    PlaybackInfo info;
    info.m_player_state = 1;
    info.m_curr_song_name = "a \"b\".mp3";
    info.m_playlist_name = name;
    return CTestPlayerDelegate::StatusLine(info, false, 0);
}

std::string expected_line(const std::string& playlist_member) {
    return "{\"m_player_state\":\"1\",\"m_curr_song_name\":\"a%20%22b%22.mp3\","
           "\"m_playlist_name\":\"" + playlist_member + "\",\"reason\":\"\",\"error\":\"no error\"}\n";
}

}  // namespace

TEST(StatusLine, PlaylistNameEscapedOnlyWhereJsonNeedsIt) {
    // Plain names, also with percent signs, slashes and UTF-8, come out byte for byte.
    for (const std::string plain : {"p.m3u", "http://127.0.0.1:8000/live.mp3?x=1&y=%20z",
                                    "rtp://239.0.0.1:5004", "Caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xb5.m3u",
                                    "", "~/a b/'c'.m3u"})
        EXPECT_EQ(line_for_playlist(plain), expected_line(plain)) << plain;

    EXPECT_EQ(line_for_playlist("http://127.0.0.1:18555/live?a=\"b\"\\c"),
              expected_line("http://127.0.0.1:18555/live?a=\\\"b\\\"\\\\c"));
    EXPECT_EQ(line_for_playlist(std::string("tab\there\nnul\x01\x1f") + '\0' + "end\x7f"),
              expected_line("tab\\u0009here\\u000anul\\u0001\\u001f\\u0000end\x7f"));
    // Bytes that are not UTF-8 (Latin-1, a cut sequence, an encoded surrogate, an overlong
    // slash) would make the whole line unreadable: each is written as its own character.
    EXPECT_EQ(line_for_playlist("caf\xe9 \xc3 \xed\xa0\x80 \xc0\xaf"),
              expected_line("caf\\u00e9 \\u00c3 \\u00ed\\u00a0\\u0080 \\u00c0\\u00af"));

    PlaybackInfo info;
    info.m_player_state = 6;
    info.m_playlist_name = "\"";
    EXPECT_EQ(CTestPlayerDelegate::StatusLine(info, true, -1004),
              "{\"m_player_state\":\"6\",\"m_curr_song_name\":\"\",\"m_playlist_name\":\"\\\"\","
              "\"reason\":\"\",\"error\":\"-1004\"}\n");
    // The reason stands before the error member, which still ends the line; written as JSON.
    EXPECT_EQ(CTestPlayerDelegate::StatusLine(info, true, -1002, "HTTP status 404 (\"Not\" Found)"),
              "{\"m_player_state\":\"6\",\"m_curr_song_name\":\"\",\"m_playlist_name\":\"\\\"\","
              "\"reason\":\"HTTP status 404 (\\\"Not\\\" Found)\",\"error\":\"-1002\"}\n");
}

class StatusFile : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = ::testing::TempDir() + "statusXXXXXX";
        m_dir = mkdtemp(&pattern[0]);
        m_status = m_dir + "/quillon";
    }
    void TearDown() override { std::system(("rm -rf '" + m_dir + "'").c_str()); }

    void notify(CTestPlayerDelegate& delegate) {
        PlaybackInfo info;
        info.m_player_state = 1;
        info.m_playlist_name = "p.m3u";
        delegate.NotifyPlaybackStateChanged(info, "playing");
    }

    std::string m_dir;
    std::string m_status;
};

TEST(StatusLine, BackupChainSourceComesBeforeTheErrorMember) {
    PlaybackInfo info;
    info.m_player_state = 1;
    info.m_playlist_name = "http://b1/live";
    EXPECT_EQ(CTestPlayerDelegate::StatusLine(info, false, 0, "", "backup1"),
              "{\"m_player_state\":\"1\",\"m_curr_song_name\":\"\",\"m_playlist_name\":\"http://b1/live\","
              "\"source\":\"backup1\",\"reason\":\"\",\"error\":\"no error\"}\n");
    EXPECT_EQ(CTestPlayerDelegate::StatusLine(info, true, -1002, "", "main"),
              "{\"m_player_state\":\"1\",\"m_curr_song_name\":\"\",\"m_playlist_name\":\"http://b1/live\","
              "\"source\":\"main\",\"reason\":\"\",\"error\":\"-1002\"}\n");
}

TEST_F(StatusFile, PlantedLinkAtTheTemporaryNameIsNeverFollowed) {
    const std::string victim = m_dir + "/victim";
    std::ofstream(victim) << "precious\n";
    ASSERT_EQ(::symlink(victim.c_str(), (m_status + ".tmp").c_str()), 0);
    const std::string nowhere = m_dir + "/created-through-link";
    CTestPlayerDelegate delegate(m_status);

    notify(delegate);
    EXPECT_EQ(read_file(victim), "precious\n");
    const std::string line = read_file(m_status);
    EXPECT_NE(line.find("\"m_playlist_name\":\"p.m3u\""), std::string::npos) << line;
    struct stat info {};
    ASSERT_EQ(::lstat(m_status.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));

    // A dangling link must not create its target either, nor a stale temporary file stop
    // the writes.
    ASSERT_EQ(::symlink(nowhere.c_str(), (m_status + ".tmp").c_str()), 0);
    notify(delegate);
    EXPECT_NE(::access(nowhere.c_str(), F_OK), 0);
    std::ofstream(m_status + ".tmp") << "stale";
    notify(delegate);
    EXPECT_EQ(read_file(m_status), line);
    EXPECT_NE(::lstat((m_status + ".tmp").c_str(), &info), 0);
    EXPECT_EQ(read_file(victim), "precious\n");
}

TEST_F(StatusFile, ReadableByEveryoneAndNeverCutOnAFullFolder) {
    CTestPlayerDelegate delegate(m_status);
    const mode_t saved_umask = ::umask(077);
    notify(delegate);
    ::umask(saved_umask);
    struct stat info {};
    ASSERT_EQ(::stat(m_status.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u) << "the agent, another user, could not read it";
    const std::string complete = read_file(m_status);

    PlaybackInfo next;
    next.m_player_state = 2;
    next.m_curr_song_name = "a much longer song name than the folder has room for";
    next.m_playlist_name = "p.m3u";
    {
        const FileSizeLimit full(16);
        delegate.NotifyTrackPlaybackStarted(next, false);
    }
    EXPECT_EQ(read_file(m_status), complete);
    EXPECT_NE(::lstat((m_status + ".tmp").c_str(), &info), 0);

    delegate.NotifyTrackPlaybackStarted(next, false);
    EXPECT_NE(read_file(m_status).find("\"m_player_state\":\"2\""), std::string::npos);
}

TEST_F(StatusFile, SourceOfTheBackupChainAndTheLatestFailureInWords) {
    CTestPlayerDelegate delegate(m_status);
    app::SourceReport report;
    delegate.SetSourceReport(&report);
    notify(delegate);
    EXPECT_EQ(read_file(m_status).find("\"source\""), std::string::npos) << "no backups configured";

    report.Set(app::SourceReport::kFallback);
    PlaybackInfo info;
    info.m_player_state = 6;
    delegate.SourceChanged(info);
    EXPECT_NE(read_file(m_status).find(",\"source\":\"fallback\",\"reason\":\"\",\"error\":\"no error\"}\n"),
              std::string::npos) << read_file(m_status);

    EXPECT_EQ(delegate.LatestFailure(), "");
    delegate.NotifyPlaybackError(info, -1002);
    EXPECT_EQ(delegate.LatestFailure(), "URL not reachable");
    EXPECT_NE(read_file(m_status).find(",\"source\":\"fallback\",\"reason\":\"\",\"error\":\"-1002\"}\n"),
              std::string::npos) << read_file(m_status);
    delegate.NotifyPlaybackError(info, -1004);
    EXPECT_EQ(delegate.LatestFailure(), "Audio source timeout detected");
    delegate.NotifyPlaybackError(info, -77);  // no text: the words before stay
    EXPECT_EQ(delegate.LatestFailure(), "Audio source timeout detected");
    delegate.ForgetFailure();
    EXPECT_EQ(delegate.LatestFailure(), "");
}
