#include "player/source/CURLPlaylistAudioSource.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <list>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "player/source/FailureReasons.h"
#include "utils/CIniReader.h"
#include "utils/CLogger.h"
#include "utils/Paths.h"
#include "utils/utils.h"

namespace {

const char* const kM3UTypes =
    "application/mpegurl, application/x-mpegurl, audio/x-mpegurl, audio/mpegurl, "
    "audio/mpeg-url, application/x-winamp-playlist, application/vnd.apple.mpegurl, "
    "application/vnd.apple.mpegurl.audio, ";

// Longest playlist line looked at, without its line end: stream addresses with access
// tokens run to several hundred characters.
constexpr size_t kMaxLine = 8192;
// How long a transfer waits for its sockets before it asks the interrupt check again.
// The player gives its thread half a second to stop; libcurl's own progress call comes
// only once a second while a server stalls.
constexpr int kInterruptPollMs = 50;

bool StartsWithNoCase(const char* data, size_t length, const char* prefix)
{
    const size_t n = strlen(prefix);
    return length >= n && strncasecmp(data, prefix, n) == 0;
}

// A playlist from a server may only name streams on the network: a local file named there
// ("file://...") would be opened by the player on the server's word.
bool IsNetworkURL(const std::string& url)
{
    for (const char* scheme : {"http://", "https://", "rtp://"}) {
        if (StartsWithNoCase(url.data(), url.size(), scheme)) {
            return true;
        }
    }
    return false;
}

// Header value without the line end (libcurl hands over "\r\n", some servers send "\n").
std::string HeaderValue(const char* data, size_t length, size_t prefix)
{
    std::string value(data + prefix, length - prefix);
    while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) {
        value.pop_back();
    }
    return value;
}

struct FileClose {
    void operator()(FILE* file) const noexcept { fclose(file); }
};
using FileHandle = std::unique_ptr<FILE, FileClose>;

// Reads one line of at most kMaxLine characters into line. A longer line is consumed
// whole and reported through too_long, so its tail is never taken for a line of its own.
bool ReadLine(FILE* file, std::string& line, bool& too_long)
{
    line.clear();
    too_long = false;
    int c = 0;
    while ((c = getc_unlocked(file)) != EOF && c != '\n') {
        if (line.size() < kMaxLine) {
            line += static_cast<char>(c);
        } else {
            too_long = true;
        }
    }
    return c != EOF || !line.empty() || too_long;
}

// Each resolver downloads to a file of its own, beside the configured name: players in one
// process, and processes that share /tmp, would otherwise delete and parse each other's
// downloads.
std::string OwnDownloadPath()
{
    static std::atomic<uint32_t> resolvers{0};
    const uint32_t number = ++resolvers;
    return utils::url_download_path() + "." + std::to_string(static_cast<int64_t>(getpid())) + "." +
           std::to_string(number);
}

}  // namespace

CURLPlaylistAudioSource::CURLPlaylistAudioSource()
    : m_download_path(OwnDownloadPath()), m_m3u_types(kM3UTypes)
{
    set_player_prefix("PLAYBACK :");
}

CURLPlaylistAudioSource::~CURLPlaylistAudioSource()
{
    CloseDownloadFile();
    unlink(m_download_path.c_str());
}

void CURLPlaylistAudioSource::SetRequestOptions(const std::string opts[2])
{
    m_user_agent = opts[0];
    m_headers = opts[1];
}

bool CURLPlaylistAudioSource::CreateHandle()
{
    if (m_curl) {
        return true;
    }
    m_curl.reset(curl_easy_init());
    m_multi.reset(curl_multi_init());
    if (!m_curl || !m_multi) {
        m_curl.reset();
        m_multi.reset();
        utils::logger.error("%s ERROR :curl_easy_init() returned NULL\n", get_player_prefix());
        return false;
    }
    CURL* curl = m_curl.get();
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 10L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 60L);
    curl_easy_setopt(curl, CURLOPT_VERBOSE, 0L);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
    // A redirect leads only to another web address, never to a local file or another protocol.
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &CURLPlaylistAudioSource::HeaderCallback);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &CURLPlaylistAudioSource::BodyCallback);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &CURLPlaylistAudioSource::ProgressCallback);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    return true;
}

