// The audio server's device against sonvexa-kerneld with a simulated device (another process):
// activation with the configuration claim and the stored settings, an IO cycle that loops a
// signal through the kernel and the device model bit-exact while the zero time stamps follow the
// device's clock, configuration changes the kernel asks for, sleep and wake, and an unplug in
// the middle of IO.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "CAException.h"
#include "KernelProcess.h"
#include "ProgramRunner.h"
#include "QzASPlugInDevice.h"
#include "QzASPlugInObjectMap.h"
#include "platform/DispatchQueues.h"
#include "platform/HostClock.h"
#include "platform/Log.h"
#include "platform/ProcessEnvironment.h"

namespace {

namespace hc = platform::host_clock;
using namespace std::chrono_literals;

std::string text(CFStringRef s)
{
    char buffer[256] = {};
    CFStringGetCString(s, buffer, sizeof buffer, kCFStringEncodingUTF8);
    return buffer;
}

// The plug-in and the audio server as the device sees them: property notices and change
// requests recorded, storage kept in memory.
class FakeHost : public QzASDeviceHost, public QzASHostStorage
{
public:
    ~FakeHost() override
    {
        for (auto& [key, value] : values) {
            CFRelease(value);
        }
        for (auto& request : requests) {
            delete static_cast<QzASConfigChange*>(request.second);
        }
    }
    void PropertiesChanged(AudioObjectID objectID, UInt32 count, const AudioObjectPropertyAddress* addresses) override
    {
        std::lock_guard lock(mutex);
        for (UInt32 i = 0; i < count; ++i) {
            notices.emplace_back(objectID, addresses[i].mSelector);
        }
    }
    void RequestDeviceConfigurationChange(AudioObjectID, UInt64 action, void* info) override
    {
        std::lock_guard lock(mutex);
        requests.emplace_back(action, info);
    }
    QzASHostStorage* Storage() override { return this; }
    bool WithdrawDevice(QzASPlugInDevice*) override
    {
        withdrawn = true;
        return true;
    }
    OSStatus CopyFromStorage(CFStringRef key, CFPropertyListRef* value) override
    {
        std::lock_guard lock(mutex);
        auto it = values.find(text(key));
        *value = it != values.end() ? CFRetain(it->second) : nullptr;
        return 0;
    }
    OSStatus WriteToStorage(CFStringRef key, CFPropertyListRef value) override
    {
        std::lock_guard lock(mutex);
        CFRetain(value);
        auto [it, added] = values.emplace(text(key), value);
        if (!added) {
            CFRelease(it->second);
            it->second = value;
        }
        return 0;
    }
    bool noticed(AudioObjectID object, AudioObjectPropertySelector selector)
    {
        std::lock_guard lock(mutex);
        return std::find(notices.begin(), notices.end(), std::pair{object, selector}) != notices.end();
    }
    // The requests queued so far, taken (the queue is drained first).
    std::vector<std::pair<UInt64, void*>> takeRequests()
    {
        platform::dispatch::drain(platform::dispatch::globalSerialQueue());
        std::lock_guard lock(mutex);
        return std::exchange(requests, {});
    }

