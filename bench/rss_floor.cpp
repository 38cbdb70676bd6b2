// The memory floor: a program that loads the engine's shared library, and with it every
// library the player links, and ends at once. Its peak resident size is what any player
// process pays before it does anything (bench/compare.py prints it next to the players').
#include <orvaneplayer/PlayerFactory.h>

int main(int argc, char**) {
    // Never true: the reference keeps the library (and its dependencies) linked and loaded.
    if (argc > 1000) return OrvanePlayer::CreatePlayer() ? 1 : 0;
    return 0;
}
