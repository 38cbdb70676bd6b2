// The public factory: applications create and initialize a player through the public
// headers alone, without the engine's own classes.
#include "player/include/PlayerFactory.h"
#include "player/include/PlayerFailure.h"
#include "player/include/PlayerHealth.h"

#include "player/engine/CPlayer.h"
#include "player/engine/CStreamProbe.h"
#include "player/include/StreamProbe.h"

namespace OrvanePlayer {

void PlayerDeleter::operator()(IPlayer* player) const noexcept {
    // CPlayer's destructor deinitializes a player that still runs.
    delete player;
}

PlayerPtr CreatePlayer() { return PlayerPtr(new CPlayer()); }

int InitializePlayer(IPlayer& player, const PlayerInit& init, const StreamParams& params) {
    auto* engine = dynamic_cast<CPlayer*>(&player);
    return engine ? engine->Initialize(init, params) : -1;
}

int GetStreamHealth(IPlayer& player, StreamHealth& out) {
    auto* engine = dynamic_cast<CPlayer*>(&player);
    out = engine ? engine->GetStreamHealth() : StreamHealth{};
    return engine ? 0 : -1;
}

int GetRtpSenderHealth(IPlayer& player, RtpSenderHealth& out) {
    auto* engine = dynamic_cast<CPlayer*>(&player);
    out = engine ? engine->GetRtpSenderHealth() : RtpSenderHealth{};
    return engine ? 0 : -1;
}

int SetRtpSource(IPlayer& player, const std::string& host) {
    auto* engine = dynamic_cast<CPlayer*>(&player);
    if (!engine) return -1;
    engine->SetRtpSource(host);
    return 0;
}

int GetPlaybackFailure(IPlayer& player, PlaybackFailure& out) {
    auto* engine = dynamic_cast<CPlayer*>(&player);
    out = engine ? engine->GetFailure() : PlaybackFailure{};
    return engine ? 0 : -1;
}

int SetTlsSettings(IPlayer& player, const TlsSettings& settings) {
    auto* engine = dynamic_cast<CPlayer*>(&player);
    return engine ? engine->SetTlsSettings(settings) : -1;
}

int GetStreamAudioMs(IPlayer& player, uint64_t& out) {
    auto* engine = dynamic_cast<CPlayer*>(&player);
    out = engine ? engine->GetStreamAudioMs() : 0;
    return engine ? 0 : -1;
}

void StreamProbeDeleter::operator()(IStreamProbe* probe) const noexcept { delete probe; }

StreamProbePtr CreateStreamProbe(const StreamParams& params, int32_t player_id) {
    return StreamProbePtr(new CStreamProbe(params, player_id));
}

int DeinitializePlayer(IPlayer& player) {
    auto* engine = dynamic_cast<CPlayer*>(&player);
    return engine ? engine->Deinitialize() : -1;
}

}  // namespace OrvanePlayer
