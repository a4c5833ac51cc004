// A bounded queue of messages with its own delivery thread. Any number of threads may push; a
// push never blocks and never allocates (a full queue drops the message and counts it), so
// real-time threads and USB completions may send. The delivery thread calls `deliver` for each
// message in push order per sender.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "IOKit/IOService.h"

namespace platform::iokit::detail {

struct Message
{
    UInt32 type = 0;
    uint32_t argSize = 0;
    void* pointer = nullptr;    // the argument when argSize is 0
    OSObject* object = nullptr; // retained by the sender, released after delivery
    OSObject* target = nullptr; // the receiver, on a queue shared by several; retained as object
    alignas(8) unsigned char bytes[kIOMessageArgumentMaximum] = {};

    void* argument() { return argSize > 0 ? static_cast<void*>(bytes) : pointer; }
};

class MessageQueue
{
public:
    using Deliver = std::function<void(Message&)>;

    // `label` names the receiver in the log line about dropped messages.
    MessageQueue(size_t capacity, std::string label, Deliver deliver);
    // Stops delivery; waits for a running delivery unless called from the delivery thread.
    ~MessageQueue();
    MessageQueue(const MessageQueue&) = delete;
    MessageQueue& operator=(const MessageQueue&) = delete;

    // Copies the argument (argSize bytes, at most kIOMessageArgumentMaximum) and retains
    // `object` and `target`. False when the queue is full (the message is dropped and counted), the argument
    // is too long, or the queue is stopping.
    bool push(UInt32 type, const void* argument, vm_size_t argSize, OSObject* object,
              OSObject* target = nullptr);
    uint64_t dropped() const;
    // Delivery stops and queued messages are discarded; no delivery starts afterwards.
    void stop();
    bool onDeliveryThread() const { return std::this_thread::get_id() == m_thread.get_id(); }

private:
    struct State;
    std::shared_ptr<State> m_state;
    std::thread m_thread;
};

} // namespace platform::iokit::detail
