// Property lists: conversion between the value tree and libplist's nodes, which read and
// write the XML form.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <plist/plist.h>

#include "CoreFoundation/CFPropertyList.h"
#include "Object.h"

namespace platform::cf {
namespace {

struct NodeDeleter
{
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using Node = std::unique_ptr<void, NodeDeleter>;

// Checks that `value` is a property list a writer can hold; `problem` says why not.
bool isPropertyList(CFTypeRef value, int depth, std::string& problem)
{
    if (value == nullptr) {
        problem = "a null value";
        return false;
    }
    if (depth > kMaxNesting) {
        problem = "containers nested too deeply";
        return false;
    }
    switch (CFGetTypeID(value)) {
    case kCFTypeIDString:
    case kCFTypeIDNumber:
    case kCFTypeIDBoolean:
    case kCFTypeIDData:
        return true;
    case kCFTypeIDArray: {
        const auto* a = as<Array>(value);
        if (a->callBacks().retain == nullptr) {
            problem = "an array of raw pointers";
            return false;
        }
        return std::all_of(a->values().begin(), a->values().end(),
                           [&](const void* v) { return isPropertyList(v, depth + 1, problem); });
    }
    case kCFTypeIDDictionary: {
        const auto* d = as<Dictionary>(value);
        if (d->keyCallBacks().retain == nullptr || d->valueCallBacks().retain == nullptr) {
            problem = "a dictionary of raw pointers";
            return false;
        }
        bool valid = true;
        d->forEach([&](const void* key, const void* v) {
            if (valid && as<String>(key) == nullptr) {
                problem = "a dictionary key that is not a string";
                valid = false;
            }
            valid = valid && isPropertyList(v, depth + 1, problem);
        });
        return valid;
    }
    default:
        problem = "a value of type " + std::to_string(CFGetTypeID(value));
        return false;
    }
}

// Builds the libplist tree of a value already checked with isPropertyList.
Node toNode(CFTypeRef value)
{
    switch (CFGetTypeID(value)) {
    case kCFTypeIDString:
        return Node(plist_new_string(as<String>(value)->utf8().c_str()));
    case kCFTypeIDNumber: {
        const auto* n = as<Number>(value);
        if (n->isFloat()) {
            return Node(plist_new_real(n->real()));
        }
        // libplist keeps integers as 64-bit two's complement and writes them signed.
        return Node(plist_new_uint(static_cast<uint64_t>(n->integer())));
    }
    case kCFTypeIDBoolean:
        return Node(plist_new_bool(as<BooleanValue>(value)->value() ? 1 : 0));
    case kCFTypeIDData: {
        const auto& bytes = as<Data>(value)->bytes();
        return Node(plist_new_data(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    }
    case kCFTypeIDArray: {
        Node node(plist_new_array());
        for (const void* v : as<Array>(value)->values()) {
            plist_array_append_item(node.get(), toNode(v).release());
        }
        return node;
    }
    default: {
        // Keys written in sorted order, so equal dictionaries give equal files.
        std::vector<std::pair<std::string, const void*>> entries;
        as<Dictionary>(value)->forEach(
            [&](const void* key, const void* v) { entries.emplace_back(as<String>(key)->utf8(), v); });
        std::sort(entries.begin(), entries.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
        Node node(plist_new_dict());
        for (const auto& [key, v] : entries) {
            plist_dict_set_item(node.get(), key.c_str(), toNode(v).release());
        }
        return node;
    }
    }
}

struct ReadOptions
{
    bool mutableContainers;
    bool mutableLeaves;
};

CFStringRef stringFromBytes(const char* bytes, uint64_t length, const ReadOptions& options)
{
    auto units =
        decode(reinterpret_cast<const uint8_t*>(bytes), static_cast<size_t>(length), kCFStringEncodingUTF8);
    if (!units) {
        return nullptr;
    }
    return new String(std::move(*units), options.mutableLeaves);
}

// The value of a node, or null for a node the value tree cannot hold.
CFTypeRef fromNode(plist_t node, int depth, const ReadOptions& options)
{
    if (node == nullptr || depth > kMaxNesting) {
        return nullptr;
    }
    switch (plist_get_node_type(node)) {
    case PLIST_STRING:
    case PLIST_KEY: {
        uint64_t length = 0;
        const char* text = plist_get_string_ptr(node, &length);
        return text == nullptr ? nullptr : stringFromBytes(text, length, options);
    }
    case PLIST_UINT: {
        uint64_t value = 0;
        plist_get_uint_val(node, &value);
        return new Number(kCFNumberSInt64Type, static_cast<int64_t>(value));
    }
    case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        return new Number(kCFNumberFloat64Type, value);
    }
    case PLIST_BOOLEAN: {
        uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return value != 0 ? kCFBooleanTrue : kCFBooleanFalse;
    }
    case PLIST_DATA: {
        uint64_t length = 0;
        const char* bytes = plist_get_data_ptr(node, &length);
        const auto* begin = reinterpret_cast<const uint8_t*>(bytes);
        return new Data(bytes == nullptr ? std::vector<uint8_t>()
                                         : std::vector<uint8_t>(begin, begin + length),
                        options.mutableLeaves);
    }
    case PLIST_ARRAY: {
        auto* array = new Array(&kCFTypeArrayCallBacks, options.mutableContainers);
        const uint32_t count = plist_array_get_size(node);
        for (uint32_t i = 0; i < count; ++i) {
            if (CFTypeRef item = fromNode(plist_array_get_item(node, i), depth + 1, options)) {
                array->insert(array->values().size(), item);
                CFRelease(item);
            }
        }
        return array;
    }
    case PLIST_DICT: {
        auto* dictionary = new Dictionary(&kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks,
                                          options.mutableContainers);
        plist_dict_iter iterator = nullptr;
        plist_dict_new_iter(node, &iterator);
        for (;;) {
            char* key = nullptr;
            plist_t item = nullptr;
            plist_dict_next_item(node, iterator, &key, &item);
            if (key == nullptr || item == nullptr) {
                std::free(key);
                break;
            }
            CFStringRef keyString = stringFromBytes(key, std::strlen(key), ReadOptions{false, false});
            std::free(key);
            CFTypeRef value = keyString == nullptr ? nullptr : fromNode(item, depth + 1, options);
            if (value != nullptr) {
                dictionary->set(keyString, value);
            }
            CFRelease(value);
            CFRelease(keyString);
        }
        std::free(iterator);
        return dictionary;
    }
    default:
        return nullptr;
    }
}

// libplist's XML reader descends recursively; input nested deeper than the tree may hold is
// refused before it gets there. Counts container tags only, which over-estimates nothing that
// matters: "<array/>" and "<dict/>" open nothing.
bool xmlNestingWithinLimit(const uint8_t* bytes, size_t length)
{
    int depth = 0;
    for (size_t i = 0; i + 1 < length; ++i) {
        if (bytes[i] != '<') {
            continue;
        }
        const bool closing = bytes[i + 1] == '/';
        const size_t start = i + (closing ? 2 : 1);
        auto startsWith = [&](std::string_view word) {
            return length - start >= word.size() &&
                   std::equal(word.begin(), word.end(), reinterpret_cast<const char*>(bytes) + start);
        };
        if (!startsWith("array") && !startsWith("dict")) {
            continue;
        }
        if (closing) {
            depth = std::max(depth - 1, 0);
            continue;
        }
        size_t end = start;
        while (end < length && bytes[end] != '>') {
            ++end;
        }
        if (end < length && bytes[end - 1] == '/') {
            continue;
        }
        if (++depth > kMaxNesting) {
            return false;
        }
    }
    return true;
}

} // namespace
} // namespace platform::cf

using namespace platform::cf;

Boolean CFPropertyListIsValid(CFPropertyListRef plist, CFPropertyListFormat format)
{
    std::string problem;
    return format == kCFPropertyListXMLFormat_v1_0 && isPropertyList(plist, 0, problem);
}

CFDataRef CFPropertyListCreateData(CFAllocatorRef, CFPropertyListRef plist, CFPropertyListFormat format,
                                   CFOptionFlags, CFErrorRef* error)
{
    if (error != nullptr) {
        *error = nullptr;
    }
    if (format != kCFPropertyListXMLFormat_v1_0) {
        setError(error, kCFPropertyListWriteStreamError, "only the XML form is written");
        return nullptr;
    }
    std::string problem;
    if (!isPropertyList(plist, 0, problem)) {
        setError(error, kCFPropertyListWriteStreamError, "not a property list: " + problem);
        return nullptr;
    }
    Node root = toNode(plist);
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_xml(root.get(), &bytes, &length);
    if (bytes == nullptr) {
        setError(error, kCFPropertyListWriteStreamError, "property list could not be serialised");
        return nullptr;
    }
    auto* data = new Data(std::vector<uint8_t>(bytes, bytes + length), false);
    plist_to_xml_free(bytes);
    return data;
}

CFDataRef CFPropertyListCreateXMLData(CFAllocatorRef allocator, CFPropertyListRef plist)
{
    return CFPropertyListCreateData(allocator, plist, kCFPropertyListXMLFormat_v1_0, 0, nullptr);
}

CFPropertyListRef CFPropertyListCreateWithData(CFAllocatorRef, CFDataRef data, CFOptionFlags options,
                                               CFPropertyListFormat* format, CFErrorRef* error)
{
    if (error != nullptr) {
        *error = nullptr;
    }
    const auto* d = as<Data>(data);
    if (d == nullptr || d->bytes().empty() || d->bytes().size() > UINT32_MAX) {
        setError(error, kCFPropertyListReadCorruptError, "no property list data");
        return nullptr;
    }
    const auto& bytes = d->bytes();
    const char* raw = reinterpret_cast<const char*>(bytes.data());
    const auto length = static_cast<uint32_t>(bytes.size());
    // The binary form is refused: libplist's binary reader lets malformed files build trees
    // that abort the process when walked (a dictionary key that is not a string).
    if (plist_is_binary(raw, length) != 0) {
        setError(error, kCFPropertyListReadUnknownVersionError, "binary property lists are not read");
        return nullptr;
    }
    if (!xmlNestingWithinLimit(bytes.data(), bytes.size())) {
        setError(error, kCFPropertyListReadCorruptError, "property list nested too deeply");
        return nullptr;
    }
    plist_t root = nullptr;
    plist_from_xml(raw, length, &root);
    Node owned(root);
    const ReadOptions readOptions{options != kCFPropertyListImmutable,
                                  options == kCFPropertyListMutableContainersAndLeaves};
    CFPropertyListRef result = fromNode(root, 0, readOptions);
    if (result == nullptr) {
        setError(error, kCFPropertyListReadCorruptError, "malformed property list");
        return nullptr;
    }
    if (format != nullptr) {
        *format = kCFPropertyListXMLFormat_v1_0;
    }
    return result;
}

CFPropertyListRef CFPropertyListCreateFromXMLData(CFAllocatorRef allocator, CFDataRef data,
                                                  CFOptionFlags options, CFStringRef* errorString)
{
    CFErrorRef error = nullptr;
    CFPropertyListRef result = CFPropertyListCreateWithData(allocator, data, options, nullptr, &error);
    if (errorString != nullptr) {
        *errorString = error == nullptr ? nullptr : CFErrorCopyDescription(error);
    }
    CFRelease(error);
    return result;
}

namespace {

CFTypeRef deepCopy(CFTypeRef value, int depth, CFOptionFlags mutability)
{
    if (value == nullptr || depth > kMaxNesting) {
        return nullptr;
    }
    const bool mutableContainers = mutability != kCFPropertyListImmutable;
    const bool mutableLeaves = mutability == kCFPropertyListMutableContainersAndLeaves;
    switch (CFGetTypeID(value)) {
    case kCFTypeIDString:
        return new String(as<String>(value)->units(), mutableLeaves);
    case kCFTypeIDData:
        return new Data(as<Data>(value)->bytes(), mutableLeaves);
    case kCFTypeIDArray: {
        auto* array = new Array(&kCFTypeArrayCallBacks, mutableContainers);
        for (const void* v : as<Array>(value)->values()) {
            if (CFTypeRef copy = deepCopy(v, depth + 1, mutability)) {
                array->insert(array->values().size(), copy);
                CFRelease(copy);
            }
        }
        return array;
    }
    case kCFTypeIDDictionary: {
        auto* dictionary = new Dictionary(&kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks,
                                          mutableContainers);
        as<Dictionary>(value)->forEach([&](const void* key, const void* v) {
            CFTypeRef keyCopy = deepCopy(key, depth + 1, kCFPropertyListImmutable);
            CFTypeRef copy = deepCopy(v, depth + 1, mutability);
            if (keyCopy != nullptr && copy != nullptr) {
                dictionary->set(keyCopy, copy);
            }
            CFRelease(keyCopy);
            CFRelease(copy);
        });
        return dictionary;
    }
    default:
        // Numbers, booleans and other immutable values are shared.
        return CFRetain(value);
    }
}

} // namespace

CFPropertyListRef CFPropertyListCreateDeepCopy(CFAllocatorRef, CFPropertyListRef plist,
                                               CFOptionFlags mutabilityOption)
{
    return deepCopy(plist, 0, mutabilityOption);
}
