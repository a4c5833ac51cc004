// Isochronous transfer blocks and their ring: the mode each pipe gives (frames or microframes),
// the buffer sizes, reads and writes bounded by packet and buffer, the Elektron packet header,
// strict turns with start frames 4 apart, the end of auto-delete blocks, cancelling.
// Pipes are opened on a simulated device built from descriptor bytes, so a block's "initialised"
// is the real one: a buffer and an open USB pipe.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "DescriptorFixtures.h"
#include "IOKit/usb/IOUSBDevice.h"
#include "IOKit/usb/IOUSBInterface.h"
#include "VKFramePatternObserver.h"
#include "VKIsocRB.h"
#include "VKKernelMemory.h"
#include "VKUSBDescriptors.h"
#include "platform/HostClock.h"
#include "platform/Log.h"
#include "platform/RealTime.h"
#include "platform/USBHost.h"
#include "usbsim/Bus.h"
#include "usbsim/models/TableDevice.h"

namespace vc = platform::host_clock::virtual_clock;
using platform::log::Capture;
using platform::log::Channel;

namespace {

const VIDPID kAnyDevice(0x2912, 0x3001, 0x0100, nullptr);

// Endpoints of the streaming interface's alternate 1.
constexpr uint8_t kOutEvery = 0x01;    // OUT, bInterval 1
constexpr uint8_t kOutInterval4 = 0x02; // OUT, bInterval 4, 200 bytes
constexpr uint8_t kFeedback = 0x83;    // IN feedback, bInterval 1, 3 bytes
constexpr uint16_t kSmallPacket = 200;

std::vector<uint8_t> endpoint(uint8_t address, uint8_t attributes, uint16_t packet, uint8_t interval)
{
    return {9, 5, address, attributes, uint8_t(packet), uint8_t(packet >> 8), interval, 0, 0};
}

// One device on a simulated bus, its streaming alternate open and its pipes taken.
class IsocPipes
{
public:
    // `everyPacket`: the packet size of the bInterval-1 OUT endpoint.
    IsocPipes(usbsim::Speed speed, uint16_t everyPacket)
    {
        fixtures::ConfigBytes config(2);
        config.interface(0, 0, 0, 1, 1).audioControlHeader().interface(1, 0, 0).interface(1, 1, 3);
        config.streamingGeneral().format(2, 16, {48000});
        for (const auto& ep : {endpoint(kOutEvery, 0x05, everyPacket, 1), endpoint(kOutInterval4, 0x05, kSmallPacket, 4),
                               endpoint(kFeedback, 0x11, 3, 1)}) {
            config.raw({ep[0], ep[1], ep[2], ep[3], ep[4], ep[5], ep[6], ep[7], ep[8]});
        }
        usbsim::models::ModelData data;
        data.speed = speed;
        data.device = fixtures::deviceBytes(0x2912, 0x3001, 0x0100);
        data.configurations = {config.build()};
        device = bus.attach(std::make_shared<usbsim::models::TableDevice>(data));
        service = host->copyDevice(device);
        if (service == nullptr || !service->open(client, kIOServiceSeize) ||
            service->SetConfiguration(client, 1, false) != kIOReturnSuccess) {
            return;
        }
        std::vector<uint8_t> bytes(4096);
        UInt32 actual = 0;
        if (service->GetConfigurationDescriptor(1, bytes.data(), 4096, &actual) != kIOReturnSuccess) {
            return;
        }
        USBByteBuffer buffer(bytes.data(), actual);
        if (!configuration->scan(buffer, kAnyDevice)) {
            return;
        }
        VKInterfaceDescriptor* streaming = configuration->findAudioStreamingOutInterface();
        alternate = streaming != nullptr ? streaming->getAlternateSetting(1) : nullptr;
        IOUSBFindInterfaceRequest any = {kIOUSBFindInterfaceDontCare, kIOUSBFindInterfaceDontCare,
                                         kIOUSBFindInterfaceDontCare, kIOUSBFindInterfaceDontCare};
        IOUSBInterface* family = service->FindNextInterface(nullptr, &any);
        while (family != nullptr && family->GetInterfaceNumber() != 1) {
            family = service->FindNextInterface(family, &any);
        }
        if (alternate == nullptr || family == nullptr || !alternate->setInterface(client, family, true)) {
            alternate = nullptr;
            return;
        }
        for (uint8_t address : {kOutEvery, kOutInterval4, kFeedback}) {
            VKPipeDescriptor* p = alternate->getPipeByAddress(address);
            if (p == nullptr || !p->initPipe(nullptr)) {
                alternate = nullptr;
                return;
            }
        }
    }
    ~IsocPipes()
    {
        configuration.reset();
        if (service != nullptr) {
            service->close(client);
            service->release();
        }
    }

