#pragma once

#include <cstdint>
#include <string>

// Tags of the item being played.
struct ContentInfo {
    int32_t id = -1;  // the source always reports -1
    std::string artist;
    std::string album;
    std::string title;
    int64_t reserved64 = 0;  // always 0
};

// What a source can tell about the item it plays.
class IAudioContent {
public:
    virtual ~IAudioContent() = default;
    // Fills out with the current tags. Always 0.
    virtual int GetContentInfo(ContentInfo& out) = 0;
    // -1 undefined, 0 MP3, 1 AAC with configuration, 2 AAC ADTS (DecoderId values).
    virtual int GetCodecType() = 0;
    // Text of the last ICY metadata packet received; empty when none.
    virtual const char* GetIcyMetadata() = 0;
};
