#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

class INIReader;

namespace utils {

// inih's INIReader for files whose lines may be longer than the library's line buffer.
// The library's line length is fixed when it is built (200 bytes in the distribution's
// package); it reads a longer line in pieces, takes the first piece for the whole line
// and each further piece for a line of its own. Here a long "name=value" line is read whole
// instead (the library still parses sections and names; only the value is put back), and
// a line that cannot be read whole is refused: left out, and reported by RefusedLine().
// A long comment line is harmless and is simply cut. Short lines are the library's alone.
class CIniReader final {
public:
    // Longest line read whole, without its line end.
    static constexpr size_t kMaxLineLength = 8192;

    explicit CIniReader(const std::string& path);
    ~CIniReader();
    CIniReader(const CIniReader&) = delete;
    CIniReader& operator=(const CIniReader&) = delete;

    // As the library's: 0, -1 when the file cannot be read, or the first line with a
    // syntax error.
    int ParseError() const { return m_parse_error; }
    // The first line refused as too long, 0 when none.
    int RefusedLine() const { return m_refused_line; }

    // As the library's getters (names and sections in any case, repeated names joined
    // with "\n").
    std::string Get(const std::string& section, const std::string& name,
                    const std::string& default_value) const;
    long GetInteger(const std::string& section, const std::string& name, long default_value) const;

private:
    std::string Prepare(const std::string& text);
    std::string StandIn(const std::string& line, int line_number);
    std::string Refuse(int line_number);
    std::string Restore(const std::string& value) const;

    std::unique_ptr<INIReader> m_reader;
    std::vector<std::string> m_long_values;  // the values of the long lines, by stand-in
    int m_parse_error = -1;
    int m_refused_line = 0;
};

}  // namespace utils
