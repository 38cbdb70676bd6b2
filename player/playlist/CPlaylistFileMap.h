#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "utils/APlayerInfoAdapter.h"

// One track of the list.
struct PlaylistEntry {
    int32_t index = 0;  // position in file order; survives shuffling (the song id)
    std::string path;   // the media line as written, trimmed, relative to the media folder
    std::string info;   // the comment line that preceded it, "#" included, or empty
    bool available = true;
};

// The player's track list ("DB"): names read from M3U-style files, kept in playing order,
// with wrap-around navigation, peeking, shuffling and availability counting.
// No lock of its own: the player calls it under its own mutex. Moving operations return
// 1 when the list wrapped around or was empty, 0 otherwise.
class CPlaylistFileMap final : public APlayerInfoAdapter {
public:
    // Longest playlist line kept, terminator excluded.
    static constexpr size_t kMaxLineLength = 1999;

    CPlaylistFileMap();

    void set_player_prefix(const char* text) override;

    // Both folders end with "/". -2 when one does not exist (the media folder is checked
    // and stored first), else 0.
    int SetDirectories(const std::string& playlistFolder, const std::string& mediaFolder);
    // Appends the entries of playlist folder + name. Returns the number of entries now
    // held, or -2 when the file cannot be opened (nothing changes then).
    int ParsePlaylist(const std::string& name, bool checkFiles);
    void Clear();
    // Replaces the list with one entry at key 0; no current track.
    void SetSingleItem(const std::string& path, const std::string& info, bool available);

    bool Shuffle();
    bool DontShuffle();
    int MoveToNext(std::string& out);
    int MoveToPrevious(std::string& out);
    // 1 when key id exists and became current, 0 otherwise (current unchanged).
    int SelectTrack(unsigned id, std::string& out);
    // The name the next MoveToNext will yield; displayName gives the readable title.
    int GetNext(std::string& out, bool displayName);

    int GetCurrentIndex() const;
    unsigned GetTrackCount() const { return static_cast<unsigned>(m_tracks.size()); }
    bool HasAvailableTracks() const { return m_available_count != 0; }
    void ResetAvailableCount() { m_available_count = GetTrackCount(); }
    void SetCurrentAvailable(bool available);

    // Read-only view for callers that show the list.
    const std::map<uint32_t, PlaylistEntry>& Tracks() const { return m_tracks; }
    bool IsShuffled() const { return m_shuffled; }

private:
    using TrackMap = std::map<uint32_t, PlaylistEntry>;
    struct FileCloser {
        void operator()(FILE* f) const noexcept { std::fclose(f); }
    };
    using File = std::unique_ptr<FILE, FileCloser>;

    File OpenPlaylistFile(const std::string& path) const;

    enum class LineStatus { Line, TooLong, End };
    LineStatus ReadLine(FILE* file);
    void ParseLine(const char* text, int length, bool checkFiles, std::string& pending,
                   bool& header);
    void AddMediaLine(const std::string& path, bool checkFiles, std::string& pending);
    static std::string DisplayName(const PlaylistEntry& entry);

    uint32_t m_available_count = 0;
    TrackMap m_tracks;
    TrackMap::iterator m_current;
    uint32_t m_running_index = 0;
    bool m_shuffled = false;
    std::string m_media_folder;
    std::string m_playlist_folder;
    char m_line[kMaxLineLength + 1] = {};
    size_t m_line_length = 0;
    bool m_line_has_nul = false;
};
