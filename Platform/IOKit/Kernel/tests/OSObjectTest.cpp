#include <gtest/gtest.h>

#include <string>

#include "IOKit/IOMessage.h"
#include "IOKit/IOReturn.h"
#include "libkern/c++/OSContainers.h"

namespace {

class TestBase : public OSObject
{
    OSDeclareDefaultStructors(TestBase);
};
OSDefineMetaClassAndStructors(TestBase, OSObject);

class TestDerived : public TestBase
{
    OSDeclareDefaultStructors(TestDerived);

public:
    static int freed;

protected:
    void free() override
    {
        ++freed;
        TestBase::free();
    }
};
OSDefineMetaClassAndStructors(TestDerived, TestBase);
int TestDerived::freed = 0;

TEST(OSMetaClass, AllocatesByNameAndCastsAlongTheClassChain)
{
    OSObject* object = OSMetaClass::allocClassWithName("TestDerived");
    ASSERT_NE(object, nullptr);
    EXPECT_STREQ(object->getMetaClass()->getClassName(), "TestDerived");
    EXPECT_EQ(OSDynamicCast(TestBase, object), object);
    EXPECT_EQ(OSDynamicCast(TestDerived, object), object);
    EXPECT_EQ(OSDynamicCast(OSString, object), nullptr);
    EXPECT_EQ(OSDynamicCast(TestDerived, static_cast<OSObject*>(nullptr)), nullptr);
    EXPECT_NE(OSMetaClass::checkMetaCastWithName("TestBase", object), nullptr);
    EXPECT_EQ(OSMetaClass::checkMetaCastWithName("OSString", object), nullptr);
    object->release();

    EXPECT_EQ(OSMetaClass::allocClassWithName("NoSuchClass"), nullptr);
    EXPECT_EQ(OSMetaClass::allocClassWithName("OSCollection"), nullptr); // abstract
    EXPECT_EQ(OSMetaClass::getMetaClassWithName("TestDerived")->getSuperClass(), &TestBase::gMetaClass);
}

TEST(OSObject, LastReleaseFreesAndInstanceCountsFollow)
{
    const unsigned int baseBefore = TestBase::gMetaClass.getInstanceCount();
    const int freedBefore = TestDerived::freed;
    auto* object = static_cast<TestDerived*>(TestDerived::gMetaClass.alloc());
    EXPECT_EQ(TestBase::gMetaClass.getInstanceCount(), baseBefore + 1); // counts derived instances too
    object->retain();
    EXPECT_EQ(object->getRetainCount(), 2);
    object->release();
    EXPECT_EQ(TestDerived::freed, freedBefore);
    object->release();
    EXPECT_EQ(TestDerived::freed, freedBefore + 1);
    EXPECT_EQ(TestBase::gMetaClass.getInstanceCount(), baseBefore);
}

TEST(OSNumber, KeepsEachWidthAndCutsTheValueToIt)
{
    struct Case
    {
        unsigned bits;
        unsigned long long value;
        unsigned long long kept;
    };
    for (const Case c : {Case{8, 0x1FF, 0xFF}, Case{16, 0x12345, 0x2345}, Case{32, 0x1'0000'0002ULL, 2},
                         Case{64, ~0ULL, ~0ULL}}) {
        OSNumber* n = OSNumber::withNumber(c.value, c.bits);
        ASSERT_NE(n, nullptr);
        EXPECT_EQ(n->numberOfBits(), c.bits);
        EXPECT_EQ(n->numberOfBytes(), c.bits / 8);
        EXPECT_EQ(n->unsigned64BitValue(), c.kept) << c.bits;
        n->release();
    }
    EXPECT_EQ(OSNumber::withNumber(1, 0), nullptr);
    EXPECT_EQ(OSNumber::withNumber(1, 65), nullptr);

    OSNumber* a = OSNumber::withNumber(300, 16);
    OSNumber* b = OSNumber::withNumber(300, 32);
    EXPECT_TRUE(a->isEqualTo(static_cast<OSMetaClassBase*>(b))); // equal by value
    EXPECT_EQ(a->unsigned8BitValue(), 300 % 256);
    a->release();
    b->release();
}

TEST(OSData, BoundsItsBytes)
{
    const unsigned char bytes[] = {1, 2, 3, 4};
    OSData* data = OSData::withBytes(bytes, sizeof(bytes));
    EXPECT_EQ(data->getLength(), 4u);
    EXPECT_EQ(static_cast<const unsigned char*>(data->getBytesNoCopy(1, 3))[2], 4);
    EXPECT_EQ(data->getBytesNoCopy(2, 3), nullptr);
    EXPECT_EQ(data->getBytesNoCopy(5, 0), nullptr);
    EXPECT_EQ(data->getBytesNoCopy(0xFFFFFFFF, 2), nullptr);
    EXPECT_TRUE(data->isEqualTo(bytes, 4));
    EXPECT_EQ(OSData::withBytes(nullptr, 3), nullptr);
    data->release();
}

TEST(OSDictionary, SetsReplacesAndRemovesWithBalancedReferences)
{
    OSDictionary* dictionary = OSDictionary::withCapacity(2);
    OSString* first = OSString::withCString("first");
    OSString* second = OSString::withCString("second");
    EXPECT_TRUE(dictionary->setObject("key", first));
    EXPECT_EQ(first->getRetainCount(), 2);
    EXPECT_TRUE(dictionary->setObject("key", second)); // replaces
    EXPECT_EQ(first->getRetainCount(), 1);
    EXPECT_EQ(dictionary->getCount(), 1u);
    EXPECT_EQ(dictionary->getObject("key"), second);
    const OSSymbol* symbol = OSSymbol::withCString("key");
    EXPECT_EQ(dictionary->getObject(symbol), second);
    EXPECT_FALSE(dictionary->setObject("null", nullptr));
    dictionary->removeObject("key");
    EXPECT_EQ(second->getRetainCount(), 1);
    EXPECT_EQ(dictionary->getObject("key"), nullptr);

    dictionary->setObject("a", first);
    OSDictionary* copy = OSDictionary::withDictionary(dictionary);
    EXPECT_TRUE(copy->isEqualTo(static_cast<OSMetaClassBase*>(dictionary)));
    copy->setObject("b", second);
    EXPECT_FALSE(copy->isEqualTo(static_cast<OSMetaClassBase*>(dictionary)));
    copy->release();
    dictionary->release();
    EXPECT_EQ(first->getRetainCount(), 1);
    symbol->release();
    first->release();
    second->release();
}

TEST(OSCollectionIterator, WalksKeysInOrderAndStopsWhenTheCollectionChanges)
{
    OSDictionary* dictionary = OSDictionary::withCapacity(3);
    for (const char* key : {"one", "two", "three"}) {
        dictionary->setObject(key, kOSBooleanTrue);
    }
    OSCollectionIterator* iterator = OSCollectionIterator::withCollection(dictionary);
    std::string keys;
    while (auto* key = OSDynamicCast(OSSymbol, iterator->getNextObject())) {
        keys += key->getCStringNoCopy();
        keys += ' ';
    }
    EXPECT_EQ(keys, "one two three ");
    iterator->reset();
    dictionary->removeObject("two");
    EXPECT_FALSE(iterator->isValid());
    EXPECT_EQ(iterator->getNextObject(), nullptr);
    iterator->release();
    dictionary->release();
}

TEST(OSSerialize, WritesEveryKindAsPropertyListText)
{
    OSDictionary* inner = OSDictionary::withCapacity(2);
    OSNumber* frequency = OSNumber::withNumber(48000, 32);
    OSNumber* knob = OSNumber::withNumber(7, 16);
    inner->setObject("Frequency", frequency);
    inner->setObject("MixerKnob", knob);
    const unsigned char bytes[] = {0x00, 0xFF, 0x10, 0x20};
    OSData* data = OSData::withBytes(bytes, sizeof(bytes));
    OSString* text = OSString::withCString("a<b&c>");
    OSArray* array = OSArray::withCapacity(2);
    array->setObject(kOSBooleanTrue);
    array->setObject(kOSBooleanFalse);
    OSDictionary* outer = OSDictionary::withCapacity(4);
    outer->setObject("ChannelSettings", inner);
    outer->setObject("WolfsonRegisters", data);
    outer->setObject("deviceUID", text);
    outer->setObject("Flags", array);

    OSSerialize* s = OSSerialize::withCapacity(256);
    ASSERT_TRUE(outer->serialize(s));
    EXPECT_STREQ(
        s->text(),
        "<dict><key>ChannelSettings</key><dict><key>Frequency</key><integer size=\"32\">48000</integer>"
        "<key>MixerKnob</key><integer size=\"16\">7</integer></dict>"
        "<key>WolfsonRegisters</key><data>AP8QIA==</data>"
        "<key>deviceUID</key><string>a&lt;b&amp;c&gt;</string>"
        "<key>Flags</key><array><true/><false/></array></dict>");
    for (OSObject* o :
         std::initializer_list<OSObject*>{s, outer, array, text, data, knob, frequency, inner}) {
        o->release();
    }
}

} // namespace

