// A small typed value owned by a device object that tells its host when it changes.
// Threads: an item belongs to one host and changes on the host's threads; the host hears of a
// change synchronously on the changing thread.
#pragma once

#include <atomic>
#include <cstdint>

enum EPropType : uint32_t
{
    kPropTypeUInt32 = 0,
};

class PropertyItem;

class PropertyItemHost
{
public:
    virtual ~PropertyItemHost() = default;
    virtual void onPropertyChanged(PropertyItem* item) = 0;
};

class PropertyItem
{
public:
    PropertyItem(PropertyItemHost* host, EPropType type) : m_host(host), m_type(type) {}

    // True when the value changed; the host is told only then, and only with `notify`.
    bool set(uint32_t value, bool notify);
    uint32_t getUInt32() const;

private:
    PropertyItemHost* m_host;
    EPropType m_type;
    std::atomic<uint32_t> m_value{0}; // read by the IO thread while the run loop sets it
};
