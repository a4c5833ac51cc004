// The PCM coders: one template per direction, instantiated with a sample byte map and a fixed
// reordering of the samples of one group.
#include "PCMCoder.h"

#include "platform/Log.h"

#include <array>
#include <cstddef>
#include <cstring>

namespace {

// Sample byte maps: how the bytes of one host word (H3 = bits 31..24 ... H0 = bits 7..0) travel in
// the device stream. read() gives the host word with the bits below the device sample cleared;
// write() stores the device sample and drops those bits.
struct Little16 // H2, H3
{
    static constexpr uint32_t kBytes = 2;
    static uint32_t read(const uint8_t* s) { return uint32_t(s[0]) << 16 | uint32_t(s[1]) << 24; }
    static void write(uint8_t* d, uint32_t h)
    {
        d[0] = uint8_t(h >> 16);
        d[1] = uint8_t(h >> 24);
    }
};

struct Big16 // H3, H2
{
    static constexpr uint32_t kBytes = 2;
    static uint32_t read(const uint8_t* s) { return uint32_t(s[0]) << 24 | uint32_t(s[1]) << 16; }
    static void write(uint8_t* d, uint32_t h)
    {
        d[0] = uint8_t(h >> 24);
        d[1] = uint8_t(h >> 16);
    }
};

struct Little24 // H1, H2, H3 (also the 20-bit container)
{
    static constexpr uint32_t kBytes = 3;
    static uint32_t read(const uint8_t* s)
    {
        return uint32_t(s[0]) << 8 | uint32_t(s[1]) << 16 | uint32_t(s[2]) << 24;
    }
    static void write(uint8_t* d, uint32_t h)
    {
        d[0] = uint8_t(h >> 8);
        d[1] = uint8_t(h >> 16);
        d[2] = uint8_t(h >> 24);
    }
};

struct Access24 // H3, H1, H2
{
    static constexpr uint32_t kBytes = 3;
    static uint32_t read(const uint8_t* s)
    {
        return uint32_t(s[0]) << 24 | uint32_t(s[1]) << 8 | uint32_t(s[2]) << 16;
    }
    static void write(uint8_t* d, uint32_t h)
    {
        d[0] = uint8_t(h >> 24);
        d[1] = uint8_t(h >> 8);
        d[2] = uint8_t(h >> 16);
    }
};

struct Big24 // H3, H2, H1
{
    static constexpr uint32_t kBytes = 3;
    static uint32_t read(const uint8_t* s)
    {
        return uint32_t(s[0]) << 24 | uint32_t(s[1]) << 16 | uint32_t(s[2]) << 8;
    }
    static void write(uint8_t* d, uint32_t h)
    {
        d[0] = uint8_t(h >> 24);
        d[1] = uint8_t(h >> 16);
        d[2] = uint8_t(h >> 8);
    }
};

struct Little32 // H0, H1, H2, H3
{
    static constexpr uint32_t kBytes = 4;
    static uint32_t read(const uint8_t* s)
    {
        uint32_t h;
        std::memcpy(&h, s, 4);
        return h;
    }
    static void write(uint8_t* d, uint32_t h) { std::memcpy(d, &h, 4); }
};

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "host samples are little-endian words");

// A group of samples converted together and the order of its members: a decoder's host sample k is
// device sample order[k]; an encoder's device slot k is host sample order[k].
template <size_t N> using Order = std::array<uint8_t, N>;

constexpr Order<1> kPlain{0};
constexpr Order<2> kStereo{0, 1};
constexpr Order<2> kStereoSwap{1, 0};
constexpr Order<4> kPairSwap4{2, 3, 0, 1};
constexpr Order<4> kCorlanth4{0, 2, 1, 3};
constexpr Order<6> kCorlanth6{0, 3, 1, 4, 2, 5};
constexpr Order<4> kUS144_00{0, 1, 0, 1};
constexpr Order<4> kUS144_10{2, 3, 0, 1};
constexpr Order<4> kUS144_11{2, 3, 2, 3};

void reportSize(const char* coder, const char* countName, uint32_t expected, uint32_t actual)
{
    if (expected != actual) {
        IOLog("USB: ERROR %s : numExpectedBytes !=  %s %d %d\n", coder, countName, static_cast<int>(expected),
              static_cast<int>(actual));
    }
}

