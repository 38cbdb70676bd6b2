#include "utils/CLogger.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace utils {

std::atomic<int> log_level_mask{7};  // errors and warnings until the program sets its mask
CLogger logger;

namespace {
// The sink is swapped only by tests; a plain mutex keeps the swap safe against loggers.
// Both are never destroyed: threads may still log while static objects are torn down.
std::mutex& sink_mutex() {
    static std::mutex* m = new std::mutex;
    return *m;
}
CLogger::Sink& sink_slot() {
    static CLogger::Sink* s = new CLogger::Sink;
    return *s;
}
}  // namespace

CLogger::CLogger() : m_facility(LOG_LOCAL7), m_options(0) {
    const char* mirror = std::getenv("QUILLON_LOG_STDERR");
    m_mirror_stderr = mirror && std::strcmp(mirror, "1") == 0;
}

CLogger::~CLogger() { closelog(); }

int CLogger::init(const char* name) {
    const bool reopen = m_opened;
    if (reopen)
        closelog();
    m_opened = true;
    const char* text = name ? name : "";
    const char* slash = std::strrchr(text, '/');
    m_ident = slash ? slash + 1 : text;
    openlog(m_ident.c_str(), m_options, m_facility);
    if (!reopen)
        emit(LOG_INFO, "Initializing Logging service");
    return 0;
}

void CLogger::emit(int priority, const char* format, ...) {
    va_list args;
    va_start(args, format);
    write_unmasked(priority, format, args);
    va_end(args);
}

void CLogger::set_sink(Sink sink) {
    std::lock_guard<std::mutex> lock(sink_mutex());
    sink_slot() = std::move(sink);
}

void CLogger::write(int priority, int mask_bit, const char* format, va_list args) {
    if ((log_level_mask.load(std::memory_order_relaxed) & mask_bit) == 0)
        return;
    write_unmasked(priority, format, args);
}

void CLogger::write_unmasked(int priority, const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    vsyslog(priority, format, args);
    bool want_text = m_mirror_stderr;
    {
        std::lock_guard<std::mutex> lock(sink_mutex());
        want_text = want_text || static_cast<bool>(sink_slot());
    }
    if (want_text) {
        char buffer[2048];
        std::vsnprintf(buffer, sizeof(buffer), format, copy);
        if (m_mirror_stderr)
            std::fprintf(stderr, "%s: %s%s", m_ident.c_str(), buffer,
                         (buffer[0] && buffer[std::strlen(buffer) - 1] == '\n') ? "" : "\n");
        std::lock_guard<std::mutex> lock(sink_mutex());
        if (sink_slot())
            sink_slot()(priority, buffer);
    }
    va_end(copy);
}

#define QUILLON_LOG_LEVEL(name, priority, bit)        \
    void CLogger::name(const char* format, ...) {     \
        va_list args;                                 \
        va_start(args, format);                       \
        write(priority, bit, format, args);           \
        va_end(args);                                 \
    }

QUILLON_LOG_LEVEL(error, LOG_ERR, LOG_MASK_ERROR)
QUILLON_LOG_LEVEL(warning, LOG_WARNING, LOG_MASK_WARNING)
QUILLON_LOG_LEVEL(notice, LOG_NOTICE, LOG_MASK_NOTICE)
QUILLON_LOG_LEVEL(info, LOG_INFO, LOG_MASK_INFO)
QUILLON_LOG_LEVEL(debug, LOG_DEBUG, LOG_MASK_DEBUG)

#undef QUILLON_LOG_LEVEL

}  // namespace utils
