#include "player/source/CTrustStore.h"
#include "utils/utils.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

namespace {

constexpr const char* kDefaultSystemBundle = "/etc/ssl/certs/ca-certificates.crt";
constexpr std::string_view kPemCertificate = "-----BEGIN CERTIFICATE-----";

// The whole file, at most limit bytes. 0 or the negative errno (-EINVAL: too large).
int ReadFile(const std::string& path, long limit, std::string& out) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -errno;
    struct stat info {};
    int result = 0;
    if (::fstat(fd, &info) != 0) {
        result = -errno;
    } else if (!S_ISREG(info.st_mode)) {
        result = -EINVAL;
    } else if (info.st_size > limit) {
        result = -EINVAL;
    } else {
        out.resize(static_cast<size_t>(info.st_size));
        size_t done = 0;
        while (done < out.size()) {
            const ssize_t n = ::read(fd, out.data() + done, out.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                result = n < 0 ? -errno : 0;
                break;
            }
            done += static_cast<size_t>(n);
        }
        out.resize(done);
    }
    ::close(fd);
    return result;
}

}  // namespace

CTrustStore::~CTrustStore() {
    if (m_bundle_fd >= 0) ::close(m_bundle_fd);
}

std::string CTrustStore::SystemBundlePath() {
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    return info && info->cainfo ? info->cainfo : kDefaultSystemBundle;
}

int CTrustStore::Create(bool verify, const std::string& ca_file, std::shared_ptr<const CTrustStore>& out) {
    auto store = std::make_shared<CTrustStore>();
    store->m_verify = verify;
    int result = 0;
    if (verify && !ca_file.empty()) result = store->MakeBundle(ca_file);
    out = std::move(store);
    return result;
}

// Both libraries take one CA file, which replaces their system store: the added anchors
// must come with the system's ones. The bundle lives in memory, so nothing is left on
// the device's storage, and is named through the process's descriptor table.
int CTrustStore::MakeBundle(const std::string& ca_file) {
    std::string added;
    int result = ReadFile(ca_file, kMaxFileBytes, added);
    if (result != 0) return result;
    if (added.find(kPemCertificate) == std::string::npos) return -EINVAL;
    std::string system;
    // A device without the system's store still trusts what it was given.
    ReadFile(SystemBundlePath(), 16 * kMaxFileBytes, system);
    const int fd = ::memfd_create("quillon-trust", MFD_CLOEXEC);
    if (fd < 0) return -errno;
    if (utils::write_all(fd, system) != 0 || utils::write_all(fd, "\n") != 0 ||
        utils::write_all(fd, added) != 0) {
        result = -errno;
        ::close(fd);
        return result < 0 ? result : -EIO;
    }
    m_bundle_fd = fd;
    m_bundle_path = "/proc/self/fd/" + std::to_string(fd);
    return 0;
}