template <class Map, auto order> void decodeGroups(int32_t* dst, const uint8_t* src, uint32_t groups)
{
    constexpr uint32_t kGroup = order.size();
    for (uint32_t g = 0; g < groups; ++g, src += Map::kBytes * kGroup, dst += kGroup) {
        for (uint32_t k = 0; k < kGroup; ++k) {
            dst[k] = static_cast<int32_t>(Map::read(src + order[k] * Map::kBytes));
        }
    }
}

template <class Map, auto order> void encodeGroups(uint8_t* dst, const int* host, uint32_t groups)
{
    constexpr uint32_t kGroup = order.size();
    for (uint32_t g = 0; g < groups; ++g, dst += Map::kBytes * kGroup, host += kGroup) {
        for (uint32_t k = 0; k < kGroup; ++k) {
            Map::write(dst + k * Map::kBytes, static_cast<uint32_t>(host[order[k]]));
        }
    }
}

// Converts the whole groups that nBytes holds; returns the samples written.
template <class Map, auto order> uint32_t decode(const char* coder, const _USB_DEC_DATA* d)
{
    if (d == nullptr) {
        return 0;
    }
    constexpr uint32_t kGroupBytes = Map::kBytes * order.size();
    const uint32_t groups = d->nBytes / kGroupBytes;
    reportSize(coder, "pDecData->nBytes", groups * kGroupBytes, d->nBytes);
    if (d->pDest != nullptr && d->pSrc != nullptr) {
        decodeGroups<Map, order>(d->pDest, d->pSrc, groups);
    }
    return groups * order.size();
}

// Fills the whole groups that numBytes holds; returns the host samples they take.
template <class Map, auto order>
uint32_t encode(const char* coder, char* device, const int* host, uint32_t numBytes)
{
    constexpr uint32_t kGroupBytes = Map::kBytes * order.size();
    const uint32_t groups = numBytes / kGroupBytes;
    reportSize(coder, "numBytes", groups * kGroupBytes, numBytes);
    if (device != nullptr && host != nullptr) {
        encodeGroups<Map, order>(reinterpret_cast<uint8_t*>(device), host, groups);
    }
    return groups * order.size();
}

// US-144 routing: counted per 3-byte slot, one host sample per slot, but written only in groups of
// four slots made from one 4-channel host frame.
template <auto order>
uint32_t encodeUS144(const char* coder, char* device, const int* host, uint32_t numBytes)
{
    const uint32_t slots = numBytes / Little24::kBytes;
    reportSize(coder, "numBytes", slots * Little24::kBytes, numBytes);
    if (device != nullptr && host != nullptr) {
        encodeGroups<Little24, order>(reinterpret_cast<uint8_t*>(device), host, slots / order.size());
    }
    return slots;
}

} // namespace

uint32_t pcmFrom16LSB(const _USB_DEC_DATA* d)
{
    return decode<Little16, kPlain>("pcmFrom16LSB", d);
}
uint32_t pcmFrom16MSB(const _USB_DEC_DATA* d)
{
    return decode<Big16, kPlain>("pcmFrom16MSB", d);
}
uint32_t pcmFrom16LSBChannelSwap(const _USB_DEC_DATA* d)
{
    return decode<Little16, kStereoSwap>("pcmFrom16LSBChannelSwap", d);
}
uint32_t pcmFrom16LSBChannelSwapMI_4(const _USB_DEC_DATA* d)
{
    return decode<Little16, kPairSwap4>("pcmFrom16LSBChannelSwapMI_4", d);
}
uint32_t pcmFrom20LSB(const _USB_DEC_DATA* d)
{
    return decode<Little24, kPlain>("pcmFrom20LSB", d);
}
uint32_t pcmFrom24LSB(const _USB_DEC_DATA* d)
{
    return decode<Little24, kPlain>("pcmFrom24LSB", d);
}
uint32_t pcmFrom24LSBChannelSwap(const _USB_DEC_DATA* d)
{
    return decode<Little24, kStereoSwap>("pcmFrom24LSBChannelSwap", d);
}
uint32_t pcmFrom24LSBChannelSwapMI_4(const _USB_DEC_DATA* d)
{
    return decode<Little24, kPairSwap4>("pcmFrom24LSBChannelSwapMI_4", d);
}
uint32_t pcmFrom24Access(const _USB_DEC_DATA* d)
{
    return decode<Access24, kPlain>("pcmFrom24Access", d);
}
uint32_t pcmFrom24TUSB(const _USB_DEC_DATA* d)
{
    return decode<Big24, kPlain>("pcmFrom24TUSB", d);
}
uint32_t pcmFrom24TUSB2ch(const _USB_DEC_DATA* d)
{
    return decode<Big24, kStereo>("pcmFrom24TUSB2ch", d);
}
uint32_t pcmFrom32LSB(const _USB_DEC_DATA* d)
{
    return decode<Little32, kPlain>("pcmFrom32LSB", d);
}

