#pragma once

#include <cstdint>
#include <string>

class CPlayer;

// One state of the player's state machine. Every operation runs on the player thread:
// commands arrive through the command queue, Process once per loop pass.
class APlayerState {
public:
    APlayerState(CPlayer* player, int32_t id);
    virtual ~APlayerState() = default;
    APlayerState(const APlayerState&) = delete;
    APlayerState& operator=(const APlayerState&) = delete;

    virtual void on_entry() {}
    virtual void on_exit() {}
    virtual void SetNewPlaylist(bool /*interrupt*/) {}
    virtual void Play() {}
    virtual void Stop(bool /*immediately*/) {}
    virtual void Pause() {}
    virtual void PlayNext() {}
    virtual void PlayPrevious() {}
    // Idle-like states sleep 50 ms per pass.
    virtual void Process();

    int32_t GetId() const { return m_id; }
    const std::string& GetName() const { return m_name; }

protected:
    std::string Caller(const char* tag) const { return m_name + tag; }
    // The custom interrupt ends with every state change; log it when one was pending.
    void ClearInterruptOnEntry();
    void ClearInterruptOnExit();
    void LogStop();
    void LogFinished(int result);
    // close; log stop; open list; -> idle
    void CloseAndOpenList(const char* tag);
    // next; -> idle when the item ended, else -> connecting
    void NextOrIdle(const char* tag);
    void ChangeTo(int32_t id);

    CPlayer* const m_player;  // not owned

private:
    const int32_t m_id;
    const std::string m_name;
};
