#include "usbsim/Catalogue.h"

#include "Models.h"
#include "usbsim/models/BitPlaneBulkDevice.h"
#include "usbsim/models/ClassAudioDevice.h"
#include "usbsim/models/StreamingDevice.h"
#include "usbsim/models/TableDevice.h"

namespace usbsim {
namespace {

// A table model made from its data function and that function's arguments; one whose data says
// what its streams carry streams.
template <auto Data, auto... Arguments> std::shared_ptr<DeviceModel> table()
{
    return models::makeTableModel(Data(Arguments...));
}

std::vector<CatalogueEntry> build()
{
    std::vector<CatalogueEntry> entries = {
        // Models of the bus and streaming tests.
        {"class-audio",
         "class-compliant stereo audio, full speed, 16/24 bits at 44.1/48 kHz, output looped back to input",
         []() -> std::shared_ptr<DeviceModel> { return std::make_shared<models::ClassAudioDevice>(); }},
        {"class-audio-feedback", "the same with an explicit feedback endpoint for its output (PID 3002)",
         []() -> std::shared_ptr<DeviceModel> {
             models::ClassAudioDevice::Options options;
             options.productID = 0x3002;
             options.feedback = true;
             return std::make_shared<models::ClassAudioDevice>(options);
         }},
        {"0A4A:FFDD", "the maker's bulk-streaming interface, high speed, 512-byte packets",
         []() -> std::shared_ptr<DeviceModel> { return std::make_shared<models::BitPlaneBulkDevice>(); }},
        {"0A4A:FFDD@0200", "the same with 1024-byte packets (bcd 0200)",
         []() -> std::shared_ptr<DeviceModel> {
             models::BitPlaneBulkDevice::Options options;
             options.packetSize = 1024;
             options.bcdDevice = 0x0200;
             return std::make_shared<models::BitPlaneBulkDevice>(options);
         }},
        {"0A4A:FFDD@0300",
         "the same with 512-byte packets (bcd 0300) and a keep-alive isochronous OUT endpoint of 4 bytes "
         "on interface 0, whose packets it counts",
         []() -> std::shared_ptr<DeviceModel> {
             models::BitPlaneBulkDevice::Options options;
             options.bcdDevice = 0x0300;
             options.keepAlivePacket = 4;
             return std::make_shared<models::BitPlaneBulkDevice>(options);
         }},
        {"class-audio-hs",
         "high speed stereo 16/24 bits at 44.1/48/96 kHz, data pipes every microframe (5-7 frames each at "
         "48 kHz), implicit feedback, output looped back to input",
         table<model_data::highSpeedAudio, 0x3101, 1>},
        {"class-audio-hs-interval4",
         "as class-audio-hs with both data pipes at bInterval 4 (one packet per millisecond)",
         table<model_data::highSpeedAudio, 0x3104, 4>},
        {"class-audio-hs-32ch",
         "high speed, 32 channels each way in microframe packets: 16 bits at 44.1-96 kHz, 24 bits at "
         "44.1/48 kHz; output looped back to input",
         table<model_data::wideAudio>},
        {"class-audio-out-only",
         "full speed stereo 16/24 bits at 44.1/48 kHz, an output streaming interface only (sync to output)",
         table<model_data::outputOnlyAudio>},
        {"077D:0420", "the plain class-compliant device under 077D:0420, shown by its product name \"Mixer Deck\"",
         table<model_data::productNamed>},
        // Models of the kernel driver's paths.
        {"class-audio-24",
         "plain class-compliant device, full speed, 2 ch 24 bits at 44.1/48 kHz: no per-model handling",
         table<model_data::plainAudio24>},
        {"class-audio-midi",
         "as class-audio-24 (2912:3025) with a MIDI streaming interface 3 of two 64-byte bulk endpoints: "
         "records what the host writes with its bus time, sends the packets a test queues",
         table<model_data::audioWithMidi>},
        // The maker's own.
        {"Kelvra-UC3",
         "bcd 0200, high speed: own family unlisted (interfaces relabelled, substitute alternates to "
         "192 kHz, SetConfiguration always, SET_INTERFACE to the device, firmware scan; firmware 1.5: "
         "never reset on unconfigure), vendor 0x41/0x44/0x49/0x56",
         table<model_data::kelvraUC3, 0x0200>},
        {"Kelvra-UC3@0100",
         "bcd 0100, high speed: 192 kHz capable, not of the family; high-speed substitute (interface 2 "
         "alternate 1 cleared), firmware scan (1.4.3), SET_INTERFACE to the device",
         table<model_data::kelvraUC3, 0x0100>},
        {"0A4A:F1A0", "high speed: the Kelvra UC3 bcd 0100 substitute and start-up (firmware scan 1.2.0)",
         table<model_data::familyF1A0>},
        {"Crimson-SPL",
         "high speed, 6 ch 24 bits each way (output alternate with a second 4 ch record for "
         "176.4/192 kHz): substitute, default 6 outputs below 176.4 kHz, explicit feedback",
         table<model_data::crimsonSPL>},
        {"Pellirun", "high speed, 16 ch out / 24 ch in at 24 bits, 44.1/48 kHz: substitute, defaults 24/16",
         table<model_data::pellirun>},
        {"Tessaly",
         "high speed, vendor interfaces 0-2 (class 0xFF search), MIDI 3, alternates 3-8 one rate each, "
         "interrupt streaming endpoints, no format descriptors",
         table<model_data::tessaly>},
        // TEAC.
        {"US-322",
         "high speed, vendor interfaces 1/2 (subclass 2, class descriptors) and 3 (MIDI) relabelled, class "
         "0xFF search, substitute 2 ch 24 bits to 96 kHz where built, firmware string (0x56, text at byte 4), 0x49",
         table<model_data::teac, 0x8040>},
        {"US-366",
         "as the US-322 with 6-channel input packets, 192 kHz substitute, AKM codec registers (0x41), "
         "settle delay 100 ms",
         table<model_data::teac, 0x8041>},
        {"UH-7000", "as the US-366 (relabelled MIDI interface 3, 192 kHz substitute, AKM)",
         table<model_data::teac, 0x8048>},
        {"US-1200", "as the US-322 (the mixer modes choose 2 x 2 or 6 x 2 channels)",
         table<model_data::teac, 0x8046>},
        // Digidesign.
        {"MBox",
         "full speed, vendor interface descriptors at offsets 9/18/27 raw-patched to control + streaming "
         "alternates 0/1; fixed 2 ch 24-bit format on interface 1 alternate 1 (both directions), rates forced to 44.1/48, "
         "class 0xFF search, class SET_CUR wIndex 0x0500 at stream start, reset on unconfigure",
         table<model_data::mbox>},
        {"MBox2",
         "full speed, control 1, streaming 2-5 with format-less alternates 2/3/6 (fixed format added, "
         "32 kHz dropped); start-up poll of vendor IN 0x85 (answers 0,1,1,2, 300 ms apart); "
         "SET_INTERFACE sequences and SET_CUR rate to endpoints 0x03/0x85/0x86",
         table<model_data::mbox2>},
        // Other makers.
        {"USBPre",
         "full speed; format descriptors at 292/338/565/608 say 20 bits (bytes 298/344/571/614 patched to "
         "24), rates forced to 32/44.1/48; PIC commands 129/130 at start (bus power 250), 129 after "
         "configuration",
         table<model_data::usbPre>},
        {"1ACC:0049", "full speed; byte 164 (bInterval 0 of the output endpoint) patched to 1, so the output survives",
         table<model_data::acc0049>},
        {"1604:8006",
         "full speed; first interface (offset 9) vendor-labelled, patched to streaming; alternate 1 "
         "cleared, alternate 2 (labelled streaming, no format) gets the fixed format; output only",
         table<model_data::dev1604_8006>},
        {"0CCD:0014", "full speed, 16/24-bit stereo at 44.1/48/96 kHz: both searches find 24 bits, 16-bit "
                      "alternates dropped; monitor vendor OUT 0x01",
         table<model_data::ccd0014>},
        {"03EB:4308",
         "high speed; alternate 1 of interfaces 1 and 2 says 2 ch in its second record, fixed to 8 "
         "(packets for 8 ch 24 bits to 96 kHz); GET_CUR stalls",
         table<model_data::atmel4308>},
        {"0A4E:4040",
         "high speed; 88.2/96 kHz dropped, mono 24-bit (Access coders), 4-ch input (channel swap), "
         "rate on the output pipe; monitor vendor IN 0x81 (0x30) / OUT 0x01 (0x20)",
         table<model_data::dev0A4E_4040>},
        {"Extigy", "full speed; 6-ch output record cleared, MIDI interface 3 neutralised",
         table<model_data::extigy>},
        {"0763:2003",
         "full speed, 16/24-bit stereo to 96 kHz: first-scan defaults 2/2 at 16 bits, 44.1 kHz; streams "
         "16 bits (its 24-bit layout is not known)",
         table<model_data::dev0763_2003>},
        {"XMOS",
         "high speed audio class 2 (protocol 0x20, descriptors the class 1 parser misreads): substitute 2 ch "
         "32-bit 44.1-192 kHz on interfaces 1/2; a second configuration whose read always stalls",
         table<model_data::xmos>},
        {"1935:0006",
         "Elektron, bcd 0003 (the driver streams it): vendor interfaces 0 (in)/1 (out) with alternates 1-7 "
         "built at 48 kHz, control 2, MIDI 3, vendor port 4; UID (8 bytes) and 32-byte name requests; "
         "streams at 48 kHz in microframe packets, output behind checked 104-byte headers with 2 extra "
         "bytes per frame",
         table<model_data::elektron, 0x0006, 0x0003>},
        {"1935:0006@0002", "Elektron, bcd 0002: as the 1935:0006 (the driver never streams it)",
         table<model_data::elektron, 0x0006, 0x0002>},
        {"1935:0006@0001", "Elektron, bcd 0001: the first revision's tables; a 5-byte name",
         table<model_data::elektron, 0x0006, 0x0001>},
        {"1935:0004", "Elektron, bcd 0003: as the 1935:0006", table<model_data::elektron, 0x0004, 0x0003>},
        {"1935:0008", "Elektron, bcd 0003: as the 1935:0006", table<model_data::elektron, 0x0008, 0x0003>},
        {"US-144-MKII",
         "high speed bulk-in / isochronous-out device: output interface 0, input interface 1 with an "
         "isochronous IN (taken as feedback: frames per microframe) and a bulk IN endpoint",
         table<model_data::us144mk2>},
        {"0644:8030",
         "as the US-144-MKII with its feedback endpoint at bInterval 4 (frames per millisecond)",
         table<model_data::dev0644_8030>},
        {"Mindprint",
         "full speed, 44.1/48/96 kHz at an exact clock; stereo 16/24 bits in the device's channel order "
         "(the host swaps), mono 24 bits high-low-middle",
         table<model_data::mindprint>},
        {"0926:0201",
         "high speed: substitute clears alternates 1, output alternate 2 4 ch 24 bits at 32-192 kHz",
         table<model_data::dev0926_0201>},
        {"Play-16/24",
         "full speed, two output interfaces (headphones 1, speakers 2) rebuilt at 16/24 bits to 96 kHz; "
         "output on interface 1",
         table<model_data::play1624>},
        {"1235:0002", "full speed stereo 24-bit: a class or vendor request sooner than 2 ms after the last stalls",
         table<model_data::dev1235_0002>},
        {"0499:100B", "full speed stereo: the sampling-frequency SET_CUR stalls its first 40 times",
         table<model_data::dev0499_100B>},
        {"041E:3020", "full speed stereo; SET_CUR to unit 0x12 after configuration, to unit 0x1F at stream start",
         table<model_data::dev041E_3020>},
        {"0746:7701", "full speed stereo; SET_CUR 0x02FF to unit 2 before streaming",
         table<model_data::dev0746_7701>},
        {"0010:1101", "full speed stereo; SET_CUR 0x02FF to unit 2 before streaming",
         table<model_data::dev0010_1101>},
        {"0582:000F", "full speed stereo; SET_CUR 0x0201 and 0x0202 to unit 9 before streaming",
         table<model_data::dev0582_000F>},
        {"Veskaro", "the maker's high-speed class device, 6 inputs whose digital pair is silenced without a lock",
         table<model_data::veskaro>},
    };
    for (auto& entry : entries) {
        const auto descriptor = entry.make()->deviceDescriptor();
        entry.vendor = descriptor.idVendor;
        entry.product = descriptor.idProduct;
        entry.bcdDevice = descriptor.bcdDevice;
    }
    return entries;
}

} // namespace

const std::vector<CatalogueEntry>& catalogue()
{
    static const std::vector<CatalogueEntry> entries = build();
    return entries;
}

const CatalogueEntry* findModel(std::string_view name)
{
    for (const auto& entry : catalogue()) {
        if (name == entry.name) {
            return &entry;
        }
    }
    return nullptr;
}

std::shared_ptr<DeviceModel> makeModel(std::string_view name)
{
    const auto* entry = findModel(name);
    return entry != nullptr ? entry->make() : nullptr;
}

} // namespace usbsim
