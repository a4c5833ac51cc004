// A process of its own that writes into the test domain, for the preferences tests:
//   series PREFIX COUNT   keys "PREFIX_<n>" = "<n>", synchronising after each
//   set KEY VALUE         one key, then synchronise
// Started fresh rather than forked from the multithreaded test, so it holds no lock that a thread
// absent from it had taken. Exits 0 when every synchronise succeeded.
#include <CoreFoundation/CoreFoundation.h>
#include <cstdlib>
#include <cstring>

namespace {

const CFStringRef kDomain = CFSTR("com.quenzar.sonvexa.hal");

bool write(CFStringRef key, CFStringRef value)
{
    CFPreferencesSetAppValue(key, value, kDomain);
    const bool synced = CFPreferencesAppSynchronize(kDomain);
    CFRelease(key);
    CFRelease(value);
    return synced;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        return 2;
    }
    if (std::strcmp(argv[1], "set") == 0) {
        return write(CFStringCreateWithFormat(nullptr, nullptr, CFSTR("%s"), argv[2]),
                     CFStringCreateWithFormat(nullptr, nullptr, CFSTR("%s"), argv[3]))
                   ? 0
                   : 1;
    }
    if (std::strcmp(argv[1], "series") != 0) {
        return 2;
    }
    const int count = std::atoi(argv[3]);
    for (int n = 0; n < count; ++n) {
        if (!write(CFStringCreateWithFormat(nullptr, nullptr, CFSTR("%s_%d"), argv[2], n),
                   CFStringCreateWithFormat(nullptr, nullptr, CFSTR("%d"), n))) {
            return 1;
        }
    }
    return 0;
}
