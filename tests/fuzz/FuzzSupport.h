#pragma once

// Small helpers shared by the fuzz targets: an in-memory file for parsers that read a
// path, a plain file for readers that refuse links, a splitter that turns one input into a sequence of packets, and quiet logging.

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace fuzz {

// A file in memory (memfd) that parsers open by name through /proc/self/fd: no disk
// traffic, and nothing is left behind when the process ends.
class MemoryFile {
public:
    MemoryFile()
    {
        m_fd = memfd_create("quillon-fuzz", MFD_CLOEXEC);
        if (m_fd < 0) {
            abort();
        }
        m_path = "/proc/self/fd/" + std::to_string(m_fd);
    }
    ~MemoryFile() { close(m_fd); }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    // Replaces the content.
    void Set(const uint8_t* data, size_t size)
    {
        if (ftruncate(m_fd, 0) != 0) {
            abort();
        }
        size_t done = 0;
        while (done < size) {
            const ssize_t n = pwrite(m_fd, data + done, size - done, static_cast<off_t>(done));
            if (n <= 0) {
                abort();
            }
            done += static_cast<size_t>(n);
        }
    }
    const std::string& Path() const { return m_path; }
    // Folder and name, for parsers that join the two.
    static std::string Folder() { return "/proc/self/fd/"; }
    std::string Name() const { return std::to_string(m_fd); }

private:
    int m_fd = -1;
    std::string m_path;
};

// A regular file in a private folder under /tmp, for readers that open with O_NOFOLLOW and
// so refuse the /proc/self/fd link of a MemoryFile. Removed with its folder at the end.
class FolderFile {
public:
    explicit FolderFile(const char* name) : m_name(name)
    {
        char folder[] = "/tmp/quillon-fuzz-XXXXXX";
        if (mkdtemp(folder) == nullptr) {
            abort();
        }
        m_folder = std::string(folder) + "/";
    }
    ~FolderFile()
    {
        unlink((m_folder + m_name).c_str());
        rmdir(m_folder.c_str());
    }
    FolderFile(const FolderFile&) = delete;
    FolderFile& operator=(const FolderFile&) = delete;

    // Replaces the content.
    void Set(const uint8_t* data, size_t size)
    {
        const int fd = open((m_folder + m_name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0) {
            abort();
        }
        size_t done = 0;
        while (done < size) {
            const ssize_t n = write(fd, data + done, size - done);
            if (n <= 0) {
                abort();
            }
            done += static_cast<size_t>(n);
        }
        close(fd);
    }
    const std::string& Folder() const { return m_folder; }
    const std::string& Name() const { return m_name; }

private:
    std::string m_folder;
    std::string m_name;
};

// Reads an input as packets: each a 16-bit big-endian length followed by that many bytes
// (cut short at the end of the input). Keeps the packet boundaries stable under mutation.
class PacketReader {
public:
    PacketReader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

    bool Next(const uint8_t*& packet, size_t& length)
    {
        if (m_offset + 2 > m_size) {
            return false;
        }
        size_t wanted = (static_cast<size_t>(m_data[m_offset]) << 8) | m_data[m_offset + 1];
        m_offset += 2;
        const size_t left = m_size - m_offset;
        length = wanted < left ? wanted : left;
        packet = m_data + m_offset;
        m_offset += length;
        return true;
    }
    // One byte, or 0 when the input is used up.
    uint8_t Byte()
    {
        return m_offset < m_size ? m_data[m_offset++] : 0;
    }
    const uint8_t* Rest(size_t& length)
    {
        length = m_size - m_offset;
        return m_data + m_offset;
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_offset = 0;
};

// The player's error, warning and notice lines formatted, nothing shown: the format calls
// run (their arguments are part of what is checked) without flooding the console.
void QuietPlayerLogs();
// net-snmp's messages formatted and dropped.
void QuietAgentLogs();

}  // namespace fuzz
