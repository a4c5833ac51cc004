#include "PCMCoder.h"
#include "PCMCoderShuffles.h"

#include "platform/Log.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Words = std::vector<int32_t>;

// Host samples whose four bytes all differ, so every byte map shows in the device bytes.
const Words kHost = {0x11223344,
                     0x55667788,
                     static_cast<int32_t>(0x99AABBCC),
                     static_cast<int32_t>(0xDDEEFF00),
                     0x0A0B0C0D,
                     static_cast<int32_t>(0xF1F2F3F4)};

// Asked while the program's globals are set up, possibly before the coders' own.
const PCMShuffleLevel kSupportedAtStart = supportedPCMShuffleLevel();

const PCMShuffleLevel kLevels[] = {PCMShuffleLevel::none, PCMShuffleLevel::ssse3, PCMShuffleLevel::avx2,
                                   PCMShuffleLevel::avx512};

constexpr uint32_t kMask16 = 0xFFFF0000;
constexpr uint32_t kMask24 = 0xFFFFFF00;
constexpr uint32_t kMask32 = 0xFFFFFFFF;

Words masked(const Words& words, uint32_t mask)
{
    Words out;
    for (int32_t w : words) {
        out.push_back(static_cast<int32_t>(static_cast<uint32_t>(w) & mask));
    }
    return out;
}

Bytes encodeAll(PCMEncoder encoder, const Words& host, uint32_t numBytes, uint8_t fill = 0xEE)
{
    Bytes device(numBytes, fill);
    encoder(reinterpret_cast<char*>(device.data()), host.data(), numBytes);
    return device;
}

// Decodes into a buffer with room to spare; returns exactly the words the decoder says it wrote and
// checks that it wrote nothing beyond them.
Words decodeAll(PCMDecoder decoder, const Bytes& device)
{
    Words host(device.size() + 8, 0x5A5A5A5A);
    _USB_DEC_DATA record{host.data(), device.data(), static_cast<uint32_t>(device.size())};
    const uint32_t count = decoder(&record);
    EXPECT_LE(count, device.size());
    for (size_t i = count; i < host.size(); ++i) {
        EXPECT_EQ(host[i], 0x5A5A5A5A) << "word " << i << " written beyond the count";
    }
    host.resize(count);
    return host;
}

// --- Byte layouts, checked against device bytes written out by hand. ---

struct RoundTrip
{
    const char* name;
    PCMEncoder encoder;
    PCMDecoder decoder; // its inverse, or null
    size_t hostSamples;
    uint32_t mask; // host bits that the device sample carries
    Bytes device;  // what the encoder writes for the first hostSamples samples of kHost
};

