#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <string>

namespace utils {
class CIniReader;
}

// Lists the stream URLs of a PLS playlist ("[playlist]", "numberofentries", "FileN"),
// in entry order. Player thread only.
class CPLSParser {
public:
    // Entries looked up at most; a downloaded playlist is a few KiB, so a larger count
    // can only come from a broken or hostile file.
    static constexpr int32_t kMaxEntries = 100000;

    CPLSParser();
    virtual ~CPLSParser();
    CPLSParser(const CPLSParser&) = delete;
    CPLSParser& operator=(const CPLSParser&) = delete;

    // Parses path. Returns the reader's parse error: 0 success, -1 file not openable,
    // a positive number is the first line with a syntax error.
    int ParseFile(const char* path);
    // Appends entries 1..count that contain "://" to out. An entry too long to be read
    // whole is left out (see GetRefusedLine), never listed cut.
    void GetURLs(std::list<std::string>& out) const;
    // Drops the parsed data.
    void Release();

    int32_t GetEntryCount() const { return m_entry_count; }
    int32_t GetParseResult() const { return m_parse_result; }
    // The first line left out as too long, 0 when none.
    int GetRefusedLine() const;

private:
    int32_t m_entry_count = -1;
    int32_t m_parse_result = 0;
    std::unique_ptr<utils::CIniReader> m_reader;
};
