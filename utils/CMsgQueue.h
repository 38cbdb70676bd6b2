#pragma once

#include <cstdint>
#include <list>
#include <string>

#include "utils/mutex.h"

namespace utils {

// A bounded FIFO of numbered commands with a text argument. The queue's own
// (recursive) mutex guards every member; callers on any thread may Put, the
// consumer alone calls Get.
class CMsgQueue : public mutex {
public:
    CMsgQueue() = default;
    ~CMsgQueue() override = default;

    // Appends a message. When the queue already held more than its capacity the
    // oldest message is dropped (logged as an overflow). Never blocks.
    void Put(uint16_t code, const std::string& argument);
    // Removes the oldest message and copies its argument out; -1 when empty
    // (argument untouched).
    int Get(std::string& argument);
    // Removes the oldest message without handing it out; false when empty.
    bool DropOldest();
    uint16_t Count();

    void SetCapacity(uint16_t capacity);
    uint16_t GetCapacity();
    void SetName(const std::string& name);

private:
    struct Message {
        uint16_t code;
        std::string argument;
    };

    std::list<Message> m_messages;  // guarded by the queue's mutex, oldest first
    uint16_t m_capacity = 20;       // guarded by the queue's mutex
    uint16_t m_count = 0;           // guarded by the queue's mutex
    std::string m_name = "?????";   // guarded by the queue's mutex
};

}  // namespace utils
