// The device models that get behaviour of their own somewhere in the package: one USB vendor and
// product id and one name each. Every per-model table names its rows by these constants, so what
// a model gets is one search for its constant, and checks at compile time that each model it names
// is registered here (modelsRegistered). A model known by no name of its own is named by its ids.
// Compiled into the kernel extension, both plug-ins and the control application.
//
// Thread safety: constants and pure functions; any thread, including the real-time one.
#pragma once

#include <cstddef>
#include <cstdint>

struct DeviceModel
{
    uint16_t vendor;
    uint16_t product;
    const char* name;

    constexpr bool is(uint16_t vendorID, uint16_t productID) const
    {
        return vendor == vendorID && product == productID;
    }
    // Vendor and product in one value, for tables keyed on the model.
    constexpr uint32_t key() const { return (uint32_t{vendor} << 16) | product; }
};

// TEAC
inline constexpr DeviceModel kModelUS122L{0x0644, 0x800E, "US-122L"};
inline constexpr DeviceModel kModelUS144{0x0644, 0x800F, "US-144"};
inline constexpr DeviceModel kModelUS144MKII{0x0644, 0x8020, "US-144 MKII"};
inline constexpr DeviceModel kModelUS122MKII{0x0644, 0x8021, "US-122 MKII"};
inline constexpr DeviceModel kModelUS600{0x0644, 0x8035, "US-600"};
inline constexpr DeviceModel kModelUS322{0x0644, 0x8040, "US-322"};
inline constexpr DeviceModel kModelUS366{0x0644, 0x8041, "US-366"};
inline constexpr DeviceModel kModelUS1200{0x0644, 0x8046, "US-1200"};
inline constexpr DeviceModel kModelUH7000{0x0644, 0x8048, "UH-7000"};
// Digidesign
inline constexpr DeviceModel kModelMBox{0x0DBA, 0x1000, "MBox"};
inline constexpr DeviceModel kModelMBox2{0x0DBA, 0x3000, "MBox2"};
// The maker's own
inline constexpr DeviceModel kModelFendrimo{0x0A4A, 0x1016, "Fendrimo"};
inline constexpr DeviceModel kModelPellirun{0x0A4A, 0x2416, "Pellirun"};
inline constexpr DeviceModel kModelKelvraUC3{0x0A4A, 0x6A02, "Kelvra UC3"};
inline constexpr DeviceModel kModelVeskaro{0x0A4A, 0xAFFE, "Veskaro"};
// Other makers
inline constexpr DeviceModel kModelMusePocket{0x06F8, 0xC000, "Muse Pocket"};
inline constexpr DeviceModel kModel0763_2003{0x0763, 0x2003, "0763:2003"};
inline constexpr DeviceModel kModelACV0{0x09E8, 0x207F, "ACV0"};
inline constexpr DeviceModel kModel0A4E_2040{0x0A4E, 0x2040, "0A4E:2040"};
inline constexpr DeviceModel kModel0A4E_4040{0x0A4E, 0x4040, "0A4E:4040"};
inline constexpr DeviceModel kModelDigitalSoundStation{0x0C45, 0x17EF, "Digital Sound Station"};
inline constexpr DeviceModel kModelMaya51USB{0x0C45, 0x17FD, "Maya 5.1 USB"};
inline constexpr DeviceModel kModelAureon51{0x0CCD, 0x0028, "Aureon 5.1"};
inline constexpr DeviceModel kModelMicFace{0x1290, 0x2100, "MicFace"};
inline constexpr DeviceModel kModelMindprint{0x133E, 0x6000, "Mindprint"};
inline constexpr DeviceModel kModel1935_0008{0x1935, 0x0008, "1935:0008"}; // Elektron, ten inputs
inline constexpr DeviceModel kModelEbox44{0x200C, 0x1018, "Ebox-44"};

