// Which PCM coder, input post-processor and output mixer a configured device gets. The device core
// asks once per configuration (and again when a routing setting or a channel count changes) and
// hands the result to the streaming engine; nothing here runs on the real-time path.
#pragma once

#include "PCMCoder.h"

#include <cstdint>

// What the choice depends on besides the stream formats.
struct PCMDeviceFacts
{
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    bool highSpeed = false;       // the device runs at USB 2 speed
    bool makerBulkDevice = false; // the maker's bulk-streaming family (its input is bit-plane)
    bool outputRouting = false;   // the feature record's rerouting-output-encoder flag (US-144)
};

struct PCMStreamFormat
{
    uint32_t resolution = 0; // bits per sample: 16, 20, 24 or 32
    uint32_t channels = 0;
};

// The device's routing settings and digital-input state (from its extension settings).
struct PCMRouting
{
    uint32_t routingIn[3] = {0, 1, 2}; // device pair (0..2) that feeds host pair 1..3
    uint32_t routingOut[2] = {0, 1};   // host pair (0..1) that feeds device pair 1..2
    bool digitalLock = false;
};

// The decoder follows the input resolution, or the output resolution when there is no input.
// Null for a resolution without a coder and for the maker's bulk devices at 24 bits.
PCMDecoder choosePCMDecoder(const PCMDeviceFacts& device, const PCMStreamFormat& input,
                            const PCMStreamFormat& output);

// Null for a resolution without a coder and for the maker's bulk devices with 8 or 16 channels at
// 24 bits. The US-144 routing encoders are chosen only for 4-channel output.
PCMEncoder choosePCMEncoder(const PCMDeviceFacts& device, const PCMStreamFormat& output,
                            const PCMRouting& routing);

// Empty when no rule matches, so a member chosen for an earlier configuration never outlives it.
// A member is chosen only when the input has the frame width it was written for.
InputPostProcessor chooseInputPostProcessor(const PCMDeviceFacts& device, uint32_t inputChannels,
                                            const PCMRouting& routing);

// By output channel count: 2, 4 or 6, else none.
OutMixer chooseOutMixer(uint32_t outputChannels);
