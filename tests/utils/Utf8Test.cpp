#include <gtest/gtest.h>

#include <string>

#include "utils/Utf8.h"

TEST(Utf8, WellFormedTextPassesUnchanged) {
    for (const std::string text : {"", "plain ASCII 'title' - 1", "Motörhead – Ace of Spades", "東京 🎵 Ελλάδα",
                                   "\xF4\x8F\xBF\xBF", "\xEF\xBF\xBF"}) {
        EXPECT_TRUE(utils::is_utf8(text)) << text;
        EXPECT_EQ(utils::to_utf8(text), text);
    }
}

TEST(Utf8, Latin1AndWindows1252AreConverted) {
    EXPECT_EQ(utils::to_utf8("Caf\xE9"), "Café");
    EXPECT_EQ(utils::to_utf8("\xC9t\xE9 \xE0 Na\xEFve \xFC\xDF"), "Été à Naïve üß");
    EXPECT_EQ(utils::to_utf8("\x93quoted\x94 \x80 5 \x96 \x99 \x85"), "“quoted” € 5 – ™ …");
    EXPECT_EQ(utils::to_utf8("\x8A\x9A\x8E\x9E\x9F\x8C\x9C"), "ŠšŽžŸŒœ");
    // The five bytes Windows-1252 leaves undefined keep their Latin-1 meaning (C1 controls).
    EXPECT_EQ(utils::to_utf8("\x81\x8D\x8F\x90\x9D"), "\u0081\u008D\u008F\u0090\u009D");
    EXPECT_TRUE(utils::is_utf8(utils::to_utf8("\xFF\xFE\x80\xA0")));
}

TEST(Utf8, MalformedSequencesAreReadAsSingleBytes) {
    // Overlong "/", a UTF-16 surrogate, a code point above U+10FFFF, a stray continuation
    // byte, and UTF-8 mixed with a Latin-1 byte: none of them is UTF-8.
    for (const std::string text : {"a\xC0\xAF", "\xED\xA0\x80x", "\xF4\x90\x80\x80", "x\xBFy", "ö and \xF6"}) {
        EXPECT_FALSE(utils::is_utf8(text)) << text;
        const std::string out = utils::to_utf8(text);
        EXPECT_TRUE(utils::is_utf8(out)) << text;
    }
    EXPECT_EQ(utils::to_utf8("a\xC0\xAF"), "aÀ¯");
    EXPECT_EQ(utils::to_utf8("\xC3\xB6 and \xF6"), "Ã¶ and ö");
}

TEST(Utf8, TitleCutInsideACharacterIsCutCleanly) {
    // "–" is E2 80 93: cut after two of its bytes.
    EXPECT_EQ(utils::to_utf8("Artist \xE2\x80"), "Artist ");
    // A 4-byte character cut after three bytes.
    EXPECT_EQ(utils::to_utf8("Song \xF0\x9F\x8E"), "Song ");
    // A lone lead byte at the end is a cut only when the rest shows UTF-8...
    EXPECT_EQ(utils::to_utf8("Motörhead \xC3"), "Motörhead ");
    // ...otherwise it is a Latin-1 letter.
    EXPECT_EQ(utils::to_utf8("Beyonc\xE9"), "Beyoncé");

    const std::string text = "aé–🎵";  // 1 + 2 + 3 + 4 bytes
    const size_t expected[] = {0, 1, 1, 3, 3, 3, 6, 6, 6, 6, 10, 10};
    for (size_t max = 0; max < sizeof(expected) / sizeof(expected[0]); ++max) {
        const std::string cut = utils::utf8_prefix(text, max);
        EXPECT_EQ(cut.size(), expected[max]) << max;
        EXPECT_TRUE(utils::is_utf8(cut)) << max;
    }
}
