// The kernel's value objects and collections: strings, symbols, numbers, data, booleans, arrays
// and dictionaries, their iterator, and the serializer that writes any of them as XML property
// list text (for logs, and for registry reads from user space).
//
// Factories (withX) return a new object with one reference, or null. Collections retain what
// they hold and release it when it is removed or when they are freed; getters return borrowed
// pointers. Collections are not thread-safe: their owner serialises access (the registry entry
// guards its property table).
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "libkern/c++/OSObject.h"

class OSString : public OSObject
{
    OSDeclareDefaultStructors(OSString);

public:
    static OSString* withCString(const char* text);
    static OSString* withCStringNoCopy(const char* text) { return withCString(text); }
    static OSString* withString(const OSString* other);

    virtual bool initWithCString(const char* text);
    const char* getCStringNoCopy() const { return m_text.c_str(); }
    unsigned int getLength() const { return static_cast<unsigned int>(m_text.size()); }
    char getChar(unsigned int index) const { return index < m_text.size() ? m_text[index] : '\0'; }

    bool isEqualTo(const char* text) const;
    bool isEqualTo(const OSString* other) const;
    bool isEqualTo(const OSMetaClassBase* other) const override;
    bool serialize(OSSerialize* serializer) const override;

    const std::string& text() const { return m_text; }

protected:
    std::string m_text;
};

// A string used as a key. Keys compare by their text.
class OSSymbol : public OSString
{
    OSDeclareDefaultStructors(OSSymbol);

public:
    static const OSSymbol* withCString(const char* text);
    static const OSSymbol* withCStringNoCopy(const char* text) { return withCString(text); }
    static const OSSymbol* withString(const OSString* other);
};

class OSNumber : public OSObject
{
    OSDeclareDefaultStructors(OSNumber);

public:
    // `numberOfBits` is 8, 16, 32 or 64 (any other width up to 64 is kept as given); the value
    // is cut to that width.
    static OSNumber* withNumber(unsigned long long value, unsigned int numberOfBits);

    virtual bool init(unsigned long long value, unsigned int numberOfBits);
    unsigned int numberOfBits() const { return m_bits; }
    unsigned int numberOfBytes() const { return (m_bits + 7) / 8; }
    unsigned char unsigned8BitValue() const { return static_cast<unsigned char>(m_value); }
    unsigned short unsigned16BitValue() const { return static_cast<unsigned short>(m_value); }
    unsigned int unsigned32BitValue() const { return static_cast<unsigned int>(m_value); }
    unsigned long long unsigned64BitValue() const { return m_value; }
    void setValue(unsigned long long value);
    void addValue(long long delta) { setValue(m_value + static_cast<unsigned long long>(delta)); }

    bool isEqualTo(const OSNumber* other) const;
    bool isEqualTo(const OSMetaClassBase* other) const override;
    bool serialize(OSSerialize* serializer) const override;

private:
    using OSObject::init;
    unsigned long long m_value = 0;
    unsigned int m_bits = 64;
};

class OSData : public OSObject
{
    OSDeclareDefaultStructors(OSData);

public:
    static OSData* withBytes(const void* bytes, unsigned int length);
    static OSData* withBytesNoCopy(void* bytes, unsigned int length) { return withBytes(bytes, length); }
    static OSData* withCapacity(unsigned int capacity);
    static OSData* withData(const OSData* other);

    unsigned int getLength() const { return static_cast<unsigned int>(m_bytes.size()); }
    const void* getBytesNoCopy() const { return m_bytes.empty() ? nullptr : m_bytes.data(); }
    // The bytes [start, start + length), or null when they are not all inside.
    const void* getBytesNoCopy(unsigned int start, unsigned int length) const;
    bool appendBytes(const void* bytes, unsigned int length);
    bool appendBytes(const OSData* other);

    bool isEqualTo(const void* bytes, unsigned int length) const;
    bool isEqualTo(const OSData* other) const;
    bool isEqualTo(const OSMetaClassBase* other) const override;
    bool serialize(OSSerialize* serializer) const override;

private:
    std::vector<unsigned char> m_bytes;
};

class OSBoolean : public OSObject
{
    OSDeclareDefaultStructors(OSBoolean);

public:
    // One of the two shared instances (retained).
    static OSBoolean* withBoolean(bool value);
    // The two shared instances (not retained; they are never freed).
    static OSBoolean* sharedTrue();
    static OSBoolean* sharedFalse();

    bool isTrue() const { return m_value; }
    bool isFalse() const { return !m_value; }
    bool getValue() const { return m_value; }
    bool isEqualTo(const OSBoolean* other) const { return other == this; }
    bool isEqualTo(const OSMetaClassBase* other) const override;
    bool serialize(OSSerialize* serializer) const override;

protected:
    // The shared instances are never freed.
    void free() override {}

private:
    bool m_value = false;
};

