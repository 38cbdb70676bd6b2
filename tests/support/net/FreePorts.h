#pragma once

// Loopback ports for the tests' servers and senders, found by binding and releasing them.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace testkit {

// A loopback port that nothing listens on (bound once, then released); SOCK_DGRAM for UDP.
inline int UnusedPort(int type = SOCK_STREAM) {
    const int fd = socket(AF_INET, type, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    close(fd);
    return ntohs(address.sin_port);
}

// An even UDP port whose pair (RTP data and RTCP) is free on the loopback, or -1.
inline int UnusedRtpPort() {
    for (int attempt = 0; attempt < 50; ++attempt) {
        const int port = UnusedPort(SOCK_DGRAM) & ~1;
        bool free_pair = port > 1024;
        for (int p = port; free_pair && p <= port + 1; ++p) {
            const int fd = socket(AF_INET, SOCK_DGRAM, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(static_cast<uint16_t>(p));
            free_pair = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
            close(fd);
        }
        if (free_pair) return port;
    }
    return -1;
}

}  // namespace testkit
