#include "player/source/CFileIOStandard.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

CFileIOStandard::~CFileIOStandard()
{
    Close();
}

int CFileIOStandard::Open(const std::string& path, int /*mode*/)
{
    Close();
    // Without O_NONBLOCK a FIFO (or a device) would hold the player thread in open() until
    // some writer appears; what is not a regular file is refused before anything is read.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return -errno;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        const int err = errno;
        close(fd);
        return -err;
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        return S_ISDIR(st.st_mode) ? -EISDIR : -EINVAL;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) {
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
    m_fd = fd;
    m_size = static_cast<int64_t>(st.st_size);
    return 0;
}

int CFileIOStandard::Close()
{
    if (m_fd >= 0) {
        close(m_fd);
        m_fd = -1;
    }
    m_size = 0;
    return 0;
}

int CFileIOStandard::Write(int fd, const void* data, int size)
{
    return static_cast<int>(write(fd, data, static_cast<size_t>(size)));
}

int CFileIOStandard::Read(void* buf, int size)
{
    return static_cast<int>(read(m_fd, buf, static_cast<size_t>(size)));
}

int64_t CFileIOStandard::Seek(int64_t offset, int whence)
{
    return static_cast<int64_t>(lseek64(m_fd, static_cast<off64_t>(offset), whence));
}
