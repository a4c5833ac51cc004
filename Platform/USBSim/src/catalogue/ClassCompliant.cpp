// Devices that follow the audio class and get no per-model handling.
#include "Blocks.h"
#include "Models.h"

namespace usbsim::model_data {

// Stereo out and in, 24 bits only, 44.1 and 48 kHz, full speed: the driver's default request
// (2 channels at 24 bits) finds its alternates at once.
models::ModelData plainAudio24()
{
    models::ModelData m;
    m.speed = Speed::full;
    // clang-format off
    m.device = {
        // Device: bLength, bDescriptorType, bcdUSB 1.10, bDeviceClass/SubClass/Protocol per interface, bMaxPacketSize0 64,
        //         idVendor, idProduct, bcdDevice 1.00, iManufacturer, iProduct, iSerialNumber, bNumConfigurations
        18, kDescriptorDevice, lo(0x0110), hi(0x0110), 0x00, 0x00, 0x00, 64, lo(0x2912), hi(0x2912), lo(0x3024), hi(0x3024), lo(0x0100), hi(0x0100), 1, 2, 3, 1,
    };
    std::vector<uint8_t> d = {
        // Configuration: bLength, bDescriptorType, wTotalLength (set when finished), bNumInterfaces 3, bConfigurationValue 1,
        //                iConfiguration, bmAttributes bus powered, bMaxPower 100 mA
        9, kDescriptorConfiguration, 0, 0, 3, 1, 0, 0x80, 50,
    };
    // clang-format on
    appendStereoControl(d, 0, 1, 2);
    appendZeroBandwidth(d, 1);
    // Output: 2 ch, 3-byte subframes, 24 bits; 49 frames of 6 bytes per 1 ms frame.
    appendAlternate(d, {.interfaceNumber = 1, .alternate = 1, .terminal = 1, .rates = {44100, 48000},
                        .endpoint = 0x01, .attributes = kIsocAdaptive, .packetSize = 294});
    appendZeroBandwidth(d, 2);
    appendAlternate(d, {.interfaceNumber = 2, .alternate = 1, .terminal = 5, .rates = {44100, 48000},
                        .endpoint = 0x82, .attributes = kIsocAsync, .packetSize = 294});
    finishConfiguration(d);
    m.configurations = {d};
    m.strings = {{1, "Sonvexa Test Audio"}, {2, "USB Audio 24"}, {3, "0024"}};
    m.frequencyEndpoints = {0x01, 0x82};
    return m;
}

} // namespace usbsim::model_data
