// Builders of raw descriptor bytes for the descriptor model's tests and fuzz seeds: each returns
// one descriptor as it lies on the wire (little-endian).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace descriptor_bytes {

using Bytes = std::vector<uint8_t>;

inline Bytes join(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// Configuration header; wTotalLength as given (the model does not trust it).
inline Bytes configuration(uint8_t numInterfaces, uint8_t value = 1, uint16_t totalLength = 0)
{
    return {9, 2, static_cast<uint8_t>(totalLength), static_cast<uint8_t>(totalLength >> 8), numInterfaces, value, 0,
            0x80, 50};
}

inline Bytes interface(uint8_t number, uint8_t alternate, uint8_t numEndpoints, uint8_t cls, uint8_t subclass)
{
    return {9, 4, number, alternate, numEndpoints, cls, subclass, 0, 0};
}

// A 9-byte audio endpoint (or 7 bytes with `length` 7).
inline Bytes endpoint(uint8_t address, uint8_t attributes, uint16_t maxPacket, uint8_t interval, uint8_t length = 9)
{
    Bytes e = {length, 5, address, attributes, static_cast<uint8_t>(maxPacket), static_cast<uint8_t>(maxPacket >> 8),
               interval};
    if (length == 9) {
        e.push_back(0);
        e.push_back(0);
    }
    return e;
}

// Class-specific endpoint: EP_GENERAL with bmAttributes, bLockDelayUnits, wLockDelay.
inline Bytes classEndpoint(uint8_t attributes, uint8_t length = 7)
{
    // Built byte by byte: GCC 12 at -O3 reports a false out-of-bounds move when a vector made from
    // a list is resized.
    const uint8_t fields[] = {length, 0x25, 1, attributes, 2, 0x34, 0x12};
    Bytes e;
    for (uint8_t i = 0; i < length; ++i) {
        e.push_back(i < sizeof fields ? fields[i] : 0xEE);
    }
    return e;
}

// Format type I with discrete rates.
inline Bytes formatTypeI(uint8_t channels, uint8_t bits, std::initializer_list<uint32_t> rates)
{
    Bytes f = {static_cast<uint8_t>(8 + 3 * rates.size()),
               0x24,
               2,
               1,
               channels,
               static_cast<uint8_t>((bits + 7) / 8),
               bits,
               static_cast<uint8_t>(rates.size())};
    for (uint32_t rate : rates) {
        f.push_back(static_cast<uint8_t>(rate));
        f.push_back(static_cast<uint8_t>(rate >> 8));
        f.push_back(static_cast<uint8_t>(rate >> 16));
    }
    return f;
}

inline Bytes formatContinuous(uint8_t channels, uint8_t bits, uint32_t lower, uint32_t upper)
{
    return {14,
            0x24,
            2,
            1,
            channels,
            static_cast<uint8_t>((bits + 7) / 8),
            bits,
            0,
            static_cast<uint8_t>(lower),
            static_cast<uint8_t>(lower >> 8),
            static_cast<uint8_t>(lower >> 16),
            static_cast<uint8_t>(upper),
            static_cast<uint8_t>(upper >> 8),
            static_cast<uint8_t>(upper >> 16)};
}

// AS_GENERAL (not a format descriptor).
inline Bytes streamingGeneral()
{
    return {7, 0x24, 1, 1, 1, 1, 0};
}

// An audio-control class descriptor of `length` bytes.
inline Bytes controlPart(uint8_t length, uint8_t subtype = 1)
{
    Bytes c(length, 0xAC);
    c[0] = length;
    c[1] = 0x24;
    if (length > 2) {
        c[2] = subtype;
    }
    return c;
}

inline Bytes hid()
{
    return {9, 0x21, 0x11, 0x01, 0, 1, 0x22, 0x40, 0x00};
}

// An audio-streaming interface number with a zero-bandwidth alternate 0 and one alternate with
// one isochronous data endpoint carrying the given format.
inline Bytes streamingInterface(uint8_t number, uint8_t address, uint16_t maxPacket, uint8_t channels, uint8_t bits,
                                std::initializer_list<uint32_t> rates, uint8_t alternate = 1)
{
    return join({interface(number, 0, 0, 1, 2), interface(number, alternate, 1, 1, 2), streamingGeneral(),
                 formatTypeI(channels, bits, rates), endpoint(address, 0x05, maxPacket, 1), classEndpoint(1)});
}

} // namespace descriptor_bytes
