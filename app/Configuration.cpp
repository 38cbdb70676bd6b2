#include "app/Configuration.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>

#include "app/Paths.h"
#include "app/PlaylistPreparation.h"
#include "utils/CIniReader.h"

namespace app {

namespace {

// Keys are read from the lines before the first section header.
const std::string kUnnamedSection;

constexpr long kDefaultVolume = 50;
constexpr long kDefaultBufferMs = 500;
constexpr long kMaxVolume = 100;

// Out-of-range numbers are clamped, not wrapped: 70000 ms must not become 4464 ms.
long clamped(const Console& console, const char* key, long value, long low, long high) {
    const long result = std::min(std::max(value, low), high);
    if (result != value)
        std::fprintf(console.out, "%s %ld out of range, using %ld\n", key, value, result);
    return result;
}

std::string lower_case(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

void read_numbers(const utils::CIniReader& reader, OrvanePlayer::PlaybackItem& item,
                  OrvanePlayer::StreamParams& params, const Console& console) {
    const long volume = reader.GetInteger(kUnnamedSection, "volume", kDefaultVolume);
    item.volume = static_cast<int32_t>(clamped(console, "volume", volume, 0, kMaxVolume));
    std::fprintf(console.out, "Volume=%d\n", static_cast<int>(item.volume));

    const long buffer = reader.GetInteger(kUnnamedSection, "buffer_ms", kDefaultBufferMs);
    params.rtp_delay_ms = static_cast<uint16_t>(clamped(console, "buffer_ms", buffer, 0, kMaxBufferMs));
    std::fprintf(console.out, "BUFFER SIZE=%d\n", static_cast<int>(params.rtp_delay_ms));
}

int read_stream(const utils::CIniReader& reader, OrvanePlayer::PlaybackItem& item, const Console& console) {
    std::fputs("Playing stream...\n", console.out);
    item.name = reader.Get(kUnnamedSection, "url", "");
    if (item.name.empty())
        return -1;
    std::fprintf(console.out, "ITEM NAME is %s\n", item.name.c_str());
    return 0;
}

int read_local(const utils::CIniReader& reader, const std::string& media_root,
               OrvanePlayer::PlaybackItem& item, OrvanePlayer::PlayerInit& init,
               const Console& console) {
    const std::string folder_name = reader.Get(kUnnamedSection, "media_folder", "");
    std::fprintf(console.out, "Media folder is [%s]\n", folder_name.c_str());
    item.name = kFolderPlaylistName;
    if (folder_name.empty()) {
        init.playlist_dir = media_root;
        init.media_dir = media_root;
        RefuseLinkedPlaylist(media_root + kFolderPlaylistName, console);
    } else {
        const std::string folder = media_root + folder_name + "/";
        init.playlist_dir = folder;
        init.media_dir = folder;
        const std::vector<std::string> extensions =
            ParseMediaExtensions(reader.Get(kUnnamedSection, "media_extensions", ""));
        if (PreparePlaylist(folder, folder + kFolderPlaylistName, console, extensions) != 0)
            return -1;
    }
    std::fprintf(console.out, "ITEM NAME is %s\n", item.name.c_str());
    return 0;
}

}  // namespace

void SetEntryDefaults(OrvanePlayer::PlaybackItem& item, OrvanePlayer::StreamParams& params,
                      OrvanePlayer::PlayerInit& init) {
    init = OrvanePlayer::PlayerInit();
    init.player_id = 1;
    init.playlist_dir = "./";
    init.media_dir = "./";
    init.log_prefix = "PLAYBACK :";

    params = OrvanePlayer::StreamParams();
    params.rtp_delay_ms = 500;
    params.rtp_accuracy_ms = 100;
    params.rtp_low_threshold_ms = 100;
    params.tcp_delay_ms = 5000;
    params.tcp_accuracy_ms = 500;
    params.tcp_low_threshold_ms = 1000;
    params.fade_in_ms = 1000;
    params.track_end_margin_ms = 1000;

    item = OrvanePlayer::PlaybackItem();
    item.shuffle = 0;
    item.interrupt = 1;
    item.repeat_count = 1;
    item.volume = 0;
    item.request_id = 0;
    item.auto_fade_streams = 1;
    item.auto_fade_tracks = 0;
}

const char* ConfigFailureText(ConfigFailure failure) {
    switch (failure) {
        case ConfigFailure::kNone: return "no error";
        case ConfigFailure::kUnreadable: return "the configuration file cannot be read";
        case ConfigFailure::kLineTooLong: return "a line of the configuration file is too long";
        case ConfigFailure::kStreamWithoutUrl: return "a stream is configured without url";
        case ConfigFailure::kMediaFolder: return "the media folder cannot be opened";
    }
    return "unknown";
}

int ReadConfiguration(const std::string& config_file, const std::string& media_root,
                      OrvanePlayer::PlaybackItem& item, OrvanePlayer::StreamParams& params,
                      OrvanePlayer::PlayerInit& init, const Console& console,
                      ConfigFailure* failure) {
    ConfigFailure ignored = ConfigFailure::kNone;
    ConfigFailure& why = failure ? *failure : ignored;
    why = ConfigFailure::kUnreadable;
    // inih would read a folder as an empty file; that is no configuration either.
    struct stat info {};
    if (::stat(config_file.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return -1;
    const utils::CIniReader reader(config_file);
    // Negative: the file could not be opened. A positive line number of a syntax error
    // still leaves everything parsed before and after it usable.
    if (reader.ParseError() < 0)
        return -1;
    // A value that cannot be read whole is never used cut: a different URL or folder
    // would be played without a word.
    if (reader.RefusedLine() != 0) {
        std::fprintf(console.err, "Line %d of %s is too long: lines are read up to %zu characters\n",
                     reader.RefusedLine(), config_file.c_str(), utils::CIniReader::kMaxLineLength);
        why = ConfigFailure::kLineTooLong;
        return -1;
    }

    item.shuffle = 0;
    item.interrupt = 0;
    item.repeat_count = -1;
    item.auto_fade_streams = 1;
    item.request_id = 1;
    read_numbers(reader, item, params, console);

    const std::string media_type = reader.Get(kUnnamedSection, "media_type", "");
    std::fprintf(console.out, "MEDIA_TYPE is %s\n", media_type.c_str());
    if (lower_case(media_type).find("stream") != std::string::npos) {
        why = ConfigFailure::kStreamWithoutUrl;
        const int result = read_stream(reader, item, console);
        if (result == 0) why = ConfigFailure::kNone;
        return result;
    }
    why = ConfigFailure::kMediaFolder;
    const int result = read_local(reader, media_root, item, init, console);
    if (result == 0) why = ConfigFailure::kNone;
    return result;
}

OrvanePlayer::TlsSettings ReadTlsSettings(const std::string& config_file) {
    OrvanePlayer::TlsSettings settings;
    struct stat info {};
    if (::stat(config_file.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return settings;
    const utils::CIniReader reader(config_file);
    if (reader.ParseError() < 0)
        return settings;
    // Only a clear "no" turns the checks off: a typo must not open the door.
    const std::string verify = lower_case(reader.Get(kUnnamedSection, "tls_verify", "yes"));
    settings.verify = !(verify == "no" || verify == "false" || verify == "off" || verify == "0");
    settings.ca_file = reader.Get(kUnnamedSection, "ca_file", "");
    return settings;
}

std::string ReadRtpSource(const std::string& config_file, const Console& console) {
    struct stat info {};
    if (::stat(config_file.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return "";
    const utils::CIniReader reader(config_file);
    if (reader.ParseError() < 0)
        return "";
    // A device that must hear its paging server alone names it; other hosts are ignored.
    std::string host = reader.Get(kUnnamedSection, "rtp_source", "");
    if (!host.empty())
        std::fprintf(console.out, "RTP SOURCE=%s\n", host.c_str());
    return host;
}

int ReadConfiguration(OrvanePlayer::PlaybackItem& item, OrvanePlayer::StreamParams& params,
                      OrvanePlayer::PlayerInit& init, const Console& console) {
    return ReadConfiguration(config_path(), media_root(), item, params, init, console);
}

}  // namespace app
