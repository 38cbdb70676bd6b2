#include "player/decoder/CAACDecoder.h"

#include <new>
#include <string>

#include "utils/CLogger.h"

CAACDecoder::CAACDecoder() { m_format.tag = -1; }

bool CAACDecoder::OpenHandle() {
    m_handle.reset();  // close the old handle before a new one is opened
    m_handle.reset(aacDecoder_Open(Transport(), 1));
    m_input_capacity = 0;
    if (m_handle)
        aacDecoder_GetFreeBytes(m_handle.get(), &m_input_capacity);
    return m_handle != nullptr;
}

// Whether the library's input buffer is empty: then no further frame can be in it.
bool CAACDecoder::InputEmpty() const {
    UINT free_bytes = 0;
    return m_input_capacity > 0 && aacDecoder_GetFreeBytes(m_handle.get(), &free_bytes) == AAC_DEC_OK &&
           free_bytes >= m_input_capacity;
}

int CAACDecoder::AllocateOutput(const char* class_name) {
    m_output.reset(new (std::nothrow) INT_PCM[kOutputSamples]());
    if (!m_output) {
        utils::logger.error("%s ERROR :%s::Initialize(): Error: Failed to allocate output buffer.\n",
                            get_player_prefix(), class_name);
        return -1;
    }
    return 0;
}

int CAACDecoder::Initialize() {
    if (!OpenHandle()) {
        utils::logger.error("%s ERROR :CAACDecoder::Initialize(): Error: Failed to open AAC handle.\n",
                            get_player_prefix());
        return -1;
    }
    return AllocateOutput("CAACDecoder");
}

void CAACDecoder::DeInitialize() {
    m_handle.reset();
    m_output.reset();
}

// Hands the stored AudioSpecificConfig to the library; a missing one counts as undecodable.
int CAACDecoder::ApplyConfig() {
    if (!m_handle || !m_config_data || !*m_config_data || !m_config_length ||
        *m_config_length <= 0)
        return AAC_DEC_UNKNOWN;
    UCHAR* conf[1] = {*m_config_data};
    const UINT length[1] = {static_cast<UINT>(*m_config_length)};
    return aacDecoder_ConfigRaw(m_handle.get(), conf, length);
}

void CAACDecoder::SetExtraData(uint8_t** data, int* size, void* context) {
    m_config_data = data;
    m_config_length = size;
    m_context = context;
    m_config_result = ApplyConfig();
    if (m_config_result != 0)
        utils::logger.error("%s ERROR :CAACDecoder::SetExtraData(): Error: Unable to decode the ASC\n",
                            get_player_prefix());
}

int CAACDecoder::RestartFeed() {
    if (!OpenHandle()) {
        utils::logger.error("%s ERROR :CAACDecoder::RestartFeed(): Error: Failed to open AAC handle.\n",
                            get_player_prefix());
        return -1;
    }
    m_config_result = ApplyConfig();
    if (m_config_result != 0)
        utils::logger.error("%s ERROR :CAACDecoder::RestartFeed(): Error: Unable to decode the ASC\n",
                            get_player_prefix());
    return m_config_result;
}

int CAACDecoder::SetAudioFormat(const AudioFormat* format) {
    if (!format)
        return -1;
    m_format.bits = format->bits;
    m_format.rate = format->rate;
    m_format.channels = format->channels;
    return AssignAudioFormat(&m_format);
}

void CAACDecoder::set_player_prefix(const char* text) {
    CAudioOutput::set_player_prefix((std::string(text ? text : "") + PrefixSuffix()).c_str());
}

int CAACDecoder::WriteBuffer(const uint8_t* data, uint16_t size, unsigned int ts) {
    if (!m_context) {
        utils::logger.error(
            "%s ERROR :CAACDecoder::WriteBuffer(): Error: no source. Call SetExtraData() first!\n",
            get_player_prefix());
        return -1;
    }
    if (!m_handle || !m_output)
        return -1;
    return DecodeFrames(data, size, ts);
}

