// Arrays and dictionaries.
#include <algorithm>

#include "Object.h"

namespace platform::cf {
namespace {

const void* retainValue(CFAllocatorRef, const void* value)
{
    return CFRetain(value);
}

void releaseValue(CFAllocatorRef, const void* value)
{
    CFRelease(value);
}

const void* copyStringKey(CFAllocatorRef, const void* value)
{
    if (as<String>(value) != nullptr) {
        return CFStringCreateCopy(nullptr, static_cast<CFStringRef>(value));
    }
    return CFRetain(value);
}

CFStringRef copyDescription(const void* value)
{
    return CFCopyDescription(value);
}

Boolean equalValues(const void* a, const void* b)
{
    return CFEqual(a, b);
}

CFHashCode hashValue(const void* value)
{
    return CFHash(value);
}

std::string indent(int depth)
{
    return std::string(static_cast<size_t>(depth + 1) * 4, ' ');
}

} // namespace

Array::Array(const CFArrayCallBacks* callBacks, bool isMutable)
    : Object(kTypeID), m_callBacks(callBacks == nullptr ? CFArrayCallBacks{} : *callBacks),
      m_mutable(isMutable)
{
}

Array::~Array()
{
    clear();
}

void Array::insert(size_t index, const void* value)
{
    if (m_callBacks.retain != nullptr) {
        value = m_callBacks.retain(nullptr, value);
    }
    m_values.insert(m_values.begin() + static_cast<ptrdiff_t>(index), value);
}

void Array::set(size_t index, const void* value)
{
    if (m_callBacks.retain != nullptr) {
        value = m_callBacks.retain(nullptr, value);
    }
    std::swap(m_values[index], value);
    if (m_callBacks.release != nullptr) {
        m_callBacks.release(nullptr, value);
    }
}

void Array::remove(size_t index)
{
    const void* value = m_values[index];
    m_values.erase(m_values.begin() + static_cast<ptrdiff_t>(index));
    if (m_callBacks.release != nullptr) {
        m_callBacks.release(nullptr, value);
    }
}

void Array::clear()
{
    std::vector<const void*> values;
    values.swap(m_values);
    if (m_callBacks.release != nullptr) {
        for (const void* value : values) {
            m_callBacks.release(nullptr, value);
        }
    }
}

bool Array::valueEquals(const void* a, const void* b) const
{
    return a == b || (m_callBacks.equal != nullptr && m_callBacks.equal(a, b));
}

bool Array::equals(const Object& other) const
{
    const auto& o = static_cast<const Array&>(other);
    if (m_values.size() != o.m_values.size()) {
        return false;
    }
    for (size_t i = 0; i < m_values.size(); ++i) {
        if (!valueEquals(m_values[i], o.m_values[i])) {
            return false;
        }
    }
    return true;
}

std::string Array::describe(int depth) const
{
    std::string text = "(\n";
    for (size_t i = 0; i < m_values.size(); ++i) {
        text += indent(depth) +
                (m_callBacks.retain != nullptr ? cf::describe(m_values[i], depth + 1) : "<pointer>");
        text += i + 1 < m_values.size() ? ",\n" : "\n";
    }
    return text + std::string(static_cast<size_t>(depth) * 4, ' ') + ")";
}

Dictionary::Dictionary(const CFDictionaryKeyCallBacks* keyCallBacks,
                       const CFDictionaryValueCallBacks* valueCallBacks, bool isMutable)
    : Object(kTypeID), m_keyCallBacks(keyCallBacks == nullptr ? CFDictionaryKeyCallBacks{} : *keyCallBacks),
      m_valueCallBacks(valueCallBacks == nullptr ? CFDictionaryValueCallBacks{} : *valueCallBacks),
      m_entries(0, KeyHash{m_keyCallBacks.hash}, KeyEqual{m_keyCallBacks.equal}), m_mutable(isMutable)
{
}

Dictionary::~Dictionary()
{
    clear();
}

size_t Dictionary::KeyHash::operator()(const Key& key) const
{
    return hash != nullptr ? hash(key.pointer) : std::hash<const void*>{}(key.pointer);
}

bool Dictionary::KeyEqual::operator()(const Key& a, const Key& b) const
{
    return a.pointer == b.pointer || (equal != nullptr && equal(a.pointer, b.pointer));
}

const void* Dictionary::find(const void* key, bool* found) const
{
    const auto it = m_entries.find(Key{key});
    if (found != nullptr) {
        *found = it != m_entries.end();
    }
    return it == m_entries.end() ? nullptr : it->second;
}

void Dictionary::set(const void* key, const void* value)
{
    if (m_valueCallBacks.retain != nullptr) {
        value = m_valueCallBacks.retain(nullptr, value);
    }
    auto it = m_entries.find(Key{key});
    if (it != m_entries.end()) {
        std::swap(it->second, value);
        if (m_valueCallBacks.release != nullptr) {
            m_valueCallBacks.release(nullptr, value);
        }
        return;
    }
    if (m_keyCallBacks.retain != nullptr) {
        key = m_keyCallBacks.retain(nullptr, key);
    }
    m_entries.emplace(Key{key}, value);
}

void Dictionary::remove(const void* key)
{
    auto it = m_entries.find(Key{key});
    if (it == m_entries.end()) {
        return;
    }
    const void* storedKey = it->first.pointer;
    const void* value = it->second;
    m_entries.erase(it);
    if (m_keyCallBacks.release != nullptr) {
        m_keyCallBacks.release(nullptr, storedKey);
    }
    if (m_valueCallBacks.release != nullptr) {
        m_valueCallBacks.release(nullptr, value);
    }
}

void Dictionary::clear()
{
    decltype(m_entries) entries(0, KeyHash{m_keyCallBacks.hash}, KeyEqual{m_keyCallBacks.equal});
    entries.swap(m_entries);
    for (const auto& [key, value] : entries) {
        if (m_keyCallBacks.release != nullptr) {
            m_keyCallBacks.release(nullptr, key.pointer);
        }
        if (m_valueCallBacks.release != nullptr) {
            m_valueCallBacks.release(nullptr, value);
        }
    }
}

bool Dictionary::valueEquals(const void* a, const void* b) const
{
    return a == b || (m_valueCallBacks.equal != nullptr && m_valueCallBacks.equal(a, b));
}

bool Dictionary::equals(const Object& other) const
{
    const auto& o = static_cast<const Dictionary&>(other);
    if (m_entries.size() != o.m_entries.size()) {
        return false;
    }
    for (const auto& [key, value] : m_entries) {
        bool found = false;
        const void* theirs = o.find(key.pointer, &found);
        if (!found || !valueEquals(value, theirs)) {
            return false;
        }
    }
    return true;
}

std::string Dictionary::describe(int depth) const
{
    // Sorted by key text so the same contents always read the same.
    std::vector<std::pair<std::string, std::string>> lines;
    for (const auto& [key, value] : m_entries) {
        lines.emplace_back(m_keyCallBacks.retain != nullptr ? cf::describe(key.pointer, depth + 1)
                                                            : "<pointer>",
                           m_valueCallBacks.retain != nullptr ? cf::describe(value, depth + 1) : "<pointer>");
    }
    std::sort(lines.begin(), lines.end());
    std::string text = "{\n";
    for (const auto& [key, value] : lines) {
        text += indent(depth) + key + " = " + value + ";\n";
    }
    return text + std::string(static_cast<size_t>(depth) * 4, ' ') + "}";
}

} // namespace platform::cf

