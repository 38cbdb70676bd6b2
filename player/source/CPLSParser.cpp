#include "player/source/CPLSParser.h"

#include <algorithm>
#include <climits>
#include <cstdio>

#include "utils/CIniReader.h"

CPLSParser::CPLSParser() = default;

CPLSParser::~CPLSParser() = default;

int CPLSParser::ParseFile(const char* path)
{
    Release();
    m_entry_count = -1;
    m_reader = std::make_unique<utils::CIniReader>(path ? path : "");
    m_parse_result = m_reader->ParseError();
    if (m_parse_result == 0) {
        // GetInteger uses strtol base 0 and falls back to the default without digits.
        const long count = m_reader->GetInteger("playlist", "numberofentries", -1);
        m_entry_count = static_cast<int32_t>(std::clamp<long>(count, INT32_MIN, INT32_MAX));
    }
    return m_parse_result;
}

void CPLSParser::GetURLs(std::list<std::string>& out) const
{
    if (!m_reader || m_parse_result != 0 || m_entry_count <= 0) {
        return;
    }
    const int32_t last = std::min(m_entry_count, kMaxEntries);
    char key[32];
    for (int32_t i = 1; i <= last; ++i) {
        snprintf(key, sizeof(key), "FILE%d", static_cast<int>(i));
        std::string value = m_reader->Get("playlist", key, "");
        if (value.find("://") != std::string::npos) {
            out.push_back(std::move(value));
        }
    }
}

int CPLSParser::GetRefusedLine() const
{
    return m_reader ? m_reader->RefusedLine() : 0;
}

void CPLSParser::Release()
{
    m_reader.reset();
}
