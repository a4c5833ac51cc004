// The kernel host program and its control command, run as processes.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

#include "IOKit/IOKitLib.h"
#include "ProgramRunner.h"
#include "platform/IOKitUser.h"
#include "usbsim/Catalogue.h"
#include "usbsim/models/FileModel.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using Result = test_support::ProgramResult;

class KernelHostProgramTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_FALSE(root.empty());
    }

    void TearDown() override
    {
        if (daemon > 0) {
            stopDaemon(SIGKILL);
        }
        platform::iokit::user::setKernelSocketPath("");
    }

    Result run(const std::string& program, const std::vector<std::string>& arguments)
    {
        return programs.run(program, arguments);
    }

    Result control(const std::vector<std::string>& words)
    {
        std::vector<std::string> arguments = {"--socket", socket};
        arguments.insert(arguments.end(), words.begin(), words.end());
        return run(KERNELCTL, arguments);
    }

    // Starts the kernel host and waits until it answers on its socket.
    void startDaemon(std::vector<std::string> arguments)
    {
        arguments.insert(arguments.begin(), {"--socket", socket, "--log", root + "/kernel.log"});
        daemon = programs.start(KERNELD, arguments, "daemon");
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (control({"devices"}).status != 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(20ms);
        }
    }

    Result stopDaemon(int signal)
    {
        Result r = programs.stop(daemon, signal, "daemon");
        daemon = -1;
        return r;
    }

    // USB device services the kernel host publishes (the root hub among them).
    int usbDevices()
    {
        io_iterator_t iterator = 0;
        if (IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceMatching("IOUSBDevice"), &iterator) !=
            kIOReturnSuccess) {
            return -1;
        }
        int n = 0;
        while (io_object_t s = IOIteratorNext(iterator)) {
            IOObjectRelease(s);
            ++n;
        }
        IOObjectRelease(iterator);
        return n;
    }

    test_support::ProgramRunner programs;
    const std::string& root = programs.root();
    std::string socket = root + "/kernel.socket";
    pid_t daemon = -1;
};

