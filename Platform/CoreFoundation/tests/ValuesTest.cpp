#include <climits>
#include <cstring>
#include <gtest/gtest.h>

#include "Owned.h"

namespace {

CFStringRef format(CFStringRef f, ...)
{
    va_list ap;
    va_start(ap, f);
    CFStringRef s = CFStringCreateWithFormatAndArguments(nullptr, nullptr, f, ap);
    va_end(ap);
    return s;
}

TEST(Ownership, CreateGivesOneReferenceAndContainersHoldTheirOwn)
{
    Owned<CFStringRef> key = CFStringCreateWithCString(nullptr, "key", kCFStringEncodingASCII);
    const SInt32 seven = 7;
    Owned<CFNumberRef> value = CFNumberCreate(nullptr, kCFNumberSInt32Type, &seven);
    EXPECT_EQ(CFGetRetainCount(value), 1);

    Owned<CFMutableDictionaryRef> dictionary = CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    CFDictionarySetValue(dictionary, key, value);
    EXPECT_EQ(CFGetRetainCount(value), 2);
    EXPECT_EQ(CFDictionaryGetValue(dictionary, key), value.get()); // borrowed: count unchanged
    EXPECT_EQ(CFGetRetainCount(value), 2);

    CFDictionaryRemoveValue(dictionary, key);
    EXPECT_EQ(CFGetRetainCount(value), 1);

    Owned<CFMutableArrayRef> array = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
    CFArrayAppendValue(array, value);
    CFArrayAppendValue(array, value);
    EXPECT_EQ(CFGetRetainCount(value), 3);
    CFArrayRemoveAllValues(array);
    EXPECT_EQ(CFGetRetainCount(value), 1);

    // Constants are never freed, whatever their users do.
    CFRelease(CFSTR("constant"));
    CFRelease(kCFBooleanTrue);
    EXPECT_EQ(CFSTR("constant"), CFSTR("constant"));
    EXPECT_TRUE(CFBooleanGetValue(kCFBooleanTrue));
    EXPECT_GT(CFGetRetainCount(CFSTR("constant")), 1000);
}

TEST(Ownership, TypeIdentityLetsCallersCheckWhatTheyGot)
{
    Owned<CFDataRef> data = CFDataCreate(nullptr, reinterpret_cast<const UInt8*>("ab"), 2);
    EXPECT_EQ(CFGetTypeID(data), CFDataGetTypeID());
    EXPECT_NE(CFGetTypeID(data), CFStringGetTypeID());
    EXPECT_EQ(CFGetTypeID(kCFBooleanFalse), CFBooleanGetTypeID());
    // A call given a value of the wrong type answers as for an absent one.
    EXPECT_EQ(CFStringGetLength(reinterpret_cast<CFStringRef>(data.get())), 0);
    EXPECT_EQ(CFDictionaryGetCount(reinterpret_cast<CFDictionaryRef>(data.get())), 0);
}

TEST(String, CreationRefusesBytesInvalidForTheEncoding)
{
    EXPECT_EQ(CFStringCreateWithCString(nullptr, "caf\xC3\xA9", kCFStringEncodingASCII), nullptr);
    EXPECT_EQ(CFStringCreateWithCString(nullptr, "bad \xC3(", kCFStringEncodingUTF8), nullptr);
    EXPECT_EQ(CFStringCreateWithCString(nullptr, "\xC0\xAF", kCFStringEncodingUTF8), nullptr); // overlong
    EXPECT_EQ(CFStringCreateWithCString(nullptr, "\xED\xA0\x80", kCFStringEncodingUTF8),
              nullptr); // surrogate
    EXPECT_EQ(CFStringCreateWithCString(nullptr, nullptr, kCFStringEncodingUTF8), nullptr);

    Owned<CFStringRef> e =
        CFStringCreateWithCString(nullptr, "caf\xC3\xA9 \xF0\x9F\x8E\xB5", kCFStringEncodingUTF8);
    ASSERT_NE(e.get(), nullptr);
    EXPECT_EQ(CFStringGetLength(e), 7); // the note takes two UTF-16 units
    Owned<CFStringRef> roman = CFStringCreateWithCString(nullptr, "caf\x8E", kCFStringEncodingMacRoman);
    EXPECT_EQ(CFStringGetCharacterAtIndex(roman, 3), 0x00E9);
}

TEST(String, SystemEncodingConversionReplacesWhatItCannotHold)
{
    ASSERT_EQ(CFStringGetSystemEncoding(), kCFStringEncodingMacRoman);
    Owned<CFStringRef> s = CFStringCreateWithCString(
        nullptr, "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xB5 \xD0\x96", kCFStringEncodingUTF8);
    const CFIndex length = CFStringGetLength(s);
    std::vector<UInt8> buffer(
        static_cast<size_t>(CFStringGetMaximumSizeForEncoding(length, kCFStringEncodingMacRoman)));
    CFIndex used = 0;
    const CFIndex converted =
        CFStringGetBytes(s, CFRangeMake(0, length), kCFStringEncodingMacRoman, '?', false, buffer.data(),
                         static_cast<CFIndex>(buffer.size()), &used);
    EXPECT_EQ(converted, length);
    // é and € exist in Mac Roman; the note (a surrogate pair) and the Cyrillic letter do not.
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + used), "caf\x8E \xDB ? ?");

    char c[64];
    EXPECT_FALSE(CFStringGetCString(s, c, sizeof c, kCFStringEncodingASCII));
    EXPECT_STREQ(c, "");
    EXPECT_TRUE(CFStringGetCString(s, c, sizeof c, kCFStringEncodingUTF8));
    EXPECT_FALSE(CFStringGetCString(CFSTR("too long"), c, 8, kCFStringEncodingASCII)); // no room for the NUL
    EXPECT_TRUE(CFStringGetCString(CFSTR("fits in"), c, 8, kCFStringEncodingASCII));

    EXPECT_STREQ(CFStringGetCStringPtr(CFSTR("plain"), kCFStringEncodingMacRoman), "plain");
    EXPECT_EQ(CFStringGetCStringPtr(s, kCFStringEncodingMacRoman), nullptr);
}

