// The device object on its own: construction defaults, the capability predicates over listed and
// unlisted models, the per-model bytes, the personality's feature record and custom name. Nothing
// here sends a request; the per-model request sequences run through the kernel host's tests.
#include "VKDevice.h"

#include "VKKernelDevice.h"

#include <APIDeviceInfo.h>

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>

namespace {

class VKDeviceTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        owner = new VKKernelDevice;
        device = std::make_unique<VKDevice>(*owner);
    }
    void TearDown() override
    {
        device.reset();
        owner->release();
    }

    void fresh() { device = std::make_unique<VKDevice>(*owner); }
    void identify(uint16_t vendor, uint16_t product, uint16_t release)
    {
        device->mDeviceDescriptor.idVendor = vendor;
        device->mDeviceDescriptor.idProduct = product;
        device->mDeviceDescriptor.bcdDevice = release;
        device->resolveModelProfile();
    }
    void list(std::initializer_list<APISpecificFeatures::Flag> flags)
    {
        APISpecificFeatures features{};
        for (APISpecificFeatures::Flag flag : flags) {
            features.mFlags[flag] = 1;
        }
        device->initialSettings(&features);
    }

    VKKernelDevice* owner = nullptr;
    std::unique_ptr<VKDevice> device;
};

TEST_F(VKDeviceTest, ConstructionSetsTheDocumentedDefaults)
{
    for (uint16_t value : device->registers().us366) {
        EXPECT_EQ(value, 0xFFFF);
    }
    EXPECT_EQ(device->mInACR, 255u);
    EXPECT_EQ(device->mHogID, -1);
    EXPECT_EQ(device->mFirstScan, 1);
    EXPECT_EQ(device->mInputDmaChannels, 16u);
    EXPECT_EQ(device->registers().footSwitchMode, 0u);
    EXPECT_EQ(device->registers().footSwitchProtocol, 0u);
    EXPECT_FALSE(device->isListed());
    ASSERT_NE(device->mInputScratch, nullptr);
    EXPECT_EQ(device->mInputScratchAddress % 4096, 0u);
    ASSERT_NE(device->getAPIDeviceInfoPtr(), nullptr);
    const auto* info = reinterpret_cast<const uint8_t*>(device->getAPIDeviceInfoPtr());
    for (size_t i = 0; i < sizeof(APIDeviceInfo); ++i) {
        ASSERT_EQ(info[i], 0) << "byte " << i;
    }
}

TEST_F(VKDeviceTest, WithoutTheSharedBlockSettingsComeFromStaticDummies)
{
    QzChannelSettings* settings = device->getCurrentSettings();
    ASSERT_NE(settings, nullptr);
    EXPECT_EQ(device->getCurrentSettings(), settings);
    EXPECT_NE(device->getAqExtData(), nullptr);
    device->storeSettings();
    EXPECT_EQ(device->mControlsStored, 0);
}

constexpr uint32_t kCorlanth = 1 << 0;
constexpr uint32_t kMorvane = 1 << 1;
constexpr uint32_t kTessaly = 1 << 2;
constexpr uint32_t kBulk = 1 << 3;
constexpr uint32_t kBulkInIsocOut = 1 << 4;
constexpr uint32_t kCan192 = 1 << 5;
constexpr uint32_t kRequestsWhileStreaming = 1 << 6;
constexpr uint32_t kPreventUSB1 = 1 << 7;
constexpr uint32_t kRawMidi = 1 << 8;
constexpr uint32_t kRegularMidi = 1 << 9;
constexpr uint32_t kNoDigital = 1 << 10;

uint32_t predicatesOf(const VKDevice& d)
{
    constexpr uint32_t no = 0;
    return (d.isCorlanthCompatible() ? kCorlanth : no) | (d.isMorvaneCompatible() ? kMorvane : no) |
           (d.isTessalyCompatible() ? kTessaly : no) | (d.isQuenzarBulkDevice() ? kBulk : no) |
           (d.isQuenzarBulkInIsocOutDevice() ? kBulkInIsocOut : no) | (d.can192() ? kCan192 : no) |
           (d.canHandleRequestsWhileStreaming() ? kRequestsWhileStreaming : no) |
           (d.preventUSB1Mode() ? kPreventUSB1 : no) | (d.isCorlanthCompatibleWithRawMidi() ? kRawMidi : no) |
           (d.isCorlanthCompatibleWithRegularMidi() ? kRegularMidi : no) |
           (d.aqHasNoDigital() ? kNoDigital : no);
}

struct PredicateCase
{
    const char* what;
    uint16_t vendor, product, release;
    bool listed;
    std::initializer_list<APISpecificFeatures::Flag> flags;
    bool usb2;
    uint32_t expected;
};

