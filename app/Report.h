#pragma once

#include <syslog.h>

#include <cstdio>
#include <string>

namespace app {

// A line for the operator: the console and the system log (the engine opened it for the
// process) get the same text.
inline void Report(int priority, const std::string& text) {
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
    syslog(priority, "%s", text.c_str());
}

}  // namespace app
