#pragma once

#include <cstdint>
#include <string>

// Minimal file access used by the audio source for local media.
class IFileIO {
public:
    virtual ~IFileIO() = default;
    // 0, or the negative errno.
    virtual int Open(const std::string& path, int mode) = 0;
    virtual int Close() = 0;
    virtual int Write(int fd, const void* data, int size) = 0;
    virtual int Read(void* buf, int size) = 0;
    virtual int64_t Seek(int64_t offset, int whence) = 0;
};
