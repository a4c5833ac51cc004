// The real-time mark: a thread-local flag a driver sets around code that must take no lock,
// allocate nothing, wait on nothing and log nothing (its service cycle, its USB completions). The
// stand-ins' blocking, allocating and logging calls ask `check` first; under the mark a call is a
// violation: counted always, and in strict mode (every test program, and any process started with
// VK_REALTIME_STRICT=1 in its environment) the process aborts with a message naming the call.
//
// A stand-in for a service the system offers to real-time code (submitting or aborting a USB
// transfer from its completion) runs its own work inside a Lifted scope: what it does inside is
// the system's business, not the caller's.
//
// Thread safety: everything from any thread; setHandler and setStrict before the threads they
// concern start.
#pragma once

#include <cstdint>

namespace platform::realtime {

// True while the calling thread runs under the mark (and no Lifted scope).
bool marked();

// Marks the calling thread for the scope's life; scopes nest.
class Section
{
public:
    Section();
    ~Section();
    Section(const Section&) = delete;
    Section& operator=(const Section&) = delete;
};

// Lifts the mark for the scope's life (a system service doing its own work); scopes nest.
class Lifted
{
public:
    Lifted();
    ~Lifted();
    Lifted(const Lifted&) = delete;
    Lifted& operator=(const Lifted&) = delete;

private:
    uint32_t m_depth;
};

// Called by a stand-in before it locks, allocates, waits or logs: a violation under the mark.
// `call` names the call (a string literal).
void check(const char* call);

// Violations since the process started (strict or not).
uint64_t violations();
// The call of the latest violation; null before the first.
const char* lastViolation();

// What a violation does besides being counted. Null: the default (abort in strict mode). The
// handler runs on the violating thread, under the mark lifted; returns the previous handler.
using Handler = void (*)(const char* call);
Handler setHandler(Handler handler);
// Strict mode on or off for this process; true when it was on.
bool setStrict(bool strict);
bool strict();

} // namespace platform::realtime
