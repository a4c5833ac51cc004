// A named mutex that knows which thread owns it, and its scoped locker. Lock() taken again by
// the owner does nothing and says so, which lets a locker nest inside code that already holds
// the mutex. Waiting for it counts as blocked for simulated time (platform/HostClock.h), so it
// may be held across a sleep.
//
// Thread safety: every call may be made from any thread; Unlock only by the owner.
#pragma once

#include <atomic>
#include <pthread.h>

#include "platform/HostClock.h"

class CAMutex
{
public:
    explicit CAMutex(const char* name);
    virtual ~CAMutex();
    CAMutex(const CAMutex&) = delete;
    CAMutex& operator=(const CAMutex&) = delete;

    // True when this call took the mutex; false when the caller already owned it.
    virtual bool Lock();
    virtual void Unlock();
    // True when the mutex is the caller's after the call; `acquired`: this call took it.
    virtual bool Try(bool& acquired);

    const char* GetName() const { return mName; }
    bool IsFree() const;
    bool IsOwnedByCurrentThread() const;

    // Holds the mutex for its lifetime, unless the thread held it already.
    class Locker
    {
    public:
        explicit Locker(CAMutex& mutex) : mMutex(mutex), mNeedsRelease(mutex.Lock()) {}
        explicit Locker(CAMutex* mutex) : Locker(*mutex) {}
        ~Locker()
        {
            if (mNeedsRelease) {
                mMutex.Unlock();
            }
        }
        Locker(const Locker&) = delete;
        Locker& operator=(const Locker&) = delete;

    private:
        CAMutex& mMutex;
        bool mNeedsRelease;
    };

    // Releases a mutex the thread holds for its lifetime, and takes it again after.
    class Unlocker
    {
    public:
        explicit Unlocker(CAMutex& mutex);
        ~Unlocker();
        Unlocker(const Unlocker&) = delete;
        Unlocker& operator=(const Unlocker&) = delete;

    private:
        CAMutex& mMutex;
        bool mNeedsLock;
    };

private:
    const char* mName;
    platform::host_clock::Mutex mMutex;
    std::atomic<pthread_t> mOwner{};
    std::atomic<bool> mOwned{false};
};
