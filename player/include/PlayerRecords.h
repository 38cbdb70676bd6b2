#pragma once

#include <cstdint>
#include <string>

namespace OrvanePlayer {

// The state every notification carries; the player keeps one live copy.
struct PlaybackInfo {
    std::string m_playlist_name;
    std::string m_curr_music_file;
    std::string m_next_music_file;
    std::string m_curr_song_name;
    std::string m_next_song_name;
    std::string m_artist_name;
    std::string m_album_name;
    std::string m_playlist_digest;
    uint16_t m_curr_volume = 0;
    int32_t m_player_state = 0;
    int32_t m_song_id = -1;
    int32_t m_repeat_count = 0;   // -1: repeat without end
    int32_t m_request_id = 0;
    uint32_t m_context = 0;
    int64_t m_bit_rate = 0;
    uint32_t m_format_tag = 0;
};

// What SetItem takes.
struct PlaybackItem {
    std::string name;
    uint8_t shuffle = 0;
    uint8_t interrupt = 0;
    uint8_t reserved = 0;
    int32_t repeat_count = 0;  // more passes after the first; negative: without end
    int32_t volume = 0;
    int32_t request_id = 0;
    uint8_t auto_fade_streams = 0;
    uint8_t auto_fade_tracks = 0;
};

// The fader's request: all in ms or percent.
struct FadeRequest {
    uint32_t wait = 0;
    uint32_t fading_duration = 0;
    uint32_t target = 0;
    uint32_t init = 0;
    uint32_t operation = 0;  // a FadeEndKind
};

// The layout of this record is part of the library's interface (applications built
// against older headers allocate it): members are never added, removed or moved. Newer
// settings come through functions of their own (SetRtpSource).
struct StreamParams {
    uint16_t rtp_delay_ms = 500;
    uint16_t rtp_accuracy_ms = 50;
    uint16_t rtp_low_threshold_ms = 500;
    uint16_t tcp_delay_ms = 10000;
    uint16_t tcp_accuracy_ms = 8000;
    uint16_t tcp_low_threshold_ms = 1000;
    uint32_t fade_in_ms = 1000;
    int32_t track_end_margin_ms = 1000;
    std::string user_agent;
    std::string http_headers;
};

struct PlayerInit {
    int32_t player_id = 0;
    std::string playlist_dir;
    std::string media_dir;
    std::string log_prefix;
};

// Follow-up operation reported at the end of a fade.
enum FadeEndKind : unsigned {
    FADE_END_NONE = 0,
    FADE_END_PAUSE = 1,
    FADE_END_STOP = 2,
    FADE_END_REBUFFER = 3,
    FADE_END_STREAM_TIMEOUT = 4,
    FADE_END_TRACK_FADE_IN = 5,
    FADE_END_WAIT = 6,
};

}  // namespace OrvanePlayer