using namespace platform::cf;

const CFArrayCallBacks kCFTypeArrayCallBacks = {0, retainValue, releaseValue, copyDescription, equalValues};
const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks = {
    0, retainValue, releaseValue, copyDescription, equalValues, hashValue};
const CFDictionaryKeyCallBacks kCFCopyStringDictionaryKeyCallBacks = {
    0, copyStringKey, releaseValue, copyDescription, equalValues, hashValue};
const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks = {0, retainValue, releaseValue,
                                                                    copyDescription, equalValues};

namespace {

bool validIndex(const Array* a, CFIndex index, bool allowEnd = false)
{
    return a != nullptr && index >= 0 &&
           (static_cast<size_t>(index) < a->values().size() ||
            (allowEnd && static_cast<size_t>(index) == a->values().size()));
}

bool validRange(const Array* a, CFRange range)
{
    return a != nullptr && range.location >= 0 && range.length >= 0 &&
           static_cast<size_t>(range.location) <= a->values().size() &&
           static_cast<size_t>(range.length) <= a->values().size() - static_cast<size_t>(range.location);
}

Array* mutableArray(CFMutableArrayRef array)
{
    auto* a = asMutable<Array>(array);
    return a != nullptr && a->isMutable() ? a : nullptr;
}

Dictionary* mutableDictionary(CFMutableDictionaryRef dictionary)
{
    auto* d = asMutable<Dictionary>(dictionary);
    return d != nullptr && d->isMutable() ? d : nullptr;
}

Array* copyArray(const Array& source, bool isMutable)
{
    auto* copy = new Array(&source.callBacks(), isMutable);
    for (const void* value : source.values()) {
        copy->insert(copy->values().size(), value);
    }
    return copy;
}

Dictionary* copyDictionary(const Dictionary& source, bool isMutable)
{
    auto* copy = new Dictionary(&source.keyCallBacks(), &source.valueCallBacks(), isMutable);
    source.forEach([copy](const void* key, const void* value) { copy->set(key, value); });
    return copy;
}

} // namespace

