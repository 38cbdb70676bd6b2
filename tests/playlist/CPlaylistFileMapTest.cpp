#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <set>
#include <string>

#include "player/playlist/CPlaylistFileMap.h"

namespace {

// A private folder for playlist and media files, removed with everything in it.
class Folder final {
public:
    Folder() {
        std::string pattern = ::testing::TempDir() + "playlistXXXXXX";
        m_path = mkdtemp(&pattern[0]);
        m_path += "/";
    }
    ~Folder() { std::system(("rm -rf '" + m_path + "'").c_str()); }
    const std::string& path() const { return m_path; }
    void write(const std::string& name, const std::string& content) const {
        std::ofstream(m_path + name, std::ios::binary) << content;
    }

private:
    std::string m_path;
};

class PlaylistFixture : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(map.SetDirectories(folder.path(), folder.path()), 0); }
    int parse(const std::string& content, bool check = false) {
        folder.write("list.m3u", content);
        return map.ParsePlaylist("list.m3u", check);
    }
    const PlaylistEntry& entry(uint32_t key) { return map.Tracks().at(key); }

    Folder folder;
    CPlaylistFileMap map;
};

std::string numbered_list(int n) {
    std::string text;
    for (int i = 0; i < n; ++i)
        text += "track" + std::to_string(i) + ".mp3\n";
    return text;
}

// Every file index appears once and the keys are 0..n-1.
void expect_complete(const CPlaylistFileMap& map, unsigned n) {
    ASSERT_EQ(map.GetTrackCount(), n);
    std::set<int32_t> indexes;
    uint32_t key = 0;
    for (const auto& item : map.Tracks()) {
        EXPECT_EQ(item.first, key++);
        EXPECT_EQ(item.second.path, "track" + std::to_string(item.second.index) + ".mp3");
        indexes.insert(item.second.index);
    }
    EXPECT_EQ(indexes.size(), n);
}

}  // namespace

TEST_F(PlaylistFixture, ParsesHeaderDescriptionsAndShortLines) {
    EXPECT_EQ(parse("#EXTM3U\n#EXTINF:123,Artist - Title\nsong.mp3\n"), 1);
    EXPECT_EQ(entry(0).path, "song.mp3");
    EXPECT_EQ(entry(0).info, "#EXTINF:123,Artist - Title");
    EXPECT_EQ(entry(0).index, 0);

    map.Clear();
    // Blank line keeps the header state, so the first comment is still dropped.
    EXPECT_EQ(parse("\n#EXTM3U\n#first\n\t a.mp3 \t\r\n#kept\nb.mp\n  \r\nc.mp3\r\n"), 2);
    EXPECT_EQ(entry(0).path, "a.mp3");
    EXPECT_EQ(entry(0).info, "#first");
    EXPECT_EQ(entry(1).path, "c.mp3");
    EXPECT_EQ(entry(1).info, "#kept");

    map.Clear();
    // A line of spaces ends the header state; a media line first keeps later comments.
    EXPECT_EQ(parse("   \n#desc\nfirst.mp3\n#second desc\nlast.mp3"), 2);
    EXPECT_EQ(entry(0).info, "#desc");
    EXPECT_EQ(entry(1).info, "#second desc");
    EXPECT_EQ(entry(1).path, "last.mp3");  // no newline at the end

    map.Clear();
    EXPECT_EQ(parse("one.mp3\n#c\ntwo.mp3\n"), 2);
    EXPECT_EQ(entry(1).info, "#c");
}

TEST_F(PlaylistFixture, ParseAppendsClearResetsAndMissingFilesFail) {
    EXPECT_EQ(parse(numbered_list(3)), 3);
    EXPECT_EQ(map.ParsePlaylist("list.m3u", false), 6);
    EXPECT_EQ(entry(5).index, 5);
    EXPECT_EQ(entry(5).path, "track2.mp3");
    EXPECT_EQ(map.ParsePlaylist("missing.m3u", false), -2);
    EXPECT_EQ(map.GetTrackCount(), 6u);

    map.Clear();
    EXPECT_EQ(map.GetTrackCount(), 0u);
    EXPECT_FALSE(map.HasAvailableTracks());
    EXPECT_EQ(map.ParsePlaylist("list.m3u", false), 3);
    EXPECT_EQ(entry(0).index, 0);

    CPlaylistFileMap other;
    EXPECT_EQ(other.SetDirectories(folder.path(), folder.path() + "nope/"), -2);
    EXPECT_EQ(other.SetDirectories(folder.path() + "nope/", folder.path()), -2);

    other.set_player_prefix("PLAYBACK :");
    EXPECT_STREQ(other.get_player_prefix(), "PLAYBACK : PLAYLIST FILE MAP:");
}

