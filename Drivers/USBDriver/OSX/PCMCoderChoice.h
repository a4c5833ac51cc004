// Which PCM coder, input post-processor and output mixer a configured device gets. The device core
// asks once per configuration (and again when a routing setting or a channel count changes) and
// hands the result to the streaming engine; nothing here runs on the real-time path.
#pragma once

#include "PCMCoder.h"
#include "QzAqExtData.h"

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

// The decoder follows the input resolution, or the output resolution when there is no input.
// Null for a resolution without a coder and for the maker's bulk devices at 24 bits.
PCMDecoder choosePCMDecoder(const PCMDeviceFacts& device, const PCMStreamFormat& input,
                            const PCMStreamFormat& output);

// Null for a resolution without a coder and for the maker's bulk devices with 8 or 16 channels at
// 24 bits. The US-144 routing encoders (by RoutingOut0, RoutingOut1) are chosen only for
// 4-channel output.
PCMEncoder choosePCMEncoder(const PCMDeviceFacts& device, const PCMStreamFormat& output,
                            const QzAqExtData& settings);

// By the device, RoutingIn0..2 and DigitalLock. Empty when no rule matches, so a member chosen
// for an earlier configuration never outlives it; a member is chosen only when the input has the
// frame width it was written for.
InputPostProcessor chooseInputPostProcessor(const PCMDeviceFacts& device, uint32_t inputChannels,
                                            const QzAqExtData& settings);

// By output channel count: 2, 4 or 6, else none.
OutMixer chooseOutMixer(uint32_t outputChannels);
