// Parses fuzzed text into an XML document, writes it, parses what was written and writes again:
// the parser must stop cleanly on anything, and the writer's output must read back to the same
// document.
#include <cstddef>
#include <cstdint>
#include <string>

#include "XMLDoc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    XML::Doc doc;
    doc.load(VKString(text.c_str()));
    VKString written;
    doc.buildXML(written);

    XML::Doc again;
    again.load(written);
    VKString rewritten;
    again.buildXML(rewritten);
    if (written.strcmp(rewritten) != 0) {
        __builtin_trap();
    }
    return 0;
}
