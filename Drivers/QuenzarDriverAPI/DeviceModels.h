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

// Every registered model.
inline constexpr DeviceModel kDeviceModels[] = {
    kModelUS122L,     kModelUS144,     kModelUS144MKII,
    kModelUS122MKII,  kModelUS600,     kModelUS322,
    kModelUS366,      kModelUS1200,    kModelUH7000,
    kModelMBox,       kModelMBox2,     kModelFendrimo,
    kModelPellirun,   kModelKelvraUC3, kModelVeskaro,
    kModelMusePocket, kModel0763_2003, kModelACV0,
    kModel0A4E_2040,  kModel0A4E_4040, kModelDigitalSoundStation,
    kModelMaya51USB,  kModelAureon51,  kModelMicFace,
    kModelMindprint,  kModel1935_0008, kModelEbox44,
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
