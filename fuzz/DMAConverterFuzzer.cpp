// Every bit-plane converter on any bytes: the input picks a family, a carried sample and options,
// and the rest is cut into the family's input blocks (a short tail is padded with zeros, the way
// a caller must hand over whole blocks). Each block goes through every member in exactly sized
// buffers; all members must agree with each other and with the reference model of the layouts,
// byte for byte, including the bytes they leave alone and the carried sample.
#include "ConverterCatalog.h"
#include "PlaneReference.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

using namespace dmaconv::testing;

namespace {

constexpr uint8_t kUntouched = 0xE7;

struct Outcome
{
    std::vector<uint8_t> out;
    uint32_t result;
    uint32_t carry;
};

Outcome run(const ConverterFamily& family, DMAConvertFunc* member, const std::vector<uint8_t>* block,
            uint32_t carry, bool missingCarry)
{
    // Heap blocks of exactly the family's sizes: the sanitizer catches any access past them.
    std::vector<uint8_t> in;
    if (block != nullptr) {
        in = *block;
    }
    Outcome o{std::vector<uint8_t>(family.outBytes, kUntouched), 0, carry};
    DMAConvertArgs args{};
    args.src = block != nullptr ? in.data() : nullptr;
    args.dst = o.out.data();
    args.carry = missingCarry ? nullptr : &o.carry;
    o.result = member(&args);
    return o;
}

void check(bool ok)
{
    if (!ok) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 6) {
        return 0;
    }
    const auto families = converterFamilies();
    const ConverterFamily& family = families[data[0] % families.size()];
    const bool missingCarry = (data[1] & 1) != 0;
    const bool missingFirstSource = (data[1] & 2) != 0;
    uint32_t carry;
    std::memcpy(&carry, data + 2, 4);
    data += 6;
    size -= 6;

    uint32_t expectedCarry = carry;
    size_t blocks = (size + family.inBytes - 1) / family.inBytes;
    if (blocks == 0 || blocks > 16) {
        blocks = blocks == 0 ? 1 : 16;
    }
    std::vector<uint32_t> memberCarry(3, carry);
    for (size_t b = 0; b < blocks; ++b) {
        std::vector<uint8_t> block(family.inBytes, 0);
        const size_t offset = b * family.inBytes;
        if (offset < size) {
            std::memcpy(block.data(), data + offset, std::min<size_t>(family.inBytes, size - offset));
        }
        const bool missingSource = b == 0 && missingFirstSource;
        const auto want = referenceConvert(family, missingSource ? nullptr : block.data(),
                                           missingCarry ? 0 : expectedCarry);
        for (size_t m = 0; m < kMembers.size(); ++m) {
            DMAConvertFunc* member = kMembers[m].of(family);
            if (member == nullptr) {
                continue;
            }
            const auto got =
                run(family, member, missingSource ? nullptr : &block, memberCarry[m], missingCarry);
            check(got.result == family.count);
            for (size_t i = 0; i < want.bytes.size(); ++i) {
                check(got.out[i] == (want.bytes[i] < 0 ? kUntouched : want.bytes[i]));
            }
            check(got.carry == (missingCarry ? memberCarry[m] : want.carry));
            memberCarry[m] = got.carry;
        }
        if (!missingCarry) {
            expectedCarry = want.carry;
        }
    }
    return 0;
}
