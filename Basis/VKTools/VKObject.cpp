#include "VKObject.h"

int atomicInc(volatile int* value)
{
    return __atomic_add_fetch(value, 1, __ATOMIC_SEQ_CST);
}

int atomicDec(volatile int* value)
{
    return __atomic_sub_fetch(value, 1, __ATOMIC_SEQ_CST);
}

int VKObject::compare(const VKObject&) const
{
    return 0;
}

void VKObject::onCommand(int, int) {}

VKObject::~VKObject() = default;

bool VKObject::isEqual(const VKObject&) const
{
    return true;
}

int VKObject::incReferences()
{
    return atomicInc(&m_references);
}

int VKObject::decReferences()
{
    const int count = atomicDec(&m_references);
    if (count == 0) {
        delete this;
    }
    return count;
}
