// MIDI pacing and the USB MIDI device of raw-MIDI family devices.
//
// USBMidiPattern: the bytes one MIDI output packet may carry, one entry per packet, so that MIDI
// leaves the device no faster than the MIDI wire (3,125 bytes a second); and the 0/1 pattern by
// which the bulk stream gives its packets MIDI slots.
//
// USBMidiDevice: a second MIDI area with the device's identity, started and stopped with
// streaming. It obtains no pipes: the MIDI of these devices travels through the family engine.
//
// Threads: the pattern is set up on request threads and read by its owner's output chain (one
// chain at a time). USBMidiDevice runs on request threads.
#pragma once

#include <cstdint>

#include "SharedMemory.h"

struct DriverSM;
struct MidiSM;

class USBMidiPattern
{
public:
    static constexpr uint32_t kFrameEntries = 256;
    static constexpr uint32_t kBulkEntries = 882;
    static constexpr uint32_t kNS7Bytes = 39;

    USBMidiPattern();

    // The standard pattern (4 bytes at 0, 8, ..., 240, else 3), from its start.
    void init(bool flag);
    // 39 bytes every packet, from its start.
    void initNS7();
    // The bytes the next packet may carry; advances (wrapping after 256).
    uint32_t next() { return mFrame[mPosition++]; }
    uint32_t entry(uint32_t index) const { return mFrame[index % kFrameEntries]; }
    uint8_t position() const { return mPosition; }

    // The bulk 0/1 pattern for `rate` (empty below 25,000 Hz); then checkBulkRate1K.
    void initForBulk(uint32_t rate);
    // Back to the bulk pattern's start; its length × 1000 / its ones (0 when empty).
    uint32_t checkBulkRate1K();
    uint32_t bulkLength() const { return mBulkLength; }
    uint32_t bulkEntry(uint32_t index) const { return index < mBulkLength ? mBulk[index] : 0; }
    // The next bulk entry (0 when empty); advances, wrapping at the length.
    uint32_t nextBulk();

private:
    uint32_t mFrame[kFrameEntries]{};
    uint8_t mPosition = 0;
    uint32_t mBulk[kBulkEntries]{};
    uint32_t mBulkPosition = 0;
    uint32_t mBulkLength = 0;
};

// Copies the identity (ids, names, unique id text) of the device shared block into a MIDI area.
void copyMidiIdentity(MidiSM& area, const DriverSM& sm);

class USBMidiDevice
{
public:
    USBMidiDevice() = default;
    USBMidiDevice(const USBMidiDevice&) = delete;
    USBMidiDevice& operator=(const USBMidiDevice&) = delete;

    // The area with the identity of `sm`; false ("could not allocate Shared memory") without it.
    bool init(bool highSpeed, const DriverSM& sm);
    // No pipes are taken: these find nothing to do.
    void assignPipes() {}
    void configurationDone() {}
    bool initPipes() { return true; }
    void closePipes() {}
    uint32_t getAllocatedBandWidth() const { return 0; }
    void start();
    void stop();
    void term();
    void retain() { ++mRefCount; }
    void release();

    bool started() const { return mStarted != 0; }
    MidiSM* area() const { return mpArea; }

private:
    ~USBMidiDevice() = default;

    uint8_t mHighSpeed = 0;
    uint8_t mRunning = 0;
    uint8_t mStarted = 0;
    uint32_t mRefCount = 1;
    USBMidiPattern mPattern;
    SharedMemory mcArea;
    MidiSM* mpArea = nullptr;
};
