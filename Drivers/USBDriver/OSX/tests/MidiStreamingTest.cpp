// The family MIDI engine through the whole driver on the simulated bus: a client's bytes reach the
// device model paced, with fillers and the control byte, and the device's packets come back into
// the client's rings with time stamps; status words change the device's registers and settings.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "AQ.h"
#include "DriverFixture.h"
#include "DriverSM.h"
#include "IOKit/IOUserClient.h"
#include "VKDevice.h"
#include "VKKernelDevice.h"
#include "libkern/c++/OSContainers.h"
#include "usbsim/Catalogue.h"
#include "usbsim/models/AudioModel.h"
#include "usbsim/models/TableDevice.h"

using driver_test::DriverFixture;
using driver_test::kMillisecond;

namespace {

using Bytes = std::vector<uint8_t>;

class MidiStreamingFixture
{
public:
    ~MidiStreamingFixture() { stop(); }

    void stop()
    {
        if (client == nullptr) {
            return;
        }
        if (aq != nullptr) {
            driver.runInKernel([&] {
                VKDispatchLock lock(*service);
                aq->clientDetach(client);
            });
        }
        client->release();
        client = nullptr;
        driver.unplug();
    }

    // Plugs the model, configures it as it starts, streams, and attaches the MIDI client; with an
    // input-parser selector, the model gets a personality that names it ("kInACR").
    bool start(const std::string& name, int inACR = -1)
    {
        if (inACR >= 0) {
            const usbsim::CatalogueEntry* entry = usbsim::findModel(name);
            if (entry == nullptr) {
                return false;
            }
            OSDictionary* specific = OSDictionary::withCapacity(1);
            OSNumber* value = OSNumber::withNumber(static_cast<unsigned long long>(inACR), 32);
            specific->setObject("kInACR", value);
            value->release();
            driver.addPersonality(entry->vendor, entry->product, specific);
            specific->release();
            service = driver.plug(entry->make());
        } else {
            service = driver.plug(name);
        }
        device = service != nullptr ? service->device() : nullptr;
        if (device == nullptr) {
            return false;
        }
        model = dynamic_cast<usbsim::models::TableDevice*>(driver.model());
        IOReturn status = kIOReturnError;
        bool attached = false;
        driver.runInKernel([&] {
            VKDispatchLock lock(*service);
            status = service->reqConfigureDevice("test");
            device->startStreaming();
            aq = device->mpAQ;
            attached = aq != nullptr && aq->clientAttach(client);
        });
        return model != nullptr && status == kIOReturnSuccess && attached && aq->running();
    }

    // The client queues bytes for port 1 and asks for them to be sent.
    void send(const Bytes& bytes)
    {
        ASSERT_EQ(aq->area()->mOut[0].put(bytes.data(), int32_t(bytes.size())), int32_t(bytes.size()));
        driver.runInKernel([&] {
            VKDispatchLock lock(*service);
            aq->fireOutput();
        });
    }

    std::vector<MidiIOElement> received(uint32_t port)
    {
        std::vector<MidiIOElement> out;
        MidiIOElement e{};
        while (aq->area()->mIn[port].get(&e)) {
            out.push_back(e);
        }
        return out;
    }

