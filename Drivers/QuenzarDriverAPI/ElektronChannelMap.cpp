#include "ElektronChannelMap.h"

#include "DeviceModels.h"
#include "TableKeys.h"

#include <algorithm>
#include <iterator>

namespace {

// The model whose channel layout differs from the others' (ten inputs, twelve outputs).
constexpr DeviceModel kWideModel = kModel1935_0008;

constexpr int kNotListed = -1;

// Where a code lands in the device's full channel layout, for the wide model and for the others.
struct UsageRow
{
    uint32_t code;
    int wide;
    int other;
};

// clang-format off
constexpr UsageRow kInputUsage[] = {
    {0xA0, 0, 0}, // main pair
    {0xA1, 1, 1},
    {0x80, 2, 2},
    {0x81, 3, 3},
    {0x82, 4, 4},
    {0x83, 5, 5},
    {0x84, 6, kNotListed},
    {0x85, 7, kNotListed},
    {0x86, 8, kNotListed},
    {0x87, 9, kNotListed},
    {0xC0, kNotListed, 6},
    {0xC1, kNotListed, 7},
};

constexpr UsageRow kOutputUsage[] = {
    {0x20, 0, 0}, // main pair
    {0x21, 1, 1},
    {0x46, 2, kNotListed},
    {0x47, 3, kNotListed},
    {0x00, 4, 2},
    {0x01, 5, 3},
    {0x02, 6, 4},
    {0x03, 7, 5},
    {0x04, 8, kNotListed},
    {0x05, 9, kNotListed},
    {0x06, 10, kNotListed},
    {0x07, 11, kNotListed},
};
// clang-format on

constexpr bool positionsFit(const UsageRow* rows, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        for (int position : {rows[i].wide, rows[i].other}) {
            if (position < kNotListed || position >= int(QZ_Elektron_ChannelMap::kUsageListSize)) {
                return false;
            }
        }
    }
    return true;
}

constexpr auto kCodeOf = [](const UsageRow& row) { return row.code; };
static_assert(tableKeysUnique(kInputUsage, kCodeOf) && tableKeysUnique(kOutputUsage, kCodeOf));
static_assert(positionsFit(kInputUsage, std::size(kInputUsage)) &&
              positionsFit(kOutputUsage, std::size(kOutputUsage)));

template <size_t N>
void markUsage(const UsageRow (&table)[N], const uint32_t (&codes)[QZ_Elektron_ChannelMap::kNumEntries],
               bool wide, bool (&usage)[QZ_Elektron_ChannelMap::kUsageListSize])
{
    std::fill(std::begin(usage), std::end(usage), false);
    for (uint32_t code : codes) {
        const auto row = std::find_if(std::begin(table), std::end(table),
                                      [code](const UsageRow& candidate) { return candidate.code == code; });
        if (row == std::end(table)) {
            continue;
        }
        const int position = wide ? row->wide : row->other;
        if (position != kNotListed) {
            usage[position] = true;
        }
    }
}

} // namespace

void QZ_Elektron_ChannelMap::setDefaults(const VIDPID& /*device*/)
{
    std::fill(std::begin(mInputMap), std::end(mInputMap), kUnused);
    std::fill(std::begin(mOutputMap), std::end(mOutputMap), kUnused);
    mInputMap[0] = 0xA0;
    mInputMap[1] = 0xA1;
}

void QZ_Elektron_ChannelMap::getUsageList(bool (&inputUsage)[kUsageListSize],
                                          bool (&outputUsage)[kUsageListSize], const VIDPID& device) const
{
    const bool wide = device.isDevice(kWideModel.vendor, kWideModel.product, kAnyRelease);
    markUsage(kInputUsage, mInputMap, wide, inputUsage);
    markUsage(kOutputUsage, mOutputMap, wide, outputUsage);
}
