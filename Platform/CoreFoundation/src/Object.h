// The objects behind the value layer's references. Every reference points at an Object; the
// concrete classes below hold the contents. Internal to the library.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "CoreFoundation/CFArray.h"
#include "CoreFoundation/CFBase.h"
#include "CoreFoundation/CFData.h"
#include "CoreFoundation/CFDictionary.h"
#include "CoreFoundation/CFNumber.h"
#include "CoreFoundation/CFString.h"
#include "CoreFoundation/CFURL.h"
#include "CoreFoundation/CFUUID.h"

namespace platform::cf {

// Containers nested deeper than this are refused by the property-list reader and writer and
// described only down to this level, so no input can exhaust the stack.
constexpr int kMaxNesting = 256;

class Object
{
public:
    explicit Object(CFTypeID type) : m_type(type) {}
    virtual ~Object() = default;
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    CFTypeID type() const { return m_type; }
    void retain() const;
    // Retains unless the last reference is already gone (for tables that list live objects
    // without owning them); false then.
    bool tryRetain() const;
    // Drops one reference; frees the object with the last one.
    void release() const;
    CFIndex retainCount() const;
    // For constants: never freed, retain and release do nothing.
    void makeImmortal() { m_immortal = true; }

    virtual bool equals(const Object& other) const { return this == &other; }
    virtual CFHashCode hash() const
    {
        return static_cast<CFHashCode>(reinterpret_cast<uintptr_t>(this) >> 4);
    }
    // UTF-8 description for CFCopyDescription, CFShow and "%@"; `depth` counts nesting.
    virtual std::string describe(int depth) const;

private:
    const CFTypeID m_type;
    mutable std::atomic<CFIndex> m_references{1};
    bool m_immortal = false;
};

inline const Object* object(CFTypeRef ref)
{
    return static_cast<const Object*>(ref);
}

// The reference as a T when it is one (by type identity), else null.
template <class T> const T* as(CFTypeRef ref)
{
    return ref != nullptr && object(ref)->type() == T::kTypeID ? static_cast<const T*>(ref) : nullptr;
}
template <class T> T* asMutable(CFTypeRef ref)
{
    return const_cast<T*>(as<T>(ref));
}

std::string describe(CFTypeRef ref, int depth = 0);

class String final : public Object
{
public:
    static constexpr CFTypeID kTypeID = kCFTypeIDString;
    explicit String(std::u16string units, bool isMutable = false);

    const std::u16string& units() const { return m_units; }
    std::string utf8() const;
    // The text as bytes when every unit is ASCII, else null.
    const char* asciiBytes() const { return m_isAscii ? m_ascii.c_str() : nullptr; }
    bool isMutable() const { return m_mutable; }
    void append(const std::u16string& units);

    bool equals(const Object& other) const override;
    CFHashCode hash() const override;
    std::string describe(int depth) const override;

private:
    void refreshAscii();

    std::u16string m_units;
    std::string m_ascii;
    bool m_isAscii = true;
    bool m_mutable;
};

// Decodes bytes in an encoding; nullopt when they are not valid in it.
std::optional<std::u16string> decode(const uint8_t* bytes, size_t length, CFStringEncoding encoding);
std::u16string utf16FromUtf8Lossy(std::string_view text);
CFStringRef createString(std::u16string units);
CFStringRef createString(std::string_view utf8);

class Number final : public Object
{
public:
    static constexpr CFTypeID kTypeID = kCFTypeIDNumber;
    Number(CFNumberType type, int64_t value) : Object(kTypeID), m_type(type), m_integer(value) {}
    Number(CFNumberType type, double value) : Object(kTypeID), m_type(type), m_isFloat(true), m_float(value)
    {
    }

    CFNumberType numberType() const { return m_type; }
    bool isFloat() const { return m_isFloat; }
    int64_t integer() const { return m_integer; }
    double real() const { return m_isFloat ? m_float : static_cast<double>(m_integer); }

    bool equals(const Object& other) const override;
    CFHashCode hash() const override;
    std::string describe(int depth) const override;

private:
    CFNumberType m_type;
    bool m_isFloat = false;
    int64_t m_integer = 0;
    double m_float = 0;
};

class BooleanValue final : public Object
{
public:
    static constexpr CFTypeID kTypeID = kCFTypeIDBoolean;
    explicit BooleanValue(bool value) : Object(kTypeID), m_value(value) { makeImmortal(); }
    bool value() const { return m_value; }
    std::string describe(int) const override { return m_value ? "true" : "false"; }

private:
    bool m_value;
};

class Data final : public Object
{
public:
    static constexpr CFTypeID kTypeID = kCFTypeIDData;
    Data(std::vector<uint8_t> bytes, bool isMutable)
        : Object(kTypeID), m_bytes(std::move(bytes)), m_mutable(isMutable)
    {
    }

