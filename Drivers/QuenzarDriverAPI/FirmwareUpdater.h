// The firmware-updater flag. While an updater program runs, no device may be opened for streaming;
// the updater announces itself with a System V shared-memory segment of a fixed key that holds a
// fixed marker, which any process can test without talking to the updater. No deliverable of this
// system sets the flag; the device starts test it.
//
// Thread safety: the calls share the process-wide _OSShmID and are made from one thread at a time.
#pragma once

#include <sys/types.h>

#include <cstdint>

// "fwup" read as a big-endian number.
constexpr key_t kFwUpdaterShmKey = 0x66777570;
constexpr uint32_t kFwUpdaterMarker = 0xE21C;

// The segment this process registered; -1 while it holds none.
extern int32_t _OSShmID;

// Updater side: creates or opens the segment and writes the marker; true when the marker was
// written. The segment stays attached to the process.
bool fwupdateRegister(key_t key = kFwUpdaterShmKey);

// Updater side: removes the segment registered in _OSShmID.
void fwupdateUnRegister();

// True only when the segment exists, can be attached and holds the marker. Any failure reads as
// "no updater", so a broken or foreign segment never blocks a device.
bool fwUpdaterActive(key_t key = kFwUpdaterShmKey);