const RoundTrip kRoundTrips[] = {
    {"16LSB",
     pcmTo16LSB,
     pcmFrom16LSB,
     6,
     kMask16,
     {0x22, 0x11, 0x66, 0x55, 0xAA, 0x99, 0xEE, 0xDD, 0x0B, 0x0A, 0xF2, 0xF1}},
    {"16MSB",
     pcmTo16MSB,
     pcmFrom16MSB,
     6,
     kMask16,
     {0x11, 0x22, 0x55, 0x66, 0x99, 0xAA, 0xDD, 0xEE, 0x0A, 0x0B, 0xF1, 0xF2}},
    {"16LSBChannelSwap",
     pcmTo16LSBChannelSwap,
     pcmFrom16LSBChannelSwap,
     6,
     kMask16,
     {0x66, 0x55, 0x22, 0x11, 0xEE, 0xDD, 0xAA, 0x99, 0xF2, 0xF1, 0x0B, 0x0A}},
    {"20LSB",
     pcmTo20LSB,
     pcmFrom20LSB,
     6,
     kMask24,
     {0x33, 0x22, 0x11, 0x77, 0x66, 0x55, 0xBB, 0xAA, 0x99, 0xFF, 0xEE, 0xDD, 0x0C, 0x0B, 0x0A, 0xF3, 0xF2,
      0xF1}},
    {"24LSB",
     pcmTo24LSB,
     pcmFrom24LSB,
     6,
     kMask24,
     {0x33, 0x22, 0x11, 0x77, 0x66, 0x55, 0xBB, 0xAA, 0x99, 0xFF, 0xEE, 0xDD, 0x0C, 0x0B, 0x0A, 0xF3, 0xF2,
      0xF1}},
    {"24LSBChannelSwap",
     pcmTo24LSBChannelSwap,
     pcmFrom24LSBChannelSwap,
     6,
     kMask24,
     {0x77, 0x66, 0x55, 0x33, 0x22, 0x11, 0xFF, 0xEE, 0xDD, 0xBB, 0xAA, 0x99, 0xF3, 0xF2, 0xF1, 0x0C, 0x0B,
      0x0A}},
    {"24Access",
     pcmTo24Access,
     pcmFrom24Access,
     6,
     kMask24,
     {0x11, 0x33, 0x22, 0x55, 0x77, 0x66, 0x99, 0xBB, 0xAA, 0xDD, 0xFF, 0xEE, 0x0A, 0x0C, 0x0B, 0xF1, 0xF3,
      0xF2}},
    {"24TUSB",
     pcmTo24TUSB,
     pcmFrom24TUSB,
     6,
     kMask24,
     {0x11, 0x22, 0x33, 0x55, 0x66, 0x77, 0x99, 0xAA, 0xBB, 0xDD, 0xEE, 0xFF, 0x0A, 0x0B, 0x0C, 0xF1, 0xF2,
      0xF3}},
    {"24TUSB2ch",
     pcmTo24TUSB2ch,
     pcmFrom24TUSB2ch,
     6,
     kMask24,
     {0x11, 0x22, 0x33, 0x55, 0x66, 0x77, 0x99, 0xAA, 0xBB, 0xDD, 0xEE, 0xFF, 0x0A, 0x0B, 0x0C, 0xF1, 0xF2,
      0xF3}},
    {"32LSB", pcmTo32LSB, pcmFrom32LSB, 6, kMask32, {0x44, 0x33, 0x22, 0x11, 0x88, 0x77, 0x66, 0x55,
                                                     0xCC, 0xBB, 0xAA, 0x99, 0x00, 0xFF, 0xEE, 0xDD,
                                                     0x0D, 0x0C, 0x0B, 0x0A, 0xF4, 0xF3, 0xF2, 0xF1}},
    // Slots carry host 1, 3, 2, 4.
    {"24Corlanth4CH",
     pcmTo24Corlanth4CH,
     nullptr,
     4,
     kMask24,
     {0x33, 0x22, 0x11, 0xBB, 0xAA, 0x99, 0x77, 0x66, 0x55, 0xFF, 0xEE, 0xDD}},
    // Slots carry host 1, 4, 2, 5, 3, 6.
    {"24Corlanth6CH",
     pcmTo24Corlanth6CH,
     nullptr,
     6,
     kMask24,
     {0x33, 0x22, 0x11, 0xFF, 0xEE, 0xDD, 0x77, 0x66, 0x55, 0x0C, 0x0B, 0x0A, 0xBB, 0xAA, 0x99, 0xF3, 0xF2,
      0xF1}},
    // Device pairs from host pairs (1-2, 1-2), (3-4, 1-2), (3-4, 3-4).
    {"24LSB_US144_00",
     pcmTo24LSB_US144_00,
     nullptr,
     4,
     kMask24,
     {0x33, 0x22, 0x11, 0x77, 0x66, 0x55, 0x33, 0x22, 0x11, 0x77, 0x66, 0x55}},
    {"24LSB_US144_10",
     pcmTo24LSB_US144_10,
     nullptr,
     4,
     kMask24,
     {0xBB, 0xAA, 0x99, 0xFF, 0xEE, 0xDD, 0x33, 0x22, 0x11, 0x77, 0x66, 0x55}},
    {"24LSB_US144_11",
     pcmTo24LSB_US144_11,
     nullptr,
     4,
     kMask24,
     {0xBB, 0xAA, 0x99, 0xFF, 0xEE, 0xDD, 0xBB, 0xAA, 0x99, 0xFF, 0xEE, 0xDD}},
};