TEST(String, FormatCoversThePrintfConversionsAndValues)
{
    const SInt32 n = 42;
    Owned<CFNumberRef> number = CFNumberCreate(nullptr, kCFNumberSInt32Type, &n);
    struct Case
    {
        CFStringRef made;
        const char* expected;
    };
    const Case cases[] = {
        {format(CFSTR("%d"), -294967296), "-294967296"},
        {format(CFSTR("WolfsonRegister_%d_%d"), 1, 12), "WolfsonRegister_1_12"},
        {format(CFSTR("ELEKTRON_%16llX"), 0xABCDEFULL), "ELEKTRON_          ABCDEF"},
        {format(CFSTR("%u %x %05.1f %s %c %%"), 4000000000U, 255U, 2.25, "text", 'z'),
         "4000000000 ff 002.2 text z %"},
        {format(CFSTR("%ld %lld %hd %qd"), -1L, -2LL, 70000, 3LL), "-1 -2 4464 3"},
        {format(CFSTR("[%@] [%@] [%@]"), CFSTR("str"), number.get(), nullptr), "[str] [42] [(null)]"},
        {format(CFSTR("%*d|%-4s|"), 5, 7, "ab"), "    7|ab  |"},
        {format(CFSTR("100%")), "100%"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(text(c.made), c.expected);
        CFRelease(c.made);
    }
}

TEST(String, IntValueParsesLikeTheStoredSettingsExpect)
{
    const struct
    {
        const char* text;
        SInt32 value;
    } cases[] = {
        {"42", 42},
        {"  -17", -17},
        {"+5x", 5},
        {"abc", 0},
        {"", 0},
        {"-294967296", -294967296},
        {"99999999999", INT_MAX},
        {"-99999999999", INT_MIN},
        {"\t\n 3", 3},
        {"- 3", 0},
    };
    for (const auto& c : cases) {
        Owned<CFStringRef> s = CFStringCreateWithCString(nullptr, c.text, kCFStringEncodingASCII);
        EXPECT_EQ(CFStringGetIntValue(s), c.value) << c.text;
    }
    // A u32 written as "%d" reads back to the same bits.
    Owned<CFStringRef> written = format(CFSTR("%d"), static_cast<int>(4000000000U));
    EXPECT_EQ(static_cast<UInt32>(CFStringGetIntValue(written)), 4000000000U);
}

TEST(String, CompareAndEquality)
{
    Owned<CFStringRef> a = CFStringCreateWithCString(nullptr, "com.Sonvexa.App", kCFStringEncodingASCII);
    EXPECT_EQ(CFStringCompare(a, CFSTR("com.sonvexa.app"), kCFCompareCaseInsensitive), kCFCompareEqualTo);
    EXPECT_EQ(CFStringCompare(a, CFSTR("com.sonvexa.app"), 0), kCFCompareLessThan);
    EXPECT_EQ(CFStringCompare(CFSTR("ab"), CFSTR("abc"), 0), kCFCompareLessThan);
    EXPECT_TRUE(CFEqual(
        CFSTR("1.0"), Owned<CFStringRef>(CFStringCreateWithCString(nullptr, "1.0", kCFStringEncodingASCII))));
    EXPECT_EQ(CFHash(CFSTR("x")),
              CFHash(Owned<CFStringRef>(CFStringCreateWithCString(nullptr, "x", kCFStringEncodingUTF8))));
    EXPECT_TRUE(CFStringHasPrefix(a, CFSTR("com.")));
    EXPECT_FALSE(CFStringHasPrefix(CFSTR("co"), CFSTR("com.")));
}

TEST(Number, ConvertsBetweenKindsAndReportsLoss)
{
    const SInt16 small = -5;
    Owned<CFNumberRef> n16 = CFNumberCreate(nullptr, kCFNumberSInt16Type, &small);
    SInt32 out32 = 0;
    EXPECT_TRUE(CFNumberGetValue(n16, kCFNumberSInt32Type, &out32));
    EXPECT_EQ(out32, -5);
    EXPECT_EQ(CFNumberGetType(n16), kCFNumberSInt16Type);

    const SInt64 big = 0x1'0000'0005LL;
    Owned<CFNumberRef> n64 = CFNumberCreate(nullptr, kCFNumberSInt64Type, &big);
    EXPECT_FALSE(CFNumberGetValue(n64, kCFNumberSInt32Type, &out32));
    EXPECT_EQ(out32, 5); // truncated, as the caller may rely on
    SInt16 out16 = 0;
    const SInt32 masked = 0x1FFFF;
    Owned<CFNumberRef> n32 = CFNumberCreate(nullptr, kCFNumberIntType, &masked);
    EXPECT_FALSE(CFNumberGetValue(n32, kCFNumberSInt16Type, &out16));

    const Float64 half = 2.5;
    Owned<CFNumberRef> real = CFNumberCreate(nullptr, kCFNumberFloat64Type, &half);
    EXPECT_TRUE(CFNumberIsFloatType(real));
    EXPECT_FALSE(CFNumberGetValue(real, kCFNumberSInt32Type, &out32));
    EXPECT_EQ(out32, 2);
    Float32 f = 0;
    EXPECT_TRUE(CFNumberGetValue(real, kCFNumberFloat32Type, &f));
    EXPECT_EQ(f, 2.5F);

    const Float64 two = 2.0;
    const SInt8 twoInt = 2;
    EXPECT_TRUE(CFEqual(Owned<CFNumberRef>(CFNumberCreate(nullptr, kCFNumberFloat64Type, &two)),
                        Owned<CFNumberRef>(CFNumberCreate(nullptr, kCFNumberSInt8Type, &twoInt))));
    EXPECT_EQ(CFNumberCreate(nullptr, static_cast<CFNumberType>(99), &two), nullptr);
}

TEST(Data, BytesAndBoundedCopies)
{
    const UInt8 bytes[] = {1, 2, 3, 4};
    Owned<CFDataRef> data = CFDataCreate(nullptr, bytes, 4);
    EXPECT_EQ(CFDataGetLength(data), 4);
    EXPECT_EQ(std::memcmp(CFDataGetBytePtr(data), bytes, 4), 0);
    UInt8 out[4] = {9, 9, 9, 9};
    CFDataGetBytes(data, CFRangeMake(2, 3), out); // leaves the block: nothing copied
    EXPECT_EQ(out[0], 9);
    CFDataGetBytes(data, CFRangeMake(1, 2), out);
    EXPECT_EQ(out[0], 2);
    EXPECT_EQ(out[1], 3);

    Owned<CFMutableDataRef> grow = CFDataCreateMutableCopy(nullptr, 0, data);
    CFDataAppendBytes(grow, bytes, 2);
    EXPECT_EQ(CFDataGetLength(grow), 6);
    EXPECT_FALSE(CFEqual(grow, data));
    CFDataSetLength(grow, 4);
    EXPECT_TRUE(CFEqual(grow, data));
    EXPECT_EQ(CFDataGetMutableBytePtr(const_cast<CFMutableDataRef>(data.get())), nullptr); // immutable
}

TEST(Collections, DictionariesCompareByValueAndCopiesAreIndependent)
{
    const void* keys[] = {CFSTR("a"), CFSTR("b")};
    const void* values[] = {kCFBooleanTrue, CFSTR("text")};
    Owned<CFDictionaryRef> d = CFDictionaryCreate(nullptr, keys, values, 2, &kCFTypeDictionaryKeyCallBacks,
                                                  &kCFTypeDictionaryValueCallBacks);
    Owned<CFStringRef> a = CFStringCreateWithCString(nullptr, "a", kCFStringEncodingASCII);
    EXPECT_EQ(CFDictionaryGetValue(d, a), kCFBooleanTrue); // found by value, not identity
    EXPECT_TRUE(CFDictionaryContainsKey(d, CFSTR("b")));
    EXPECT_FALSE(CFDictionaryContainsKey(d, CFSTR("c")));

    Owned<CFMutableDictionaryRef> copy = CFDictionaryCreateMutableCopy(nullptr, 0, d);
    EXPECT_TRUE(CFEqual(copy, d));
    CFDictionarySetValue(copy, CFSTR("c"), kCFBooleanFalse);
    CFDictionaryAddValue(copy, CFSTR("a"), kCFBooleanFalse); // Add keeps an existing value
    EXPECT_EQ(CFDictionaryGetValue(copy, CFSTR("a")), kCFBooleanTrue);
    EXPECT_EQ(CFDictionaryGetCount(copy), 3);
    EXPECT_EQ(CFDictionaryGetCount(d), 2);
    EXPECT_FALSE(CFEqual(copy, d));

    // The immutable original ignores mutation.
    CFDictionarySetValue(const_cast<CFMutableDictionaryRef>(d.get()), CFSTR("z"), kCFBooleanTrue);
    EXPECT_EQ(CFDictionaryGetCount(d), 2);

    const void* gotKeys[3];
    const void* gotValues[3];
    CFDictionaryGetKeysAndValues(copy, gotKeys, gotValues);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(CFDictionaryGetValue(copy, gotKeys[i]), gotValues[i]);
    }
}

