#include "VKCollection.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

// A compare outside -1..1 would stall the binary searches; only its sign counts.
int signOf(int value)
{
    return (value > 0) - (value < 0);
}

} // namespace

VKCollection::VKCollection() : m_capacity(kInitialCapacity), m_items(new VKObject*[kInitialCapacity]()) {}

VKCollection::~VKCollection()
{
    removeAll();
    delete[] m_items;
}

int VKCollection::count() const
{
    return m_count;
}

void VKCollection::reset() {}

bool VKCollection::add(VKObject* object)
{
    if (object == nullptr) {
        return false;
    }
    if (m_count == m_capacity) {
        if (m_capacity >= kMaxCount) {
            return false;
        }
        expand(m_capacity * 2 < kMaxCount ? m_capacity * 2 : kMaxCount);
    }
    insertAt(m_count, object);
    return true;
}

void VKCollection::insertAt(int index, VKObject* object)
{
    std::memmove(m_items + index + 1, m_items + index,
                 sizeof(VKObject*) * static_cast<size_t>(m_count - index));
    m_items[index] = object;
    ++m_count;
    object->incReferences();
}

void VKCollection::remove(const VKObject* object)
{
    const int index = findSameIndex(object);
    if (index < 0) {
        return;
    }
    VKObject* element = m_items[index];
    // Close the gap before the release, so an element's destructor never sees its own slot.
    std::memmove(m_items + index, m_items + index + 1,
                 sizeof(VKObject*) * static_cast<size_t>(m_count - index - 1));
    m_items[--m_count] = nullptr;
    element->decReferences();
}

void VKCollection::removeAll()
{
    const int stored = m_count;
    m_count = 0;
    for (int i = 0; i < stored; ++i) {
        VKObject* element = m_items[i];
        m_items[i] = nullptr;
        if (element != nullptr) {
            element->decReferences();
        }
    }
}

int VKCollection::findIndex(const VKObject* object) const
{
    if (object == nullptr) {
        return -1;
    }
    for (int i = 0; i < m_count; ++i) {
        if (m_items[i] != nullptr && m_items[i]->isEqual(*object)) {
            return i;
        }
    }
    return -1;
}

VKObject* VKCollection::find(const VKObject* object) const
{
    const int index = findIndex(object);
    return index < 0 ? nullptr : m_items[index];
}

bool VKCollection::findSame(const VKObject* object) const
{
    return findSameIndex(object) >= 0;
}

int VKCollection::findSameIndex(const VKObject* object) const
{
    if (object == nullptr) {
        return -1;
    }
    for (int i = 0; i < m_count; ++i) {
        if (m_items[i] == object) {
            return i;
        }
    }
    return -1;
}

void VKCollection::expand(int capacity)
{
    if (capacity <= m_capacity || capacity == 0) {
        capacity = m_capacity + 5;
    }
    auto** items = new VKObject*[static_cast<size_t>(capacity)]();
    std::memcpy(items, m_items, sizeof(VKObject*) * static_cast<size_t>(m_count));
    delete[] m_items;
    m_items = items;
    m_capacity = capacity;
}

VKObject* VKCollection::atPos(int index) const
{
    if (index < 0 || index >= m_count) {
        return nullptr;
    }
    return m_items[index];
}

void VKCollection::forEach(int command, int value)
{
    for (int i = 0; i < m_count; ++i) {
        if (m_items[i] != nullptr) {
            m_items[i]->onCommand(command, value);
        }
    }
}

VKSortedCollection::~VKSortedCollection() = default;

bool VKSortedCollection::add(VKObject* object)
{
    if (object == nullptr) {
        return false;
    }
    if (!m_sorted) {
        return VKCollection::add(object);
    }
    if (m_count == m_capacity) {
        if (m_capacity > INT_MAX / 2) {
            return false;
        }
        expand(m_capacity * 2);
    }
    int lo = 0;
    int hi = m_count - 1;
    while (hi >= lo) {
        const int mid = (lo + hi) / 2;
        const int r = signOf(m_items[mid]->compare(*object));
        if (r < 0) {
            lo = mid + 1;
        } else if (r > 0) {
            hi = mid - 1;
        } else {
            lo = mid;
            break;
        }
    }
    insertAt(lo, object);
    return true;
}

int VKSortedCollection::findIndex(const VKObject* object) const
{
    if (object == nullptr) {
        return -1;
    }
    if (!m_sorted) {
        return VKCollection::findIndex(object);
    }
    int lo = 0;
    int hi = m_count - 1;
    int mid = 0;
    for (;;) {
        if (hi < lo) {
            return -1;
        }
        mid = (lo + hi) / 2;
        if (m_items[mid] == nullptr) {
            return -1;
        }
        const int r = signOf(m_items[mid]->compare(*object));
        if (r == 0) {
            break;
        }
        if (r > 0) {
            hi = mid - 1;
        } else {
            lo = mid + 1;
        }
    }
    while (mid >= 1 && m_items[mid - 1]->compare(*object) == 0) {
        --mid;
    }
    return mid;
}

bool VKSortedCollection::addUnsorted(VKObject* object)
{
    if (object == nullptr) {
        return false;
    }
    m_sorted = false;
    return VKCollection::add(object);
}

void VKSortedCollection::doSort()
{
    if (m_count > 1) {
        std::qsort(m_items, static_cast<size_t>(m_count), sizeof(VKObject*),
                   Lgf_SortedCollectionCompareFunction);
    }
    m_sorted = true;
}

void VKSortedCollection::setSorted(bool sorted)
{
    if (sorted == m_sorted) {
        return;
    }
    m_sorted = sorted;
    if (sorted) {
        doSort();
    }
}

int Lgf_SortedCollectionCompareFunction(const void* a, const void* b)
{
    const auto* first = *static_cast<VKObject* const*>(a);
    const auto* second = *static_cast<VKObject* const*>(b);
    return signOf(first->compare(*second));
}
