// The URL playlist resolver's handling of a downloaded body: the same bytes read as an M3U
// playlist and as a PLS playlist. Every stream URL found is probed with libcurl; all
// traffic goes to a proxy on a loopback port that refuses connections, so each probe fails
// at once and the parser walks the whole body.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "player/source/CURLPlaylistAudioSource.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

// A bound loopback port that never listens: connections to it are refused, and nobody
// else can take the port while this process holds it.
std::string RefusingProxy()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        abort();
    }
    return "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::QuietPlayerLogs();
    const std::string proxy = RefusingProxy();
    for (const char* name : {"http_proxy", "HTTPS_PROXY", "https_proxy", "ALL_PROXY", "all_proxy"}) {
        setenv(name, proxy.c_str(), 1);
    }
    unsetenv("no_proxy");
    unsetenv("NO_PROXY");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static fuzz::MemoryFile body;
    static CURLPlaylistAudioSource* resolver = [] {
        auto* created = new CURLPlaylistAudioSource;
        // Creates the libcurl handle; the address is refused by the proxy.
        std::string ignored;
        created->SetDownloadPath("/proc/self/fd/-1/none");
        created->ExtractURL("http://127.0.0.1:9/none", ignored, nullptr);
        return created;
    }();
    body.Set(data, size);

    std::string url;
    if (resolver->GetURLfromM3U(body.Path().c_str(), url)) {
        if (url.find("://") == std::string::npos) {
            abort();
        }
    }
    url.clear();
    if (resolver->GetURLfromPLS(body.Path().c_str(), url)) {
        if (url.find("://") == std::string::npos) {
            abort();
        }
    }
    return 0;
}
