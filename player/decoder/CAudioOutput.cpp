#include "player/decoder/CAudioOutput.h"

#include <cstdint>

#include "utils/CLogger.h"

namespace {
// The log texts print a stage's address with %x; the low 32 bits are enough to tell stages apart.
unsigned int short_address(const void* p) {
    return static_cast<unsigned int>(reinterpret_cast<uintptr_t>(p));
}
}  // namespace

CAudioOutput::CAudioOutput() { set_player_prefix("PLAYBACK :"); }

int CAudioOutput::SetDecoderId(int id) {
    int result = 0;
    for (IAudioOutput* out : m_dependents) {
        result = out->SetDecoderId(id);
        if (result < 0)
            utils::logger.error(
                "%s ERROR :CAudioOutput::AssignAudioFormat(): Setting decoder id for audio "
                "interface %x failed. \n",
                get_player_prefix(), short_address(out));
    }
    return result;
}

void CAudioOutput::SetExtraData(uint8_t** data, int* size, void* context) {
    for (IAudioOutput* out : m_dependents)
        out->SetExtraData(data, size, context);
}

void CAudioOutput::SendAudio(const uint8_t* pcm, uint16_t frames, unsigned int ts) {
    for (IAudioOutput* out : m_dependents) {
        const int result = out->WriteBuffer(pcm, frames, ts);
        if (result >= 0)
            continue;
        utils::logger.error(
            "%s ERROR :CAudioOutput::SendAudio() returned negative return value ret=%d, "
            "restarting the feed.\n",
            get_player_prefix(), result);
        const int restart = out->RestartFeed();
        if (restart < 0)
            utils::logger.error(
                "%s ERROR :CAudioOutput::SendAudio() restarting the feed returned negative "
                "value ret=%d.\n",
                get_player_prefix(), restart);
    }
}

void CAudioOutput::SetDependentOutput(IAudioOutput* out) {
    m_dependents.clear();
    if (out)
        m_dependents.push_back(out);
}

void CAudioOutput::AddDependentOutput(IAudioOutput* out) {
    if (out)
        m_dependents.push_back(out);
}

int CAudioOutput::AssignAudioFormat(const AudioFormat* format) {
    // An empty format clears what a dependent knows (a new source, a new output); that a
    // dependent answers it with -1 is how the clearing is designed, not a failure.
    const bool clearing =
        !format || static_cast<int64_t>(format->bits) * format->rate * format->channels == 0;
    int result = 0;
    for (IAudioOutput* out : m_dependents) {
        result = out->SetAudioFormat(format);
        if (result < 0 && !clearing)
            utils::logger.error(
                "%s ERROR :CAudioOutput::AssignAudioFormat(): Setting audio format for audio "
                "interface %x failed. \n",
                get_player_prefix(), short_address(out));
    }
    return result;
}
