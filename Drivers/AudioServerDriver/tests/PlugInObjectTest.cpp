// The plug-in object and the factory in this process, against sonvexa-kerneld with a simulated
// device: discovery, the interest messages and their refusals, and stopping.
#include <gtest/gtest.h>

#include <cstring>

#include "CADispatchQueue.h"
#include "KernelProcess.h"
#include "ProgramRunner.h"
#include "QzASPlugInDeviceBase.h"
#include "QzASPlugInDriverInterface.h"
#include "QzASPlugInObjectMap.h"
#include "QzASPlugInPlugIn.h"
#include "platform/DispatchQueues.h"
#include "platform/IOKitUser.h"
#include "platform/Log.h"
#include "platform/ProcessEnvironment.h"

int TestDeviceNotifications();
int TestDeviceDiscardedChanges();
UInt32 TestDeviceLastMessage();

namespace {

using platform::log::Capture;
using platform::log::Channel;

void drainGlobalQueue()
{
    platform::dispatch::drain(CADispatchQueue::GetGlobalSerialQueue().GetDispatchQueue());
}

bool logged(const Capture& capture, const std::string& fragment)
{
    platform::log::flush();
    return capture.contains(fragment);
}

class PlugInObjectTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(kernel.start({"Kelvra-UC3"})) << kernel.log();
        kernel.releaseService();
    }
    void TearDown() override { EXPECT_EQ(kernel.stop(), 0); }

    QzASPlugInPlugIn* start()
    {
        void* driver = QzASPlugInCreate(nullptr, kAudioServerPlugInTypeUUID);
        EXPECT_EQ(driver, QzASPlugInDriverRef());
        QzASPlugInPlugIn* plugIn = QzASPlugInPlugIn::GetInstance();
        EXPECT_NE(plugIn, nullptr);
        if (plugIn != nullptr) {
            plugIn->_StartDeviceListNotifications();
        }
        return plugIn;
    }

    io_object_t deviceService(AudioObjectID device)
    {
        QzASPlugInObjectReleaser<QzASPlugInDeviceBase> found(
            QzASPlugInObjectMap::CopyObjectOfClassByObjectID<QzASPlugInDeviceBase>(device));
        return found.IsValid() ? found->GetIOKitObject() : 0;
    }

    test_support::ProgramRunner programs;
    test_support::KernelProcess kernel{programs, KERNELD};
    platform::process::ScopedOverride user{{.name = "coreaudiod", .uid = 0, .root = programs.root()}};
};

// The factory makes the plug-in object only for the AudioServer plug-in type, from release 13 on.
TEST_F(PlugInObjectTest, FactoryServesOnlyItsTypeFromRelease13)
{
    EXPECT_EQ(QzASPlugInCreate(nullptr, IUnknownUUID), nullptr);
    {
        platform::process::ScopedOverride release{{.kernelRelease = "12.6.0"}};
        EXPECT_EQ(QzASPlugInCreate(nullptr, kAudioServerPlugInTypeUUID), nullptr);
    }
    // Nothing was made so far: no object answers to identifier 1.
    EXPECT_EQ(QzASPlugInObjectMap::CopyObjectByObjectID(kAudioObjectPlugInObject), nullptr);
    EXPECT_EQ(QzASPlugInCreate(nullptr, kAudioServerPlugInTypeUUID), QzASPlugInDriverRef());
    QzASPlugInObjectReleaser<QzASPlugInObject> plugIn(QzASPlugInObjectMap::CopyObjectByObjectID(1));
    ASSERT_TRUE(plugIn.IsValid());
    EXPECT_EQ(plugIn->GetClassID(), kAudioPlugInClassID);
    EXPECT_TRUE(plugIn->IsActive());
}

TEST_F(PlugInObjectTest, DiscoveryStartsOnceAndFindsTheDevice)
{
    QzASPlugInPlugIn* plugIn = start();
    ASSERT_NE(plugIn, nullptr);
    plugIn->_StartDeviceListNotifications();
    EXPECT_EQ(plugIn->CopyDeviceList(), std::vector<AudioObjectID>{32});
    QzASPlugInObjectReleaser<QzASPlugInDeviceBase> device(plugIn->CopyDeviceByIOObject(deviceService(32)));
    ASSERT_TRUE(device.IsValid());
    EXPECT_EQ(device->GetObjectID(), 32U);
    EXPECT_EQ(plugIn->CopyDeviceByIOObject(0), nullptr);
}

