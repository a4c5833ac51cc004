// A named serial dispatch queue, and the process's global serial queue on which deferred work of
// the audio-server plug-in runs (object destruction, configuration-change requests, property
// announcements). Work runs one item at a time, first in first out, on the queue's own thread.
//
// Thread safety: every call may be made from any thread.
#pragma once

#include <dispatch/dispatch.h>

class CADispatchQueue
{
public:
    explicit CADispatchQueue(const char* name);
    ~CADispatchQueue();
    CADispatchQueue(const CADispatchQueue&) = delete;
    CADispatchQueue& operator=(const CADispatchQueue&) = delete;

    // Runs the block on the queue: at once and waiting for it when `sync`, else later.
    void Dispatch(bool sync, dispatch_block_t block) const;
    void Dispatch(dispatch_block_t block) const { Dispatch(false, static_cast<dispatch_block_t&&>(block)); }
    void DispatchAfter(uint64_t nanoseconds, dispatch_block_t block) const;

    dispatch_queue_t GetDispatchQueue() const { return mQueue; }

    // The process's global serial queue; never destroyed.
    static CADispatchQueue& GetGlobalSerialQueue();

private:
    struct Global
    {
    };
    CADispatchQueue(Global, dispatch_queue_t queue);

    dispatch_queue_t mQueue;
    bool mOwned;
};
