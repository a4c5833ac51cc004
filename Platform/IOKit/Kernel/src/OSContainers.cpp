#include "libkern/c++/OSContainers.h"

#include <cstring>

OSDefineMetaClassAndStructors(OSString, OSObject);
OSDefineMetaClassAndStructors(OSSymbol, OSString);
OSDefineMetaClassAndStructors(OSNumber, OSObject);
OSDefineMetaClassAndStructors(OSData, OSObject);
OSDefineMetaClassAndStructors(OSBoolean, OSObject);
OSDefineMetaClassAndAbstractStructors(OSCollection, OSObject);
OSDefineMetaClassAndStructors(OSArray, OSCollection);
OSDefineMetaClassAndStructors(OSDictionary, OSCollection);
OSDefineMetaClassAndAbstractStructors(OSIterator, OSObject);
OSDefineMetaClassAndStructors(OSCollectionIterator, OSIterator);
OSDefineMetaClassAndStructors(OSSerialize, OSObject);

namespace {

// The XML start tag of an element with its attributes, e.g. "integer size=\"32\"".
void addElement(OSSerialize* s, const char* tag, const std::string& body)
{
    s->addChar('<');
    s->addString(tag);
    s->addChar('>');
    s->addEscapedString(body);
    s->addString("</");
    const char* space = std::strchr(tag, ' ');
    s->addString(space == nullptr ? tag : std::string(tag, space).c_str());
    s->addChar('>');
}

std::string base64(const unsigned char* bytes, size_t length)
{
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((length + 2) / 3 * 4);
    for (size_t i = 0; i < length; i += 3) {
        const unsigned v =
            (bytes[i] << 16) | (i + 1 < length ? bytes[i + 1] << 8 : 0) | (i + 2 < length ? bytes[i + 2] : 0);
        out += digits[(v >> 18) & 63];
        out += digits[(v >> 12) & 63];
        out += i + 1 < length ? digits[(v >> 6) & 63] : '=';
        out += i + 2 < length ? digits[v & 63] : '=';
    }
    return out;
}

template <class T> T* initialised(T* object, bool ok)
{
    if (object != nullptr && !ok) {
        object->release();
        return nullptr;
    }
    return object;
}

} // namespace

// OSString

OSString* OSString::withCString(const char* text)
{
    auto* s = new OSString;
    return initialised(s, s->initWithCString(text));
}

OSString* OSString::withString(const OSString* other)
{
    return other != nullptr ? withCString(other->getCStringNoCopy()) : nullptr;
}

bool OSString::initWithCString(const char* text)
{
    if (text == nullptr || !OSObject::init()) {
        return false;
    }
    m_text = text;
    return true;
}

bool OSString::isEqualTo(const char* text) const
{
    return text != nullptr && m_text == text;
}

bool OSString::isEqualTo(const OSString* other) const
{
    return other != nullptr && other->m_text == m_text;
}

bool OSString::isEqualTo(const OSMetaClassBase* other) const
{
    return isEqualTo(OSDynamicCast(OSString, other));
}

bool OSString::serialize(OSSerialize* serializer) const
{
    addElement(serializer, "string", m_text);
    return true;
}

const OSSymbol* OSSymbol::withCString(const char* text)
{
    auto* s = new OSSymbol;
    return initialised(s, s->initWithCString(text));
}

const OSSymbol* OSSymbol::withString(const OSString* other)
{
    return other != nullptr ? withCString(other->getCStringNoCopy()) : nullptr;
}

// OSNumber

OSNumber* OSNumber::withNumber(unsigned long long value, unsigned int numberOfBits)
{
    auto* n = new OSNumber;
    return initialised(n, n->init(value, numberOfBits));
}

bool OSNumber::init(unsigned long long value, unsigned int numberOfBits)
{
    if (numberOfBits == 0 || numberOfBits > 64 || !OSObject::init()) {
        return false;
    }
    m_bits = numberOfBits;
    setValue(value);
    return true;
}

