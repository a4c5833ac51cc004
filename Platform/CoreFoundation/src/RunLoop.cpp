// Run loops, sources, timers and file-descriptor sources.
#include <algorithm>
#include <cmath>
#include <ctime>
#include <deque>
#include <mutex>
#include <poll.h>
#include <set>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "CoreFoundation/CFArray.h"
#include "CoreFoundation/CFRunLoop.h"
#include "Object.h"
#include "platform/HostClock.h"

namespace platform::cf {

namespace {

// One lock for the bookkeeping of every loop, source and timer: which item is in which loop,
// signals, queued blocks and stop requests. Callbacks and waits happen without it.
std::mutex& bookkeeping()
{
    static auto* m = new std::mutex();
    return *m;
}

using ModeSet = std::set<std::string>;
const std::string kCommon = "kCFRunLoopCommonModes";

std::string modeName(CFTypeRef mode)
{
    const auto* s = as<String>(mode);
    return s == nullptr ? "kCFRunLoopDefaultMode" : s->utf8();
}

bool inMode(const ModeSet& modes, const std::string& mode)
{
    return modes.count(mode) != 0 || modes.count(kCommon) != 0;
}

// Seconds between the host clock's zero and 1 January 2001.
double absoluteTimeOffset()
{
    static const double offset = [] {
        timespec real{};
        timespec monotonic{};
        clock_gettime(CLOCK_REALTIME, &real);
        clock_gettime(CLOCK_MONOTONIC, &monotonic);
        const double difference = static_cast<double>(real.tv_sec - monotonic.tv_sec) +
                                  static_cast<double>(real.tv_nsec - monotonic.tv_nsec) * 1e-9;
        return difference - 978307200.0;
    }();
    return offset;
}

uint64_t hostTimeOf(CFAbsoluteTime time)
{
    const double seconds = time - absoluteTimeOffset();
    if (!(seconds > 0)) {
        return 0;
    }
    if (seconds >= 1.8e10) {
        return UINT64_MAX;
    }
    return static_cast<uint64_t>(seconds * 1e9);
}

bool isMainThread()
{
    return ::syscall(SYS_gettid) == ::getpid();
}

} // namespace

class FileDescriptor;

class RunLoopSource final : public Object
{
public:
    static constexpr CFTypeID kTypeID = kCFTypeIDRunLoopSource;
    RunLoopSource(CFIndex order, const CFRunLoopSourceContext& context, FileDescriptor* fd);
    ~RunLoopSource() override;

    CFIndex order;
    CFRunLoopSourceContext context{};
    FileDescriptor* fd;          // owned reference, or null for a signalled source
    bool signalled = false;      // guarded by bookkeeping()
    bool valid = true;           // guarded by bookkeeping()
    std::vector<RunLoop*> loops; // guarded by bookkeeping(); one entry per loop
};

class RunLoopTimer final : public Object
{
public:
    static constexpr CFTypeID kTypeID = kCFTypeIDRunLoopTimer;
    RunLoopTimer(CFAbsoluteTime fire, CFTimeInterval every, CFRunLoopTimerCallBack call,
                 const CFRunLoopTimerContext* ctx)
        : Object(kTypeID), fireDate(fire), interval(every), callout(call)
    {
        if (ctx != nullptr) {
            context = *ctx;
        }
        if (context.retain != nullptr && context.info != nullptr) {
            context.retain(context.info);
        }
    }
    ~RunLoopTimer() override
    {
        if (context.release != nullptr && context.info != nullptr) {
            context.release(context.info);
        }
    }

    CFAbsoluteTime fireDate; // guarded by bookkeeping()
    CFTimeInterval interval;
    CFRunLoopTimerCallBack callout;
    CFRunLoopTimerContext context{};
    bool valid = true;           // guarded by bookkeeping()
    std::vector<RunLoop*> loops; // guarded by bookkeeping()
};

class FileDescriptor final : public Object
{
public:
    static constexpr CFTypeID kTypeID = kCFTypeIDFileDescriptor;
    FileDescriptor(int descriptor, bool closeIt, CFFileDescriptorCallBack call,
                   const CFFileDescriptorContext* ctx)
        : Object(kTypeID), fd(descriptor), closeOnInvalidate(closeIt), callout(call)
    {
        if (ctx != nullptr) {
            context = *ctx;
        }
        if (context.retain != nullptr && context.info != nullptr) {
            context.retain(context.info);
        }
    }
    ~FileDescriptor() override;