TEST_F(VKDeviceTest, PredicatesAskTheFeatureRecordOfAListedDeviceAndTheIdsOfAnUnlistedOne)
{
    using F = APISpecificFeatures;
    const PredicateCase cases[] = {
        {"family device at 2.00",
         0x0A4A,
         0x6A02,
         0x0200,
         false,
         {},
         false,
         kCorlanth | kMorvane | kRequestsWhileStreaming},
        {"family device at 1.00", 0x0A4A, 0x6A02, 0x0100, false, {}, false, kCan192},
        {"listed family device without flag 0",
         0x0A4A,
         0x6A02,
         0x0200,
         true,
         {F::kMorvaneCompatible},
         false,
         kMorvane},
        {"unlisted Tessaly, any release", 0x0A4A, 0xA300, 0x4711, false, {}, false, kTessaly},
        {"listed Tessaly", 0x0A4A, 0xA300, 0x0100, true, {}, false, kTessaly},
        {"15E4:0079 listed without flag 8", 0x15E4, 0x0079, 0x0100, true, {}, true, kNoDigital},
        {"15E4:0079 unlisted at USB 2", 0x15E4, 0x0079, 0x0100, false, {}, true, kBulkInIsocOut | kNoDigital},
        {"15E4:0079 unlisted at USB 1", 0x15E4, 0x0079, 0x0100, false, {}, false, kNoDigital},
        {"US-322 unlisted", 0x0644, 0x8040, 0x0100, false, {}, true, kNoDigital},
        {"listed bulk device at USB 2",
         0x1111,
         0x2222,
         0x0100,
         true,
         {F::kBulkDevice, F::kBulkInIsocOutDevice},
         true,
         kBulk | kBulkInIsocOut},
        {"listed bulk device at USB 1",
         0x1111,
         0x2222,
         0x0100,
         true,
         {F::kBulkDevice, F::kBulkInIsocOutDevice},
         false,
         0},
        {"listed with the other flags",
         0x1111,
         0x2222,
         0x0100,
         true,
         {F::kCorlanthCompatible, F::kRawMidi, F::kRegularMidi, F::kCanHandleRequestsWhileStreaming,
          F::kCan192, F::kPreventUSB1Mode, F::kNoDigitalInput},
         false,
         kCorlanth | kRawMidi | kRegularMidi | kRequestsWhileStreaming | kCan192 | kPreventUSB1 | kNoDigital},
        {"unlisted A192",
         0x0A4A,
         0xA192,
         0x0100,
         false,
         {},
         false,
         kCan192 | kRequestsWhileStreaming | kRegularMidi},
        {"listed A192 without flags", 0x0A4A, 0xA192, 0x0100, true, {}, false, 0},
        {"flags of an unlisted device are not read", 0x1111, 0x2222, 0x0100, false, {}, true, 0},
    };
    for (const PredicateCase& c : cases) {
        fresh();
        identify(c.vendor, c.product, c.release);
        if (c.listed) {
            list(c.flags);
        }
        if (c.usb2) {
            device->setIsUSB2Device();
        }
        EXPECT_EQ(predicatesOf(*device), c.expected) << c.what;
    }
}

TEST_F(VKDeviceTest, APureBulkDeviceIsAListedBulkDeviceWithBothBulkPipesChosen)
{
    identify(0x1111, 0x2222, 0x0100);
    list({APISpecificFeatures::kBulkDevice});
    device->setIsUSB2Device();
    EXPECT_FALSE(device->isPureBulkDevice());
    alignas(8) static uint8_t pipeStandIn[2][64];
    device->mChosen.bulkInPipe = reinterpret_cast<VKPipeDescriptor*>(pipeStandIn[0]);
    EXPECT_FALSE(device->isPureBulkDevice());
    device->mChosen.bulkOutPipe = reinterpret_cast<VKPipeDescriptor*>(pipeStandIn[1]);
    EXPECT_TRUE(device->isPureBulkDevice());
    device->mChosen.bulkInPipe = nullptr; // the device never owned them
    device->mChosen.bulkOutPipe = nullptr;
}

TEST_F(VKDeviceTest, PerModelBytesStartFromZeroAndFollowTheModel)
{
    struct Case
    {
        uint16_t vendor, product;
        bool preventUSB1Flag;
        DeviceSpecificData expected;
    };
    // clang-format off
    const Case cases[] = {
        {0x0644, 0x8041, false, {0, 0, 0, 0, 2, 2, 100, 0}},
        {0x0644, 0x8048, false, {0, 0, 0, 0, 2, 2, 100, 0}},
        {0x0644, 0x8046, false, {0, 0, 0, 0, 2, 2, 0, 0}},
        {0x0644, 0x8040, false, {0, 0, 0, 0, 2, 2, 0, 0}},
        {0x0644, 0x8034, false, {0, 0, 0, 0, 0, 0, 100, 0}},
        {0x0A92, 0x0111, false, {1, 1, 0, 0, 0, 0, 0, 0}},
        {0x1111, 0x2222, true, {0, 0, 0, 1, 0, 0, 0, 0}},
        {0x1111, 0x2222, false, {0, 0, 0, 0, 0, 0, 0, 0}},
    };
    // clang-format on
    for (const Case& c : cases) {
        fresh();
        identify(c.vendor, c.product, 0x0100);
        if (c.preventUSB1Flag) {
            list({APISpecificFeatures::kPreventUSB1Mode});
        }
        std::memset(&device->mDeviceSpecific, 0x5A, sizeof(device->mDeviceSpecific));
        device->initDeviceSpecificData();
        EXPECT_EQ(std::memcmp(&device->mDeviceSpecific, &c.expected, sizeof(DeviceSpecificData)), 0)
            << std::hex << c.vendor << ":" << c.product;
    }
}

