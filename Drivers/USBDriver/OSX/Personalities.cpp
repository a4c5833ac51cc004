#include "Personalities.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace {

// --- Feature records of the maker's family devices, as their descriptors describe them.

template <size_t N>
constexpr APIStreamingInfo format(uint8_t bits, uint8_t channels, const uint32_t (&rates)[N])
{
    static_assert(N <= APIStreamingInfo::kMaxFrequencies);
    APIStreamingInfo info{};
    info.bBitResolution = bits;
    info.bNrChannels = channels;
    info.mNumFrequencies = static_cast<uint8_t>(N);
    for (size_t i = 0; i < N; ++i) {
        info.mFrequencies[i] = rates[i];
    }
    return info;
}

constexpr uint8_t kNoInterface = 0xFF;

struct Record
{
    APIStreamingInfo fullSpeedIn;
    APIStreamingInfo fullSpeedOut;
    APIStreamingInfo highSpeedIn;
    APIStreamingInfo highSpeedOut;
    uint8_t inInterface, inAlternate;
    uint8_t outInterface, outAlternate;
    std::initializer_list<APISpecificFeatures::Flag> flags;
    // A vendor MIDI interface; none by default (no interface has this number), so a device
    // without one never has another interface taken for its MIDI.
    uint8_t midiInterface = kNoInterface, midiAlternate = 0;
};

constexpr APISpecificFeatures features(const Record& r)
{
    APISpecificFeatures f{};
    f.mFormats[APISpecificFeatures::kFullSpeed][APISpecificFeatures::kInput] = r.fullSpeedIn;
    f.mFormats[APISpecificFeatures::kFullSpeed][APISpecificFeatures::kOutput] = r.fullSpeedOut;
    f.mFormats[APISpecificFeatures::kHighSpeed][APISpecificFeatures::kInput] = r.highSpeedIn;
    f.mFormats[APISpecificFeatures::kHighSpeed][APISpecificFeatures::kOutput] = r.highSpeedOut;
    f.mInInterface = r.inInterface;
    f.mInAlternate = r.inAlternate;
    f.mOutInterface = r.outInterface;
    f.mOutAlternate = r.outAlternate;
    f.mMidiInterface = r.midiInterface;
    f.mMidiAlternate = r.midiAlternate;
    for (const auto flag : r.flags) {
        f.mFlags[flag] = 1;
    }
    f.mValid = 1;
    return f;
}

constexpr uint32_t kRates48[] = {44100, 48000};
constexpr uint32_t kRates96[] = {44100, 48000, 88200, 96000};
constexpr uint32_t kRates192[] = {44100, 48000, 88200, 96000, 176400, 192000};

// Crimson SPL: output streaming interface 1 and input streaming interface 2, alternate 2 each;
// at high speed 6 channels of 24 bits, input up to 192 kHz and output up to 96 kHz (its 176.4 and
// 192 kHz output carries 4 channels); at full speed 2 channels at 44.1 and 48 kHz. Of the family
// (firmware scan, status register and digital lock), and like the family's Morvane its streaming
// interfaces are found by their own class; its substitute descriptors are built.
constexpr APISpecificFeatures kCrimsonSPLFeatures = features({
    .fullSpeedIn = format(24, 2, kRates48),
    .fullSpeedOut = format(24, 2, kRates48),
    .highSpeedIn = format(24, 6, kRates192),
    .highSpeedOut = format(24, 6, kRates96),
    .inInterface = 2, .inAlternate = 2,
    .outInterface = 1, .outAlternate = 2,
    .flags = {APISpecificFeatures::kCorlanthCompatible, APISpecificFeatures::kMorvaneCompatible,
              APISpecificFeatures::kCan192, APISpecificFeatures::kBuildDummyDescriptor},
});