    int fd;
    bool closeOnInvalidate;
    CFFileDescriptorCallBack callout;
    CFFileDescriptorContext context{};
    CFOptionFlags enabled = 0;       // guarded by bookkeeping()
    bool valid = true;               // guarded by bookkeeping()
    RunLoopSource* source = nullptr; // guarded by bookkeeping(); not owned
};

class RunLoop final : public Object
{
public:
    static constexpr CFTypeID kTypeID = kCFTypeIDRunLoop;
    RunLoop() : Object(kTypeID), wakeFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~RunLoop() override;

    void wake() const
    {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wakeFd, &one, sizeof one);
    }
    void drainWake() const
    {
        uint64_t count = 0;
        [[maybe_unused]] const ssize_t n = ::read(wakeFd, &count, sizeof count);
    }
    SInt32 run(const std::string& mode, CFTimeInterval seconds, bool returnAfterSourceHandled);

    struct SourceEntry
    {
        RunLoopSource* source; // owned reference
        ModeSet modes;
    };
    struct TimerEntry
    {
        RunLoopTimer* timer; // owned reference
        ModeSet modes;
    };
    struct Block
    {
        ModeSet modes;
        std::function<void()> work;
    };

    const int wakeFd;
    // All guarded by bookkeeping().
    std::vector<SourceEntry> sources;
    std::vector<TimerEntry> timers;
    std::deque<Block> blocks;
    std::vector<std::string> runningModes; // innermost last
    bool stopRequested = false;
    bool waiting = false;

private:
    struct Pass;
    Pass collectLocked(const std::string& mode, uint64_t now);
    static void fireTimers(const std::vector<RunLoopTimer*>& due, uint64_t now);
    static bool performSources(const std::vector<RunLoopSource*>& signalled);
    // Waits for a wake-up, a watched descriptor or `waitUntil`, then calls the descriptors'
    // callouts; true when one ran.
    bool waitAndServiceDescriptors(const std::string& mode, uint64_t waitUntil);
    int poll(std::vector<pollfd>& fds, uint64_t waitUntil);
};

namespace {

template <class Entry, class Item> Entry* findEntry(std::vector<Entry>& list, Item* item)
{
    for (auto& e : list) {
        if constexpr (std::is_same_v<Entry, RunLoop::SourceEntry>) {
            if (e.source == item) {
                return &e;
            }
        } else {
            if (e.timer == item) {
                return &e;
            }
        }
    }
    return nullptr;
}

void wakeLoopsLocked(const std::vector<RunLoop*>& loops)
{
    for (RunLoop* loop : loops) {
        loop->wake();
    }
}

// Removes a source from a loop entirely; returns the reference the loop held (to be released
// and cancelled outside the lock), or null.
RunLoopSource* detachSourceLocked(RunLoop& loop, RunLoopSource* source)
{
    auto it = std::find_if(loop.sources.begin(), loop.sources.end(),
                           [&](const RunLoop::SourceEntry& e) { return e.source == source; });
    if (it == loop.sources.end()) {
        return nullptr;
    }
    loop.sources.erase(it);
    source->loops.erase(std::remove(source->loops.begin(), source->loops.end(), &loop), source->loops.end());
    return source;
}

RunLoopTimer* detachTimerLocked(RunLoop& loop, RunLoopTimer* timer)
{
    auto it = std::find_if(loop.timers.begin(), loop.timers.end(),
                           [&](const RunLoop::TimerEntry& e) { return e.timer == timer; });
    if (it == loop.timers.end()) {
        return nullptr;
    }
    loop.timers.erase(it);
    timer->loops.erase(std::remove(timer->loops.begin(), timer->loops.end(), &loop), timer->loops.end());
    return timer;
}

void cancel(RunLoopSource* source, RunLoop* loop, const std::string& mode)
{
    if (source->context.cancel != nullptr) {
        CFStringRef m = createString(mode);
        source->context.cancel(source->context.info, loop, m);
        CFRelease(m);
    }
}

RunLoop*& mainLoopSlot()
{
    static RunLoop* loop = nullptr; // guarded by bookkeeping(); never freed
    return loop;
}

RunLoop* mainLoop()
{
    std::lock_guard lock(bookkeeping());
    RunLoop*& slot = mainLoopSlot();
    if (slot == nullptr) {
        slot = new RunLoop();
        slot->makeImmortal();
    }
    return slot;
}

// The loop of a thread other than the main one, released when the thread ends.
struct ThreadLoop
{
    RunLoop* loop = nullptr;
    ~ThreadLoop()
    {
        if (loop != nullptr) {
            loop->release();
        }
    }
};

} // namespace

