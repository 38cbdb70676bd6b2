#pragma once

// Receives each block of converted PCM from a CResampler.
class IResamplerOutput {
public:
    virtual ~IResamplerOutput() = default;
    // data: interleaved frames in the resampler's output format. Negative refuses the block.
    virtual int ResamplerOutputBuffer(const void* data, int frames) = 0;
};
