#pragma once

#include <string>

#include "app/Console.h"
#include "player/include/PlayerFailure.h"
#include "player/include/PlayerRecords.h"

namespace app {

// Largest value of a 16-bit millisecond field.
inline constexpr long kMaxBufferMs = 65535;

// Why a configuration could not be used.
enum class ConfigFailure {
    kNone,
    kUnreadable,        // missing, not a regular file, cannot be opened
    kLineTooLong,       // a value could not be read whole
    kStreamWithoutUrl,  // media_type names a stream, url is empty
    kMediaFolder,       // the media folder cannot be opened
};

// One line for the console and the log: "the media folder cannot be opened".
const char* ConfigFailureText(ConfigFailure failure);

// The records as the program prepares them before the configuration is read.
void SetEntryDefaults(OrvanePlayer::PlaybackItem& item, OrvanePlayer::StreamParams& params,
                      OrvanePlayer::PlayerInit& init);

// Fills the records from the INI file at config_file: a stream URL to play, or "p.m3u" in a
// folder below media_root (ending with "/"), writing that playlist when it is missing.
// Returns 0, or -1 when the file cannot be opened, a stream has no URL or the media
// folder cannot be opened; failure, when given, then says which of these it was.
int ReadConfiguration(const std::string& config_file, const std::string& media_root,
                      OrvanePlayer::PlaybackItem& item, OrvanePlayer::StreamParams& params,
                      OrvanePlayer::PlayerInit& init, const Console& console = Console(),
                      ConfigFailure* failure = nullptr);

// How HTTPS servers are to be checked: "tls_verify" (a yes/no value, default yes; a value
// that is neither keeps the checks on) and "ca_file" (a PEM file of trust anchors added to
// the system's). A file that cannot be read gives the defaults.
OrvanePlayer::TlsSettings ReadTlsSettings(const std::string& config_file);

// The only host RTP streams are taken from, "rtp_source" (empty: any), said on the console
// when there is one. A file that cannot be read gives "".
std::string ReadRtpSource(const std::string& config_file, const Console& console = Console());

// The same with the program's configuration file and media root.
int ReadConfiguration(OrvanePlayer::PlaybackItem& item, OrvanePlayer::StreamParams& params,
                      OrvanePlayer::PlayerInit& init, const Console& console = Console());

}  // namespace app
