#include "QzASPlugInObjectMap.h"

#include <algorithm>
#include <limits>
#include <mutex>

#include "CADispatchQueue.h"
#include "platform/Log.h"

namespace {

constexpr UInt64 kMaxRetainCount = std::numeric_limits<UInt64>::max();

#define notice(...) platform::syslog(platform::log::kPriorityNotice, __VA_ARGS__)

} // namespace

bool QzASPlugInObjectMap::ObjectInfo::Holds(AudioObjectID objectID) const
{
    return std::find(mObjectIDs.begin(), mObjectIDs.end(), objectID) != mObjectIDs.end();
}

QzASPlugInObjectMap::QzASPlugInObjectMap()
{
    mObjectInfo.reserve(256);
}

QzASPlugInObjectMap::~QzASPlugInObjectMap() = default;

QzASPlugInObjectMap& QzASPlugInObjectMap::Instance()
{
    // Never destroyed: objects may be released from queues while the process ends.
    static QzASPlugInObjectMap* const instance = new QzASPlugInObjectMap();
    return *instance;
}

AudioObjectID QzASPlugInObjectMap::GetNextObjectID()
{
    QzASPlugInObjectMap& map = Instance();
    CAMutex::Locker locker(map.mMutex);
    return map._GetNextObjectID();
}

bool QzASPlugInObjectMap::MapObject(AudioObjectID objectID, QzASPlugInObject* object)
{
    if (objectID == kAudioObjectUnknown || object == nullptr) {
        return false;
    }
    QzASPlugInObjectMap& map = Instance();
    CAMutex::Locker locker(map.mMutex);
    return map._MapObject(objectID, object);
}

void QzASPlugInObjectMap::UnmapObject(AudioObjectID objectID, QzASPlugInObject* object)
{
    if (objectID == kAudioObjectUnknown || object == nullptr) {
        return;
    }
    QzASPlugInObjectMap& map = Instance();
    CAMutex::Locker locker(map.mMutex);
    map._UnmapObject(objectID, object);
}

QzASPlugInObject* QzASPlugInObjectMap::CopyObjectByObjectID(AudioObjectID objectID)
{
    if (objectID == kAudioObjectUnknown) {
        return nullptr;
    }
    QzASPlugInObjectMap& map = Instance();
    CAMutex::Locker locker(map.mMutex);
    return map._CopyObjectByObjectID(objectID);
}

UInt64 QzASPlugInObjectMap::RetainObject(QzASPlugInObject* object)
{
    if (object == nullptr) {
        return 0;
    }
    QzASPlugInObjectMap& map = Instance();
    CAMutex::Locker locker(map.mMutex);
    return map._RetainObject(object);
}

UInt64 QzASPlugInObjectMap::ReleaseObject(QzASPlugInObject* object)
{
    if (object == nullptr) {
        return 0;
    }
    QzASPlugInObjectMap& map = Instance();
    CAMutex::Locker locker(map.mMutex);
    return map._ReleaseObject(object);
}

void QzASPlugInObjectMap::Dump()
{
    QzASPlugInObjectMap& map = Instance();
    CAMutex::Locker locker(map.mMutex);
    map._Dump();
}

void QzASPlugInObjectMap::DestroyObject(QzASPlugInObject* object)
{
    delete object;
}

AudioObjectID QzASPlugInObjectMap::_GetNextObjectID()
{
    return mNextObjectID++;
}

QzASPlugInObjectMap::ObjectInfo* QzASPlugInObjectMap::FindByID(AudioObjectID objectID)
{
    for (ObjectInfo& info : mObjectInfo) {
        if (info.Holds(objectID)) {
            return &info;
        }
    }
    return nullptr;
}

QzASPlugInObjectMap::ObjectInfo* QzASPlugInObjectMap::FindByObject(const QzASPlugInObject* object)
{
    for (ObjectInfo& info : mObjectInfo) {
        if (info.mObject == object) {
            return &info;
        }
    }
    return nullptr;
}

