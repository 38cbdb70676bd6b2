#include "utils/CIniReader.h"

#include <INIReader.h>
#include <ini.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace utils {

namespace {

// The library reads INI_MAX_LINE - 1 bytes at a time, the line end included.
constexpr size_t kLibraryLine = INI_MAX_LINE - 2;

// Stand-ins are made of bytes that a configuration or playlist does not hold.
constexpr char kMark = '\x01';
// A line the library reports as a syntax error ("[" without "]").
const char* const kSyntaxError = "[";

bool is_space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// The library's rule: the first of chars, or the start of an inline comment (";" after
// a blank), or the end.
size_t find_chars_or_comment(const std::string& text, size_t from, const char* chars) {
    bool was_space = false;
    for (size_t i = from; i < text.size(); ++i) {
        const char c = text[i];
        if ((chars && std::strchr(chars, c)) || (was_space && c == ';'))
            return i;
        was_space = is_space(c);
    }
    return text.size();
}

// The value as the library keeps it: without an inline comment and surrounding blanks.
std::string value_of(const std::string& line, size_t separator) {
    size_t end = find_chars_or_comment(line, separator + 1, nullptr);
    size_t begin = separator + 1;
    while (begin < end && is_space(line[begin]))
        ++begin;
    while (end > begin && is_space(line[end - 1]))
        --end;
    return line.substr(begin, end - begin);
}

bool read_file(const std::string& path, std::string& text) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return false;
    char buffer[4096];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof(buffer), file)) > 0)
        text.append(buffer, n);
    std::fclose(file);
    return true;
}

}  // namespace

CIniReader::CIniReader(const std::string& path) {
    std::string text;
    if (!read_file(path, text))
        return;
    const std::string prepared = Prepare(text);
    m_reader = std::make_unique<INIReader>(prepared.data(), prepared.size());
    m_parse_error = m_reader->ParseError();
}

CIniReader::~CIniReader() = default;

std::string CIniReader::Prepare(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 1);
    size_t pos = 0;
    int line_number = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        ++line_number;
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        // Read from a file, the library sees a line only up to a zero byte.
        const size_t zero = line.find('\0');
        if (zero != std::string::npos)
            line.erase(zero);
        out += line.size() > kLibraryLine ? StandIn(line, line_number) : line;
        out += '\n';
    }
    return out;
}

// What the library is given for a line too long for it.
std::string CIniReader::StandIn(const std::string& line, int line_number) {
    size_t start = 0;
    if (line_number == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0)
        start = 3;  // the library skips a byte-order mark
    if (start < line.size() && is_space(line[start]))
        return Refuse(line_number);  // a continuation or an indented name: not worth guessing
    const char first = start < line.size() ? line[start] : '\0';
    if (first == ';' || first == '#')
        return line.substr(0, kLibraryLine);  // a comment stays a comment when cut
    if (first == '[')
        return kSyntaxError;  // no section name is that long
    const size_t separator = find_chars_or_comment(line, start, "=:");
    if (separator == line.size() || line[separator] == ';')
        return kSyntaxError;  // the library finds no name=value pair here either
    if (line.size() > kMaxLineLength)
        return Refuse(line_number);
    std::string stand_in = line.substr(0, separator + 1);
    stand_in += kMark;
    stand_in += std::to_string(m_long_values.size());
    stand_in += kMark;
    if (stand_in.size() > kLibraryLine)
        return Refuse(line_number);  // the name itself is too long
    m_long_values.push_back(value_of(line, separator));
    return stand_in;
}

std::string CIniReader::Refuse(int line_number) {
    if (m_refused_line == 0)
        m_refused_line = line_number;
    return std::string();
}

// Puts the long values back in place of their stand-ins. A file could write a stand-in
// itself; it then only repeats one of its own values.
std::string CIniReader::Restore(const std::string& value) const {
    if (m_long_values.empty() || value.find(kMark) == std::string::npos)
        return value;
    std::string out;
    size_t pos = 0;
    for (;;) {
        const size_t end = std::min(value.find('\n', pos), value.size());
        const std::string part = value.substr(pos, end - pos);
        const bool marked = part.size() >= 3 && part.front() == kMark && part.back() == kMark &&
                            std::strspn(part.c_str() + 1, "0123456789") == part.size() - 2;
        const size_t index = marked ? std::strtoul(part.c_str() + 1, nullptr, 10) : 0;
        out += marked && index < m_long_values.size() ? m_long_values[index] : part;
        if (end == value.size())
            return out;
        out += '\n';
        pos = end + 1;
    }
}

std::string CIniReader::Get(const std::string& section, const std::string& name,
                            const std::string& default_value) const {
    return m_reader ? Restore(m_reader->Get(section, name, default_value)) : default_value;
}

long CIniReader::GetInteger(const std::string& section, const std::string& name,
                            long default_value) const {
    const std::string text = Get(section, name, "");
    // As the library: base prefixes 0x and 0, the default without digits.
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 0);
    return end > text.c_str() ? value : default_value;
}

}  // namespace utils