// Descriptor fix-ups, substitute descriptors and interface choice of the kernel driver
inline constexpr DeviceModel kModelUSBPre{0x0926, 0x0100, "USBPre"};
inline constexpr DeviceModel kModel0926_0201{0x0926, 0x0201, "0926:0201"};
inline constexpr DeviceModel kModel1935_0004{0x1935, 0x0004, "1935:0004"}; // Elektron
inline constexpr DeviceModel kModel1935_0006{0x1935, 0x0006, "1935:0006"}; // Elektron
inline constexpr DeviceModel kModelCrimsonSPL{0x0A4A, 0xC150, "Crimson SPL"};
inline constexpr DeviceModel kModelTessaly{0x0A4A, 0xA300, "Tessaly"};
inline constexpr DeviceModel kModel0A4A_F1A0{0x0A4A, 0xF1A0, "0A4A:F1A0"};
inline constexpr DeviceModel kModel0A4A_D064{0x0A4A, 0xD064, "0A4A:D064"};
inline constexpr DeviceModel kModel0A4A_DA01{0x0A4A, 0xDA01, "0A4A:DA01"};
inline constexpr DeviceModel kModel0A4A_CF00{0x0A4A, 0xCF00, "0A4A:CF00"};
inline constexpr DeviceModel kModelExtigy{0x041E, 0x3000, "Extigy"};
inline constexpr DeviceModel kModel041E_3040{0x041E, 0x3040, "041E:3040"};
inline constexpr DeviceModel kModel03EB_4308{0x03EB, 0x4308, "03EB:4308"};
inline constexpr DeviceModel kModel0451_3200{0x0451, 0x3200, "0451:3200"};
inline constexpr DeviceModel kModel0499_1004{0x0499, 0x1004, "0499:1004"};
inline constexpr DeviceModel kModel0499_100A{0x0499, 0x100A, "0499:100A"};
inline constexpr DeviceModel kModel0499_100B{0x0499, 0x100B, "0499:100B"};
inline constexpr DeviceModel kModel0562_03EB{0x0562, 0x03EB, "0562:03EB"};
inline constexpr DeviceModel kModel0582_0019{0x0582, 0x0019, "0582:0019"};
inline constexpr DeviceModel kModel0A92_0021{0x0A92, 0x0021, "0A92:0021"};
inline constexpr DeviceModel kModel0A92_0031{0x0A92, 0x0031, "0A92:0031"};
inline constexpr DeviceModel kModel0A92_0051{0x0A92, 0x0051, "0A92:0051"};
inline constexpr DeviceModel kModel0A92_0071{0x0A92, 0x0071, "0A92:0071"};
inline constexpr DeviceModel kModel0A92_0081{0x0A92, 0x0081, "0A92:0081"};
inline constexpr DeviceModel kModel0A92_0111{0x0A92, 0x0111, "0A92:0111"};
inline constexpr DeviceModel kModel0CCD_0014{0x0CCD, 0x0014, "0CCD:0014"};
inline constexpr DeviceModel kModel0D8C_000C{0x0D8C, 0x000C, "0D8C:000C"};
inline constexpr DeviceModel kModel1210_0001{0x1210, 0x0001, "1210:0001"};
inline constexpr DeviceModel kModel1210_0002{0x1210, 0x0002, "1210:0002"};
inline constexpr DeviceModel kModel1235_0001{0x1235, 0x0001, "1235:0001"};
inline constexpr DeviceModel kModel1235_0002{0x1235, 0x0002, "1235:0002"};
inline constexpr DeviceModel kModel133E_0815{0x133E, 0x0815, "133E:0815"};
inline constexpr DeviceModel kModel133E_0816{0x133E, 0x0816, "133E:0816"};
inline constexpr DeviceModel kModel145F_0090{0x145F, 0x0090, "145F:0090"};
inline constexpr DeviceModel kModel1502_2AAE{0x1502, 0x2AAE, "1502:2AAE"};
inline constexpr DeviceModel kModel1604_8006{0x1604, 0x8006, "1604:8006"};
inline constexpr DeviceModel kModel1654_0104{0x1654, 0x0104, "1654:0104"};
inline constexpr DeviceModel kModel170B_0020{0x170B, 0x0020, "170B:0020"};
inline constexpr DeviceModel kModel170B_0021{0x170B, 0x0021, "170B:0021"};
inline constexpr DeviceModel kModel1ACC_0049{0x1ACC, 0x0049, "1ACC:0049"};
inline constexpr DeviceModel kModel1ACC_0102{0x1ACC, 0x0102, "1ACC:0102"};
inline constexpr DeviceModel kModel1ACC_0103{0x1ACC, 0x0103, "1ACC:0103"};
inline constexpr DeviceModel kModel1D03_005C{0x1D03, 0x005C, "1D03:005C"};
inline constexpr DeviceModel kModel200C_1005{0x200C, 0x1005, "200C:1005"};
inline constexpr DeviceModel kModel200C_1006{0x200C, 0x1006, "200C:1006"};
inline constexpr DeviceModel kModel200C_1007{0x200C, 0x1007, "200C:1007"};
inline constexpr DeviceModel kModel200C_1008{0x200C, 0x1008, "200C:1008"};
inline constexpr DeviceModel kModel200C_1009{0x200C, 0x1009, "200C:1009"};
inline constexpr DeviceModel kModel200C_100A{0x200C, 0x100A, "200C:100A"};
inline constexpr DeviceModel kModel200C_1019{0x200C, 0x1019, "200C:1019"};
inline constexpr DeviceModel kModel200C_101F{0x200C, 0x101F, "200C:101F"};
inline constexpr DeviceModel kModel200C_1024{0x200C, 0x1024, "200C:1024"};
inline constexpr DeviceModel kModel200C_1025{0x200C, 0x1025, "200C:1025"};
inline constexpr DeviceModel kModel200C_1026{0x200C, 0x1026, "200C:1026"};
inline constexpr DeviceModel kModel200C_1027{0x200C, 0x1027, "200C:1027"};
inline constexpr DeviceModel kModelPlay1624{0x200C, 0x1030, "Play 16/24"};
inline constexpr DeviceModel kModel200C_1037{0x200C, 0x1037, "200C:1037"};
inline constexpr DeviceModel kModelXMOS{0x20B1, 0x0002, "XMOS"};
// Requests at configuration and stream start, input post-processing and level meters
inline constexpr DeviceModel kModel041E_3020{0x041E, 0x3020, "041E:3020"};
inline constexpr DeviceModel kModel0746_7701{0x0746, 0x7701, "0746:7701"};
inline constexpr DeviceModel kModel0010_1101{0x0010, 0x1101, "0010:1101"};
inline constexpr DeviceModel kModel0582_000F{0x0582, 0x000F, "0582:000F"};
inline constexpr DeviceModel kModel1346_100A{0x1346, 0x100A, "1346:100A"};
inline constexpr DeviceModel kModel0A4A_FFDD{0x0A4A, 0xFFDD, "0A4A:FFDD"};
// Bulk streaming: the pair encoder fed from host channels 8 and 9
inline constexpr DeviceModel kModel0A4A_FF4D{0x0A4A, 0xFF4D, "0A4A:FF4D"};
inline constexpr DeviceModel kModel0A4A_FF01{0x0A4A, 0xFF01, "0A4A:FF01"};
// Capabilities, start-up commands and default stream settings of the kernel device
inline constexpr DeviceModel kModel0644_8017{0x0644, 0x8017, "0644:8017"};
inline constexpr DeviceModel kModel0644_801E{0x0644, 0x801E, "0644:801E"};
inline constexpr DeviceModel kModel0644_8025{0x0644, 0x8025, "0644:8025"};
inline constexpr DeviceModel kModel0644_8030{0x0644, 0x8030, "0644:8030"};
inline constexpr DeviceModel kModel0644_8034{0x0644, 0x8034, "0644:8034"};
inline constexpr DeviceModel kModel0A4A_0014{0x0A4A, 0x0014, "0A4A:0014"};
inline constexpr DeviceModel kModel0A4A_5B01{0x0A4A, 0x5B01, "0A4A:5B01"};
inline constexpr DeviceModel kModel0A4A_A192{0x0A4A, 0xA192, "0A4A:A192"};
inline constexpr DeviceModel kModel0763_4002{0x0763, 0x4002, "0763:4002"};
inline constexpr DeviceModel kModel09E8_0010{0x09E8, 0x0010, "09E8:0010"};
inline constexpr DeviceModel kModel1210_0018{0x1210, 0x0018, "1210:0018"};
inline constexpr DeviceModel kModel1210_0019{0x1210, 0x0019, "1210:0019"};
inline constexpr DeviceModel kModel1210_001A{0x1210, 0x001A, "1210:001A"};
inline constexpr DeviceModel kModel13B2_0030{0x13B2, 0x0030, "13B2:0030"};
inline constexpr DeviceModel kModel15E4_0026{0x15E4, 0x0026, "15E4:0026"};
inline constexpr DeviceModel kModel15E4_002C{0x15E4, 0x002C, "15E4:002C"};
inline constexpr DeviceModel kModel15E4_0040{0x15E4, 0x0040, "15E4:0040"};
inline constexpr DeviceModel kModel15E4_0070{0x15E4, 0x0070, "15E4:0070"};
inline constexpr DeviceModel kModel15E4_0071{0x15E4, 0x0071, "15E4:0071"};
inline constexpr DeviceModel kModel15E4_0074{0x15E4, 0x0074, "15E4:0074"};
inline constexpr DeviceModel kModel15E4_0075{0x15E4, 0x0075, "15E4:0075"};
inline constexpr DeviceModel kModel15E4_0078{0x15E4, 0x0078, "15E4:0078"};
inline constexpr DeviceModel kModel15E4_0079{0x15E4, 0x0079, "15E4:0079"};