    std::vector<uint8_t>& bytes() { return m_bytes; }
    const std::vector<uint8_t>& bytes() const { return m_bytes; }
    bool isMutable() const { return m_mutable; }

    bool equals(const Object& other) const override;
    CFHashCode hash() const override;
    std::string describe(int depth) const override;

private:
    std::vector<uint8_t> m_bytes;
    bool m_mutable;
};

class Array final : public Object
{
public:
    static constexpr CFTypeID kTypeID = kCFTypeIDArray;
    Array(const CFArrayCallBacks* callBacks, bool isMutable);
    ~Array() override;

    const std::vector<const void*>& values() const { return m_values; }
    bool isMutable() const { return m_mutable; }
    const CFArrayCallBacks& callBacks() const { return m_callBacks; }
    void insert(size_t index, const void* value);
    void set(size_t index, const void* value);
    void remove(size_t index);
    void clear();
    bool valueEquals(const void* a, const void* b) const;

    bool equals(const Object& other) const override;
    CFHashCode hash() const override { return m_values.size(); }
    std::string describe(int depth) const override;

private:
    CFArrayCallBacks m_callBacks;
    std::vector<const void*> m_values;
    bool m_mutable;
};

class Dictionary final : public Object
{
public:
    static constexpr CFTypeID kTypeID = kCFTypeIDDictionary;
    Dictionary(const CFDictionaryKeyCallBacks* keyCallBacks, const CFDictionaryValueCallBacks* valueCallBacks,
               bool isMutable);
    ~Dictionary() override;

    bool isMutable() const { return m_mutable; }
    const CFDictionaryKeyCallBacks& keyCallBacks() const { return m_keyCallBacks; }
    const CFDictionaryValueCallBacks& valueCallBacks() const { return m_valueCallBacks; }
    size_t count() const { return m_entries.size(); }
    // Null when absent; `found` tells absent from a stored null.
    const void* find(const void* key, bool* found = nullptr) const;
    void set(const void* key, const void* value);
    void remove(const void* key);
    void clear();
    template <class F> void forEach(F&& visit) const
    {
        for (const auto& [key, value] : m_entries) {
            visit(key.pointer, value);
        }
    }
    bool valueEquals(const void* a, const void* b) const;

    bool equals(const Object& other) const override;
    CFHashCode hash() const override { return m_entries.size(); }
    std::string describe(int depth) const override;

private:
    struct Key
    {
        const void* pointer;
    };
    struct KeyHash
    {
        CFDictionaryHashCallBack hash;
        size_t operator()(const Key& key) const;
    };
    struct KeyEqual
    {
        CFDictionaryEqualCallBack equal;
        bool operator()(const Key& a, const Key& b) const;
    };

    CFDictionaryKeyCallBacks m_keyCallBacks;
    CFDictionaryValueCallBacks m_valueCallBacks;
    std::unordered_map<Key, const void*, KeyHash, KeyEqual> m_entries;
    bool m_mutable;
};

class UUID final : public Object
{
public:
    static constexpr CFTypeID kTypeID = kCFTypeIDUUID;
    explicit UUID(const std::array<uint8_t, 16>& bytes) : Object(kTypeID), m_bytes(bytes) {}
    const std::array<uint8_t, 16>& bytes() const { return m_bytes; }
    std::string text() const;

    bool equals(const Object& other) const override;
    CFHashCode hash() const override;
    std::string describe(int) const override { return text(); }

private:
    std::array<uint8_t, 16> m_bytes;
};

class URL final : public Object
{
public:
    static constexpr CFTypeID kTypeID = kCFTypeIDURL;
    // `path` is absolute; a directory path ends with '/'.
    URL(std::string path, bool isDirectory);
    const std::string& path() const { return m_path; }
    bool isDirectory() const { return m_isDirectory; }
    // The path without a trailing slash (except "/").
    std::string plainPath() const;
    // Where the path lies on this machine: under the process's root folder.
    std::string hostPath() const;

    bool equals(const Object& other) const override;
    CFHashCode hash() const override;
    std::string describe(int) const override { return "file://" + m_path; }

private:
    std::string m_path;
    bool m_isDirectory;
};

class Error final : public Object
{
public:
    static constexpr CFTypeID kTypeID = kCFTypeIDError;
    Error(CFIndex code, std::string description)
        : Object(kTypeID), m_code(code), m_description(std::move(description))
    {
    }
    CFIndex code() const { return m_code; }
    const std::string& description() const { return m_description; }
    std::string describe(int) const override { return m_description; }

private:
    CFIndex m_code;
    std::string m_description;
};

// Stores an error for an optional out-parameter.
void setError(CFErrorRef* error, CFIndex code, const std::string& description);

} // namespace platform::cf