TEST(PCMCoder, EncodesHandWrittenLayoutsAndDecodesThemBack)
{
    for (const auto& row : kRoundTrips) {
        SCOPED_TRACE(row.name);
        const Words host(kHost.begin(), kHost.begin() + row.hostSamples);
        const auto numBytes = static_cast<uint32_t>(row.device.size());
        Bytes device(numBytes, 0xEE);
        EXPECT_EQ(row.encoder(reinterpret_cast<char*>(device.data()), host.data(), numBytes),
                  row.hostSamples);
        EXPECT_EQ(device, row.device);

        // Bits below the device sample make no difference to the encoder.
        Words noisy = host;
        for (auto& w : noisy) {
            w = static_cast<int32_t>(static_cast<uint32_t>(w) ^ ~row.mask);
        }
        EXPECT_EQ(encodeAll(row.encoder, noisy, numBytes), row.device);

        // The decoder gives the samples back with the bits below the device sample cleared.
        if (row.decoder != nullptr) {
            EXPECT_EQ(decodeAll(row.decoder, row.device), masked(host, row.mask));
        }
    }
}

// Long runs take the shuffle paths: the hand-written pattern repeated any number of times, with a
// partial unit after it that must stay untouched, on every path the processor offers.
TEST(PCMCoder, LongRunsRepeatTheHandWrittenLayoutsOnEveryPath)
{
    const PCMShuffleLevel supported = supportedPCMShuffleLevel();
    for (auto level : kLevels) {
        if (level > supported) {
            continue;
        }
        setPCMShuffleLevel(level);
        for (const auto& row : kRoundTrips) {
            SCOPED_TRACE(testing::Message() << row.name << " level " << static_cast<int>(level));
            // The member the coder choice hands out for this level, and the coder called directly.
            const PCMEncoder member = pcmEncoderAt(row.encoder, level);
            const PCMDecoder decoderMember =
                row.decoder != nullptr ? pcmDecoderAt(row.decoder, level) : nullptr;
            for (uint32_t repeats = 1; repeats <= 70; ++repeats) {
                Words host;
                Bytes expected;
                for (uint32_t r = 0; r < repeats; ++r) {
                    host.insert(host.end(), kHost.begin(), kHost.begin() + row.hostSamples);
                    expected.insert(expected.end(), row.device.begin(), row.device.end());
                }
                const auto numBytes = static_cast<uint32_t>(expected.size());
                Bytes device(numBytes + 1, 0xEE);
                Bytes direct = device;
                {
                    platform::log::Capture quiet(platform::log::Channel::kernel);
                    member(reinterpret_cast<char*>(device.data()), host.data(), numBytes + 1);
                    row.encoder(reinterpret_cast<char*>(direct.data()), host.data(), numBytes + 1);
                }
                ASSERT_EQ(direct, device) << repeats;
                ASSERT_EQ(device.back(), 0xEE) << repeats;
                device.pop_back();
                ASSERT_EQ(device, expected) << repeats;
                if (row.decoder != nullptr) {
                    ASSERT_EQ(decodeAll(decoderMember, expected), masked(host, row.mask)) << repeats;
                    ASSERT_EQ(decodeAll(row.decoder, expected), masked(host, row.mask)) << repeats;
                }
            }
        }
    }
    setPCMShuffleLevel(supported);
    EXPECT_EQ(pcmShuffleLevel(), supported);
}