    std::mutex mutex;
    std::vector<std::pair<AudioObjectID, AudioObjectPropertySelector>> notices;
    std::vector<std::pair<UInt64, void*>> requests;
    std::map<std::string, CFPropertyListRef> values;
    bool withdrawn = false;
};

// Stored channel settings, as the audio server keeps them for the device.
void storeChannelSettings(FakeHost& host, int32_t frequency)
{
    CFMutableDictionaryRef channels =
        CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    CFNumberRef rate = CFNumberCreate(nullptr, kCFNumberSInt32Type, &frequency);
    CFDictionarySetValue(channels, CFSTR("Frequency"), rate);
    CFMutableDictionaryRef settings =
        CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    CFDictionarySetValue(settings, CFSTR("ChannelSettings"), channels);
    host.WriteToStorage(CFSTR("com.quenzar.sonvexa"), settings);
    CFRelease(settings);
    CFRelease(rate);
    CFRelease(channels);
}

// Values different per channel and frame: the top 16 bits name the frame (modulo 65,536), and at
// 24 bits the next byte carries a pattern of its own, so a lost low byte shows.
int32_t signal(uint64_t frame, uint32_t channel, uint32_t bits = 16)
{
    const auto v = static_cast<int32_t>((frame * 7'919 + channel * 4'099 + 1'234) % 65'536) - 32'768;
    uint32_t word = static_cast<uint32_t>(v) << 16;
    if (bits >= 24) {
        word |= static_cast<uint32_t>((frame * 13 + channel * 101 + 7) & 0xFF) << 8;
    }
    return static_cast<int32_t>(word);
}

// The physical formats a stream of the device offers (kInputStream or kOutputStream).
std::vector<AudioStreamRangedDescription> availableFormats(QzASPlugInDevice& device, int index)
{
    const AudioObjectPropertyAddress available{kAudioStreamPropertyAvailablePhysicalFormats,
                                               kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
    std::vector<AudioStreamRangedDescription> formats(64);
    UInt32 size = 0;
    device.GetPropertyData(device.objectIDs()[index], 0, available, 0, nullptr,
                           static_cast<UInt32>(formats.size() * sizeof formats[0]), size, formats.data());
    formats.resize(size / sizeof formats[0]);
    return formats;
}

class QzASPlugInDeviceTest : public testing::Test
{
protected:
    virtual const char* model() const { return "Kelvra-UC3"; }
    void SetUp() override { ASSERT_TRUE(kernel.start({model()})) << kernel.log(); }
    void TearDown() override
    {
        if (HasFailure()) {
            // The kernel's account of the stream, for a failure's message.
            const std::string log = kernel.log();
            size_t shown = 0;
            for (size_t at = 0, end = 0; at < log.size() && shown < 40; at = end + 1) {
                end = log.find('\n', at);
                end = end == std::string::npos ? log.size() : end;
                const std::string line = log.substr(at, end - at);
                if (line.find("BROKEN") != std::string::npos || line.find("attach") != std::string::npos ||
                    line.find("late") != std::string::npos) {
                    std::printf("kernel: %s\n", line.c_str());
                    ++shown;
                }
            }
        }
        release();
        kernel.releaseService();
        EXPECT_EQ(kernel.stop(), 0);
    }

    QzASPlugInDevice* make()
    {
        IOObjectRetain(kernel.service());
        const AudioObjectID id = QzASPlugInObjectMap::GetNextObjectID();
        device = new QzASPlugInDevice(id, kernel.service(), &host);
        QzASPlugInObjectMap::MapObject(id, device);
        return device;
    }
    void release()
    {
        if (device != nullptr) {
            device->Deactivate();
            QzASPlugInObjectMap::UnmapObject(device->GetObjectID(), device);
            QzASPlugInObjectMap::ReleaseObject(device);
            platform::dispatch::drain(platform::dispatch::globalSerialQueue());
            device = nullptr;
        }
    }

    // Every recorded frame silence or exactly a played one; and unless the kernel missed a
    // deadline (its stream then breaks, and only the change it asks of the host, which this one
    // does not perform, brings a new time line): the signal back for `frames` frames at least,
    // the zero time stamps on one line within a frame, every read and write served.
    // `lineFrames`: how far a zero time stamp may lie from the line (0: not checked).
    template <class Cycles> void expectLoop(const Cycles& io, size_t frames, double lineFrames = 1.0)
    {
        const auto loop = io.check(io.start);
        EXPECT_EQ(loop.wrong, 0U) << "every recorded frame is silence or exactly a played frame";
        if (const size_t missed = kernel.missedDeadlines(); missed != 0) {
            std::printf("stream not checked: %zu missed deadlines in the kernel's record\n", missed);
            return;
        }
        EXPECT_GT(loop.signalFrames, frames) << "the signal came back";
        if (lineFrames > 0) {
            EXPECT_LT(io.maxStampError, lineFrames) << "zero time stamps on one line";
        }
        EXPECT_EQ(io.failedOperations, 0U);
    }

    // Asks both streams for `bits` at `rate`, the way a client sets a physical format, and
    // performs the changes the host is asked for; with IO running, the way the audio server
    // does: IO stops, the change is made, IO starts again.
    void setResolution(uint32_t bits, double rate, bool running = false)
    {
        for (int index : {QzASPlugInDevice::kInputStream, QzASPlugInDevice::kOutputStream}) {
            const AudioObjectID stream = device->objectIDs()[index];
            const std::vector<AudioStreamRangedDescription> formats = availableFormats(*device, index);
            const auto wanted = std::find_if(formats.begin(), formats.end(), [&](const auto& f) {
                return f.mFormat.mBitsPerChannel == bits && f.mFormat.mSampleRate == rate;
            });
            ASSERT_NE(wanted, formats.end()) << "the model offers " << bits << " bits";
            const AudioObjectPropertyAddress physical{kAudioStreamPropertyPhysicalFormat,
                                                      kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
            device->SetPropertyData(stream, 0, physical, 0, nullptr, sizeof wanted->mFormat, &wanted->mFormat);
            performRequests(running);
        }
    }
    // StartIO waits half a second for the kernel to take the client. On a loaded machine the
    // kernel's stream can break meanwhile, and its repair asks the host for a change: performed
    // here as the audio server would, then the start is tried again (three times in all).
    void startIO()
    {
        for (int attempt = 1;; ++attempt) {
            try {
                device->StartIO();
                return;
            } catch (const CAException&) {
                if (attempt == 3) {
                    throw;
                }
                std::printf("StartIO gave up waiting for the kernel (attempt %d); starting again\n", attempt);
                for (auto [action, info] : host.takeRequests()) {
                    device->PerformConfigChange(action, info);
                }
            }
        }
    }

    size_t performRequests(bool running)
    {
        const auto requests = host.takeRequests();
        for (auto [action, info] : requests) {
            if (running) {
                device->StopIO();
            }
            device->PerformConfigChange(action, info);
            if (running) {
                startIO();
            }
        }
        return requests.size();
    }

    test_support::ProgramRunner programs;
    test_support::KernelProcess kernel{programs, KERNELD};
    platform::process::ScopedOverride user{{.name = "coreaudiod", .uid = 202, .root = programs.root()}};
    FakeHost host;
    QzASPlugInDevice* device = nullptr;
};

TEST_F(QzASPlugInDeviceTest, ActivationClaimsTheConfigurationAndTakesTheStoredRate)
{
    storeChannelSettings(host, 48'000);
    make();
    device->Activate();
    ASSERT_TRUE(device->IsActive());
    EXPECT_TRUE(device->isInitialized());
    EXPECT_TRUE(device->configuredHere()) << "the first driver of the device configures it";
    EXPECT_EQ(device->currentSettings().iFrequency, 48'000) << "the stored rate";
    EXPECT_EQ(device->currentSettings().iInChannels, 2);
    EXPECT_NE(device->clientID(), 0U);
    EXPECT_FALSE(device->name(0).empty());
    EXPECT_EQ(device->name(2).substr(device->name(2).size() - 3), "_CA");
    CFStringRef uid = device->CopyDeviceUID();
    ASSERT_NE(uid, nullptr);
    CFRelease(uid);
    EXPECT_EQ(device->zeroTimeStampPeriod() & (device->zeroTimeStampPeriod() - 1), 0U) << "a power of two";
    EXPECT_GT(device->getLatency(true), 0U);
    EXPECT_EQ(device->outputWriteAhead(), 500U);
    EXPECT_EQ(device->getSafetyOffset(false), 48U);
    ASSERT_NE(device->driverSM(), nullptr);
    EXPECT_EQ(device->driverSM()->bIsConfiguring, 0U) << "the claim is given back";

    // A second driver of the same device finds it configured and configures nothing.
    IOObjectRetain(kernel.service());
    auto* second = new QzASPlugInDevice(QzASPlugInObjectMap::GetNextObjectID(), kernel.service(), &host);
    QzASPlugInObjectMap::MapObject(second->GetObjectID(), second);
    second->Activate();
    EXPECT_TRUE(second->IsActive());
    EXPECT_FALSE(second->configuredHere());
    EXPECT_EQ(second->currentSettings().iFrequency, 48'000);
    second->Deactivate();
    QzASPlugInObjectMap::UnmapObject(second->GetObjectID(), second);
    QzASPlugInObjectMap::ReleaseObject(second);

    release();
    CFPropertyListRef stored = nullptr;
    host.CopyFromStorage(CFSTR("com.quenzar.sonvexa"), &stored);
    ASSERT_NE(stored, nullptr) << "the registry settings are written at deactivation";
    CFRelease(stored);
}

// The audio server's IO thread, on the real clock: cycles of `frames` frames timed by the
// device's zero time stamps, reading input and writing the signal.
struct IOCycles
{
    explicit IOCycles(QzASPlugInDevice& d) : device(d) {}

    QzASPlugInDevice& device;
    uint32_t frames = 512;
    uint32_t channels = 2;
    double rate = 48'000;
    std::vector<int32_t> recorded;
    uint64_t cycles = 0;
    double maxStampError = 0; // frames between a zero time stamp and the line through the first
    uint64_t start = 0;       // input sample time of the first cycle
    uint32_t outputLead = 0;  // frames the output is written ahead beyond the safety offsets
    uint32_t bits = 16;       // the device's resolution, for the signal's low bits
    uint64_t failedOperations = 0; // reads and writes that returned an error (an underrun)
    // The first and the last zero time stamp the cycles saw.
    std::pair<Float64, UInt64> firstZero{};
    std::pair<Float64, UInt64> lastZero{};

    // The device's rate the zero time stamps give, in ppm off `rate`.
    double measuredPpm() const
    {
        const double passed = lastZero.first - firstZero.first;
        const double seconds = static_cast<double>(lastZero.second - firstZero.second) * 1e-9;
        return seconds > 0 ? (passed / seconds / rate - 1.0) * 1e6 : 0.0;
    }

    // Runs until `count` cycles have run; false when the time stamps never came.
    bool run(uint64_t count)
    {
        Float64 zeroSample = 0;
        UInt64 zeroHost = 0;
        UInt64 seed = 0;
        const uint64_t deadline = hc::now() + 5'000'000'000;
        while (zeroHost == 0 && hc::now() < deadline) {
            device.GetZeroTimeStamp(zeroSample, zeroHost, seed);
            hc::sleepFor(1'000'000);
        }
        if (zeroHost == 0) {
            return false;
        }
        const double ticksPerFrame = 1e9 / rate;
        const Float64 firstSample = zeroSample;
        const UInt64 firstHost = zeroHost;
        firstZero = lastZero = {zeroSample, zeroHost};
        const uint32_t safety = device.getSafetyOffset(true) + device.getSafetyOffset(false);
        std::vector<int32_t> in(size_t{frames} * channels);
        std::vector<int32_t> out(size_t{frames} * channels);
        AudioServerPlugInIOCycleInfo cycle{};
        // Start one buffer after the anchor.
        start = static_cast<uint64_t>(std::max(0.0, zeroSample)) + frames;
        for (uint64_t k = 0; k < count; ++k) {
            const uint64_t inputTime = start + k * frames;
            // Due once the input cycle and its safety offset have arrived.
            device.GetZeroTimeStamp(zeroSample, zeroHost, seed);
            lastZero = {zeroSample, zeroHost};
            const double expected = static_cast<double>(firstHost) + (zeroSample - firstSample) * ticksPerFrame;
            maxStampError = std::max(maxStampError, std::fabs(static_cast<double>(zeroHost) - expected) / ticksPerFrame);

            const double due = static_cast<double>(zeroHost) +
                               (static_cast<double>(inputTime + frames + safety) - zeroSample) * ticksPerFrame;
            if (due > static_cast<double>(hc::now())) {
                hc::sleepUntil(static_cast<uint64_t>(due));
            }
            cycle.mIOCycleCounter = k;
            cycle.mInputTime.mSampleTime = static_cast<Float64>(inputTime);
            cycle.mOutputTime.mSampleTime = static_cast<Float64>(inputTime + 2 * frames + safety + outputLead);
            bool willDo = false;
            bool inPlace = false;
            device.WillDoIOOperation(audioFourCC("read"), willDo, inPlace);
            if (!willDo) {
                return false;
            }
            device.BeginIOOperation(audioFourCC("read"), frames, cycle);
            if (device.DoIOOperation(0, audioFourCC("read"), frames, cycle, in.data(), nullptr) != 0) {
                ++failedOperations;
            }
            device.EndIOOperation(audioFourCC("read"), frames, cycle);
            recorded.insert(recorded.end(), in.begin(), in.end());
            const auto outputTime = static_cast<uint64_t>(cycle.mOutputTime.mSampleTime);
            for (uint32_t f = 0; f < frames; ++f) {
                for (uint32_t c = 0; c < channels; ++c) {
                    out[size_t{f} * channels + c] = signal(outputTime + f, c, bits);
                }
            }
            device.BeginIOOperation(audioFourCC("rite"), frames, cycle);
            if (device.DoIOOperation(0, audioFourCC("rite"), frames, cycle, out.data(), nullptr) != 0) {
                ++failedOperations;
            }
            device.EndIOOperation(audioFourCC("rite"), frames, cycle);
            ++cycles;
        }
        return true;
    }

    // The recorded frames that are a signal frame: their count, those that follow the frame before
    // them, and the delay (recorded input time minus the output time the frame was written at).
    struct Loop
    {
        size_t signalFrames = 0;
        size_t wrong = 0;
        int64_t delay = -1;
    };
    Loop check(uint64_t firstInputTime) const
    {
        Loop loop;
        const size_t n = recorded.size() / channels;
        for (size_t i = 0; i < n; ++i) {
            const int32_t left = recorded[i * channels];
            const int32_t right = recorded[i * channels + 1];
            if (left == 0 && right == 0) {
                continue;
            }
            // The frame number modulo 65,536: 53,263 is 7,919's inverse.
            const auto value = static_cast<uint64_t>((left >> 16) + 32'768 - 1'234) & 0xFFFF;
            const uint64_t frame = (value * 53'263) & 0xFFFF;
            if (signal(frame, 0, bits) != left || signal(frame, 1, bits) != right) {
                ++loop.wrong;
                continue;
            }
            ++loop.signalFrames;
            if (loop.delay < 0) {
                loop.delay = static_cast<int64_t>((firstInputTime + i - frame) & 0xFFFF);
            }
        }
        return loop;
    }
};

TEST_F(QzASPlugInDeviceTest, TheIOCycleLoopsTheSignalBackBitExactOnTheDevicesClock)
{
    storeChannelSettings(host, 48'000);
    make();
    device->Activate();
    ASSERT_TRUE(device->IsActive());
    device->StartIO();
    EXPECT_EQ(device->hardwareState(), QzASPlugInDevice::kAttached);
    EXPECT_GE(device->clientSlot(), 0);
    device->StartIO();
    EXPECT_EQ(device->ioReferenceCount(), 2U) << "a second start only counts";
    device->StopIO();
    EXPECT_EQ(device->hardwareState(), QzASPlugInDevice::kAttached);

    IOCycles io(*device);
    io.outputLead = 1'024;
    ASSERT_TRUE(io.run(400)) << "about four seconds of cycles";
    const QzASPlugInDevice::IOStatistics stats = device->statistics();
    device->StopIO();
    EXPECT_EQ(device->ioReferenceCount(), 0U);
    EXPECT_EQ(device->hardwareState(), QzASPlugInDevice::kClosed);
    Float64 sample = 1;
    UInt64 hostTime = 1;
    UInt64 seed = 1;
    device->GetZeroTimeStamp(sample, hostTime, seed);
    EXPECT_EQ(hostTime, 0U) << "no rings after the last stop";

    // Frames lost to a loaded machine (the kernel's late service periods) are silence, never wrong.
    EXPECT_EQ(stats.inputOverloads, 0U);
    EXPECT_EQ(stats.outputOverloads, 0U);
    EXPECT_EQ(stats.inputCycles, 400U);
    // Half a second of signal at least.
    expectLoop(io, 24'000);
    const auto loop = io.check(io.start);
    std::printf("round trip %lld frames; latencies %u + %u, safety offsets %u + %u, write-ahead %u\n",
                static_cast<long long>(loop.delay), device->getLatency(true), device->getLatency(false),
                device->getSafetyOffset(true), device->getSafetyOffset(false), device->outputWriteAhead());
}

TEST_F(QzASPlugInDeviceTest, KernelChangesAreRequestedOfTheHostAndCarriedOutInItsCall)
{
    make();
    device->Activate();
    ASSERT_TRUE(device->IsActive());
    host.takeRequests();

    // A change of another client: the host is asked, and performing it takes the new settings.
    QZ_StateChange change{};
    change.size = sizeof change;
    change.code = STC_NewConfig;
    change.clientID = device->clientID() + 1;
    device->driverSM()->mChannelSettings.iFrequency = 96'000; // as if the kernel reconfigured
    device->PropertyNotificationHandler(0xE0000130, &change, sizeof change);
    auto requests = host.takeRequests();
    ASSERT_EQ(requests.size(), 1U);
    EXPECT_EQ(requests[0].first, kQzConfigChangeNewConfig);
    device->PerformConfigChange(requests[0].first, requests[0].second);
    EXPECT_EQ(device->currentSettings().iFrequency, 96'000);
    EXPECT_TRUE(host.noticed(device->GetObjectID(), kAudioDevicePropertyLatency));

    // The same change again, or one this device caused: nothing requested.
    device->PropertyNotificationHandler(0xE0000130, &change, sizeof change);
    change.clientID = device->clientID();
    device->driverSM()->mChannelSettings.iFrequency = 48'000;
    device->PropertyNotificationHandler(0xE0000130, &change, sizeof change);
    EXPECT_TRUE(host.takeRequests().empty());

    // A short record is not read.
    device->PropertyNotificationHandler(0xE0000130, &change, 20);
    EXPECT_TRUE(host.takeRequests().empty());

    // Sleep suspends the output, wake asks for a wake-up change, performing it ends the silence.
    device->PropertyNotificationHandler(0xE0000280, nullptr, 0);
    EXPECT_TRUE(device->streamingSuspended());
    device->PropertyNotificationHandler(0xE0000300, nullptr, 0);
    requests = host.takeRequests();
    ASSERT_EQ(requests.size(), 1U);
    EXPECT_EQ(requests[0].first, kQzConfigWakeUp);
    device->PerformConfigChange(requests[0].first, requests[0].second);
    EXPECT_FALSE(device->streamingSuspended());

    // A clock-source change of another client carries its own value.
    change.code = STC_SampleCkSrcChanged;
    change.clientID = device->clientID() + 1;
    device->driverSM()->mChannelSettings.iFrequency = device->currentSettings().iFrequency;
    device->PropertyNotificationHandler(0xE0000130, &change, sizeof change);
    requests = host.takeRequests();
    ASSERT_EQ(requests.size(), 1U);
    EXPECT_EQ(requests[0].first, kQzConfigChangeClockSource);
    device->AbortConfigChange(requests[0].first, requests[0].second);

    // An unknown action changes nothing and still clears the suspension.
    device->PropertyNotificationHandler(0xE0000280, nullptr, 0);
    device->PerformConfigChange(12, nullptr);
    EXPECT_FALSE(device->streamingSuspended());

    // Withdrawn for a firmware update: the plug-in is told, and action 10 requested.
    change.code = STC_FirmwareUpdateMode;
    device->PropertyNotificationHandler(0xE0000130, &change, sizeof change);
    EXPECT_TRUE(host.withdrawn);
    requests = host.takeRequests();
    ASSERT_EQ(requests.size(), 1U);
    EXPECT_EQ(requests[0].first, kQzConfigChangeElektron);
    device->AbortConfigChange(requests[0].first, requests[0].second);
}

// Two changes asked for before the host performs either: each request carries its own record,
// so neither takes the other's values.
TEST_F(QzASPlugInDeviceTest, EachRequestCarriesItsOwnRecord)
{
    make();
    device->Activate();
    ASSERT_TRUE(device->IsActive());
    host.takeRequests();
    const AudioObjectPropertyAddress physical{
        kAudioStreamPropertyPhysicalFormat, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
    for (int index : {QzASPlugInDevice::kInputStream, QzASPlugInDevice::kOutputStream}) {
        AudioStreamBasicDescription format{};
        UInt32 size = 0;
        device->GetPropertyData(device->objectIDs()[index], 0, physical, 0, nullptr, sizeof format, size,
                                &format);
        format.mSampleRate = index == QzASPlugInDevice::kInputStream ? 48'000.0 : 96'000.0;
        device->SetPropertyData(device->objectIDs()[index], 0, physical, 0, nullptr, sizeof format, &format);
    }
    const auto requests = host.takeRequests();
    ASSERT_EQ(requests.size(), 2U);
    const auto* first = static_cast<const QzASConfigChange*>(requests[0].second);
    const auto* second = static_cast<const QzASConfigChange*>(requests[1].second);
    ASSERT_NE(first, second);
    EXPECT_TRUE(first->isInput);
    EXPECT_EQ(first->format.mSampleRate, 48'000.0);
    EXPECT_FALSE(second->isInput);
    EXPECT_EQ(second->format.mSampleRate, 96'000.0);
    for (auto [action, info] : requests) {
        device->AbortConfigChange(action, info);
    }
}

// A broken stream holds the output silent until it is repaired. Repaired by another client (the
// kernel refuses this one's repair, as it does while no stream is broken), the new configuration
// that follows ends the silence even when it changes nothing and names this client, and the host
// is asked for a restart so that IO runs on a new anchor. Nothing else ends it early.
TEST_F(QzASPlugInDeviceTest, AStreamRepairedElsewhereEndsTheSilenceWithItsNewConfiguration)
{
    make();
    device->Activate();
    ASSERT_TRUE(device->IsActive());
    host.takeRequests();
    QZ_StateChange change{};
    change.size = sizeof change;
    change.code = STC_STREAM_BROKEN;
    change.clientID = device->clientID() + 1;
    device->PropertyNotificationHandler(0xE0000130, &change, sizeof change);
    if (!device->streamingSuspended()) {
        // The kernel's stream had broken for real (a loaded machine), and this client repaired
        // it: the silence ended at once, with a restart asked for.
        const auto repaired = host.takeRequests();
        ASSERT_EQ(repaired.size(), 1U);
        EXPECT_EQ(repaired[0].first, kQzConfigChangeNewConfig);
        device->AbortConfigChange(repaired[0].first, repaired[0].second);
        GTEST_SKIP() << "the kernel's stream was broken: the repair elsewhere is not checked";
    }
    EXPECT_TRUE(host.takeRequests().empty());
    change.code = STC_ClientAttached;
    device->PropertyNotificationHandler(0xE0000130, &change, sizeof change);
    EXPECT_TRUE(device->streamingSuspended());

    change.code = STC_NewConfig;
    change.clientID = device->clientID();
    device->PropertyNotificationHandler(0xE0000130, &change, sizeof change);
    EXPECT_FALSE(device->streamingSuspended());
    auto requests = host.takeRequests();
    ASSERT_EQ(requests.size(), 1U);
    EXPECT_EQ(requests[0].first, kQzConfigChangeNewConfig);
    device->AbortConfigChange(requests[0].first, requests[0].second);
    // Once: the next unchanged configuration is nothing new.
    device->PropertyNotificationHandler(0xE0000130, &change, sizeof change);
    EXPECT_TRUE(host.takeRequests().empty());

    // A change the host performs in between restarts IO itself: the repair is no longer awaited.
    change.code = STC_STREAM_BROKEN;
    device->PropertyNotificationHandler(0xE0000130, &change, sizeof change);
    device->PerformConfigChange(kQzConfigWakeUp, nullptr);
    EXPECT_FALSE(device->streamingSuspended());
    for (auto [action, info] : host.takeRequests()) {
        device->AbortConfigChange(action, info);
    }
    change.code = STC_NewConfig;
    device->PropertyNotificationHandler(0xE0000130, &change, sizeof change);
    EXPECT_TRUE(host.takeRequests().empty());
}

// Cycles the rings cannot serve are refused with their status and touch nothing; sample times
// before the start or no number at all are served; without rings a read is silence and 'stop'.
TEST_F(QzASPlugInDeviceTest, CyclesTheRingsCannotServeAreRefusedAndAReadWithoutRingsIsSilence)
{
    make();
    device->Activate();
    ASSERT_TRUE(device->IsActive());
    device->StartIO();
    constexpr OSStatus kStop = 0x73746F70;
    const uint32_t tooMany = QzASPlugInDevice::kMaxIOFrames + 1;
    std::vector<int32_t> buffer(size_t{tooMany} * 2, 7);
    struct Row
    {
        const char* what;
        UInt32 operation;
        uint32_t frames;
        Float64 sampleTime;
        bool withBuffer;
        OSStatus status;
    };
    const Row rows[] = {
        {"more frames than a cycle takes (read)", audioFourCC("read"), tooMany, 0, true,
         kIOReturnBadArgument},
        {"more frames than a cycle takes (write)", audioFourCC("rite"), tooMany, 0, true,
         kIOReturnBadArgument},
        {"no buffer", audioFourCC("read"), 512, 0, false, kIOReturnBadArgument},
        {"a time before the start (read)", audioFourCC("read"), 512, -1e6, true, 0},
        {"a time before the start (write)", audioFourCC("rite"), 512, -1e6, true, 0},
        {"a time that is no number", audioFourCC("read"), 512, std::nan(""), true, 0},
    };
    for (const Row& row : rows) {
        std::fill(buffer.begin(), buffer.end(), 7);
        AudioServerPlugInIOCycleInfo cycle{};
        cycle.mInputTime.mSampleTime = row.sampleTime;
        cycle.mOutputTime.mSampleTime = row.sampleTime;
        EXPECT_EQ(device->DoIOOperation(0, row.operation, row.frames, cycle,
                                        row.withBuffer ? buffer.data() : nullptr, nullptr),
                  row.status)
            << row.what;
        if (row.status != 0) {
            EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 7), static_cast<long>(buffer.size()))
                << row.what << ": the buffer is untouched";
        }
    }
    device->StopIO();
    std::fill(buffer.begin(), buffer.end(), 7);
    AudioServerPlugInIOCycleInfo cycle{};
    EXPECT_EQ(device->DoIOOperation(0, audioFourCC("read"), 512, cycle, buffer.data(), nullptr), kStop);
    EXPECT_EQ(std::count(buffer.begin(), buffer.begin() + 512 * 2, 0), 512 * 2)
        << "silence, not the buffer's old bytes";
    EXPECT_EQ(device->DoIOOperation(0, audioFourCC("rite"), 512, cycle, buffer.data(), nullptr), kStop);
}

// A model with two clock sources (0DBA:3000).
class TwoClockSources : public QzASPlugInDeviceTest
{
protected:
    const char* model() const override { return "MBox2"; }
};

// A client's clock source is sent to the device, and the current source is then the one the
// device reports afterwards, never merely the one asked for (a device that cannot say keeps the
// source it had); a change the kernel announces carries the source the device already uses. A
// source the device does not have is refused at once.
TEST_F(TwoClockSources, ClientChoicesReachTheDeviceAndTheDeviceHasTheLastWord)
{
    make();
    device->Activate();
    ASSERT_TRUE(device->IsActive());
    host.takeRequests();
    const uint32_t initial = device->clockSource();
    const AudioObjectPropertyAddress address{kAudioDevicePropertyClockSource, kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    const UInt32 missing = 2;
    EXPECT_THROW(
        device->SetPropertyData(device->GetObjectID(), 0, address, 0, nullptr, sizeof missing, &missing),
        CAException);
    EXPECT_TRUE(host.takeRequests().empty());

    const UInt32 wanted = initial == 1 ? 0 : 1;
    device->SetPropertyData(device->GetObjectID(), 0, address, 0, nullptr, sizeof wanted, &wanted);
    auto requests = host.takeRequests();
    ASSERT_EQ(requests.size(), 1U);
    EXPECT_EQ(requests[0].first, kQzConfigChangeClockSource);
    platform::log::Capture capture(platform::log::Channel::system);
    device->PerformConfigChange(requests[0].first, requests[0].second);
    platform::log::flush();
    int reported = -2;
    for (const std::string& line : capture.texts()) {
        const std::string prefix = "AudioServer: clock source " + std::to_string(wanted) + " ";
        if (const size_t at = line.find("the device reports ");
            line.rfind(prefix, 0) == 0 && at != std::string::npos) {
            reported = std::stoi(line.substr(at + 19));
        }
    }
    ASSERT_NE(reported, -2) << "the choice went to the device and was read back";
    const uint32_t expected = reported >= 0 ? static_cast<uint32_t>(reported) : initial;
    EXPECT_EQ(device->clockSource(), expected) << "what the device uses, not what was asked for";
    EXPECT_EQ(host.noticed(device->GetObjectID(), kAudioDevicePropertyClockSource), expected != initial);

    // The kernel's news is the device's state already: taken as it is, and announced.
    auto* news = new QzASConfigChange;
    news->value = expected == 1 ? 0 : 1;
    device->PerformConfigChange(kQzConfigChangeClockSource, news);
    EXPECT_EQ(device->clockSource(), expected == 1 ? 0U : 1U);
    EXPECT_TRUE(host.noticed(device->GetObjectID(), kAudioDevicePropertyClockSource));
}

TEST_F(QzASPlugInDeviceTest, AnUnplugDuringIOStopsTheCyclesWithoutACrash)
{
    make();
    device->Activate();
    ASSERT_TRUE(device->IsActive());
    device->StartIO();
    IOCycles io(*device);
    io.rate = device->currentSettings().iFrequency;
    ASSERT_TRUE(io.run(20));
    kernel.stop();
    // The kernel is gone: cycles find no input and say so, and stopping still works.
    std::vector<int32_t> buffer(512 * 2);
    AudioServerPlugInIOCycleInfo cycle{};
    cycle.mInputTime.mSampleTime = 1e6;
    device->DoIOOperation(0, audioFourCC("read"), 512, cycle, buffer.data(), nullptr);
    EXPECT_GE(device->statistics().inputUnderruns, 1U);
    device->StopIO();
    EXPECT_EQ(device->hardwareState(), QzASPlugInDevice::kClosed);
    ASSERT_TRUE(kernel.start({model()})) << kernel.log();
}

// The loop through the IO cycle at the rates and resolutions of full-speed and high-speed models,
// one of them with bulk input beside isochronous output (its input is stamped per bulk transfer,
// so its time stamps lie a few frames from the line).
struct LoopCase
{
    const char* model;
    int32_t rate;
    uint32_t bits;
    double lineFrames = 1.0; // how far a zero time stamp may lie from the line
};

void PrintTo(const LoopCase& c, std::ostream* os)
{
    *os << c.model << " " << c.rate << " Hz " << c.bits << " bits";
}

class Loopback : public QzASPlugInDeviceTest, public testing::WithParamInterface<LoopCase>
{
protected:
    const char* model() const override { return GetParam().model; }
};

TEST_P(Loopback, BitExactThroughTheIOCycle)
{
    const LoopCase c = GetParam();
    storeChannelSettings(host, c.rate);
    make();
    device->Activate();
    ASSERT_TRUE(device->IsActive());
    if (c.bits != 16) {
        setResolution(c.bits, c.rate);
    }
    ASSERT_EQ(device->currentSettings().iFrequency, c.rate);
    ASSERT_EQ(device->currentSettings().iInResolution, static_cast<int32_t>(c.bits));
    ASSERT_EQ(device->currentSettings().iOutResolution, static_cast<int32_t>(c.bits));

    startIO();
    IOCycles io(*device);
    io.rate = c.rate;
    io.bits = c.bits;
    io.outputLead = 1'024;
    // Four seconds of cycles.
    ASSERT_TRUE(io.run(static_cast<uint64_t>(c.rate) * 4 / io.frames));
    const QzASPlugInDevice::IOStatistics stats = device->statistics();
    device->StopIO();
    EXPECT_EQ(stats.inputOverloads, 0U);
    EXPECT_EQ(stats.outputOverloads, 0U);
    expectLoop(io, static_cast<size_t>(c.rate) / 2, c.lineFrames);
}

INSTANTIATE_TEST_SUITE_P(RatesAndResolutions, Loopback,
                         testing::Values(LoopCase{"Mindprint", 44'100, 16}, LoopCase{"Mindprint", 48'000, 24},
                                         LoopCase{"Kelvra-UC3", 44'100, 24},
                                         LoopCase{"Kelvra-UC3", 96'000, 24}, LoopCase{"0763:2003", 44'100, 16},
                                         LoopCase{"1235:0002", 48'000, 24},
                                         LoopCase{"US-144-MKII", 44'100, 24, 4.0}));

// A full-speed device at 96 kHz with stereo output has no bandwidth left for input: the IO cycle
// runs on zero time stamps that the output's transfers give.
class OutputOnlyAtNinetySix : public QzASPlugInDeviceTest
{
protected:
    const char* model() const override { return "Mindprint"; }
};

TEST_F(OutputOnlyAtNinetySix, TheIOCycleRunsOnTheOutputsClock)
{
    storeChannelSettings(host, 96'000);
    make();
    device->Activate();
    ASSERT_TRUE(device->IsActive());
    ASSERT_EQ(device->currentSettings().iFrequency, 96'000);
    ASSERT_EQ(device->currentSettings().iInChannels, 0);
    ASSERT_EQ(device->currentSettings().iOutChannels, 2);
    startIO();
    IOCycles io(*device);
    io.rate = 96'000;
    io.outputLead = 1'024;
    // Two seconds of cycles.
    ASSERT_TRUE(io.run(96'000 * 2 / io.frames)) << "zero time stamps without input";
    const QzASPlugInDevice::IOStatistics stats = device->statistics();
    device->StopIO();
    EXPECT_EQ(stats.outputOverloads, 0U);
    if (const size_t missed = kernel.missedDeadlines(); missed != 0) {
        std::printf("time stamps not checked: %zu missed deadlines in the kernel's record\n", missed);
        return;
    }
    EXPECT_LT(io.maxStampError, 1.0) << "zero time stamps on one line, within a frame";
    EXPECT_EQ(io.failedOperations, 0U);
}

// A device whose 24-bit samples no converter knows offers only what the driver converts, so that
// no format it offers streams silence.
class UnknownSampleLayout : public QzASPlugInDeviceTest
{
protected:
    const char* model() const override { return "0763:2003"; }
};

TEST_F(UnknownSampleLayout, OnlyConvertedResolutionsAreOffered)
{
    make();
    device->Activate();
    ASSERT_TRUE(device->IsActive());
    for (int index : {QzASPlugInDevice::kInputStream, QzASPlugInDevice::kOutputStream}) {
        const std::vector<AudioStreamRangedDescription> formats = availableFormats(*device, index);
        EXPECT_FALSE(formats.empty());
        for (const auto& format : formats) {
            EXPECT_EQ(format.mFormat.mBitsPerChannel, 16U) << "at " << format.mFormat.mSampleRate << " Hz";
        }
    }
}

// A device clock off by 100 ppm either way: the zero time stamps give the device's rate, not the
// nominal one, and the cycles they time keep the loop exact.
class DriftingClock : public QzASPlugInDeviceTest, public testing::WithParamInterface<int32_t>
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(kernel.start({model()}, "VKKernelDevice", {"--clock-ppm", std::to_string(GetParam())}))
            << kernel.log();
    }
};

TEST_P(DriftingClock, ZeroTimeStampsFollowTheDevicesRate)
{
    storeChannelSettings(host, 48'000);
    make();
    device->Activate();
    ASSERT_TRUE(device->IsActive());
    startIO();
    IOCycles io(*device);
    io.outputLead = 1'024;
    // Seven seconds: about five zero-time-stamp periods of 65,536 frames.
    ASSERT_TRUE(io.run(660));
    device->StopIO();
    // The line is the device's, not the nominal one.
    expectLoop(io, 24'000, 0.0);
    if (kernel.missedDeadlines() == 0) {
        // At least two periods (a slow build may see no more); a frame of jitter at each end
        // of the span, and a little more.
        const double span = io.lastZero.first - io.firstZero.first;
        ASSERT_GE(span, 2 * 65'536.0);
        EXPECT_NEAR(io.measuredPpm(), GetParam(), 2.0 / span * 1e6 + 5.0);
    }
}

INSTANTIATE_TEST_SUITE_P(Ppm, DriftingClock, testing::Values(100, -100));

// Changes asked for while IO runs are performed the way the audio server performs them: IO
// stops, the change is made, IO starts again, and the loop is exact at the new settings.
TEST_F(QzASPlugInDeviceTest, RateAndFormatChangesWhileRunning)
{
    storeChannelSettings(host, 48'000);
    make();
    device->Activate();
    ASSERT_TRUE(device->IsActive());
    const auto loopsBack = [&](double rate, uint32_t bits) {
        IOCycles io(*device);
        io.rate = rate;
        io.bits = bits;
        io.outputLead = 1'024;
        ASSERT_TRUE(io.run(static_cast<uint64_t>(rate) * 2 / io.frames));
        SCOPED_TRACE(testing::Message() << rate << " Hz, " << bits << " bits");
        expectLoop(io, static_cast<size_t>(rate) / 4);
    };
    startIO();
    loopsBack(48'000, 16);

    const AudioObjectPropertyAddress nominal{kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    const Float64 rate = 96'000;
    device->SetPropertyData(device->GetObjectID(), 0, nominal, 0, nullptr, sizeof rate, &rate);
    EXPECT_EQ(performRequests(true), 1U);
    EXPECT_EQ(device->currentSettings().iFrequency, 96'000);
    EXPECT_EQ(device->ioReferenceCount(), 1U) << "IO runs again";
    loopsBack(96'000, 16);
    setResolution(24, 96'000, true);
    EXPECT_EQ(device->currentSettings().iInResolution, 24);
    EXPECT_EQ(device->currentSettings().iOutResolution, 24);
    EXPECT_EQ(device->ioReferenceCount(), 1U);
    loopsBack(96'000, 24);


    // An unsupported rate is refused and asks for nothing.
    const Float64 odd = 12'345;
    EXPECT_THROW(device->SetPropertyData(device->GetObjectID(), 0, nominal, 0, nullptr, sizeof odd, &odd),
                 CAException);
    EXPECT_EQ(performRequests(true), 0U);
    device->StopIO();
}

} // namespace