// libcurl checks certificates and host names by default; what it checks against, and
// whether at all, follows the player's trust store.
void CURLPlaylistAudioSource::ApplyTrust()
{
    CURL* curl = m_curl.get();
    const bool verify = !m_trust || m_trust->Verify();
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, verify ? 1L : 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, verify ? 2L : 0L);
    const std::string bundle = m_trust && !m_trust->BundlePath().empty() ? m_trust->BundlePath()
                                                                         : CTrustStore::SystemBundlePath();
    curl_easy_setopt(curl, CURLOPT_CAINFO, bundle.c_str());
}

// The download path usually lies in a world-writable folder and we may run as root:
// remove whatever is there and create the file exclusively, never through a link.
int CURLPlaylistAudioSource::OpenDownloadFile()
{
    struct stat info {};
    if (lstat(m_download_path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        // Every playlist URL would fail on it: say so, as nothing else will.
        utils::logger.error("%s ERROR :CURLPlaylistAudioSource::Perform() download path %s is a directory: "
                            "playlist URLs cannot be resolved\n",
                            get_player_prefix(), m_download_path.c_str());
        return -EISDIR;
    }
    unlink(m_download_path.c_str());
    m_download_fd = open(m_download_path.c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (m_download_fd < 0) {
        const int err = errno;
        utils::logger.error("%s ERROR :CURLPlaylistAudioSource::Perform() can not create %s: %s\n",
                            get_player_prefix(), m_download_path.c_str(), strerror(err));
        return -err;
    }
    return 0;
}

void CURLPlaylistAudioSource::CloseDownloadFile()
{
    if (m_download_fd >= 0) {
        close(m_download_fd);
        m_download_fd = -1;
    }
}

bool CURLPlaylistAudioSource::Perform(const std::string& url, bool download)
{
    CURL* curl = m_curl.get();
    m_download = download;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    HeaderList headers;
    if (!m_headers.empty()) {
        headers.reset(curl_slist_append(nullptr, m_headers.c_str()));
    }
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
    if (!m_user_agent.empty()) {
        curl_easy_setopt(curl, CURLOPT_USERAGENT, m_user_agent.c_str());
    }
    if (download) {
        m_downloaded_bytes = 0;
        if (OpenDownloadFile() != 0) {
            curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
            return false;
        }
    }
    m_content_type.clear();
    m_location.clear();
    m_status_phrase.clear();
    m_interrupted = false;
    ApplyTrust();
    const CURLcode result = Transfer();
    CloseDownloadFile();
    // The handle keeps the pointer: detach it before the list is freed.
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
    if (m_interrupted) {
        return false;
    }
    // The body callback ends probes and long downloads on purpose.
    const bool reached = result == CURLE_OK || result == CURLE_WRITE_ERROR || result == CURLE_ABORTED_BY_CALLBACK;
    if (!reached) {
        const OrvanePlayer::PlaybackFailure why = failure::FromCurl(curl, result, url, m_status_phrase);
        if (why.cause != OrvanePlayer::FAILURE_NONE) {
            m_failure = why;
        }
    }
    return reached;
}

bool CURLPlaylistAudioSource::InterruptRequested()
{
    if (m_interrupt_check && m_interrupt_check(m_interrupt_context)) {
        m_interrupted = true;
    }
    return m_interrupted;
}

// curl_easy_perform, but with the interrupt check asked every kInterruptPollMs.
CURLcode CURLPlaylistAudioSource::Transfer()
{
    CURL* curl = m_curl.get();
    CURLM* multi = m_multi.get();
    if (InterruptRequested()) {
        return CURLE_ABORTED_BY_CALLBACK;
    }
    if (curl_multi_add_handle(multi, curl) != CURLM_OK) {
        return CURLE_FAILED_INIT;
    }
    CURLcode result = CURLE_GOT_NOTHING;
    for (;;) {
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK) {
            result = CURLE_FAILED_INIT;
            break;
        }
        int queued = 0;
        bool done = false;
        while (const CURLMsg* message = curl_multi_info_read(multi, &queued)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == curl) {
                result = message->data.result;
                done = true;
            }
        }
        if (done || running == 0) {
            break;
        }
        if (InterruptRequested()) {
            result = CURLE_ABORTED_BY_CALLBACK;
            break;
        }
        curl_multi_poll(multi, nullptr, 0, kInterruptPollMs, nullptr);
    }
    curl_multi_remove_handle(multi, curl);
    return result;
}

size_t CURLPlaylistAudioSource::HeaderCallback(char* data, size_t size, size_t count, void* self)
{
    return static_cast<CURLPlaylistAudioSource*>(self)->OnHeader(data, size * count);
}