void OSNumber::setValue(unsigned long long value)
{
    m_value = m_bits == 64 ? value : value & ((1ULL << m_bits) - 1);
}

bool OSNumber::isEqualTo(const OSNumber* other) const
{
    return other != nullptr && other->m_value == m_value;
}

bool OSNumber::isEqualTo(const OSMetaClassBase* other) const
{
    return isEqualTo(OSDynamicCast(OSNumber, other));
}

bool OSNumber::serialize(OSSerialize* serializer) const
{
    const std::string tag = "integer size=\"" + std::to_string(m_bits) + "\"";
    addElement(serializer, tag.c_str(), std::to_string(m_value));
    return true;
}

// OSData

OSData* OSData::withBytes(const void* bytes, unsigned int length)
{
    if (bytes == nullptr && length > 0) {
        return nullptr;
    }
    auto* d = new OSData;
    return initialised(d, d->OSObject::init() && d->appendBytes(bytes, length));
}

OSData* OSData::withCapacity(unsigned int capacity)
{
    auto* d = new OSData;
    d->m_bytes.reserve(capacity);
    return d;
}

OSData* OSData::withData(const OSData* other)
{
    return other != nullptr ? withBytes(other->getBytesNoCopy(), other->getLength()) : nullptr;
}

const void* OSData::getBytesNoCopy(unsigned int start, unsigned int length) const
{
    if (length == 0 || start > m_bytes.size() || length > m_bytes.size() - start) {
        return nullptr;
    }
    return m_bytes.data() + start;
}

bool OSData::appendBytes(const void* bytes, unsigned int length)
{
    if (length == 0) {
        return true;
    }
    if (bytes == nullptr) {
        return false;
    }
    const auto* p = static_cast<const unsigned char*>(bytes);
    m_bytes.insert(m_bytes.end(), p, p + length);
    return true;
}

bool OSData::appendBytes(const OSData* other)
{
    return other != nullptr && appendBytes(other->getBytesNoCopy(), other->getLength());
}

bool OSData::isEqualTo(const void* bytes, unsigned int length) const
{
    return length == m_bytes.size() && (length == 0 || std::memcmp(bytes, m_bytes.data(), length) == 0);
}

bool OSData::isEqualTo(const OSData* other) const
{
    return other != nullptr && other->m_bytes == m_bytes;
}

bool OSData::isEqualTo(const OSMetaClassBase* other) const
{
    return isEqualTo(OSDynamicCast(OSData, other));
}

bool OSData::serialize(OSSerialize* serializer) const
{
    addElement(serializer, "data", base64(m_bytes.data(), m_bytes.size()));
    return true;
}

// OSBoolean

OSBoolean* OSBoolean::sharedTrue()
{
    static OSBoolean* value = [] {
        auto* b = new OSBoolean;
        b->m_value = true;
        return b;
    }();
    return value;
}

OSBoolean* OSBoolean::sharedFalse()
{
    static OSBoolean* value = new OSBoolean;
    return value;
}

OSBoolean* OSBoolean::withBoolean(bool value)
{
    OSBoolean* b = value ? sharedTrue() : sharedFalse();
    b->retain();
    return b;
}

bool OSBoolean::isEqualTo(const OSMetaClassBase* other) const
{
    return other == this;
}

bool OSBoolean::serialize(OSSerialize* serializer) const
{
    return serializer->addString(m_value ? "<true/>" : "<false/>");
}

// OSArray

OSArray* OSArray::withCapacity(unsigned int capacity)
{
    auto* a = new OSArray;
    a->m_objects.reserve(capacity);
    return a;
}

OSArray* OSArray::withArray(const OSArray* other, unsigned int capacity)
{
    if (other == nullptr) {
        return nullptr;
    }
    OSArray* a = withCapacity(capacity > other->getCount() ? capacity : other->getCount());
    for (const auto* object : other->m_objects) {
        a->setObject(object);
    }
    return a;
}

bool OSArray::setObject(const OSMetaClassBase* object)
{
    return setObject(getCount(), object);
}

