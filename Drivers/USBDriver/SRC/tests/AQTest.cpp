// The family MIDI engine without a bus: its parsers on packets as a device sends them, the
// status words' register values and state changes, the output packet layout with its pacing, the
// pacing tables and the level processors.
#include "AQ.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <utility>
#include <vector>

#include "DeviceHarness.h"
#include "DeviceModels.h"
#include "DriverData.h"
#include "IOKit/IOUserClient.h"
#include "USBMidiDevice.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Engine
{
    explicit Engine(uint16_t vendor, uint16_t product, bool highSpeed = true)
        : harness(vendor, product, {.highSpeed = highSpeed})
    {
        aq = harness.device->mpAQ;
        aq->init(); // the ids are known now
        client = new IOUserClient;
    }
    ~Engine()
    {
        aq->clientDetach(client);
        client->release();
        if (data != nullptr) {
            harness.device->mpDriverData = nullptr;
            data->release();
        }
    }
    void attach() { ASSERT_TRUE(aq->clientAttach(client)); }
    // Every element of a port's ring, in order, as byte runs.
    std::vector<Bytes> take(uint32_t port)
    {
        std::vector<Bytes> out;
        MidiIOElement e{};
        while (aq->area()->mIn[port].get(&e)) {
            out.emplace_back(e.mData, e.mData + e.mLength);
        }
        return out;
    }
    void feed(const Bytes& packet, uint32_t received)
    {
        aq->parseInput(packet.data(), received, uint32_t(packet.size()));
    }
    void feed(const Bytes& packet) { feed(packet, uint32_t(packet.size())); }
    std::vector<UInt32> changes() { return std::exchange(harness.owner->messages, {}); }

    fixtures::DeviceHarness harness;
    AQ* aq = nullptr;
    IOUserClient* client = nullptr;
    DriverData* data = nullptr;
};

// Status words: code and value in the top bytes, 0xB00B below.
Bytes words(std::initializer_list<std::pair<uint8_t, uint8_t>> codes, size_t size = 512)
{
    Bytes packet(size, 0);
    size_t at = 0;
    for (auto [code, value] : codes) {
        packet[at] = 0x0B;
        packet[at + 1] = 0xB0;
        packet[at + 2] = code;
        packet[at + 3] = value;
        at += 4;
    }
    return packet;
}

TEST(AQParserTest, ByteLayoutsStoreOnlyReceivedMidiBytes)
{
    struct Case
    {
        const char* what;
        AQ::Parser parser;
        uint32_t packetSize;
        Bytes packet;
        uint32_t received;
        std::vector<Bytes> port1;
        std::vector<Bytes> port2;
    };
    const Case cases[] = {
        {"M4_M4_C1 port 2 only", AQ::Parser::M4_M4_C1, 9, {0xFD, 0xFD, 0xFD, 0xFD, 0x90, 0x3C, 0x64, 0xFD, 0xE0}, 9,
         {}, {{0x90, 0x3C, 0x64}}},
        {"M4_M4_C1 short packet", AQ::Parser::M4_M4_C1, 9, {0x90, 0x3C, 0x00, 0x00, 0x00, 0, 0, 0, 0}, 2,
         {{0x90, 0x3C}}, {}},
        {"M4_C1", AQ::Parser::M4_C1, 9, {0xF8, 0xFD, 0xFE, 0xFD, 0x11, 0, 0, 0, 0}, 9, {{0xF8, 0xFE}}, {}},
        {"M1_C1 filler", AQ::Parser::M1_C1, 9, {0xFD, 0xE0}, 2, {}, {}},
        {"M1_C1", AQ::Parser::M1_C1, 9, {0xF8, 0xE0}, 2, {{0xF8}}, {}},
        {"M1_C1 nothing received", AQ::Parser::M1_C1, 9, {0x00, 0xE0}, 0, {}, {}},
        {"M2", AQ::Parser::M2, 9, {0xB0, 0x07}, 2, {{0xB0, 0x07}}, {}},
        {"Reg all received", AQ::Parser::Reg, 64, {0xF0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0xF7, 0, 0}, 11,
         {{0xF0, 1, 2, 3, 4, 5, 6, 7}, {8, 9, 0xF7}}, {}},
        {"NS7 all but the last", AQ::Parser::NS7, 4, {0x90, 0x40, 0x7F, 0xE0}, 4, {{0x90, 0x40, 0x7F}}, {}},
        {"received beyond the block", AQ::Parser::Reg, 64, {0x90, 0x40, 0x7F}, 5000, {{0x90, 0x40, 0x7F}}, {}},
    };
    for (const Case& c : cases) {
        Engine e(0x0A4A, 0x0001);
        e.attach();
        e.aq->setParser(c.parser, c.packetSize, 4);
        e.feed(c.packet, c.received);
        EXPECT_EQ(e.take(0), c.port1) << c.what;
        EXPECT_EQ(e.take(1), c.port2) << c.what;
    }
}

