#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "utils/utils.h"

namespace {

std::string trimmed(std::string text) { return utils::trim(text); }

std::string hex(const unsigned char* bytes, int length) {
    std::string out = "stale";
    utils::convert_array_to_hex_string(bytes, length, out);
    return out;
}

// A file under the test's temporary folder, removed afterwards.
class TempFile final {
public:
    explicit TempFile(const std::string& content)
        : m_path(::testing::TempDir() + "utils_md5_" + std::to_string(++s_counter)) {
        FILE* f = std::fopen(m_path.c_str(), "wb");
        std::fwrite(content.data(), 1, content.size(), f);
        std::fclose(f);
    }
    ~TempFile() { std::remove(m_path.c_str()); }
    const std::string& path() const { return m_path; }

private:
    static inline int s_counter = 0;
    std::string m_path;
};

std::string md5_hex(const std::string& content) {
    const TempFile file(content);
    unsigned char digest[16] = {};
    EXPECT_EQ(utils::md5_file(file.path(), digest), 0);
    return hex(digest, 16);
}

}  // namespace

TEST(Utils, TrimRemovesBlanksButNotLineFeeds) {
    EXPECT_EQ(trimmed(" \t value \t\r"), "value");
    EXPECT_EQ(trimmed("line\r\n"), "line\r\n");
    EXPECT_EQ(trimmed("\r lead"), "\r lead");
    EXPECT_EQ(trimmed(" \t \t"), "");
    EXPECT_EQ(trimmed(""), "");
    EXPECT_EQ(trimmed("a b"), "a b");

    const char text[] = "  song.mp3\t\r";
    int length = static_cast<int>(sizeof(text) - 1);
    const char* begin = utils::trim_span(text, length);
    EXPECT_EQ(std::string(begin, static_cast<size_t>(length)), "song.mp3");
    length = 0;
    EXPECT_EQ(utils::trim_span(text, length), text);
    EXPECT_EQ(length, 0);
    length = 3;
    utils::trim_span("   ", length);
    EXPECT_EQ(length, 0);
}

TEST(Utils, Md5OfFilesAndMissingFile) {
    EXPECT_EQ(md5_hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5_hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    // Longer than one read chunk.
    EXPECT_EQ(md5_hex(std::string(3000, 'a')), md5_hex(std::string(1500, 'a') + std::string(1500, 'a')));
    EXPECT_NE(md5_hex(std::string(3000, 'a')), md5_hex(std::string(2999, 'a')));

    unsigned char digest[16];
    for (auto& b : digest)
        b = 0x5A;
    EXPECT_EQ(utils::md5_file("/nonexistent/dir/file", digest), -ENOENT);
    for (auto b : digest)
        EXPECT_EQ(b, 0x5A);
}

TEST(Utils, HexStringOfBytes) {
    const unsigned char bytes[] = {0x0A, 0xFF, 0x00, 0x7c};
    EXPECT_EQ(hex(bytes, 2), "0aff");
    EXPECT_EQ(hex(bytes, 4), "0aff007c");
    EXPECT_EQ(hex(bytes, 0), "");
    EXPECT_EQ(hex(bytes, -1), "");
}
