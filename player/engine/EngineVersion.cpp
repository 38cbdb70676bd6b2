// The engine's version text and the versions of the libraries it runs with.
#include <alsa/asoundlib.h>
#include <curl/curl.h>
#include <fdk-aac/aacdecoder_lib.h>
#include <mpg123.h>
#include <openssl/crypto.h>
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libswresample/swresample.h>
}

#include <cstdio>
#include <string>

#include "player/include/PlayerFactory.h"

namespace {

constexpr const char* kEngineVersion = "OrvaneEng 1.0.0";

// libav* pack major.minor.micro into one number.
std::string LavVersion(const char* name, unsigned version) {
    char text[64];
    std::snprintf(text, sizeof(text), "%s %u.%u.%u", name, version >> 16, (version >> 8) & 0xff,
                  version & 0xff);
    return text;
}

std::string FdkAacVersion() {
    LIB_INFO info[FDK_MODULE_LAST];
    FDKinitLibInfo(info);
    aacDecoder_GetLibInfo(info);
    for (const LIB_INFO& entry : info) {
        if (entry.module_id == FDK_AACDEC) return std::string("fdk-aac ") + entry.versionStr;
    }
    return "fdk-aac";
}

}  // namespace

namespace OrvanePlayer {

const char* EngineVersion() { return kEngineVersion; }

std::string EngineLibraryVersions() {
    // mpg123 has no run-time version call before API 48; its API level tells the series.
    std::string text = std::string("alsa-lib ") + snd_asoundlib_version();
    text += ", FFmpeg " + std::string(av_version_info());
    text += " (" + LavVersion("libavformat", avformat_version());
    text += ", " + LavVersion("libavcodec", avcodec_version());
    text += ", " + LavVersion("libswresample", swresample_version()) + ")";
    text += ", " + FdkAacVersion();
    text += ", libmpg123 API " + std::to_string(MPG123_API_VERSION);
    text += ", libcurl " + std::string(curl_version_info(CURLVERSION_NOW)->version);
    text += ", " + std::string(OpenSSL_version(OPENSSL_VERSION));
    return text;
}

}  // namespace OrvanePlayer
