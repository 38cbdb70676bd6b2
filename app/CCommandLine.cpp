#include "app/CCommandLine.h"

#include <getopt.h>

#include <cerrno>
#include <cstdlib>

#include "app/Paths.h"
#include "player/include/PlayerFactory.h"

namespace app {

namespace {

constexpr const char* kProgramVersion = "1.1";

// Long-only options get codes above the character range.
enum OptionCode : int {
    kOptConfig = 256,
    kOptStatusFile,
    kOptMediaRoot,
    kOptChannel,
};

const option kOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {"config", required_argument, nullptr, kOptConfig},
    {"status-file", required_argument, nullptr, kOptStatusFile},
    {"media-root", required_argument, nullptr, kOptMediaRoot},
    {"channel", required_argument, nullptr, kOptChannel},
    {nullptr, 0, nullptr, 0},
};

std::string BaseName(const char* path) {
    const std::string text = path ? path : "";
    const std::string::size_type slash = text.rfind('/');
    return slash == std::string::npos ? text : text.substr(slash + 1);
}

// The option as the user wrote it, for messages: getopt names a short option by its
// letter (short options may be grouped), a long one only by its position.
std::string OptionText(int argc, char* const argv[], int index, int short_option = 0) {
    if (short_option > 0 && short_option < 256) return std::string("-") + static_cast<char>(short_option);
    return index > 0 && index <= argc && argv[index - 1] ? argv[index - 1] : "";
}

}  // namespace

std::string CCommandLine::HelpText(const std::string& program) {
    return "Usage: " + program + " [OPTION]...\n"
           "Plays the configured media folder or stream on the audio device until stopped\n"
           "(SIGINT: exit status 2; SIGTERM: exit status 0). SIGHUP makes it read the\n"
           "configuration again and switch to what it names, without a restart.\n"
           "\n"
           "  -h, --help               show this help and exit\n"
           "  -V, --version            show the versions of the program and its libraries\n"
           "      --config FILE        configuration file (QUILLON_CONF, /etc/quillon.conf)\n"
           "      --status-file FILE   JSON status file (QUILLON_STATUS_FILE, /var/run/quillon)\n"
           "      --media-root DIR     root of the media card\n"
           "                           (QUILLON_MEDIA_ROOT, /media/mmcsd0p1/)\n"
           "      --channel N          player channel 1 to 4: plays on PCM \"channelN\" with\n"
           "                           mixer element \"chan_N\" (default 1)\n"
           "\n"
           "An option wins over its environment variable, which wins over the fixed path.\n"
           "Exit status: 0 stopped by SIGTERM, 2 stopped by SIGINT, 64 usage error,\n"
           "255 bad configuration or the player could not start.\n";
}

std::string CCommandLine::VersionText() {
    return std::string("quillon ") + kProgramVersion + "\n" + "player engine " +
           OrvanePlayer::EngineVersion() + "\n" + "libraries: " +
           OrvanePlayer::EngineLibraryVersions() + "\n";
}

bool CCommandLine::Parse(int argc, char* const argv[], const Console& console) {
    if (argc > 0) m_program = BaseName(argv[0]);
    // Messages are the program's own; getopt keeps quiet.
    opterr = 0;
    optind = 1;
    for (;;) {
        const int code = getopt_long(argc, argv, ":hV", kOptions, nullptr);
        if (code == -1) break;
        switch (code) {
        case 'h':
            std::fputs(HelpText(m_program).c_str(), console.out);
            m_exit_status = 0;
            return false;
        case 'V':
            std::fputs(VersionText().c_str(), console.out);
            m_exit_status = 0;
            return false;
        case kOptConfig:
        case kOptStatusFile:
        case kOptMediaRoot:
            // An empty path would silently fall back to the environment's.
            if (*optarg == '\0')
                return Fail(console, "option '" + OptionText(argc, argv, optind) + "' needs a value");
            PathFor(code) = optarg;
            break;
        case kOptChannel:
            if (!TakeChannel(optarg, console)) return false;
            break;
        case ':':
            return Fail(console, "option '" + OptionText(argc, argv, optind, optopt) + "' needs a value");
        default:
            return Fail(console, "unknown option '" + OptionText(argc, argv, optind, optopt) + "'");
        }
    }
    if (optind < argc) return Fail(console, std::string("unexpected argument '") + argv[optind] + "'");
    return true;
}

std::string& CCommandLine::PathFor(int option_code) {
    if (option_code == kOptConfig) return m_config_path;
    if (option_code == kOptStatusFile) return m_status_path;
    return m_media_root;
}

bool CCommandLine::TakeChannel(const char* value, const Console& console) {
    char* end = nullptr;
    errno = 0;
    const long channel = std::strtol(value, &end, 10);
    if (errno != 0 || end == value || *end != '\0' || channel < 1 || channel > 4)
        return Fail(console, std::string("--channel takes 1, 2, 3 or 4, not '") + value + "'");
    m_channel = static_cast<int32_t>(channel);
    return true;
}

bool CCommandLine::Fail(const Console& console, const std::string& message) {
    std::fprintf(console.err, "%s: %s\nTry '%s --help' for more information.\n", m_program.c_str(),
                 message.c_str(), m_program.c_str());
    m_exit_status = kUsageError;
    return false;
}

std::string CCommandLine::ConfigPath() const { return m_config_path.empty() ? config_path() : m_config_path; }

std::string CCommandLine::StatusFilePath() const {
    return m_status_path.empty() ? status_file_path() : m_status_path;
}

std::string CCommandLine::MediaRoot() const {
    if (m_media_root.empty()) return media_root();
    // Folders are joined to names by plain concatenation.
    return m_media_root.back() == '/' ? m_media_root : m_media_root + '/';
}

}  // namespace app
