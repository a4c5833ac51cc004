// Multi-byte fields of records that cross the kernel boundary or come off the bus. They are stored
// as little-endian bytes and read and written explicitly, so a record can sit at any address and
// means the same on every host.
#pragma once

#include <cstdint>

struct LE16
{
    uint8_t bytes[2];

    constexpr operator uint16_t() const { return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8)); }
    constexpr LE16& operator=(uint16_t value)
    {
        bytes[0] = static_cast<uint8_t>(value);
        bytes[1] = static_cast<uint8_t>(value >> 8);
        return *this;
    }
};

struct LE32
{
    uint8_t bytes[4];

    constexpr operator uint32_t() const
    {
        return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
               (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
    }
    constexpr LE32& operator=(uint32_t value)
    {
        bytes[0] = static_cast<uint8_t>(value);
        bytes[1] = static_cast<uint8_t>(value >> 8);
        bytes[2] = static_cast<uint8_t>(value >> 16);
        bytes[3] = static_cast<uint8_t>(value >> 24);
        return *this;
    }
};

static_assert(sizeof(LE16) == 2 && alignof(LE16) == 1);
static_assert(sizeof(LE32) == 4 && alignof(LE32) == 1);
