#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "FileSizeLimit.h"
#include "app/PlaylistPreparation.h"
#include "player/playlist/CPlaylistFileMap.h"

namespace {

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A media folder in a private temporary folder; console lines kept in memory.
class PlaylistFolder : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = ::testing::TempDir() + "playlistXXXXXX";
        m_dir = mkdtemp(&pattern[0]);
        m_folder = m_dir + "/tracks/";
        ::mkdir(m_folder.c_str(), 0755);
        m_console.out = open_memstream(&m_out, &m_out_size);
        m_console.err = open_memstream(&m_err, &m_err_size);
    }
    void TearDown() override {
        std::fclose(m_console.out);
        std::fclose(m_console.err);
        std::free(m_out);
        std::free(m_err);
        std::system(("rm -rf '" + m_dir + "'").c_str());
    }

    void touch(const std::string& name) const { std::ofstream(m_folder + name) << "x"; }
    int prepare() { return app::PreparePlaylist(m_folder, m_folder + "p.m3u", m_console); }
    std::string out() {
        std::fflush(m_console.out);
        return std::string(m_out, m_out_size);
    }

    // The files the playlist names as the player reads it, each checked to exist.
    std::set<std::string> read_back() const {
        CPlaylistFileMap map;
        EXPECT_EQ(map.SetDirectories(m_folder, m_folder), 0);
        EXPECT_GE(map.ParsePlaylist("p.m3u", true), 0);
        std::set<std::string> names;
        for (const auto& item : map.Tracks()) {
            EXPECT_TRUE(item.second.available) << item.second.path;
            std::string path = item.second.path;
            if (path.compare(0, 2, "./") == 0)
                path.erase(0, 2);
            names.insert(path);
        }
        return names;
    }

    std::string m_dir;
    std::string m_folder;
    app::Console m_console;
    char* m_out = nullptr;
    size_t m_out_size = 0;
    char* m_err = nullptr;
    size_t m_err_size = 0;
};

}  // namespace

TEST_F(PlaylistFolder, FoldersNamedLikeTracksAreLeftOut) {
    touch("song.mp3");
    ::mkdir((m_folder + "album.mp3").c_str(), 0755);
    ::mkdir((m_folder + "old.mp3.d").c_str(), 0755);
    ::mkdir((m_dir + "/elsewhere").c_str(), 0755);
    ASSERT_EQ(::symlink("../elsewhere", (m_folder + "linked.mp3").c_str()), 0);
    ASSERT_EQ(::symlink("song.mp3", (m_folder + "alias.mp3").c_str()), 0);

    ASSERT_EQ(prepare(), 0);
    EXPECT_EQ(read_back(), (std::set<std::string>{"song.mp3", "alias.mp3"}));
    const std::string console = out();
    EXPECT_EQ(console.find("album.mp3"), std::string::npos) << console;
    EXPECT_EQ(console.find("linked.mp3"), std::string::npos) << console;
}

TEST_F(PlaylistFolder, EveryWrittenNameReadsBackAsItsFile) {
    const std::set<std::string> readable = {"#hash.mp3", "##.mp3", " lead.mp3", "\tlead tab.mp3",
                                            ".mp3", "a.mp3", "mid dle.mp3.bak", "plain.mp3"};
    for (const auto& name : readable)
        touch(name);
    touch("trail.mp3 ");
    touch("trail.mp3\t");
    touch("cr\r.mp3");
    touch("line\nbreak.mp3");

    ASSERT_EQ(prepare(), 0);
    EXPECT_EQ(read_back(), readable);

    const std::string list = "\n" + read_file(m_folder + "p.m3u");
    EXPECT_NE(list.find("\n./#hash.mp3\n"), std::string::npos) << list;
    EXPECT_NE(list.find("\n./ lead.mp3\n"), std::string::npos) << list;
    EXPECT_NE(list.find("\n./.mp3\n"), std::string::npos) << list;
    EXPECT_NE(list.find("\nplain.mp3\n"), std::string::npos) << list;
    const std::string console = out();
    EXPECT_NE(console.find("\n./#hash.mp3\n"), std::string::npos) << console;
    for (const char* left_out : {"trail.mp3 ", "trail.mp3?", "cr?.mp3", "line?break.mp3"})
        EXPECT_NE(console.find(std::string("Left out of the playlist (a playlist line cannot hold "
                                           "its name): ") + left_out + "\n"),
                  std::string::npos)
            << left_out << "\n" << console;
}

