// The reference-counted root object of the kernel. A new object has one reference; release()
// of the last one calls free(), whose base form destroys the object. Subclasses override init
// forms to set up and free() to tear down (calling the base last).
//
// Thread safety: retain and release may be called from any thread, including real-time ones
// (they are single atomic operations until the last release).
#pragma once

#include <atomic>

#include "libkern/c++/OSMetaClass.h"

class OSObject : public OSMetaClassBase
{
public:
    static const OSMetaClass gMetaClass;
    static OSObject* allocInstance();
    const OSMetaClass* getMetaClass() const override { return &gMetaClass; }

    OSObject();

    virtual bool init();
    void retain() const override;
    void release() const override;
    int getRetainCount() const override;
    // Writes the object's value for logs and registry reads; the base form writes nothing and fails.
    bool serialize(OSSerialize* serializer) const override;

protected:
    ~OSObject() override;
    // Called when the last reference goes; the base form destroys the object.
    virtual void free();

private:
    mutable std::atomic<int> m_retainCount{1};
};

namespace platform::iokit {
// Last releases running now. An object's class code can still be on that thread's stack after
// its instance count dropped (its free() and destructor return through it), so a library of
// classes is unloaded only once this is zero as well.
unsigned int releasesInProgress();
} // namespace platform::iokit

// Releases `object` when it is not null and clears the pointer.
#define OSSafeReleaseNULL(object)                                                                            \
    do {                                                                                                     \
        if ((object) != nullptr) {                                                                           \
            (object)->release();                                                                             \
        }                                                                                                    \
        (object) = nullptr;                                                                                  \
    } while (0)
