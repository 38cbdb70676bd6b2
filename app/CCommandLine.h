#pragma once

#include <cstdint>
#include <string>

#include "app/Console.h"

namespace app {

// The program's command line. Every option is optional: without any, the program runs on
// the environment's paths (see Paths.h), and without those on the device's fixed paths.
// A value given here wins over the environment variable of the same path.
class CCommandLine final {
public:
    // sysexits' EX_USAGE: an unknown option, a missing or bad value, a stray argument.
    static constexpr int kUsageError = 64;

    // Reads argv (getopt_long). Returns true when the program should go on; false when it
    // has to end now with ExitStatus(): after --help or --version (0, text on console.out)
    // or a usage error (64, message on console.err). Main thread, once.
    bool Parse(int argc, char* const argv[], const Console& console = Console());
    int ExitStatus() const { return m_exit_status; }

    // The paths to use: the option's value, else the environment's or the fixed path.
    std::string ConfigPath() const;
    std::string StatusFilePath() const;
    std::string MediaRoot() const;  // ends with "/"

    // The player id given with --channel (1 to 4), or 0 when the option was not given.
    int32_t Channel() const { return m_channel; }

    // Text of --help and --version; tests compare against them.
    static std::string HelpText(const std::string& program);
    static std::string VersionText();

private:
    bool Fail(const Console& console, const std::string& message);
    std::string& PathFor(int option_code);
    bool TakeChannel(const char* value, const Console& console);

    std::string m_program = "quillon";
    std::string m_config_path;
    std::string m_status_path;
    std::string m_media_root;
    int32_t m_channel = 0;
    int m_exit_status = 0;
};

}  // namespace app
