#pragma once

// Marks what the engine's shared library exports; everything else in it stays hidden.
#if defined(__GNUC__)
#define ORVANE_PLAYER_API __attribute__((visibility("default")))
#else
#define ORVANE_PLAYER_API
#endif
