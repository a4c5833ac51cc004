// The process-wide map from audio-object identifiers to published objects, and the reference
// counts that decide when an object dies. Identifier 0 is never mapped, 1 is the plug-in object,
// every other identifier comes from GetNextObjectID (32, 33, ...), never twice. One object may be
// mapped under several identifiers (a device under those of its streams and controls).
//
// An object's entry holds one reference for its creator; lookups add one each, released again
// through ReleaseObject (QzASPlugInObjectReleaser does it at the end of a scope). When the count
// reaches 0 the entry and all its identifiers go at once and the object is destroyed later on the
// global serial queue, never under the map's mutex nor in the caller's frame. An object whose last
// identifier is unmapped can no longer be looked up, but lives until its count reaches 0.
//
// Thread safety: every operation may be called from any thread (one mutex guards the map). Lock
// order: a caller may hold its own mutex (the plug-in's device list) while calling in here.
#pragma once

#include <cstdint>
#include <vector>

#include "CAMutex.h"
#include "QzASPlugInObject.h"

class QzASPlugInObjectMap
{
public:
    static AudioObjectID GetNextObjectID();
    // False for identifier 0, a null object, or an identifier already mapped (logged).
    static bool MapObject(AudioObjectID objectID, QzASPlugInObject* object);
    static void UnmapObject(AudioObjectID objectID, QzASPlugInObject* object);
    // The object with one more reference, or null.
    static QzASPlugInObject* CopyObjectByObjectID(AudioObjectID objectID);
    // As CopyObjectByObjectID, but null (holding nothing) when the object is not of class T.
    template <class T> static T* CopyObjectOfClassByObjectID(AudioObjectID objectID)
    {
        QzASPlugInObject* object = CopyObjectByObjectID(objectID);
        T* typed = dynamic_cast<T*>(object);
        if (object != nullptr && typed == nullptr) {
            ReleaseObject(object);
        }
        return typed;
    }
    // The count after the call; 0 for an object the map does not hold.
    static UInt64 RetainObject(QzASPlugInObject* object);
    static UInt64 ReleaseObject(QzASPlugInObject* object);
    static void Dump();
    // Runs the object's destructor (null: nothing).
    static void DestroyObject(QzASPlugInObject* object);

    virtual ~QzASPlugInObjectMap();

private:
    struct ObjectInfo
    {
        QzASPlugInObject* mObject;
        UInt64 mRetainCount;
        std::vector<AudioObjectID> mObjectIDs;

        bool Holds(AudioObjectID objectID) const;
    };

    QzASPlugInObjectMap();
    static QzASPlugInObjectMap& Instance();

    AudioObjectID _GetNextObjectID();
    bool _MapObject(AudioObjectID objectID, QzASPlugInObject* object);
    void _UnmapObject(AudioObjectID objectID, QzASPlugInObject* object);
    QzASPlugInObject* _CopyObjectByObjectID(AudioObjectID objectID);
    UInt64 _RetainObject(QzASPlugInObject* object);
    UInt64 _ReleaseObject(QzASPlugInObject* object);
    void _Dump() const;
    ObjectInfo* FindByID(AudioObjectID objectID);
    ObjectInfo* FindByObject(const QzASPlugInObject* object);
    static void QueueDestruction(QzASPlugInObject* object);

    CAMutex mMutex{"QzASPlugInObjectMap Mutex"};
    AudioObjectID mNextObjectID = 32;    // guarded by mMutex
    std::vector<ObjectInfo> mObjectInfo; // guarded by mMutex; insertion order
};

// Holds a looked-up object (maybe null) for a scope and releases it at the end.
template <class T> class QzASPlugInObjectReleaser
{
public:
    explicit QzASPlugInObjectReleaser(T* object) : mObject(object) {}
    ~QzASPlugInObjectReleaser()
    {
        if (mObject != nullptr) {
            QzASPlugInObjectMap::ReleaseObject(mObject);
        }
    }
    QzASPlugInObjectReleaser(const QzASPlugInObjectReleaser&) = delete;
    QzASPlugInObjectReleaser& operator=(const QzASPlugInObjectReleaser&) = delete;

    bool IsValid() const { return mObject != nullptr; }
    T* operator->() const { return mObject; }
    operator T*() const { return mObject; }
    T* Get() const { return mObject; }

private:
    T* mObject;
};
