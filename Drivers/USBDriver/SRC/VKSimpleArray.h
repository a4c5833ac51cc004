// The kernel's small objects and the fixed array that owns them.
//
// A VKSimpleObject's use count is raised and lowered by the arrays that hold it; it may be
// destroyed (isDeletable) once no array holds it. A VKSimpleArray holds at most 64 objects,
// packed from slot 0 in insertion order; it never grows and never allocates. Its destructor
// destroys every object that no other array holds.
//
// Objects are allocated through the counting allocator (memAlloc), so a leak shows in its
// counters.
//
// Thread safety: none; the owner serialises access.
#pragma once

#include <cstddef>
#include <cstdint>

class VKSimpleObject
{
public:
    VKSimpleObject() = default;
    virtual ~VKSimpleObject() = default;
    VKSimpleObject(const VKSimpleObject&) = delete;
    VKSimpleObject& operator=(const VKSimpleObject&) = delete;

    virtual bool isDeletable() const { return m_iRefCount < 1; }

    // Small objects come from the counting allocator; new yields null when it has no memory.
    static void* operator new(size_t size) noexcept;
    static void operator delete(void* pointer, size_t size) noexcept;
    int32_t getRefCount() const { return m_iRefCount; }

private:
    friend class VKSimpleArray;
    int32_t m_iRefCount = 0;
};

class VKSimpleArray : public VKSimpleObject
{
public:
    static constexpr int32_t kCapacity = 64;

    VKSimpleArray() = default;
    ~VKSimpleArray() override;

    // Appends `object` and raises its use count; false for null or when full.
    bool add(VKSimpleObject* object);
    // The element at `index`, or null outside 0..count-1.
    VKSimpleObject* atPos(int32_t index) const;
    bool contains(const VKSimpleObject* object) const;
    // Takes the first slot holding `object` out (the later ones move down) and lowers its use
    // count; the object, or null when it was not held.
    VKSimpleObject* remove(VKSimpleObject* object);
    // remove, then destroys the object when nothing else holds it.
    void del(VKSimpleObject* object);
    // Empties the array, lowering every use count; destroys nothing.
    void removeAll();
    // Empties the array, destroying every object that nothing else holds.
    void deleteAll();

    int32_t getCount() const { return m_iCount; }

    // Typed access for arrays of one kind of object.
    template <class T> T* at(int32_t index) const { return static_cast<T*>(atPos(index)); }

private:
    int32_t m_iCount = 0;
    VKSimpleObject* m_pObjects[kCapacity] = {};
};
