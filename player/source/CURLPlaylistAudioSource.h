#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <curl/curl.h>

#include "player/include/PlayerFailure.h"
#include "player/source/CPLSParser.h"
#include "player/source/CTrustStore.h"
#include "utils/APlayerInfoAdapter.h"

// Decides whether a network URL is an M3U/PLS playlist (by Content-Type, else by the
// URL's extension) or an audio redirect, and picks the stream URL to play instead.
// Runs on the player's thread inside CAudioSource::Initialize.
class CURLPlaylistAudioSource final : public APlayerInfoAdapter {
public:
    // ExtractURL results.
    enum : int { URL_RESOLVED = 0, URL_FAILURE = 1, URL_NOT_A_PLAYLIST = 2 };
    // Body bytes kept of a playlist; the transfer stops after the chunk crossing this.
    static constexpr int32_t kMaxDownload = 4024;

    CURLPlaylistAudioSource();
    ~CURLPlaylistAudioSource() override;
    CURLPlaylistAudioSource(const CURLPlaylistAudioSource&) = delete;
    CURLPlaylistAudioSource& operator=(const CURLPlaylistAudioSource&) = delete;

    // opts[0] user agent, opts[1] one extra request header line (raw, without line end).
    void SetRequestOptions(const std::string opts[2]);
    // Where the playlist body is stored; defaults to a file of this resolver's own, named
    // after QUILLON_URL_DOWNLOAD or "/tmp/.url" with ".<pid>.<n>" added, removed with it.
    void SetDownloadPath(const std::string& path) { m_download_path = path; }
    const std::string& GetDownloadPath() const { return m_download_path; }

    // 0: url was a playlist or an audio redirect, streamUrl is to be played instead;
    // 1: failure; 2: not a playlist. digest (16 bytes, may be null) receives the MD5
    // of the downloaded body.
    int ExtractURL(const char* url, std::string& streamUrl, uint8_t digest[16]);
    // Asked before and during every transfer (at least every 50 ms); true aborts it as a
    // failure.
    // Lets the owner's custom interrupt cut a resolution short instead of waiting out
    // libcurl's own time-outs. The function may be called on the player's thread only.
    void SetInterruptCheck(bool (*check)(void*), void* context)
    {
        m_interrupt_check = check;
        m_interrupt_context = context;
    }
    // First answering stream URL of a downloaded playlist file.
    bool GetURLfromM3U(const char* path, std::string& out);
    bool GetURLfromPLS(const char* path, std::string& out);

    // How HTTPS servers are checked from the next transfer on (null: checks on, against
    // the system's trust store).
    void SetTrust(std::shared_ptr<const CTrustStore> trust) { m_trust = std::move(trust); }
    // Why the last failed transfer of the current ExtractURL failed (cause FAILURE_NONE
    // when none failed, or for a failure that says nothing about the server).
    const OrvanePlayer::PlaybackFailure& GetFailure() const { return m_failure; }

    const std::string& GetContentType() const { return m_content_type; }
    const std::string& GetLocation() const { return m_location; }

private:
    struct CurlCleanup {
        void operator()(CURL* handle) const noexcept { curl_easy_cleanup(handle); }
    };
    struct MultiCleanup {
        void operator()(CURLM* handle) const noexcept { curl_multi_cleanup(handle); }
    };
    struct SlistFree {
        void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
    };
    using CurlHandle = std::unique_ptr<CURL, CurlCleanup>;
    using MultiHandle = std::unique_ptr<CURLM, MultiCleanup>;
    using HeaderList = std::unique_ptr<curl_slist, SlistFree>;

    bool CreateHandle();
    void ApplyTrust();
    bool Perform(const std::string& url, bool download);
    CURLcode Transfer();
    bool InterruptRequested();
    int OpenDownloadFile();
    void CloseDownloadFile();
    std::string TypeOf(const char* url) const;
    bool IsStreamBody() const;
    std::string RedirectTarget();
    // True for a network stream address; logs a warning and gives false for anything else.
    bool IsAcceptedEntry(const std::string& url, const char* caller) const;
    size_t OnHeader(const char* data, size_t length);
    size_t OnBody(const char* data, size_t length);
    static size_t HeaderCallback(char* data, size_t size, size_t count, void* self);
    static size_t BodyCallback(char* data, size_t size, size_t count, void* self);
    static int ProgressCallback(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t);

    // All members: player thread only.
    CPLSParser m_pls_parser;
    std::string m_download_path;
    std::string m_user_agent;
    std::string m_headers;
    CurlHandle m_curl;
    MultiHandle m_multi;  // drives m_curl so that an interrupt is seen while a transfer stalls
    bool m_download = false;
    int32_t m_downloaded_bytes = 0;
    int m_download_fd = -1;
    std::string m_content_type;
    const std::string m_m3u_types;
    std::string m_location;
    std::string m_status_phrase;  // of the last HTTP status line received
    std::shared_ptr<const CTrustStore> m_trust;
    OrvanePlayer::PlaybackFailure m_failure;
    bool (*m_interrupt_check)(void*) = nullptr;
    void* m_interrupt_context = nullptr;
    bool m_interrupted = false;  // the current transfer was aborted by the check
};
