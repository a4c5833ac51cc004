// One delivery thread for many notifiers. A notifier registered while a DeliverThrough scope is
// open on the registering thread is delivered by that scope's queue instead of a thread of its
// own: a host serving many registrations for one client keeps one thread for all of them. Its
// messages are delivered one at a time, in push order; remove() keeps its meaning (no handler
// starts afterwards, and a running one is waited for unless remove is called from it).
//
// Thread safety: a queue may be shared by any threads; a scope belongs to the thread that opened it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform::iokit {

class NotificationQueue;

// A queue of `capacity` messages (a full one drops and counts). Throws std::system_error when no
// delivery thread can be made.
std::shared_ptr<NotificationQueue> makeNotificationQueue(const std::string& label, size_t capacity = 256);
// Messages the queue dropped because it was full.
uint64_t droppedMessages(const NotificationQueue& queue);

// While it lives, IOService::addMatchingNotification and registerInterest called on this thread
// deliver through `queue`.
class DeliverThrough
{
public:
    explicit DeliverThrough(std::shared_ptr<NotificationQueue> queue);
    ~DeliverThrough();
    DeliverThrough(const DeliverThrough&) = delete;
    DeliverThrough& operator=(const DeliverThrough&) = delete;

private:
    std::shared_ptr<NotificationQueue> m_previous;
};

} // namespace platform::iokit