// Reset whenever it is unconfigured
inline constexpr DeviceModel kModel0A92_0061{0x0A92, 0x0061, "0A92:0061"};

// Channel settings and latencies of the user-side device
inline constexpr DeviceModel kModel0763_2024{0x0763, 0x2024, "0763:2024"};
inline constexpr DeviceModel kModel22F0_0008{0x22F0, 0x0008, "22F0:0008"};
inline constexpr DeviceModel kModel22F0_000F{0x22F0, 0x000F, "22F0:000F"};
inline constexpr DeviceModel kModel077D_0420{0x077D, 0x0420, "077D:0420"};
inline constexpr DeviceModel kModel077D_0223{0x077D, 0x0223, "077D:0223"};
inline constexpr DeviceModel kModel077D_07AF{0x077D, 0x07AF, "077D:07AF"};

// Safety offsets of the audio server's device
inline constexpr DeviceModel kModel0A4A_FFD2{0x0A4A, 0xFFD2, "0A4A:FFD2"};

// Mixer controls of the kernel device
inline constexpr DeviceModel kModel0A4A_AA03{0x0A4A, 0xAA03, "0A4A:AA03"};
inline constexpr DeviceModel kModel0A4A_AA04{0x0A4A, 0xAA04, "0A4A:AA04"};
inline constexpr DeviceModel kModel0A4A_AA05{0x0A4A, 0xAA05, "0A4A:AA05"};
inline constexpr DeviceModel kModel0A4A_AA08{0x0A4A, 0xAA08, "0A4A:AA08"};
inline constexpr DeviceModel kModel200C_100E{0x200C, 0x100E, "200C:100E"};
inline constexpr DeviceModel kModel200C_1014{0x200C, 0x1014, "200C:1014"};
inline constexpr DeviceModel kModel0948_1105{0x0948, 0x1105, "0948:1105"};
inline constexpr DeviceModel kModel0948_1110{0x0948, 0x1110, "0948:1110"};
inline constexpr DeviceModel kModel0C7D_000A{0x0C7D, 0x000A, "0C7D:000A"};
inline constexpr DeviceModel kModel0C7D_000B{0x0C7D, 0x000B, "0C7D:000B"};
inline constexpr DeviceModel kModel0471_0155{0x0471, 0x0155, "0471:0155"};
inline constexpr DeviceModel kModel0A92_0091{0x0A92, 0x0091, "0A92:0091"};
inline constexpr DeviceModel kModel2573_0008{0x2573, 0x0008, "2573:0008"};
inline constexpr DeviceModel kModel077D_041A{0x077D, 0x041A, "077D:041A"};
inline constexpr DeviceModel kModel0C45_167F{0x0C45, 0x167F, "0C45:167F"};
inline constexpr DeviceModel kModel0A92_00B1{0x0A92, 0x00B1, "0A92:00B1"};
inline constexpr DeviceModel kModel041E_3010{0x041E, 0x3010, "041E:3010"};
inline constexpr DeviceModel kModel0582_001A{0x0582, 0x001A, "0582:001A"};
inline constexpr DeviceModel kModel06F1_A011{0x06F1, 0xA011, "06F1:A011"};
inline constexpr DeviceModel kModel04BB_0E05{0x04BB, 0x0E05, "04BB:0E05"};