// The status and message numbers the driver and user space exchange.
static_assert(kIOReturnSuccess == 0);
static_assert(static_cast<uint32_t>(kIOReturnInvalid) == 0xE0000001);
static_assert(static_cast<uint32_t>(kIOReturnError) == 0xE00002BC);
static_assert(static_cast<uint32_t>(kIOReturnNoMemory) == 0xE00002BD);
static_assert(static_cast<uint32_t>(kIOReturnNoDevice) == 0xE00002C0);
static_assert(static_cast<uint32_t>(kIOReturnNotPrivileged) == 0xE00002C1);
static_assert(static_cast<uint32_t>(kIOReturnBadArgument) == 0xE00002C2);
static_assert(static_cast<uint32_t>(kIOReturnExclusiveAccess) == 0xE00002C5);
static_assert(static_cast<uint32_t>(kIOReturnUnsupported) == 0xE00002C7);
static_assert(static_cast<uint32_t>(kIOReturnIOError) == 0xE00002CA);
static_assert(static_cast<uint32_t>(kIOReturnNotOpen) == 0xE00002CD);
static_assert(static_cast<uint32_t>(kIOReturnBusy) == 0xE00002D5);
static_assert(static_cast<uint32_t>(kIOReturnNotAttached) == 0xE00002D9);
static_assert(static_cast<uint32_t>(kIOReturnUnderrun) == 0xE00002E7);
static_assert(static_cast<uint32_t>(kIOReturnDeviceError) == 0xE00002E9);
static_assert(static_cast<uint32_t>(kIOReturnAborted) == 0xE00002EB);
static_assert(static_cast<uint32_t>(kIOUSBPipeStalled) == 0xE000404F);
static_assert(static_cast<uint32_t>(kIOUSBTransactionTimeout) == 0xE0004051);
static_assert(kIOMessageServicePropertyChange == 0xE0000130);
static_assert(kIOMessageSystemWillSleep == 0xE0000280 && kIOMessageSystemHasPoweredOn == 0xE0000300);
