#include "player/decoder/CAudioDecoderChain.h"

#include "player/decoder/CAACADTSDecoder.h"
#include "player/decoder/CAACDecoder.h"
#include "player/decoder/CLibavDecoder.h"
#include "player/decoder/CMP3Decoder.h"
#include "utils/CLogger.h"

CAudioDecoderChain::~CAudioDecoderChain() { DestroyDecoders(); }

int CAudioDecoderChain::CreateChain(const std::string& prefix) {
    DestroyDecoders();

    auto mp3 = std::make_unique<CMP3Decoder>();
    mp3->set_player_prefix(prefix.c_str());
    if (mp3->Initialize() == 0)
        m_current = mp3.get();
    m_decoders[DECODER_ID_MP3] = std::move(mp3);

    auto aac = std::make_unique<CAACDecoder>();
    aac->set_player_prefix(prefix.c_str());
    const int result = aac->Initialize();
    if (result != 0)
        utils::logger.error("CAudioDecoderChain::CreateChain(): Error: Failed to initialize m4a codec\n");
    m_decoders[DECODER_ID_AAC] = std::move(aac);

    auto adts = std::make_unique<CAACADTSDecoder>();
    adts->set_player_prefix(prefix.c_str());
    if (adts->Initialize() != 0)
        utils::logger.error("CAudioDecoderChain::CreateChain(): Error: Failed to initialize adts codec\n");
    m_decoders[DECODER_ID_AAC_ADTS] = std::move(adts);

    auto libav = std::make_unique<CLibavDecoder>();
    libav->set_player_prefix(prefix.c_str());
    if (libav->Initialize() != 0)
        utils::logger.error("CAudioDecoderChain::CreateChain(): Error: Failed to initialize libav codecs\n");
    m_decoders[DECODER_ID_LIBAV] = std::move(libav);
    return result;
}

void CAudioDecoderChain::SetDependentOutput(IAudioOutput* out) {
    for (auto& decoder : m_decoders)
        if (decoder)
            decoder->SetDependentOutput(out);
}

void CAudioDecoderChain::DestroyDecoders() {
    m_current = nullptr;
    if (m_decoders[DECODER_ID_MP3])
        static_cast<CMP3Decoder*>(m_decoders[DECODER_ID_MP3].get())->DeInitialize();
    for (int id : {DECODER_ID_AAC, DECODER_ID_AAC_ADTS})
        if (m_decoders[id])
            static_cast<CAACDecoder*>(m_decoders[id].get())->DeInitialize();
    if (m_decoders[DECODER_ID_LIBAV])
        static_cast<CLibavDecoder*>(m_decoders[DECODER_ID_LIBAV].get())->DeInitialize();
    for (auto& decoder : m_decoders)
        decoder.reset();
}

int CAudioDecoderChain::SetDecoderId(int id) {
    m_current = nullptr;
    if (id < 0 || id >= kDecoderSlots || !m_decoders[id])
        return -1;
    m_current = m_decoders[id].get();
    return 0;
}

IAudioOutput* CAudioDecoderChain::GetDecoder(int id) const {
    return id >= 0 && id < kDecoderSlots ? m_decoders[id].get() : nullptr;
}

int CAudioDecoderChain::RestartFeed() { return m_current ? m_current->RestartFeed() : -1; }

int CAudioDecoderChain::SetAudioFormat(const AudioFormat* format) {
    return m_current ? m_current->SetAudioFormat(format) : -1;
}

int CAudioDecoderChain::SetBufferSize(unsigned ms) {
    return m_current ? m_current->SetBufferSize(ms) : 0;
}

int CAudioDecoderChain::ReservedOperation(int a, int b) {
    return m_current ? m_current->ReservedOperation(a, b) : -1;
}

int CAudioDecoderChain::WriteBuffer(const uint8_t* data, uint16_t size, unsigned int ts) {
    return m_current ? m_current->WriteBuffer(data, size, ts) : -1;
}

void CAudioDecoderChain::SetExtraData(uint8_t** data, int* size, void* context) {
    if (m_current)
        m_current->SetExtraData(data, size, context);
}

void CAudioDecoderChain::set_player_prefix(const char* text) {
    CAudioOutput::set_player_prefix((std::string(text ? text : "") + " DECODER CHAIN:").c_str());
    for (int id : {DECODER_ID_AAC, DECODER_ID_AAC_ADTS, DECODER_ID_MP3, DECODER_ID_LIBAV})
        if (m_decoders[id])
            m_decoders[id]->set_player_prefix(text);
}
