#include "utils/utils.h"
#include "utils/Assert.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

namespace utils {

namespace {

bool is_leading_blank(char c) { return c == ' ' || c == '\t'; }
bool is_trailing_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

struct DigestContextFree {
    void operator()(EVP_MD_CTX* ctx) const noexcept { EVP_MD_CTX_free(ctx); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextFree>;

// A read-only file descriptor closed on every way out.
class ReadOnlyFile final {
public:
    explicit ReadOnlyFile(const std::string& path) : m_fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
    ~ReadOnlyFile() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;
    int fd() const { return m_fd; }

private:
    int m_fd;
};

}  // namespace

std::string& trim(std::string& text) {
    int length = static_cast<int>(text.size());
    const char* begin = trim_span(text.c_str(), length);
    text = std::string(begin, static_cast<size_t>(length));
    return text;
}

const char* trim_span(const char* text, int& length) {
    if (!text || length <= 0)
        return text;
    const char* begin = text;
    const char* end = text + length;
    while (begin < end && is_leading_blank(*begin))
        ++begin;
    while (end > begin && is_trailing_blank(*(end - 1)))
        --end;
    length = static_cast<int>(end - begin);
    return begin;
}

int md5_file(const std::string& path, unsigned char digest[16]) {
    const ReadOnlyFile file(path);
    if (file.fd() < 0)
        return -errno;
    DigestContext ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1)
        return -ENOMEM;
    unsigned char chunk[1024];
    for (;;) {
        const ssize_t got = ::read(file.fd(), chunk, sizeof(chunk));
        if (got == -1 && errno == EINTR)
            continue;
        if (got <= 0)
            break;  // a read error ends the input like the end of the file
        EVP_DigestUpdate(ctx.get(), chunk, static_cast<size_t>(got));
    }
    unsigned char result[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(ctx.get(), result, &size) != 1 || size != 16)
        return -EIO;
    for (unsigned int i = 0; i < 16; ++i)
        digest[i] = result[i];
    return 0;
}

void convert_array_to_hex_string(const unsigned char* array, int length, std::string& out) {
    UTILS_ASSERT(array, "array");
    static const char kDigits[] = "0123456789abcdef";
    out.clear();
    if (length <= 0)
        return;
    out.reserve(static_cast<size_t>(length) * 2);
    for (int i = 0; i < length; ++i) {
        out += kDigits[array[i] >> 4];
        out += kDigits[array[i] & 0x0F];
    }
}

int write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return EIO;  // never for a file, but no endless loop either
        data.remove_prefix(static_cast<size_t>(n));
    }
    return 0;
}

}  // namespace utils