TEST_F(VKDeviceTest, AFeatureRecordIsCopiedWholeAndMarksTheDeviceListed)
{
    device->initialSettings(nullptr);
    EXPECT_FALSE(device->isListed());

    APISpecificFeatures features{};
    auto* bytes = reinterpret_cast<uint8_t*>(&features);
    for (size_t i = 0; i < sizeof(features); ++i) {
        bytes[i] = static_cast<uint8_t>(i * 7 + 1);
    }
    bytes[375] = 0;
    device->initialSettings(&features);
    EXPECT_TRUE(device->isListed());
    EXPECT_EQ(std::memcmp(&device->mInitSettings, &features, 375), 0);
}

TEST_F(VKDeviceTest, TheCustomNameKeepsAtMost64CharactersAndNothingPastTheSourceEnd)
{
    struct Case
    {
        std::string source;
        size_t expectedLength;
    };
    const Case cases[] = {
        {"", 0},
        {"Studio", 6},
        {std::string(63, 'a'), 63},
        {std::string(64, 'b'), 64},
        {std::string(200, 'c'), 64},
    };
    for (const Case& c : cases) {
        std::memset(device->mCustomName, 'X', sizeof(device->mCustomName));
        device->setCustomName(c.source.c_str());
        EXPECT_EQ(device->customNameLength(), c.expectedLength);
        EXPECT_EQ(std::memcmp(device->mCustomName, c.source.data(), c.expectedLength), 0);
        for (size_t i = c.expectedLength; i < sizeof(device->mCustomName); ++i) {
            EXPECT_EQ(device->mCustomName[i], '\0') << i;
        }
    }
    // A short name inside a larger buffer: what follows its end is not taken.
    const char buffer[] = "ab\0XYZ";
    device->setCustomName(buffer);
    EXPECT_EQ(device->customNameLength(), 2u);
    EXPECT_EQ(device->mCustomName[3], '\0');
    device->setCustomName(nullptr);
    EXPECT_EQ(device->customNameLength(), 0u);
}

TEST_F(VKDeviceTest, ChannelCountsFromOutsideAreKeptWithinTheRing)
{
    device->setReadChannels(6, 4);
    EXPECT_EQ(device->mDeviceSpecific.mInputs, 6u);
    EXPECT_EQ(device->mDeviceSpecific.mOutputs, 4u);
    EXPECT_EQ(device->channelsChanged(), 0);
    device->setReadChannels(-1, 2);
    device->setReadChannels(2, 33);
    EXPECT_EQ(device->mDeviceSpecific.mInputs, 6u);
    EXPECT_EQ(device->mDeviceSpecific.mOutputs, 4u);
    device->setStreamingStarted(1);
    device->setReadChannels(2, 2);
    EXPECT_EQ(device->channelsChanged(), 1);
}

// A request block that counts its destructions.
class CountedBlock : public VKSimpleObject
{
public:
    explicit CountedBlock(int& destroyed) : m_destroyed(destroyed) {}
    ~CountedBlock() override { ++m_destroyed; }

private:
    int& m_destroyed;
};

TEST_F(VKDeviceTest, EmptiedRequestBlockListsDestroyTheBlocksNothingElseHolds)
{
    int destroyed = 0;
    auto* shared = new CountedBlock(destroyed);
    VKSimpleArray otherHolder;
    otherHolder.add(shared);
    for (int i = 0; i < 3; ++i) {
        device->mBulkInterrupt.bulkInRqBs.add(new CountedBlock(destroyed));
        device->mBulkInterrupt.interruptOutRqBs.add(new CountedBlock(destroyed));
    }
    device->mBulkInterrupt.bulkInRqBs.add(shared);

    device->terminateBulkRqBs(device->mBulkInterrupt.bulkInRqBs);
    EXPECT_EQ(device->mBulkInterrupt.bulkInRqBs.getCount(), 0);
    EXPECT_EQ(destroyed, 3); // the one another list holds stays
    EXPECT_EQ(shared->getRefCount(), 1);

    device->terminateInterruptRqBs(device->mBulkInterrupt.interruptOutRqBs);
    EXPECT_EQ(device->mBulkInterrupt.interruptOutRqBs.getCount(), 0);
    EXPECT_EQ(destroyed, 6);
}

} // namespace
