#pragma once

#include "player/decoder/CAACDecoder.h"

// Decoder id 2: self-describing AAC in ADTS framing. Playback thread only.
class CAACADTSDecoder final : public CAACDecoder {
public:
    int Initialize() override;
    // Reopens the handle; ADTS headers carry their own configuration.
    int RestartFeed() override;
    int GetDecoderId() override { return DECODER_ID_AAC_ADTS; }
    // Only the demuxer context is kept.
    void SetExtraData(uint8_t** data, int* size, void* context) override;

protected:
    TRANSPORT_TYPE Transport() const override { return TT_MP4_ADTS; }
    const char* PrefixSuffix() const override { return " DECODER AAC+ ADTS:"; }
};
