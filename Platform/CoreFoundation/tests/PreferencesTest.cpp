#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "Owned.h"
#include "platform/Log.h"
#include "platform/ProcessEnvironment.h"

namespace fs = std::filesystem;

namespace {

const CFStringRef kDomain = CFSTR("com.quenzar.sonvexa.hal");

class PreferencesTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/cf-prefs-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_root = pattern;
        m_scope.emplace(platform::process::Overrides{.uid = 4242, .root = m_root});
    }
    void TearDown() override
    {
        m_scope.reset();
        fs::remove_all(m_root);
    }
    std::string domainFile() const
    {
        return m_root + "/Users/4242/Library/Preferences/com.quenzar.sonvexa.hal.plist";
    }

    static CFStringRef number(int value)
    {
        return CFStringCreateWithFormat(nullptr, nullptr, CFSTR("%d"), value);
    }

    std::string m_root;
    std::optional<platform::process::ScopedOverride> m_scope;
};

TEST_F(PreferencesTest, ValuesOfEveryKindReachTheDomainFileAndComeBack)
{
    Owned<CFStringRef> text = number(-294967296);
    const UInt8 blob[] = {0, 1, 2, 250};
    Owned<CFDataRef> data = CFDataCreate(nullptr, blob, sizeof blob);
    CFPreferencesSetValue(CFSTR("MixerMode"), text, kDomain, kCFPreferencesCurrentUser,
                          kCFPreferencesAnyHost);
    CFPreferencesSetAppValue(CFSTR("MixerBuffer"), data, kDomain);
    // Seen by this process before any synchronise.
    Owned<CFPropertyListRef> early = CFPreferencesCopyAppValue(CFSTR("MixerMode"), kDomain);
    EXPECT_TRUE(CFEqual(early, text));
    EXPECT_FALSE(fs::exists(domainFile()));

    EXPECT_TRUE(CFPreferencesSynchronize(kDomain, kCFPreferencesCurrentUser, kCFPreferencesAnyHost));
    ASSERT_TRUE(fs::exists(domainFile()));
    std::stringstream file;
    file << std::ifstream(domainFile()).rdbuf();
    EXPECT_NE(file.str().find("<string>-294967296</string>"), std::string::npos);

    Owned<CFPropertyListRef> mode =
        CFPreferencesCopyValue(CFSTR("MixerMode"), kDomain, kCFPreferencesCurrentUser, kCFPreferencesAnyHost);
    ASSERT_EQ(CFGetTypeID(mode), CFStringGetTypeID());
    EXPECT_EQ(static_cast<UInt32>(CFStringGetIntValue(static_cast<CFStringRef>(mode.get()))), 4000000000U);
    Owned<CFPropertyListRef> buffer = CFPreferencesCopyAppValue(CFSTR("MixerBuffer"), kDomain);
    EXPECT_TRUE(CFEqual(buffer, data));
    EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("Missing"), kDomain), nullptr);

    // Removal, and a value that is not a property list is refused.
    platform::log::Capture log(platform::log::Channel::system);
    CFPreferencesSetAppValue(CFSTR("MixerBuffer"), nullptr, kDomain);
    Owned<CFURLRef> url = CFURLCreateWithFileSystemPath(nullptr, CFSTR("/x"), kCFURLPOSIXPathStyle, false);
    CFPreferencesSetAppValue(CFSTR("Bad"), url, kDomain);
    EXPECT_TRUE(log.contains("is not a property list"));
    EXPECT_TRUE(CFPreferencesAppSynchronize(kDomain));
    EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("MixerBuffer"), kDomain), nullptr);
    EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("Bad"), kDomain), nullptr);
    Owned<CFArrayRef> keys =
        CFPreferencesCopyKeyList(kDomain, kCFPreferencesCurrentUser, kCFPreferencesAnyHost);
    EXPECT_EQ(CFArrayGetCount(keys), 1);
}

TEST_F(PreferencesTest, ChangedMutableValueDoesNotLeakIntoTheStore)
{
    Owned<CFMutableDictionaryRef> d = CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                                                &kCFTypeDictionaryValueCallBacks);
    CFDictionarySetValue(d, CFSTR("ClockSource"), CFSTR("1"));
    CFPreferencesSetAppValue(CFSTR("AqExtData"), d, kDomain);
    CFDictionarySetValue(d, CFSTR("ClockSource"), CFSTR("2"));
    Owned<CFPropertyListRef> stored = CFPreferencesCopyAppValue(CFSTR("AqExtData"), kDomain);
    EXPECT_TRUE(CFEqual(
        CFDictionaryGetValue(static_cast<CFDictionaryRef>(stored.get()), CFSTR("ClockSource")), CFSTR("1")));
}

