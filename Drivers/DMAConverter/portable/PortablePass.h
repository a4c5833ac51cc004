// The portable frame pass: every output bit placed one at a time, as the plane rule reads. It is
// the reference the faster families are held to.
#pragma once

#include "BitPlaneLayout.h"

namespace dmaconv {

struct PortablePass
{
    template <class Layout>
    static void encodeFrame(const uint8_t* hostFrame, uint32_t carried, uint8_t* deviceFrame)
    {
        constexpr unsigned planeSamples = Layout::kDeviceChannels / 2;
        uint32_t s[Layout::kDeviceChannels];
        for (unsigned d = 0; d < Layout::kDeviceChannels; ++d) {
            s[d] = deviceSample<Layout>(hostFrame, carried, d);
        }
        for (unsigned plane = 0; plane < 2; ++plane) {
            for (unsigned j = 0; j < kPlaneUnits; ++j) {
                unsigned byte = 0;
                for (unsigned k = 0; k < planeSamples; ++k) {
                    byte |= ((s[2 * k + plane] >> (31 - j)) & 1u) << k;
                }
                deviceFrame[plane * kPlaneUnits + j] = static_cast<uint8_t>(byte);
            }
        }
    }

    template <class Layout> static void decodeFrame(const uint8_t* deviceFrame, uint8_t* hostFrame)
    {
        for (unsigned c = 0; c < Layout::kChannels; ++c) {
            const unsigned k = c / 2;
            const uint8_t* plane = deviceFrame + (c % 2) * Layout::kOddPlaneOffset;
            uint32_t v = 0;
            for (unsigned j = 0; j < kPlaneUnits; ++j) {
                unsigned unit = plane[j * Layout::kUnitBytes];
                if constexpr (Layout::kUnitBytes == 2) {
                    unit |= unsigned(plane[j * 2 + 1]) << 8;
                }
                v = (v << 1) | ((unit >> k) & 1u);
            }
            storeWord(hostFrame + 4 * c, v << 8);
        }
    }
};

} // namespace dmaconv
