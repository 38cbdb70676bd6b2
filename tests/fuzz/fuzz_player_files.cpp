// The agent's reading of the player files: a status line and a health line as the agent
// reads them from the player's files, and the texts it serves from them.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "snmp-agent/PlayerFiles.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

// Every byte of text is part of a valid UTF-8 sequence.
bool ValidUtf8(const std::string& text)
{
    const std::string again = players::ToUtf8(text, text.size());
    return again == text;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::QuietAgentLogs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    players::StatusRecord record;
    if (players::ParseStatusLine(text, record)) {
        const std::string song = players::ToUtf8(players::PercentDecode(record.song));
        const std::string playlist = players::ToUtf8(record.playlist);
        const std::string reason = players::ToUtf8(record.reason);
        if (song.size() > players::kMaxTextBytes || playlist.size() > players::kMaxTextBytes ||
            reason.size() > players::kMaxTextBytes || !ValidUtf8(song) || !ValidUtf8(playlist) ||
            !ValidUtf8(reason)) {
            abort();
        }
    }
    players::Health health;
    if (!players::ParseHealthLine(text, health) && health.valid) abort();
    return 0;
}