// Arrays

CFTypeID CFArrayGetTypeID()
{
    return Array::kTypeID;
}

CFArrayRef CFArrayCreate(CFAllocatorRef, const void** values, CFIndex count,
                         const CFArrayCallBacks* callBacks)
{
    if (count < 0 || (count > 0 && values == nullptr)) {
        return nullptr;
    }
    auto* array = new Array(callBacks, false);
    for (CFIndex i = 0; i < count; ++i) {
        array->insert(static_cast<size_t>(i), values[i]);
    }
    return array;
}

CFArrayRef CFArrayCreateCopy(CFAllocatorRef, CFArrayRef array)
{
    const auto* a = as<Array>(array);
    return a == nullptr ? nullptr : copyArray(*a, false);
}

CFMutableArrayRef CFArrayCreateMutable(CFAllocatorRef, CFIndex, const CFArrayCallBacks* callBacks)
{
    return new Array(callBacks, true);
}

CFMutableArrayRef CFArrayCreateMutableCopy(CFAllocatorRef, CFIndex, CFArrayRef array)
{
    const auto* a = as<Array>(array);
    return a == nullptr ? nullptr : copyArray(*a, true);
}

CFIndex CFArrayGetCount(CFArrayRef array)
{
    const auto* a = as<Array>(array);
    return a == nullptr ? 0 : static_cast<CFIndex>(a->values().size());
}

const void* CFArrayGetValueAtIndex(CFArrayRef array, CFIndex index)
{
    const auto* a = as<Array>(array);
    return validIndex(a, index) ? a->values()[static_cast<size_t>(index)] : nullptr;
}

CFIndex CFArrayGetFirstIndexOfValue(CFArrayRef array, CFRange range, const void* value)
{
    const auto* a = as<Array>(array);
    if (!validRange(a, range)) {
        return kCFNotFound;
    }
    for (CFIndex i = range.location; i < range.location + range.length; ++i) {
        if (a->valueEquals(a->values()[static_cast<size_t>(i)], value)) {
            return i;
        }
    }
    return kCFNotFound;
}

Boolean CFArrayContainsValue(CFArrayRef array, CFRange range, const void* value)
{
    return CFArrayGetFirstIndexOfValue(array, range, value) != kCFNotFound;
}

void CFArrayApplyFunction(CFArrayRef array, CFRange range, CFArrayApplierFunction applier, void* context)
{
    const auto* a = as<Array>(array);
    if (!validRange(a, range) || applier == nullptr) {
        return;
    }
    for (CFIndex i = range.location; i < range.location + range.length; ++i) {
        applier(a->values()[static_cast<size_t>(i)], context);
    }
}

void CFArrayAppendValue(CFMutableArrayRef array, const void* value)
{
    if (auto* a = mutableArray(array)) {
        a->insert(a->values().size(), value);
    }
}

void CFArrayInsertValueAtIndex(CFMutableArrayRef array, CFIndex index, const void* value)
{
    auto* a = mutableArray(array);
    if (validIndex(a, index, true)) {
        a->insert(static_cast<size_t>(index), value);
    }
}

void CFArraySetValueAtIndex(CFMutableArrayRef array, CFIndex index, const void* value)
{
    auto* a = mutableArray(array);
    if (validIndex(a, index)) {
        a->set(static_cast<size_t>(index), value);
    } else if (validIndex(a, index, true)) {
        a->insert(static_cast<size_t>(index), value);
    }
}

void CFArrayRemoveValueAtIndex(CFMutableArrayRef array, CFIndex index)
{
    auto* a = mutableArray(array);
    if (validIndex(a, index)) {
        a->remove(static_cast<size_t>(index));
    }
}

void CFArrayRemoveAllValues(CFMutableArrayRef array)
{
    if (auto* a = mutableArray(array)) {
        a->clear();
    }
}

// Dictionaries

CFTypeID CFDictionaryGetTypeID()
{
    return Dictionary::kTypeID;
}

