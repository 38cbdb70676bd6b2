#include "utils/Utf8.h"

#include <cstdint>

namespace utils {

namespace {

// Length of the well-formed UTF-8 character at text[pos], 0 if it is malformed, or the
// negative count of bytes present when the text ends inside an otherwise good character.
int char_length(const std::string& text, size_t pos) {
    const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
    const uint8_t lead = byte(pos);
    if (lead < 0x80) return 1;
    int length = 0;
    uint8_t low = 0x80;  // allowed range of the second byte: rules out overlong forms,
    uint8_t high = 0xBF; // surrogates and code points above U+10FFFF
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    for (int i = 1; i < length; ++i) {
        if (pos + i >= text.size()) return -i;
        const uint8_t b = byte(pos + i);
        if (i == 1 ? (b < low || b > high) : (b < 0x80 || b > 0xBF)) return 0;
    }
    return length;
}

struct Scan {
    size_t valid = 0;       // bytes of well-formed characters from the start
    int tail = 0;           // bytes of a character cut short at the very end
    bool multibyte = false; // the valid part holds a character beyond ASCII
};

Scan scan(const std::string& text) {
    Scan s;
    while (s.valid < text.size()) {
        const int n = char_length(text, s.valid);
        if (n <= 0) {
            s.tail = -n;
            break;
        }
        s.multibyte |= n > 1;
        s.valid += static_cast<size_t>(n);
    }
    return s;
}

// Windows-1252's 0x80..0x9F; 0 where the code page defines nothing (Latin-1 applies).
constexpr uint16_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

void append_code_point(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string from_cp1252(const std::string& text) {
    std::string out;
    out.reserve(text.size() * 2);
    for (const char c : text) {
        const auto b = static_cast<uint8_t>(c);
        const uint16_t mapped = (b >= 0x80 && b < 0xA0) ? kCp1252High[b - 0x80] : 0;
        append_code_point(out, mapped ? mapped : b);
    }
    return out;
}

}  // namespace

bool is_utf8(const std::string& text) {
    const Scan s = scan(text);
    return s.valid == text.size();
}

std::string to_utf8(const std::string& text) {
    const Scan s = scan(text);
    if (s.valid == text.size()) return text;
    // A lone lead byte at the end is as likely a Latin-1 letter ("Café") as a cut
    // character: only a longer tail, or UTF-8 elsewhere in the text, makes it a cut.
    const bool cut = s.valid + static_cast<size_t>(s.tail) == text.size() && (s.tail >= 2 || s.multibyte);
    if (cut) return text.substr(0, s.valid);
    return from_cp1252(text);
}

std::string utf8_prefix(const std::string& text, size_t max_bytes) {
    if (text.size() <= max_bytes) return text;
    size_t end = max_bytes;
    // Step back over continuation bytes to the start of the character that was cut.
    while (end > 0 && (static_cast<uint8_t>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end);
}

}  // namespace utils