// Fendrimo: output streaming interface 1 and input streaming interface 2, alternate 2 each;
// 2 channels of 24 bits, up to 96 kHz at high speed, 44.1 and 48 kHz at full speed.
constexpr APISpecificFeatures kFendrimoFeatures = features({
    .fullSpeedIn = format(24, 2, kRates48),
    .fullSpeedOut = format(24, 2, kRates48),
    .highSpeedIn = format(24, 2, kRates96),
    .highSpeedOut = format(24, 2, kRates96),
    .inInterface = 2, .inAlternate = 2,
    .outInterface = 1, .outAlternate = 2,
    .flags = {},
});

// Tessaly: vendor-specific interfaces, output 1 and input 2, with one alternate per rate (3 for
// 44.1 kHz up to 8 for 192 kHz) of 2 channels of 32 bits and no format descriptors of their own,
// so its descriptors are built for it.
constexpr APISpecificFeatures kTessalyFeatures = features({
    .fullSpeedIn = format(32, 2, kRates192),
    .fullSpeedOut = format(32, 2, kRates192),
    .highSpeedIn = format(32, 2, kRates192),
    .highSpeedOut = format(32, 2, kRates192),
    .inInterface = 2, .inAlternate = 3,
    .outInterface = 1, .outAlternate = 3,
    .flags = {APISpecificFeatures::kBuildDummyDescriptor},
});

// --- Clock-source settings: bytes 0..2 are the device-specific flags A, B and C.

// Crimson SPL: internal clock (flag A) with the digital input watched (flag B).
constexpr uint8_t kCrimsonSPLClock[kClockSourceSettingsSize] = {1, 1, 0};

} // namespace

