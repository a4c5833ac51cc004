// The audio request protocol: every audio request of user space is one fixed 268-byte record,
// OSXDispatch, sent through the structure method of an audio user client (selector 0 of
// AudioUserClient, selector 6 of ASClient). The kernel answers in the same record.
//
// Trust: the record comes from a user process. Every index, length, count and setting in it is
// checked against the record it indexes before use; a refused request changes nothing.
//
// Thread safety: OSXDispatchRequest and OSXStopUSBStream run on the caller's thread with the
// device's dispatch lock held (UserDispatchLock), so the requests of all clients of one device run
// one after the other.
#pragma once

#include <cstddef>
#include <cstdint>

#include "DriverSM.h"
#include "VKDeviceCommands.h"
#include "IOKit/IOReturn.h"
#include "libkern/OSTypes.h"

class IOUserClient;
class VKKernelDevice;
class DriverData;
struct AudioSM;

constexpr uint32_t kOSXDispatchSize = 268;
constexpr uint32_t kOSXDispatchPayloadSize = 260;

// One request and its reply, host byte order.
struct OSXDispatch
{
    uint32_t iReq;     // request code; in the reply of request 4 the number of bytes returned
    uint32_t argument; // request 2: the client's IO buffer size in frames
    uint8_t payload[kOSXDispatchPayloadSize];

    // Payload word n (the u32 at payload offset 4n), n < 65.
    uint32_t word(uint32_t n) const;
    void setWord(uint32_t n, uint32_t value);
};
static_assert(sizeof(OSXDispatch) == kOSXDispatchSize);
static_assert(offsetof(OSXDispatch, payload) == 8);

// The payload of request 13 (a USB control request on behalf of the client), at record offset 8.
constexpr uint32_t kVendorRequestDataSize = 128;
struct OSXVendorRequest
{
    uint8_t data[kVendorRequestDataSize]; // OUT data in the request, IN data in the reply
    uint32_t length;                      // in: buffer length; reply: bytes transferred
    uint32_t valueIndex;                  // wValue in the low 16 bits, wIndex in the high 16 bits
    uint32_t direction;                   // 0 host to device, 0x80 device to host
    uint32_t type;                        // 0 standard, 0x20 class, 0x40 vendor
    uint32_t recipient;                   // 0 device, 1 interface, 2 endpoint
    uint8_t bRequest;
};
static_assert(offsetof(OSXVendorRequest, length) == 128);
static_assert(offsetof(OSXVendorRequest, bRequest) == 148);
static_assert(sizeof(OSXVendorRequest) <= kOSXDispatchPayloadSize);

// The payload of request 35: a device command (VKDeviceCommands.h).
static_assert(sizeof(QZ_Dispatch) == kOSXDispatchPayloadSize);

// Request codes.
enum : uint32_t
{
    Req_ConfigureDevice = 1,
    Req_AttachClient = 2,
    Req_DetachClient = 3,
    Req_GetDeviceInfoBlock = 4,
    Req_PrepareNewConfigRegular = 6,
    Req_PrepareNewConfigAnonymous = 7,
    Req_UpdateMuteStatus = 10,
    Req_UpdateMonitorStatus = 11,
    Req_UpdateVolumeStatus = 12,
    Req_stdOrVendorRequest = 13,
    Req_GetAllocatedBandWidth = 15,
    Req_GetFreeBandWidth = 16,
    Req_GetCanMonitor = 17,
    Req_GetMonitorValue = 18,
    Req_UpdateDataSourceSelector = 19,
    Req_SetHALVersion = 24,
    Req_GetHALVersion = 25,
    Req_GetUSBVersion = 26,
    Req_getDriverClientID = 27,
    Req_GetNumHubs = 28,
    Req_getConfigStatus = 29,
    Req_ConnectClient = 30,
    Req_HandleStreamBroken1 = 31,
    Req_HandleStreamBroken2 = 32,
    Req_GetChangeFlags = 33,
    Req_ReEnumerateDevice = 34,
    Req_DispatchStreaming = 35,
    Req_GetRoutingValue = 36,
    Req_SetRouting = 37,
    Req_SetMixerMode = 38,
    Req_GetMixerValues = 39,
    Req_SetMixerValues = 40,
    Req_GetTimeStamps = 41,
    Req_GetStreamingStarted = 42,
    Req_SystemSleep = 43,
    Req_SystemWakeUp = 44,
    Req_OpenAsyncVendorInterface = 45,
    Req_CloseAsyncVendorInterface = 46,
    Req_AbortAsyncVendorInterface = 47,
    Req_VendorAsync_Trigger_Out = 48,
    Req_VendorAsync_Trigger_In = 49,
};

// Request 4 pages the device description in 256-byte pages.
constexpr uint32_t kDeviceInfoPageSize = 256;

// Which user client sends the request: the two answer some requests differently.
enum class OSXDispatcher : uint8_t
{
    Audio,       // AudioUserClient (connection type 0)
    AudioServer, // ASClient (connection type 3)
};

// What a request needs of the user client that sends it. The user client fills it from its own
// kernel members (never from shared memory) for every call.
struct OSXDispatchCaller
{
    OSXDispatcher dispatcher = OSXDispatcher::Audio;
    // The caller: its identity in the client table (requests 2 and 3) and the client that requests
    // 6, 10, 11, 12, 19, 35, 37 and 45 to 49 act for.
    IOUserClient* client = nullptr;
    // The caller's identifier (request 27, state changes 11 and 12): VKClientIdentifier(client)
    // (DriverData.h), the value the client table and the shared block's client records hold.
    UInt64 clientID = 0;
    // The caller's client table, retained by the caller (null when it has none).
    DriverData* driverData = nullptr;
    // The caller's output ring (memory type 5, kernel address of the client's own block) and the
    // block's size in bytes: null / 0 until asked for. Request 2 lays it out for the current stream.
    AudioSM* outputRing = nullptr;
    uint64_t outputRingSize = 0;
    // Where request 30 stores the caller's process id (null: not stored).
    int32_t* processID = nullptr;
};

// Runs one request on `device` for `caller`: `record` holds the request and receives the reply
// (the caller copies the input structure into its reply record first). Answers the request's
// status: kIOReturnNotAttached without the device or its VKDevice; an unrecognised request (or
// one the dispatcher does not offer) answers kIOReturnBadArgument from the audio client and 0
// from the AudioServer client. The caller holds UserDispatchLock.
IOReturn OSXDispatchRequest(VKKernelDevice* device, const OSXDispatchCaller& caller, OSXDispatch& record);

// Request 3's detach (also run when a client closes): detaches the caller from the client table
// and announces state change 12 when it was attached. kIOReturnNoDevice without the table,
// kIOReturnNotAttached when the caller was not attached. The caller holds UserDispatchLock.
IOReturn OSXStopUSBStream(VKKernelDevice* device, const OSXDispatchCaller& caller);
