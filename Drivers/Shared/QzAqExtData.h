// The device family's settings beyond the stream format: digital-lock frequency and state, clock
// source, USB 1 mode, digital output mode and selector, input and output routing. The live record
// sits in the device shared block that the kernel maps into user space; the kernel publishes it as
// the registry dictionary "AqExtData" with one number per field, keyed by the field's name.
//
// Thread safety: a plain record; its owner serialises changes.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

static_assert(std::endian::native == std::endian::little, "the shared records are little-endian");

struct QzAqExtData
{
    uint32_t DigitalLockFrequency;
    uint32_t ClockSource;    // 0 or 1 after validate()
    uint32_t USB1Mode;       // 0 or 1 after validate()
    uint32_t DigitalOutMode; // 0 or 1 after validate()
    uint32_t DigitalOutSelector;
    uint32_t RoutingIn0;
    uint32_t RoutingIn1;
    uint32_t RoutingIn2;
    uint32_t RoutingOut0;
    uint32_t RoutingOut1;
    uint8_t DigitalLock;
    uint8_t reserved41[3];

    // Resets the user's choices; the digital-lock frequency and state are the device's and stay.
    void setDefaults();

    // Clock source, USB 1 mode and digital-out mode above 1 become 0. The selector and routing
    // words are checked where they are used.
    void validate();
};

static_assert(sizeof(QzAqExtData) == 44);
static_assert(offsetof(QzAqExtData, ClockSource) == 4);
static_assert(offsetof(QzAqExtData, USB1Mode) == 8);
static_assert(offsetof(QzAqExtData, DigitalOutMode) == 12);
static_assert(offsetof(QzAqExtData, DigitalOutSelector) == 16);
static_assert(offsetof(QzAqExtData, RoutingIn0) == 20);
static_assert(offsetof(QzAqExtData, RoutingIn1) == 24);
static_assert(offsetof(QzAqExtData, RoutingIn2) == 28);
static_assert(offsetof(QzAqExtData, RoutingOut0) == 32);
static_assert(offsetof(QzAqExtData, RoutingOut1) == 36);
static_assert(offsetof(QzAqExtData, DigitalLock) == 40);