// Copies what the library's input buffer takes; 'remaining' counts the bytes it did not take.
bool CAACDecoder::FillRemaining(const uint8_t* data, uint16_t size, UINT& remaining) {
    if (remaining == 0)
        return true;
    // The library takes a non-const pointer but only reads the input.
    UCHAR* in[1] = {const_cast<UCHAR*>(data) + (size - remaining)};
    const UINT length[1] = {remaining};
    const AAC_DECODER_ERROR e = aacDecoder_Fill(m_handle.get(), in, length, &remaining);
    if (e != AAC_DEC_OK) {
        utils::logger.error("%s ERROR :CAACDecoder::WriteBuffer(): Fill failed: %x\n",
                            get_player_prefix(), static_cast<unsigned int>(e));
        return false;
    }
    return true;
}

// Decodes every frame the packet completes. The library's input buffer is smaller than the
// largest packet, so bytes it could not take are filled again after each decoded frame
// instead of being lost.
int CAACDecoder::DecodeFrames(const uint8_t* data, uint16_t size, unsigned int ts) {
    UINT remaining = data ? size : 0;
    bool decoded = false;
    for (;;) {
        const UINT before_fill = remaining;
        if (!FillRemaining(data, size, remaining))
            return -1;
        const AAC_DECODER_ERROR e =
            aacDecoder_DecodeFrame(m_handle.get(), m_output.get(), kOutputSamples, 0);
        if (e == AAC_DEC_NOT_ENOUGH_BITS) {
            if (remaining > 0 && remaining < before_fill)
                continue;
            if (remaining > 0) {
                // The library neither takes more input nor finds a frame in what it holds.
                aacDecoder_SetParam(m_handle.get(), AAC_TPDEC_CLEAR_BUFFER, 1);
                return -1;
            }
            if (decoded)
                return 0;
            utils::logger.warning("%s CAACDecoder::WriteBuffer(): Insufficient bits on a first fill\n",
                                  get_player_prefix());
            return 1;
        }
        if (e != AAC_DEC_OK) {
            utils::logger.error("%s ERROR :Decode failed: %x. Restarting the feed.\n",
                                get_player_prefix(), static_cast<unsigned int>(e));
            // Drop the rest of a bad packet so that it cannot spoil the next good one.
            aacDecoder_SetParam(m_handle.get(), AAC_TPDEC_CLEAR_BUFFER, 1);
            return -1;
        }
        const int r = DeliverFrame(ts);
        if (r != 0)
            return r;
        // The packets lost before this one stand before its first frame only.
        ts = 0;
        decoded = true;
        // A raw access unit holds exactly one frame; an ADTS packet has been used up when
        // the library holds nothing more of it. Asking the library for a frame it cannot
        // have costs a third of a decoded frame.
        if (remaining == 0 && (Transport() == TT_MP4_RAW || InputEmpty()))
            return 0;
    }
}

int CAACDecoder::DeliverFrame(unsigned int ts) {
    const CStreamInfo* info = aacDecoder_GetStreamInfo(m_handle.get());
    if (!info || info->sampleRate <= 0) {
        m_format.rate = 0;
        m_format.channels = 0;
        m_format.tag = 0;
        utils::logger.error("%s ERROR :CAACDecoder::WriteBuffer(): Error: No stream info\n",
                            get_player_prefix());
        return -1;
    }
    if (info->sampleRate != m_format.rate || info->numChannels != m_format.channels) {
        utils::logger.info("%s CAACDecoder::WriteBuffer(): New format [%d,16,%d] detected changing...\n",
                           get_player_prefix(), info->numChannels, info->sampleRate);
        AudioInfo format = m_format;
        format.bits = 16;
        format.rate = info->sampleRate;
        format.channels = info->numChannels;
        if (SetAudioFormat(&format) != 0) {
            utils::logger.error(
                "%s ERROR :CAACDecoder::WriteBuffer(): Error: unable to change to new format.",
                get_player_prefix());
            return -1;
        }
    }
    SendAudio(reinterpret_cast<const uint8_t*>(m_output.get()),
              static_cast<uint16_t>(info->frameSize), ts);
    return 0;
}
