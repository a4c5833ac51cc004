#include "PropertyItem.h"

#include "platform/Log.h"

bool PropertyItem::set(uint32_t value, bool notify)
{
    if (m_type != kPropTypeUInt32) {
        platform::printOut("PropertyItem::set(UInt32 v) invalid type %d\n", static_cast<int>(m_type));
        return false;
    }
    if (m_value.load(std::memory_order_acquire) == value) {
        return false;
    }
    m_value.store(value, std::memory_order_release);
    if (notify && m_host != nullptr) {
        m_host->onPropertyChanged(this);
    }
    return true;
}

uint32_t PropertyItem::getUInt32() const
{
    if (m_type != kPropTypeUInt32) {
        platform::printOut("PropertyItem::getUInt32 invalid type %d\n", static_cast<int>(m_type));
        return 0;
    }
    return m_value.load(std::memory_order_acquire);
}
