// The user side of one connection to a kernel device's audio user client: opens it, announces
// the process, learns the client identifier, maps the device shared block and carries the audio
// request protocol, one 268-byte OSXDispatch record per request, synchronously.
//
// Each request is filled, sent and read in a record of the caller's own, and the requests of one
// connection run one at a time: the IO thread's attach, the run loop's notifications and the
// host's property calls never see each other's arguments or replies.
//
// Threads: construction, open and close on the main run loop; callDriver from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "DriverSM.h"
#include "IOKit/IOKitLib.h"
#include "OSXDispatch.h"

// The identifier the kernel gives a connection (request 27); 0 = none.
struct QzClientID
{
    uint64_t value = 0;
    void set(uint64_t v) { value = v; }
};

class DriverConnection
{
public:
    static constexpr uint32_t kNotAttached = 0xFFFFFFFF;

    // User-client types: the audio client and the audio server plug-in's client, whose request
    // method is selector 6 instead of 0.
    static constexpr uint32_t kAudioClientType = 0;
    static constexpr uint32_t kAudioServerClientType = 3;

    explicit DriverConnection(io_service_t service, uint32_t type = kAudioClientType);
    virtual ~DriverConnection();
    DriverConnection(const DriverConnection&) = delete;
    DriverConnection& operator=(const DriverConnection&) = delete;

    bool ioOpenConnection();
    void ioCloseConnection();
    bool ioIsOpen() const { return m_connection != 0; }
    io_service_t ioGetService() const { return m_service; }
    io_connect_t connection() const { return m_connection; }

    // Sends `request` with `record` (its code set here); the reply lands in `record`. False on a
    // closed connection (record untouched) or a failed request (record as the kernel left it).
    bool callDriver(uint32_t request, OSXDispatch& record);
    // A record with the code and payload word 0 set, everything else zero.
    static OSXDispatch makeRecord(uint32_t word0 = 0);
    // Payload word n of a reply (the value a request answers is word 0), n < 65.
    static uint32_t replyWord(const OSXDispatch& record, uint32_t n = 0);
    // Attach (request 2) with `frames` as the IO buffer size and `processID` in payload word 0.
    bool callAttach(uint32_t frames, uint32_t processID);
    bool callDetach();

    uint64_t clientID() const { return m_clientID.load(std::memory_order_acquire); }
    uint32_t attachedSlot() const { return m_attachedSlot.load(std::memory_order_acquire); }
    DriverSM* driverSM() const { return m_pDriverSM; }

protected:
    DriverSM* m_pDriverSM = nullptr;

private:
    void nameSourcelessGroups();

    std::mutex m_requestLock; // one request of this connection at a time
    std::atomic<uint64_t> m_clientID{0};
    io_connect_t m_connection = 0;
    io_service_t m_service;
    uint32_t m_type;
    std::atomic<uint32_t> m_attachedSlot{kNotAttached};
};
