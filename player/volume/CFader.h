#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "player/include/IFadingCallback.h"
#include "player/include/PlayerRecords.h"
#include "utils/APlayerInfoAdapter.h"
#include "utils/ITimer.h"
#include "utils/mutex.h"

class CVolumeControlAdapter;

// Moves the mixer volume linearly from an initial to a target percentage in 50 ms timer
// steps, the volume of each step following from the time elapsed (so late timer events
// do not slow a fade down), or runs a pure wait. Tells its callback when a fade or wait
// ends and which follow-up was requested. Setup/Start*/Abort come from the player's
// command thread; timer events from the timer thread.
class CFader : public ITimerEventHandler, public APlayerInfoAdapter {
public:
    enum State : int32_t { STATE_WAITING = 0, STATE_FADING = 1, STATE_IDLE = 2 };
    static constexpr uint64_t kStepMs = 50;

    // volume_control: not owned, may be null until SetVolumeControl. Starts the timer
    // service if it is not running yet.
    explicit CFader(CVolumeControlAdapter* volume_control);
    ~CFader() override;
    CFader(const CFader&) = delete;
    CFader& operator=(const CFader&) = delete;

    // Null stops any running fade (the player passes null when it deinitializes).
    void SetVolumeControl(CVolumeControlAdapter* volume_control);
    void SetCallback(IFadingCallback* callback);
    // Arms a new fade or wait (state 0) and applies the initial volume unless it is a wait.
    void Setup(const OrvanePlayer::FadeRequest& request);
    void StartWait();
    // Arms and starts the wait that follows the fade whose end is being reported, in one
    // step, unless a new fade or wait was set up since that end (on another thread, before
    // the report reached its owner): the newer set-up wins. True when the wait started.
    bool StartFollowUpWait(const OrvanePlayer::FadeRequest& request);
    // Starts an armed fade; does nothing unless the fader is in state 0.
    void StartFading();
    // 0 when nothing was active, 1 when a wait or fade was aborted (jumping to its target).
    int Abort();
    // As Abort, but the volume stays where the fade had brought it: for a new fade that
    // takes over from there (its set-up applies its own initial volume).
    int AbortKeepingVolume();
    // As Abort for a running fade or wait; a fade that is only set up, waiting for playback
    // to start, is kept (0): it belongs to the play that follows.
    int AbortRunning();
    void CancelTimer();
    void on_timer_event(void* user) override;

    int32_t GetState();
    // The volume last applied through the volume control (under the fader's lock, which
    // is the lock the volume control is used under).
    int GetAppliedVolume();

private:
    enum StepResult : int { STEP_IDLE = -1, STEP_GOING = 0, STEP_FADE_DONE = 1, STEP_WAIT_DONE = 2 };

    int64_t elapsed_ms() const;
    StepResult step(unsigned* kind);
    int fade_volume(int64_t elapsed, bool* finished) const;
    void apply_step_volume(int volume);
    void setup_locked(const OrvanePlayer::FadeRequest& request);
    void start_wait_locked();
    void start_timer_locked();
    void cancel_timer_locked();
    int abort(bool jump_to_target, bool keep_armed);

    uint32_t m_timer_id = 0;  // guarded by m_lock
    // Handed to each timer as its user value: an event of a timer that was cancelled while
    // the event waited for the lock carries an old value and is ignored.
    uintptr_t m_timer_generation = 0;  // guarded by m_lock
    utils::mutex m_lock;
    uint64_t m_setups = 0;            // guarded by m_lock; counts Setup calls
    uint64_t m_setups_at_report = 0;  // guarded by m_lock; m_setups when an end was reported
    uint32_t m_wait = 0;              // guarded by m_lock
    uint32_t m_fading_duration = 0;   // guarded by m_lock
    uint32_t m_target = 50;           // guarded by m_lock
    uint32_t m_init = 50;             // guarded by m_lock
    uint32_t m_operation = 0;         // guarded by m_lock
    timespec m_start_time{};          // guarded by m_lock
    int32_t m_delta = 0;              // guarded by m_lock
    int32_t m_state = STATE_IDLE;     // guarded by m_lock
    int32_t m_elapsed_wait = 0;       // guarded by m_lock
    CVolumeControlAdapter* m_volume_control;  // not owned; guarded by m_lock
    IFadingCallback* m_callback = nullptr;    // not owned; guarded by m_lock
    ITimer* m_timer;                          // the process-wide timer service
};