RunLoopSource::RunLoopSource(CFIndex sourceOrder, const CFRunLoopSourceContext& ctx,
                             FileDescriptor* descriptor)
    : Object(kTypeID), order(sourceOrder), context(ctx), fd(descriptor)
{
    if (context.retain != nullptr && context.info != nullptr) {
        context.retain(context.info);
    }
    if (fd != nullptr) {
        fd->retain();
    }
}

RunLoopSource::~RunLoopSource()
{
    if (fd != nullptr) {
        {
            std::lock_guard lock(bookkeeping());
            if (fd->source == this) {
                fd->source = nullptr;
            }
        }
        fd->release();
    }
    if (context.release != nullptr && context.info != nullptr) {
        context.release(context.info);
    }
}

FileDescriptor::~FileDescriptor()
{
    if (valid && closeOnInvalidate) {
        ::close(fd);
    }
    if (context.release != nullptr && context.info != nullptr) {
        context.release(context.info);
    }
}

RunLoop::~RunLoop()
{
    std::vector<RunLoopSource*> ownedSources;
    std::vector<RunLoopTimer*> ownedTimers;
    {
        std::lock_guard lock(bookkeeping());
        while (!sources.empty()) {
            ownedSources.push_back(detachSourceLocked(*this, sources.back().source));
        }
        while (!timers.empty()) {
            ownedTimers.push_back(detachTimerLocked(*this, timers.back().timer));
        }
    }
    for (auto* s : ownedSources) {
        s->release();
    }
    for (auto* t : ownedTimers) {
        t->release();
    }
    ::close(wakeFd);
}

// What one pass of a loop found to do, taken out under the lock; every item is retained.
struct RunLoop::Pass
{
    std::vector<std::function<void()>> blocks;
    std::vector<RunLoopTimer*> dueTimers;
    std::vector<RunLoopSource*> signalled;
    uint64_t nextTimer = UINT64_MAX;
    bool anything = false; // the mode has a source or a timer to wait for
};

RunLoop::Pass RunLoop::collectLocked(const std::string& mode, uint64_t now)
{
    Pass pass;
    for (auto it = blocks.begin(); it != blocks.end();) {
        if (inMode(it->modes, mode)) {
            pass.blocks.push_back(std::move(it->work));
            it = blocks.erase(it);
        } else {
            ++it;
        }
    }
    for (auto& e : timers) {
        if (!inMode(e.modes, mode)) {
            continue;
        }
        pass.anything = true;
        const uint64_t due = hostTimeOf(e.timer->fireDate);
        if (due <= now) {
            e.timer->retain();
            pass.dueTimers.push_back(e.timer);
        } else {
            pass.nextTimer = std::min(pass.nextTimer, due);
        }
    }
    for (auto& e : sources) {
        if (!inMode(e.modes, mode)) {
            continue;
        }
        pass.anything = true;
        if (e.source->signalled && e.source->fd == nullptr) {
            e.source->signalled = false;
            e.source->retain();
            pass.signalled.push_back(e.source);
        }
    }
    std::sort(pass.signalled.begin(), pass.signalled.end(),
              [](const RunLoopSource* a, const RunLoopSource* b) { return a->order < b->order; });
    return pass;
}