TEST(Collections, ArraysBoundEveryIndex)
{
    const void* values[] = {CFSTR("x"), CFSTR("y")};
    Owned<CFArrayRef> array = CFArrayCreate(nullptr, values, 2, &kCFTypeArrayCallBacks);
    EXPECT_EQ(CFArrayGetCount(array), 2);
    EXPECT_EQ(CFArrayGetValueAtIndex(array, 1), CFSTR("y"));
    EXPECT_EQ(CFArrayGetValueAtIndex(array, 2), nullptr);
    EXPECT_EQ(CFArrayGetValueAtIndex(array, -1), nullptr);
    EXPECT_EQ(CFArrayGetFirstIndexOfValue(array, CFRangeMake(0, 2), CFSTR("y")), 1);
    EXPECT_EQ(CFArrayGetFirstIndexOfValue(array, CFRangeMake(1, 5), CFSTR("y")), kCFNotFound);

    Owned<CFMutableArrayRef> m = CFArrayCreateMutableCopy(nullptr, 0, array);
    CFArrayInsertValueAtIndex(m, 0, CFSTR("w"));
    CFArrayInsertValueAtIndex(m, 9, CFSTR("bad"));
    CFArrayRemoveValueAtIndex(m, 7);
    EXPECT_EQ(CFArrayGetCount(m), 3);
    EXPECT_EQ(CFArrayGetValueAtIndex(m, 0), CFSTR("w"));
}