TEST_F(PlugInObjectTest, InterestMessagesReachTheDeviceOrAreDroppedWithALine)
{
    QzASPlugInPlugIn* plugIn = start();
    ASSERT_NE(plugIn, nullptr);
    const io_object_t service = deviceService(32);
    ASSERT_NE(service, 0U);
    void* const plugInRefcon = reinterpret_cast<void*>(uintptr_t{1});
    Capture capture(Channel::system);

    UInt8 record[36] = {};
    const UInt32 code = 2;
    std::memcpy(record + 4, &code, sizeof code);
    struct Row
    {
        UInt32 size;
        bool reaches;
    };
    for (const Row& row : {Row{36, true}, Row{32, false}, Row{0, false}}) {
        std::memcpy(record, &row.size, sizeof row.size);
        const int before = TestDeviceNotifications();
        QzASPlugInPlugIn::IOServiceInterestHandler(plugInRefcon, service, kIOMessageServicePropertyChange, record);
        EXPECT_EQ(TestDeviceNotifications(), before + (row.reaches ? 1 : 0)) << row.size;
    }
    EXPECT_TRUE(logged(capture, "AudioServer: pQZ_StateChange->size != sizeof(QZ_StateChange)  32 36"));

    // A record that did not come: dropped, said so.
    const int before = TestDeviceNotifications();
    QzASPlugInPlugIn::IOServiceInterestHandler(plugInRefcon, service, kIOMessageServicePropertyChange, nullptr);
    EXPECT_EQ(TestDeviceNotifications(), before);
    EXPECT_TRUE(logged(capture, "state change without its record"));
    // Services 0 and 0xFFFFFFFF are not looked at.
    std::memcpy(record, "\x24\0\0\0", 4);
    QzASPlugInPlugIn::IOServiceInterestHandler(plugInRefcon, 0, kIOMessageServicePropertyChange, record);
    QzASPlugInPlugIn::IOServiceInterestHandler(plugInRefcon, 0xFFFFFFFFU, kIOMessageServicePropertyChange, record);
    EXPECT_EQ(TestDeviceNotifications(), before);

    // A service without a listed device: its code in at least three hexadecimal digits.
    io_iterator_t notADevice = 0;
    ASSERT_EQ(IOServiceGetMatchingServices(0, IOServiceMatching("VKKernelDevice"), &notADevice), KERN_SUCCESS);
    QzASPlugInPlugIn::IOServiceInterestHandler(plugInRefcon, notADevice, kIOMessageServicePropertyChange, record);
    IOObjectRelease(notADevice);
    EXPECT_TRUE(logged(capture, "IOServiceInterestHandler, Device NULL, returning. Message was PropertyChange:002"));

    // System power: the refcon carries the plug-in's identifier and the device's service.
    const auto powerRefcon = reinterpret_cast<void*>((uintptr_t{1} << 32) | service);
    QzASPlugInPlugIn::IOServiceInterestHandler(powerRefcon, service, kIOMessageSystemHasPoweredOn, nullptr);
    EXPECT_EQ(TestDeviceNotifications(), before + 1);
    EXPECT_EQ(TestDeviceLastMessage(), kIOMessageSystemHasPoweredOn);
    EXPECT_TRUE(logged(capture, "IOServiceInterestHandler theObject=1, theService=" + std::to_string(service)));
    const auto strangerRefcon = reinterpret_cast<void*>((uintptr_t{5} << 32) | service);
    QzASPlugInPlugIn::IOServiceInterestHandler(strangerRefcon, service, kIOMessageSystemWillSleep, nullptr);
    EXPECT_EQ(TestDeviceNotifications(), before + 1);
    EXPECT_TRUE(logged(capture, "QzASPlugInPlugIn::IOServiceInterestHandler: no plugin object, receiving E0000280"));
    // Other messages are ignored.
    QzASPlugInPlugIn::IOServiceInterestHandler(plugInRefcon, service, 0xE0000999U, nullptr);
    EXPECT_EQ(TestDeviceNotifications(), before + 1);
}

// A change the host performs or aborts for a device that has gone is '!obj', and the record the
// device asked with is freed there; a listed device takes its record itself.
TEST_F(PlugInObjectTest, ChangesForAGoneDeviceAreRefusedAndTheirRecordsFreed)
{
    QzASPlugInPlugIn* plugIn = start();
    ASSERT_NE(plugIn, nullptr);
    const AudioServerPlugInDriverRef driver = QzASPlugInDriverRef();
    int record = 0;
    const int before = TestDeviceDiscardedChanges();
    EXPECT_EQ((*driver)->PerformDeviceConfigurationChange(driver, 9999, 10, &record),
              kAudioHardwareBadObjectError);
    EXPECT_EQ((*driver)->AbortDeviceConfigurationChange(driver, 9999, 10, &record),
              kAudioHardwareBadObjectError);
    EXPECT_EQ((*driver)->PerformDeviceConfigurationChange(driver, kAudioObjectPlugInObject, 10, &record),
              kAudioHardwareBadObjectError);
    EXPECT_EQ((*driver)->AbortDeviceConfigurationChange(driver, 9999, 10, nullptr),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(TestDeviceDiscardedChanges(), before + 3);
    const AudioObjectID device = plugIn->CopyDeviceList().at(0);
    EXPECT_EQ((*driver)->PerformDeviceConfigurationChange(driver, device, 10, &record),
              kAudioHardwareUnsupportedOperationError);
    EXPECT_EQ(TestDeviceDiscardedChanges(), before + 3);
}

// Stopping withdraws every device later on the global serial queue; the list is empty at once.
TEST_F(PlugInObjectTest, DeactivateWithdrawsEveryDevice)
{
    QzASPlugInPlugIn* plugIn = start();
    ASSERT_NE(plugIn, nullptr);
    ASSERT_EQ(plugIn->CopyDeviceList().size(), 1U);
    plugIn->Deactivate();
    EXPECT_TRUE(plugIn->CopyDeviceList().empty());
    const AudioObjectPropertyAddress list{kAudioPlugInPropertyDeviceList, kAudioObjectPropertyScopeGlobal, 0};
    EXPECT_EQ(plugIn->GetPropertyDataSize(1, 0, list, 0, nullptr), 0U);
    drainGlobalQueue();
    drainGlobalQueue();
    EXPECT_EQ(QzASPlugInObjectMap::CopyObjectByObjectID(32), nullptr);
}

} // namespace