// Every registered model.
inline constexpr DeviceModel kDeviceModels[] = {
    kModelUS122L,     kModelUS144,      kModelUS144MKII,
    kModelUS122MKII,  kModelUS600,      kModelUS322,
    kModelUS366,      kModelUS1200,     kModelUH7000,
    kModelMBox,       kModelMBox2,      kModelFendrimo,
    kModelPellirun,   kModelKelvraUC3,  kModelVeskaro,
    kModelMusePocket, kModel0763_2003,  kModelACV0,
    kModel0A4E_2040,  kModel0A4E_4040,  kModelDigitalSoundStation,
    kModelMaya51USB,  kModelAureon51,   kModelMicFace,
    kModelMindprint,  kModel1935_0008,  kModelEbox44,
    kModelUSBPre,     kModel0926_0201,  kModel1935_0004,
    kModel1935_0006,  kModelCrimsonSPL, kModelTessaly,
    kModel0A4A_F1A0,  kModel0A4A_D064,  kModel0A4A_DA01,
    kModel0A4A_CF00,  kModelExtigy,     kModel041E_3040,
    kModel03EB_4308,  kModel0451_3200,  kModel0499_1004,
    kModel0499_100A,  kModel0499_100B,  kModel0562_03EB,
    kModel0582_0019,  kModel0A92_0021,  kModel0A92_0031,
    kModel0A92_0051,  kModel0A92_0071,  kModel0A92_0081,
    kModel0A92_0111,  kModel0CCD_0014,  kModel0D8C_000C,
    kModel1210_0001,  kModel1210_0002,  kModel1235_0001,
    kModel1235_0002,  kModel133E_0815,  kModel133E_0816,
    kModel145F_0090,  kModel1502_2AAE,  kModel1604_8006,
    kModel1654_0104,  kModel170B_0020,  kModel170B_0021,
    kModel1ACC_0049,  kModel1ACC_0102,  kModel1ACC_0103,
    kModel1D03_005C,  kModel200C_1005,  kModel200C_1006,
    kModel200C_1007,  kModel200C_1008,  kModel200C_1009,
    kModel200C_100A,  kModel200C_1019,  kModel200C_101F,
    kModel200C_1024,  kModel200C_1025,  kModel200C_1026,
    kModel200C_1027,  kModelPlay1624,   kModel200C_1037,
    kModelXMOS,       kModel0644_8017,  kModel0644_801E,
    kModel0644_8025,  kModel0644_8030,  kModel0644_8034,
    kModel0A4A_0014,  kModel0A4A_5B01,  kModel0A4A_A192,
    kModel0763_4002,  kModel09E8_0010,  kModel1210_0018,
    kModel1210_0019,  kModel1210_001A,  kModel13B2_0030,
    kModel15E4_0026,  kModel15E4_002C,  kModel15E4_0040,
    kModel15E4_0070,  kModel15E4_0071,  kModel15E4_0074,
    kModel15E4_0075,  kModel15E4_0078,  kModel15E4_0079,
    kModel0A92_0061,  kModel041E_3020,  kModel0746_7701,
    kModel0010_1101,  kModel0582_000F,  kModel1346_100A,
    kModel0A4A_FFDD,  kModel0763_2024,  kModel22F0_0008,
    kModel22F0_000F,  kModel077D_0420,  kModel077D_0223,
    kModel077D_07AF,  kModel0A4A_FFD2,
    kModel0A4A_AA03,  kModel0A4A_AA04,  kModel0A4A_AA05,
    kModel0A4A_AA08,  kModel200C_100E,  kModel200C_1014,
    kModel0948_1105,  kModel0948_1110,  kModel0C7D_000A,
    kModel0C7D_000B,  kModel0471_0155,  kModel0A92_0091,
    kModel2573_0008,  kModel077D_041A,  kModel0C45_167F,
    kModel0A92_00B1,  kModel041E_3010,  kModel0582_001A,
    kModel06F1_A011,  kModel04BB_0E05,
    kModel0A4A_FF4D,  kModel0A4A_FF01,
};

