// Expands fuzzed bytes as an LZW stream (it must stop cleanly, whatever they hold), and compresses
// them and expands the result, which must give them back.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "VKByteBuffer.h"
#include "XCodecLZW.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    auto* copy = new uint8_t[size + 1];
    std::memcpy(copy, data, size);
    VKByteBuffer input(copy, static_cast<uint32_t>(size));
    XCodecLZW codec;

    VKByteBuffer expanded;
    codec.decode(input, expanded);

    VKByteBuffer packed;
    if (!codec.encode(input, packed)) {
        __builtin_trap();
    }
    packed.resizeAndKeep(packed.getWritePosition());
    VKByteBuffer back;
    codec.decode(packed, back);
    if (back.getWritePosition() != size || (size != 0 && std::memcmp(back.getBuffer(), data, size) != 0)) {
        __builtin_trap();
    }
    input.setBuffer(nullptr, 0);
    delete[] copy;
    return 0;
}