TEST_F(PlaylistFolder, MediaExtensionsChooseTracksByTheirEndingInAnyCase) {
    for (const char* name : {"a.mp3", "b.FLAC", "c.m4a", "d.Ogg", "e.opus", "f.mp3.txt", "g.wma", "flac",
                             ".flac", "h.xflac", "i.m4a.part"})
        touch(name);
    const std::vector<std::string> extensions = app::ParseMediaExtensions(" mp3, .flac,M4A,,ogg ,opus");
    EXPECT_EQ(extensions, (std::vector<std::string>{"mp3", "flac", "m4a", "ogg", "opus"}));
    EXPECT_EQ(app::PreparePlaylist(m_folder, m_folder + "p.m3u", m_console, extensions), 0);
    EXPECT_EQ(read_back(), (std::set<std::string>{"a.mp3", "b.FLAC", "c.m4a", "d.Ogg", "e.opus"}));
}

TEST_F(PlaylistFolder, WithoutMediaExtensionsNamesHoldingMp3AreListedAsWritten) {
    for (const char* name : {"a.mp3", "b.MP3", "c.mp3.txt", "d.flac"})
        touch(name);
    EXPECT_TRUE(app::ParseMediaExtensions("").empty());
    EXPECT_TRUE(app::ParseMediaExtensions(" , ,. ").empty());
    EXPECT_EQ(prepare(), 0);
    EXPECT_EQ(read_back(), (std::set<std::string>{"a.mp3", "c.mp3.txt"}));
}

namespace {

std::set<std::string> folder_names(const std::string& folder) {
    std::set<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    while (const dirent* entry = dir ? ::readdir(dir) : nullptr) {
        if (std::string(entry->d_name) != "." && std::string(entry->d_name) != "..")
            names.insert(entry->d_name);
    }
    if (dir)
        ::closedir(dir);
    return names;
}

}  // namespace

TEST_F(PlaylistFolder, ListIsWrittenWholeOrNotAtAll) {
    for (int i = 0; i < 200; ++i)
        touch("track number " + std::to_string(i) + ".mp3");
    const std::set<std::string> tracks = folder_names(m_folder);

    {
        // A full card: the list does not fit, so no list at all, and the console says so.
        const FileSizeLimit full(512);
        ASSERT_EQ(prepare(), 0);
    }
    EXPECT_EQ(folder_names(m_folder), tracks) << "a cut list or a temporary file was left";
    EXPECT_NE(out().find("Playlist " + m_folder + "p.m3u cannot be written ("), std::string::npos)
        << out();

    // An empty list is what a power cut during the first write leaves: it is written anew.
    std::ofstream(m_folder + "p.m3u").close();
    ASSERT_EQ(prepare(), 0);
    EXPECT_NE(out().find("Playlist " + m_folder + "p.m3u is empty, creating it anew.\n"),
              std::string::npos) << out();
    EXPECT_EQ(read_back(), tracks);
    struct stat info {};
    ASSERT_EQ(::stat((m_folder + "p.m3u").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);

    // A list with content is kept as it is, even when the folder changed.
    touch("later.mp3");
    ASSERT_EQ(prepare(), 0);
    EXPECT_EQ(read_back(), tracks);
}

TEST_F(PlaylistFolder, LinkedListIsNeitherWrittenNorRead) {
    touch("song.mp3");
    ::mkdir((m_dir + "/elsewhere").c_str(), 0755);
    const std::string target = m_dir + "/elsewhere/target.m3u";
    ASSERT_EQ(::symlink(target.c_str(), (m_folder + "p.m3u").c_str()), 0);

    ASSERT_EQ(prepare(), 0);
    struct stat info {};
    EXPECT_NE(::stat(target.c_str(), &info), 0) << "the link's target was created";
    EXPECT_NE(out().find("Playlist " + m_folder +
                         "p.m3u is a symbolic link: refused, it is neither written nor played.\n"),
              std::string::npos) << out();

    // A list behind the link is not read either: its lines would reach every reader.
    std::ofstream(target) << "/etc/secret.mp3\n";
    CPlaylistFileMap map;
    ASSERT_EQ(map.SetDirectories(m_folder, m_folder), 0);
    EXPECT_EQ(map.ParsePlaylist("p.m3u", false), -2);
    EXPECT_TRUE(map.Tracks().empty());

    // Nor is a FIFO, which would hold the player until something writes to it.
    ::unlink((m_folder + "p.m3u").c_str());
    ASSERT_EQ(::mkfifo((m_folder + "p.m3u").c_str(), 0644), 0);
    EXPECT_EQ(map.ParsePlaylist("p.m3u", false), -2);
}