size_t CURLPlaylistAudioSource::BodyCallback(char* data, size_t size, size_t count, void* self)
{
    return static_cast<CURLPlaylistAudioSource*>(self)->OnBody(data, size * count);
}

int CURLPlaylistAudioSource::ProgressCallback(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return static_cast<CURLPlaylistAudioSource*>(self)->InterruptRequested() ? 1 : 0;
}

size_t CURLPlaylistAudioSource::OnHeader(const char* data, size_t length)
{
    if (StartsWithNoCase(data, length, "HTTP/")) {
        // "HTTP/1.1 404 Not Found": the words after the status number.
        const std::string line = HeaderValue(data, length, 0);
        const size_t code = line.find(' ');
        const size_t phrase = code == std::string::npos ? code : line.find(' ', code + 1);
        m_status_phrase = phrase == std::string::npos ? std::string() : line.substr(phrase + 1);
        utils::trim(m_status_phrase);
    } else if (StartsWithNoCase(data, length, "Content-Type: ")) {
        std::string value = HeaderValue(data, length, 14);
        const size_t semicolon = value.find(';');
        if (semicolon != std::string::npos) {
            value.erase(semicolon);
        }
        m_content_type = utils::trim(value);
    } else if (StartsWithNoCase(data, length, "Location: ")) {
        std::string value = HeaderValue(data, length, 10);
        m_location = utils::trim(value);
    }
    return length;
}

size_t CURLPlaylistAudioSource::OnBody(const char* data, size_t length)
{
    if (!m_download || IsStreamBody()) {
        return 0;  // a probe, or a stream: the headers were all we wanted
    }
    m_downloaded_bytes += static_cast<int32_t>(length);
    if (m_download_fd >= 0) {
        size_t written = 0;
        while (written < length) {
            const ssize_t n = write(m_download_fd, data + written, length - written);
            if (n <= 0) {
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                return 0;
            }
            written += static_cast<size_t>(n);
        }
    }
    return m_downloaded_bytes <= kMaxDownload ? length : 0;
}

// The body of a response whose type names neither playlist kind is audio that the player
// fetches again over its own connection: downloading it here would only make a server
// that sends at the audio's pace hold the start back.
bool CURLPlaylistAudioSource::IsStreamBody() const
{
    const std::string& type = m_content_type;
    return !type.empty() && m_m3u_types.find(type + ",") == std::string::npos && type != "audio/x-scpls" &&
           type != "audio/scpls";
}

std::string CURLPlaylistAudioSource::TypeOf(const char* url) const
{
    if (!m_content_type.empty()) {
        return m_content_type;
    }
    const char* dot = strrchr(url, '.');
    const char* extension = dot ? dot : "";
    if (strcasecmp(extension, ".m3u") == 0) {
        return "application/x-mpegurl";
    }
    if (strcasecmp(extension, ".pls") == 0) {
        return "audio/x-scpls";
    }
    return "unknown";
}

