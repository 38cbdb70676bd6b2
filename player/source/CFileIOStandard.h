#pragma once

#include <cstdint>
#include <string>

#include "player/source/IFileIO.h"

// IFileIO over POSIX calls. Read-only in practice: the source never writes.
class CFileIOStandard final : public IFileIO {
public:
    CFileIOStandard() = default;
    ~CFileIOStandard() override;
    CFileIOStandard(const CFileIOStandard&) = delete;
    CFileIOStandard& operator=(const CFileIOStandard&) = delete;

    // Opens read-only (mode is not used) without waiting for anything. Only regular files
    // are accepted: a directory, FIFO or device would open but never yield media, a FIFO
    // not even return from a blocking open. 0 or the negative errno (-EISDIR for a
    // directory, -EINVAL for any other file that is not a regular one).
    int Open(const std::string& path, int mode) override;
    int Close() override;
    int Write(int fd, const void* data, int size) override;
    int Read(void* buf, int size) override;
    int64_t Seek(int64_t offset, int whence) override;

    int GetDescriptor() const { return m_fd; }
    int64_t GetSize() const { return m_size; }

private:
    int m_fd = -1;
    int64_t m_size = 0;
};
