// Reads a fuzzed stream through every VKByteBuffer reader: integers, strings, nested records into
// owned and wrapped targets, the cursors and the text coding. The first byte picks how many of the
// following bytes are read operations; the rest is the stream. A string read back must stream out
// and in again unchanged.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "VKByteBuffer.h"
#include "VKString.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    const size_t opCount = data[0] % 32 < size - 1 ? data[0] % 32 : size - 1;
    const uint8_t* ops = data + 1;
    // The stream gets a private, writable copy: the buffer wraps it.
    const size_t streamSize = size - 1 - opCount;
    auto* stream = new uint8_t[streamSize + 1];
    std::memcpy(stream, data + 1 + opCount, streamSize);
    VKByteBuffer in(stream, static_cast<uint32_t>(streamSize));

    for (size_t i = 0; i < opCount; ++i) {
        switch (ops[i] % 12) {
        case 0: {
            int v = 0;
            in >> v;
            break;
        }
        case 1: {
            short v = 0;
            unsigned short u = 0;
            in >> v >> u;
            break;
        }
        case 2: {
            bool b = false;
            signed char c = 0;
            in >> b >> c;
            break;
        }
        case 3: {
            VKString s;
            in >> s;
            VKByteBuffer again;
            again << s;
            VKString back;
            again >> back;
            if (back.strcmp(s) != 0 || back.getLength() != s.getLength()) {
                __builtin_trap();
            }
            break;
        }
        case 4: {
            VKByteBuffer nested;
            in >> nested;
            if (nested.getWritePosition() > nested.getSize()) {
                __builtin_trap();
            }
            break;
        }
        case 5: {
            uint8_t small[5] = {};
            VKByteBuffer external(small, sizeof small);
            in >> external;
            break;
        }
        case 6:
            in.forward(in.peek(0));
            break;
        case 7:
            in.rewind(in.peek(1));
            break;
        case 8: {
            VKByteBuffer decoded;
            decoded.uuDecode(in);
            VKByteBuffer encoded;
            encoded.uuEncode(decoded);
            break;
        }
        case 9: {
            uint8_t target[16];
            in.read(target, in.peek(0) % 17);
            break;
        }
        case 10:
            in.write(data, static_cast<uint32_t>(size));
            break;
        default: {
            VKByteBuffer copy;
            copy << in;
            copy >> copy;
            break;
        }
        }
        if (in.getReadPosition() > in.getSize()) {
            __builtin_trap();
        }
    }
    in.setBuffer(nullptr, 0);
    delete[] stream;
    return 0;
}
