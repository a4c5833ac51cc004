// State changes: the kernel tells user space of a change with a general-interest message of the
// VKKernelDevice service (type kQzStateChangeMessage) carrying one QZ_StateChange record. Every
// process that registered interest in the service gets it; a process that does not listen loses
// it. The registry properties of the service that requests write beside them are set here too.
//
// Thread safety: a message is posted from the thread that causes the change (request, completion,
// real-time or power thread) and never waits for a listener.
#pragma once

#include <cstddef>
#include <cstdint>

#include "libkern/OSTypes.h"

class IOService;

constexpr UInt32 kQzStateChangeMessage = 0xE0000130;

#pragma pack(push, 4)
struct QZ_StateChange
{
    uint32_t size; // always 36
    uint32_t code;
    uint32_t parameter1;
    uint64_t clientID; // the client that caused the change (request 27's value), 0 for all
    uint32_t parameter2;
    uint8_t reserved[12];
};
#pragma pack(pop)
static_assert(sizeof(QZ_StateChange) == 36);
static_assert(offsetof(QZ_StateChange, code) == 4);
static_assert(offsetof(QZ_StateChange, parameter1) == 8);
static_assert(offsetof(QZ_StateChange, clientID) == 12);
static_assert(offsetof(QZ_StateChange, parameter2) == 20);

// State-change codes.
enum : uint32_t
{
    STC_STREAM_BROKEN = 2,
    STC_NewConfig = 3,
    STC_ChangeVolume = 6,
    STC_ChangeMute = 7,
    STC_ChangeMonitor = 8,
    STC_ChangeWolfson = 9,
    STC_ChangeDataSource = 10,
    STC_ClientAttached = 11,
    STC_ClientDetached = 12,
    STC_STREAM_AT_POWER_ON = 13,
    STC_Configured = 14,
    STC_FirmwareUpdateMode = 16,
    STC_HOGMODECHANGED = 32,
    STC_MixerValuesChanged = 48,
    STC_DigiOutModeChanged = 49,
    STC_SampleCkSrcChanged = 50,
    STC_MixerModeChanged = 51,
    STC_INITCOMPLETE = 52,
    STC_SystemWillSleep = 54,
    STC_WokenUp = 0x10000,
    STC_ElektronChannelMap = 0x20000,
    STC_ElektronDeviceName = 0x20001,
    STC_ElektronCommand = 0x20002,
};

// The record of one state change.
QZ_StateChange makeStateChange(uint32_t code, uint64_t clientID, uint32_t parameter1, uint32_t parameter2);

// Registry properties the mixer requests write: "MixerMode" (32-bit), "MixerValues" and
// "MixerKnob" (16-bit).
void setMixerModeProperty(IOService& service, uint32_t mode);
void setMixerValuesProperties(IOService& service, uint16_t bitmap, uint16_t knob);