TEST(AQParserTest, BytesWaitForAClientAndSysExCrossesPackets)
{
    Engine e(0x0A4A, 0x0001);
    e.aq->setParser(AQ::Parser::M4_M4_C1, 9, 4);
    e.feed({0x90, 0x3C, 0x64, 0xFD, 0xFD, 0xFD, 0xFD, 0xFD, 0xE0});
    e.attach();
    EXPECT_TRUE(e.take(0).empty()) << "bytes without a client are dropped";
    // A long system-exclusive message and running status arrive four bytes a packet.
    const Bytes sysex = {0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7, 0x3E, 0x40};
    Bytes received;
    for (size_t at = 0; at < sysex.size(); at += 4) {
        Bytes packet(9, 0xFD);
        for (size_t i = 0; i < 4 && at + i < sysex.size(); ++i) {
            packet[i] = sysex[at + i];
        }
        e.feed(packet);
    }
    for (const Bytes& element : e.take(0)) {
        received.insert(received.end(), element.begin(), element.end());
    }
    EXPECT_EQ(received, sysex);
    MidiIOElement stamped{};
    e.feed({0x90, 0x3C, 0x64, 0xFD, 0xFD, 0xFD, 0xFD, 0xFD, 0xE0});
    ASSERT_TRUE(e.aq->area()->mIn[0].get(&stamped));
    EXPECT_NE(stamped.mTime, 0u) << "input is time-stamped";
}

TEST(AQStatusWordTest, RegistersAnnounceOnceAndBadMarksStopTheWalk)
{
    Engine e(kModelUS366.vendor, kModelUS366.product);
    e.feed(words({{102, 0x90}}));
    e.feed(words({{102, 0x90}}));
    EXPECT_EQ(e.harness.device->registers().us366[0], 0x90);
    EXPECT_EQ(e.changes(), (std::vector<UInt32>{48}));
    Bytes unmarked = words({{103, 0x11}});
    unmarked[0] = 0x0C;
    e.feed(unmarked);
    EXPECT_EQ(e.harness.device->registers().us366[1], 0xFFFF);
    // Words past the received length are not read.
    e.feed(words({{103, 0x11}}), 3);
    EXPECT_EQ(e.harness.device->registers().us366[1], 0xFFFF);
    EXPECT_TRUE(e.changes().empty());
    // Codes outside 102..117 are skipped, the walk goes on.
    e.feed(words({{0x80, 1}, {101, 1}, {103, 0x22}}));
    EXPECT_EQ(e.harness.device->registers().us366[1], 0x22);
    EXPECT_EQ(e.changes(), (std::vector<UInt32>{48}));
}