TEST(PCMCoder, PairSwapDecodersTakeHostChannelsFromDeviceThreeFourOneTwo)
{
    const Bytes device16 = {0x01, 0x10, 0x02, 0x20, 0x03, 0x30, 0x04, 0x40};
    EXPECT_EQ(decodeAll(pcmFrom16LSBChannelSwapMI_4, device16),
              (Words{0x30030000, 0x40040000, 0x10010000, 0x20020000}));

    const Bytes device24 = {0xA1, 0x01, 0x10, 0xA2, 0x02, 0x20, 0xA3, 0x03, 0x30, 0xA4, 0x04, 0x40};
    EXPECT_EQ(decodeAll(pcmFrom24LSBChannelSwapMI_4, device24),
              (Words{0x3003A300, 0x4004A400, 0x1001A100, 0x2002A200}));
}

TEST(PCMCoder, WorkedValues)
{
    EXPECT_EQ(decodeAll(pcmFrom16LSB, {0x34, 0x12, 0xFF, 0xFF}),
              (Words{0x12340000, static_cast<int32_t>(0xFFFF0000)}));
    EXPECT_EQ(decodeAll(pcmFrom24Access, {0x12, 0x56, 0x34}), Words{0x12345600});
    EXPECT_EQ(encodeAll(pcmTo24TUSB, {0x12345678}, 3), (Bytes{0x12, 0x34, 0x56}));
    EXPECT_EQ(encodeAll(pcmTo24LSB, {0x123456FF}, 3), (Bytes{0x56, 0x34, 0x12}));
}

// --- Whole units, counts, size queries and the size message, for every coder. ---

struct DecoderUnit
{
    const char* name;
    PCMDecoder decoder;
    uint32_t unitBytes;
    uint32_t samplesPerUnit;
};

const DecoderUnit kDecoders[] = {
    {"pcmFrom16LSB", pcmFrom16LSB, 2, 1},
    {"pcmFrom16MSB", pcmFrom16MSB, 2, 1},
    {"pcmFrom16LSBChannelSwap", pcmFrom16LSBChannelSwap, 4, 2},
    {"pcmFrom16LSBChannelSwapMI_4", pcmFrom16LSBChannelSwapMI_4, 8, 4},
    {"pcmFrom20LSB", pcmFrom20LSB, 3, 1},
    {"pcmFrom24LSB", pcmFrom24LSB, 3, 1},
    {"pcmFrom24LSBChannelSwap", pcmFrom24LSBChannelSwap, 6, 2},
    {"pcmFrom24LSBChannelSwapMI_4", pcmFrom24LSBChannelSwapMI_4, 12, 4},
    {"pcmFrom24Access", pcmFrom24Access, 3, 1},
    {"pcmFrom24TUSB", pcmFrom24TUSB, 3, 1},
    {"pcmFrom24TUSB2ch", pcmFrom24TUSB2ch, 6, 2},
    {"pcmFrom32LSB", pcmFrom32LSB, 4, 1},
};

struct EncoderUnit
{
    const char* name;
    PCMEncoder encoder;
    uint32_t unitBytes; // bytes counted per unit (and in the size message)
    uint32_t samplesPerUnit;
    uint32_t writtenGroupBytes; // bytes written together
};

const EncoderUnit kEncoders[] = {
    {"pcmTo16LSB", pcmTo16LSB, 2, 1, 2},
    {"pcmTo16MSB", pcmTo16MSB, 2, 1, 2},
    {"pcmTo16LSBChannelSwap", pcmTo16LSBChannelSwap, 4, 2, 4},
    {"pcmTo20LSB", pcmTo20LSB, 3, 1, 3},
    {"pcmTo24LSB", pcmTo24LSB, 3, 1, 3},
    {"pcmTo24LSBChannelSwap", pcmTo24LSBChannelSwap, 6, 2, 6},
    {"pcmTo24Access", pcmTo24Access, 3, 1, 3},
    {"pcmTo24TUSB", pcmTo24TUSB, 3, 1, 3},
    {"pcmTo24TUSB2ch", pcmTo24TUSB2ch, 6, 2, 6},
    {"pcmTo24Corlanth4CH", pcmTo24Corlanth4CH, 12, 4, 12},
    {"pcmTo24Corlanth6CH", pcmTo24Corlanth6CH, 18, 6, 18},
    {"pcmTo24LSB_US144_00", pcmTo24LSB_US144_00, 3, 1, 12},
    {"pcmTo24LSB_US144_10", pcmTo24LSB_US144_10, 3, 1, 12},
    {"pcmTo24LSB_US144_11", pcmTo24LSB_US144_11, 3, 1, 12},
    {"pcmTo32LSB", pcmTo32LSB, 4, 1, 4},
};