TEST_F(PlaylistFixture, NavigationWrapsAroundBothWays) {
    std::string out = "untouched";
    EXPECT_EQ(map.MoveToNext(out), 1);
    EXPECT_EQ(map.MoveToPrevious(out), 1);
    EXPECT_EQ(map.GetNext(out, false), 1);
    EXPECT_EQ(map.SelectTrack(0, out), 0);
    EXPECT_EQ(out, "untouched");
    EXPECT_EQ(map.GetCurrentIndex(), -1);

    parse(numbered_list(3));
    EXPECT_EQ(map.MoveToNext(out), 1);
    EXPECT_EQ(out, "track0.mp3");
    EXPECT_EQ(map.MoveToNext(out), 0);
    EXPECT_EQ(map.MoveToNext(out), 0);
    EXPECT_EQ(out, "track2.mp3");
    EXPECT_EQ(map.GetNext(out, false), 1);
    EXPECT_EQ(out, "track0.mp3");
    EXPECT_EQ(map.MoveToNext(out), 1);
    EXPECT_EQ(out, "track0.mp3");
    EXPECT_EQ(map.MoveToPrevious(out), 1);
    EXPECT_EQ(out, "track2.mp3");
    EXPECT_EQ(map.MoveToPrevious(out), 0);
    EXPECT_EQ(out, "track1.mp3");
    EXPECT_EQ(map.GetCurrentIndex(), 1);
    EXPECT_EQ(map.GetNext(out, false), 0);
    EXPECT_EQ(out, "track2.mp3");

    EXPECT_EQ(map.SelectTrack(7, out), 0);
    EXPECT_EQ(out, "track1.mp3");
    EXPECT_EQ(map.SelectTrack(2, out), 1);
    EXPECT_EQ(out, "track2.mp3");
    EXPECT_EQ(map.GetCurrentIndex(), 2);

    map.Clear();
    parse(numbered_list(2));
    EXPECT_EQ(map.MoveToPrevious(out), 0);  // right after parsing: the last entry
    EXPECT_EQ(out, "track1.mp3");

    map.SetSingleItem("http://host/stream", "http://host/stream", true);
    EXPECT_EQ(map.GetTrackCount(), 1u);
    EXPECT_EQ(map.GetCurrentIndex(), -1);
    EXPECT_EQ(map.MoveToNext(out), 1);
    EXPECT_EQ(out, "http://host/stream");
    EXPECT_EQ(map.MoveToNext(out), 1);
}

TEST_F(PlaylistFixture, ShuffleKeepsEveryEntryAndRestoresFileOrder) {
    // 100 000 draws of a 31-bit generator repeat a key about twice per shuffle.
    const int n = 100000;
    ASSERT_EQ(parse(numbered_list(n)), n);
    for (int round = 0; round < 3; ++round) {
        EXPECT_TRUE(map.Shuffle());
        expect_complete(map, n);
        EXPECT_EQ(map.GetCurrentIndex(), -1);
    }
    EXPECT_TRUE(map.DontShuffle());
    for (const auto& item : map.Tracks())
        ASSERT_EQ(static_cast<int32_t>(item.first), item.second.index);
    EXPECT_EQ(map.GetCurrentIndex(), 0);

    map.Clear();
    EXPECT_FALSE(map.Shuffle());
    EXPECT_FALSE(map.DontShuffle());
}

TEST_F(PlaylistFixture, DontShuffleUsesFileIndexesEvenWithGaps) {
    parse(numbered_list(2));
    map.SetSingleItem("track9.mp3", "", true);  // index 0, running index 1
    parse(numbered_list(2));                    // indexes 1 and 2
    map.Shuffle();
    map.DontShuffle();
    EXPECT_EQ(map.GetTrackCount(), 3u);
    EXPECT_EQ(entry(0).path, "track9.mp3");
    EXPECT_EQ(entry(2).path, "track1.mp3");
}