TEST(AQStatusWordTest, FrontPanelAndConfigurationSwitch)
{
    {
        Engine e(kModelUS366.vendor, kModelUS366.product);
        e.feed(words({{104, 0x02}})); // first value: stored, nothing else
        EXPECT_EQ(e.harness.device->registers().us366[2], 0x02);
        EXPECT_TRUE(e.changes().empty());
        e.feed(words({{104, 0x00}}));
        EXPECT_EQ(e.changes(), (std::vector<UInt32>{AQ::kStcControlPanel}));
        e.feed(words({{104, 0x02}}));
        EXPECT_TRUE(e.changes().empty());
        // Bit 3 set, bits 1 and 2 as they were: the 4x6 configuration.
        e.feed(words({{104, 0x0A}}));
        EXPECT_EQ(e.harness.device->registers().mixerMode, 1u);
        EXPECT_EQ(e.harness.settings().iInChannels, 4);
        EXPECT_EQ(e.harness.settings().iOutChannels, 6);
        EXPECT_EQ(e.changes(), (std::vector<UInt32>{AQ::kStcConfigSwitch}));
        e.feed(words({{104, 0x12}}));
        EXPECT_EQ(e.harness.device->registers().mixerMode, 0u);
        EXPECT_EQ(e.harness.settings().iInChannels, 2);
        EXPECT_TRUE(e.harness.device->takeMixerChanged());
    }
    {
        Engine e(kModelUH7000.vendor, kModelUH7000.product);
        e.aq->setParser(AQ::Parser::UH7000, 512, 0);
        e.feed(words({{104, 0x02}}));
        EXPECT_EQ(e.harness.device->registers().us366[2], 0xFFFF) << "skipped while unset";
        e.harness.device->setUS366Register(2, 0x02);
        e.feed(words({{104, 0x00}}));
        EXPECT_TRUE(e.changes().empty()) << "armed";
        e.feed(words({{104, 0x02}}));
        EXPECT_EQ(e.changes(), (std::vector<UInt32>{AQ::kStcControlPanel}));
        e.feed(words({{105, 1}, {106, 1}}));
        EXPECT_TRUE(e.changes().empty()) << "no foot switch here";
        e.feed(words({{104, 0x0A}}));
        EXPECT_TRUE(e.changes().empty()) << "no configuration switch here";
    }
}

TEST(AQStatusWordTest, FootSwitchSendsNotesAndControlEventsAreStored)
{
    Engine e(kModelUS366.vendor, kModelUS366.product);
    e.data = DriverData::create(e.harness.sm.get(), kModelUS366.vendor, kModelUS366.product);
    ASSERT_NE(e.data, nullptr);
    e.harness.device->mpDriverData = e.data;
    e.attach();
    e.feed(words({{106, 2}}));
    e.feed(words({{105, 2}}));
    e.feed(words({{106, 1}, {105, 1}})); // a short press of contact 1: play
    EXPECT_EQ(e.take(0), (std::vector<Bytes>{{0x90, 0x5B, 0x7F}, {0x90, 0x5B, 0x00}, {0x90, 0x5E, 0x7F, 0x90, 0x5E, 0x00}}));
    EXPECT_EQ(e.changes(), (std::vector<UInt32>{AQ::kStcFootSwitch, AQ::kStcFootSwitch, AQ::kStcFootSwitch}));
    e.feed(words({{107, 0xFF}, {117, 5}, {107, 3}}));
    int32_t events[DriverData::kControlEvents];
    e.data->takeControlEvents(events);
    EXPECT_EQ(events[6], 3);
    EXPECT_EQ(events[16], 5);
    EXPECT_EQ(events[31], 2);
    // Sixty-four more foot-switch words than messages fit: the list is full, nothing overflows.
    Bytes many(512, 0);
    for (size_t at = 0; at < 512; at += 8) {
        const Bytes pair = words({{106, 2}, {105, 2}}, 8);
        std::copy(pair.begin(), pair.end(), many.begin() + long(at));
    }
    e.feed(many);
    size_t bytes = 0;
    for (const Bytes& element : e.take(0)) {
        bytes += element.size();
    }
    EXPECT_EQ(bytes, AQ::kMaxFootSwitchMessages * 3);
}

TEST(AQOutputTest, PacketCarriesPacedBytesPortTwoAtItsOffsetAndTheControlByte)
{
    Engine e(0x0A4A, 0x0001);
    e.attach();
    e.aq->setParser(AQ::Parser::M4_M4_C1, 9, 4);
    const uint8_t port2[] = {0x80, 0x3C, 0x40, 0x90, 0x3C};
    e.aq->area()->mOut[1].put(port2, 5);
    uint8_t packet[AQ::kMaxPacket];
    ASSERT_EQ(e.aq->buildOutputPacket(packet, sizeof packet), 9u);
    EXPECT_EQ(Bytes(packet, packet + 9), (Bytes{0xFD, 0xFD, 0xFD, 0xFD, 0x80, 0x3C, 0x40, 0x90, 0xE0}))
        << "the first packet allows 4 bytes; port 2 has room for 4";
    const uint8_t port1[] = {1, 2, 3, 4, 5, 6};
    e.aq->area()->mOut[0].put(port1, 6);
    ASSERT_EQ(e.aq->buildOutputPacket(packet, sizeof packet), 9u);
    EXPECT_EQ(Bytes(packet, packet + 9), (Bytes{1, 2, 3, 0xFD, 0x3C, 0xFD, 0xFD, 0xFD, 0xE0}))
        << "the second allows 3";
}

