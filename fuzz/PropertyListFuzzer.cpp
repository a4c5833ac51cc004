// Property-list bytes through the reader, and whatever it accepts back through
// the writer and the reader again: nothing may crash, and an accepted tree must always write.
#include <CoreFoundation/CoreFoundation.h>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    CFDataRef data = CFDataCreate(nullptr, bytes, static_cast<CFIndex>(size));
    CFPropertyListRef tree = CFPropertyListCreateWithData(
        nullptr, data, kCFPropertyListMutableContainersAndLeaves, nullptr, nullptr);
    if (tree != nullptr) {
        CFStringRef description = CFCopyDescription(tree);
        {
            CFDataRef written =
                CFPropertyListCreateData(nullptr, tree, kCFPropertyListXMLFormat_v1_0, 0, nullptr);
            if (written == nullptr) {
                std::abort();
            }
            CFPropertyListRef again = CFPropertyListCreateWithData(nullptr, written, 0, nullptr, nullptr);
            if (again == nullptr) {
                std::abort();
            }
            CFRelease(again);
            CFRelease(written);
        }
        CFRelease(description);
        CFRelease(tree);
    }
    CFRelease(data);
    return 0;
}
