#include "DeviceDescription.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <optional>

#include "APIDeviceInfo.h"

namespace kernel_host {
namespace {

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...)
{
    char text[96];
    va_list arguments;
    va_start(arguments, pattern);
    std::vsnprintf(text, sizeof text, pattern, arguments);
    va_end(arguments);
    return text;
}

// "N" of a count the record gives, with how many are shown when its array holds fewer.
std::string counted(unsigned count, unsigned most, const char* one, const char* many)
{
    std::string text = std::to_string(count) + " " + (count == 1 ? one : many);
    if (count > most) {
        text += " (";
        text += std::to_string(most);
        text += " shown)";
    }
    return text;
}

constexpr uint8_t kAudioClass = 0x01;

// An interface's kind: the audio class's subclasses by name; any other class by its number (and
// name where it has a common one) with its subclass's number.
std::string interfaceKind(std::optional<uint8_t> interfaceClass, uint8_t subclass)
{
    if (interfaceClass == kAudioClass) {
        switch (subclass) {
        case 1:
            return "audio control";
        case 2:
            return "audio streaming";
        case 3:
            return "MIDI streaming";
        default:
            return format("audio class, subclass %u", unsigned{subclass});
        }
    }
    if (!interfaceClass) {
        return format("class unknown, subclass %u", unsigned{subclass});
    }
    const char* name = "";
    switch (*interfaceClass) {
    case 0x03:
        name = "HID ";
        break;
    case 0xFE:
        name = "application-specific ";
        break;
    case 0xFF:
        name = "vendor-specific ";
        break;
    default:
        break;
    }
    return format("%sclass 0x%02X, subclass %u", name, unsigned{*interfaceClass}, unsigned{subclass});
}

std::optional<uint8_t> classOf(std::span<const InterfaceClass> classes, uint8_t configuration, uint8_t number)
{
    for (const InterfaceClass& known : classes) {
        if (known.configuration == configuration && known.number == number) {
            return known.interfaceClass;
        }
    }
    return std::nullopt;
}

std::string streamFormat(const APIStreamingInfo& format)
{
    if (format.bNrChannels == 0 && format.bBitResolution == 0) {
        return "no format";
    }
    std::string text = counted(format.bNrChannels, 255, "channel", "channels") + ", " +
                       std::to_string(format.bBitResolution) + " bits,";
    if (format.mContinuous != 0) {
        text += ' ';
        text += std::to_string(static_cast<uint32_t>(format.mLowerFrequency));
        text += '-';
        text += std::to_string(static_cast<uint32_t>(format.mUpperFrequency));
        text += " Hz continuous";
    }
    const unsigned rates = std::min<unsigned>(format.mNumFrequencies, APIStreamingInfo::kMaxFrequencies);
    for (unsigned f = 0; f < rates; ++f) {
        text += ' ';
        text += std::to_string(static_cast<uint32_t>(format.mFrequencies[f]));
    }
    if (rates > 0) {
        text += " Hz";
    }
    if (format.mNumFrequencies > rates) {
        text += " (";
        text += std::to_string(format.mNumFrequencies);
        text += " rates, ";
        text += std::to_string(rates);
        text += " shown)";
    }
    if (format.mContinuous == 0 && rates == 0) {
        text += " no rates";
    }
    return text;
}

std::string endpoint(const APIEndpointInfo& e)
{
    const uint16_t size = e.wMaxPacketSize;
    std::string text =
        format("0x%02X %s %u bytes", e.bEndpointAddress, e.isInput() ? "in" : "out", unsigned{size & 0x7FFu});
    // Bits 11-12: extra transactions per microframe.
    const unsigned transactions = ((size >> 11) & 0x3) + 1;
    if (transactions > 1) {
        text += format(" x%u", transactions);
    }
    return text;
}

} // namespace

std::string describeDevice(std::span<const uint8_t> record, std::span<const InterfaceClass> classes)
{
    if (record.size() != sizeof(APIDeviceInfo)) {
        return "not a device description: " + std::to_string(record.size()) + " bytes, not " +
               std::to_string(sizeof(APIDeviceInfo)) + "\n";
    }
    APIDeviceInfo info;
    std::memcpy(&info, record.data(), sizeof info);
    std::string text = format("device %04X:%04X release %04X, ", unsigned{info.idVendor}, unsigned{info.idProduct},
                              unsigned{info.bcdDevice}) +
                       counted(info.mNumConfigurations, APIDeviceInfo::kMaxConfigurations, "configuration",
                               "configurations") +
                       "\n";
    const unsigned configurations = std::min<unsigned>(info.mNumConfigurations, APIDeviceInfo::kMaxConfigurations);
    for (unsigned c = 0; c < configurations; ++c) {
        const APIConfigInfo& config = info.mConfigurations[c];
        text += format("configuration %u (index %u), ", config.bConfigurationValue, c) +
                counted(config.mNumInterfaces, APIConfigInfo::kMaxInterfaces, "interface", "interfaces") + "\n";
        const unsigned interfaces = std::min<unsigned>(config.mNumInterfaces, APIConfigInfo::kMaxInterfaces);
        for (unsigned i = 0; i < interfaces; ++i) {
            const APIInterfaceInfo& interface = config.mInterfaces[i];
            // The record keeps interface i at position i; a position the driver left empty reads
            // as another number.
            if (interface.bInterfaceNumber != i) {
                text += format("  interface %u: not described\n", i);
                continue;
            }
            text += format("  interface %u: ", i) +
                    interfaceKind(classOf(classes, config.bConfigurationValue, interface.bInterfaceNumber),
                                  interface.bInterfaceSubClass);
            if (interface.mNumAlternates == 0) {
                text += "\n";
                continue;
            }
            text += ", " + counted(interface.mNumAlternates, APIInterfaceInfo::kMaxAlternates, "alternate",
                                   "alternates") +
                    "\n";
            const unsigned alternates =
                std::min<unsigned>(interface.mNumAlternates, APIInterfaceInfo::kMaxAlternates);
            for (unsigned a = 0; a < alternates; ++a) {
                const APIInterfaceAlternateInfo& alternate = interface.mAlternates[a];
                text += format("    alternate %u: ", alternate.bAlternateSetting) + streamFormat(alternate.mStreaming);
                const unsigned endpoints =
                    std::min<unsigned>(alternate.mNumEndpoints, APIInterfaceAlternateInfo::kMaxEndpoints);
                text += "; " + counted(alternate.mNumEndpoints, APIInterfaceAlternateInfo::kMaxEndpoints,
                                       "endpoint", "endpoints");
                for (unsigned e = 0; e < endpoints; ++e) {
                    text += (e == 0 ? ": " : ", ") + endpoint(alternate.mEndpoints[e]);
                }
                text += "\n";
            }
        }
    }
    return text;
}

} // namespace kernel_host
