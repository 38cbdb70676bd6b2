// The engine's process-wide services as the public interface offers them.
#include "player/include/PlayerRuntime.h"

#include "utils/CLogger.h"
#include "utils/CTimer.h"

namespace OrvanePlayer {

void OpenEngineLog(const char* name, int level_mask) {
    utils::logger.init(name);
    utils::log_level_mask = level_mask;
}

void StartTimerService() { utils::CTimer::instance().start(); }

void StopTimerService() { utils::CTimer::instance().stop(); }

}  // namespace OrvanePlayer