// One row per device; the model names come from the registry of device models.
constexpr KextPersonality kPersonalities[] = {
    {kModel0010_1101, kAnyRelease, nullptr, {}},
    {kModel03EB_4308, kAnyRelease, nullptr, {}},
    {kModelExtigy, kAnyRelease, nullptr, {}},
    {kModel041E_3020, kAnyRelease, nullptr, {}},
    {kModel041E_3040, kAnyRelease, nullptr, {}},
    {kModel0451_3200, kAnyRelease, nullptr, {}},
    {kModel0499_1004, kAnyRelease, nullptr, {}},
    {kModel0499_100A, kAnyRelease, nullptr, {}},
    {kModel0499_100B, kAnyRelease, nullptr, {}},
    {kModel0562_03EB, kAnyRelease, nullptr, {}},
    {kModel0582_000F, kAnyRelease, nullptr, {}},
    {kModel0582_0019, kAnyRelease, nullptr, {}},
    {kModelUS122L, kAnyRelease, nullptr, {}},
    {kModelUS144, kAnyRelease, nullptr, {}},
    {kModel0644_8017, kAnyRelease, nullptr, {}},
    {kModel0644_801E, kAnyRelease, nullptr, {}},
    {kModelUS144MKII, kAnyRelease, nullptr, {}},
    {kModelUS122MKII, kAnyRelease, nullptr, {}},
    {kModel0644_8025, kAnyRelease, nullptr, {}},
    {kModel0644_8030, kAnyRelease, nullptr, {}},
    {kModel0644_8034, kAnyRelease, nullptr, {}},
    {kModelUS600, kAnyRelease, nullptr, {}},
    {kModelUS322, kAnyRelease, nullptr, {}},
    {kModelUS366, kAnyRelease, nullptr, {}},
    {kModelUS1200, kAnyRelease, nullptr, {}},
    {kModelUH7000, kAnyRelease, nullptr, {}},
    {kModelMusePocket, kAnyRelease, nullptr, {}},
    {kModel0746_7701, kAnyRelease, nullptr, {}},
    {kModel0763_2003, kAnyRelease, nullptr, {}},
    {kModel0763_2024, kAnyRelease, nullptr, {}},
    {kModel0763_4002, kAnyRelease, nullptr, {}},
    {kModel077D_0223, kAnyRelease, nullptr, {}},
    {kModel077D_0420, kAnyRelease, nullptr, {}},
    {kModel077D_07AF, kAnyRelease, nullptr, {}},
    {kModel22F0_0008, kAnyRelease, nullptr, {}},
    {kModel22F0_000F, kAnyRelease, nullptr, {}},
    {kModelUSBPre, kAnyRelease, nullptr, {}},
    {kModel0926_0201, kAnyRelease, nullptr, {}},
    {kModel09E8_0010, kAnyRelease, nullptr, {}},
    {kModelACV0, kAnyRelease, nullptr, {}},
    {kModel0A4A_0014, kAnyRelease, nullptr, {}},
    {kModelFendrimo, kAnyRelease, &kFendrimoFeatures, {.customName = "Fendrimo"}},
    {kModelPellirun, kAnyRelease, nullptr, {}},
    {kModel0A4A_5B01, kAnyRelease, nullptr, {}},
    {kModelKelvraUC3, 0x0100, nullptr, {}},
    {kModelKelvraUC3, 0x0200, nullptr, {.msWait = 20}},
    {kModel0A4A_A192, kAnyRelease, nullptr, {}},
    {kModelTessaly, kAnyRelease, &kTessalyFeatures, {}},
    {kModelVeskaro, kAnyRelease, nullptr, {}},
    {kModelCrimsonSPL, kAnyRelease, &kCrimsonSPLFeatures, {.msWait = 50, .clockSource = kCrimsonSPLClock}},
    {kModel0A4A_CF00, kAnyRelease, nullptr, {}},
    {kModel0A4A_D064, kAnyRelease, nullptr, {}},
    {kModel0A4A_DA01, kAnyRelease, nullptr, {}},
    {kModel0A4A_F1A0, kAnyRelease, nullptr, {}},
    {kModel0A4A_FFDD, kAnyRelease, nullptr, {}},
    {kModel0A4A_FFD2, kAnyRelease, nullptr, {}},
    {kModel0A4A_FF4D, kAnyRelease, nullptr, {}},
    {kModel0A4A_FF01, kAnyRelease, nullptr, {}},
    {kModel0A4E_2040, kAnyRelease, nullptr, {}},
    {kModel0A4E_4040, kAnyRelease, nullptr, {}},
    {kModel0A92_0021, kAnyRelease, nullptr, {}},
    {kModel0A92_0031, kAnyRelease, nullptr, {}},
    {kModel0A92_0051, kAnyRelease, nullptr, {}},
    {kModel0A92_0061, kAnyRelease, nullptr, {}},
    {kModel0A92_0071, kAnyRelease, nullptr, {}},
    {kModel0A92_0081, kAnyRelease, nullptr, {}},
    {kModel0A92_0111, kAnyRelease, nullptr, {}},
    {kModelDigitalSoundStation, kAnyRelease, nullptr, {}},
    {kModelMaya51USB, kAnyRelease, nullptr, {}},
    {kModel0CCD_0014, kAnyRelease, nullptr, {}},
    {kModelAureon51, kAnyRelease, nullptr, {}},
    {kModel0D8C_000C, kAnyRelease, nullptr, {}},
    {kModelMBox, kAnyRelease, nullptr, {}},
    {kModelMBox2, kAnyRelease, nullptr, {}},
    {kModel1210_0001, kAnyRelease, nullptr, {}},
    {kModel1210_0002, kAnyRelease, nullptr, {}},
    {kModel1210_0018, kAnyRelease, nullptr, {}},
    {kModel1210_0019, kAnyRelease, nullptr, {}},
    {kModel1210_001A, kAnyRelease, nullptr, {}},
    {kModel1235_0001, kAnyRelease, nullptr, {}},
    {kModel1235_0002, kAnyRelease, nullptr, {}},
    {kModelMicFace, kAnyRelease, nullptr, {}},
    {kModel133E_0815, kAnyRelease, nullptr, {}},
    {kModel133E_0816, kAnyRelease, nullptr, {}},
    {kModelMindprint, kAnyRelease, nullptr, {}},
    {kModel1346_100A, kAnyRelease, nullptr, {}},
    {kModel13B2_0030, kAnyRelease, nullptr, {}},
    {kModel145F_0090, kAnyRelease, nullptr, {}},
    {kModel1502_2AAE, kAnyRelease, nullptr, {}},
    {kModel15E4_0026, kAnyRelease, nullptr, {}},
    {kModel15E4_002C, kAnyRelease, nullptr, {}},
    {kModel15E4_0040, kAnyRelease, nullptr, {}},
    {kModel15E4_0070, kAnyRelease, nullptr, {}},
    {kModel15E4_0071, kAnyRelease, nullptr, {}},
    {kModel15E4_0074, kAnyRelease, nullptr, {}},
    {kModel15E4_0075, kAnyRelease, nullptr, {}},
    {kModel15E4_0078, kAnyRelease, nullptr, {}},
    {kModel15E4_0079, kAnyRelease, nullptr, {}},
    {kModel1604_8006, kAnyRelease, nullptr, {}},
    {kModel1654_0104, kAnyRelease, nullptr, {}},
    {kModel170B_0020, kAnyRelease, nullptr, {}},
    {kModel170B_0021, kAnyRelease, nullptr, {}},
    {kModel1935_0004, kAnyRelease, nullptr, {}},
    {kModel1935_0006, kAnyRelease, nullptr, {}},
    {kModel1935_0008, kAnyRelease, nullptr, {}},
    {kModel1ACC_0049, kAnyRelease, nullptr, {}},
    {kModel1ACC_0102, kAnyRelease, nullptr, {}},
    {kModel1ACC_0103, kAnyRelease, nullptr, {}},
    {kModel1D03_005C, kAnyRelease, nullptr, {}},
    {kModel200C_1005, kAnyRelease, nullptr, {}},
    {kModel200C_1006, kAnyRelease, nullptr, {}},
    {kModel200C_1007, kAnyRelease, nullptr, {}},
    {kModel200C_1008, kAnyRelease, nullptr, {}},
    {kModel200C_1009, kAnyRelease, nullptr, {}},
    {kModel200C_100A, kAnyRelease, nullptr, {}},
    {kModelEbox44, kAnyRelease, nullptr, {}},
    {kModel200C_1019, kAnyRelease, nullptr, {}},
    {kModel200C_101F, kAnyRelease, nullptr, {}},
    {kModel200C_1024, kAnyRelease, nullptr, {}},
    {kModel200C_1025, kAnyRelease, nullptr, {}},
    {kModel200C_1026, kAnyRelease, nullptr, {}},
    {kModel200C_1027, kAnyRelease, nullptr, {}},
    {kModelPlay1624, kAnyRelease, nullptr, {}},
    {kModel200C_1037, kAnyRelease, nullptr, {}},
    {kModelXMOS, kAnyRelease, nullptr, {}},
    // Models with mixer controls.
    {kModel0A4A_AA03, kAnyRelease, nullptr, {}},
    {kModel0A4A_AA04, kAnyRelease, nullptr, {}},
    {kModel0A4A_AA05, kAnyRelease, nullptr, {}},
    {kModel0A4A_AA08, kAnyRelease, nullptr, {}},
    {kModel200C_100E, kAnyRelease, nullptr, {}},
    {kModel200C_1014, kAnyRelease, nullptr, {}},
    {kModel0948_1105, kAnyRelease, nullptr, {}},
    {kModel0948_1110, kAnyRelease, nullptr, {}},
    {kModel0C7D_000A, kAnyRelease, nullptr, {}},
    {kModel0C7D_000B, kAnyRelease, nullptr, {}},
    {kModel0471_0155, kAnyRelease, nullptr, {}},
    {kModel0A92_0091, kAnyRelease, nullptr, {}},
    {kModel2573_0008, kAnyRelease, nullptr, {}},
    {kModel077D_041A, kAnyRelease, nullptr, {}},
    {kModel0C45_167F, kAnyRelease, nullptr, {}},
    {kModel0A92_00B1, kAnyRelease, nullptr, {}},
    {kModel041E_3010, kAnyRelease, nullptr, {}},
    {kModel0582_001A, kAnyRelease, nullptr, {}},
    {kModel06F1_A011, kAnyRelease, nullptr, {}},
    {kModel04BB_0E05, kAnyRelease, nullptr, {}},
};
static_assert(modelsRegistered(kPersonalities));