namespace device_models {

constexpr bool sameName(const char* a, const char* b)
{
    if (a == nullptr || b == nullptr) {
        return a == b;
    }
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

// `model` is one of `registry`: same ids, same name.
template <size_t N> constexpr bool isRegistered(const DeviceModel& model, const DeviceModel (&registry)[N])
{
    for (const DeviceModel& entry : registry) {
        if (entry.key() == model.key() && sameName(entry.name, model.name)) {
            return true;
        }
    }
    return false;
}

} // namespace device_models

// No two models of `registry` share their ids or their name, and every one has a name.
template <size_t N> constexpr bool modelsUnique(const DeviceModel (&registry)[N])
{
    for (size_t i = 0; i < N; ++i) {
        if (registry[i].name == nullptr || registry[i].name[0] == '\0') {
            return false;
        }
        for (size_t j = i + 1; j < N; ++j) {
            if (registry[i].key() == registry[j].key() ||
                device_models::sameName(registry[i].name, registry[j].name)) {
                return false;
            }
        }
    }
    return true;
}
static_assert(modelsUnique(kDeviceModels), "one entry per model, one model per name");

// Every model that a row of `rows` names (its member `model`) is registered in `registry`.
template <class Row, size_t N, size_t M>
constexpr bool modelsRegistered(const Row (&rows)[N], const DeviceModel (&registry)[M])
{
    for (const Row& row : rows) {
        if (!device_models::isRegistered(row.model, registry)) {
            return false;
        }
    }
    return true;
}

// Every model that a row of `rows` names is one of kDeviceModels.
template <class Row, size_t N> constexpr bool modelsRegistered(const Row (&rows)[N])
{
    return modelsRegistered(rows, kDeviceModels);
}
