// The client table and the output mix: attach and detach, the start of a client at a cycle
// boundary, mixing with saturation, exclusive and private-data clients, gains and routing, and
// the kernel's own records against whatever user space writes into the shared blocks.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "DriverData.h"
#include "DriverSM.h"
#include "IOKit/IOUserClient.h"
#include "platform/Log.h"

namespace {

constexpr int32_t kRate = 48'000;

// A user client as the kernel makes one: initialised, so that it has its identifier.
IOUserClient* madeClient()
{
    auto* client = new IOUserClient;
    client->initWithTask(0, nullptr, 0);
    return client;
}

struct Client
{
    IOUserClient* client = madeClient();
    std::unique_ptr<AudioSM> ring = std::make_unique<AudioSM>();

    Client(uint32_t channels, uint32_t extraBytesPerFrame = 0) { ring->init(channels, kRate, extraBytesPerFrame); }
    ~Client() { client->release(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    uint64_t id() const { return VKClientIdentifier(client); }
    // The client's IO: `frames` frames at `position`, every sample of frame f channel c from fn.
    template <class Fn> void write(uint64_t position, uint32_t frames, uint32_t channels, Fn fn)
    {
        std::vector<int32_t> samples(size_t{frames} * channels);
        for (uint32_t f = 0; f < frames; ++f) {
            for (uint32_t c = 0; c < channels; ++c) {
                samples[size_t{f} * channels + c] = fn(f, c);
            }
        }
        ring->writeFramesToKernelAtPos(samples.data(), frames, position, 0, channels, nullptr, 4);
    }
    void fill(uint64_t position, uint32_t frames, uint32_t channels, int32_t value)
    {
        write(position, frames, channels, [value](uint32_t, uint32_t) { return value; });
    }
};

class DriverDataTest : public ::testing::Test
{
protected:
    void SetUp() override { make(2, 0x1234, 0x0001); }
    void TearDown() override
    {
        if (data != nullptr) {
            data->release();
        }
    }

    void make(int32_t width, uint16_t vendor, uint16_t product)
    {
        if (data != nullptr) {
            data->release();
        }
        sm = std::make_unique<DriverSM>();
        data = DriverData::create(sm.get(), vendor, product);
        ASSERT_NE(data, nullptr);
        settings = {kRate, width, 24, width, 24, 1};
        data->setConverters(pcmTo32LSB, settings);
        channels = static_cast<uint32_t>(width);
    }

    Client& attach(uint32_t extraBytesPerFrame = 0)
    {
        clients.push_back(std::make_unique<Client>(channels, extraBytesPerFrame));
        uint32_t slot = 99;
        EXPECT_TRUE(data->attachClient(clients.back()->client, clients.back()->ring.get(), 100 + int32_t(clients.size()),
                                       &slot, 512));
        return *clients.back();
    }

    // One USB frame of `frames` frames at `position`, encoded as 32-bit words.
    std::vector<int32_t> mix(uint64_t position, uint32_t frames, uint8_t* extra = nullptr)
    {
        std::vector<int32_t> usb(size_t{frames} * channels, 0x55555555);
        data->rtsIsocOutput(reinterpret_cast<uint8_t*>(usb.data()), static_cast<uint32_t>(usb.size() * 4), position,
                            frames, extra);
        return usb;
    }

    std::unique_ptr<DriverSM> sm;
    DriverData* data = nullptr;
    QzChannelSettings settings{};
    uint32_t channels = 2;
    std::vector<std::unique_ptr<Client>> clients;
};

uint32_t slotWord(const DriverSM& sm, uint32_t slot, size_t offset)
{
    uint32_t value = 0;
    std::memcpy(&value, sm.mClients[slot] + offset, 4);
    return value;
}

// A 64-bit field of the shared block: only 4-byte aligned there.
uint64_t wideAt(const void* at)
{
    uint64_t value = 0;
    std::memcpy(&value, at, 8);
    return value;
}

uint64_t slotWide(const DriverSM& sm, uint32_t slot, size_t offset)
{
    uint64_t value = 0;
    std::memcpy(&value, sm.mClients[slot] + offset, 8);
    return value;
}

TEST_F(DriverDataTest, ANinthAttachFailsAndTheCountStaysEight)
{
    for (int i = 0; i < 8; ++i) {
        attach();
    }
    EXPECT_EQ(data->countClients(), 8u);
    EXPECT_EQ(sm->mAttachedClients, 8u);
    for (uint32_t i = 0; i < 8; ++i) {
        EXPECT_EQ(slotWide(*sm, i, 164), clients[i]->id()) << "the slot shows its client";
        EXPECT_EQ(slotWord(*sm, i, 4), 101 + i);
        EXPECT_EQ(clients[i]->ring->mState, AudioSM::kStateAttachPending);
    }

    Client ninth(2);
    platform::log::Capture log(platform::log::Channel::kernel);
    uint32_t slot = 99;
    EXPECT_FALSE(data->attachClient(ninth.client, ninth.ring.get(), 9, &slot, 512));
    EXPECT_EQ(slot, 99u);
    EXPECT_EQ(data->countClients(), 8u);
    EXPECT_EQ(sm->mAttachedClients, 8u);
    EXPECT_EQ(ninth.client->getRetainCount(), 1) << "a refused client is not kept";
    EXPECT_FALSE(data->isClientAttached(ninth.client));

    // A freed slot is the next one taken; the detached client is released.
    EXPECT_EQ(clients[3]->client->getRetainCount(), 2);
    data->detachClient(clients[3]->client);
    EXPECT_EQ(clients[3]->client->getRetainCount(), 1);
    EXPECT_EQ(slotWide(*sm, 3, 164), 0u);
    EXPECT_EQ(data->countClients(), 7u);
    EXPECT_TRUE(data->attachClient(ninth.client, ninth.ring.get(), 9, &slot, 512));
    EXPECT_EQ(slot, 3u);
    data->detachAllClients();
    EXPECT_EQ(data->countClients(), 0u);
    EXPECT_EQ(sm->mAttachedClients, 0u);
    EXPECT_EQ(ninth.client->getRetainCount(), 1);
}

TEST_F(DriverDataTest, AChangeNoticeReachesOnlyAnAttachedClientsRing)
{
    Client& a = attach();
    ClientData__notifyChange(&data->slot(0), 7);
    EXPECT_EQ(a.ring->mNotification, 7u);
    data->detachClient(a.client);
    ClientData__notifyChange(&data->slot(0), 9);
    EXPECT_EQ(a.ring->mNotification, 7u) << "a free slot has no ring";
    ClientData__notifyChange(nullptr, 9);
}

TEST_F(DriverDataTest, MixedSumsSaturateAtTheEdgesOfTwentyFourBits)
{
    struct Case
    {
        std::vector<int32_t> values; // one per client
        uint32_t expected;
    };
    const Case cases[] = {
        {{7'340'032, 7'340'032}, 0x7FFFFF00},
        {{-5'242'880, -5'242'880}, 0x80000000},
        {{1}, 0x00000100},
        {{8'388'607}, 0x7FFFFF00},
        {{-8'388'608}, 0x80000000},
        {{8'388'607, 1}, 0x7FFFFF00},
        {{1, 2, 3, 4, 5, 6, 7, 8}, 36 * 256},                                          // eight: set, then add
        {{1'100'000, 1'100'000, 1'100'000, 1'100'000, 1'100'000, 1'100'000, 1'100'000, 1'100'000}, 0x7FFFFF00},
        {{-1'100'000, -1'100'000, -1'100'000, -1'100'000, -1'100'000, -1'100'000, -1'100'000, -1'100'000}, 0x80000000},
    };
    for (const Case& c : cases) {
        make(2, 0x1234, 1);
        clients.clear();
        for (int32_t value : c.values) {
            attach().fill(0, 4, 2, value);
        }
        data->rtsCheckAttachClients(0, 0, 1);
        for (int32_t word : mix(0, 4)) {
            EXPECT_EQ(static_cast<uint32_t>(word), c.expected) << ::testing::PrintToString(c.values);
        }
    }
}

TEST_F(DriverDataTest, EveryClientIsReadAtTheKernelsPositionAndSilenceWithoutOne)
{
    Client& a = attach();
    a.write(1000, 8, 2, [](uint32_t f, uint32_t c) { return int32_t(f * 10 + c); });
    data->rtsCheckAttachClients(1000, 0, 1);
    const auto out = mix(1002, 3);
    for (uint32_t f = 0; f < 3; ++f) {
        for (uint32_t c = 0; c < 2; ++c) {
            EXPECT_EQ(out[f * 2 + c], int32_t(((f + 2) * 10 + c) * 256));
        }
    }
    EXPECT_EQ(data->outputPeak(0), 40 * 256);
    EXPECT_EQ(data->outputPeak(1), 41 * 256);

    data->detachAllClients();
    platform::log::Capture log(platform::log::Channel::kernel);
    for (int32_t word : mix(1002, 3)) {
        EXPECT_EQ(word, 0);
    }
    mix(1005, 3);
    platform::log::flush();
    int told = 0;
    for (const auto& text : log.texts()) {
        told += text.find("rtsIsocOutput numClients NULL!!") != std::string::npos;
    }
    EXPECT_EQ(told, 1) << "once per run of empty frames";
}

TEST_F(DriverDataTest, AClientAttachedWhileMixingJoinsOnlyOnceTheServiceStartsIt)
{
    Client& a = attach();
    a.fill(0, 64, 2, 100);
    data->rtsCheckAttachClients(0, 0, 1);
    EXPECT_EQ(mix(0, 4)[0], 100 * 256);

    Client& b = attach();
    b.fill(0, 64, 2, 20);
    EXPECT_EQ(b.ring->mState, AudioSM::kStateAttachPending);
    EXPECT_EQ(mix(4, 4)[0], 100 * 256) << "pending: not mixed";

    data->rtsCheckAttachClients(8, 96, 5000);
    EXPECT_EQ(b.ring->mState, AudioSM::kStateRunning);
    EXPECT_EQ(b.ring->mAttachFramePos, 8u);
    EXPECT_EQ(b.ring->mClientFramePos, 8u);
    EXPECT_EQ(b.ring->mFramesWritten, 8u);
    EXPECT_EQ(b.ring->mAttachHostTime, 5000u);
    EXPECT_EQ(b.ring->mAttachOutputPos, 96u);
    EXPECT_EQ(b.ring->mOutputPos, 96u);
    EXPECT_EQ(a.ring->mOutputPos, 96u) << "a running ring only gets the output position";
    EXPECT_EQ(a.ring->mAttachFramePos, 0u);
    EXPECT_EQ(mix(8, 4)[0], 120 * 256);
}

TEST_F(DriverDataTest, ABusySlotIsLeftOutForOneFrameWithALogLine)
{
    Client& a = attach();
    Client& b = attach();
    a.fill(0, 64, 2, 3);
    b.fill(0, 64, 2, 5);
    data->rtsCheckAttachClients(0, 0, 1);

    platform::log::Capture log(platform::log::Channel::kernel);
    data->slot(1).mUseCount.fetch_add(1); // a detach holds it
    EXPECT_EQ(mix(0, 4)[0], 3 * 256);
    data->slot(1).mUseCount.fetch_sub(1);
    EXPECT_EQ(mix(4, 4)[0], 8 * 256);
    platform::log::flush();
    EXPECT_TRUE(log.contains("ClientData__isAttachedLocked OSAtomicAdd32 returned 2"));
}

TEST_F(DriverDataTest, AnOutputsExclusiveClientIsTheOnlyOneHeard)
{
    Client& a = attach();
    Client& b = attach();
    Client& c = attach();
    a.fill(0, 64, 2, 1);
    b.fill(0, 64, 2, 20);
    c.fill(0, 64, 2, 300);
    data->rtsCheckAttachClients(0, 0, 1);
    EXPECT_EQ(mix(0, 2)[0], 321 * 256);

    const struct
    {
        uint64_t exclusive;
        int32_t expected;
    } cases[] = {{a.id(), 1}, {b.id(), 20}, {c.id(), 300}, {0xDEADBEEF, 0}};
    for (const auto& x : cases) {
        data->setOutputsExclusiveClient(x.exclusive);
        EXPECT_EQ(wideAt(&sm->mOutputsExclusiveClient), x.exclusive) << "mirrored for display";
        EXPECT_EQ(mix(0, 2)[1], x.expected * 256);
    }

    // What a process writes into the shared block's copy changes nothing.
    data->setOutputsExclusiveClient(b.id());
    sm->mOutputsExclusiveClient = a.id();
    EXPECT_EQ(mix(0, 2)[1], 20 * 256);
    sm->mOutputsExclusiveClient = 0;
    EXPECT_EQ(mix(0, 2)[1], 20 * 256);

    // The exclusive client detaches: the others are heard again.
    data->detachClient(b.client);
    EXPECT_EQ(data->outputsExclusiveClient(), 0u);
    EXPECT_EQ(wideAt(&sm->mOutputsExclusiveClient), 0u);
    EXPECT_EQ(mix(0, 2)[1], 301 * 256);
}

TEST_F(DriverDataTest, OnlyThePrivateDataClientHandsOverItsExtraBytesOnce)
{
    make(2, 0x1935, 0x0006); // Elektron: 2 extra bytes per frame
    EXPECT_EQ(data->extraBytesPerFrame(), 2u);
    Client& a = attach(2);
    Client& b = attach(2);
    a.fill(0, 16, 2, 1);
    b.fill(0, 16, 2, 2);
    auto extraOf = [](Client& client) {
        return reinterpret_cast<uint8_t*>(client.ring->mSamples) + client.ring->mExtraOffset;
    };
    for (uint32_t i = 0; i < 32; ++i) {
        extraOf(a)[i] = static_cast<uint8_t>(0xA0 + i);
        extraOf(b)[i] = static_cast<uint8_t>(0xB0 + i);
    }
    data->rtsCheckAttachClients(0, 0, 1);

    data->setPrivateDataClient(b.id());
    sm->mPrivateDataClient = a.id(); // a process's write into the display copy
    uint8_t extra[8] = {};
    EXPECT_EQ(mix(1, 4, extra)[0], 3 * 256);
    for (uint32_t i = 0; i < 8; ++i) {
        EXPECT_EQ(extra[i], 0xB0 + 2 + i);
        EXPECT_EQ(extraOf(b)[2 + i], 0) << "cleared as read";
        EXPECT_EQ(extraOf(a)[2 + i], 0xA0 + 2 + i) << "another client's are left alone";
    }
    data->clearClientIdentifiers(a.id());
    EXPECT_EQ(data->privateDataClient(), b.id()) << "only the named client's identifier is cleared";
    data->clearClientIdentifiers(b.id());
    EXPECT_EQ(wideAt(&sm->mPrivateDataClient), 0u);
    uint8_t none[8] = {};
    mix(5, 4, none);
    EXPECT_EQ(std::memcmp(none, std::vector<uint8_t>(8, 0).data(), 8), 0);
}

TEST_F(DriverDataTest, GainsAndRoutingGiveTheHandComputedFrame)
{
    make(4, 0x1234, 1);
    data->setOutMixer(outMixer4CH);
    attach().write(0, 4, 4, [](uint32_t, uint32_t c) { return int32_t((c + 1) * 1000); });
    data->rtsCheckAttachClients(0, 0, 1);

    // Default gains: even channels left, odd right; pair 1 the mix, pair 2 host pair 1.
    EXPECT_EQ(mix(0, 1), (std::vector<int32_t>{4000 * 256, 6000 * 256, 1000 * 256, 2000 * 256}));

    // Channel 3 at half into the left side: (1000/2 + (3000/2)/2) * 2 = 2500.
    ASSERT_EQ(data->setMixerFraction({2, {1, 2}, {0, 0}}), kIOReturnSuccess);
    EXPECT_EQ(data->secondFractions()[2].denominator, 1) << "a denominator of 0 is stored as 1";
    uint8_t routing[32] = {1, 0};
    ASSERT_EQ(data->setRoutingMatrix(routing), kIOReturnSuccess);
    EXPECT_EQ(mix(0, 1), (std::vector<int32_t>{1000 * 256, 2000 * 256, 2500 * 256, 6000 * 256}));

    uint8_t other[32] = {2, 9};
    ASSERT_EQ(data->setRoutingMatrix(other), kIOReturnSuccess);
    EXPECT_EQ(mix(0, 1), (std::vector<int32_t>{3000 * 256, 4000 * 256, 0, 0}));
}

TEST_F(DriverDataTest, GainAndRoutingValuesOutOfRangeAreRefused)
{
    platform::log::Capture log(platform::log::Channel::kernel);
    const QZ_Fraction first = data->firstFractions()[31];
    EXPECT_EQ(data->setMixerFraction({32, {7, 7}, {7, 7}}), kIOReturnBadArgument);
    EXPECT_EQ(data->setMixerFraction({0xFFFFFFFF, {7, 7}, {7, 7}}), kIOReturnBadArgument);
    EXPECT_EQ(data->firstFractions()[31].numerator, first.numerator);

    uint8_t routing[32];
    for (uint8_t i = 0; i < 32; ++i) {
        routing[i] = static_cast<uint8_t>(31 - i);
    }
    routing[17] = 32;
    EXPECT_EQ(data->setRoutingMatrix(routing), kIOReturnBadArgument);
    EXPECT_EQ(data->routing()[0], 0) << "the table is kept";
    routing[17] = 14;
    EXPECT_EQ(data->setRoutingMatrix(routing), kIOReturnSuccess);
    EXPECT_EQ(data->routing()[0], 31);
    EXPECT_EQ(data->setRoutingMatrix(nullptr), kIOReturnSuccess);
    EXPECT_EQ(data->routing()[0], 31) << "null keeps the table";
    platform::log::flush();
    EXPECT_TRUE(log.contains("Routing 0->31 1->30 2->29 3->28 4->27 5->26"));

    QZ_MixerFractions all{};
    ASSERT_EQ(data->setMixerFractions(all), kIOReturnSuccess);
    for (int i = 0; i < 32; ++i) {
        EXPECT_EQ(data->firstFractions()[i].denominator, 1);
        EXPECT_EQ(data->secondFractions()[i].numerator, 0);
    }
}

TEST_F(DriverDataTest, GainTablesStartAsStereoPairsAndRoutingAsIdentity)
{
    for (int i = 0; i < 32; ++i) {
        EXPECT_EQ(data->firstFractions()[i].numerator, i % 2 == 0 ? 1 : 0);
        EXPECT_EQ(data->secondFractions()[i].numerator, i % 2 == 0 ? 0 : 1);
        EXPECT_EQ(data->firstFractions()[i].denominator, 1);
        EXPECT_EQ(data->secondFractions()[i].denominator, 1);
        EXPECT_EQ(data->routing()[i], i);
    }
}

TEST_F(DriverDataTest, ZeroFramesAndFramesWiderThanThirtyTwoChannelsNeverReachTheMix)
{
    Client& a = attach();
    a.fill(0, 64, 2, 77);
    data->rtsCheckAttachClients(0, 0, 1);
    data->clearOutputPeaks();

    std::vector<int32_t> usb(8, 0x55555555);
    data->rtsIsocOutput(reinterpret_cast<uint8_t*>(usb.data()), 32, 0, 0, nullptr);
    EXPECT_EQ(usb, std::vector<int32_t>(8, 0));
    EXPECT_EQ(data->outputPeak(0), 0);

    // 33 samples a frame: more channels than a frame may have.
    std::vector<int32_t> wide(66, 0x55555555);
    data->rtsIsocOutput(reinterpret_cast<uint8_t*>(wide.data()), 66 * 4, 0, 2, nullptr);
    EXPECT_EQ(wide, std::vector<int32_t>(66, 0));

    // A device configured with 40 channels: rings fall back to 2, nothing of them is mixed.
    make(40, 0x1234, 1);
    clients.clear();
    attach().fill(0, 64, 40, 77);
    data->rtsCheckAttachClients(0, 0, 1);
    const auto out = mix(0, 2);
    EXPECT_EQ(out, std::vector<int32_t>(80, 0));
    for (uint32_t c = 0; c < 32; ++c) {
        EXPECT_EQ(data->outputPeak(c), 0);
    }
}

// The table's stream layout holds at most what a ring and a converter carry, by either path that
// sets it, whatever counts the settings give.
TEST_F(DriverDataTest, ChannelCountsBeyondWhatARingCarriesAreCapped)
{
    const QzChannelSettings wide[] = {{kRate, INT32_MAX, 24, INT32_MAX, 24, 0}, {kRate, 33, 24, 40, 24, 0}};
    for (const QzChannelSettings& s : wide) {
        data->setConverters(pcmTo32LSB, s);
        EXPECT_EQ(data->inputChannels(), 32u) << s.iInChannels;
        EXPECT_EQ(data->outputChannels(), 32u) << s.iOutChannels;
        data->reinitClientsForStreaming(s);
        EXPECT_EQ(data->inputChannels(), 32u) << s.iInChannels;
        EXPECT_EQ(data->outputChannels(), 32u) << s.iOutChannels;
    }
}

TEST_F(DriverDataTest, MoreSamplesOrBytesThanOnePassHoldsAreRefused)
{
    attach().fill(0, 64, 2, 1);
    data->rtsCheckAttachClients(0, 0, 1);
    platform::log::Capture log(platform::log::Channel::kernel);
    std::vector<uint8_t> usb(8193 * 4, 0x55);
    data->rtsIsocOutput(usb.data(), static_cast<uint32_t>(usb.size()), 0, 4096, nullptr);
    platform::log::flush();
    EXPECT_TRUE(log.contains("cCDInfo.uSamples:00002001 > ISOC_TEMP_SAMPLES"));
    EXPECT_EQ(usb[0], 0x55) << "nothing written";
}

TEST_F(DriverDataTest, RestartingTheStreamPutsEveryAttachedClientBackToPending)
{
    Client& running = attach();
    data->rtsCheckAttachClients(0, 0, 1);
    Client& pending = attach();
    ASSERT_EQ(running.ring->mState, AudioSM::kStateRunning);
    ASSERT_EQ(pending.ring->mState, AudioSM::kStateAttachPending);

    platform::log::Capture log(platform::log::Channel::kernel);
    settings.iFrequency = 96'000;
    data->reinitClientsForStreaming(settings);
    platform::log::flush();
    EXPECT_TRUE(log.contains("found attached client"));
    EXPECT_EQ(running.ring->mState, AudioSM::kStateAttachPending);
    EXPECT_EQ(pending.ring->mState, AudioSM::kStateAttachPending) << "still waiting, not dropped to 0";
    EXPECT_EQ(pending.ring->mFrequency, 96'000u);

    // A client attached after the re-initialisation gets the same layout.
    EXPECT_EQ(data->outputChannels(), 2u);
    settings.iOutChannels = 4;
    data->reinitClientsForStreaming(settings);
    EXPECT_EQ(data->outputChannels(), 4u);
    EXPECT_EQ(data->slot(0).mRing.geometry().channels, 4u);
    settings.iOutChannels = 2;
    data->reinitClientsForStreaming(settings);

    running.fill(64, 8, 2, 4);
    pending.fill(64, 8, 2, 5);
    EXPECT_EQ(mix(64, 4)[0], 0) << "neither runs before the service starts them";
    data->rtsCheckAttachClients(64, 0, 1);
    EXPECT_EQ(mix(64, 4)[0], 9 * 256);
}

TEST_F(DriverDataTest, MinimumAvailableFramesOverTheAttachedClients)
{
    int32_t frames = -1;
    uint32_t count = 99;
    data->rtsGetMinAvailableFrames(sm.get(), &frames, &count, 0);
    EXPECT_EQ(frames, 0);
    EXPECT_EQ(count, 0u);

    Client& a = attach();
    Client& b = attach();
    a.fill(100, 40, 2, 0);
    b.fill(100, 25, 2, 0);
    data->rtsGetMinAvailableFrames(sm.get(), &frames, &count, 110);
    EXPECT_EQ(frames, 15);
    EXPECT_EQ(count, 2u);

    // A client's own numbers are clamped to its ring.
    b.ring->mFramesWritten = 0x40000000 + 110;
    data->rtsGetMinAvailableFrames(sm.get(), &frames, &count, 110);
    EXPECT_EQ(frames, 30);
    a.ring->mWriteOffset = 0x80000000;
    data->rtsGetMinAvailableFrames(sm.get(), &frames, &count, 110);
    EXPECT_EQ(frames, -int32_t(a.ring->mMaxFrames));

    platform::log::Capture log(platform::log::Channel::kernel);
    data->rtsGetMinAvailableFrames(nullptr, &frames, &count, 110);
    EXPECT_EQ(frames, 0);
    EXPECT_EQ(count, 0u);
    platform::log::flush();
    EXPECT_TRUE(log.contains("rtsGetMinAvailableFrames pDriverSM NULL!!!"));
}

// User space owns the bytes of the shared block and of every ring header; writing anything there
// changes nothing the kernel does with the client table or the mix.
TEST_F(DriverDataTest, GarbageInTheSharedSlotsAndRingHeadersChangesNothing)
{
    Client& a = attach();
    Client& b = attach();
    a.write(0, 64, 2, [](uint32_t f, uint32_t c) { return int32_t(f * 2 + c); });
    b.fill(0, 64, 2, 1000);
    data->rtsCheckAttachClients(0, 0, 1);
    const auto clean = mix(8, 8);

    for (uint32_t slot = 0; slot < 8; ++slot) {
        std::memset(sm->mClients[slot], 0xA5, sizeof sm->mClients[slot]); // use counter, pointers, all
    }
    sm->mAttachedClients = 0;
    for (Client* client : {&a, &b}) {
        AudioSM& ring = *client->ring;
        ring.mChannels = 1000;
        ring.mMaxFrames = 0;
        ring.mBytesPerFrame = 7;
        ring.mExtraBytesPerFrame = 0xFFFF;
        ring.mExtraOffset = 0xFFFFFFF0;
        ring.mState = 7;
    }
    EXPECT_EQ(mix(8, 8), clean);
    data->rtsCheckAttachClients(16, 16, 2);
    EXPECT_EQ(mix(8, 8), clean);
    EXPECT_EQ(data->countClients(), 2u);
    EXPECT_TRUE(data->isClientAttached(b.client));

    // Detach neither waits on the scribbled use counter nor releases a scribbled pointer.
    data->detachClient(a.client);
    EXPECT_EQ(a.client->getRetainCount(), 1);
    EXPECT_EQ(data->countClients(), 1u);
    EXPECT_EQ(sm->mAttachedClients, 1u) << "the mirror is rewritten";
    const auto onlyB = mix(8, 8);
    EXPECT_EQ(onlyB[0], 1000 * 256);
    data->detachAllClients();
    EXPECT_EQ(b.client->getRetainCount(), 1);
}

// The same while another thread keeps writing random bytes over the slots and one client's ring
// header as the frames are mixed.
TEST_F(DriverDataTest, AScribblerWritingWhileFramesAreMixedChangesNoFrame)
{
    Client& scribbled = attach();
    Client& other = attach();
    scribbled.write(0, 4096, 2, [](uint32_t f, uint32_t c) { return int32_t((f * 2 + c) % 1000); });
    other.write(0, 4096, 2, [](uint32_t f, uint32_t c) { return int32_t(100'000 + f * 2 + c); });
    data->rtsCheckAttachClients(0, 0, 1);

    std::atomic<bool> stop{false};
    std::thread scribbler([&] {
        std::mt19937 random(15);
        auto* slots = reinterpret_cast<volatile uint8_t*>(&sm->mAttachedClients);
        auto* header = reinterpret_cast<volatile uint8_t*>(&scribbled.ring->mBytesPerFrame);
        const size_t headerBytes = offsetof(AudioSM, mTimeStamps) - offsetof(AudioSM, mBytesPerFrame);
        while (!stop.load(std::memory_order_relaxed)) {
            slots[random() % (4 + sizeof sm->mClients)] = static_cast<uint8_t>(random());
            header[random() % headerBytes] = static_cast<uint8_t>(random());
        }
    });
    for (uint32_t frame = 0; frame < 4096; frame += 8) {
        data->rtsCheckAttachClients(frame, frame, frame + 1);
        const auto out = mix(frame, 8);
        for (uint32_t f = 0; f < 8; ++f) {
            for (uint32_t c = 0; c < 2; ++c) {
                const uint32_t i = (frame + f) * 2 + c;
                ASSERT_EQ(out[f * 2 + c], int32_t((int32_t(i % 1000) + 100'000 + int32_t(i)) * 256)) << frame;
            }
        }
    }
    stop = true;
    scribbler.join();
    data->detachAllClients();
    EXPECT_EQ(data->countClients(), 0u);
}

TEST_F(DriverDataTest, WithoutTheSharedBlockNothingIsMixedAndNothingIsMirrored)
{
    Client& a = attach();
    a.fill(0, 64, 2, 1);
    data->rtsCheckAttachClients(0, 0, 1);
    data->sharedMemoryDestroyed();
    std::memset(sm.get(), 0, sizeof(DriverSM));
    std::vector<int32_t> usb(8, 0x55555555);
    data->rtsIsocOutput(reinterpret_cast<uint8_t*>(usb.data()), 32, 0, 4, nullptr);
    EXPECT_EQ(usb[0], 0x55555555);
    data->detachAllClients();
    EXPECT_EQ(slotWide(*sm, 0, 164), 0u);
    EXPECT_EQ(sm->mAttachedClients, 0u);
}

TEST_F(DriverDataTest, BulkAndInterruptMixesSaturateIntoTheCallersSamples)
{
    std::vector<int32_t> samples(8, 0x55555555);
    data->rtsBulkOutput(samples.data(), 8, 0, 4);
    EXPECT_EQ(samples, std::vector<int32_t>(8, 0));

    attach().fill(0, 64, 2, 7'340'032);
    attach().fill(0, 64, 2, 7'340'032);
    data->rtsCheckAttachClients(0, 0, 1);
    std::fill(samples.begin(), samples.end(), 0x55555555);
    data->rtsBulkOutput(samples.data(), 8, 0, 4);
    EXPECT_EQ(samples, std::vector<int32_t>(8, 0x7FFFFF00));
    std::fill(samples.begin(), samples.end(), 0x55555555);
    data->rtsInterruptOutput(samples.data(), 8, 0, 4);
    EXPECT_EQ(samples, std::vector<int32_t>(8, 0x7FFFFF00));
    data->rtsInterruptOutput(samples.data(), 8, 0, 0);
    EXPECT_EQ(samples, std::vector<int32_t>(8, 0));
}

} // namespace