void RunLoop::fireTimers(const std::vector<RunLoopTimer*>& due, uint64_t now)
{
    for (RunLoopTimer* t : due) {
        bool fire = false;
        {
            std::lock_guard lock(bookkeeping());
            fire = t->valid && hostTimeOf(t->fireDate) <= now;
            if (fire && t->interval > 0) {
                // Keep the rhythm; skip firings that were missed.
                const double current = static_cast<double>(now) * 1e-9 + absoluteTimeOffset();
                double next = t->fireDate + t->interval;
                if (next <= current) {
                    next += std::ceil((current - next) / t->interval + 1e-9) * t->interval;
                }
                t->fireDate = next;
            }
        }
        if (fire && t->interval <= 0) {
            CFRunLoopTimerInvalidate(t);
        }
        if (fire && t->callout != nullptr) {
            t->callout(t, t->context.info);
        }
        t->release();
    }
}

bool RunLoop::performSources(const std::vector<RunLoopSource*>& signalled)
{
    bool handled = false;
    for (RunLoopSource* s : signalled) {
        bool perform = false;
        {
            std::lock_guard lock(bookkeeping());
            perform = s->valid;
        }
        if (perform && s->context.perform != nullptr) {
            s->context.perform(s->context.info);
            handled = true;
        }
        s->release();
    }
    return handled;
}

bool RunLoop::waitAndServiceDescriptors(const std::string& mode, uint64_t waitUntil)
{
    std::vector<pollfd> fds{{wakeFd, POLLIN, 0}};
    std::vector<FileDescriptor*> watched;
    {
        std::lock_guard lock(bookkeeping());
        if (stopRequested) {
            return false;
        }
        for (auto& e : sources) {
            FileDescriptor* f = e.source->fd;
            if (f == nullptr || !inMode(e.modes, mode) || !f->valid || f->enabled == 0) {
                continue;
            }
            short events = 0;
            events |= (f->enabled & kCFFileDescriptorReadCallBack) != 0 ? POLLIN : 0;
            events |= (f->enabled & kCFFileDescriptorWriteCallBack) != 0 ? POLLOUT : 0;
            fds.push_back({f->fd, events, 0});
            f->retain();
            watched.push_back(f);
        }
        // Signalled or handed work while the last pass ran: look again at once.
        for (auto& e : sources) {
            if (e.source->signalled && inMode(e.modes, mode)) {
                waitUntil = 0;
            }
        }
        for (auto& b : blocks) {
            if (inMode(b.modes, mode)) {
                waitUntil = 0;
            }
        }
        waiting = true;
    }
    const int ready = poll(fds, waitUntil);
    {
        std::lock_guard lock(bookkeeping());
        waiting = false;
    }
    if (ready > 0 && (fds[0].revents & POLLIN) != 0) {
        drainWake();
    }
    bool handled = false;
    for (size_t i = 0; i < watched.size(); ++i) {
        FileDescriptor* f = watched[i];
        const short revents = ready > 0 ? fds[i + 1].revents : 0;
        CFOptionFlags fired = 0;
        if (revents != 0) {
            std::lock_guard lock(bookkeeping());
            if (f->valid) {
                if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                    fired |= f->enabled & kCFFileDescriptorReadCallBack;
                }
                if ((revents & (POLLOUT | POLLERR)) != 0) {
                    fired |= f->enabled & kCFFileDescriptorWriteCallBack;
                }
                f->enabled &= ~fired; // one event per enable
            }
        }
        if (fired != 0 && f->callout != nullptr) {
            f->callout(f, fired, f->context.info);
            handled = true;
        }
        f->release();
    }
    return handled;
}