#define kOSBooleanTrue (OSBoolean::sharedTrue())
#define kOSBooleanFalse (OSBoolean::sharedFalse())

class OSCollection : public OSObject
{
    OSDeclareAbstractStructors(OSCollection);

public:
    virtual unsigned int getCount() const = 0;
};

class OSArray : public OSCollection
{
    OSDeclareDefaultStructors(OSArray);

public:
    static OSArray* withCapacity(unsigned int capacity);
    static OSArray* withArray(const OSArray* other, unsigned int capacity = 0);

    unsigned int getCount() const override { return static_cast<unsigned int>(m_objects.size()); }
    // Appends `object` (retained); false for null.
    bool setObject(const OSMetaClassBase* object);
    // Inserts at `index` (0..count); false for null or an index past the end.
    bool setObject(unsigned int index, const OSMetaClassBase* object);
    OSObject* getObject(unsigned int index) const;
    OSObject* getLastObject() const { return m_objects.empty() ? nullptr : getObject(getCount() - 1); }
    void removeObject(unsigned int index);
    // Index of the first element equal to `object` (isEqualTo), or -1.
    int getNextIndexOfObject(const OSMetaClassBase* object, unsigned int start) const;
    void flushCollection();

    bool isEqualTo(const OSMetaClassBase* other) const override;
    bool serialize(OSSerialize* serializer) const override;

protected:
    void free() override;

private:
    std::vector<const OSMetaClassBase*> m_objects;
};

class OSDictionary : public OSCollection
{
    OSDeclareDefaultStructors(OSDictionary);

public:
    static OSDictionary* withCapacity(unsigned int capacity);
    // A shallow copy: the same values, retained again.
    static OSDictionary* withDictionary(const OSDictionary* other, unsigned int capacity = 0);

    unsigned int getCount() const override { return static_cast<unsigned int>(m_entries.size()); }
    // Sets or replaces the value of `key` (both retained); false for a null key or value.
    bool setObject(const OSSymbol* key, const OSMetaClassBase* object);
    bool setObject(const OSString* key, const OSMetaClassBase* object);
    bool setObject(const char* key, const OSMetaClassBase* object);
    OSObject* getObject(const OSSymbol* key) const;
    OSObject* getObject(const OSString* key) const;
    OSObject* getObject(const char* key) const;
    void removeObject(const OSSymbol* key);
    void removeObject(const OSString* key);
    void removeObject(const char* key);
    // Copies every entry of `other` into this dictionary.
    bool merge(const OSDictionary* other);
    void flushCollection();

    // The key at `index` (insertion order), or null.
    const OSSymbol* getKey(unsigned int index) const;

    bool isEqualTo(const OSMetaClassBase* other) const override;
    bool serialize(OSSerialize* serializer) const override;

protected:
    void free() override;

private:
    int indexOf(const char* key) const;
    std::vector<std::pair<const OSSymbol*, const OSMetaClassBase*>> m_entries;
};

// Walks a sequence of objects; getNextObject answers null at the end.
class OSIterator : public OSObject
{
    OSDeclareAbstractStructors(OSIterator);

public:
    virtual void reset() = 0;
    virtual bool isValid() const = 0;
    virtual OSObject* getNextObject() = 0;
};

// Walks the elements of an array, or the keys of a dictionary, in order. A collection changed
// during the walk makes getNextObject answer null.
class OSCollectionIterator : public OSIterator
{
    OSDeclareDefaultStructors(OSCollectionIterator);

public:
    static OSCollectionIterator* withCollection(const OSCollection* collection);

    void reset() override { m_index = 0; }
    bool isValid() const override;
    OSObject* getNextObject() override;

protected:
    void free() override;

private:
    const OSCollection* m_collection = nullptr;
    unsigned int m_count = 0;
    unsigned int m_index = 0;
};

// Collects the XML text of objects: <dict>, <key>, <array>, <string>, <integer size="N">,
// <data> (base64), <true/>, <false/>.
class OSSerialize : public OSObject
{
    OSDeclareDefaultStructors(OSSerialize);

public:
    static OSSerialize* withCapacity(unsigned int capacity);

    const char* text() const { return m_text.c_str(); }
    unsigned int getLength() const { return static_cast<unsigned int>(m_text.size()); }
    void clearText() { m_text.clear(); }

    bool addChar(char c);
    bool addString(const char* text);
    // Text with &, < and > written as entities.
    bool addEscapedString(const std::string& text);

private:
    std::string m_text;
};
