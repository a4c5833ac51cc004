// The object map's identifiers, references and deferred destruction, and the object base's answers.
#include <gtest/gtest.h>

#include <atomic>

#include "CADispatchQueue.h"
#include "CAException.h"
#include "QzASPlugInObjectMap.h"
#include "platform/DispatchQueues.h"
#include "platform/Log.h"

namespace {

using platform::log::Capture;
using platform::log::Channel;

std::atomic<int> gDestroyed{0};

class CountedObject : public QzASPlugInObject
{
public:
    explicit CountedObject(AudioObjectID objectID)
        : QzASPlugInObject(objectID, kAudioDeviceClassID, kAudioObjectClassID, kAudioObjectPlugInObject)
    {
    }
    ~CountedObject() override { gDestroyed.fetch_add(1); }
};

class OtherObject : public QzASPlugInObject
{
public:
    explicit OtherObject(AudioObjectID objectID) : QzASPlugInObject(objectID, kAudioStreamClassID, kAudioObjectClassID, 1)
    {
    }
};

void drainGlobalQueue()
{
    platform::dispatch::drain(CADispatchQueue::GetGlobalSerialQueue().GetDispatchQueue());
}

bool logged(const Capture& capture, const std::string& fragment)
{
    platform::log::flush();
    return capture.contains(fragment);
}

TEST(QzASPlugInObjectMap, IdentifiersRiseByOneFrom32AndAreNeverHandedOutTwice)
{
    // The first identifier of the process is 32 (this test runs first in its own process).
    const AudioObjectID first = QzASPlugInObjectMap::GetNextObjectID();
    EXPECT_EQ(first, 32U);
    EXPECT_EQ(QzASPlugInObjectMap::GetNextObjectID(), first + 1);
    EXPECT_EQ(QzASPlugInObjectMap::GetNextObjectID(), first + 2);
}

TEST(QzASPlugInObjectMap, ReferencesAndDeferredDestruction)
{
    Capture capture(Channel::system);
    const AudioObjectID id = QzASPlugInObjectMap::GetNextObjectID();
    const AudioObjectID second = QzASPlugInObjectMap::GetNextObjectID();
    auto* object = new CountedObject(id);
    ASSERT_TRUE(QzASPlugInObjectMap::MapObject(id, object));
    ASSERT_TRUE(QzASPlugInObjectMap::MapObject(second, object)); // joins the entry, count stays 1

    EXPECT_EQ(QzASPlugInObjectMap::CopyObjectByObjectID(second), object);
    EXPECT_EQ(QzASPlugInObjectMap::CopyObjectByObjectID(id), object);
    EXPECT_EQ(QzASPlugInObjectMap::ReleaseObject(object), 2U);
    EXPECT_EQ(QzASPlugInObjectMap::ReleaseObject(object), 1U);

    const int destroyedBefore = gDestroyed.load();
    EXPECT_EQ(QzASPlugInObjectMap::ReleaseObject(object), 0U);
    // Both identifiers went with the entry at once.
    EXPECT_EQ(QzASPlugInObjectMap::CopyObjectByObjectID(id), nullptr);
    EXPECT_EQ(QzASPlugInObjectMap::CopyObjectByObjectID(second), nullptr);
    drainGlobalQueue();
    EXPECT_EQ(gDestroyed.load(), destroyedBefore + 1);

    // An object the map no longer holds: 0, no log.
    EXPECT_EQ(QzASPlugInObjectMap::ReleaseObject(object), 0U);
    EXPECT_EQ(QzASPlugInObjectMap::RetainObject(object), 0U);
    EXPECT_FALSE(logged(capture, "not releasing"));
}

TEST(QzASPlugInObjectMap, MappingRefusals)
{
    Capture capture(Channel::system);
    const AudioObjectID id = QzASPlugInObjectMap::GetNextObjectID();
    auto* object = new CountedObject(id);
    auto* other = new CountedObject(QzASPlugInObjectMap::GetNextObjectID());
    EXPECT_FALSE(QzASPlugInObjectMap::MapObject(kAudioObjectUnknown, object));
    EXPECT_FALSE(QzASPlugInObjectMap::MapObject(id, nullptr));
    ASSERT_TRUE(QzASPlugInObjectMap::MapObject(id, object));
    EXPECT_FALSE(QzASPlugInObjectMap::MapObject(id, other));
    EXPECT_TRUE(logged(capture, "HALB_ObjectMap::_MapObject: " + std::to_string(id) + " cannot be mapped to object"));
    EXPECT_FALSE(QzASPlugInObjectMap::MapObject(id, object));
    EXPECT_EQ(QzASPlugInObjectMap::CopyObjectByObjectID(kAudioObjectUnknown), nullptr);

    // Unmapping another object's identifier changes nothing.
    QzASPlugInObjectMap::UnmapObject(id, other);
    QzASPlugInObject* found = QzASPlugInObjectMap::CopyObjectByObjectID(id);
    EXPECT_EQ(found, object);
    QzASPlugInObjectMap::ReleaseObject(found);
    delete other;
    EXPECT_EQ(QzASPlugInObjectMap::ReleaseObject(object), 0U);
    drainGlobalQueue();
}

// Unmapping an object's last identifier makes it unreachable but does not destroy it under
// those who still hold it.
TEST(QzASPlugInObjectMap, UnmappingTheLastIdentifierWaitsForTheLastReference)
{
    const AudioObjectID id = QzASPlugInObjectMap::GetNextObjectID();
    auto* object = new CountedObject(id);
    ASSERT_TRUE(QzASPlugInObjectMap::MapObject(id, object));
    QzASPlugInObject* held = QzASPlugInObjectMap::CopyObjectByObjectID(id);
    ASSERT_EQ(held, object);
    const int destroyedBefore = gDestroyed.load();
    QzASPlugInObjectMap::UnmapObject(id, object);
    EXPECT_EQ(QzASPlugInObjectMap::CopyObjectByObjectID(id), nullptr);
    drainGlobalQueue();
    EXPECT_EQ(gDestroyed.load(), destroyedBefore);
    EXPECT_EQ(held->GetObjectID(), id); // still alive
    EXPECT_EQ(QzASPlugInObjectMap::ReleaseObject(held), 1U);
    EXPECT_EQ(QzASPlugInObjectMap::ReleaseObject(object), 0U);
    drainGlobalQueue();
    EXPECT_EQ(gDestroyed.load(), destroyedBefore + 1);
}

TEST(QzASPlugInObjectMap, TypedLookupRefusesAnObjectOfAnotherClass)
{
    const AudioObjectID id = QzASPlugInObjectMap::GetNextObjectID();
    auto* object = new OtherObject(id);
    ASSERT_TRUE(QzASPlugInObjectMap::MapObject(id, object));
    EXPECT_EQ(QzASPlugInObjectMap::CopyObjectOfClassByObjectID<CountedObject>(id), nullptr);
    {
        QzASPlugInObjectReleaser<OtherObject> typed(QzASPlugInObjectMap::CopyObjectOfClassByObjectID<OtherObject>(id));
        EXPECT_TRUE(typed.IsValid());
    }
    // The refused lookup kept no reference: one release ends the object.
    EXPECT_EQ(QzASPlugInObjectMap::ReleaseObject(object), 0U);
    drainGlobalQueue();
}

TEST(QzASPlugInObjectMap, DumpListsEveryEntry)
{
    Capture capture(Channel::system);
    const AudioObjectID id = QzASPlugInObjectMap::GetNextObjectID();
    const AudioObjectID second = QzASPlugInObjectMap::GetNextObjectID();
    auto* object = new CountedObject(id);
    ASSERT_TRUE(QzASPlugInObjectMap::MapObject(id, object));
    ASSERT_TRUE(QzASPlugInObjectMap::MapObject(second, object));
    QzASPlugInObjectMap::Dump();
    EXPECT_TRUE(logged(capture, "HALB_ObjectMap::_Dump:"));
    EXPECT_TRUE(logged(capture, "| Class: 'adev' | Base Class: 'aobj' | Ref:    1 | Number IDs: 2"));
    EXPECT_TRUE(logged(capture, "    ID   1: " + std::to_string(second)));
    EXPECT_EQ(QzASPlugInObjectMap::ReleaseObject(object), 0U);
    drainGlobalQueue();
}

TEST(QzASPlugInObject, BaseAnswersTheFourSelectorsInTheGlobalScopeOnly)
{
    Capture capture(Channel::system);
    CountedObject object(77);
    const AudioObjectPropertyAddress owner{kAudioObjectPropertyOwner, kAudioObjectPropertyScopeGlobal, 0};
    EXPECT_TRUE(object.HasProperty(77, 0, owner));
    EXPECT_FALSE(object.HasProperty(77, 0, {kAudioObjectPropertyOwner, kAudioObjectPropertyScopeInput, 0}));
    EXPECT_FALSE(object.HasProperty(77, 0, {kAudioObjectPropertyOwner, kAudioObjectPropertyScopeGlobal, 1}));
    EXPECT_FALSE(object.HasProperty(77, 0, {kAudioObjectPropertyName, kAudioObjectPropertyScopeGlobal, 0}));

    struct Row
    {
        AudioObjectPropertySelector selector;
        UInt32 size;
        UInt32 value;
    };
    for (const Row& row : {Row{kAudioObjectPropertyBaseClass, 4, kAudioObjectClassID},
                           Row{kAudioObjectPropertyClass, 4, kAudioDeviceClassID},
                           Row{kAudioObjectPropertyOwner, 4, kAudioObjectPlugInObject},
                           Row{kAudioObjectPropertyOwnedObjects, 0, 0}}) {
        const AudioObjectPropertyAddress address{row.selector, kAudioObjectPropertyScopeGlobal, 0};
        EXPECT_FALSE(object.IsPropertySettable(77, 0, address));
        EXPECT_EQ(object.GetPropertyDataSize(77, 0, address, 0, nullptr), row.size);
        UInt32 value = 0xDEADBEEF;
        UInt32 written = 99;
        object.GetPropertyData(77, 0, address, 0, nullptr, sizeof value, written, &value);
        EXPECT_EQ(written, row.size);
        if (row.size == 4) {
            EXPECT_EQ(value, row.value);
        }
    }

    UInt32 value = 0;
    UInt32 written = 0;
    try {
        object.GetPropertyData(77, 0, owner, 0, nullptr, 3, written, &value);
        FAIL();
    } catch (const CAException& error) {
        EXPECT_EQ(error.GetError(), kAudioHardwareBadPropertySizeError);
    }
    EXPECT_TRUE(logged(capture, "QzASPlugInObject::GetPropertyData: not enough space for the return value of "
                                "kAudioObjectPropertyOwner"));
    const AudioObjectPropertyAddress unknown{kAudioObjectPropertyName, kAudioObjectPropertyScopeGlobal, 0};
    for (int operation = 0; operation < 4; ++operation) {
        try {
            switch (operation) {
            case 0:
                object.IsPropertySettable(77, 0, unknown);
                break;
            case 1:
                object.GetPropertyDataSize(77, 0, unknown, 0, nullptr);
                break;
            case 2:
                object.GetPropertyData(77, 0, unknown, 0, nullptr, 4, written, &value);
                break;
            default:
                object.SetPropertyData(77, 0, owner, 0, nullptr, 4, &value);
                break;
            }
            ADD_FAILURE() << "operation " << operation;
        } catch (const CAException& error) {
            EXPECT_EQ(error.GetError(), kAudioHardwareUnknownPropertyError) << operation;
        }
    }
}

} // namespace
