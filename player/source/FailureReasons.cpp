#include "player/source/FailureReasons.h"

#include <openssl/x509_vfy.h>

#include <cerrno>
#include <cstring>
#include <memory>

extern "C" {
#include <libavutil/error.h>
}

using OrvanePlayer::PlaybackFailure;

namespace failure {

namespace {

struct UrlFree {
    void operator()(CURLU* url) const noexcept { curl_url_cleanup(url); }
};
struct TextFree {
    void operator()(char* text) const noexcept { curl_free(text); }
};

std::string AvText(int error) {
    char text[128] = {};
    av_strerror(error, text, sizeof(text));
    return text;
}

// libcurl's verdict on a certificate comes as OpenSSL's verification result; a host name
// that does not match is checked by libcurl itself after a chain that passed.
PlaybackFailure Certificate(long verify_result, const std::string& host) {
    const char* what = nullptr;
    switch (verify_result) {
        case X509_V_ERR_CERT_HAS_EXPIRED:
            what = "expired";
            break;
        case X509_V_ERR_CERT_NOT_YET_VALID:
            what = "not valid yet";
            break;
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_CERT_UNTRUSTED:
        case X509_V_ERR_CERT_CHAIN_TOO_LONG:
            what = "untrusted chain";
            break;
        case X509_V_ERR_CERT_REVOKED:
            what = "revoked";
            break;
        case X509_V_OK:
        case X509_V_ERR_UNSPECIFIED:
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH:
            return Make(OrvanePlayer::FAILURE_CERTIFICATE,
                        "certificate refused: wrong host name (not issued for " + host + ")");
        default:
            return Make(OrvanePlayer::FAILURE_CERTIFICATE,
                        std::string("certificate refused: ") + X509_verify_cert_error_string(verify_result));
    }
    return Make(OrvanePlayer::FAILURE_CERTIFICATE, std::string("certificate refused: ") + what);
}

PlaybackFailure ConnectFailure(long os_errno, const std::string& host) {
    if (os_errno == ECONNREFUSED)
        return Make(OrvanePlayer::FAILURE_CONNECTION_REFUSED, "connection refused by " + host);
    if (os_errno == ETIMEDOUT)
        return Make(OrvanePlayer::FAILURE_TIMEOUT, "time-out: no connection to " + host);
    const std::string detail = os_errno != 0 ? std::strerror(static_cast<int>(os_errno)) : "no route";
    return Make(OrvanePlayer::FAILURE_OTHER, "cannot connect to " + host + ": " + detail);
}

}  // namespace

PlaybackFailure Make(int32_t cause, std::string reason, int32_t http_status) {
    PlaybackFailure failure;
    failure.cause = cause;
    failure.http_status = http_status;
    failure.reason = std::move(reason);
    return failure;
}

PlaybackFailure HttpStatus(long status, const std::string& phrase) {
    std::string reason = "HTTP status " + std::to_string(status);
    if (!phrase.empty()) reason += " (" + phrase + ")";
    return Make(OrvanePlayer::FAILURE_HTTP_STATUS, reason, static_cast<int32_t>(status));
}

std::string HostOf(const std::string& url, bool with_port) {
    std::unique_ptr<CURLU, UrlFree> parsed(curl_url());
    char* raw = nullptr;
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK ||
        curl_url_get(parsed.get(), CURLUPART_HOST, &raw, 0) != CURLUE_OK) {
        return std::string();
    }
    std::unique_ptr<char, TextFree> host(raw);
    std::string out = host.get();
    // A port given in the URL tells which of several servers on the host it was.
    if (with_port && curl_url_get(parsed.get(), CURLUPART_PORT, &raw, 0) == CURLUE_OK) {
        std::unique_ptr<char, TextFree> port(raw);
        out += std::string(":") + port.get();
    }
    return out;
}

PlaybackFailure FromCurl(CURL* handle, CURLcode result, const std::string& url, const std::string& status_phrase) {
    // After redirects the server that failed is the last one asked.
    char* effective = nullptr;
    const std::string last =
        curl_easy_getinfo(handle, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective ? effective : url;
    const std::string host = HostOf(last, true);
    long number = 0;
    switch (result) {
        case CURLE_HTTP_RETURNED_ERROR:
            curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &number);
            return HttpStatus(number, status_phrase);
        case CURLE_COULDNT_RESOLVE_HOST:
            return Make(OrvanePlayer::FAILURE_NAME_NOT_RESOLVED, "host name not resolved: " + host);
        case CURLE_COULDNT_CONNECT:
            curl_easy_getinfo(handle, CURLINFO_OS_ERRNO, &number);
            return ConnectFailure(number, host);
        case CURLE_OPERATION_TIMEDOUT:
            return Make(OrvanePlayer::FAILURE_TIMEOUT, "time-out: no answer from " + host);
        case CURLE_PEER_FAILED_VERIFICATION:
            curl_easy_getinfo(handle, CURLINFO_SSL_VERIFYRESULT, &number);
            return Certificate(number, HostOf(last, false));
        case CURLE_SSL_CACERT_BADFILE:
            return Make(OrvanePlayer::FAILURE_CERTIFICATE, "certificate refused: the trust store cannot be read");
        case CURLE_UNSUPPORTED_PROTOCOL:
        case CURLE_ABORTED_BY_CALLBACK:
        case CURLE_WRITE_ERROR:
        case CURLE_OK:
            return PlaybackFailure();
        default:
            return Make(OrvanePlayer::FAILURE_OTHER, host + ": " + curl_easy_strerror(result));
    }
}

PlaybackFailure FromAvError(int error, const std::string& url, int32_t timeout_s) {
    if (url.find("://") == std::string::npos) return Make(OrvanePlayer::FAILURE_OTHER, url + ": " + AvText(error));
    const std::string host = HostOf(url, true);
    switch (error) {
        case AVERROR_HTTP_BAD_REQUEST: return HttpStatus(400, "Bad Request");
        case AVERROR_HTTP_UNAUTHORIZED: return HttpStatus(401, "Unauthorized");
        case AVERROR_HTTP_FORBIDDEN: return HttpStatus(403, "Forbidden");
        case AVERROR_HTTP_NOT_FOUND: return HttpStatus(404, "Not Found");
        case AVERROR_HTTP_OTHER_4XX:
            return Make(OrvanePlayer::FAILURE_HTTP_STATUS, "HTTP status 4xx (client error)");
        case AVERROR_HTTP_SERVER_ERROR:
            return Make(OrvanePlayer::FAILURE_HTTP_STATUS, "HTTP status 5xx (server error)");
        case AVERROR(ECONNREFUSED):
            return Make(OrvanePlayer::FAILURE_CONNECTION_REFUSED, "connection refused by " + host);
        case AVERROR_INVALIDDATA:
            return Make(OrvanePlayer::FAILURE_UNDECODABLE,
                        "no audio the player can decode: " + host + " sends data of no known format");
        case AVERROR(ETIMEDOUT):
        case AVERROR_EXIT:
            return Make(OrvanePlayer::FAILURE_TIMEOUT,
                        "time-out: nothing received from " + host + " within " + std::to_string(timeout_s) + " s");
        default:
            break;
    }
    return Make(OrvanePlayer::FAILURE_OTHER, host + ": " + AvText(error));
}

}  // namespace failure
