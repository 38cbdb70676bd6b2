#pragma once

#include <atomic>
#include <cstdarg>
#include <functional>
#include <string>

namespace utils {

// Level bits of log_level_mask.
enum : int {
    LOG_MASK_ERROR = 0x02,
    LOG_MASK_WARNING = 0x04,
    LOG_MASK_NOTICE = 0x08,
    LOG_MASK_INFO = 0x10,
    LOG_MASK_DEBUG = 0x20,
};

// Which levels are written; read by every log call, written by the program at start.
extern std::atomic<int> log_level_mask;

// The process-wide logger: printf-style messages to syslog (facility LOG_LOCAL7).
// All threads may log; the level functions take no lock of their own.
class CLogger final {
public:
    // Receives every line that passes the mask: syslog priority and the formatted text.
    using Sink = std::function<void(int priority, const std::string& line)>;

    CLogger();
    ~CLogger();
    CLogger(const CLogger&) = delete;
    CLogger& operator=(const CLogger&) = delete;

    // Opens (or silently reopens) the system log under the last path component of name.
    // Returns 0. Call from the main thread before other threads log.
    int init(const char* name);

    void error(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void warning(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void notice(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void info(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void debug(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // Tests install a sink to see exactly what is logged; an empty function removes it.
    // The sink is called in addition to syslog, on the logging thread.
    void set_sink(Sink sink);

    const std::string& ident() const { return m_ident; }

private:
    void write(int priority, int mask_bit, const char* format, va_list args)
        __attribute__((format(printf, 4, 0)));
    void write_unmasked(int priority, const char* format, va_list args)
        __attribute__((format(printf, 3, 0)));
    void emit(int priority, const char* format, ...) __attribute__((format(printf, 3, 4)));

    int m_facility;
    int m_options;
    bool m_opened = false;
    bool m_mirror_stderr = false;  // QUILLON_LOG_STDERR=1 mirrors lines for people running by hand
    std::string m_ident;           // openlog keeps a pointer to it: lives as long as the logger
};

extern CLogger logger;

}  // namespace utils
