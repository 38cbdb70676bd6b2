// The PLS parser on real files and the timeout handler's whole-second rule.
#include <gtest/gtest.h>

#include <chrono>
#include <list>
#include <string>
#include <thread>

#include "SourceTestSupport.h"
#include "player/source/CPLSParser.h"
#include "player/source/CTimeout_handler.h"
#include "tests/support/clock/WallClockStep.h"
#include "utils/CIniReader.h"

using sourcetest::TempDir;
using utils::CIniReader;

namespace {

class ClockedTimeout final : public CTimeout_handler {
public:
    int64_t now = 1000;

protected:
    int64_t Now() const override { return now; }
};

std::list<std::string> UrlsOf(const std::string& path, int* result = nullptr, int32_t* count = nullptr)
{
    CPLSParser parser;
    const int parsed = parser.ParseFile(path.c_str());
    if (result) {
        *result = parsed;
    }
    if (count) {
        *count = parser.GetEntryCount();
    }
    std::list<std::string> urls;
    parser.GetURLs(urls);
    return urls;
}

}  // namespace

TEST(CTimeout_handler, WholeSecondsAndCustomInterrupt)
{
    ClockedTimeout handler;
    EXPECT_EQ(10, handler.GetTimeout());
    EXPECT_EQ("CTimeout_handler", handler.GetName());
    handler.Restart();
    handler.now += 10;
    EXPECT_FALSE(handler.IsExpired());
    handler.now += 1;
    EXPECT_TRUE(handler.IsExpired());

    handler.Restart();
    EXPECT_FALSE(handler.IsExpired());
    handler.Interrupt();
    EXPECT_EQ(-1, handler.GetTimeout());
    EXPECT_TRUE(handler.IsExpired());
    handler.Restart();
    EXPECT_TRUE(handler.IsExpired()) << "an interrupt lasts until a new timeout is set";
    handler.SetTimeout(10);
    EXPECT_FALSE(handler.IsExpired());
}

TEST(CTimeout_handler, WallClockStepsNeitherHideNorFakeAStall)
{
    // The real clock: a wall clock that keeps jumping back must not keep a stalled
    // operation alive, one that jumps forward must not cut a healthy one short.
    CTimeout_handler handler;
    handler.SetTimeout(0);
    {
        testkit::JumpingWallClock clock(-3600, 20);
        handler.Restart();
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!handler.IsExpired() && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_TRUE(handler.IsExpired()) << "a stall is hidden by a wall clock going back";
    }
    handler.SetTimeout(10);
    testkit::JumpingWallClock clock(3600, 20);
    handler.Restart();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(handler.IsExpired()) << "a wall clock going forward fakes a stall";
}

TEST(CPLSParser, EntriesArePositionalAndOnlyAddressesAreListed)
{
    TempDir dir;
    // Mixed case names, relative entry, entries out of order.
    auto urls = UrlsOf(dir.write("a.pls",
                                 "[Playlist]\nNumberOfEntries=2\nFile2=http://host/two\nFile1=relative.mp3\n"));
    EXPECT_EQ(std::list<std::string>({"http://host/two"}), urls);

    urls = UrlsOf(dir.write("b.pls", "[playlist]\nnumberofentries=1\nfile1=http://a/1\nfile2=http://a/2\n"));
    EXPECT_EQ(std::list<std::string>({"http://a/1"}), urls);

    int32_t count = 0;
    urls = UrlsOf(dir.write("c.pls", "[playlist]\nfile1=http://a/1\n"), nullptr, &count);
    EXPECT_TRUE(urls.empty());
    EXPECT_EQ(-1, count);

    urls = UrlsOf(dir.write("d.pls", "[playlist]\nnumberofentries=0x3\nfile1=http://a/1\nfile3=rtp://b:5\n"),
                  nullptr, &count);
    EXPECT_EQ(3, count);
    EXPECT_EQ(std::list<std::string>({"http://a/1", "rtp://b:5"}), urls);

    urls = UrlsOf(dir.write("e.pls", "[playlist]\nnumberofentries=many\nfile1=http://a/1\n"), nullptr, &count);
    EXPECT_EQ(-1, count);
    EXPECT_TRUE(urls.empty());
}

TEST(CPLSParser, BrokenFilesGiveErrorsAndEmptyLists)
{
    TempDir dir;
    int result = 0;
    EXPECT_TRUE(UrlsOf(dir.file("missing.pls"), &result).empty());
    EXPECT_EQ(-1, result);

    EXPECT_TRUE(UrlsOf(dir.write("syntax.pls", "[playlist]\nnumberofentries=1\n[broken\nfile1=http://a\n"),
                       &result).empty());
    EXPECT_EQ(3, result);

    std::string garbage;
    for (int i = 0; i < 3000; ++i) {
        garbage += static_cast<char>((i * 131 + 7) % 256);
    }
    // Binary lines are read up to their first zero byte, as whole lines: nothing to list.
    EXPECT_TRUE(UrlsOf(dir.write("garbage.pls", garbage), &result).empty());

    // A huge entry count with few entries stays bounded and still finds them.
    auto urls = UrlsOf(dir.write("huge.pls", "[playlist]\nnumberofentries=2147483647\nfile7=http://a/7\n"));
    EXPECT_EQ(std::list<std::string>({"http://a/7"}), urls);
}

TEST(CPLSParser, LongEntriesAreListedWholeOrLeftOut)
{
    TempDir dir;
    // Addresses with access tokens run to hundreds of characters; one beyond what is read
    // whole is left out rather than listed cut.
    const std::string long_url = "http://radio.example/live.mp3?token=" + std::string(700, 't');
    const std::string too_long = "http://radio.example/x?" + std::string(CIniReader::kMaxLineLength, 'x');
    CPLSParser parser;
    ASSERT_EQ(0, parser.ParseFile(dir.write("long.pls", "[playlist]\nnumberofentries=3\nFile1=" + long_url +
                                                            "\nFile2=" + too_long + "\nFile3=http://a/3\n")
                                      .c_str()));
    std::list<std::string> urls;
    parser.GetURLs(urls);
    EXPECT_EQ(std::list<std::string>({long_url, "http://a/3"}), urls);
    EXPECT_EQ(4, parser.GetRefusedLine());
}

TEST(CPLSParser, ThousandsOfEntriesInOrder)
{
    TempDir dir;
    std::string text = "[playlist]\nnumberofentries=5000\n";
    for (int i = 5000; i >= 1; --i) {
        text += "File" + std::to_string(i) + "=http://h/" + std::to_string(i) + "\n";
    }
    const auto urls = UrlsOf(dir.write("many.pls", text));
    ASSERT_EQ(5000u, urls.size());
    EXPECT_EQ("http://h/1", urls.front());
    EXPECT_EQ("http://h/5000", urls.back());

    CPLSParser parser;
    parser.ParseFile(dir.file("many.pls").c_str());
    parser.Release();
    std::list<std::string> none;
    parser.GetURLs(none);
    EXPECT_TRUE(none.empty()) << "released data lists nothing";
}
