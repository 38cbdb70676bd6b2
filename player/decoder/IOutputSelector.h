#pragma once

// Root of the audio stage interfaces: choose the decoder for the coming stream.
class IOutputSelector {
public:
    virtual ~IOutputSelector() = default;
    // 0 ok, negative failure.
    virtual int SetDecoderId(int id) = 0;
};