TEST(USBMidiPatternTest, FramePatternPacesBelowTheWireAndBulkPatternsByRate)
{
    USBMidiPattern pattern;
    uint32_t sum = 0;
    for (uint32_t i = 0; i < 256; ++i) {
        const uint32_t allowed = pattern.next();
        sum += allowed;
        if (i >= 248) {
            EXPECT_EQ(allowed, 3u) << i;
        }
    }
    EXPECT_EQ(sum, 799u);
    EXPECT_EQ(pattern.position(), 0);
    struct Rate
    {
        uint32_t rate;
        uint32_t length;
        uint32_t ones;
    };
    for (const Rate& r : {Rate{32'000, 32, 25}, Rate{44'100, 441, 250}, Rate{48'000, 48, 25}, Rate{88'200, 441, 125},
                          Rate{96'000, 96, 25}, Rate{176'400, 882, 125}, Rate{192'000, 192, 25}, Rate{22'050, 0, 0}}) {
        pattern.initForBulk(r.rate);
        uint32_t ones = 0;
        for (uint32_t i = 0; i < pattern.bulkLength(); ++i) {
            ones += pattern.bulkEntry(i);
        }
        EXPECT_EQ(pattern.bulkLength(), r.length) << r.rate;
        EXPECT_EQ(ones, r.ones) << r.rate;
        EXPECT_EQ(pattern.checkBulkRate1K(), r.ones == 0 ? 0 : r.length * 1000 / r.ones) << r.rate;
    }
}

// A frame whose channel c carries the sample (c + 1) << 24 with every third one negative.
Bytes levelFrame(uint32_t channels)
{
    Bytes frame(channels * 4, 0);
    for (uint32_t c = 0; c < channels; ++c) {
        const int32_t sample = int32_t((c + 1) << 24) * (c % 3 == 2 ? -1 : 1);
        std::memcpy(&frame[c * 4], &sample, 4);
    }
    return frame;
}

TEST(LevelProcessorTest, PeaksForEveryChannelCountReadAndCleared)
{
    Engine e(kModel0A92_0111.vendor, kModel0A92_0111.product);
    for (uint32_t channels : {2u, 4u, 6u, 8u, 10u, 16u, 18u}) {
        const LevelProcessor processor = levelProcessorFor(channels);
        ASSERT_NE(processor, nullptr);
        const Bytes frame = levelFrame(channels);
        EXPECT_EQ(processor(e.aq->inputLevels(), frame.data()), int(channels));
        QZ_LevelInfo read{};
        e.aq->getLevelInfo(read);
        for (uint32_t c = 0; c < 32; ++c) {
            EXPECT_EQ(read.mLevels[c], c < channels ? int8_t(c + 1) : 0) << channels << " channel " << c;
        }
        e.aq->getLevelInfo(read);
        EXPECT_EQ(read.mLevels[0], 0) << "cleared by the read";
    }
    const int32_t most = INT32_MIN;
    uint8_t frame[8];
    std::memcpy(frame, &most, 4);
    std::memcpy(frame + 4, &most, 4);
    LevelProcessor2CH(e.aq->outputLevels(), frame);
    QZ_LevelInfo read{};
    e.aq->getLevelInfo(read);
    EXPECT_EQ(read.mLevels[32], 127);
    EXPECT_EQ(levelProcessorFor(3), nullptr);
}

TEST(LevelProcessorTest, ChoiceNeverWalksMoreChannelsThanTheStream)
{
    Engine e(kModel0A92_0111.vendor, kModel0A92_0111.product);
    LevelProcessor in = nullptr;
    LevelProcessor out = nullptr;
    chooseLevelProcessors(*e.harness.device, 18, 8, true, in, out);
    EXPECT_EQ(in, &LevelProcessor18CH);
    EXPECT_EQ(out, &LevelProcessor8CH);
    chooseLevelProcessors(*e.harness.device, 18, 4, true, in, out);
    EXPECT_EQ(out, nullptr);
    chooseLevelProcessors(*e.harness.device, 18, 8, false, in, out);
    EXPECT_EQ(in, nullptr);
    chooseLevelProcessors(*e.harness.device, 12, 8, true, in, out);
    EXPECT_EQ(in, nullptr);
}

} // namespace