// Starts the writer program (see PreferencesWriter.cpp) on the domain of the user 4242 under `root`.
// A fresh program, not a fork: a fork of this multithreaded process may inherit a lock (the
// allocator's, under the sanitizers) that another thread held, and then wait on it forever.
pid_t spawnWriter(const std::string& root, std::string command, std::string first, std::string second)
{
    std::vector<std::string> environment = {"SONVEXA_ROOT=" + root, "SONVEXA_UID=4242"};
    for (char** variable = environ; *variable != nullptr; ++variable) {
        const std::string entry = *variable;
        if (!entry.starts_with("SONVEXA_ROOT=") && !entry.starts_with("SONVEXA_UID=")) {
            environment.push_back(entry);
        }
    }
    std::vector<char*> envp;
    for (auto& entry : environment) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    std::string path = PREFERENCES_WRITER;
    char* argv[] = {path.data(), command.data(), first.data(), second.data(), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, envp.data()) != 0) {
        return -1;
    }
    return pid;
}

TEST_F(PreferencesTest, TwoProcessesShareADomainWithoutLosingWrites)
{
    constexpr int kEach = 40;
    const pid_t a = spawnWriter(m_root, "series", "first", std::to_string(kEach));
    const pid_t b = spawnWriter(m_root, "series", "second", std::to_string(kEach));
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    for (pid_t child : {a, b}) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_TRUE(CFPreferencesAppSynchronize(kDomain));
    Owned<CFArrayRef> keys =
        CFPreferencesCopyKeyList(kDomain, kCFPreferencesCurrentUser, kCFPreferencesAnyHost);
    EXPECT_EQ(CFArrayGetCount(keys), 2 * kEach);
    Owned<CFPropertyListRef> last = CFPreferencesCopyAppValue(CFSTR("second_39"), kDomain);
    EXPECT_TRUE(CFEqual(last, CFSTR("39")));
}

TEST_F(PreferencesTest, ValueFromAnotherProcessIsSeenAfterSynchronise)
{
    CFPreferencesSetAppValue(CFSTR("ClockSource"), CFSTR("0"), kDomain);
    ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));

    const pid_t child = spawnWriter(m_root, "set", "ClockSource", "2");
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_EQ(WEXITSTATUS(status), 0);

    Owned<CFPropertyListRef> before = CFPreferencesCopyAppValue(CFSTR("ClockSource"), kDomain);
    EXPECT_TRUE(CFEqual(before, CFSTR("0"))); // still this process's view
    EXPECT_TRUE(CFPreferencesAppSynchronize(kDomain));
    Owned<CFPropertyListRef> after = CFPreferencesCopyAppValue(CFSTR("ClockSource"), kDomain);
    EXPECT_TRUE(CFEqual(after, CFSTR("2")));
}

TEST_F(PreferencesTest, DamagedFileReadsAsEmptyAndIsKeptBeforeReplacement)
{
    fs::create_directories(fs::path(domainFile()).parent_path());
    std::ofstream(domainFile()) << "<plist><dict><key>ClockSource</key><string>2</str";
    platform::log::Capture log(platform::log::Channel::system);
    EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("ClockSource"), kDomain), nullptr);
    EXPECT_TRUE(log.contains("damaged preferences file"));

    CFPreferencesSetAppValue(CFSTR("USB1Mode"), CFSTR("1"), kDomain);
    EXPECT_TRUE(CFPreferencesAppSynchronize(kDomain));
    ASSERT_TRUE(fs::exists(domainFile() + ".damaged"));
    std::stringstream kept;
    kept << std::ifstream(domainFile() + ".damaged").rdbuf();
    EXPECT_EQ(kept.str(), "<plist><dict><key>ClockSource</key><string>2</str");
    Owned<CFPropertyListRef> value = CFPreferencesCopyAppValue(CFSTR("USB1Mode"), kDomain);
    EXPECT_TRUE(CFEqual(value, CFSTR("1")));

    // A second damage is kept beside the first.
    std::ofstream(domainFile()) << "garbage";
    CFPreferencesSetAppValue(CFSTR("USB1Mode"), CFSTR("0"), kDomain);
    EXPECT_TRUE(CFPreferencesAppSynchronize(kDomain));
    EXPECT_TRUE(fs::exists(domainFile() + ".damaged.1"));
}

TEST_F(PreferencesTest, DomainNamesCannotLeaveThePreferencesFolder)
{
    for (const char* bad : {"../escape", "a/b", "..", ""}) {
        Owned<CFStringRef> domain = CFStringCreateWithCString(nullptr, bad, kCFStringEncodingASCII);
        CFPreferencesSetAppValue(CFSTR("k"), CFSTR("v"), domain);
        EXPECT_FALSE(CFPreferencesAppSynchronize(domain)) << bad;
        EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("k"), domain), nullptr);
    }
    EXPECT_FALSE(fs::exists(m_root + "/Users/4242/Library/escape.plist"));

    CFPreferencesSetValue(CFSTR("k"), CFSTR("v"), kDomain, kCFPreferencesAnyUser, kCFPreferencesCurrentHost);
    EXPECT_TRUE(CFPreferencesSynchronize(kDomain, kCFPreferencesAnyUser, kCFPreferencesCurrentHost));
    EXPECT_TRUE(fs::exists(m_root + "/Library/Preferences/ByHost/com.quenzar.sonvexa.hal.plist"));
}

} // namespace
