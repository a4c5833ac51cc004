// What a device reports about its clock (input sample counts, feedback values and records of any
// count) into the frame pattern, mixed with output blocks prepared from it. Whatever the values,
// every pattern index stays inside the pattern, nothing is written past the active pattern, and
// every block request lies inside its packet and its buffer.
//
// Input: rate (u32), speed and model byte, output bytes per sample and channels (u8 each), the
// block's endpoint (packet size u16, bInterval u8); then a script of steps: a step byte, then its
// values.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "DeviceModels.h"
#include "FuzzInput.h"
#include "VKFramePatternObserver.h"
#include "VKIsocRB.h"
#include "VKUSBDescriptors.h"
#include "platform/Log.h"

namespace {

constexpr size_t kMaxSteps = 256;

void checkBlock(const VKIsocRB& block, uint32_t total)
{
    uint64_t sum = 0;
    for (uint32_t i = 0; i < block.mNumFrames; ++i) {
        const uint32_t request = block.mFrames[i].frReqCount;
        fuzzCheck(request <= VKIsocRB::kDefaultMaxPacket);
        fuzzCheck(uint64_t{block.mFrameOffsets[i]} + request <= block.mAllocatedSize);
        sum += request;
    }
    fuzzCheck(sum == total);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool quiet = [] {
        platform::log::setDestination(platform::log::Channel::kernel, nullptr);
        return true;
    }();
    (void)quiet;
    FuzzInput in{data, size};
    const uint32_t rate = in.take<uint32_t>();
    const uint8_t mode = in.take<uint8_t>();
    const bool highSpeed = (mode & 1) != 0;
    const VIDPID vidpid = (mode & 2) != 0 ? VIDPID(kModelMindprint.vendor, kModelMindprint.product, 0x0100, nullptr)
                                          : VIDPID(0x2912, 0x3001, 0x0100, nullptr);
    const uint8_t outBytes = in.take<uint8_t>();
    const uint8_t outChannels = in.take<uint8_t>();
    const uint16_t packet = in.take<uint16_t>();
    const uint8_t interval = in.take<uint8_t>();

    VKFramePatternObserver fpo;
    fpo.init(rate, 2, 2, outBytes, outChannels, highSpeed, vidpid);
    const std::vector<uint32_t> nominal(fpo.mNominalPattern, fpo.mNominalPattern + VKFramePatternObserver::kMaxPatternLength);

    VKPipeDescriptor pipe(nullptr);
    const uint8_t endpoint[] = {9, 5, 0x01, 0x05, uint8_t(packet), uint8_t(packet >> 8), interval, 0, 0};
    USBByteBuffer bytes(endpoint, sizeof endpoint);
    pipe.scan(bytes);
    auto block = std::make_unique<VKIsocRB>(highSpeed, &pipe);
    if (block == nullptr || block->mpBufferAddress == nullptr) {
        return 0;
    }

    uint32_t errors = 0;
    uint32_t running = in.take<uint32_t>();
    for (size_t step = 0; step < kMaxSteps && !in.empty(); ++step) {
        switch (in.take<uint8_t>() % 8) {
        case 0:
            fpo.onRtsFrame(in.take<uint32_t>(), errors);
            break;
        case 1:
            fpo.onRtsFrameMicroFrames(in.take<uint32_t>(), errors);
            break;
        case 2:
        case 3: {
            FeedbackStreamingStruct values;
            values.mCount = in.take<uint8_t>();
            for (uint32_t& value : values.mValues) {
                value = in.take<uint8_t>();
            }
            (step % 2 == 0) ? fpo.isocFeedbackReadComplete(values) : fpo.isocFeedbackReadCompleteFullFrame(values);
            break;
        }
        case 4:
            checkBlock(*block, block->initWrite_Std(fpo, running));
            break;
        case 5:
            checkBlock(*block, block->initWrite_Elektron(fpo, running, in.take<uint8_t>() % 4));
            break;
        case 6:
            block->initRead();
            checkBlock(*block, [&] {
                uint32_t total = 0;
                for (uint32_t i = 0; i < block->mNumFrames; ++i) {
                    total += block->mFrames[i].frReqCount;
                }
                return total;
            }());
            break;
        default:
            block->initWriteKeepAlive();
            checkBlock(*block, block->mNumFrames);
            break;
        }
        fuzzCheck(fpo.mWriteIndex < fpo.mPatternLength);
        fuzzCheck(fpo.mReadIndex < fpo.mPatternLength);
        fuzzCheck(fpo.mLockStartIndex < fpo.mPatternLength);
        fuzzCheck(std::equal(nominal.begin(), nominal.end(), fpo.mNominalPattern));
    }
    return 0;
}
