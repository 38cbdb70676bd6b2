#pragma once

#include "PlayerExport.h"

// The fader's calls back into the player; both arrive on the timer thread.
class ORVANE_PLAYER_API IFadingCallback {
public:
    virtual ~IFadingCallback() = default;
    // kind points to a FadeEndKind (0: no follow-up).
    virtual void EndFadingCallback(const unsigned* kind) = 0;
    virtual void NotifyFadeAborted(unsigned long elapsed_ms) = 0;
};
