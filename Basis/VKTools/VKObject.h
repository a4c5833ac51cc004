// Root of the user-side object model: an intrusive, atomic reference count and the virtual hooks
// that collections use to order (`compare`), search (`isEqual`) and broadcast to (`onCommand`)
// their elements.
//
// Reference rule: the count is the number of holders that called incReferences; the creator's own
// pointer is not counted. The release that brings the count to zero deletes the object on the
// calling thread. An object nobody ever counted is deleted by its creator.
//
// Thread safety: incReferences/decReferences from any thread; everything else is serialised by
// the object's users.
#pragma once

#include <cstdint>

// Adds +1 / -1 as one atomic operation with a full barrier; returns the new value.
int atomicInc(volatile int* value);
int atomicDec(volatile int* value);

class VKObject
{
public:
    VKObject() = default;
    // A copy is a new object: it starts uncounted.
    VKObject(const VKObject&) {}
    VKObject& operator=(const VKObject&) { return *this; }

    // Ordering against `other`: exactly -1 (this first), 0 or 1. Default 0.
    virtual int compare(const VKObject& other) const;
    virtual void onCommand(int command, int value);
    virtual ~VKObject();
    // Equality for linear searches. Default true: classes searched linearly replace it.
    virtual bool isEqual(const VKObject& other) const;

    int incReferences();
    // Deletes the object when the count reaches exactly 0. Returns the new count.
    int decReferences();
    int getReferences() const { return m_references; }

    bool operator==(const VKObject& other) const { return isEqual(other); }

private:
    volatile int m_references = 0;
};
