#pragma once

#include <string>

namespace utils {

// Where a downloaded URL playlist is stored: QUILLON_URL_DOWNLOAD, else "/tmp/.url".
std::string url_download_path();

// The value of the environment variable name when it is set and not empty, else fallback.
std::string path_from_environment(const char* name, const char* fallback);

}  // namespace utils