std::span<const KextPersonality> kextPersonalities()
{
    return kPersonalities;
}

std::string personalityName(const KextPersonality& personality)
{
    std::string name = personality.model.name;
    if (personality.bcdDevice != kAnyRelease) {
        char release[32];
        std::snprintf(release, sizeof release, " (release %04X)", static_cast<unsigned>(personality.bcdDevice));
        name += release;
    }
    return name;
}

namespace {

std::string escaped(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string base64(const uint8_t* bytes, size_t length)
{
    static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < length; i += 3) {
        const uint32_t a = bytes[i];
        const uint32_t b = i + 1 < length ? bytes[i + 1] : 0;
        const uint32_t c = i + 2 < length ? bytes[i + 2] : 0;
        const uint32_t triple = a << 16 | b << 8 | c;
        out += kDigits[triple >> 18 & 63];
        out += kDigits[triple >> 12 & 63];
        out += i + 1 < length ? kDigits[triple >> 6 & 63] : '=';
        out += i + 2 < length ? kDigits[triple & 63] : '=';
    }
    return out;
}

std::string key(const std::string& indent, const std::string& name)
{
    return indent + "<key>" + escaped(name) + "</key>\n";
}

std::string integer(const std::string& indent, const std::string& name, long long value)
{
    return key(indent, name) + indent + "<integer>" + std::to_string(value) + "</integer>\n";
}

std::string string(const std::string& indent, const std::string& name, const std::string& value)
{
    return key(indent, name) + indent + "<string>" + escaped(value) + "</string>\n";
}

std::string data(const std::string& indent, const std::string& name, const void* bytes, size_t length)
{
    return key(indent, name) + indent + "<data>" + base64(static_cast<const uint8_t*>(bytes), length) +
           "</data>\n";
}

} // namespace

