#include "utils/CMsgQueue.h"

#include "utils/CLogger.h"

namespace utils {

void CMsgQueue::Put(uint16_t code, const std::string& argument) {
    scoped_lock lock(*this);
    m_messages.push_back(Message{code, argument});
    if (m_count <= m_capacity) {
        ++m_count;
        return;
    }
    m_messages.pop_front();
    logger.error("Message queue '%s' overflow", m_name.c_str());
}

int CMsgQueue::Get(std::string& argument) {
    scoped_lock lock(*this);
    if (m_messages.empty()) return -1;
    const Message& front = m_messages.front();
    const int code = front.code;
    argument = front.argument;
    m_messages.pop_front();
    if (m_count > 0) --m_count;
    return code;
}

bool CMsgQueue::DropOldest() {
    scoped_lock lock(*this);
    if (m_messages.empty()) return false;
    m_messages.pop_front();
    if (m_count > 0) --m_count;
    return true;
}

uint16_t CMsgQueue::Count() {
    scoped_lock lock(*this);
    return m_count;
}

void CMsgQueue::SetCapacity(uint16_t capacity) {
    scoped_lock lock(*this);
    m_capacity = capacity;
}

uint16_t CMsgQueue::GetCapacity() {
    scoped_lock lock(*this);
    return m_capacity;
}

void CMsgQueue::SetName(const std::string& name) {
    scoped_lock lock(*this);
    m_name = name;
}

}  // namespace utils