TEST(UUID, BytesTextAndEquality)
{
    Owned<CFUUIDRef> parsed = CFUUIDCreateFromString(nullptr, CFSTR("443abab8-E7B3-491A-B985-BEB9187030DB"));
    ASSERT_NE(parsed.get(), nullptr);
    const CFUUIDBytes bytes = CFUUIDGetUUIDBytes(parsed);
    EXPECT_EQ(bytes.byte0, 0x44);
    EXPECT_EQ(bytes.byte15, 0xDB);
    Owned<CFUUIDRef> fromBytes = CFUUIDCreateFromUUIDBytes(nullptr, bytes);
    EXPECT_TRUE(CFEqual(parsed, fromBytes));
    CFUUIDRef constant = CFUUIDGetConstantUUIDWithBytes(nullptr, 0x44, 0x3A, 0xBA, 0xB8, 0xE7, 0xB3, 0x49,
                                                        0x1A, 0xB9, 0x85, 0xBE, 0xB9, 0x18, 0x70, 0x30, 0xDB);
    EXPECT_TRUE(CFEqual(constant, parsed));
    EXPECT_EQ(text(Owned<CFStringRef>(CFUUIDCreateString(nullptr, constant))),
              "443ABAB8-E7B3-491A-B985-BEB9187030DB");
    for (const char* bad : {"", "443ABAB8-E7B3-491A-B985-BEB9187030D", "443ABAB8xE7B3-491A-B985-BEB9187030DB",
                            "443ABAB8-E7B3-491A-B985-BEB9187030DG"}) {
        Owned<CFStringRef> s = CFStringCreateWithCString(nullptr, bad, kCFStringEncodingASCII);
        EXPECT_EQ(CFUUIDCreateFromString(nullptr, s), nullptr) << bad;
    }
    Owned<CFUUIDRef> r1 = CFUUIDCreate(nullptr);
    Owned<CFUUIDRef> r2 = CFUUIDCreate(nullptr);
    EXPECT_FALSE(CFEqual(r1, r2));
}

