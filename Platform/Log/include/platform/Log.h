// The system's three log channels: the kernel log (IOLog), the system log (syslog) and standard
// output (the diagnostic prints of the shared library). Every channel can be captured line by
// line by a test, or sent to a file by a host program.
//
// Thread safety: writing a line may happen on any thread: it never locks, allocates or waits (a
// background drainer moves lines on; when it falls more than 1,024 lines behind, further lines are
// dropped and counted). Only lines longer than 1,000 characters take a lock. Code under the
// real-time mark (platform/RealTime.h) logs nothing all the same: a line written there is a
// violation. Capture, flush and setDestination are for ordinary threads.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

// Kernel log line, printf-style.
void IOLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

namespace platform {

// System log with a syslog priority (1 alert, 3 error, 4 warning, 5 notice, ...).
void syslog(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));
void vsyslog(int priority, const char* format, va_list args) __attribute__((format(printf, 2, 0)));

// Standard output, printf-style.
void printOut(const char* format, ...) __attribute__((format(printf, 1, 2)));

namespace log {

enum class Channel
{
    kernel,
    system,
    standardOutput,
};

// Syslog priorities the system uses.
constexpr int kPriorityAlert = 1;
constexpr int kPriorityError = 3;
constexpr int kPriorityWarning = 4;
constexpr int kPriorityNotice = 5;

void vwrite(Channel channel, int priority, const char* format, va_list args)
    __attribute__((format(printf, 3, 0)));

// Moves every line written so far on to its channel (captures read after it see them).
void flush();

// A gate the kernel lines written on one thread pass first: a server running a driver call for a
// peer sets the peer's, so that what the peer makes the driver write counts against the peer.
// admit() runs on the writing thread, before the line is formatted; false drops the line. It may
// write lines of its own (they pass no gate).
class KernelLineGate
{
public:
    virtual bool admit() = 0;

protected:
    ~KernelLineGate() = default;
};

// Sets the calling thread's gate (null: none) while it lives, then the one before.
class KernelLineGateScope
{
public:
    explicit KernelLineGateScope(KernelLineGate* gate);
    ~KernelLineGateScope();
    KernelLineGateScope(const KernelLineGateScope&) = delete;
    KernelLineGateScope& operator=(const KernelLineGateScope&) = delete;

private:
    KernelLineGate* m_previous;
};

// Where a channel's lines go when no capture is active: a stream the caller keeps open, or null
// for nowhere. Defaults: kernel and system to stderr, standard output to stdout.
void setDestination(Channel channel, FILE* stream);

struct Line
{
    int priority;     // syslog priority; 0 on the kernel and standard-output channels
    std::string text; // without the line end
};

// Collects the complete lines written to one channel while it lives, instead of sending them to
// the destination. On the kernel log and standard output, text written without a line end is held
// until the line ends; every system-log call is a message of its own.
class Capture
{
public:
    explicit Capture(Channel channel);
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    std::vector<Line> lines() const;
    std::vector<std::string> texts() const;
    // True when some captured line contains `fragment`.
    bool contains(const std::string& fragment) const;
    void clear();

private:
    Channel m_channel;
};

} // namespace log
} // namespace platform
