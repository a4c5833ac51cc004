// Arrays of VKObject pointers that hold one reference per stored element.
//
// VKCollection appends; its capacity doubles from 5 up to 32,767 slots, after which `add` is
// refused. VKSortedCollection keeps its elements in ascending `compare` order (binary insertion)
// while its sorted flag is set, and grows without limit.
//
// Thread safety: none; users serialise every access to one collection.
#pragma once

#include "VKObject.h"

class VKCollection : public VKObject
{
public:
    static constexpr int kInitialCapacity = 5;
    static constexpr int kMaxCount = 32767;

    VKCollection();
    ~VKCollection() override;
    VKCollection(const VKCollection&) = delete;
    VKCollection& operator=(const VKCollection&) = delete;

    virtual int count() const;
    virtual void reset();
    // Appends and takes a reference; false for null or when the collection is full.
    virtual bool add(VKObject* object);
    // Removes the first slot holding that very pointer and releases the element.
    virtual void remove(const VKObject* object);
    virtual void removeAll();
    // First index whose element isEqual `object`, else -1.
    virtual int findIndex(const VKObject* object) const;
    virtual VKObject* find(const VKObject* object) const;
    virtual bool findSame(const VKObject* object) const;
    virtual int findSameIndex(const VKObject* object) const;

    // Grows the slot array to `capacity` (capacity + 5 when that is not larger or is 0).
    void expand(int capacity);
    VKObject* atPos(int index) const;
    // Calls every element's onCommand, in index order.
    void forEach(int command, int value);
    int getCapacity() const { return m_capacity; }

protected:
    void insertAt(int index, VKObject* object);

    int m_capacity;
    int m_count = 0;
    VKObject** m_items;
};

class VKSortedCollection : public VKCollection
{
public:
    VKSortedCollection() = default;
    ~VKSortedCollection() override;

    // Sorted: inserts before the equal element the binary search meets. Unsorted: appends.
    bool add(VKObject* object) override;
    // Sorted: first index of the run of elements that compare equal. Unsorted: linear isEqual.
    int findIndex(const VKObject* object) const override;
    // Appends and clears the sorted flag.
    virtual bool addUnsorted(VKObject* object);
    virtual void doSort();

    void forceResort() { doSort(); }
    void setSorted(bool sorted);
    bool isSorted() const { return m_sorted; }

private:
    bool m_sorted = true;
};

// qsort comparison over two collection slots; the sign of the first element's compare.
int Lgf_SortedCollectionCompareFunction(const void* a, const void* b);
