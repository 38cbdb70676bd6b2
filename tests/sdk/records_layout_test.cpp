// The public records an application allocates itself keep the layout they shipped with:
// a program built against the 1.2 headers hands the library its StreamParams and
// receives StreamHealth into its own memory, so a member added, removed or moved breaks
// it under the same SONAME. The copies below are those records as 1.2 shipped them; a
// change of the real ones stops this file from compiling. Newer values come through
// functions of their own, checked at the end.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "player/include/PlayerFactory.h"
#include "player/include/PlayerHealth.h"
#include "player/include/PlayerRecords.h"

namespace shipped_1_2 {

struct StreamParams {
    uint16_t rtp_delay_ms;
    uint16_t rtp_accuracy_ms;
    uint16_t rtp_low_threshold_ms;
    uint16_t tcp_delay_ms;
    uint16_t tcp_accuracy_ms;
    uint16_t tcp_low_threshold_ms;
    uint32_t fade_in_ms;
    int32_t track_end_margin_ms;
    std::string user_agent;
    std::string http_headers;
};

struct StreamHealth {
    bool active;
    uint32_t buffer_ms;
    uint32_t target_ms;
    uint64_t underruns;
    uint64_t duplicated_frames;
    uint64_t dropped_frames;
    uint64_t lost_packets;
    uint64_t reconnects;
    uint64_t stream_age_ms;
};

}  // namespace shipped_1_2

// std::string members make the records other than standard layout; GCC and Clang still
// give the offsets of such records without virtual bases.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
#define SAME_MEMBER(record, member)                                                    \
    static_assert(offsetof(OrvanePlayer::record, member) == offsetof(shipped_1_2::record, member), \
                  #record "::" #member " moved")

static_assert(sizeof(OrvanePlayer::StreamParams) == sizeof(shipped_1_2::StreamParams),
              "StreamParams changed size: applications built against 1.2 allocate the old one");
static_assert(alignof(OrvanePlayer::StreamParams) == alignof(shipped_1_2::StreamParams), "StreamParams alignment");
SAME_MEMBER(StreamParams, rtp_delay_ms);
SAME_MEMBER(StreamParams, rtp_accuracy_ms);
SAME_MEMBER(StreamParams, rtp_low_threshold_ms);
SAME_MEMBER(StreamParams, tcp_delay_ms);
SAME_MEMBER(StreamParams, tcp_accuracy_ms);
SAME_MEMBER(StreamParams, tcp_low_threshold_ms);
SAME_MEMBER(StreamParams, fade_in_ms);
SAME_MEMBER(StreamParams, track_end_margin_ms);
SAME_MEMBER(StreamParams, user_agent);
SAME_MEMBER(StreamParams, http_headers);

static_assert(sizeof(OrvanePlayer::StreamHealth) == sizeof(shipped_1_2::StreamHealth),
              "StreamHealth changed size: GetStreamHealth would write past an application's record");
static_assert(alignof(OrvanePlayer::StreamHealth) == alignof(shipped_1_2::StreamHealth), "StreamHealth alignment");
SAME_MEMBER(StreamHealth, active);
SAME_MEMBER(StreamHealth, buffer_ms);
SAME_MEMBER(StreamHealth, target_ms);
SAME_MEMBER(StreamHealth, underruns);
SAME_MEMBER(StreamHealth, duplicated_frames);
SAME_MEMBER(StreamHealth, dropped_frames);
SAME_MEMBER(StreamHealth, lost_packets);
SAME_MEMBER(StreamHealth, reconnects);
SAME_MEMBER(StreamHealth, stream_age_ms);
#pragma GCC diagnostic pop

namespace {

int failures = 0;

void check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "FAIL: %s\n", what);
    ++failures;
}

}  // namespace

int main() {
    // GetStreamHealth fills the record the application owns and not a byte beyond it.
    struct Guarded {
        OrvanePlayer::StreamHealth health;
        unsigned char after[64];
    } guarded;
    for (unsigned char& byte : guarded.after) byte = 0xA5;
    OrvanePlayer::PlayerPtr player = OrvanePlayer::CreatePlayer();
    check(OrvanePlayer::GetStreamHealth(*player, guarded.health) == 0, "GetStreamHealth of a new player");
    check(!guarded.health.active, "a new player has no stream");
    bool untouched = true;
    for (unsigned char byte : guarded.after) untouched = untouched && byte == 0xA5;
    check(untouched, "GetStreamHealth wrote past the record");

    // The values added in 1.3, through their own functions, before initialization.
    check(OrvanePlayer::SetRtpSource(*player, "127.0.0.2") == 0, "SetRtpSource before InitializePlayer");
    OrvanePlayer::RtpSenderHealth senders;
    senders.foreign_packets = 99;
    check(OrvanePlayer::GetRtpSenderHealth(*player, senders) == 0 && senders.foreign_packets == 0,
          "GetRtpSenderHealth of a player without a stream");
    if (failures == 0) std::puts("records: the 1.2 layouts hold");
    return failures == 0 ? 0 : 1;
}