bool QzASPlugInObjectMap::_MapObject(AudioObjectID objectID, QzASPlugInObject* object)
{
    if (ObjectInfo* mapped = FindByID(objectID); mapped != nullptr) {
        notice("HALB_ObjectMap::_MapObject: %d cannot be mapped to object %p because it is already mapped to %p",
               static_cast<int>(objectID), static_cast<const void*>(object),
               static_cast<const void*>(mapped->mObject));
        return false;
    }
    if (ObjectInfo* info = FindByObject(object); info != nullptr) {
        info->mObjectIDs.push_back(objectID);
        return true;
    }
    mObjectInfo.push_back(ObjectInfo{object, 1, {objectID}});
    return true;
}

void QzASPlugInObjectMap::_UnmapObject(AudioObjectID objectID, QzASPlugInObject* object)
{
    ObjectInfo* info = FindByID(objectID);
    if (info == nullptr || info->mObject != object) {
        return;
    }
    info->mObjectIDs.erase(std::find(info->mObjectIDs.begin(), info->mObjectIDs.end(), objectID));
    // Without identifiers nobody can look the object up any more; it still lives until those
    // who hold it have released it.
}

QzASPlugInObject* QzASPlugInObjectMap::_CopyObjectByObjectID(AudioObjectID objectID)
{
    ObjectInfo* info = FindByID(objectID);
    if (info == nullptr) {
        return nullptr;
    }
    if (info->mRetainCount == kMaxRetainCount) {
        notice("QzASPlugInObjectMap::_CopyObjectByObjectID: not copying because the reference count is at maximum");
        return nullptr;
    }
    ++info->mRetainCount;
    return info->mObject;
}

UInt64 QzASPlugInObjectMap::_RetainObject(QzASPlugInObject* object)
{
    ObjectInfo* info = FindByObject(object);
    if (info == nullptr) {
        return 0;
    }
    if (info->mRetainCount < kMaxRetainCount) {
        ++info->mRetainCount;
    } else {
        notice("QzASPlugInObjectMap::_RetainObject: not retaining because the reference count is at maximum");
    }
    return info->mRetainCount;
}

UInt64 QzASPlugInObjectMap::_ReleaseObject(QzASPlugInObject* object)
{
    ObjectInfo* info = FindByObject(object);
    if (info == nullptr) {
        return 0;
    }
    if (info->mRetainCount == 0) {
        notice("QzASPlugInObjectMap::_ReleaseObject: not releasing because the reference count is already at 0");
        return 0;
    }
    const UInt64 count = --info->mRetainCount;
    if (count == 0) {
        mObjectInfo.erase(mObjectInfo.begin() + (info - mObjectInfo.data()));
        QueueDestruction(object);
    }
    return count;
}

void QzASPlugInObjectMap::QueueDestruction(QzASPlugInObject* object)
{
    CADispatchQueue::GetGlobalSerialQueue().Dispatch([object] { DestroyObject(object); });
}

void QzASPlugInObjectMap::_Dump() const
{
    notice("HALB_ObjectMap::_Dump:");
    if (mObjectInfo.empty()) {
        notice("  No Objects");
        return;
    }
    for (const ObjectInfo& info : mObjectInfo) {
        const QzFourCC classID(info.mObject->GetClassID());
        const QzFourCC baseClassID(info.mObject->GetBaseClassID());
        const auto references = static_cast<long long>(info.mRetainCount);
        if (info.mObjectIDs.size() == 1) {
            notice("  Object: %p | Class: '%s' | Base Class: '%s' | Ref: %4lld | ID: %d",
                   static_cast<const void*>(info.mObject), classID.text, baseClassID.text, references,
                   static_cast<int>(info.mObjectIDs.front()));
            continue;
        }
        notice("  Object: %p | Class: '%s' | Base Class: '%s' | Ref: %4lld | Number IDs: %d",
               static_cast<const void*>(info.mObject), classID.text, baseClassID.text, references,
               static_cast<int>(info.mObjectIDs.size()));
        for (size_t index = 0; index < info.mObjectIDs.size(); ++index) {
            notice("    ID %3d: %d", static_cast<int>(index), static_cast<int>(info.mObjectIDs[index]));
        }
    }
}