// A relative Location is resolved by libcurl; libavformat needs the absolute address.
std::string CURLPlaylistAudioSource::RedirectTarget()
{
    if (m_location.find("://") != std::string::npos) {
        return m_location;
    }
    char* effective = nullptr;
    if (curl_easy_getinfo(m_curl.get(), CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK &&
        effective) {
        return effective;
    }
    return m_location;
}

int CURLPlaylistAudioSource::ExtractURL(const char* url, std::string& streamUrl, uint8_t digest[16])
{
    streamUrl.clear();
    if (!url) {
        return URL_NOT_A_PLAYLIST;
    }
    m_failure = OrvanePlayer::PlaybackFailure();
    if (!CreateHandle()) {
        utils::logger.error("%s ERROR :CURLPlaylistAudioSource::ExtractURL() unable to init CURL!\n",
                            get_player_prefix());
        return URL_FAILURE;
    }
    unlink(m_download_path.c_str());
    if (!Perform(url, true)) {
        utils::logger.error("%s ERROR :CURLPlaylistAudioSource::ExtractURL() unable to probe %s!\n",
                            get_player_prefix(), url);
        return URL_FAILURE;
    }
    const std::string type = TypeOf(url);
    utils::logger.info("%s CURLPlaylistAudioSource::ExtractURL(): mime type '%s', url -> '%s' ",
                       get_player_prefix(), type.c_str(), url);
    const std::string redirect = m_location.empty() ? std::string() : RedirectTarget();
    if (digest && utils::md5_file(m_download_path, digest) != 0) {
        utils::logger.error("%s ERROR :CURLPlaylistAudioSource::ExtractURL() unable to download %s!\n",
                            get_player_prefix(), m_download_path.c_str());
        return URL_FAILURE;
    }
    if (!type.empty() && m_m3u_types.find(type + ",") != std::string::npos) {
        if (!GetURLfromM3U(m_download_path.c_str(), streamUrl)) {
            utils::logger.error("%s ERROR :CURLPlaylistAudioSource::ExtractURL() unable to obtain URL "
                                "using M3U parser with the following link %s!\n",
                                get_player_prefix(), m_download_path.c_str());
            return URL_FAILURE;
        }
        return URL_RESOLVED;
    }
    if (type == "audio/x-scpls" || type == "audio/scpls") {
        if (!GetURLfromPLS(m_download_path.c_str(), streamUrl)) {
            utils::logger.error("%s ERROR :CURLPlaylistAudioSource::ExtractURL() unable to obtain URL "
                                "using PLS parser with the following link %s!\n",
                                get_player_prefix(), m_download_path.c_str());
            return URL_FAILURE;
        }
        return URL_RESOLVED;
    }
    if (type.find("audio/") != std::string::npos && !redirect.empty()) {
        // The audio answer itself may name the target (libcurl does not follow a response
        // whose body is audio): it is taken on the server's word only for a network stream.
        if (!IsAcceptedEntry(redirect, "ExtractURL")) {
            return URL_FAILURE;
        }
        utils::logger.notice("%s URL '%s' redirects to '%s'", get_player_prefix(), url,
                             redirect.c_str());
        streamUrl = redirect;
        return URL_RESOLVED;
    }
    utils::logger.info("%s CURLPlaylistAudioSource::ExtractURL(): did not find mime type (%s) in url -> '%s' ",
                       get_player_prefix(), type.c_str(), url);
    return URL_NOT_A_PLAYLIST;
}

bool CURLPlaylistAudioSource::IsAcceptedEntry(const std::string& url, const char* caller) const
{
    if (IsNetworkURL(url)) {
        return true;
    }
    utils::logger.warning("%s CURLPlaylistAudioSource::%s(): %s is not a network stream (http, https, rtp), "
                          "skipped\n",
                          get_player_prefix(), caller, url.c_str());
    return false;
}

bool CURLPlaylistAudioSource::GetURLfromM3U(const char* path, std::string& out)
{
    out.clear();
    if (!CreateHandle()) {
        return false;
    }
    FileHandle file(fopen(path, "r"));
    if (!file) {
        return false;
    }
    std::string line;
    bool too_long = false;
    while (ReadLine(file.get(), line, too_long)) {
        if (too_long) {
            utils::logger.error("%s ERROR :CURLPlaylistAudioSource::GetURLfromM3U(): line longer than %zu "
                                "characters skipped\n",
                                get_player_prefix(), kMaxLine);
            continue;
        }
        if (line.empty() || line[0] == '#') {
            continue;
        }
        utils::trim(line);
        if (line.find("://") == std::string::npos || !IsAcceptedEntry(line, "GetURLfromM3U")) {
            continue;
        }
        if (Perform(line, false)) {
            out = line;
            return true;
        }
        if (m_interrupted) {
            break;
        }
    }
    utils::logger.info("%s CURLPlaylistAudioSource::GetURLfromM3U(): Did not find a proper stream URL\n",
                       get_player_prefix());
    return false;
}

bool CURLPlaylistAudioSource::GetURLfromPLS(const char* path, std::string& out)
{
    out.clear();
    if (!CreateHandle()) {
        return false;
    }
    if (m_pls_parser.ParseFile(path) != 0) {
        utils::logger.error("%s ERROR :CURLPlaylistAudioSource::GetURLfromPLS() finished with errors\n",
                            get_player_prefix());
        return false;
    }
    if (m_pls_parser.GetRefusedLine() != 0) {
        utils::logger.error("%s ERROR :CURLPlaylistAudioSource::GetURLfromPLS(): line %d longer than %zu "
                            "characters skipped\n",
                            get_player_prefix(), m_pls_parser.GetRefusedLine(), utils::CIniReader::kMaxLineLength);
    }
    std::list<std::string> urls;
    m_pls_parser.GetURLs(urls);
    m_pls_parser.Release();
    for (const std::string& candidate : urls) {
        if (!IsAcceptedEntry(candidate, "GetURLfromPLS")) {
            continue;
        }
        if (Perform(candidate, false)) {
            out = candidate;
            return true;
        }
        if (m_interrupted) {
            break;
        }
    }
    return false;
}
