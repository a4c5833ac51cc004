#include "TestKernel.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

#include "IOKit/IOService.h"
#include "IOKit/pwr_mgt/RootDomain.h"
#include "kernel_host/KernelHost.h"
#include "kernel_host/KernelServer.h"

namespace user_test {

namespace fs = std::filesystem;

namespace {
constexpr const char* kInfo = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0">
<dict>
  <key>CFBundleIdentifier</key><string>test.user.driver</string>
  <key>CFBundleExecutable</key><string>UserTestKext.so</string>
  <key>IOKitPersonalities</key>
  <dict>
    <key>Device</key>
    <dict>
      <key>IOClass</key><string>%s</string>
      <key>IOProviderClass</key><string>UserTestNub</string>
      <key>QzSpecific</key><dict><key>kConfigurationData</key><data>AAECAw==</data></dict>
    </dict>
  </dict>
</dict>
</plist>
)";
constexpr const char* kBundlePath = "/Library/Extensions/UserTest.kext";
} // namespace

std::string writeTestBundle(const std::string& root, const char* deviceClass)
{
    const fs::path folder = fs::path(root + kBundlePath);
    fs::create_directories(folder);
    const std::string_view text = kInfo;
    const size_t at = text.find("%s");
    std::string info(text.substr(0, at));
    info += deviceClass;
    info += text.substr(at + 2);
    std::ofstream(folder / "Info.plist") << info;
    fs::copy_file(USER_TEST_KEXT_LIBRARY, folder / "UserTestKext.so", fs::copy_options::overwrite_existing);
    return kBundlePath;
}

TestRoot::TestRoot()
{
    char pattern[] = "/tmp/iokit-user-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("no temporary folder");
    }
    m_path = pattern;
    m_rooted =
        std::make_unique<platform::process::ScopedOverride>(platform::process::Overrides{.root = m_path});
    writeTestBundle(m_path);
}

TestRoot::~TestRoot()
{
    m_rooted.reset();
    fs::remove_all(m_path);
}

struct TestKernel::State
{
    kernel_host::KernelHost host;
    std::unique_ptr<kernel_host::KernelServer> server;
    std::vector<IOService*> nubs; // retained
};

TestKernel::TestKernel() : m_state(std::make_unique<State>()) {}

TestKernel::~TestKernel()
{
    m_state->server->stop();
    while (!m_state->nubs.empty()) {
        removeNub();
    }
}

std::unique_ptr<TestKernel> TestKernel::start(const std::string& socket, int nubs, std::string* error,
                                              const ServerLimits& limits)
{
    std::unique_ptr<TestKernel> kernel(new TestKernel);
    if (kernel->m_state->host.loadKext(kBundlePath) != kIOReturnSuccess) {
        *error = "the test bundle does not load";
        return nullptr;
    }
    for (int i = 0; i < nubs; ++i) {
        kernel->publishNub();
    }
    kernel->m_state->server = std::make_unique<kernel_host::KernelServer>(kernel->m_state->host);
    kernel_host::KernelServer::Limits serverLimits;
    serverLimits.channelsPerUser = limits.channelsPerUser;
    serverLimits.helloTimeout = std::chrono::milliseconds(limits.helloTimeoutMilliseconds);
    serverLimits.notificationsPerUser = limits.notificationsPerUser;
    serverLimits.entriesPerUser = limits.entriesPerUser;
    kernel->m_state->server->setLimits(serverLimits);
    if (!kernel->m_state->server->listen(socket, error)) {
        return nullptr;
    }
    return kernel;
}

void TestKernel::publishNub()
{
    auto* nub = OSDynamicCast(IOService, OSMetaClass::allocClassWithName("UserTestNub"));
    nub->init(nullptr);
    m_state->host.publishProvider(nub);
    m_state->nubs.push_back(nub);
    m_state->host.waitQuiet();
}

void TestKernel::removeNub()
{
    IOService* nub = m_state->nubs.back();
    m_state->nubs.pop_back();
    m_state->host.removeProvider(nub);
    nub->release();
}

void TestKernel::sleepAndWake()
{
    IOService::getPMRootDomain()->systemSleep();
    IOService::getPMRootDomain()->systemWake();
}

bool TestKernel::stopWithin(int milliseconds)
{
    return m_state->server->stop(std::chrono::milliseconds(milliseconds));
}

size_t TestKernel::processCount() const
{
    return m_state->server->processCount();
}

size_t TestKernel::channelCount() const
{
    return m_state->server->channelCount();
}

uint64_t TestKernel::droppedMessages() const
{
    return m_state->server->droppedMessages();
}

} // namespace user_test
