#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <string>

#include "player/include/PlayerFailure.h"

// Causes of failed transfers and opens, in words an operator can act on. Only the cause,
// the HTTP status and the reason are filled; the engine adds the code and the flag.
namespace failure {

OrvanePlayer::PlaybackFailure Make(int32_t cause, std::string reason, int32_t http_status = 0);

// "HTTP status 404 (Not Found)"; phrase as the server sent it (may be empty).
OrvanePlayer::PlaybackFailure HttpStatus(long status, const std::string& phrase);

// The cause of a failed libcurl transfer of url on handle (result not CURLE_OK). Cause
// FAILURE_NONE for results that say nothing about the server (an unsupported scheme, an
// abort by the program itself).
OrvanePlayer::PlaybackFailure FromCurl(CURL* handle, CURLcode result, const std::string& url,
                                       const std::string& status_phrase);

// The cause of a libavformat error while opening or reading url; timeout_s is the source's
// time limit, named in a time-out's reason.
OrvanePlayer::PlaybackFailure FromAvError(int error, const std::string& url, int32_t timeout_s);

// The host part of url, with its port when with_port is set and the URL names one ("" for
// a URL without a host).
std::string HostOf(const std::string& url, bool with_port);

}  // namespace failure