    DriverFixture driver;
    VKKernelDevice* service = nullptr;
    VKDevice* device = nullptr;
    usbsim::models::TableDevice* model = nullptr;
    AQ* aq = nullptr;
    IOUserClient* client = [] {
        auto* c = new IOUserClient;
        c->initWithTask(0, nullptr, 0);
        return c;
    }();
};

class MidiStreamingTest : public testing::Test, protected MidiStreamingFixture
{
protected:
    void TearDown() override { stop(); }
};

// LE32 status words: 0xB00B, code, value.
Bytes words(std::initializer_list<std::pair<uint8_t, uint8_t>> codes)
{
    Bytes packet(512, 0);
    size_t at = 0;
    for (auto [code, value] : codes) {
        packet[at++] = 0x0B;
        packet[at++] = 0xB0;
        packet[at++] = code;
        packet[at++] = value;
    }
    return packet;
}

TEST_F(MidiStreamingTest, StatusWordDeviceGetsPacedBytesAndItsWordsComeBack)
{
    ASSERT_TRUE(start("US-366"));
    // A system-exclusive message longer than many packets.
    Bytes sysex = {0xF0};
    for (int i = 0; i < 40; ++i) {
        sysex.push_back(uint8_t(i));
    }
    sysex.push_back(0xF7);
    send(sysex);
    driver.runFor(100 * kMillisecond);

    const std::vector<usbsim::models::MidiPacket> packets = model->midiOut();
    ASSERT_FALSE(packets.empty());
    USBMidiPattern pattern;
    Bytes delivered;
    uint64_t lastFrame = 0;
    for (size_t i = 0; i < packets.size(); ++i) {
        const Bytes& p = packets[i].bytes;
        ASSERT_EQ(p.size(), 512u) << "packet " << i;
        EXPECT_EQ(p.back(), 0xE0) << "the control byte last";
        const uint32_t allowed = pattern.next();
        uint32_t data = 0;
        for (size_t b = 0; b + 1 < p.size(); ++b) {
            if (p[b] != 0xFD) {
                EXPECT_LT(b, allowed) << "packet " << i << " byte " << b;
                delivered.push_back(p[b]);
                ++data;
            }
        }
        EXPECT_LE(data, allowed) << "packet " << i;
        EXPECT_GE(packets[i].time.frameNumber, lastFrame) << "bus times in order";
        lastFrame = packets[i].time.frameNumber;
    }
    EXPECT_EQ(delivered, sysex) << "every byte once, in order, no filler among them";
    // No faster than the MIDI wire: at most 4 bytes in any one bus frame.
    std::map<uint64_t, size_t> perFrame;
    for (const usbsim::models::MidiPacket& packet : packets) {
        for (size_t b = 0; b + 1 < packet.bytes.size(); ++b) {
            perFrame[packet.time.frameNumber] += packet.bytes[b] != 0xFD ? 1 : 0;
        }
    }
    for (const auto& [frame, bytes] : perFrame) {
        EXPECT_LE(bytes, 4u) << "frame " << frame;
    }
    EXPECT_EQ(aq->area()->mOutputInProgress, 0) << "the chain ended when the queues emptied";

    // Status words: a register and a foot switch press and release (rewind).
    model->queueMidiIn(words({{102, 0x33}, {106, 2}}));
    model->queueMidiIn(words({{105, 2}}));
    driver.runFor(50 * kMillisecond);
    EXPECT_EQ(device->registers().us366[0], 0x33);
    const std::vector<MidiIOElement> notes = received(0);
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_EQ(Bytes(notes[0].mData, notes[0].mData + notes[0].mLength), (Bytes{0x90, 0x5B, 0x7F}));
    EXPECT_EQ(Bytes(notes[1].mData, notes[1].mData + notes[1].mLength), (Bytes{0x90, 0x5B, 0x00}));
    EXPECT_GT(notes[0].mTime, 0u);
    EXPECT_LE(notes[0].mTime, notes[1].mTime);
}

// Control-port bytes go out one a packet as the packet's last byte, which then keeps the last one.
TEST_F(MidiStreamingTest, ControlPortBytesRideAsTheLastByteOfPackets)
{
    ASSERT_TRUE(start("US-366"));
    const uint8_t control[] = {0xA1, 0xA2, 0xA3};
    IOReturn status = kIOReturnError;
    driver.runInKernel([&] {
        VKDispatchLock lock(*service);
        status = aq->sendCPort(control, sizeof control);
    });
    EXPECT_EQ(status, kIOReturnSuccess);
    send({0xF8, 0xF8, 0xF8, 0xF8, 0xF8, 0xF8, 0xF8, 0xF8, 0xF8, 0xF8, 0xF8, 0xF8});
    driver.runFor(50 * kMillisecond);
    Bytes last;
    for (const usbsim::models::MidiPacket& packet : model->midiOut()) {
        last.push_back(packet.bytes.back());
    }
    ASSERT_GE(last.size(), 4u);
    EXPECT_EQ(Bytes(last.begin(), last.begin() + 3), (Bytes{0xA1, 0xA2, 0xA3}));
    EXPECT_EQ(last.back(), 0xA3);
}

TEST_F(MidiStreamingTest, ElektronMidiRoundTripsWholePacketsOfPlainBytes)
{
    ASSERT_TRUE(start("1935:0006"));
    const Bytes bytes = {0x90, 0x3C, 0x64, 0x80, 0x3C, 0x00, 0xB0, 0x07, 0x7F};
    send(bytes);
    driver.runFor(50 * kMillisecond);
    const std::vector<usbsim::models::MidiPacket> packets = model->midiOut();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].bytes, bytes) << "a packet as long as the bytes taken";

    // A short packet: only its bytes are MIDI; running status arrives as sent.
    model->queueMidiIn({0x90, 0x40, 0x7F, 0x40, 0x00});
    model->queueMidiIn({0xF8});
    driver.runFor(50 * kMillisecond);
    const std::vector<MidiIOElement> in = received(0);
    ASSERT_EQ(in.size(), 2u);
    EXPECT_EQ(Bytes(in[0].mData, in[0].mData + in[0].mLength), (Bytes{0x90, 0x40, 0x7F, 0x40, 0x00}));
    EXPECT_EQ(Bytes(in[1].mData, in[1].mData + in[1].mLength), (Bytes{0xF8}));
    EXPECT_LT(in[0].mTime, in[1].mTime + 1);
}

