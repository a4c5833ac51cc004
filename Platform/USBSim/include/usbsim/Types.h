// Wire-level vocabulary of the simulated bus: status codes (the IOReturn values the USB family
// reports), the setup packet, the isochronous frame record and the completion records.
#pragma once

#include <cstddef>
#include <cstdint>

namespace usbsim {

// IOReturn values as the USB family reports them.
using Status = int;

constexpr Status statusFromCode(uint32_t code)
{
    return static_cast<Status>(code);
}

inline constexpr Status kSuccess = 0;
inline constexpr Status kError = statusFromCode(0xE00002BC);
inline constexpr Status kNoMemory = statusFromCode(0xE00002BD);
inline constexpr Status kNoResources = statusFromCode(0xE00002BE);
inline constexpr Status kNoDevice = statusFromCode(0xE00002C0);
inline constexpr Status kBadArgument = statusFromCode(0xE00002C2);
inline constexpr Status kExclusiveAccess = statusFromCode(0xE00002C5);
inline constexpr Status kUnsupported = statusFromCode(0xE00002C7);
inline constexpr Status kNotOpen = statusFromCode(0xE00002CD);
inline constexpr Status kBusy = statusFromCode(0xE00002D5);
inline constexpr Status kUnderrun = statusFromCode(0xE00002E7);
inline constexpr Status kOverrun = statusFromCode(0xE00002E8);
inline constexpr Status kDeviceError = statusFromCode(0xE00002E9);
inline constexpr Status kAborted = statusFromCode(0xE00002EB);
inline constexpr Status kNoBandwidth = statusFromCode(0xE00002EC);
inline constexpr Status kNotResponding = statusFromCode(0xE00002ED);
inline constexpr Status kIsoTooOld = statusFromCode(0xE00002EE);
inline constexpr Status kIsoTooNew = statusFromCode(0xE00002EF);
inline constexpr Status kPipeStalled = statusFromCode(0xE000404F);
inline constexpr Status kTransactionTimeout = statusFromCode(0xE0004051);

// Readable name of a status, for logs and test failures.
const char* statusName(Status status);

enum class Speed : uint8_t
{
    low = 0,
    full = 1,
    high = 2,
    super = 3,
};

enum class TransferType : uint8_t
{
    control = 0,
    isochronous = 1,
    bulk = 2,
    interrupt = 3,
};

enum class Direction : uint8_t
{
    out = 0,
    in = 1,
};

// The 8-byte setup stage of a control transfer, fields as the wire names them.
struct SetupPacket
{
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;

    bool isIn() const { return (bmRequestType & 0x80) != 0; }
    uint8_t type() const { return bmRequestType & 0x60; }      // 0 standard, 0x20 class, 0x40 vendor
    uint8_t recipient() const { return bmRequestType & 0x1F; } // 0 device, 1 interface, 2 endpoint, 3 other
};

inline constexpr uint8_t kRequestTypeStandard = 0x00;
inline constexpr uint8_t kRequestTypeClass = 0x20;
inline constexpr uint8_t kRequestTypeVendor = 0x40;

// Standard requests.
inline constexpr uint8_t kGetStatus = 0;
inline constexpr uint8_t kClearFeature = 1;
inline constexpr uint8_t kSetFeature = 3;
inline constexpr uint8_t kGetDescriptor = 6;
inline constexpr uint8_t kGetConfiguration = 8;
inline constexpr uint8_t kSetConfiguration = 9;
inline constexpr uint8_t kGetInterface = 10;
inline constexpr uint8_t kSetInterface = 11;
inline constexpr uint16_t kFeatureEndpointHalt = 0;

// One record of a low-latency isochronous frame list, laid out as the USB family defines it.
struct IsocFrame
{
    Status frStatus;
    uint16_t frReqCount;
    uint16_t frActCount;
    uint64_t frTimeStamp; // host time of the end of the frame (or microframe) that carried it
};
static_assert(sizeof(IsocFrame) == 16);
static_assert(offsetof(IsocFrame, frReqCount) == 4);
static_assert(offsetof(IsocFrame, frActCount) == 6);
static_assert(offsetof(IsocFrame, frTimeStamp) == 8);

// Completion of a bulk or interrupt transfer: action(target, parameter, status, bytes not transferred).
struct Completion
{
    using Action = void (*)(void* target, void* parameter, Status status, uint32_t bufferSizeRemaining);
    void* target = nullptr;
    Action action = nullptr;
    void* parameter = nullptr;
};

// Completion of an isochronous transfer: action(target, parameter, status, the caller's frame list).
struct IsocCompletion
{
    using Action = void (*)(void* target, void* parameter, Status status, IsocFrame* frames);
    void* target = nullptr;
    Action action = nullptr;
    void* parameter = nullptr;
};

// Bus timing.
inline constexpr uint64_t kFrameNanoseconds = 1'000'000;
inline constexpr uint64_t kMicroframeNanoseconds = 125'000;
inline constexpr uint32_t kMicroframesPerFrame = 8;

} // namespace usbsim