TEST_F(KernelHostProgramTest, HelpExplainsEveryOption)
{
    const Result r = run(KERNELD, {"--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* option :
         {"--socket", "--kexts", "--kext", "--device", "--clock-ppm", "--device-file", "--speed", "--side-file",
          "--list-models", "--log", "--user-log-lines", "--help"}) {
        EXPECT_NE(r.out.find(option), std::string::npos) << option;
    }
    // Every model of the catalogue, one line each: name, VID:PID, bcd, description.
    const Result models = run(KERNELD, {"--list-models"});
    EXPECT_EQ(models.status, 0);
    // Built with appends: GCC 12 at -O3 warns falsely (-Wrestrict) on "literal" + string here.
    std::string listing(1, '\n');
    listing += models.out;
    for (const auto& entry : usbsim::catalogue()) {
        char ids[32];
        std::snprintf(ids, sizeof ids, " %04X:%04X %04X ", entry.vendor, entry.product, entry.bcdDevice);
        std::string start(1, '\n');
        start += entry.name;
        start += ' ';
        const size_t at = listing.find(start);
        ASSERT_NE(at, std::string::npos) << entry.name;
        const std::string line = models.out.substr(at, models.out.find('\n', at) - at);
        EXPECT_NE(line.find(ids), std::string::npos) << line;
        EXPECT_NE(line.find(entry.description), std::string::npos) << line;
    }
    EXPECT_EQ(run(KERNELCTL, {"--help"}).status, 0);
}

TEST_F(KernelHostProgramTest, RefusesClearlyWhatItCannotDo)
{
    struct Case
    {
        std::vector<std::string> arguments;
        std::string message;
    };
    const std::string notDescriptors = root + "/not-descriptors";
    std::ofstream(notDescriptors) << "abc";
    const Case cases[] = {
        {{"--device-file", notDescriptors},
         notDescriptors + ": offset 0: the file holds 3 bytes, too short for the 18-byte device descriptor"},
        {{"--device-file", notDescriptors, "--speed", "low"}, "not --speed full|high or --side-file SIDE: --speed"},
        {{"--speed", "high", "--device-file", notDescriptors}, "--speed belongs to the --device-file before it"},
        {{"--kext", "/Library/Extensions/Missing.kext"},
         "cannot load the bundle /Library/Extensions/Missing.kext"},
        {{"--kexts", "/No/Such/Folder"}, "the bundle folder is missing"},
        {{"--device", "no-such-model"}, "no such device model: no-such-model"},
        {{"--clock-ppm", "100", "--device", "Kelvra-UC3"}, "--clock-ppm belongs to the --device before it"},
        {{"--device", "Kelvra-UC3", "--clock-ppm", "100001"}, "not a clock error in ppm: 100001 (-100000 to 100000)"},
        {{"--frobnicate"}, "unknown option"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> arguments = {"--socket", socket};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        const Result r = run(KERNELD, arguments);
        EXPECT_EQ(r.status, 1) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    // A second host on a socket in use.
    startDaemon({});
    const Result second = run(KERNELD, {"--socket", socket});
    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.err.find("in use by a running kernel host"), std::string::npos) << second.err;
    // Anything else at the socket path.
    std::ofstream(root + "/plain-file") << "x";
    const Result taken = run(KERNELD, {"--socket", root + "/plain-file"});
    EXPECT_EQ(taken.status, 1);
    EXPECT_NE(taken.err.find("taken by another file"), std::string::npos) << taken.err;
    EXPECT_EQ(control({"frobnicate"}).status, 1);
}

TEST_F(KernelHostProgramTest, AttachesAndDetachesDevicesAndStopsCleanly)
{
    startDaemon({"--device", "class-audio"});
    platform::iokit::user::setKernelSocketPath(socket);
    const int withOne = usbDevices();
    ASSERT_GE(withOne, 1);
    Result devices = control({"devices"});
    EXPECT_EQ(devices.out, "1 class-audio 2912:3001\n");

    const Result attached = control({"attach", "0A4A:FFDD"});
    EXPECT_EQ(attached.status, 0);
    EXPECT_EQ(attached.out, "2\n");
    EXPECT_EQ(usbDevices(), withOne + 1);
    EXPECT_EQ(control({"attach", "no-such-model"}).status, 1);

    // A device that comes and goes is announced to a listening process on its run loop.
    IONotificationPortRef port = IONotificationPortCreate(kIOMasterPortDefault);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(port),
                       kCFRunLoopDefaultMode);
    int arrived = 0;
    int left = 0;
    auto count = [](void* refcon, io_iterator_t iterator) {
        while (io_object_t s = IOIteratorNext(iterator)) {
            IOObjectRelease(s);
            ++*static_cast<int*>(refcon);
        }
    };
    io_iterator_t published = 0;
    io_iterator_t terminated = 0;
    ASSERT_EQ(IOServiceAddMatchingNotification(port, kIOPublishNotification, IOServiceMatching("IOUSBDevice"),
                                               count, &arrived, &published),
              kIOReturnSuccess);
    ASSERT_EQ(IOServiceAddMatchingNotification(port, kIOTerminatedNotification,
                                               IOServiceMatching("IOUSBDevice"), count, &left, &terminated),
              kIOReturnSuccess);
    count(&arrived, published); // the devices already there
    arrived = 0;
    EXPECT_EQ(control({"attach", "class-audio-feedback"}).out, "3\n");
    EXPECT_EQ(control({"detach", "3"}).status, 0);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while ((arrived < 1 || left < 1) && std::chrono::steady_clock::now() < deadline) {
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.05, true);
    }
    EXPECT_EQ(arrived, 1);
    EXPECT_EQ(left, 1);
    IOObjectRelease(published);
    IOObjectRelease(terminated);
    IONotificationPortDestroy(port);

    // Numbers that do not fit a device number are refused, not cut to one that does.
    for (const char* number : {"4294967297", "-4294967295", "99999999999999999999", "0", "1x"}) {
        SCOPED_TRACE(number);
        const Result refused = control({"detach", number});
        EXPECT_EQ(refused.status, 1);
        EXPECT_NE(refused.err.find("no such device"), std::string::npos) << refused.err;
    }
    EXPECT_EQ(control({"detach", "1"}).status, 0);
    EXPECT_EQ(control({"detach", "1"}).status, 1);
    devices = control({"devices"});
    EXPECT_EQ(devices.out, "2 0A4A:FFDD 0A4A:FFDD\n");
    EXPECT_EQ(usbDevices(), withOne);
    EXPECT_NE(control({"models"}).out.find("0A4A:FFDD@0200"), std::string::npos);

    const Result stopped = stopDaemon(SIGTERM);
    EXPECT_EQ(stopped.status, 0);
    std::ifstream log(root + "/kernel.log");
    const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("listening on " + socket), std::string::npos);
    EXPECT_NE(text.find("SIGTERM, shutting down"), std::string::npos);
    EXPECT_FALSE(fs::exists(socket));
}

