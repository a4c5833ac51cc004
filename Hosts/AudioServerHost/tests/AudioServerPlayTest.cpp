// The audio server's IO cycles with the real plug-in against sonvexa-kerneld on the real clock:
// a tone played through a looping model comes back bit-exact within the latencies the device
// reports, a configuration change pauses and restarts the cycles, and sonvexa-audiod --play does
// the same as a program. The WAV module on its own: round trips and malformed headers.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "AudioServerHost.h"
#include "IOEngine.h"
#include "KernelProcess.h"
#include "PlayRecord.h"
#include "ProgramRunner.h"
#include "Wav.h"
#include "platform/ProcessEnvironment.h"

namespace {

using audiod::AudioServerHost;
using audiod::IOEngine;
using audiod::IOFormat;
using audiod::PlayRecord;
using audiod::PlayReport;
namespace wav = audiod::wav;

// --- WAV

std::vector<uint8_t> bytesOf(const wav::Audio& audio)
{
    return wav::encode(audio);
}

wav::Audio sample(uint16_t channels, uint16_t bits, size_t frames)
{
    wav::Audio audio;
    audio.rate = 48'000;
    audio.channels = channels;
    audio.bits = bits;
    const uint32_t mask = bits == 32 ? 0xFFFFFFFFU : ~((1U << (32 - bits)) - 1);
    for (size_t i = 0; i < frames * channels; ++i) {
        audio.samples.push_back(static_cast<int32_t>((static_cast<uint32_t>(i) * 2'654'435'761U) & mask));
    }
    return audio;
}

TEST(Wav, RoundTripsEveryWidthAndChannelCount)
{
    for (uint16_t bits : {16, 24, 32}) {
        for (uint16_t channels : {1, 2, 6}) {
            const wav::Audio audio = sample(channels, bits, 100);
            const std::vector<uint8_t> bytes = bytesOf(audio);
            EXPECT_EQ(bytes.size(), 44U + 100U * channels * bits / 8) << bits << " bits";
            wav::Audio back;
            std::string error;
            ASSERT_TRUE(wav::parse(bytes.data(), bytes.size(), back, error)) << error;
            EXPECT_EQ(back.rate, 48'000U);
            EXPECT_EQ(back.channels, channels);
            EXPECT_EQ(back.bits, bits);
            EXPECT_EQ(back.samples, audio.samples) << bits << " bits, " << channels << " channels";
        }
    }
    // Writing cuts the samples to the file's width.
    wav::Audio wide = sample(2, 32, 4);
    wide.bits = 16;
    const std::vector<uint8_t> bytes = bytesOf(wide);
    wav::Audio back;
    std::string error;
    ASSERT_TRUE(wav::parse(bytes.data(), bytes.size(), back, error)) << error;
    for (size_t i = 0; i < wide.samples.size(); ++i) {
        EXPECT_EQ(back.samples[i], static_cast<int32_t>(static_cast<uint32_t>(wide.samples[i]) & 0xFFFF0000U));
    }
}

TEST(Wav, SkipsOtherChunksAndTakesTheExtensibleFormat)
{
    std::vector<uint8_t> bytes = bytesOf(sample(2, 24, 3));
    // A "LIST" chunk of odd size (padded) before "fmt ".
    const std::vector<uint8_t> list = {'L', 'I', 'S', 'T', 3, 0, 0, 0, 'a', 'b', 'c', 0};
    bytes.insert(bytes.begin() + 12, list.begin(), list.end());
    const uint32_t riff = static_cast<uint32_t>(bytes.size() - 8);
    std::memcpy(bytes.data() + 4, &riff, 4);
    wav::Audio audio;
    std::string error;
    ASSERT_TRUE(wav::parse(bytes.data(), bytes.size(), audio, error)) << error;
    EXPECT_EQ(audio.frames(), 3U);

    // The extensible form of the same format.
    std::vector<uint8_t> extensible = bytesOf(sample(2, 24, 3));
    const uint8_t tail[] = {22, 0, 24, 0, 3, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
    extensible.insert(extensible.begin() + 36, std::begin(tail), std::end(tail));
    extensible[16] = 40;
    extensible[20] = 0xFE;
    extensible[21] = 0xFF;
    const uint32_t size = static_cast<uint32_t>(extensible.size() - 8);
    std::memcpy(extensible.data() + 4, &size, 4);
    ASSERT_TRUE(wav::parse(extensible.data(), extensible.size(), audio, error)) << error;
    EXPECT_EQ(audio.bits, 24U);
}

TEST(Wav, MalformedHeadersAreRefusedWithTheirReason)
{
    const std::vector<uint8_t> good = bytesOf(sample(2, 16, 4)); // 44 + 16 bytes
    struct Row
    {
        const char* what;
        size_t offset; // where `patch` goes
        std::vector<uint8_t> patch;
        size_t cut; // then the file cut to this many bytes, unless 0
        const char* reason;
    };
    const std::vector<Row> rows = {
        {"not RIFF", 0, {'R', 'I', 'F', 'X'}, 0, "not a WAV file"},
        {"not WAVE", 8, {'A', 'V', 'I', ' '}, 0, "not a WAV file"},
        {"shorter than a header", 0, {}, 10, "not a WAV file"},
        {"RIFF size beyond the file", 4, {0xFF, 0xFF, 0, 0}, 0, "the RIFF header says"},
        {"RIFF size too small", 4, {2, 0, 0, 0}, 0, "the RIFF header says"},
        {"fmt chunk beyond the file", 16, {0xF0, 0, 0, 0}, 0, "the \"fmt \" chunk says"},
        {"fmt chunk too short", 16, {14, 0, 0, 0}, 0, "not at least 16"},
        {"float samples", 20, {3, 0}, 0, "format tag 3 is not integer PCM"},
        {"no channels", 22, {0, 0}, 0, "0 channels"},
        {"rate zero", 24, {0, 0, 0, 0}, 0, "a sample rate of 0 Hz"},
        {"8 bits", 34, {8, 0}, 0, "8 bits per sample"},
        {"block size wrong", 32, {6, 0}, 0, "a block size of 6 bytes"},
        {"byte rate wrong", 28, {1, 0, 0, 0}, 0, "a byte rate of 1"},
        {"data beyond the file", 40, {0xFF, 0, 0, 0}, 0, "the \"data\" chunk says"},
        {"data not whole frames", 40, {15, 0, 0, 0}, 0, "not whole frames"},
        {"data before fmt", 12, {'d', 'a', 't', 'a'}, 0, "comes before the \"fmt \" chunk"},
        {"nothing but the header", 4, {4, 0, 0, 0}, 12, "no \"fmt \" chunk"},
        {"no data chunk", 36, {'j', 'u', 'n', 'k'}, 0, "no \"data\" chunk"},
        {"file cut inside the data", 0, {}, 50, "the RIFF header says"},
    };
    for (const Row& row : rows) {
        std::vector<uint8_t> bytes = good;
        std::copy(row.patch.begin(), row.patch.end(), bytes.begin() + static_cast<ptrdiff_t>(row.offset));
        if (row.cut != 0) {
            bytes.resize(row.cut);
        }
        wav::Audio audio;
        audio.rate = 7;
        std::string error;
        EXPECT_FALSE(wav::parse(bytes.data(), bytes.size(), audio, error)) << row.what;
        EXPECT_NE(error.find(row.reason), std::string::npos) << row.what << ": " << error;
        EXPECT_EQ(audio.rate, 7U) << row.what << ": nothing of a refused file is taken";
    }
    // A header cut inside a chunk header, with a RIFF size that agrees.
    std::vector<uint8_t> cut(good.begin(), good.begin() + 40);
    cut[4] = 32;
    wav::Audio audio;
    std::string error;
    EXPECT_FALSE(wav::parse(cut.data(), cut.size(), audio, error));
    EXPECT_NE(error.find("cut off"), std::string::npos) << error;
}

TEST(Wav, FilesThatCannotBeReadOrWritten)
{
    test_support::ProgramRunner folder;
    wav::Audio audio;
    std::string error;
    EXPECT_FALSE(wav::read(folder.root() + "/missing.wav", audio, error));
    EXPECT_NE(error.find("cannot be opened"), std::string::npos) << error;
    EXPECT_FALSE(wav::write(folder.root() + "/no/such/folder/x.wav", sample(2, 16, 2), error));
    EXPECT_NE(error.find("cannot be written"), std::string::npos) << error;
    const std::string path = folder.root() + "/x.wav";
    ASSERT_TRUE(wav::write(path, sample(2, 24, 10), error)) << error;
    ASSERT_TRUE(wav::read(path, audio, error)) << error;
    EXPECT_EQ(audio.samples, sample(2, 24, 10).samples);
}

// --- The comparison on a simulated loop: cycles fed by hand

struct LoopCase
{
    const char* what;
    int64_t delay;           // frames from output time to input time
    int64_t movedDelay = -1; // the delay from `moveAt` on
    uint64_t moveAt = 0;     // input time
    uint64_t loseFrom = 0;   // input times [loseFrom, loseTo) come back as silence
    uint64_t loseTo = 0;
    uint64_t wrongAt = 0;    // input time of a frame that comes back changed (0: none)
    bool loops = true;       // false: nothing comes back
    PlayReport::Comparison comparison;
};

TEST(PlayRecordComparison, AlignsCountsAndJudges)
{
    IOFormat format;
    format.rate = 48'000;
    format.bufferFrames = 64;
    format.inputChannels = format.outputChannels = 2;
    format.inputBits = 24;
    format.outputBits = 24;
    format.inputLatency = 100;
    format.outputLatency = 200;
    using C = PlayReport::Comparison;
    const std::vector<LoopCase> cases = {
        {"exact", 300, -1, 0, 0, 0, 0, true, C::bitExact},
        {"a gap of silence", 300, -1, 0, 2'000, 2'100, 0, true, C::lostFrames},
        {"one frame changed", 300, -1, 0, 0, 0, 2'345, true, C::differs},
        {"the round trip moves", 300, 123, 2'500, 0, 0, 0, true, C::bitExact},
        {"no loop", 300, -1, 0, 0, 0, 0, false, C::notCompared},
    };
    for (const LoopCase& row : cases) {
        PlayRecord client(0.1, nullptr);
        client.prepare(format, 0);
        std::vector<int32_t> device(1 << 16, 0); // what the output put at each sample time
        std::vector<int32_t> buffer(128);
        for (uint64_t k = 0; !client.done() && k < 200; ++k) {
            const uint64_t inputTime = k * 64;
            const uint64_t outputTime = inputTime + 1'000;
            client.writeMix(static_cast<Float64>(outputTime), 64, buffer.data());
            for (uint32_t f = 0; f < 64; ++f) {
                device[(outputTime + f) * 2 % device.size()] = buffer[f * 2];
                device[((outputTime + f) * 2 + 1) % device.size()] = buffer[f * 2 + 1];
            }
            for (uint32_t f = 0; f < 64; ++f) {
                const uint64_t t = inputTime + f;
                const int64_t d = row.movedDelay >= 0 && t >= row.moveAt ? row.movedDelay : row.delay;
                const bool lost = !row.loops || (t >= row.loseFrom && t < row.loseTo) ||
                                  static_cast<int64_t>(t) < d + 1'000;
                for (uint32_t c = 0; c < 2; ++c) {
                    buffer[f * 2 + c] = lost ? 0 : device[((t - static_cast<uint64_t>(d)) * 2 + c) % device.size()];
                }
                if (row.wrongAt != 0 && t == row.wrongAt) {
                    buffer[f * 2] ^= 0x100;
                }
            }
            client.readInput(static_cast<Float64>(inputTime), 64, buffer.data());
        }
        EXPECT_TRUE(client.done()) << row.what;
        const PlayReport report = client.report({});
        SCOPED_TRACE(std::string(row.what) + "\n" + report.text());
        EXPECT_EQ(report.comparison, row.comparison);
        EXPECT_EQ(report.framesPlayed, 4'800U);
        if (!row.loops) {
            EXPECT_EQ(report.delay, -1);
            EXPECT_NE(report.text().find("not compared"), std::string::npos);
            continue;
        }
        EXPECT_EQ(report.delay, row.delay);
        EXPECT_EQ(report.framesLost, row.loseTo - row.loseFrom);
        EXPECT_EQ(report.framesWrong, row.wrongAt != 0 ? 1U : 0U);
        EXPECT_EQ(report.delayChanges, row.movedDelay >= 0 ? 1U : 0U);
        if (row.movedDelay >= 0) {
            EXPECT_EQ(report.lastDelay, row.movedDelay);
        }
        EXPECT_EQ(report.framesLostAtStart, 0U) << "what was written before the loop ran is not compared";
    }
}

// --- The IO cycles against the kernel host

// The plug-in is loaded once per process and finds the devices of the first kernel host it
// meets: each test runs in a process of its own (as CTest runs them).
class PlayTest : public testing::Test
{
protected:
    virtual const char* model() const { return "Kelvra-UC3"; }

    void SetUp() override
    {
        const std::filesystem::path installed = programs.root() + AudioServerHost::kDefaultDriverPath;
        std::filesystem::create_directories(installed.parent_path());
        std::filesystem::create_symlink(DRIVER, installed);
        ASSERT_TRUE(kernel.start({model()})) << kernel.log();
        kernel.releaseService();
        std::string error;
        ASSERT_TRUE(host.load(AudioServerHost::kDefaultDriverPath, error)) << error;
        ASSERT_EQ(host.initialize(), 0);
        ASSERT_TRUE(host.waitFor([&](const auto&, const auto&) { return host.devices().size() == 1; }, 30.0));
        host.settle();
        device = host.devices().at(0);
        host.clearRecords();
    }
    void TearDown() override
    {
        host.settle();
        // The device unplugged: the plug-in releases its device before the process ends.
        const test_support::ProgramResult detached =
            programs.run(KERNELCTL, {"--socket", kernel.socket(), "detach", "1"});
        EXPECT_EQ(detached.status, 0) << detached.err;
        EXPECT_TRUE(waitUntil([&] { return host.devices().empty(); }, 10));
        host.settle();
        EXPECT_EQ(kernel.stop(), 0);
    }

    // StartIO gives up when the kernel's real-time thread has not taken the client within half a
    // second (a loaded machine); the audio server asks again, and so does the test.
    static testing::AssertionResult startEngine(IOEngine& engine, audiod::IOClient& client)
    {
        std::string error;
        for (int attempt = 0; attempt < 3; ++attempt) {
            if (engine.start(client, error) == 0) {
                return testing::AssertionSuccess();
            }
        }
        return testing::AssertionFailure() << error;
    }

    template <class Done> static bool waitUntil(Done done, double seconds)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

    test_support::ProgramRunner programs;
    test_support::KernelProcess kernel{programs, KERNELD};
    platform::process::ScopedOverride user{{.name = "coreaudiod", .uid = 0, .root = programs.root()}};
    AudioServerHost host;
    AudioObjectID device = 0;
};

// Frames a loaded machine loses (the kernel's late service periods, a stream the kernel breaks and
// the configuration change that restarts it) come back as silence, never wrong; what does come
// back is exact.
void expectLoopedBack(const PlayReport& report)
{
    SCOPED_TRACE(report.text());
    EXPECT_TRUE(report.comparison == PlayReport::Comparison::bitExact ||
                report.comparison == PlayReport::Comparison::lostFrames);
    EXPECT_EQ(report.framesWrong, 0U);
    EXPECT_GT(report.framesEqual, static_cast<uint64_t>(report.format.rate / 2))
        << "half a second of the tone came back at least";
    ASSERT_GE(report.delay, 0);
    EXPECT_LE(static_cast<uint64_t>(report.delay), report.delayBound())
        << "the round trip within the latencies, safety offsets and a buffer the device reports";
    if (report.delayChanges != 0) {
        EXPECT_LE(static_cast<uint64_t>(std::max<int64_t>(report.lastDelay, 0)), report.delayBound());
    }
    EXPECT_EQ(report.comparedChannels, 2U);
    EXPECT_EQ(report.comparedBits, 24U);
}

TEST_F(PlayTest, ToneComesBackBitExactWithinTheReportedLatencies)
{
    IOEngine engine(host, device);
    PlayRecord client(1.0, nullptr);
    ASSERT_TRUE(startEngine(engine, client));
    const IOFormat format = engine.format();
    EXPECT_EQ(format.bufferFrames, IOEngine::kDefaultBufferFrames) << "the device names no buffer size";
    EXPECT_FALSE(format.bufferFromDevice);
    EXPECT_GT(format.inputLatency + format.outputLatency, 0U);
    EXPECT_TRUE(waitUntil([&] { return client.done(); }, client.plannedSeconds() + 10));
    EXPECT_EQ(engine.stop(), 0);
    const PlayReport report = client.report(engine.counters());
    EXPECT_EQ(report.framesPlayed, static_cast<uint64_t>(format.rate));
    EXPECT_GE(report.framesRecorded, report.framesPlayed);
    EXPECT_GT(report.counters.cycles, report.framesRecorded / format.bufferFrames - 1);
    EXPECT_EQ(report.counters.ioErrors, 0U);
    expectLoopedBack(report);
    // The recording as a file holds every frame read, in 24 bits.
    const wav::Audio recording = client.recording();
    EXPECT_EQ(recording.bits, 24U);
    EXPECT_EQ(recording.frames(), report.framesRecorded);
    std::printf("%s", report.text().c_str());
}

TEST_F(PlayTest, PlayingGoesOnThroughAConfigurationChangeThatKeepsTheFormats)
{
    IOEngine engine(host, device);
    PlayRecord client(1.5, nullptr);
    ASSERT_TRUE(startEngine(engine, client));
    ASSERT_TRUE(waitUntil([&] { return engine.counters().cycles >= 30; }, 10));
    // Writing the clock source asks for a change even for the current source.
    const UInt32 source = 0;
    ASSERT_EQ(host.set(device, {kAudioDevicePropertyClockSource, kAudioObjectPropertyScopeGlobal, 0}, &source, 4), 0);
    ASSERT_TRUE(host.waitFor([](const auto&, const auto& changes) { return !changes.empty(); }, 30.0));
    EXPECT_TRUE(waitUntil([&] { return client.done(); }, client.plannedSeconds() + 10));
    EXPECT_EQ(engine.stop(), 0);
    const PlayReport report = client.report(engine.counters());
    EXPECT_GE(report.runs, 2U);
    EXPECT_FALSE(report.interrupted);
    EXPECT_NE(report.text().find("restarts:    "), std::string::npos) << report.text();
    // Each time line aligned on its own.
    expectLoopedBack(report);
}

// An IO client that only counts its cycles and the time lines it was prepared for.
struct Counting : audiod::IOClient
{
    void prepare(const IOFormat& format, uint32_t run) override
    {
        rate = format.rate;
        runs = run + 1;
    }
    void readInput(Float64, uint32_t, const int32_t*) override { reads.fetch_add(1); }
    void writeMix(Float64, uint32_t frames, int32_t* samples) override
    {
        std::fill(samples, samples + size_t{frames} * 2, 0);
        writes.fetch_add(1);
    }
    Float64 rate = 0;
    uint32_t runs = 0;
    std::atomic<uint64_t> reads{0};
    std::atomic<uint64_t> writes{0};
};

TEST_F(PlayTest, ConfigurationChangeWhileRunningPausesAndRestartsTheCycles)
{
    IOEngine engine(host, device);
    Counting client;
    ASSERT_TRUE(startEngine(engine, client));
    ASSERT_TRUE(waitUntil([&] { return client.reads.load() >= 20; }, 10));

    const Float64 rate = 48'000;
    ASSERT_EQ(host.set(device, {kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal, 0}, &rate, 8),
              0);
    // The rate's change (a loaded machine may add the kernel's own, for a stream it broke).
    const auto rateChange = [](const std::vector<AudioServerHost::ConfigurationChange>& changes) {
        const auto found = std::find_if(changes.begin(), changes.end(), [](const auto& c) { return c.action == 1; });
        return found != changes.end() ? std::optional(*found) : std::nullopt;
    };
    ASSERT_TRUE(host.waitFor([&](const auto&, const auto& changes) { return rateChange(changes).has_value(); }, 30.0));
    const auto change = *rateChange(host.configurationChanges());
    EXPECT_EQ(change.performed, 0);
    ASSERT_EQ(change.restarted.size(), 1U) << "the engine's client was stopped and started";
    EXPECT_EQ(change.restarted[0], 0);
    EXPECT_EQ(engine.format().rate, 48'000.0);
    EXPECT_EQ(client.rate, 48'000.0) << "the client was prepared for the new format";
    EXPECT_GE(client.runs, 2U);
    const uint64_t before = client.reads.load();
    EXPECT_TRUE(waitUntil([&] { return client.reads.load() >= before + 20; }, 10)) << "the cycles go on";
    EXPECT_EQ(engine.stop(), 0);
    const IOEngine::Counters counters = engine.counters();
    EXPECT_GE(counters.runs, 2U);
    EXPECT_EQ(counters.ioErrors, 0U) << "no cycle ran while the device's IO was stopped";
    EXPECT_EQ(client.writes.load(), client.reads.load());
}

TEST_F(PlayTest, StoppingDuringTheFirstCyclesAndAgain)
{
    IOEngine engine(host, device);
    Counting client;
    ASSERT_TRUE(startEngine(engine, client));
    std::string error;
    EXPECT_NE(engine.start(client, error), 0);
    EXPECT_EQ(error, "already running");
    EXPECT_EQ(engine.stop(), 0);
    EXPECT_EQ(engine.stop(), 0) << "a second stop does nothing";
    // The device runs again for a new engine.
    IOEngine again(host, device);
    ASSERT_TRUE(startEngine(again, client));
    EXPECT_TRUE(waitUntil([&] { return client.reads.load() >= 5; }, 10));
}

// --- sonvexa-audiod --play as a program

class PlayProgramTest : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(kernel.start({"Kelvra-UC3"})) << kernel.log(); }
    void TearDown() override { EXPECT_EQ(kernel.stop(), 0); }

    test_support::ProgramResult play(std::vector<std::string> words)
    {
        std::vector<std::string> arguments{"--socket", kernel.socket(), "--play"};
        arguments.insert(arguments.end(), words.begin(), words.end());
        return programs.run(AUDIOD, arguments);
    }

    test_support::ProgramRunner programs;
    test_support::KernelProcess kernel{programs, KERNELD};
};

TEST_F(PlayProgramTest, PlaysATonePrintsTheReportAndWritesTheRecording)
{
    const std::string path = programs.root() + "/recording.wav";
    const test_support::ProgramResult result = play({"--seconds", "1", "--record", path});
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    for (const char* expected : {"played:      44100 frames (1.00 s) of a 997 Hz tone", "IO cycles:", "overloads",
                                 "round trip:", "latency", "safety offset", path.c_str()}) {
        EXPECT_NE(result.out.find(expected), std::string::npos) << expected << "\n" << result.out;
    }
    EXPECT_TRUE(result.out.find("bit-exact") != std::string::npos ||
                result.out.find("equal where it came back") != std::string::npos)
        << result.out;
    wav::Audio recording;
    std::string error;
    ASSERT_TRUE(wav::read(path, recording, error)) << error;
    EXPECT_EQ(recording.rate, 44'100U);
    EXPECT_EQ(recording.channels, 2U);
    EXPECT_GT(recording.frames(), 44'100U);
}

TEST_F(PlayProgramTest, PlaysAWavFileAtItsRate)
{
    // Half a second of a 48 kHz file: the device is set to its rate and it comes back.
    wav::Audio file;
    file.rate = 48'000;
    file.channels = 2;
    file.bits = 24;
    for (uint32_t i = 0; i < 24'000; ++i) {
        // Values that never repeat within the file.
        file.samples.push_back(static_cast<int32_t>(((i * 7'919U + 1'234U) & 0x7FFFFF) << 8));
        file.samples.push_back(static_cast<int32_t>(((i * 104'729U + 99U) & 0x7FFFFF) << 8));
    }
    const std::string in = programs.root() + "/in.wav";
    std::string error;
    ASSERT_TRUE(wav::write(in, file, error)) << error;
    const test_support::ProgramResult result = play({"--wav", in, "--seconds", "0.5"});
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_NE(result.out.find("48000 Hz"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("24000 frames (0.50 s) of the WAV file"), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("DIFFERS"), std::string::npos) << result.out;
}

// The audio server killed in the middle of playing and started again: the kernel gives the dead
// client's place back, and the new one plays and records as the first would have.
TEST_F(PlayProgramTest, KilledWhilePlayingAndStartedAgain)
{
    const pid_t first =
        programs.start(AUDIOD, {"--socket", kernel.socket(), "--play", "--seconds", "30"}, "killed");
    ASSERT_GT(first, 0);
    // Playing once the kernel has attached its client.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (kernel.log().find("-DriverData::attachClient") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_NE(kernel.log().find("-DriverData::attachClient"), std::string::npos) << kernel.log();
    programs.stop(first, SIGKILL, "killed");

    const test_support::ProgramResult again = play({"--seconds", "1"});
    EXPECT_EQ(again.status, 0) << again.out << again.err;
    EXPECT_TRUE(again.out.find("bit-exact") != std::string::npos ||
                again.out.find("equal where it came back") != std::string::npos)
        << again.out;
}

TEST_F(PlayProgramTest, RefusesWhatItCannotUse)
{
    const std::string bad = programs.root() + "/bad.wav";
    const char header[] = {'R', 'I', 'F', 'F', 4, 0, 0, 0, 'W', 'A', 'V', 'E'};
    std::ofstream(bad, std::ios::binary).write(header, sizeof header);
    struct Row
    {
        std::vector<std::string> words;
        int status;
        const char* message;
    };
    for (const Row& row : {Row{{"--wav", bad}, 1, "no \"fmt \" chunk"},
                           Row{{"--wav", programs.root() + "/none.wav"}, 1, "cannot be opened"},
                           Row{{"--seconds", "0"}, 2, "--seconds wants a duration"},
                           Row{{"--seconds", "x"}, 2, "--seconds wants a duration"},
                           Row{{"--list"}, 2, "two different runs"}}) {
        const test_support::ProgramResult result = play(row.words);
        EXPECT_EQ(result.status, row.status) << row.words[0] << ": " << result.err;
        EXPECT_NE(result.err.find(row.message), std::string::npos) << row.words[0] << ": " << result.err;
    }
    const test_support::ProgramResult record = programs.run(AUDIOD, {"--record", "x.wav"});
    EXPECT_EQ(record.status, 2);
    EXPECT_NE(record.err.find("--wav and --record go with --play"), std::string::npos) << record.err;
    const test_support::ProgramResult help = programs.run(AUDIOD, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--play"), std::string::npos);
}

} // namespace
