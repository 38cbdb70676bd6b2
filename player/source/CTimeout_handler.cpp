#include "player/source/CTimeout_handler.h"

#include "utils/MonotonicClock.h"

void CTimeout_handler::Restart()
{
    m_start_time.store(Now());
}

bool CTimeout_handler::IsExpired() const
{
    return m_timeout.load() < Now() - m_start_time.load();
}

int64_t CTimeout_handler::Now() const
{
    return utils::monotonic_seconds();
}
