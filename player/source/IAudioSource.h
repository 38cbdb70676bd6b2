#pragma once

#include <string>

#include "player/decoder/AudioFormat.h"
#include "player/source/IAudioContent.h"

// A source of compressed audio packets for the decoder chain. Player thread only.
class IAudioSource : public IAudioContent {
public:
    ~IAudioSource() override = default;
    // Opens url (local path or network URL); name is the item name used for the
    // file-extension test. 0 or a negative error.
    virtual int Initialize(const std::string& url, const std::string& name) = 0;
    // Closes whatever Initialize opened.
    virtual void DeInitialize() = 0;
    // Always 0.
    virtual int GetAudioInfo(AudioInfo* out) = 0;
    // Reads and delivers one packet: its size (>= 0), AVERROR_EOF, AVERROR_EXIT,
    // AVERROR(EAGAIN) or another negative libavformat error.
    virtual int ReadAudio(bool* metadataChanged) = 0;
};