CFDictionaryRef CFDictionaryCreate(CFAllocatorRef, const void** keys, const void** values, CFIndex count,
                                   const CFDictionaryKeyCallBacks* keyCallBacks,
                                   const CFDictionaryValueCallBacks* valueCallBacks)
{
    if (count < 0 || (count > 0 && (keys == nullptr || values == nullptr))) {
        return nullptr;
    }
    auto* dictionary = new Dictionary(keyCallBacks, valueCallBacks, false);
    for (CFIndex i = 0; i < count; ++i) {
        dictionary->set(keys[i], values[i]);
    }
    return dictionary;
}

CFDictionaryRef CFDictionaryCreateCopy(CFAllocatorRef, CFDictionaryRef dictionary)
{
    const auto* d = as<Dictionary>(dictionary);
    return d == nullptr ? nullptr : copyDictionary(*d, false);
}

CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef, CFIndex,
                                                 const CFDictionaryKeyCallBacks* keyCallBacks,
                                                 const CFDictionaryValueCallBacks* valueCallBacks)
{
    return new Dictionary(keyCallBacks, valueCallBacks, true);
}

CFMutableDictionaryRef CFDictionaryCreateMutableCopy(CFAllocatorRef, CFIndex, CFDictionaryRef dictionary)
{
    const auto* d = as<Dictionary>(dictionary);
    return d == nullptr ? nullptr : copyDictionary(*d, true);
}

CFIndex CFDictionaryGetCount(CFDictionaryRef dictionary)
{
    const auto* d = as<Dictionary>(dictionary);
    return d == nullptr ? 0 : static_cast<CFIndex>(d->count());
}

const void* CFDictionaryGetValue(CFDictionaryRef dictionary, const void* key)
{
    const auto* d = as<Dictionary>(dictionary);
    return d == nullptr ? nullptr : d->find(key);
}

Boolean CFDictionaryGetValueIfPresent(CFDictionaryRef dictionary, const void* key, const void** value)
{
    const auto* d = as<Dictionary>(dictionary);
    if (d == nullptr) {
        return false;
    }
    bool found = false;
    const void* stored = d->find(key, &found);
    if (found && value != nullptr) {
        *value = stored;
    }
    return found;
}

Boolean CFDictionaryContainsKey(CFDictionaryRef dictionary, const void* key)
{
    return CFDictionaryGetValueIfPresent(dictionary, key, nullptr);
}

Boolean CFDictionaryContainsValue(CFDictionaryRef dictionary, const void* value)
{
    const auto* d = as<Dictionary>(dictionary);
    bool found = false;
    if (d != nullptr) {
        d->forEach([&](const void*, const void* stored) { found = found || d->valueEquals(stored, value); });
    }
    return found;
}

void CFDictionaryGetKeysAndValues(CFDictionaryRef dictionary, const void** keys, const void** values)
{
    const auto* d = as<Dictionary>(dictionary);
    if (d == nullptr) {
        return;
    }
    size_t i = 0;
    d->forEach([&](const void* key, const void* value) {
        if (keys != nullptr) {
            keys[i] = key;
        }
        if (values != nullptr) {
            values[i] = value;
        }
        ++i;
    });
}

void CFDictionaryApplyFunction(CFDictionaryRef dictionary, CFDictionaryApplierFunction applier, void* context)
{
    const auto* d = as<Dictionary>(dictionary);
    if (d != nullptr && applier != nullptr) {
        d->forEach([&](const void* key, const void* value) { applier(key, value, context); });
    }
}

void CFDictionarySetValue(CFMutableDictionaryRef dictionary, const void* key, const void* value)
{
    if (auto* d = mutableDictionary(dictionary)) {
        d->set(key, value);
    }
}

void CFDictionaryAddValue(CFMutableDictionaryRef dictionary, const void* key, const void* value)
{
    auto* d = mutableDictionary(dictionary);
    bool found = false;
    if (d != nullptr && (d->find(key, &found), !found)) {
        d->set(key, value);
    }
}

void CFDictionaryReplaceValue(CFMutableDictionaryRef dictionary, const void* key, const void* value)
{
    auto* d = mutableDictionary(dictionary);
    bool found = false;
    if (d != nullptr && (d->find(key, &found), found)) {
        d->set(key, value);
    }
}

void CFDictionaryRemoveValue(CFMutableDictionaryRef dictionary, const void* key)
{
    if (auto* d = mutableDictionary(dictionary)) {
        d->remove(key);
    }
}

void CFDictionaryRemoveAllValues(CFMutableDictionaryRef dictionary)
{
    if (auto* d = mutableDictionary(dictionary)) {
        d->clear();
    }
}
