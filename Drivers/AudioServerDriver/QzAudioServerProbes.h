// The plug-in's static probe points (provider QzAudioServer): seven probes with fixed argument
// types. A probe site computes and passes its arguments only while the probe is enabled; with
// nothing enabled a site costs one relaxed load. A test (or a tracing tool built into a host)
// enables probes and receives each firing on the firing thread, which may be the IO thread: the
// receiver must not block.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>

namespace QzAudioServer {

enum class Probe : int
{
    zeroTimeStampMonitor,   // 4 x u64
    inputMonitor,           // 6 x int
    inputOverloadMonitor,   // 5 x u64
    outputMonitor,          // 6 x int, u64, int
    latencyMonitor,         // 2 x u64
    driftCorrectionMonitor, // 7 x u64
    lrMonitor,              // 8 x u64
};
constexpr int kProbeCount = 7;

// One firing: the arguments in order, each widened to 64 bits (ints sign-extended).
struct Firing
{
    Probe probe;
    int count;
    int64_t arguments[8];
};

using Receiver = void (*)(const Firing& firing, void* context);

namespace detail {
extern std::atomic<bool> gEnabled[kProbeCount];
void fire(Probe probe, int count, const int64_t* arguments);
} // namespace detail

inline bool enabled(Probe probe)
{
    return detail::gEnabled[static_cast<int>(probe)].load(std::memory_order_relaxed);
}

// Sets the receiver (null: none) and enables the probes in `mask` (bit n: probe n); set-up only.
void setReceiver(Receiver receiver, void* context, unsigned mask);

// A probe argument widened to 64 bits; a floating value by truncation, saturating where it does
// not fit and 0 for no number, so that the narrowing to the probe's type wraps as integers do
// (a negative double converted straight to an unsigned type is undefined).
template <class T> constexpr int64_t wide(T value)
{
    if constexpr (std::is_floating_point_v<T>) {
        if (!(value == value)) {
            return 0;
        }
        if (value >= 9.2e18) {
            return std::numeric_limits<int64_t>::max();
        }
        if (value <= -9.2e18) {
            return std::numeric_limits<int64_t>::min();
        }
    }
    return static_cast<int64_t>(value);
}
template <class T> constexpr uint64_t asU64(T value)
{
    return static_cast<uint64_t>(wide(value));
}
template <class T> constexpr int asInt(T value)
{
    return static_cast<int>(wide(value));
}

template <class... Arguments> inline void fire(Probe probe, Arguments... arguments)
{
    const int64_t values[] = {static_cast<int64_t>(arguments)...};
    detail::fire(probe, static_cast<int>(sizeof...(Arguments)), values);
}

} // namespace QzAudioServer

// The probe sites, in the provider's terms: test _ENABLED() first, then fire with the arguments.
#define QZAUDIOSERVER_ZEROTIMESTAMPMONITOR_ENABLED()                                                         \
    QzAudioServer::enabled(QzAudioServer::Probe::zeroTimeStampMonitor)
#define QZAUDIOSERVER_ZEROTIMESTAMPMONITOR(a0, a1, a2, a3)                                                   \
    QzAudioServer::fire(QzAudioServer::Probe::zeroTimeStampMonitor, QzAudioServer::asU64(a0),                \
                        QzAudioServer::asU64(a1), QzAudioServer::asU64(a2), QzAudioServer::asU64(a3))
#define QZAUDIOSERVER_INPUTMONITOR_ENABLED() QzAudioServer::enabled(QzAudioServer::Probe::inputMonitor)
#define QZAUDIOSERVER_INPUTMONITOR(a0, a1, a2, a3, a4, a5)                                                   \
    QzAudioServer::fire(QzAudioServer::Probe::inputMonitor, QzAudioServer::asInt(a0),                        \
                        QzAudioServer::asInt(a1), QzAudioServer::asInt(a2), QzAudioServer::asInt(a3),        \
                        QzAudioServer::asInt(a4), QzAudioServer::asInt(a5))
#define QZAUDIOSERVER_INPUTOVERLOADMONITOR_ENABLED()                                                         \
    QzAudioServer::enabled(QzAudioServer::Probe::inputOverloadMonitor)
#define QZAUDIOSERVER_INPUTOVERLOADMONITOR(a0, a1, a2, a3, a4)                                               \
    QzAudioServer::fire(QzAudioServer::Probe::inputOverloadMonitor, QzAudioServer::asU64(a0),                \
                        QzAudioServer::asU64(a1), QzAudioServer::asU64(a2), QzAudioServer::asU64(a3),        \
                        QzAudioServer::asU64(a4))
#define QZAUDIOSERVER_OUTPUTMONITOR_ENABLED() QzAudioServer::enabled(QzAudioServer::Probe::outputMonitor)
#define QZAUDIOSERVER_OUTPUTMONITOR(a0, a1, a2, a3, a4, a5, a6, a7)                                          \
    QzAudioServer::fire(QzAudioServer::Probe::outputMonitor, QzAudioServer::asInt(a0),                       \
                        QzAudioServer::asInt(a1), QzAudioServer::asInt(a2), QzAudioServer::asInt(a3),        \
                        QzAudioServer::asInt(a4), QzAudioServer::asInt(a5), QzAudioServer::asU64(a6),        \
                        QzAudioServer::asInt(a7))
#define QZAUDIOSERVER_LATENCYMONITOR_ENABLED() QzAudioServer::enabled(QzAudioServer::Probe::latencyMonitor)
#define QZAUDIOSERVER_LATENCYMONITOR(a0, a1)                                                                 \
    QzAudioServer::fire(QzAudioServer::Probe::latencyMonitor, QzAudioServer::asU64(a0),                      \
                        QzAudioServer::asU64(a1))
#define QZAUDIOSERVER_DRIFTCORRECTIONMONITOR_ENABLED()                                                       \
    QzAudioServer::enabled(QzAudioServer::Probe::driftCorrectionMonitor)
#define QZAUDIOSERVER_DRIFTCORRECTIONMONITOR(a0, a1, a2, a3, a4, a5, a6)                                     \
    QzAudioServer::fire(QzAudioServer::Probe::driftCorrectionMonitor, QzAudioServer::asU64(a0),              \
                        QzAudioServer::asU64(a1), QzAudioServer::asU64(a2), QzAudioServer::asU64(a3),        \
                        QzAudioServer::asU64(a4), QzAudioServer::asU64(a5), QzAudioServer::asU64(a6))
#define QZAUDIOSERVER_LRMONITOR_ENABLED() QzAudioServer::enabled(QzAudioServer::Probe::lrMonitor)
#define QZAUDIOSERVER_LRMONITOR(a0, a1, a2, a3, a4, a5, a6, a7)                                              \
    QzAudioServer::fire(QzAudioServer::Probe::lrMonitor, QzAudioServer::asU64(a0), QzAudioServer::asU64(a1), \
                        QzAudioServer::asU64(a2), QzAudioServer::asU64(a3), QzAudioServer::asU64(a4),        \
                        QzAudioServer::asU64(a5), QzAudioServer::asU64(a6), QzAudioServer::asU64(a7))
