#include "tests/fuzz/FuzzSupport.h"

#include "utils/CLogger.h"

namespace fuzz {

void QuietPlayerLogs()
{
    // Info and debug lines are the bulk and carry nothing but names already checked by
    // the other levels' formats; each line costs a failed syslog connection here.
    utils::log_level_mask = utils::LOG_MASK_ERROR | utils::LOG_MASK_WARNING | utils::LOG_MASK_NOTICE;
    utils::logger.set_sink([](int, const std::string&) {});
}

}  // namespace fuzz
