#include "player/engine/APlayerState.h"

#include "player/engine/CPlayer.h"
#include "utils/CLogger.h"

using namespace OrvanePlayer;

APlayerState::APlayerState(CPlayer* player, int32_t id)
    : m_player(player), m_id(id), m_name(PlayerStateName(id)) {}

void APlayerState::Process() { m_player->suspend(50); }

void APlayerState::ClearInterruptOnEntry() {
    if (m_player->ClearCustomInterrupt())
        utils::logger.notice("%s  id=%d, state=%s, Custom interrupt cleared!\n",
                             m_player->get_player_prefix(), m_player->get_player_id(),
                             m_player->StateName());
}

void APlayerState::ClearInterruptOnExit() {
    if (m_player->ClearCustomInterrupt())
        utils::logger.notice("%s  id=%d, state=%s:on_exit(), Custom interrupt cleared!\n",
                             m_player->get_player_prefix(), m_player->get_player_id(),
                             m_player->StateName());
}

void APlayerState::LogStop() {
    utils::logger.notice("%s  id=%d, state=%s, %s :stop.\n", m_player->get_player_prefix(),
                         m_player->get_player_id(), m_name.c_str(),
                         m_player->CurrentTrack().c_str());
}

void APlayerState::LogFinished(int result) {
    const std::string track = m_player->CurrentTrack();
    if (result < 0 && result != CPlayer::kEndOfFile)
        utils::logger.info("%s  id=%d, state=%s, %s :finished with errors.\n",
                           m_player->get_player_prefix(), m_player->get_player_id(),
                           m_name.c_str(), track.c_str());
    else
        utils::logger.notice("%s  id=%d, state=%s, %s :finished.\n", m_player->get_player_prefix(),
                             m_player->get_player_id(), m_name.c_str(), track.c_str());
}

void APlayerState::CloseAndOpenList(const char* tag) {
    m_player->CloseTrack();
    LogStop();
    m_player->OpenPlaylist(Caller(tag));
    ChangeTo(PLAYER_STATE_IDLE);
}

void APlayerState::NextOrIdle(const char* tag) {
    if (m_player->MoveTrackUp(Caller(tag), true))
        ChangeTo(PLAYER_STATE_IDLE);
    else
        ChangeTo(PLAYER_STATE_CONNECTING);
}

void APlayerState::ChangeTo(int32_t id) { m_player->SetState(m_player->GetState(id)); }