uint32_t pcmFrom24TUSBMSB(const _USB_DEC_DATA*)
{
    IOLog("USB: %s\n", "pcmFrom24TUSBMSB");
    return 0;
}

uint32_t pcmTo16LSB(char* device, const int* host, uint32_t numBytes)
{
    return encode<Little16, kPlain>("pcmTo16LSB", device, host, numBytes);
}
uint32_t pcmTo16MSB(char* device, const int* host, uint32_t numBytes)
{
    return encode<Big16, kPlain>("pcmTo16MSB", device, host, numBytes);
}
uint32_t pcmTo16LSBChannelSwap(char* device, const int* host, uint32_t numBytes)
{
    return encode<Little16, kStereoSwap>("pcmTo16LSBChannelSwap", device, host, numBytes);
}
uint32_t pcmTo20LSB(char* device, const int* host, uint32_t numBytes)
{
    return encode<Little24, kPlain>("pcmTo20LSB", device, host, numBytes);
}
uint32_t pcmTo24LSB(char* device, const int* host, uint32_t numBytes)
{
    return encode<Little24, kPlain>("pcmTo24LSB", device, host, numBytes);
}
uint32_t pcmTo24LSBChannelSwap(char* device, const int* host, uint32_t numBytes)
{
    return encode<Little24, kStereoSwap>("pcmTo24LSBChannelSwap", device, host, numBytes);
}
uint32_t pcmTo24Access(char* device, const int* host, uint32_t numBytes)
{
    return encode<Access24, kPlain>("pcmTo24Access", device, host, numBytes);
}
uint32_t pcmTo24TUSB(char* device, const int* host, uint32_t numBytes)
{
    return encode<Big24, kPlain>("pcmTo24TUSB", device, host, numBytes);
}
uint32_t pcmTo24TUSB2ch(char* device, const int* host, uint32_t numBytes)
{
    return encode<Big24, kStereo>("pcmTo24TUSB2ch", device, host, numBytes);
}
uint32_t pcmTo24Corlanth4CH(char* device, const int* host, uint32_t numBytes)
{
    return encode<Little24, kCorlanth4>("pcmTo24Corlanth4CH", device, host, numBytes);
}
uint32_t pcmTo24Corlanth6CH(char* device, const int* host, uint32_t numBytes)
{
    return encode<Little24, kCorlanth6>("pcmTo24Corlanth6CH", device, host, numBytes);
}
uint32_t pcmTo24LSB_US144_00(char* device, const int* host, uint32_t numBytes)
{
    return encodeUS144<kUS144_00>("pcmTo24LSB_US144_00", device, host, numBytes);
}
uint32_t pcmTo24LSB_US144_10(char* device, const int* host, uint32_t numBytes)
{
    return encodeUS144<kUS144_10>("pcmTo24LSB_US144_10", device, host, numBytes);
}
uint32_t pcmTo24LSB_US144_11(char* device, const int* host, uint32_t numBytes)
{
    return encodeUS144<kUS144_11>("pcmTo24LSB_US144_11", device, host, numBytes);
}
uint32_t pcmTo32LSB(char* device, const int* host, uint32_t numBytes)
{
    return encode<Little32, kPlain>("pcmTo32LSB", device, host, numBytes);
}

// The device's layout is not known, so it gets silence rather than whatever the transfer buffer
// held before.
uint32_t pcmTo24TUSBMSB(char* device, const int* host, uint32_t numBytes)
{
    IOLog("USB: %s\n", "pcmTo24TUSBMSB");
    if (device != nullptr && host != nullptr) {
        std::memset(device, 0, numBytes);
    }
    return 0;
}
