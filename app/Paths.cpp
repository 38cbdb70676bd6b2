#include "app/Paths.h"

#include "utils/Paths.h"

namespace app {

std::string config_path() { return utils::path_from_environment("QUILLON_CONF", "/etc/quillon.conf"); }

std::string media_root() {
    std::string root = utils::path_from_environment("QUILLON_MEDIA_ROOT", "/media/mmcsd0p1/");
    // Folders are joined to names by plain concatenation.
    if (root.back() != '/')
        root += '/';
    return root;
}

std::string status_file_path() {
    return utils::path_from_environment("QUILLON_STATUS_FILE", "/var/run/quillon");
}

std::string url_download_path() { return utils::url_download_path(); }

}  // namespace app