std::string kextInfoPlist(const std::string& executable)
{
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                       "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                       "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                       "<plist version=\"1.0\">\n<dict>\n";
    const std::string in1 = "  ";
    text += string(in1, "CFBundleIdentifier", kKextBundleIdentifier);
    text += string(in1, "CFBundleExecutable", executable);
    text += string(in1, "CFBundleName", "VKSonvexa");
    text += string(in1, "CFBundlePackageType", "KEXT");
    text += string(in1, "CFBundleShortVersionString", "3.3.11");
    text += key(in1, "IOKitPersonalities") + in1 + "<dict>\n";
    const std::string in2 = "    ";
    const std::string in3 = "      ";
    const std::string in4 = "        ";
    for (const KextPersonality& p : kextPersonalities()) {
        text += key(in2, personalityName(p)) + in2 + "<dict>\n";
        text += string(in3, "CFBundleIdentifier", kKextBundleIdentifier);
        text += string(in3, "IOClass", kKextServiceClass);
        text += string(in3, "IOProviderClass", "IOUSBDevice");
        text += integer(in3, "idVendor", p.model.vendor);
        text += integer(in3, "idProduct", p.model.product);
        if (p.bcdDevice != kAnyRelease) {
            text += integer(in3, "bcdDevice", p.bcdDevice);
        }
        text += key(in3, "QzSpecific") + in3 + "<dict>\n";
        const QzSpecificValues& q = p.specific;
        if (p.features != nullptr) {
            text += data(in4, "kConfigurationData", p.features, kConfigurationDataSize);
        }
        if (q.clockSource != nullptr) {
            text += data(in4, "kClockSourceSettings", q.clockSource, kClockSourceSettingsSize);
        }
        if (q.msWait >= 0) {
            text += integer(in4, "kMsWait", q.msWait);
        }
        if (q.inACR >= 0) {
            text += integer(in4, "kInACR", q.inACR);
        }
        if (q.customName != nullptr) {
            text += string(in4, "kCustomName", q.customName);
        }
        text += in3 + "</dict>\n" + in2 + "</dict>\n";
    }
    text += in1 + "</dict>\n</dict>\n</plist>\n";
    return text;
}
