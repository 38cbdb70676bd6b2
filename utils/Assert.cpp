#include "utils/Assert.h"

#include <errno.h>

#include <cstdio>
#include <cstdlib>

namespace utils {

void assertion_failed(const char* text, const char* file, unsigned line, const char* function) {
    std::fprintf(stderr, "%s: %s:%u: %s: Assertion `%s' failed.\n", program_invocation_short_name, file, line,
                 function, text);
    std::fflush(stderr);
    std::abort();
}

}  // namespace utils
