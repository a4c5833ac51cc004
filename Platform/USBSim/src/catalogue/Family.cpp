// The maker's own devices (vendor 0x0A4A).
#include "Blocks.h"
#include "Models.h"

namespace usbsim::model_data {
namespace {

constexpr uint16_t kVendor = 0x0A4A;

// The family's vendor requests that every model here answers.
constexpr uint8_t kRequestSerialRegister = 0x41; // codec registers (Wolfson/AKM)
constexpr uint8_t kRequestDeepSleep = 0x44;
constexpr uint8_t kRequestStatusRegister = 0x49;
constexpr uint8_t kRequestFirmware = 0x56;

// Firmware reply: b0 build, b1 major, b2 minor * 10 + patch, b3 outputs / 2, b4 inputs / 2 (the
// first five bytes are also the extended-data reply), b5-b7 zero.
std::vector<ReplyRow> familyReplies(std::vector<uint8_t> firmware)
{
    return {
        // Firmware version (8 bytes) and extended data (its first 5 bytes).
        reply(kVendorIn, kRequestFirmware, 0, 0, std::move(firmware)),
        // Status register, read (bit 2: digital input locked; clear) and written, at wIndex 0 and 2.
        reply(kVendorIn, kRequestStatusRegister, std::nullopt, std::nullopt, {0x00}),
        reply(kVendorOut, kRequestStatusRegister, std::nullopt, std::nullopt),
        // Codec registers, read and written.
        reply(kVendorIn, kRequestSerialRegister, std::nullopt, std::nullopt, {0x00, 0x00}),
        reply(kVendorOut, kRequestSerialRegister, std::nullopt, std::nullopt),
        // Deep sleep before the computer sleeps.
        reply(kVendorOut, kRequestDeepSleep, 0, 0),
    };
}

} // namespace

// Kelvra UC3: high speed; control interface 0, output streaming interface 1 and input streaming
// interface 2, each with alternate 1 (2 ch, 16 bits) and alternate 2 (2 ch, 24 bits) at 44.1 and
// 48 kHz. The driver replaces alternate 1 and widens alternate 2's rates (to 192 kHz at high
// speed) by model and revision; at bcd 0200 the device is also treated as its own family.
models::ModelData kelvraUC3(uint16_t bcdDevice)
{
    models::ModelData m;
    m.speed = Speed::high;
    // clang-format off
    m.device = {
        // Device: bLength, bDescriptorType, bcdUSB 2.00, bDeviceClass/SubClass/Protocol per interface, bMaxPacketSize0 64,
        //         idVendor, idProduct, bcdDevice, iManufacturer, iProduct, iSerialNumber, bNumConfigurations
        18, kDescriptorDevice, lo(0x0200), hi(0x0200), 0x00, 0x00, 0x00, 64, lo(kVendor), hi(kVendor), lo(0x6A02), hi(0x6A02), lo(bcdDevice), hi(bcdDevice), 1, 2, 3, 1,
    };
    std::vector<uint8_t> d = {
        // Configuration: bLength, bDescriptorType, wTotalLength (set when finished), bNumInterfaces 3, bConfigurationValue 1,
        //                iConfiguration, bmAttributes self powered, bMaxPower 100 mA
        9, kDescriptorConfiguration, 0, 0, 3, 1, 0, 0xC0, 50,
    };
    // clang-format on
    appendStereoControl(d, 0, 1, 2);
    // Packets per 125 us microframe: 16 bits 26 frames of 4 bytes, 24 bits 26 frames of 6 bytes.
    appendZeroBandwidth(d, 1);
    appendAlternate(d, {.interfaceNumber = 1, .alternate = 1, .terminal = 1, .subframe = 2, .bits = 16,
                        .rates = {44100, 48000}, .endpoint = 0x01, .attributes = kIsocAdaptive, .packetSize = 104});
    appendAlternate(d, {.interfaceNumber = 1, .alternate = 2, .terminal = 1, .rates = {44100, 48000},
                        .endpoint = 0x01, .attributes = kIsocAdaptive, .packetSize = 156});
    appendZeroBandwidth(d, 2);
    appendAlternate(d, {.interfaceNumber = 2, .alternate = 1, .terminal = 5, .subframe = 2, .bits = 16,
                        .rates = {44100, 48000}, .endpoint = 0x82, .packetSize = 104});
    appendAlternate(d, {.interfaceNumber = 2, .alternate = 2, .terminal = 5, .rates = {44100, 48000},
                        .endpoint = 0x82, .packetSize = 156});
    finishConfiguration(d);
    m.configurations = {d};
    m.strings = {{1, "Quenzar"}, {2, "Kelvra UC3"}, {3, "UC3-000117"}};
    // bcd 0200 runs firmware 1.5.1 (build 2): new enough that unconfiguring never resets it;
    // bcd 0100 runs 1.4.3.
    m.replies = bcdDevice >= 0x0200 ? familyReplies({0x02, 0x01, 51, 0x01, 0x01, 0x00, 0x00, 0x00})
                                    : familyReplies({0x00, 0x01, 43, 0x01, 0x01, 0x00, 0x00, 0x00});
    m.frequencyEndpoints = {0x01, 0x82};
    return m;
}

} // namespace usbsim::model_data
