#include "QzASPlugInObject.h"

#include "CAException.h"
#include "platform/Log.h"

namespace {

bool isBaseSelector(AudioObjectPropertySelector selector)
{
    return selector == kAudioObjectPropertyBaseClass || selector == kAudioObjectPropertyClass ||
           selector == kAudioObjectPropertyOwner || selector == kAudioObjectPropertyOwnedObjects;
}

void writeU32(const char* name, UInt32 value, UInt32 dataSize, UInt32& outDataSize, void* outData)
{
    if (dataSize < sizeof(UInt32)) {
        platform::syslog(platform::log::kPriorityNotice,
                         "QzASPlugInObject::GetPropertyData: not enough space for the return value of %s", name);
        throw CAException(kAudioHardwareBadPropertySizeError);
    }
    *static_cast<UInt32*>(outData) = value;
    outDataSize = sizeof(UInt32);
}

} // namespace

QzFourCC::QzFourCC(UInt32 code)
{
    for (int i = 0; i < 4; ++i) {
        text[i] = static_cast<char>((code >> (24 - 8 * i)) & 0xFF);
    }
    text[4] = '\0';
}

QzASPlugInObject::QzASPlugInObject(AudioObjectID objectID, AudioClassID classID, AudioClassID baseClassID,
                                   AudioObjectID ownerObjectID)
    : mObjectID(objectID), mClassID(classID), mBaseClassID(baseClassID), mOwnerObjectID(ownerObjectID)
{
}

QzASPlugInObject::~QzASPlugInObject() = default;

void QzASPlugInObject::Activate()
{
    mIsActive.store(true, std::memory_order_release);
}

void QzASPlugInObject::Deactivate()
{
    mIsActive.store(false, std::memory_order_release);
}

bool QzASPlugInObject::HasProperty(AudioObjectID, pid_t, const AudioObjectPropertyAddress& address) const
{
    return isBaseSelector(address.mSelector) && address.mScope == kAudioObjectPropertyScopeGlobal &&
           address.mElement == kAudioObjectPropertyElementMaster;
}

bool QzASPlugInObject::IsPropertySettable(AudioObjectID, pid_t, const AudioObjectPropertyAddress& address) const
{
    if (!isBaseSelector(address.mSelector)) {
        throw CAException(kAudioHardwareUnknownPropertyError);
    }
    return false;
}

UInt32 QzASPlugInObject::GetPropertyDataSize(AudioObjectID, pid_t, const AudioObjectPropertyAddress& address, UInt32,
                                             const void*) const
{
    switch (address.mSelector) {
    case kAudioObjectPropertyBaseClass:
    case kAudioObjectPropertyClass:
    case kAudioObjectPropertyOwner:
        return sizeof(UInt32);
    case kAudioObjectPropertyOwnedObjects:
        return 0;
    default:
        throw CAException(kAudioHardwareUnknownPropertyError);
    }
}

void QzASPlugInObject::GetPropertyData(AudioObjectID, pid_t, const AudioObjectPropertyAddress& address, UInt32,
                                       const void*, UInt32 dataSize, UInt32& outDataSize, void* outData) const
{
    switch (address.mSelector) {
    case kAudioObjectPropertyBaseClass:
        writeU32("kAudioObjectPropertyBaseClass", mBaseClassID, dataSize, outDataSize, outData);
        break;
    case kAudioObjectPropertyClass:
        writeU32("kAudioObjectPropertyClass", mClassID, dataSize, outDataSize, outData);
        break;
    case kAudioObjectPropertyOwner:
        writeU32("kAudioObjectPropertyOwner", mOwnerObjectID, dataSize, outDataSize, outData);
        break;
    case kAudioObjectPropertyOwnedObjects:
        outDataSize = 0;
        break;
    default:
        throw CAException(kAudioHardwareUnknownPropertyError);
    }
}

void QzASPlugInObject::SetPropertyData(AudioObjectID, pid_t, const AudioObjectPropertyAddress&, UInt32, const void*,
                                       UInt32, const void*)
{
    throw CAException(kAudioHardwareUnknownPropertyError);
}
