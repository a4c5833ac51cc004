#include "MessageQueue.h"

#include <climits>
#include <cstring>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

#include "platform/HostClock.h"
#include "platform/Log.h"

namespace platform::iokit::detail {
namespace {

void futexWait(std::atomic<uint32_t>& word, uint32_t expected)
{
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

void futexWakeAll(std::atomic<uint32_t>& word)
{
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

} // namespace

// A bounded multi-producer, single-consumer ring: each cell carries a sequence number that
// says whether it is free for the producer at that position or full for the consumer.
struct MessageQueue::State
{
    struct Cell
    {
        std::atomic<size_t> sequence;
        Message message;
    };

    State(size_t capacity, std::string l, Deliver d)
        : cells(capacity), mask(capacity - 1), label(std::move(l)), deliver(std::move(d))
    {
        for (size_t i = 0; i < capacity; ++i) {
            cells[i].sequence.store(i, std::memory_order_relaxed);
        }
    }

    ~State()
    {
        Message message;
        while (pop(message)) {
            releaseObjects(message);
        }
    }

    static void releaseObjects(Message& message)
    {
        if (message.object != nullptr) {
            message.object->release();
        }
        if (message.target != nullptr) {
            message.target->release();
        }
    }

    bool push(UInt32 type, const void* argument, vm_size_t argSize, OSObject* object, OSObject* target)
    {
        size_t position = enqueue.load(std::memory_order_relaxed);
        Cell* cell = nullptr;
        for (;;) {
            cell = &cells[position & mask];
            const size_t sequence = cell->sequence.load(std::memory_order_acquire);
            const auto difference = static_cast<intptr_t>(sequence) - static_cast<intptr_t>(position);
            if (difference == 0) {
                if (enqueue.compare_exchange_weak(position, position + 1, std::memory_order_relaxed)) {
                    break;
                }
            } else if (difference < 0) {
                dropped.fetch_add(1, std::memory_order_relaxed);
                return false;
            } else {
                position = enqueue.load(std::memory_order_relaxed);
            }
        }
        Message& m = cell->message;
        m.type = type;
        m.argSize = static_cast<uint32_t>(argSize);
        m.pointer = argSize == 0 ? const_cast<void*>(argument) : nullptr;
        if (argSize > 0) {
            std::memcpy(m.bytes, argument, argSize);
        }
        if (object != nullptr) {
            object->retain();
        }
        m.object = object;
        if (target != nullptr) {
            target->retain();
        }
        m.target = target;
        cell->sequence.store(position + 1, std::memory_order_release);
        wakeConsumer();
        return true;
    }

    // The consumer announces that it is about to sleep before it looks at `wake` a last time, so
    // a sender that sees no sleeper can skip the system call. The one sender that takes the
    // announcement back counts the consumer busy for simulated time before waking it.
    void wakeConsumer()
    {
        wake.fetch_add(1, std::memory_order_seq_cst);
        if (waiting.load(std::memory_order_seq_cst) && waiting.exchange(false, std::memory_order_seq_cst)) {
            platform::host_clock::creditWake();
            futexWakeAll(wake);
        }
    }

    bool hasMessage() const
    {
        return cells[dequeue & mask].sequence.load(std::memory_order_acquire) == dequeue + 1;
    }

    // Consumer side: blocks until a message or stop.
    void waitForMessage()
    {
        platform::host_clock::blocking("message queue");
        waiting.store(true, std::memory_order_seq_cst);
        for (;;) {
            const uint32_t seen = wake.load(std::memory_order_seq_cst);
            if (!waiting.load(std::memory_order_seq_cst)) {
                platform::host_clock::markRunning(); // a sender counted it busy
                return;
            }
            if (hasMessage() || stopping.load(std::memory_order_acquire)) {
                if (waiting.exchange(false, std::memory_order_seq_cst)) {
                    platform::host_clock::resumed();
                } else {
                    platform::host_clock::markRunning();
                }
                return;
            }
            futexWait(wake, seen);
        }
    }

    // Consumer side only.
    bool pop(Message& out)
    {
        Cell& cell = cells[dequeue & mask];
        const size_t sequence = cell.sequence.load(std::memory_order_acquire);
        if (sequence != dequeue + 1) {
            return false;
        }
        out = cell.message;
        cell.sequence.store(dequeue + mask + 1, std::memory_order_release);
        ++dequeue;
        return true;
    }

    void run()
    {
        Message message;
        uint64_t reported = 0;
        auto handle = [&] {
            const uint64_t drops = dropped.load(std::memory_order_relaxed);
            if (drops != reported) {
                IOLog("IOKit: the queue of %s was full; %llu messages dropped\n", label.c_str(),
                      static_cast<unsigned long long>(drops - reported));
                reported = drops;
            }
            if (!stopping.load(std::memory_order_acquire)) {
                deliver(message);
            }
            releaseObjects(message);
        };
        while (!stopping.load(std::memory_order_acquire)) {
            if (pop(message)) {
                handle();
                continue;
            }
            waitForMessage();
        }
        while (pop(message)) {
            releaseObjects(message);
        }
    }

    std::vector<Cell> cells;
    size_t mask;
    std::string label;
    Deliver deliver;
    std::atomic<size_t> enqueue{0};
    size_t dequeue = 0; // consumer only
    std::atomic<uint32_t> wake{0};
    std::atomic<bool> waiting{false}; // the consumer is about to sleep or sleeps
    std::atomic<bool> stopping{false};
    std::atomic<uint64_t> dropped{0};
};

MessageQueue::MessageQueue(size_t capacity, std::string label, Deliver deliver)
{
    size_t rounded = 2;
    while (rounded < capacity) {
        rounded *= 2;
    }
    std::string name = "message queue " + label;
    m_state = std::make_shared<State>(rounded, std::move(label), std::move(deliver));
    m_thread = platform::host_clock::startParticipant(std::move(name), [state = m_state] { state->run(); });
}

MessageQueue::~MessageQueue()
{
    stop();
    if (onDeliveryThread()) {
        m_thread.detach(); // the thread finishes the current delivery and ends on its own
    } else {
        m_thread.join();
    }
}

bool MessageQueue::push(UInt32 type, const void* argument, vm_size_t argSize, OSObject* object, OSObject* target)
{
    if (argSize > kIOMessageArgumentMaximum || (argSize > 0 && argument == nullptr) ||
        m_state->stopping.load(std::memory_order_acquire)) {
        return false;
    }
    return m_state->push(type, argument, argSize, object, target);
}

uint64_t MessageQueue::dropped() const
{
    return m_state->dropped.load(std::memory_order_relaxed);
}

void MessageQueue::stop()
{
    m_state->stopping.store(true, std::memory_order_seq_cst);
    m_state->wakeConsumer();
}

} // namespace platform::iokit::detail
