// The base of every object the plug-in publishes to the audio server: its identifier, class, base
// class, owner and active flag, and the answers every object gives ('bcls', 'clas', 'stdv' and an
// empty 'ownd' in the global scope). Derived classes answer their own selectors and hand the rest
// to these. Failures are raised as CAException with the status for the host.
//
// Thread safety: the property operations may run on any of the audio server's threads; the fields
// read here are fixed at construction, except the active flag (atomic).
#pragma once

#include <atomic>
#include <cstdint>

#include "CoreAudio/AudioServerPlugIn.h"

class QzASPlugInObject
{
public:
    QzASPlugInObject(AudioObjectID objectID, AudioClassID classID, AudioClassID baseClassID,
                     AudioObjectID ownerObjectID);
    QzASPlugInObject(const QzASPlugInObject&) = delete;
    QzASPlugInObject& operator=(const QzASPlugInObject&) = delete;

    virtual void Activate();
    virtual void Deactivate();
    virtual ~QzASPlugInObject();

    // `objectID` repeats the identifier the host asked about: one object may answer for several.
    virtual bool HasProperty(AudioObjectID objectID, pid_t clientProcessID,
                             const AudioObjectPropertyAddress& address) const;
    virtual bool IsPropertySettable(AudioObjectID objectID, pid_t clientProcessID,
                                    const AudioObjectPropertyAddress& address) const;
    virtual UInt32 GetPropertyDataSize(AudioObjectID objectID, pid_t clientProcessID,
                                       const AudioObjectPropertyAddress& address, UInt32 qualifierDataSize,
                                       const void* qualifierData) const;
    virtual void GetPropertyData(AudioObjectID objectID, pid_t clientProcessID,
                                 const AudioObjectPropertyAddress& address, UInt32 qualifierDataSize,
                                 const void* qualifierData, UInt32 dataSize, UInt32& outDataSize,
                                 void* outData) const;
    virtual void SetPropertyData(AudioObjectID objectID, pid_t clientProcessID,
                                 const AudioObjectPropertyAddress& address, UInt32 qualifierDataSize,
                                 const void* qualifierData, UInt32 dataSize, const void* data);

    AudioObjectID GetObjectID() const { return mObjectID; }
    // The identifier widened to a pointer: the reference constant of notification registrations,
    // so that callbacks carry an identifier to look up, never an object pointer.
    void* GetObjectIDAsPtr() const { return reinterpret_cast<void*>(static_cast<uintptr_t>(mObjectID)); }
    AudioClassID GetClassID() const { return mClassID; }
    AudioClassID GetBaseClassID() const { return mBaseClassID; }
    AudioObjectID GetOwnerObjectID() const { return mOwnerObjectID; }
    bool IsActive() const { return mIsActive.load(std::memory_order_acquire); }

protected:
    const AudioObjectID mObjectID;
    const AudioClassID mClassID;
    const AudioClassID mBaseClassID;
    const AudioObjectID mOwnerObjectID;
    std::atomic<bool> mIsActive{false};
};

// The four characters of a code, most significant first, for log lines.
struct QzFourCC
{
    explicit QzFourCC(UInt32 code);
    char text[5];
};
