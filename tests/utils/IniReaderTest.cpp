// Lines longer than inih's line buffer: read whole, or refused, never used cut.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "utils/CIniReader.h"

namespace {

class IniFile final {
public:
    explicit IniFile(const std::string& text) {
        std::string pattern = ::testing::TempDir() + "iniXXXXXX";
        const int fd = mkstemp(&pattern[0]);
        if (fd >= 0)
            ::close(fd);
        m_path = pattern;
        std::ofstream(m_path, std::ios::binary) << text;
    }
    ~IniFile() { ::unlink(m_path.c_str()); }
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

const std::string kLongUrl = "http://radio.example/live?token=" + std::string(600, 'k') + "&b=" + std::string(40, 'z');

}  // namespace

TEST(CIniReader, LongValuesAreReadWholeWithTheLibrarysRules) {
    // The tail of a cut line holds "=": the library alone would also invent a key from it.
    const std::string tail_key = "http://h/?" + std::string(300, 'a') + "&sneaky=1";
    const IniFile file("\xEF\xBB\xBFurl = " + kLongUrl + "   ; the station's address\n"
                       "; " + std::string(400, 'c') + "\n"
                       "volume=7\n"
                       "[Playlist]\n"
                       "File1=" + tail_key + "\n"
                       "file1=http://short/2\n"
                       "File2 : " + kLongUrl + "\r\n");
    const utils::CIniReader reader(file.path());
    EXPECT_EQ(0, reader.ParseError());
    EXPECT_EQ(0, reader.RefusedLine());
    EXPECT_EQ(kLongUrl, reader.Get("", "URL", ""));
    EXPECT_EQ(7, reader.GetInteger("", "volume", 0));
    // Repeated names are joined as the library joins them, long or short.
    EXPECT_EQ(tail_key + "\nhttp://short/2", reader.Get("playlist", "file1", ""));
    EXPECT_EQ(kLongUrl, reader.Get("playlist", "file2", ""));
    EXPECT_EQ(-1, reader.GetInteger("playlist", "missing", -1));
}

TEST(CIniReader, LinesThatCannotBeReadWholeAreRefusedOrErrors) {
    {
        // Longer than the longest line read whole: refused, the lines around it stay.
        const IniFile file("a=1\nurl=http://h/" + std::string(utils::CIniReader::kMaxLineLength, 'x') + "\nb=2\n");
        const utils::CIniReader reader(file.path());
        EXPECT_EQ(2, reader.RefusedLine());
        EXPECT_EQ("", reader.Get("", "url", ""));
        EXPECT_EQ(1, reader.GetInteger("", "a", 0));
        EXPECT_EQ(2, reader.GetInteger("", "b", 0));
    }
    {
        // An indented long line (a continuation in the library's eyes) is refused too.
        const IniFile file("url=http://h/\n    " + kLongUrl + "\n");
        const utils::CIniReader reader(file.path());
        EXPECT_EQ(2, reader.RefusedLine());
        EXPECT_EQ("http://h/", reader.Get("", "url", ""));
    }
    {
        // A long line that is no name=value pair, or a long section name: syntax errors,
        // as the library reports a short one.
        const IniFile no_pair("a=1\n" + std::string(500, 'w') + "\n");
        EXPECT_EQ(2, utils::CIniReader(no_pair.path()).ParseError());
        const IniFile section("[" + std::string(500, 's') + "]\nx=1\n");
        EXPECT_EQ(1, utils::CIniReader(section.path()).ParseError());
    }
    EXPECT_EQ(-1, utils::CIniReader("/nonexistent/quillon.ini").ParseError());
}
