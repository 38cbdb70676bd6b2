#include "player/volume/CFader.h"

#include "player/volume/CVolumeControlAdapter.h"
#include "utils/CLogger.h"
#include "utils/CTimer.h"

using OrvanePlayer::FadeRequest;

namespace {
timespec now() {
    timespec t{};
    // Monotonic: a clock set by NTP during a fade must not end or freeze it.
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t;
}
}  // namespace

CFader::CFader(CVolumeControlAdapter* volume_control)
    : m_volume_control(volume_control), m_timer(&utils::CTimer::instance()) {
    utils::CTimer::instance().start();
    APlayerInfoAdapter::set_player_prefix("PLAYBACK :");
}

CFader::~CFader() {
    // The timer service must not call into a destroyed fader.
    CancelTimer();
}

void CFader::SetVolumeControl(CVolumeControlAdapter* volume_control) {
    utils::logger.debug("%s  initializing Volume Control Adapter to %p\n", get_player_prefix(),
                        static_cast<void*>(volume_control));
    if (!volume_control) {
        utils::logger.warning("%s NULL Volume Control Adapter requested", get_player_prefix());
        CancelTimer();
    }
    utils::scoped_lock lock(m_lock);
    m_volume_control = volume_control;
}

void CFader::SetCallback(IFadingCallback* callback) {
    utils::scoped_lock lock(m_lock);
    m_callback = callback;
}

void CFader::Setup(const FadeRequest& r) {
    utils::scoped_lock lock(m_lock);
    setup_locked(r);
}

void CFader::setup_locked(const FadeRequest& r) {
    utils::logger.notice("%s  setting up: init=%u%%, target=%u%%, wait=%lu, fading_duration=%lu ms, operation=%u wait time is %lu ms\n",
                         get_player_prefix(), r.init, r.target, static_cast<unsigned long>(r.wait),
                         static_cast<unsigned long>(r.fading_duration), r.operation,
                         static_cast<unsigned long>(r.wait));
    cancel_timer_locked();
    ++m_setups;
    m_wait = r.wait;
    m_fading_duration = r.fading_duration;
    m_target = r.target;
    m_init = r.init;
    m_operation = r.operation;
    m_delta = static_cast<int32_t>(r.target) - static_cast<int32_t>(r.init);
    m_state = STATE_WAITING;
    if (r.operation != OrvanePlayer::FADE_END_WAIT && m_volume_control)
        m_volume_control->SetOutputVolume(static_cast<int>(r.init));
}

void CFader::StartWait() {
    utils::scoped_lock lock(m_lock);
    start_wait_locked();
}

bool CFader::StartFollowUpWait(const FadeRequest& r) {
    utils::scoped_lock lock(m_lock);
    if (m_setups != m_setups_at_report) {
        utils::logger.info("%s  a new fade was set up meanwhile, no follow-up wait\n", get_player_prefix());
        return false;
    }
    setup_locked(r);
    start_wait_locked();
    return true;
}

void CFader::start_wait_locked() {
    cancel_timer_locked();  // a second start must not leave the first timer running
    m_state = STATE_WAITING;
    m_start_time = now();
    utils::logger.info("%s Entering fader waiting state.", get_player_prefix());
    utils::logger.info("%s  starting wait before fading. State is %d\n", get_player_prefix(), m_state);
    start_timer_locked();
}

void CFader::StartFading() {
    utils::scoped_lock lock(m_lock);
    if (m_state != STATE_WAITING)
        return;
    cancel_timer_locked();  // a running wait gives way to the fade
    m_start_time = now();
    utils::logger.info("%s  starting fading NOW\n", get_player_prefix());
    m_state = STATE_FADING;
    start_timer_locked();
}

void CFader::start_timer_locked() {
    ++m_timer_generation;
    m_timer_id = m_timer->start_timer(kStepMs, *this, reinterpret_cast<void*>(m_timer_generation), true, 0);
}

int64_t CFader::elapsed_ms() const {
    const timespec t = now();
    // Each nanosecond part is truncated to ms on its own.
    return static_cast<int64_t>(t.tv_sec - m_start_time.tv_sec) * 1000 + t.tv_nsec / 1000000 -
           m_start_time.tv_nsec / 1000000;
}

int CFader::fade_volume(int64_t elapsed, bool* finished) const {
    if (elapsed > static_cast<int64_t>(m_fading_duration)) {
        *finished = true;
        return static_cast<int>(m_target);
    }
    *finished = false;
    if (m_fading_duration == 0 || elapsed <= 0)
        return static_cast<int>(m_init);
    // 64-bit product: long fades must not overflow; division truncates toward zero.
    return static_cast<int>(static_cast<int64_t>(m_init) + elapsed * m_delta / m_fading_duration);
}

void CFader::apply_step_volume(int volume) {
    if (!m_volume_control) {
        utils::logger.warning("%s  fading failed to apply volume of %d%%! Volume control object is NULL. \n",
                              get_player_prefix(), volume);
        return;
    }
    // A missing element has not taken the last volume, whatever the control remembers.
    if (volume == m_volume_control->GetVolume() && m_volume_control->HasElement())
        return;
    if (m_volume_control->SetOutputVolume(volume) != 0)
        utils::logger.error("%s ERROR : failing to set volume to %d\n", get_player_prefix(), volume);
}