// Each parser chosen by the personality's selector, on the packets of a device with a class MIDI
// interface at full speed (9-byte packets: 4 + 4 MIDI bytes and a control byte by default).
TEST(MidiParserChoiceTest, SelectorPicksTheParserAndOnlyMidiBytesArrive)
{
    struct Case
    {
        int inACR;
        Bytes packet;
        std::vector<Bytes> port1;
        std::vector<Bytes> port2;
    };
    const Case cases[] = {
        {255, {0xFD, 0xFD, 0xFD, 0xFD, 0x90, 0x3C, 0x64, 0xFD, 0xE0}, {}, {{0x90, 0x3C, 0x64}}},
        {255, {0xB0, 0x07, 0x7F, 0xFD, 0xFD, 0xFD, 0xFD, 0xFD, 0xE0}, {{0xB0, 0x07, 0x7F}}, {}},
        {0, {0xF0, 1, 2, 3, 4, 5, 6, 7, 0xF7}, {{0xF0, 1, 2, 3, 4, 5, 6, 7}, {0xF7}}, {}},
        {3, {0x90, 0x3C, 0x64, 0xFD, 0x11, 0x22, 0x33, 0x44, 0xE0}, {{0x90, 0x3C, 0x64}}, {}},
        {2, {0x80, 0x3C, 0x00, 0xFD, 0x11, 0x22, 0x33, 0x44, 0xE0}, {{0x80, 0x3C, 0x00}}, {}},
        {5, {0xF8, 0xE0}, {{0xF8}}, {}},
        {5, {0xFD, 0xE0}, {}, {}},
        {4, {0x90, 0x3C, 0x64, 0xFD, 0x90, 0x3E, 0x64, 0xFD, 0xE0}, {{0x90, 0x3C, 0x64}}, {{0x90, 0x3E, 0x64}}},
    };
    for (const Case& c : cases) {
        MidiStreamingFixture f;
        ASSERT_TRUE(f.start("class-audio-midi", c.inACR)) << c.inACR;
        f.model->queueMidiIn(c.packet);
        f.driver.runFor(20 * kMillisecond);
        std::vector<Bytes> port1;
        for (const MidiIOElement& e : f.received(0)) {
            port1.emplace_back(e.mData, e.mData + e.mLength);
        }
        std::vector<Bytes> port2;
        for (const MidiIOElement& e : f.received(1)) {
            port2.emplace_back(e.mData, e.mData + e.mLength);
        }
        EXPECT_EQ(port1, c.port1) << "kInACR " << c.inACR;
        EXPECT_EQ(port2, c.port2) << "kInACR " << c.inACR;
        f.stop();
    }
}

// Output of the 9-byte layout: port 1 from byte 0 and port 2 from byte 4, each paced, fillers
// around them, the control byte last.
TEST_F(MidiStreamingTest, NineBytePacketsCarryBothPortsPacedAndTheControlByte)
{
    ASSERT_TRUE(start("class-audio-midi"));
    const Bytes port2 = {0x90, 0x3C, 0x64, 0x80, 0x3C, 0x00};
    ASSERT_EQ(aq->area()->mOut[1].put(port2.data(), int32_t(port2.size())), int32_t(port2.size()));
    send({0xC0, 0x05});
    driver.runFor(20 * kMillisecond);
    const std::vector<usbsim::models::MidiPacket> packets = model->midiOut();
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0].bytes, (Bytes{0xC0, 0x05, 0xFD, 0xFD, 0x90, 0x3C, 0x64, 0x80, 0xE0}));
    EXPECT_EQ(packets[1].bytes, (Bytes{0xFD, 0xFD, 0xFD, 0xFD, 0x3C, 0x00, 0xFD, 0xFD, 0xE0}));
    EXPECT_LT(packets[0].time.frameNumber, packets[1].time.frameNumber);
}

// The input meters of a streaming device: peaks of a known signal per channel, read and cleared
// while it streams.
TEST_F(MidiStreamingTest, InputLevelsShowEachChannelsPeakAndClearWhenRead)
{
    ASSERT_TRUE(start("1935:0006"));
    auto* audio = dynamic_cast<usbsim::models::AudioModel*>(model);
    ASSERT_NE(audio, nullptr);
    const uint32_t channels = static_cast<uint32_t>(device->getCurrentSettings()->iInChannels);
    ASSERT_NE(device->mInLevelProcessor, nullptr) << channels << " input channels";
    // Channel c peaks at (c + 1) << 24, every third one negative.
    std::vector<int32_t> signal;
    for (int frame = 0; frame < 48'000; ++frame) {
        for (uint32_t c = 0; c < channels; ++c) {
            const int32_t peak = int32_t((c + 1) << 24) * (c % 3 == 2 ? -1 : 1);
            signal.push_back(frame % 48 == 0 ? peak : 0);
        }
    }
    audio->feedInput(signal);
    driver.runFor(100 * kMillisecond);
    QZ_LevelInfo levels{};
    aq->getLevelInfo(levels);
    for (uint32_t c = 0; c < 32; ++c) {
        EXPECT_EQ(levels.mLevels[c], c < channels ? int8_t(c + 1) : 0) << "channel " << c;
    }
    // The signal ends; once read and cleared, silence shows nothing.
    driver.runFor(1100 * kMillisecond);
    aq->getLevelInfo(levels);
    driver.runFor(20 * kMillisecond);
    aq->getLevelInfo(levels);
    for (uint32_t c = 0; c < 64; ++c) {
        EXPECT_EQ(levels.mLevels[c], 0) << "byte " << c;
    }
}

} // namespace