std::string sizeMessage(const char* coder, const char* count, uint32_t expected, uint32_t actual)
{
    return "USB: ERROR " + std::string(coder) + " : numExpectedBytes !=  " + count + " " +
           std::to_string(expected) + " " + std::to_string(actual);
}

TEST(PCMCoder, DecodersConvertWholeUnitsAndReportAPartialOne)
{
    platform::log::Capture log(platform::log::Channel::kernel);
    for (const auto& row : kDecoders) {
        SCOPED_TRACE(row.name);
        for (uint32_t n = 0; n <= 40; ++n) {
            log.clear();
            const Bytes device(n, 0x7F); // exactly n bytes, so the sanitizer catches a read past them
            const uint32_t units = n / row.unitBytes;
            const Words host = decodeAll(row.decoder, device);
            EXPECT_EQ(host.size(), units * row.samplesPerUnit) << n;

            // A record with a null pointer answers the same count and writes nothing.
            _USB_DEC_DATA query{nullptr, device.data(), n};
            EXPECT_EQ(row.decoder(&query), units * row.samplesPerUnit);

            std::vector<std::string> expected;
            if (n % row.unitBytes != 0) {
                const auto line = sizeMessage(row.name, "pDecData->nBytes", units * row.unitBytes, n);
                expected = {line, line};
            }
            EXPECT_EQ(log.texts(), expected) << n;
        }
        EXPECT_EQ(row.decoder(nullptr), 0u);
    }
}

TEST(PCMCoder, EncodersFillWholeUnitsLeaveTheRestAndAnswerSizeQueries)
{
    platform::log::Capture log(platform::log::Channel::kernel);
    const Words host(64, static_cast<int32_t>(0x81828384));
    for (const auto& row : kEncoders) {
        SCOPED_TRACE(row.name);
        for (uint32_t n = 0; n <= 40; ++n) {
            log.clear();
            const uint32_t count = n / row.unitBytes * row.samplesPerUnit;
            EXPECT_EQ(row.encoder(nullptr, nullptr, n), count) << n;
            EXPECT_EQ(row.encoder(nullptr, host.data(), n), count) << n;

            Bytes device(n, 0xEE);
            EXPECT_EQ(row.encoder(reinterpret_cast<char*>(device.data()), nullptr, n), count) << n;
            EXPECT_EQ(device, Bytes(n, 0xEE)) << "a size query wrote";
            EXPECT_EQ(row.encoder(reinterpret_cast<char*>(device.data()), host.data(), n), count) << n;
            const uint32_t written = n / row.writtenGroupBytes * row.writtenGroupBytes;
            for (uint32_t i = 0; i < n; ++i) {
                EXPECT_EQ(device[i] == 0xEE, i >= written) << "byte " << i << " of " << n;
            }

            std::vector<std::string> expected;
            if (n % row.unitBytes != 0) {
                expected.assign(4, sizeMessage(row.name, "numBytes", n / row.unitBytes * row.unitBytes, n));
            }
            EXPECT_EQ(log.texts(), expected) << n;
        }
    }
}

// Every shuffle level against the plain loop on random bytes: every length up to a few blocks of
// the widest level and some long ones, the device bytes at every offset within a word, the host
// words at odd and even word offsets. Buffers end exactly where the call's data ends, so that the
// sanitizer build catches a read or write past it; the words and bytes around the converted ones
// must come out as the plain loop leaves them.
TEST(PCMCoder, TheSupportedLevelIsKnownWhileGlobalsAreSetUp)
{
    EXPECT_EQ(kSupportedAtStart, supportedPCMShuffleLevel());
}