CFader::StepResult CFader::step(unsigned* kind) {
    utils::scoped_lock lock(m_lock);
    if (m_state == STATE_WAITING) {
        m_elapsed_wait = static_cast<int32_t>(elapsed_ms());
        if (m_elapsed_wait > static_cast<int64_t>(m_wait)) {
            *kind = OrvanePlayer::FADE_END_WAIT;
            return STEP_WAIT_DONE;
        }
        return STEP_GOING;
    }
    if (m_state != STATE_FADING)
        return STEP_IDLE;
    bool finished = false;
    const int volume = fade_volume(elapsed_ms(), &finished);
    apply_step_volume(volume);
    if (!finished)
        return STEP_GOING;
    *kind = m_operation;
    m_state = STATE_IDLE;
    utils::logger.info("%s  fading finished, requested target volume is %d%%, operation to perform is %u\n",
                       get_player_prefix(), volume, *kind);
    return STEP_FADE_DONE;
}

void CFader::on_timer_event(void* user) {
    unsigned kind = OrvanePlayer::FADE_END_NONE;
    IFadingCallback* callback = nullptr;
    {
        utils::scoped_lock lock(m_lock);
        if (m_timer_id == 0 || reinterpret_cast<uintptr_t>(user) != m_timer_generation)
            return;  // a cancelled timer's event that was already on its way
        const StepResult r = step(&kind);
        if (r == STEP_WAIT_DONE)
            utils::logger.info("%s  Wait finished, issuing notification to owner\n", get_player_prefix());
        if (r != STEP_FADE_DONE && r != STEP_WAIT_DONE)
            return;
        cancel_timer_locked();
        callback = m_callback;
        m_setups_at_report = m_setups;
    }
    // Outside the fader's lock: the owner takes its own locks in the callback, and it
    // calls back into the fader from other threads while holding them.
    if (callback)
        callback->EndFadingCallback(&kind);
}

void CFader::cancel_timer_locked() {
    if (m_timer_id != 0) {
        utils::logger.info("%s  Canceling timer\n", get_player_prefix());
        m_timer->delete_timer(m_timer_id);
        m_timer_id = 0;
    }
    m_state = STATE_IDLE;
}

void CFader::CancelTimer() {
    utils::scoped_lock lock(m_lock);
    cancel_timer_locked();
}

int CFader::Abort() { return abort(true, false); }

int CFader::AbortKeepingVolume() { return abort(false, false); }

int CFader::AbortRunning() { return abort(true, true); }

int CFader::abort(bool jump_to_target, bool keep_armed) {
    unsigned operation = 0;
    IFadingCallback* callback = nullptr;
    unsigned long elapsed_wait = 0;
    {
        // Check and abort in one locked step so that a fade ending on the timer thread at
        // the same moment is reported exactly once.
        utils::scoped_lock lock(m_lock);
        utils::logger.info("%s  About to abort fading operation is %d\n", get_player_prefix(),
                           static_cast<int>(m_operation));
        if (m_state == STATE_IDLE) {
            utils::logger.info("%s  not active, quitting.\n", get_player_prefix());
            return 0;
        }
        // Set up and not started: no timer runs until playback starts it.
        if (keep_armed && m_state == STATE_WAITING && m_timer_id == 0) {
            utils::logger.info("%s  fading set up for the next play, keeping it.\n", get_player_prefix());
            return 0;
        }
        utils::logger.info("%s  found active fading, aborting...\n", get_player_prefix());
        if (jump_to_target && m_volume_control &&
            m_volume_control->SetOutputVolume(static_cast<int>(m_target)) != 0)
            utils::logger.error("%s ERROR : failing to set volume to %d\n", get_player_prefix(),
                                static_cast<int>(m_target));
        cancel_timer_locked();
        callback = m_callback;
        elapsed_wait = m_elapsed_wait < 0 ? 0 : static_cast<unsigned long>(m_elapsed_wait);
        if (callback)
            m_elapsed_wait = 0;
        operation = m_operation;
        m_state = STATE_IDLE;
        m_setups_at_report = m_setups;
    }
    if (callback)
        callback->NotifyFadeAborted(elapsed_wait);
    if (operation == OrvanePlayer::FADE_END_WAIT)
        utils::logger.info("%s Waiting operation found, skipping callback call on Abort!\n", get_player_prefix());
    else if (callback)
        callback->EndFadingCallback(&operation);
    utils::logger.debug("%s  fading aborted, operation=%u\n", get_player_prefix(), operation);
    return 1;
}

int32_t CFader::GetState() {
    utils::scoped_lock lock(m_lock);
    return m_state;
}

int CFader::GetAppliedVolume() {
    utils::scoped_lock lock(m_lock);
    return m_volume_control ? m_volume_control->GetVolume() : -1;
}
