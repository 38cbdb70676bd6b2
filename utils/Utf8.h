#pragma once

#include <cstddef>
#include <string>

namespace utils {

// Titles from streams and tags come in whatever encoding the encoder used; the rest of
// the device (notifications, status file, SNMP) carries UTF-8 only.

// True when text is well-formed UTF-8 (no overlong forms, no surrogates, nothing above
// U+10FFFF).
bool is_utf8(const std::string& text);

// text as UTF-8: well-formed UTF-8 unchanged; UTF-8 whose last character was cut short
// loses that incomplete character; anything else is read as Windows-1252 (its five
// undefined bytes as Latin-1) and converted.
std::string to_utf8(const std::string& text);

// The longest prefix of UTF-8 text of at most max_bytes bytes that does not end inside a
// character.
std::string utf8_prefix(const std::string& text, size_t max_bytes);

}  // namespace utils
