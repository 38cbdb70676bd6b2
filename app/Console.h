#pragma once

#include <cstdio>

namespace app {

// Where the driver's console lines go; tests hand in their own streams.
struct Console {
    FILE* out = stdout;
    FILE* err = stderr;
};

}  // namespace app
