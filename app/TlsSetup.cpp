#include "app/TlsSetup.h"

#include <syslog.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace app {

namespace {

void Warn(const std::string& text) {
    std::printf("WARNING: %s\n", text.c_str());
    std::fflush(stdout);
    syslog(LOG_WARNING, "%s", text.c_str());
}

}  // namespace

void ApplyTlsSettings(OrvanePlayer::IPlayer& player, const OrvanePlayer::TlsSettings& settings) {
    const int result = OrvanePlayer::SetTlsSettings(player, settings);
    if (!settings.verify) {
        Warn("tls_verify=no: HTTPS servers are not checked, anyone on the way can play on this device.");
        return;
    }
    if (settings.ca_file.empty()) return;
    if (result == 0) {
        std::printf("CA_FILE is %s\n", settings.ca_file.c_str());
        std::fflush(stdout);
        return;
    }
    const std::string why = result == -EINVAL ? "it holds no PEM certificate or is too large" : std::strerror(-result);
    Warn("ca_file " + settings.ca_file + " cannot be used (" + why +
         "): HTTPS servers are checked against the system's trust store alone.");
}

}  // namespace app