// The model's descriptors file and side file under `folder`.
void writeModelFiles(const std::string& model, const std::string& folder)
{
    const auto compiled = usbsim::makeModel(model);
    ASSERT_TRUE(compiled);
    fs::create_directories(folder);
    const auto bytes = usbsim::models::descriptorFile(*compiled);
    std::ofstream(folder + "/descriptors", std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    std::ofstream(folder + "/side") << usbsim::models::sideFile(*compiled);
}

// A device read from files is driven as the compiled model is: the same description, byte for
// byte, read back through the driver's user clients; files that are not a descriptor set are
// refused with what is wrong and where.
TEST_F(KernelHostProgramTest, DevicesFromFilesAreDrivenAndDescribed)
{
    const std::string folder = root + "/uc3";
    writeModelFiles("Kelvra-UC3", folder);
    startDaemon({"--device", "Kelvra-UC3", "--device-file", folder + "/descriptors", "--side-file", folder + "/side"});
    EXPECT_EQ(control({"devices"}).out, "1 Kelvra-UC3 0A4A:6A02\n2 file:" + folder + "/descriptors 0A4A:6A02\n");

    const Result compiled = control({"describe", "1", "--raw"});
    const Result fromFile = control({"describe", "2", "--raw"});
    EXPECT_EQ(compiled.status, 0) << compiled.err;
    EXPECT_EQ(compiled.out.size(), 98'964u);
    EXPECT_TRUE(compiled.out == fromFile.out) << "the raw descriptions differ";

    const Result text = control({"describe", "2"});
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_EQ(text.out,
              "device 0A4A:6A02 release 0200, 1 configuration\n"
              "configuration 1 (index 0), 3 interfaces\n"
              "  interface 0: audio control\n"
              "  interface 1: audio streaming, 2 alternates\n"
              "    alternate 2: 2 channels, 24 bits, 44100 48000 88200 96000 176400 192000 Hz; 1 endpoint: 0x01 "
              "out 156 bytes\n"
              "    alternate 2: 2 channels, 24 bits, 44100 48000 Hz; 1 endpoint: 0x01 out 156 bytes\n"
              "  interface 2: audio streaming, 2 alternates\n"
              "    alternate 2: 2 channels, 24 bits, 44100 48000 88200 96000 176400 192000 Hz; 1 endpoint: 0x82 "
              "in 156 bytes\n"
              "    alternate 2: 2 channels, 24 bits, 44100 48000 Hz; 1 endpoint: 0x82 in 156 bytes\n");
    const Result both = control({"describe"});
    EXPECT_EQ(both.out, text.out + "\n" + text.out);

    // The control command reads the files; what it cannot take it refuses, attaching nothing.
    std::string wrongType(18, '\0');
    wrongType[0] = 18;
    wrongType[1] = 2;
    std::ofstream(root + "/wrong-type") << wrongType;
    struct Case
    {
        std::vector<std::string> words;
        std::string message;
    } cases[] = {
        {{"attach-file", root + "/wrong-type"},
         root + "/wrong-type: offset 1: device descriptor bDescriptorType is 2, not 1 (device)\n"},
        {{"attach-file", root + "/missing"}, root + "/missing: cannot be read\n"},
        {{"attach-file", folder + "/descriptors", "--speed", "fast"},
         "not --speed full|high or --side-file SIDE: --speed\n"},
        {{"describe", "7"}, "no such device: 7 (see \"devices\")\n"},
        {{"describe", "--raw"}, "sonvexa-kernelctl: --raw describes one device: name it (see \"devices\")\n"},
        {{"describe", "1", "2"}, "sonvexa-kernelctl: describe takes one device number and --raw\n"},
        {{"attach-file", "/" + std::string(300, 'd')},
         "sonvexa-kernelctl: longer than the kernel host takes (256 bytes): /" + std::string(300, 'd') + "\n"},
    };
    for (const auto& c : cases) {
        const Result r = control(c.words);
        EXPECT_EQ(r.status, 1) << c.message;
        EXPECT_EQ(r.err, c.message);
    }
    // A full-speed copy of the same files is another device to the driver; the host gets the
    // file's path made plain.
    const Result attached = control({"attach-file", folder + "/../uc3/./descriptors", "--speed", "full"});
    EXPECT_EQ(attached.out, "3\n") << attached.err;
    EXPECT_EQ(control({"describe", "3"}).status, 0);

    stopDaemon(SIGTERM);
    std::ifstream log(root + "/kernel.log");
    const std::string kernelLog((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_NE(kernelLog.find("attached device 2 (file:" + folder +
                             "/descriptors: 0A4A:6A02, high speed, 1 configuration(s), 4 stream format(s), "
                             "6 reply row(s))"),
              std::string::npos)
        << kernelLog;
    EXPECT_NE(kernelLog.find("attached device 3 (file:" + folder + "/descriptors: 0A4A:6A02, full speed"),
              std::string::npos);
}

// An interface is named by its class and subclass: a firmware-update interface (application-specific
// class, subclass 1) beside the audio interfaces does not read as audio control.
TEST_F(KernelHostProgramTest, DescribeNamesTheInterfaceClass)
{
    const std::string folder = root + "/dfu";
    writeModelFiles("0763:2003", folder);
    std::ifstream in(folder + "/descriptors", std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t config = 18; // after the device descriptor; the model has one configuration
    ASSERT_GT(bytes.size(), config + 9);
    ASSERT_EQ(bytes[config + 1], 2);
    // One more interface after the last: the firmware-update interface and its functional descriptor.
    const uint8_t number = bytes[config + 4];
    const uint8_t dfu[] = {9, 4, number, 0, 0, 0xFE, 1, 1, 0, 9, 0x21, 0x0B, 0xFF, 0, 0, 4, 0x10, 1};
    const size_t total = bytes[config + 2] | (bytes[config + 3] << 8);
    bytes.insert(bytes.begin() + static_cast<long>(config + total), std::begin(dfu), std::end(dfu));
    bytes[config + 2] = static_cast<uint8_t>((total + sizeof dfu) & 0xFF);
    bytes[config + 3] = static_cast<uint8_t>((total + sizeof dfu) >> 8);
    bytes[config + 4] = static_cast<uint8_t>(number + 1);
    std::ofstream(folder + "/descriptors", std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    startDaemon({"--device-file", folder + "/descriptors", "--side-file", folder + "/side"});

    const Result text = control({"describe", "1"});
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_NE(text.out.find("  interface 0: audio control\n"), std::string::npos) << text.out;
    std::string line = "  interface ";
    line += std::to_string(number);
    line += ": application-specific class 0xFE, subclass 1\n";
    EXPECT_NE(text.out.find(line), std::string::npos) << text.out;
}

} // namespace