TEST(PCMCoder, EveryLevelWritesThePortableBytesOnRandomData)
{
    platform::log::Capture quiet(platform::log::Channel::kernel);
    uint32_t x = 0x2468ACE1;
    auto random = [&x] {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    };
    std::vector<uint32_t> lengths;
    for (uint32_t n = 0; n <= 800; ++n) {
        lengths.push_back(n);
    }
    for (uint32_t n : {1023u, 1024u, 1537u, 3071u, 4103u, 9216u, 12295u}) {
        lengths.push_back(n);
    }
    const PCMShuffleLevel supported = supportedPCMShuffleLevel();
    for (auto level : kLevels) {
        if (level == PCMShuffleLevel::none || level > supported) {
            continue;
        }
        for (const auto& row : kDecoders) {
            const PCMDecoder plain = pcmDecoderAt(row.decoder, PCMShuffleLevel::none);
            const PCMDecoder member = pcmDecoderAt(row.decoder, level);
            for (uint32_t n : lengths) {
                SCOPED_TRACE(testing::Message()
                             << row.name << " level " << static_cast<int>(level) << " n " << n);
                const uint32_t offset = n % 4;
                Bytes device(offset + n);
                for (auto& b : device) {
                    b = static_cast<uint8_t>(random());
                }
                const uint32_t count = n / row.unitBytes * row.samplesPerUnit;
                const uint32_t hostOffset = n % 2;
                Words expected(hostOffset + count + 2, 0x5A5A5A5A);
                Words actual = expected;
                _USB_DEC_DATA plainRecord{expected.data() + hostOffset, device.data() + offset, n};
                _USB_DEC_DATA memberRecord{actual.data() + hostOffset, device.data() + offset, n};
                ASSERT_EQ(plain(&plainRecord), count);
                ASSERT_EQ(member(&memberRecord), count);
                ASSERT_EQ(actual, expected);
            }
        }
        for (const auto& row : kEncoders) {
            const PCMEncoder plain = pcmEncoderAt(row.encoder, PCMShuffleLevel::none);
            const PCMEncoder member = pcmEncoderAt(row.encoder, level);
            for (uint32_t n : lengths) {
                SCOPED_TRACE(testing::Message()
                             << row.name << " level " << static_cast<int>(level) << " n " << n);
                const uint32_t count = n / row.unitBytes * row.samplesPerUnit;
                const uint32_t hostOffset = n % 2;
                Words host(hostOffset + count);
                for (auto& w : host) {
                    w = static_cast<int32_t>(random());
                }
                const uint32_t offset = n % 4;
                Bytes expected(offset + n, 0xEE);
                Bytes actual = expected;
                ASSERT_EQ(
                    plain(reinterpret_cast<char*>(expected.data() + offset), host.data() + hostOffset, n),
                    count);
                ASSERT_EQ(
                    member(reinterpret_cast<char*>(actual.data() + offset), host.data() + hostOffset, n),
                    count);
                ASSERT_EQ(actual, expected);
            }
        }
    }
}

TEST(PCMCoder, SizeQueriesAtTheTopOfTheCountRange)
{
    platform::log::Capture log(platform::log::Channel::kernel);
    for (const auto& row : kEncoders) {
        EXPECT_EQ(row.encoder(nullptr, nullptr, 0xFFFFFFFF), 0xFFFFFFFF / row.unitBytes * row.samplesPerUnit)
            << row.name;
    }
    for (const auto& row : kDecoders) {
        _USB_DEC_DATA query{nullptr, nullptr, 0xFFFFFFFF};
        EXPECT_EQ(row.decoder(&query), 0xFFFFFFFF / row.unitBytes * row.samplesPerUnit) << row.name;
    }
}