TEST_F(PlaylistFixture, PeekAtEndOfShuffledListAnnouncesNextCycle) {
    parse(numbered_list(20));
    map.Shuffle();
    std::string out;
    for (int i = 0; i < 20; ++i)
        map.MoveToNext(out);
    std::string announced;
    EXPECT_EQ(map.GetNext(announced, false), 1);
    EXPECT_EQ(map.GetCurrentIndex(), -1);  // reshuffled
    expect_complete(map, 20);
    EXPECT_EQ(map.MoveToNext(out), 1);
    EXPECT_EQ(out, announced);
}

TEST_F(PlaylistFixture, DisplayNamesDropGeneratorMarks) {
    parse("#EXTM3U\n#./My Song.mp3\nsong1.mp3\n#./ab\nsong2.mp3\n#EXTINF:1,Plain\nplain.mp3\nbare.mp3\n");
    std::string out;
    EXPECT_EQ(map.GetNext(out, true), 1);
    EXPECT_EQ(out, "My Song");
    map.MoveToNext(out);
    EXPECT_EQ(map.GetNext(out, true), 0);
    EXPECT_EQ(out, "ab");  // too short for an extension: all from position 3
    map.MoveToNext(out);
    EXPECT_EQ(map.GetNext(out, true), 0);
    EXPECT_EQ(out, "#EXTINF:1,Plain");
    EXPECT_EQ(map.GetNext(out, false), 0);
    EXPECT_EQ(out, "plain.mp3");
    map.MoveToNext(out);
    EXPECT_EQ(map.GetNext(out, true), 0);
    EXPECT_EQ(out, "bare.mp3");

    map.SetSingleItem("#./x.mp3", "", true);
    EXPECT_EQ(map.GetNext(out, true), 1);
    EXPECT_EQ(out, "x");
}

TEST_F(PlaylistFixture, AvailabilityIsCheckedAndCounted) {
    folder.write("here.mp3", "x");
    EXPECT_EQ(parse("here.mp3\ngone.mp3\nhere.mp3\n", true), 3);
    EXPECT_TRUE(entry(0).available);
    EXPECT_FALSE(entry(1).available);
    std::string out;
    map.SetCurrentAvailable(false);  // no current track: nothing happens
    for (int i = 0; i < 5; ++i) {
        map.MoveToNext(out);
        map.SetCurrentAvailable(false);
    }
    EXPECT_FALSE(map.HasAvailableTracks());  // counted down to 0, never below
    map.ResetAvailableCount();
    EXPECT_TRUE(map.HasAvailableTracks());
    map.SetCurrentAvailable(true);
    EXPECT_TRUE(map.Tracks().at(static_cast<uint32_t>(map.GetCurrentIndex())).available);
}

TEST_F(PlaylistFixture, HostileFilesNeitherCrashNorLoseGoodLines) {
    std::mt19937 generator(7);
    std::string garbage;
    for (int i = 0; i < 200000; ++i)
        garbage += static_cast<char>(generator() & 0xFF);
    EXPECT_GE(parse(garbage), 0);
    EXPECT_LE(map.GetTrackCount(), 200000u / 6);
    for (const auto& item : map.Tracks()) {
        EXPECT_EQ(item.second.path.find('\0'), std::string::npos);
        EXPECT_LE(item.second.path.size(), CPlaylistFileMap::kMaxLineLength);
    }

    map.Clear();
    const std::string longline(5000, 'x');
    EXPECT_EQ(parse("before.mp3\n" + longline + "\n#after\nafter.mp3\r\n" + longline), 2);
    EXPECT_EQ(entry(1).path, "after.mp3");
    EXPECT_EQ(entry(1).info, "#after");

    map.Clear();
    // Exactly the longest allowed line is kept whole.
    const std::string longest(CPlaylistFileMap::kMaxLineLength, 'y');
    EXPECT_EQ(parse(longest + "\n"), 1);
    EXPECT_EQ(entry(0).path, longest);

    map.Clear();
    EXPECT_EQ(parse(std::string("nul\0byte.mp3\nok.mp3\n", 20)), 1);
    EXPECT_EQ(entry(0).path, "ok.mp3");
    EXPECT_EQ(parse(""), 1);
}
