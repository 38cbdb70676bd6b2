#pragma once

#include <cstdint>
#include <vector>

#include "player/decoder/IAudioOutput.h"
#include "utils/APlayerInfoAdapter.h"

// Common base of the decoders, the chain and the PCM outputs: keeps the dependent outputs
// (not owned) that a stage writes its PCM to. Playback thread only; no locks.
class CAudioOutput : public IAudioOutput, public APlayerInfoAdapter {
public:
    CAudioOutput();
    ~CAudioOutput() override = default;
    CAudioOutput(const CAudioOutput&) = delete;
    CAudioOutput& operator=(const CAudioOutput&) = delete;

    // Forwards the id to every dependent; returns the last result (0 without dependents).
    int SetDecoderId(int id) override;
    // Forwards the codec configuration to every dependent.
    void SetExtraData(uint8_t** data, int* size, void* context) override;

    // Hands PCM (size in frames) to every dependent; a failing dependent gets RestartFeed.
    virtual void SendAudio(const uint8_t* pcm, uint16_t frames, unsigned int ts);

    // The dependent list becomes exactly { out }; previous entries are dropped, not destroyed.
    void SetDependentOutput(IAudioOutput* out);
    // Appends out (not owned) behind the present dependents.
    void AddDependentOutput(IAudioOutput* out);
    // SetAudioFormat on every dependent in order; returns the last result (0 without any).
    int AssignAudioFormat(const AudioFormat* format);

protected:
    const std::vector<IAudioOutput*>& dependents() const { return m_dependents; }

private:
    std::vector<IAudioOutput*> m_dependents;  // not owned; playback thread only
};
