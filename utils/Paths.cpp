#include "utils/Paths.h"

#include <cstdlib>

namespace utils {

std::string path_from_environment(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return (value && *value) ? std::string(value) : std::string(fallback);
}

std::string url_download_path() { return path_from_environment("QUILLON_URL_DOWNLOAD", "/tmp/.url"); }

}  // namespace utils
