#pragma once

// Notification interface the player implements for its source.
class IAudioSourceDelegate {
public:
    virtual ~IAudioSourceDelegate() = default;
    virtual void NotifyAudioStreamFinished() = 0;
};
