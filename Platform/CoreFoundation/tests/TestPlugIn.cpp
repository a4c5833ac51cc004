// A plug-in executable for the bundle tests. It calls nothing of the value layer, so it needs
// no copy of it: the factory only records what it was given.
#include <cstdint>

namespace {
struct Instance
{
    const void* typeSeen;
    int created;
};
Instance gInstance{};
} // namespace

extern "C" __attribute__((visibility("default"))) void* TestPlugInCreate(const void*, const void* type)
{
    gInstance.typeSeen = type;
    ++gInstance.created;
    return &gInstance;
}

extern "C" __attribute__((visibility("default"))) int TestPlugInAnswer()
{
    return 42;
}
