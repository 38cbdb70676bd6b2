#include "player/decoder/CMP3Decoder.h"

#include <new>
#include <string>

#include "utils/CLogger.h"

int CMP3Decoder::Initialize() {
    int err = -1;
    m_handle.reset(mpg123_new(nullptr, &err));
    if (!m_handle) {
        utils::logger.error("%s ERROR :CMP3Decoder::Initialize(): Unable to create mpg123 handle: %s\n",
                            get_player_prefix(), mpg123_plain_strerror(err));
        return -1;
    }
    const int r = mpg123_open_feed(m_handle.get());
    if (r < 0) {
        utils::logger.error("%s ERROR :CMP3Decoder::Initialize(): Unable to open mpg123 feed: %s\n",
                            get_player_prefix(), mpg123_plain_strerror(r));
        return -1;
    }
    m_output.reset(new (std::nothrow) uint8_t[kOutputBufferBytes]());
    return m_output ? 0 : -1;
}

void CMP3Decoder::DeInitialize() {
    utils::logger.info("%s CMP3Decoder::DeInitialize() called.\n", get_player_prefix());
    m_output.reset();
    m_handle.reset();
    utils::logger.info("%s CMP3Decoder::DeInitialize() End.\n", get_player_prefix());
}

int CMP3Decoder::RestartFeed() {
    if (!m_handle || mpg123_open_feed(m_handle.get()) != MPG123_OK)
        return -1;
    return 0;
}

int CMP3Decoder::SetAudioFormat(const AudioFormat* format) {
    if (!format)
        return -1;
    m_format.bits = format->bits;
    m_format.rate = format->rate;
    m_format.channels = format->channels;
    const int result = AssignAudioFormat(&m_format);
    m_announced = result >= 0;
    return result;
}

void CMP3Decoder::set_player_prefix(const char* text) {
    CAudioOutput::set_player_prefix((std::string(text ? text : "") + " DECODER MP3:").c_str());
}

// Reads the stream format from mpg123 and passes it on when it differs from what the
// dependents already have: announcing an unchanged format would reopen the device mid-track.
int CMP3Decoder::UpdateFormat() {
    long rate = 0;
    int channels = 0;
    int encoding = 0;
    const int r = mpg123_getformat(m_handle.get(), &rate, &channels, &encoding);
    utils::logger.info(
        "CMP3Decoder::WriteBuffer(): ------------------------> New format requested, rate=%ld, "
        "bits=%d,channs=%d\n",
        rate, mpg123_encsize(encoding) * 8, channels);
    if (r != MPG123_OK) {
        m_format.rate = 0;
        m_format.channels = 0;
        m_format.tag = 0;
        m_announced = false;
        utils::logger.info(
            "CMP3Decoder::WriteBuffer() error on mpg123_getformat(): (%d) %s, leaving it up to "
            "the next decoded frame.",
            r, mpg123_strerror(m_handle.get()));
        return r;
    }
    const int bits = mpg123_encsize(encoding) * 8;
    const int32_t new_rate = static_cast<int32_t>(rate);
    if (m_announced && bits == m_format.bits && new_rate == m_format.rate &&
        channels == m_format.channels)
        return 0;
    m_format.bits = bits;
    m_format.rate = new_rate;
    m_format.channels = channels;
    const int result = AssignAudioFormat(&m_format);
    m_announced = result >= 0;
    return result;
}

// Runs the format update; returns the code the decode loop continues with, or a failure.
int CMP3Decoder::AnnounceFormat() {
    const int result = UpdateFormat();
    if (result < 0 && result != MPG123_NEED_MORE) {
        utils::logger.error(
            "%s ERROR :CMP3Decoder::WriteBuffer() error: %d, when assigning audio format to "
            "dependent audio out.",
            get_player_prefix(), result);
    }
    return result;
}

int CMP3Decoder::WriteBuffer(const uint8_t* data, uint16_t size, unsigned int ts) {
    if (size == 0 || !data) {
        SendAudio(nullptr, 0, 0);
        return 0;
    }
    if (!m_handle || !m_output)
        return -1;
    size_t done = 0;
    int ret = mpg123_decode(m_handle.get(), data, size, nullptr, 0, &done);
    if (ret == MPG123_ERR) {
        utils::logger.error(
            "%s ERROR :CMP3Decoder::WriteBuffer() error on mpg123_decode(): (%d) %s, skipping "
            "frame.",
            get_player_prefix(), MPG123_ERR, mpg123_strerror(m_handle.get()));
        return MPG123_ERR;
    }
    if (ret == MPG123_NEW_FORMAT || FrameBytes() == 0) {
        ret = AnnounceFormat();
        if (ret < 0 && ret != MPG123_NEED_MORE)
            return ret;
    }
    // Only OK and NEW_FORMAT mean more output may follow; any other code ends the drain so
    // that an unexpected library error cannot spin here.
    while (ret == MPG123_OK || ret == MPG123_NEW_FORMAT) {
        ret = mpg123_decode(m_handle.get(), nullptr, 0, m_output.get(), kOutputBufferBytes, &done);
        if (ret == MPG123_NEW_FORMAT) {
            ret = AnnounceFormat();
            if (ret < 0 && ret != MPG123_NEED_MORE)
                return ret;
        }
        const int frame_bytes = FrameBytes();
        if (frame_bytes > 0 && done > 0) {
            SendAudio(m_output.get(), static_cast<uint16_t>(done / frame_bytes), ts);
            // The packets lost before this one stand before its first block only.
            ts = 0;
        }
    }
    return ret == MPG123_NEED_MORE ? 0 : ret;
}