int RunLoop::poll(std::vector<pollfd>& fds, uint64_t waitUntil)
{
    if (!host_clock::virtual_clock::enabled()) {
        const uint64_t now = host_clock::now();
        int timeout = -1;
        if (waitUntil != UINT64_MAX) {
            timeout = waitUntil <= now ? 0
                                       : static_cast<int>(std::min<uint64_t>(
                                             (waitUntil - now + 999'999) / 1'000'000, INT32_MAX));
        }
        return ::poll(fds.data(), fds.size(), timeout);
    }
    // Virtual time moves only when a test advances it: the clock wakes the loop at its deadline.
    // What is ready already is taken without counting the loop blocked even for a moment.
    host_clock::Alarm alarm(waitUntil, [](void* loop) { static_cast<const RunLoop*>(loop)->wake(); }, this);
    const int now = ::poll(fds.data(), fds.size(), 0);
    if (now != 0 || !alarm.armed()) {
        if (alarm.armed() && !alarm.cancel() && host_clock::isParticipant()) {
            host_clock::withdrawCredit(); // it fired meanwhile and counted the loop busy again
        }
        return now;
    }
    host_clock::blocking("run loop");
    const int ready = ::poll(fds.data(), fds.size(), -1);
    if (alarm.cancel()) {
        host_clock::resumed();
    } else {
        host_clock::markRunning();
    }
    return ready;
}

SInt32 RunLoop::run(const std::string& mode, CFTimeInterval seconds, bool returnAfterSourceHandled)
{
    const uint64_t start = host_clock::now();
    uint64_t deadline = start;
    if (seconds > 0) {
        deadline = seconds >= 1.8e10 ? UINT64_MAX : start + static_cast<uint64_t>(seconds * 1e9);
    }
    {
        std::lock_guard lock(bookkeeping());
        runningModes.push_back(mode);
    }
    auto finish = [&](SInt32 result) {
        std::lock_guard lock(bookkeeping());
        if (result == kCFRunLoopRunTimedOut && stopRequested) {
            result = kCFRunLoopRunStopped;
        }
        if (result == kCFRunLoopRunStopped) {
            stopRequested = false;
        }
        runningModes.pop_back();
        return result;
    };
    for (;;) {
        const uint64_t now = host_clock::now();
        Pass pass;
        {
            std::lock_guard lock(bookkeeping());
            if (stopRequested) {
                stopRequested = false;
                runningModes.pop_back();
                return kCFRunLoopRunStopped;
            }
            pass = collectLocked(mode, now);
        }
        if (!pass.anything && pass.blocks.empty()) {
            return finish(kCFRunLoopRunFinished);
        }
        for (auto& block : pass.blocks) {
            block();
        }
        fireTimers(pass.dueTimers, now);
        bool handled = performSources(pass.signalled);
        if (handled && returnAfterSourceHandled) {
            return finish(kCFRunLoopRunHandledSource);
        }
        const bool didWork = !pass.blocks.empty() || !pass.dueTimers.empty() || !pass.signalled.empty();
        // What ran may have made more work due: then look once more before sleeping.
        handled = waitAndServiceDescriptors(mode, didWork ? 0 : std::min(deadline, pass.nextTimer));
        if (handled && returnAfterSourceHandled) {
            return finish(kCFRunLoopRunHandledSource);
        }
        if (host_clock::now() >= deadline) {
            return finish(kCFRunLoopRunTimedOut);
        }
    }
}

} // namespace platform::cf

using namespace platform::cf;

const CFRunLoopMode kCFRunLoopDefaultMode = CFSTR("kCFRunLoopDefaultMode");
const CFRunLoopMode kCFRunLoopCommonModes = CFSTR("kCFRunLoopCommonModes");

CFAbsoluteTime CFAbsoluteTimeGetCurrent()
{
    return static_cast<double>(platform::host_clock::now()) * 1e-9 + absoluteTimeOffset();
}

CFTypeID CFRunLoopGetTypeID()
{
    return RunLoop::kTypeID;
}

CFRunLoopRef CFRunLoopGetMain()
{
    return mainLoop();
}

CFRunLoopRef CFRunLoopGetCurrent()
{
    if (isMainThread()) {
        return mainLoop();
    }
    thread_local ThreadLoop threadLoop;
    if (threadLoop.loop == nullptr) {
        threadLoop.loop = new RunLoop();
    }
    return threadLoop.loop;
}

void CFRunLoopRun()
{
    SInt32 result;
    do {
        result = CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1.0e10, false);
    } while (result != kCFRunLoopRunStopped && result != kCFRunLoopRunFinished);
}

SInt32 CFRunLoopRunInMode(CFRunLoopMode mode, CFTimeInterval seconds, Boolean returnAfterSourceHandled)
{
    return CFRunLoopGetCurrent()->run(modeName(mode), seconds, returnAfterSourceHandled);
}

void CFRunLoopStop(CFRunLoopRef loop)
{
    if (auto* l = asMutable<RunLoop>(loop)) {
        {
            std::lock_guard lock(bookkeeping());
            l->stopRequested = true;
        }
        l->wake();
    }
}

void CFRunLoopWakeUp(CFRunLoopRef loop)
{
    if (const auto* l = as<RunLoop>(loop)) {
        l->wake();
    }
}

Boolean CFRunLoopIsWaiting(CFRunLoopRef loop)
{
    const auto* l = as<RunLoop>(loop);
    std::lock_guard lock(bookkeeping());
    return l != nullptr && l->waiting;
}

CFStringRef CFRunLoopCopyCurrentMode(CFRunLoopRef loop)
{
    const auto* l = as<RunLoop>(loop);
    std::string mode;
    {
        std::lock_guard lock(bookkeeping());
        if (l == nullptr || l->runningModes.empty()) {
            return nullptr;
        }
        mode = l->runningModes.back();
    }
    return createString(mode);
}

void CFRunLoopPerformBlock(CFRunLoopRef loop, CFTypeRef mode, std::function<void()> block)
{
    auto* l = asMutable<RunLoop>(loop);
    if (l == nullptr || !block) {
        return;
    }
    ModeSet modes;
    if (const auto* list = as<Array>(mode)) {
        for (const void* m : list->values()) {
            modes.insert(modeName(m));
        }
    } else {
        modes.insert(modeName(mode));
    }
    {
        std::lock_guard lock(bookkeeping());
        l->blocks.push_back({std::move(modes), std::move(block)});
    }
    l->wake();
}

// Sources

CFTypeID CFRunLoopSourceGetTypeID()
{
    return RunLoopSource::kTypeID;
}

CFRunLoopSourceRef CFRunLoopSourceCreate(CFAllocatorRef, CFIndex order, CFRunLoopSourceContext* context)
{
    if (context == nullptr || context->version != 0) {
        return nullptr;
    }
    return new RunLoopSource(order, *context, nullptr);
}

void CFRunLoopSourceSignal(CFRunLoopSourceRef source)
{
    auto* s = asMutable<RunLoopSource>(source);
    if (s == nullptr) {
        return;
    }
    std::lock_guard lock(bookkeeping());
    if (s->valid) {
        s->signalled = true;
        wakeLoopsLocked(s->loops);
    }
}

void CFRunLoopSourceInvalidate(CFRunLoopSourceRef source)
{
    auto* s = asMutable<RunLoopSource>(source);
    if (s == nullptr) {
        return;
    }
    std::vector<std::pair<RunLoop*, ModeSet>> removed;
    {
        std::lock_guard lock(bookkeeping());
        s->valid = false;
        for (RunLoop* loop : std::vector<RunLoop*>(s->loops)) {
            auto* e = findEntry(loop->sources, s);
            removed.emplace_back(loop, e->modes);
            detachSourceLocked(*loop, s);
            loop->wake();
        }
    }
    for (auto& [loop, modes] : removed) {
        for (const auto& m : modes) {
            cancel(s, loop, m);
        }
        s->release();
    }
    if (s->fd != nullptr) {
        CFFileDescriptorInvalidate(s->fd);
    }
}

Boolean CFRunLoopSourceIsValid(CFRunLoopSourceRef source)
{
    const auto* s = as<RunLoopSource>(source);
    std::lock_guard lock(bookkeeping());
    return s != nullptr && s->valid;
}

void CFRunLoopAddSource(CFRunLoopRef loop, CFRunLoopSourceRef source, CFRunLoopMode mode)
{
    auto* l = asMutable<RunLoop>(loop);
    auto* s = asMutable<RunLoopSource>(source);
    if (l == nullptr || s == nullptr) {
        return;
    }
    const std::string name = modeName(mode);
    {
        std::lock_guard lock(bookkeeping());
        if (!s->valid) {
            return;
        }
        auto* e = findEntry(l->sources, s);
        if (e != nullptr) {
            if (!e->modes.insert(name).second) {
                return;
            }
        } else {
            s->retain();
            l->sources.push_back({s, {name}});
            s->loops.push_back(l);
        }
    }
    if (s->context.schedule != nullptr) {
        s->context.schedule(s->context.info, l, mode);
    }
    l->wake();
}

void CFRunLoopRemoveSource(CFRunLoopRef loop, CFRunLoopSourceRef source, CFRunLoopMode mode)
{
    auto* l = asMutable<RunLoop>(loop);
    auto* s = asMutable<RunLoopSource>(source);
    if (l == nullptr || s == nullptr) {
        return;
    }
    const std::string name = modeName(mode);
    RunLoopSource* released = nullptr;
    {
        std::lock_guard lock(bookkeeping());
        auto* e = findEntry(l->sources, s);
        if (e == nullptr || e->modes.erase(name) == 0) {
            return;
        }
        if (e->modes.empty()) {
            released = detachSourceLocked(*l, s);
        }
    }
    cancel(s, l, name);
    if (released != nullptr) {
        released->release();
    }
}

Boolean CFRunLoopContainsSource(CFRunLoopRef loop, CFRunLoopSourceRef source, CFRunLoopMode mode)
{
    auto* l = asMutable<RunLoop>(loop);
    auto* s = asMutable<RunLoopSource>(source);
    if (l == nullptr || s == nullptr) {
        return false;
    }
    std::lock_guard lock(bookkeeping());
    const auto* e = findEntry(l->sources, s);
    return e != nullptr && inMode(e->modes, modeName(mode));
}

// Timers

CFTypeID CFRunLoopTimerGetTypeID()
{
    return RunLoopTimer::kTypeID;
}

CFRunLoopTimerRef CFRunLoopTimerCreate(CFAllocatorRef, CFAbsoluteTime fireDate, CFTimeInterval interval,
                                       CFOptionFlags, CFIndex, CFRunLoopTimerCallBack callout,
                                       CFRunLoopTimerContext* context)
{
    return new RunLoopTimer(fireDate, interval, callout, context);
}

void CFRunLoopAddTimer(CFRunLoopRef loop, CFRunLoopTimerRef timer, CFRunLoopMode mode)
{
    auto* l = asMutable<RunLoop>(loop);
    auto* t = asMutable<RunLoopTimer>(timer);
    if (l == nullptr || t == nullptr) {
        return;
    }
    {
        std::lock_guard lock(bookkeeping());
        if (!t->valid) {
            return;
        }
        auto* e = findEntry(l->timers, t);
        if (e != nullptr) {
            e->modes.insert(modeName(mode));
        } else {
            t->retain();
            l->timers.push_back({t, {modeName(mode)}});
            t->loops.push_back(l);
        }
    }
    l->wake();
}

void CFRunLoopRemoveTimer(CFRunLoopRef loop, CFRunLoopTimerRef timer, CFRunLoopMode mode)
{
    auto* l = asMutable<RunLoop>(loop);
    auto* t = asMutable<RunLoopTimer>(timer);
    if (l == nullptr || t == nullptr) {
        return;
    }
    RunLoopTimer* released = nullptr;
    {
        std::lock_guard lock(bookkeeping());
        auto* e = findEntry(l->timers, t);
        if (e == nullptr || e->modes.erase(modeName(mode)) == 0) {
            return;
        }
        if (e->modes.empty()) {
            released = detachTimerLocked(*l, t);
        }
    }
    if (released != nullptr) {
        released->release();
    }
}

Boolean CFRunLoopContainsTimer(CFRunLoopRef loop, CFRunLoopTimerRef timer, CFRunLoopMode mode)
{
    auto* l = asMutable<RunLoop>(loop);
    auto* t = asMutable<RunLoopTimer>(timer);
    if (l == nullptr || t == nullptr) {
        return false;
    }
    std::lock_guard lock(bookkeeping());
    const auto* e = findEntry(l->timers, t);
    return e != nullptr && inMode(e->modes, modeName(mode));
}

void CFRunLoopTimerInvalidate(CFRunLoopTimerRef timer)
{
    auto* t = asMutable<RunLoopTimer>(timer);
    if (t == nullptr) {
        return;
    }
    std::vector<RunLoopTimer*> released;
    {
        std::lock_guard lock(bookkeeping());
        t->valid = false;
        for (RunLoop* loop : std::vector<RunLoop*>(t->loops)) {
            released.push_back(detachTimerLocked(*loop, t));
        }
    }
    for (auto* r : released) {
        r->release();
    }
}

Boolean CFRunLoopTimerIsValid(CFRunLoopTimerRef timer)
{
    const auto* t = as<RunLoopTimer>(timer);
    std::lock_guard lock(bookkeeping());
    return t != nullptr && t->valid;
}

CFAbsoluteTime CFRunLoopTimerGetNextFireDate(CFRunLoopTimerRef timer)
{
    const auto* t = as<RunLoopTimer>(timer);
    std::lock_guard lock(bookkeeping());
    return t == nullptr ? 0 : t->fireDate;
}

void CFRunLoopTimerSetNextFireDate(CFRunLoopTimerRef timer, CFAbsoluteTime fireDate)
{
    auto* t = asMutable<RunLoopTimer>(timer);
    if (t == nullptr) {
        return;
    }
    std::lock_guard lock(bookkeeping());
    t->fireDate = fireDate;
    wakeLoopsLocked(t->loops);
}

CFTimeInterval CFRunLoopTimerGetInterval(CFRunLoopTimerRef timer)
{
    const auto* t = as<RunLoopTimer>(timer);
    return t == nullptr ? 0 : t->interval;
}

// File descriptors

CFTypeID CFFileDescriptorGetTypeID()
{
    return FileDescriptor::kTypeID;
}

CFFileDescriptorRef CFFileDescriptorCreate(CFAllocatorRef, CFFileDescriptorNativeDescriptor fd,
                                           Boolean closeOnInvalidate, CFFileDescriptorCallBack callout,
                                           const CFFileDescriptorContext* context)
{
    if (fd < 0) {
        return nullptr;
    }
    return new FileDescriptor(fd, closeOnInvalidate, callout, context);
}

CFFileDescriptorNativeDescriptor CFFileDescriptorGetNativeDescriptor(CFFileDescriptorRef f)
{
    const auto* d = as<FileDescriptor>(f);
    return d == nullptr ? -1 : d->fd;
}

void CFFileDescriptorEnableCallBacks(CFFileDescriptorRef f, CFOptionFlags callBackTypes)
{
    auto* d = asMutable<FileDescriptor>(f);
    if (d == nullptr) {
        return;
    }
    std::lock_guard lock(bookkeeping());
    d->enabled |= callBackTypes & (kCFFileDescriptorReadCallBack | kCFFileDescriptorWriteCallBack);
    if (d->source != nullptr) {
        wakeLoopsLocked(d->source->loops);
    }
}

void CFFileDescriptorDisableCallBacks(CFFileDescriptorRef f, CFOptionFlags callBackTypes)
{
    auto* d = asMutable<FileDescriptor>(f);
    if (d == nullptr) {
        return;
    }
    std::lock_guard lock(bookkeeping());
    d->enabled &= ~callBackTypes;
}

void CFFileDescriptorInvalidate(CFFileDescriptorRef f)
{
    auto* d = asMutable<FileDescriptor>(f);
    if (d == nullptr) {
        return;
    }
    RunLoopSource* source = nullptr;
    {
        std::lock_guard lock(bookkeeping());
        if (!d->valid) {
            return;
        }
        d->valid = false;
        d->enabled = 0;
        if (d->source != nullptr && d->source->tryRetain()) {
            source = d->source;
        }
    }
    if (source != nullptr) {
        CFRunLoopSourceInvalidate(source);
        source->release();
    }
    if (d->closeOnInvalidate) {
        ::close(d->fd);
    }
}

Boolean CFFileDescriptorIsValid(CFFileDescriptorRef f)
{
    const auto* d = as<FileDescriptor>(f);
    std::lock_guard lock(bookkeeping());
    return d != nullptr && d->valid;
}

CFRunLoopSourceRef CFFileDescriptorCreateRunLoopSource(CFAllocatorRef, CFFileDescriptorRef f, CFIndex order)
{
    auto* d = asMutable<FileDescriptor>(f);
    if (d == nullptr) {
        return nullptr;
    }
    auto* source = new RunLoopSource(order, CFRunLoopSourceContext{}, d);
    std::lock_guard lock(bookkeeping());
    d->source = source;
    return source;
}
