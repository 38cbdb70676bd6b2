// The memory floor: a program that loads the engine's shared library, and with it every
// library the player links, and ends at once, printing its peak resident size in kB
// (VmHWM). That is what any player process pays before it does anything
// (bench/compare.py prints it next to the players').
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <orvaneplayer/PlayerFactory.h>

int main(int argc, char**) {
    // Never true: the reference keeps the library (and its dependencies) linked and loaded.
    if (argc > 1000) return OrvanePlayer::CreatePlayer() ? 1 : 0;
    FILE* status = std::fopen("/proc/self/status", "r");
    if (!status) return 1;
    char line[256];
    while (std::fgets(line, sizeof line, status))
        if (std::strncmp(line, "VmHWM:", 6) == 0) std::printf("%ld\n", std::atol(line + 6));
    std::fclose(status);
    return 0;
}