bool OSArray::setObject(unsigned int index, const OSMetaClassBase* object)
{
    if (object == nullptr || index > m_objects.size()) {
        return false;
    }
    object->retain();
    m_objects.insert(m_objects.begin() + index, object);
    return true;
}

OSObject* OSArray::getObject(unsigned int index) const
{
    if (index >= m_objects.size()) {
        return nullptr;
    }
    return static_cast<OSObject*>(const_cast<OSMetaClassBase*>(m_objects[index]));
}

void OSArray::removeObject(unsigned int index)
{
    if (index < m_objects.size()) {
        const auto* object = m_objects[index];
        m_objects.erase(m_objects.begin() + index);
        object->release();
    }
}

int OSArray::getNextIndexOfObject(const OSMetaClassBase* object, unsigned int start) const
{
    for (unsigned int i = start; i < m_objects.size(); ++i) {
        if (m_objects[i]->isEqualTo(object)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

void OSArray::flushCollection()
{
    auto objects = std::move(m_objects);
    m_objects.clear();
    for (const auto* object : objects) {
        object->release();
    }
}

bool OSArray::isEqualTo(const OSMetaClassBase* other) const
{
    const auto* array = OSDynamicCast(OSArray, other);
    if (array == nullptr || array->getCount() != getCount()) {
        return false;
    }
    for (size_t i = 0; i < m_objects.size(); ++i) {
        if (!m_objects[i]->isEqualTo(array->m_objects[i])) {
            return false;
        }
    }
    return true;
}

bool OSArray::serialize(OSSerialize* serializer) const
{
    serializer->addString("<array>");
    for (const auto* object : m_objects) {
        if (!object->serialize(serializer)) {
            return false;
        }
    }
    return serializer->addString("</array>");
}

void OSArray::free()
{
    flushCollection();
    OSCollection::free();
}

// OSDictionary

OSDictionary* OSDictionary::withCapacity(unsigned int capacity)
{
    auto* d = new OSDictionary;
    d->m_entries.reserve(capacity);
    return d;
}

OSDictionary* OSDictionary::withDictionary(const OSDictionary* other, unsigned int capacity)
{
    if (other == nullptr) {
        return nullptr;
    }
    OSDictionary* d = withCapacity(capacity > other->getCount() ? capacity : other->getCount());
    d->merge(other);
    return d;
}

int OSDictionary::indexOf(const char* key) const
{
    if (key == nullptr) {
        return -1;
    }
    for (size_t i = 0; i < m_entries.size(); ++i) {
        if (m_entries[i].first->isEqualTo(key)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

bool OSDictionary::setObject(const OSSymbol* key, const OSMetaClassBase* object)
{
    if (key == nullptr || object == nullptr) {
        return false;
    }
    object->retain();
    const int index = indexOf(key->getCStringNoCopy());
    if (index >= 0) {
        const auto* previous = m_entries[index].second;
        m_entries[index].second = object;
        previous->release();
        return true;
    }
    key->retain();
    m_entries.emplace_back(key, object);
    return true;
}

bool OSDictionary::setObject(const OSString* key, const OSMetaClassBase* object)
{
    if (key == nullptr) {
        return false;
    }
    if (const auto* symbol = OSDynamicCast(OSSymbol, key)) {
        return setObject(symbol, object);
    }
    return setObject(key->getCStringNoCopy(), object);
}

bool OSDictionary::setObject(const char* key, const OSMetaClassBase* object)
{
    if (key == nullptr || object == nullptr) {
        return false;
    }
    const OSSymbol* symbol = OSSymbol::withCString(key);
    const bool ok = setObject(symbol, object);
    symbol->release();
    return ok;
}

OSObject* OSDictionary::getObject(const char* key) const
{
    const int index = indexOf(key);
    return index < 0 ? nullptr
                     : static_cast<OSObject*>(const_cast<OSMetaClassBase*>(m_entries[index].second));
}

OSObject* OSDictionary::getObject(const OSSymbol* key) const
{
    return key != nullptr ? getObject(key->getCStringNoCopy()) : nullptr;
}

OSObject* OSDictionary::getObject(const OSString* key) const
{
    return key != nullptr ? getObject(key->getCStringNoCopy()) : nullptr;
}

void OSDictionary::removeObject(const char* key)
{
    const int index = indexOf(key);
    if (index >= 0) {
        const auto entry = m_entries[index];
        m_entries.erase(m_entries.begin() + index);
        entry.first->release();
        entry.second->release();
    }
}

void OSDictionary::removeObject(const OSSymbol* key)
{
    if (key != nullptr) {
        removeObject(key->getCStringNoCopy());
    }
}

void OSDictionary::removeObject(const OSString* key)
{
    if (key != nullptr) {
        removeObject(key->getCStringNoCopy());
    }
}

bool OSDictionary::merge(const OSDictionary* other)
{
    if (other == nullptr) {
        return false;
    }
    for (const auto& [key, value] : other->m_entries) {
        setObject(key, value);
    }
    return true;
}

void OSDictionary::flushCollection()
{
    auto entries = std::move(m_entries);
    m_entries.clear();
    for (const auto& [key, value] : entries) {
        key->release();
        value->release();
    }
}

const OSSymbol* OSDictionary::getKey(unsigned int index) const
{
    return index < m_entries.size() ? m_entries[index].first : nullptr;
}

bool OSDictionary::isEqualTo(const OSMetaClassBase* other) const
{
    const auto* dictionary = OSDynamicCast(OSDictionary, other);
    if (dictionary == nullptr || dictionary->getCount() != getCount()) {
        return false;
    }
    for (const auto& [key, value] : m_entries) {
        const OSObject* theirs = dictionary->getObject(key);
        if (theirs == nullptr || !value->isEqualTo(theirs)) {
            return false;
        }
    }
    return true;
}

bool OSDictionary::serialize(OSSerialize* serializer) const
{
    serializer->addString("<dict>");
    for (const auto& [key, value] : m_entries) {
        addElement(serializer, "key", key->text());
        if (!value->serialize(serializer)) {
            return false;
        }
    }
    return serializer->addString("</dict>");
}

void OSDictionary::free()
{
    flushCollection();
    OSCollection::free();
}

// OSCollectionIterator

OSCollectionIterator* OSCollectionIterator::withCollection(const OSCollection* collection)
{
    if (collection == nullptr) {
        return nullptr;
    }
    auto* iterator = new OSCollectionIterator;
    collection->retain();
    iterator->m_collection = collection;
    iterator->m_count = collection->getCount();
    return iterator;
}

bool OSCollectionIterator::isValid() const
{
    return m_collection != nullptr && m_collection->getCount() == m_count;
}

OSObject* OSCollectionIterator::getNextObject()
{
    if (!isValid() || m_index >= m_count) {
        return nullptr;
    }
    const unsigned int index = m_index++;
    if (const auto* dictionary = OSDynamicCast(OSDictionary, m_collection)) {
        return const_cast<OSSymbol*>(dictionary->getKey(index));
    }
    if (const auto* array = OSDynamicCast(OSArray, m_collection)) {
        return array->getObject(index);
    }
    return nullptr;
}

void OSCollectionIterator::free()
{
    OSSafeReleaseNULL(m_collection);
    OSIterator::free();
}

// OSSerialize

OSSerialize* OSSerialize::withCapacity(unsigned int capacity)
{
    auto* s = new OSSerialize;
    s->m_text.reserve(capacity);
    return s;
}

bool OSSerialize::addChar(char c)
{
    m_text += c;
    return true;
}

bool OSSerialize::addString(const char* text)
{
    if (text != nullptr) {
        m_text += text;
    }
    return true;
}

bool OSSerialize::addEscapedString(const std::string& text)
{
    for (const char c : text) {
        switch (c) {
        case '&':
            m_text += "&amp;";
            break;
        case '<':
            m_text += "&lt;";
            break;
        case '>':
            m_text += "&gt;";
            break;
        default:
            m_text += c;
            break;
        }
    }
    return true;
}
