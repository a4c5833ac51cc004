// Messages as a process (or a kernel host) may send them: every field read from the input is
// bounded, nothing reads past the end, and a value that decodes writes back to the same bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/IOKitWire.h"

using namespace platform::iokit::wire;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Reader r(data, size);
    const Op op = r.op();
    switch (op) {
    case Op::GetMatchingServices: {
        const Value v = r.value();
        if (r.ok()) {
            // A decoded value writes back to bytes that decode to the same value.
            Writer w(op);
            w.value(v);
            Reader again(w.data().data(), w.data().size());
            again.op();
            if (!(again.value() == v) || !again.ok() || !again.atEnd()) {
                std::abort();
            }
        }
        break;
    }
    case Op::Matched:
        r.u64();
        r.entries();
        break;
    case Op::CallMethod: {
        r.u32();
        const uint32_t scalars = r.u32();
        for (uint32_t i = 0; i < scalars && i < kMaximumScalars; ++i) {
            r.u64();
        }
        const std::string_view structure = r.bytes(kMaximumStructure);
        if (structure.size() > kMaximumStructure) {
            std::abort();
        }
        break;
    }
    default:
        r.text();
        r.value();
        break;
    }
    return 0;
}