TEST(URL, PathsAndComponents)
{
    Owned<CFURLRef> folder =
        CFURLCreateWithFileSystemPath(nullptr, CFSTR("/Users/Shared/Quenzar/"), kCFURLPOSIXPathStyle, true);
    Owned<CFURLRef> file =
        CFURLCreateCopyAppendingPathComponent(nullptr, folder, CFSTR("com.quenzar.sonvexa.plist"), false);
    EXPECT_TRUE(CFURLHasDirectoryPath(folder));
    EXPECT_FALSE(CFURLHasDirectoryPath(file));
    EXPECT_EQ(text(Owned<CFStringRef>(CFURLCopyFileSystemPath(file, kCFURLPOSIXPathStyle))),
              "/Users/Shared/Quenzar/com.quenzar.sonvexa.plist");
    EXPECT_EQ(text(Owned<CFStringRef>(CFURLCopyLastPathComponent(file))), "com.quenzar.sonvexa.plist");
    EXPECT_EQ(text(Owned<CFStringRef>(CFURLCopyFileSystemPath(folder, kCFURLPOSIXPathStyle))),
              "/Users/Shared/Quenzar");
    Owned<CFURLRef> parent = CFURLCreateCopyDeletingLastPathComponent(nullptr, file);
    EXPECT_TRUE(CFEqual(parent, folder));
    EXPECT_EQ(CFURLCreateWithFileSystemPath(nullptr, CFSTR("relative"), kCFURLPOSIXPathStyle, false),
              nullptr);
    UInt8 small[8];
    EXPECT_FALSE(CFURLGetFileSystemRepresentation(file, true, small, sizeof small));
}

TEST(Description, NestedValuesReadBack)
{
    const void* keys[] = {CFSTR("n")};
    const void* values[] = {CFSTR("v")};
    Owned<CFDictionaryRef> d = CFDictionaryCreate(nullptr, keys, values, 1, &kCFTypeDictionaryKeyCallBacks,
                                                  &kCFTypeDictionaryValueCallBacks);
    EXPECT_EQ(text(Owned<CFStringRef>(CFCopyDescription(d))), "{\n    n = v;\n}");
    EXPECT_EQ(text(Owned<CFStringRef>(format(CFSTR("%@"), CFSTR("plain")))), "plain");
}

} // namespace
