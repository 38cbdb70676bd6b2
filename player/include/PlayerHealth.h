#pragma once

#include <cstdint>

#include "IPlayer.h"
#include "PlayerExport.h"

namespace OrvanePlayer {

// How the network stream of a player fares, counted from the moment the stream item
// started; a reconnection of the same item keeps counting. Frames are counted in the
// stream's own sample rate. The layout is part of the library's interface (applications
// built against older headers allocate it): members are never added, removed or moved.
struct StreamHealth {
    bool active = false;             // a network stream item is on (connecting, buffering,
                                     // playing, or waiting to reconnect)
    uint32_t buffer_ms = 0;          // audio buffered ahead of the sound card
    uint32_t target_ms = 0;          // the level the buffer is filled to and kept at
    uint64_t underruns = 0;          // times the sound card ran out of audio
    uint64_t duplicated_frames = 0;  // frames the level control added to raise the buffer
    uint64_t dropped_frames = 0;     // frames the level control left out to lower it
    uint64_t lost_packets = 0;       // packets missing from the RTP sender followed
    uint64_t reconnects = 0;         // connections to the stream after the first one
    uint64_t stream_age_ms = 0;      // time since the stream item started (monotonic)
};

// The current stream figures of a player made by CreatePlayer. Any thread, at any time
// (the counters are atomic; each figure is read on its own). 0, or -1 for a player that
// CreatePlayer did not make (out is then all zero and inactive).
ORVANE_PLAYER_API int GetStreamHealth(IPlayer& player, StreamHealth& out);

// Milliseconds of decoded audio the player's current network stream item has delivered to
// its output since the item started (through its reconnections; frames standing in for
// lost packets not counted): an application sees whether a stream brings sound, before the
// buffer has filled and after an under-run. Any thread. 0, or -1 for a player that
// CreatePlayer did not make; out is 0 while no stream item is on. Engine library 1.3.
ORVANE_PLAYER_API int GetStreamAudioMs(IPlayer& player, uint64_t& out);

// What the RTP stream of a player saw of senders other than the one it follows (since
// 1.3), counted like StreamHealth from the moment the stream item started.
struct RtpSenderHealth {
    uint64_t foreign_packets = 0;  // RTP packets of other senders (or of hosts other than
                                   // the one SetRtpSource names), ignored
};

// The RTP sender figures of a player made by CreatePlayer (all zero while no network
// stream item is on). Any thread, at any time. 0, or -1 for a player that CreatePlayer did
// not make (out is then all zero).
ORVANE_PLAYER_API int GetRtpSenderHealth(IPlayer& player, RtpSenderHealth& out);

}  // namespace OrvanePlayer
