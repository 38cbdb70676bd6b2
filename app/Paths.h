#pragma once

#include <string>

namespace app {

// The program's fixed files, each overridable by an environment variable so that the
// program can run outside the device.
std::string config_path();       // QUILLON_CONF, else "/etc/quillon.conf"
std::string media_root();        // QUILLON_MEDIA_ROOT, else "/media/mmcsd0p1/"; ends with "/"
std::string status_file_path();  // QUILLON_STATUS_FILE, else "/var/run/quillon"
std::string url_download_path(); // QUILLON_URL_DOWNLOAD, else "/tmp/.url"

}  // namespace app
