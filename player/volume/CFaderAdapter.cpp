#include "player/volume/CFaderAdapter.h"

#include <string>

#include "utils/CLogger.h"

using OrvanePlayer::FadeRequest;

namespace {
uint16_t clamp_percent(int volume) {
    return static_cast<uint16_t>(volume < 0 ? 0 : (volume > 100 ? 100 : volume));
}
}  // namespace

void CFaderAdapter::SetPlayer(IFaderPlayer* player) {
    m_player = player;
    SetCallback(player);
}

void CFaderAdapter::set_player_prefix(const char* text) {
    CFader::set_player_prefix((std::string(text ? text : "") + " FADER:").c_str());
}

bool CFaderAdapter::player_ready(const char* warning_format) {
    if (m_player && m_player->IsInitialized())
        return true;
    // The texts carry the prefix as their only conversion.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    utils::logger.warning(warning_format, get_player_prefix());
#pragma GCC diagnostic pop
    return m_player != nullptr;
}

void CFaderAdapter::request_fade(unsigned interval_ms, int from_volume, int to_volume, unsigned operation) {
    FadeRequest request;
    request.wait = 0;
    request.fading_duration = interval_ms;
    request.target = clamp_percent(to_volume);
    request.init = clamp_percent(from_volume);
    request.operation = operation;
    m_player->PrepareFader(request);
}

void CFaderAdapter::FadeAndStop(unsigned interval_ms, int volume) {
    if (!player_ready("%s  CFaderAdapter::FadeAndStop(interval,volume) could not start fading. Initialize Player first\n"))
        return;
    if (interval_ms > 0) {
        request_fade(interval_ms, m_player->GetVolume(), volume, OrvanePlayer::FADE_END_STOP);
        utils::logger.info("%s Requesting fading with Stop at the end ..............\n", get_player_prefix());
        return;
    }
    utils::logger.warning("%s  CFaderAdapter::FadeAndStop(interval,volume) duration is 0 applying volume level right away and stopping",
                          get_player_prefix());
    m_player->SetVolume(clamp_percent(volume));
    m_player->Stop(true);
}

void CFaderAdapter::FadeAndPause(unsigned interval_ms, int volume) {
    if (!player_ready("%s  CFaderAdapter::FadeAndPause(interval,volume) could not start fading. Initialize Player first\n"))
        return;
    if (interval_ms > 0) {
        request_fade(interval_ms, m_player->GetVolume(), volume, OrvanePlayer::FADE_END_PAUSE);
        utils::logger.info("%s Requesting fading with Pause at the end ..............\n", get_player_prefix());
        return;
    }
    utils::logger.warning("%s  CFaderAdapter::FadeAndPause(interval,volume) duration is 0 applying volume level right away and pausing",
                          get_player_prefix());
    m_player->SetVolume(clamp_percent(volume));
    m_player->Pause();
}

int CFaderAdapter::FadeAndPlay(unsigned interval_ms, int from_volume, int to_volume) {
    if (!player_ready("%s CFaderAdapter::FadeAndPlay(interval,volume) could not start fading. Initialize Player first\n"))
        return -1;
    if (interval_ms > 0) {
        request_fade(interval_ms, from_volume, to_volume, OrvanePlayer::FADE_END_NONE);
        m_player->PostCommand(IFaderPlayer::kPlayFadedCommand);
        utils::logger.info("%s Requesting fading over Play ..............\n", get_player_prefix());
        return 0;
    }
    utils::logger.warning("%s  CFaderAdapter::FadeAndPlay(interval,volume) duration is 0 applying volume level right away and playing",
                          get_player_prefix());
    m_player->SetVolume(clamp_percent(to_volume));
    m_player->Play();
    return 0;
}

int CFaderAdapter::FadeAndPlay(unsigned interval_ms, int volume) {
    if (!m_player)
        return -1;
    return FadeAndPlay(interval_ms, m_player->GetVolume(), volume);
}

void CFaderAdapter::Fade(const FadeRequest& request) {
    if (!player_ready("%s  CPlayer::Fade(interval,volume) could not start fading. Initialize Player first\n"))
        return;
    m_player->PrepareFader(request);
}
