#include "VKSimpleArray.h"

#include "VKKernelMemory.h"

void* VKSimpleObject::operator new(size_t size) noexcept
{
    return memAlloc(size);
}

void VKSimpleObject::operator delete(void* pointer, size_t size) noexcept
{
    memFree(pointer, size);
}

VKSimpleArray::~VKSimpleArray()
{
    deleteAll();
}

bool VKSimpleArray::add(VKSimpleObject* object)
{
    if (object == nullptr || m_iCount >= kCapacity) {
        return false;
    }
    m_pObjects[m_iCount++] = object;
    ++object->m_iRefCount;
    return true;
}

VKSimpleObject* VKSimpleArray::atPos(int32_t index) const
{
    if (index < 0 || index >= m_iCount) {
        return nullptr;
    }
    return m_pObjects[index];
}

bool VKSimpleArray::contains(const VKSimpleObject* object) const
{
    if (object == nullptr) {
        return false;
    }
    for (int32_t i = 0; i < m_iCount; ++i) {
        if (m_pObjects[i] == object) {
            return true;
        }
    }
    return false;
}

VKSimpleObject* VKSimpleArray::remove(VKSimpleObject* object)
{
    if (object == nullptr) {
        return nullptr;
    }
    for (int32_t i = 0; i < m_iCount; ++i) {
        if (m_pObjects[i] == object) {
            --object->m_iRefCount;
            for (int32_t j = i; j + 1 < m_iCount; ++j) {
                m_pObjects[j] = m_pObjects[j + 1];
            }
            m_pObjects[--m_iCount] = nullptr;
            return object;
        }
    }
    return nullptr;
}

void VKSimpleArray::del(VKSimpleObject* object)
{
    if (remove(object) == object && object != nullptr && object->isDeletable()) {
        delete object;
    }
}

void VKSimpleArray::removeAll()
{
    for (int32_t i = 0; i < m_iCount; ++i) {
        --m_pObjects[i]->m_iRefCount;
        m_pObjects[i] = nullptr;
    }
    m_iCount = 0;
}

void VKSimpleArray::deleteAll()
{
    // Emptied before anything is destroyed, so a destructor that reaches back into this array
    // sees it empty.
    VKSimpleObject* objects[kCapacity];
    const int32_t count = m_iCount;
    for (int32_t i = 0; i < count; ++i) {
        objects[i] = m_pObjects[i];
        m_pObjects[i] = nullptr;
    }
    m_iCount = 0;
    for (int32_t i = 0; i < count; ++i) {
        --objects[i]->m_iRefCount;
        if (objects[i]->isDeletable()) {
            delete objects[i];
        }
    }
}