TEST(PCMCoder, EdgeCasesOfTheGroupedCoders)
{
    platform::log::Capture log(platform::log::Channel::kernel);

    EXPECT_EQ(decodeAll(pcmFrom16LSB, {0x01, 0x02, 0x03, 0x04, 0x05}), (Words{0x02010000, 0x04030000}));
    EXPECT_EQ(log.texts(), std::vector<std::string>{sizeMessage("pcmFrom16LSB", "pDecData->nBytes", 4, 5)});

    log.clear();
    EXPECT_EQ(encodeAll(pcmTo16LSBChannelSwap, {0x11110000, 0x22220000, 0x33330000}, 6),
              (Bytes{0x22, 0x22, 0x11, 0x11, 0xEE, 0xEE}));
    EXPECT_EQ(log.texts(), std::vector<std::string>{sizeMessage("pcmTo16LSBChannelSwap", "numBytes", 4, 6)});

    log.clear();
    EXPECT_EQ(decodeAll(pcmFrom24TUSB2ch, {1, 2, 3, 4, 5, 6, 7, 8, 9}), (Words{0x01020300, 0x04050600}));
    EXPECT_EQ(log.texts(),
              std::vector<std::string>{sizeMessage("pcmFrom24TUSB2ch", "pDecData->nBytes", 6, 9)});

    log.clear();
    Words twoFrames = {0x01000000, 0x02000000, 0x03000000, 0x04000000,
                       0x05000000, 0x06000000, 0x07000000, 0x08000000};
    Bytes device(24, 0xEE);
    EXPECT_EQ(pcmTo24LSB_US144_10(reinterpret_cast<char*>(device.data()), twoFrames.data(), 24), 8u);
    EXPECT_EQ(device, (Bytes{0, 0, 3, 0, 0, 4, 0, 0, 1, 0, 0, 2, 0, 0, 7, 0, 0, 8, 0, 0, 5, 0, 0, 6}));
    Bytes short9(9, 0xEE);
    EXPECT_EQ(pcmTo24LSB_US144_10(reinterpret_cast<char*>(short9.data()), twoFrames.data(), 9), 3u);
    EXPECT_EQ(short9, Bytes(9, 0xEE));
    EXPECT_TRUE(log.texts().empty());
}

// The 24-bit layout of one device model is unknown: its coders convert nothing, and the encoder
// leaves silence instead of whatever the transfer buffer held.
TEST(PCMCoder, PlaceholdersConvertNothingAndSendSilence)
{
    platform::log::Capture log(platform::log::Channel::kernel);
    // Handed out for a stream, as the coder choice does.
    ASSERT_EQ(pcmDecoderAt(pcmFrom24TUSBMSB, pcmShuffleLevel()), pcmFrom24TUSBMSB);
    ASSERT_EQ(pcmEncoderAt(pcmTo24TUSBMSB, pcmShuffleLevel()), pcmTo24TUSBMSB);
    const Bytes in = {1, 2, 3, 4, 5, 6};
    Words host(4, 0x5A5A5A5A);
    _USB_DEC_DATA record{host.data(), in.data(), 6};
    EXPECT_EQ(pcmFrom24TUSBMSB(&record), 0u);
    EXPECT_EQ(host, Words(4, 0x5A5A5A5A));

    Bytes device(6, 0xEE);
    EXPECT_EQ(pcmTo24TUSBMSB(nullptr, nullptr, 6), 0u);
    EXPECT_EQ(pcmTo24TUSBMSB(reinterpret_cast<char*>(device.data()), kHost.data(), 6), 0u);
    EXPECT_EQ(device, Bytes(6, 0));
    EXPECT_EQ(pcmFrom24TUSBMSB(&record), 0u);
    EXPECT_EQ(log.texts(), (std::vector<std::string>{"USB: pcmFrom24TUSBMSB", "USB: pcmTo24TUSBMSB"}))
        << "one line each per stream, not one per call";
}

} // namespace
