#pragma once

#include <cstdint>
#include <string>

#include "IPlayer.h"
#include "PlayerExport.h"

namespace OrvanePlayer {

// What an operator can act on when an item gives no audio.
enum FailureCause : int32_t {
    FAILURE_NONE = 0,
    FAILURE_HTTP_STATUS = 1,         // the server answered with an HTTP error (http_status)
    FAILURE_CONNECTION_REFUSED = 2,  // nothing listens at the address
    FAILURE_NAME_NOT_RESOLVED = 3,   // the host name is unknown to the name service
    FAILURE_CERTIFICATE = 4,         // the server's certificate was refused
    FAILURE_TIMEOUT = 5,             // the server did not answer in time
    FAILURE_UNDECODABLE = 6,         // no audio the player can decode
    FAILURE_OTHER = 7,               // anything else (the reason says what)
};

// Why the current item failed to open or to read. A failure stands from the error
// notification that reported it until audio plays again.
struct PlaybackFailure {
    bool active = false;      // a failure stands
    int32_t code = 0;         // the error code it was notified with (EPLAYER_...)
    int32_t cause = FAILURE_NONE;
    int32_t http_status = 0;  // with FAILURE_HTTP_STATUS: 404, 503 ...; else 0
    std::string reason;       // the cause in words: "HTTP status 404 (Not Found)"
};

// The failure that stands for a player made by CreatePlayer. Any thread, also from inside
// the player's notifications (the error notification comes after the failure is set; the
// playing state's notification after it is cleared). 0, or -1 for a player that
// CreatePlayer did not make (out is then cleared).
ORVANE_PLAYER_API int GetPlaybackFailure(IPlayer& player, PlaybackFailure& out);

// How HTTPS servers are checked: their certificate chain against the system's trust store
// (and the certificates of ca_file, a PEM file, when it is not empty), and their host name.
struct TlsSettings {
    bool verify = true;   // false: no check at all (anyone on the way may feed the player)
    std::string ca_file;  // more trust anchors, added to the system's ones
};

// Sets how a player made by CreatePlayer checks HTTPS servers, from its next connection
// on; before InitializePlayer or while it plays. Application thread. 0; -1 for a player
// that CreatePlayer did not make; or the negative errno of a ca_file that cannot be used
// (-EINVAL: it holds no certificate), in which case the servers are checked against the
// system's trust store alone.
ORVANE_PLAYER_API int SetTlsSettings(IPlayer& player, const TlsSettings& settings);

}  // namespace OrvanePlayer