    bool ready() const { return alternate != nullptr; }
    VKPipeDescriptor* pipe(uint8_t address) const { return alternate->getPipeByAddress(address); }

    vc::Scope clock{1'000'000'000};
    usbsim::Bus bus;
    std::unique_ptr<platform::usb::USBHost> host = std::make_unique<platform::usb::USBHost>(bus);
    std::shared_ptr<usbsim::Device> device;
    IOUSBDevice* service = nullptr;
    IOService* client = IOService::getServiceRoot();
    std::unique_ptr<VKConfigurationDescriptor> configuration{new VKConfigurationDescriptor()};
    VKInterfaceDescriptor* alternate = nullptr;
};

// A pipe descriptor from endpoint bytes alone (no USB pipe behind it).
std::unique_ptr<VKPipeDescriptor> loosePipe(uint16_t packet, uint8_t interval)
{
    auto pipe = std::make_unique<VKPipeDescriptor>(nullptr);
    const std::vector<uint8_t> bytes = endpoint(kOutEvery, 0x05, packet, interval);
    USBByteBuffer buffer(bytes.data(), uint32_t(bytes.size()));
    return pipe->scan(buffer) ? std::move(pipe) : nullptr;
}

// Gives back every use a test still holds (as the bus and the service would).
void giveBack(VKIsocRB* block)
{
    while (block->isInUse()) {
        block->unuse(nullptr);
    }
}

struct ModeCase
{
    const char* name;
    usbsim::Speed speed;
    uint8_t address;
    bool microFrames;
    uint32_t records;
    uint32_t bufferSize;
    uint16_t readPacket;
};

class IsocBlockModeTest : public ::testing::TestWithParam<ModeCase>
{
};

// The mode follows speed and bInterval; a read asks one packet per record and marks its area.
TEST_P(IsocBlockModeTest, RecordsBufferAndReadPackets)
{
    const ModeCase& c = GetParam();
    IsocPipes pipes(c.speed, c.speed == usbsim::Speed::high ? 1024 : kSmallPacket);
    ASSERT_TRUE(pipes.ready());
    VKIsocRB block(c.speed == usbsim::Speed::high, pipes.pipe(c.address));
    EXPECT_TRUE(block.mbInit);
    EXPECT_EQ(block.mbMicroFrames, c.microFrames);
    EXPECT_EQ(block.mNumFrames, c.records);
    EXPECT_EQ(block.mBufferSize, c.bufferSize);
    EXPECT_EQ(block.mAllocatedSize, c.bufferSize);
    EXPECT_FALSE(block.isInUse());
    EXPECT_TRUE(block.mbDone && block.mbCompleted);

    block.initRead();
    for (uint32_t i = 0; i < block.mNumFrames; ++i) {
        EXPECT_EQ(block.mFrames[i].frReqCount, c.readPacket) << i;
        EXPECT_EQ(block.mFrames[i].frActCount, 0);
        EXPECT_EQ(block.mFrameOffsets[i], i * c.readPacket);
    }
    const uint32_t used = block.mNumFrames * c.readPacket;
    EXPECT_EQ(block.mpBufferAddress[0], VKIsocRB::kReadFill);
    EXPECT_EQ(block.mpBufferAddress[used - 1], VKIsocRB::kReadFill);
    if (used < block.mAllocatedSize) {
        EXPECT_EQ(block.mpBufferAddress[used], 0) << "nothing past the records";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Pipes, IsocBlockModeTest,
    ::testing::Values(ModeCase{"HighSpeedEveryMicroframe", usbsim::Speed::high, kOutEvery, true, 32, 32768, 1024},
                      // bInterval 4 on a high-speed pipe: one packet per millisecond, frame mode.
                      ModeCase{"HighSpeedInterval4", usbsim::Speed::high, kOutInterval4, false, 4, 4096, kSmallPacket},
                      ModeCase{"HighSpeedFeedback", usbsim::Speed::high, kFeedback, true, 32, 32768, 3},
                      ModeCase{"FullSpeed", usbsim::Speed::full, kOutEvery, false, 4, 4096, kSmallPacket},
                      ModeCase{"FullSpeedFeedback", usbsim::Speed::full, kFeedback, false, 4, 4096, 3}),
    [](const ::testing::TestParamInfo<ModeCase>& param) { return param.param.name; });

TEST(IsocBlockTest, ReadPacketsStayWithinTheLimitsAndTheBuffer)
{
    struct Case
    {
        bool highSpeed;
        uint16_t packet;
        uint16_t expected;
        const char* log;
    };
    const Case cases[] = {
        {true, 0x7FF, 1024, "USB: VKIsocRB::initRead iMaxPacket > 1024"},
        {false, 0x7FF, 1023, "USB: VKIsocRB::initRead iMaxPacket > 1023"},
        {false, 1023, 1023, nullptr},
        {true, 1024, 1024, nullptr},
    };
    for (const Case& c : cases) {
        auto pipe = loosePipe(c.packet, 4);
        ASSERT_NE(pipe, nullptr);
        VKIsocRB block(c.highSpeed, pipe.get());
        EXPECT_FALSE(block.mbInit) << "no USB pipe behind the descriptor";
        Capture log(Channel::kernel);
        block.initRead();
        platform::log::flush();
        EXPECT_EQ(block.mFrames[3].frReqCount, c.expected);
        EXPECT_LE(block.mFrameOffsets[3] + block.mFrames[3].frReqCount, block.mAllocatedSize);
        if (c.log != nullptr) {
            EXPECT_TRUE(log.contains(c.log)) << c.log;
        }
    }
    VKIsocRB none(true, nullptr);
    EXPECT_EQ(none.mNumFrames, 4u);
    EXPECT_EQ(none.mMaxPacketSize, 1024u);
    none.initRead();
    EXPECT_EQ(none.mFrames[1].frReqCount, 1023);
    EXPECT_EQ(none.mFrameOffsets[1], 1023u);
}

// A block first made for a frame-mode pipe and then given a microframe pipe needs 32 records of
// up to 1,024 bytes: its buffer grows. One still held by the bus keeps its buffer and refuses.
TEST(IsocBlockTest, ReinitGrowsTheBufferWhenTheNewModeNeedsMore)
{
    IsocPipes pipes(usbsim::Speed::high, 1024);
    ASSERT_TRUE(pipes.ready());
    VKIsocRB block(true, pipes.pipe(kOutInterval4));
    ASSERT_EQ(block.mAllocatedSize, 4096u);
    {
        Capture log(Channel::kernel);
        EXPECT_TRUE(block.reinit(pipes.pipe(kOutEvery)));
        platform::log::flush();
        EXPECT_TRUE(log.contains("drelk VKIsocRB::reinit set microframes"));
    }
    EXPECT_EQ(block.mNumFrames, 32u);
    EXPECT_EQ(block.mAllocatedSize, 32768u);
    block.initRead();
    EXPECT_EQ(block.mFrameOffsets[31] + block.mFrames[31].frReqCount, 32768u);

    EXPECT_TRUE(block.reinit(pipes.pipe(kOutInterval4)));
    EXPECT_EQ(block.mNumFrames, 4u);
    EXPECT_EQ(block.mAllocatedSize, 32768u) << "a larger buffer is kept";

    VKIsocRB held(true, pipes.pipe(kOutInterval4));
    held.mUseCounter = 2;
    Capture log(Channel::kernel);
    EXPECT_FALSE(held.reinit(pipes.pipe(kOutEvery)));
    platform::log::flush();
    EXPECT_TRUE(log.contains("VKIsocRB::reinit while in use"));
    EXPECT_FALSE(held.mbInit);
    EXPECT_EQ(held.mAllocatedSize, 4096u);
    EXPECT_FALSE(held.isInUse()) << "forced idle";
    held.initRead(); // bounded by the small buffer
    EXPECT_LE(held.mFrameOffsets[31] + held.mFrames[31].frReqCount, 4096u);
    EXPECT_TRUE(held.reinit(pipes.pipe(kOutEvery))) << "idle now: it grows";
    EXPECT_EQ(held.mAllocatedSize, 32768u);
}

struct WriteCase
{
    const char* name;
    usbsim::Speed speed;
    uint8_t address;
    uint32_t rate;
    bool patternHighSpeed;
    uint32_t outBytesPerSample;
    uint32_t outChannels;
    std::vector<uint32_t> samples; // first records
    uint32_t bytesPerRecord0;
    bool clampLogged;
};

class IsocBlockWriteTest : public ::testing::TestWithParam<WriteCase>
{
};

// Each record takes its samples from the pattern: one entry per frame or microframe record, eight
// per 1-ms record on a high-speed device in frame mode. A value that would overrun the packet is
// clamped to the samples that fit.
TEST_P(IsocBlockWriteTest, RecordsFollowThePatternWithinThePacket)
{
    const WriteCase& c = GetParam();
    IsocPipes pipes(c.speed, c.speed == usbsim::Speed::high ? 1024 : kSmallPacket);
    ASSERT_TRUE(pipes.ready());
    VKIsocRB block(c.speed == usbsim::Speed::high, pipes.pipe(c.address));
    VKFramePatternObserver fpo;
    fpo.init(c.rate, 2, 2, c.outBytesPerSample, c.outChannels, c.patternHighSpeed, kAnyDevice);
    uint32_t running = 10;
    Capture log(Channel::kernel);
    const uint32_t total = block.initWrite_Std(fpo, running);
    platform::log::flush();
    EXPECT_EQ(log.contains("VKIsocRB::initWrite pattern value clamped"), c.clampLogged);
    uint32_t sum = 0;
    uint32_t bytes = 0;
    for (uint32_t i = 0; i < block.mNumFrames; ++i) {
        if (i < c.samples.size()) {
            EXPECT_EQ(block.mFrameSamples[i], c.samples[i]) << i;
        }
        EXPECT_EQ(block.mFrames[i].frReqCount, block.mFrameSamples[i] * block.mOutBytesPerSampleFrame);
        EXPECT_EQ(block.mFrameOffsets[i], bytes);
        EXPECT_LE(block.mFrames[i].frReqCount, block.packetCapacity());
        sum += block.mFrameSamples[i];
        bytes += block.mFrames[i].frReqCount;
    }
    EXPECT_EQ(block.mFrames[0].frReqCount, c.bytesPerRecord0);
    EXPECT_EQ(total, bytes);
    EXPECT_LE(total, block.mAllocatedSize);
    EXPECT_EQ(running, 10 + sum);
    EXPECT_EQ(block.mOutChannels, c.outChannels);
    EXPECT_EQ(block.mOutBytesPerSample, c.outBytesPerSample);
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, IsocBlockWriteTest,
    ::testing::Values(
        WriteCase{"FullSpeed44k1", usbsim::Speed::full, kOutEvery, 44100, false, 2, 2, {45, 44, 44, 44}, 180, false},
        WriteCase{"HighSpeedMicroframes", usbsim::Speed::high, kOutEvery, 48000, true, 3, 2, {6, 6, 6, 6}, 36, false},
        // bInterval 4 on a high-speed device: 8 microframe entries per 1-ms record.
        WriteCase{"HighSpeedInterval4At48k", usbsim::Speed::high, kOutInterval4, 48000, true, 2, 2, {48, 48, 48, 48},
                  192, false},
        WriteCase{"HighSpeedInterval4At44k1", usbsim::Speed::high, kOutInterval4, 44100, true, 2, 2, {45, 44, 44, 44},
                  180, false},
        // 48 samples x 6 bytes do not fit a 200-byte packet: 33 samples (198 bytes) go.
        WriteCase{"OverrunClampedToThePacket", usbsim::Speed::full, kOutEvery, 48000, false, 3, 2, {33, 33, 33, 33},
                  198, true}),
    [](const ::testing::TestParamInfo<WriteCase>& param) { return param.param.name; });

TEST(IsocBlockTest, ElektronPacketsCarryTheirHeaderAndTheRunningTotal)
{
    IsocPipes pipes(usbsim::Speed::high, 1024);
    ASSERT_TRUE(pipes.ready());
    VKIsocRB block(true, pipes.pipe(kOutEvery));
    VKFramePatternObserver fpo;
    fpo.init(48000, 4, 2, 4, 2, true, kAnyDevice); // 6 samples per microframe, 8 bytes each
    uint32_t running = 1000;
    EXPECT_EQ(block.initWrite_Elektron(fpo, running, 2), 32u * 152u);
    EXPECT_EQ(block.mFrames[0].frReqCount, 152);
    const uint8_t first[] = {0x06, 0xFF, 0x00, 0x00, 0x03, 0xEE, 0x00};
    EXPECT_EQ(std::memcmp(block.frameData(0), first, sizeof first), 0);
    const uint8_t second[] = {0x06, 0xFF, 0x00, 0x00, 0x03, 0xF4, 0x00};
    EXPECT_EQ(block.mFrameOffsets[1], 152u);
    EXPECT_EQ(std::memcmp(block.frameData(1), second, sizeof second), 0);
    EXPECT_EQ(running, 1000u + 32u * 6u);

    // No output channels: the header alone.
    EXPECT_EQ(block.initWrite_Elektron(fpo, running, 0), 32u * 104u);
    EXPECT_EQ(block.mFrameSamples[0], 6u);

    // A packet takes no more samples than the header has room for extra bytes (47).
    VKFramePatternObserver fullSpeed;
    fullSpeed.init(48000, 4, 2, 4, 2, false, kAnyDevice);
    block.initWrite_Elektron(fullSpeed, running, 2);
    EXPECT_EQ(block.mFrameSamples[0], VKIsocRB::kElektronMaxSamples);
    EXPECT_EQ(block.mFrames[0].frReqCount, 104 + 47 * 8);
}

TEST(IsocBlockTest, KeepAliveRequestsOneBytePerRecord)
{
    IsocPipes pipes(usbsim::Speed::full, kSmallPacket);
    ASSERT_TRUE(pipes.ready());
    VKIsocRB block(false, pipes.pipe(kOutInterval4));
    block.initWriteKeepAlive();
    for (uint32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(block.mFrames[i].frReqCount, 1);
        EXPECT_EQ(block.mFrameOffsets[i], i);
        EXPECT_EQ(block.mFrameSamples[i], 1u);
    }
}

// The ring hands blocks out strictly in turn, 4 frames apart in either mode; with all four
// queued it answers null, and only the very block due frees the turn.
TEST(IsocDataTest, BlocksGoOutInTurnFourFramesApart)
{
    IsocPipes pipes(usbsim::Speed::high, 1024);
    ASSERT_TRUE(pipes.ready());
    IsocData stream;
    ASSERT_NE(stream.mpUSBFrameInData, nullptr);
    ASSERT_TRUE(stream.alloc(true, pipes.pipe(kOutEvery), nullptr));
    stream.initForStream(1000);
    VKIsocRB* blocks[4];
    for (uint64_t i = 0; i < 4; ++i) {
        blocks[i] = stream.next();
        ASSERT_NE(blocks[i], nullptr);
        EXPECT_TRUE(blocks[i]->mbMicroFrames);
        EXPECT_EQ(blocks[i]->mStartFrame, 1000 + 4 * i);
        EXPECT_FALSE(blocks[i]->mbCompleted);
        blocks[i]->markQueued();
        EXPECT_EQ(blocks[i]->mUseCounter, 2u);
    }
    EXPECT_EQ(stream.getEarliestUnprocessed(), blocks[0]);
    {
        Capture log(Channel::kernel);
        EXPECT_EQ(stream.next(), nullptr);
        platform::log::flush();
        EXPECT_TRUE(log.contains("IsocData::next() - mRBs[mNext]->isInUse()"));
    }
    // Block 2 ends first: still not its turn.
    blocks[2]->setCallbackDone(nullptr);
    blocks[2]->mbDone = true;
    blocks[2]->unuse("test");
    EXPECT_FALSE(blocks[2]->isInUse());
    EXPECT_EQ(stream.next(), nullptr);
    // Block 0: its completion and the end of its processing.
    blocks[0]->setCallbackDone(nullptr);
    EXPECT_EQ(stream.next(), nullptr) << "one use still held";
    blocks[0]->mbDone = true;
    blocks[0]->unuse(nullptr);
    EXPECT_EQ(stream.getEarliestUnprocessed(), blocks[1]);
    VKIsocRB* again = stream.next();
    EXPECT_EQ(again, blocks[0]);
    EXPECT_EQ(again->mStartFrame, 1016u);
    for (VKIsocRB* block : {blocks[0], blocks[1], blocks[3]}) {
        giveBack(block);
    }

    // A pipe without an open USB pipe gives blocks that are not initialised.
    auto loose = loosePipe(1024, 1);
    IsocData other;
    EXPECT_FALSE(other.alloc(true, loose.get(), nullptr));
    other.initForStream(0);
    Capture log(Channel::kernel);
    EXPECT_EQ(other.next(), nullptr);
    platform::log::flush();
    EXPECT_TRUE(log.contains("IsocData::next() - !mRBs[mNext]->mbInit"));
}

TEST(IsocDataTest, CancelMarksQueuedBlocksAndGivesBackTheUnprocessedUse)
{
    IsocPipes pipes(usbsim::Speed::full, kSmallPacket);
    ASSERT_TRUE(pipes.ready());
    IsocData stream;
    ASSERT_TRUE(stream.alloc(false, pipes.pipe(kOutEvery), nullptr));
    stream.initForStream(50);
    VKIsocRB* queued = stream.next();
    queued->markQueued();
    VKIsocRB* completed = stream.next();
    completed->markQueued();
    completed->setCallbackDone(nullptr);
    stream.cancel(true);
    EXPECT_TRUE(queued->mbCancel);
    EXPECT_TRUE(queued->mbDone);
    EXPECT_EQ(queued->mUseCounter, 1u) << "the completion still gives one back";
    EXPECT_FALSE(completed->mbCancel) << "already given back by the bus";
    queued->setCallbackDone(nullptr);
    EXPECT_FALSE(queued->isInUse());
    EXPECT_FALSE(queued->mbCancel) << "cleared when idle";
    giveBack(completed);
}

// Blocks come from the counting allocator; an auto-delete block ends at its last give-back.
TEST(IsocDataTest, AutoDeleteBlocksEndAtTheirLastUseAndNeverBefore)
{
    MemoryState before{};
    memSnapshot(&before);
    {
        Capture log(Channel::kernel);
        auto* idle = new VKIsocRB(false, nullptr);
        idle->setAutoDeleteOnCompletion(true); // idle: ends at once
        platform::log::flush();
        EXPECT_TRUE(log.contains("AUTODELETE VKIsocRB"));
    }
    auto* held = new VKIsocRB(false, nullptr);
    held->mUseCounter = 2;
    held->setAutoDeleteOnCompletion(true);
    EXPECT_TRUE(held->isAutoDelete());
    EXPECT_EQ(held->mUseCounter & VKIsocRB::kUseMask, 2u);
    held->unuse(nullptr);
    EXPECT_TRUE(held->isInUse());
    Capture log(Channel::kernel);
    held->unuse("last");
    platform::log::flush();
    EXPECT_TRUE(log.contains("VKIsocRB::unuse(from:last) mUseCounter = 0"));
    EXPECT_TRUE(log.contains("AUTODELETE VKIsocRB"));

    MemoryState after{};
    memSnapshot(&after);
    EXPECT_EQ(after.allocCount - before.allocCount, after.freeCount - before.freeCount);
    EXPECT_EQ(after.bytesAllocated - before.bytesAllocated, after.bytesFreed - before.bytesFreed);

    // A give-back with nothing held changes nothing.
    VKIsocRB block(false, nullptr);
    block.unuse("none");
    EXPECT_EQ(block.mUseCounter, 0u);
}

// The bus gives back a block of an ended stream in a completion, under the real-time mark: the
// block is retired there (a destructor would free memory and log, which the mark forbids and a
// test program aborts on) and ends on the next request thread that reclaims.
TEST(IsocDataTest, ALastGiveBackUnderTheRealTimeMarkLeavesTheDestructorToARequestThread)
{
    MemoryState before{};
    memSnapshot(&before);
    auto* held = new VKIsocRB(false, nullptr);
    held->mUseCounter = 1; // the bus's
    held->setAutoDeleteOnCompletion(true);
    const uint32_t retired = VKIsocRB::retiredCount();
    {
        platform::realtime::Section completion;
        held->setCallbackDone(nullptr);
    }
    EXPECT_EQ(VKIsocRB::retiredCount(), retired + 1);
    MemoryState between{};
    memSnapshot(&between);
    EXPECT_EQ(between.freeCount, before.freeCount) << "nothing freed on the real-time thread";
    EXPECT_GE(VKIsocRB::reclaimRetired(), 1u);
    EXPECT_EQ(VKIsocRB::retiredCount(), 0u);
    MemoryState after{};
    memSnapshot(&after);
    EXPECT_EQ(after.allocCount - before.allocCount, after.freeCount - before.freeCount);
    EXPECT_EQ(after.bytesAllocated - before.bytesAllocated, after.bytesFreed - before.bytesFreed);
}

// The completion's last give-back and the switch to auto-delete (term on a request thread) race:
// exactly one of them ends the block, never both, never neither.
TEST(IsocDataTest, LastGiveBackAndAutoDeleteRaceEndTheBlockOnce)
{
    MemoryState before{};
    memSnapshot(&before);
    for (int round = 0; round < 500; ++round) {
        auto* block = new VKIsocRB(false, nullptr);
        ASSERT_NE(block, nullptr);
        block->mUseCounter = 1; // held by the bus
        std::atomic<int> ready{0};
        std::thread completion([&] {
            ready.fetch_add(1);
            while (ready.load() < 2) {
            }
            block->setCallbackDone(nullptr);
        });
        ready.fetch_add(1);
        while (ready.load() < 2) {
        }
        block->setAutoDeleteOnCompletion(true);
        completion.join();
    }
    MemoryState after{};
    memSnapshot(&after);
    EXPECT_EQ(after.allocCount - before.allocCount, 500u);
    EXPECT_EQ(after.freeCount - before.freeCount, 500u);
}

TEST(IsocDataTest, TermLeavesABlockTheBusHoldsToItsCompletion)
{
    IsocPipes pipes(usbsim::Speed::full, kSmallPacket);
    ASSERT_TRUE(pipes.ready());
    MemoryState before{};
    memSnapshot(&before);
    VKIsocRB* queued = nullptr;
    {
        IsocData stream;
        ASSERT_TRUE(stream.alloc(false, pipes.pipe(kOutEvery), nullptr));
        stream.initForStream(0);
        queued = stream.next();
        queued->markQueued();
        stream.term();
        EXPECT_EQ(stream.mRBs[0], nullptr);
        EXPECT_EQ(stream.mpUSBFrameInData, nullptr);
        EXPECT_TRUE(queued->isAutoDelete());
    }
    queued->setCallbackDone(nullptr);
    queued->mbDone = true;
    queued->unuse(nullptr); // ends here
    MemoryState after{};
    memSnapshot(&after);
    EXPECT_EQ(after.allocCount - before.allocCount, after.freeCount - before.freeCount);
}

} // namespace
