// Runs one member on one input the way the streaming engine does, inside guarded buffers, and
// reports what it wrote and what it left alone.
#pragma once

#include "ConverterCatalog.h"
#include "GuardedBlock.h"
#include "PlaneReference.h"

#include <cstring>
#include <gtest/gtest.h>
#include <ostream>
#include <string>
#include <vector>

namespace dmaconv::testing {

enum class Placement
{
    AgainstGuard, // input and output end at an inaccessible page
    Misaligned,   // input and output at odd addresses, followed by guard bytes
};

inline void PrintTo(const ConverterFamily& family, std::ostream* os)
{
    *os << family.name;
}

inline uint8_t sentinel(size_t i)
{
    return static_cast<uint8_t>(0xC3 ^ (i * 7));
}

constexpr size_t kGuardBytes = 16;

struct CallResult
{
    uint32_t result = 0;
    std::vector<uint8_t> out; // the output block
    uint32_t carry = 0;       // the carry word after the call
    bool guardBytesIntact = true;
};

struct CallOptions
{
    Placement placement = Placement::AgainstGuard;
    bool missingSource = false;
    bool missingCarry = false;
};

inline CallResult runMember(const ConverterFamily& family, DMAConvertFunc* member,
                            const std::vector<uint8_t>& input, uint32_t carry, CallOptions options = {})
{
    static GuardedBlock source(8192), destination(8192);
    const size_t trailing = options.placement == Placement::Misaligned ? 3 : 0;
    uint8_t* in = source.endingAt(family.inBytes, trailing);
    // The bytes around the output are guard bytes: sentinel before it and, when misaligned, after.
    uint8_t* out = destination.endingAt(family.outBytes, trailing);
    uint8_t* region = out - kGuardBytes;
    const size_t regionSize = kGuardBytes + family.outBytes + trailing;
    for (size_t i = 0; i < regionSize; ++i) {
        region[i] = sentinel(i);
    }
    std::memcpy(in, input.data(), family.inBytes);

    DMAConvertArgs args{};
    args.src = options.missingSource ? nullptr : in;
    args.dst = out;
    uint32_t carryWord = carry;
    args.carry = options.missingCarry ? nullptr : &carryWord;

    CallResult r;
    r.result = member(&args);
    r.out.assign(out, out + family.outBytes);
    r.carry = carryWord;
    for (size_t i = 0; i < kGuardBytes; ++i) {
        r.guardBytesIntact = r.guardBytesIntact && region[i] == sentinel(i);
    }
    for (size_t i = kGuardBytes + family.outBytes; i < regionSize; ++i) {
        r.guardBytesIntact = r.guardBytesIntact && region[i] == sentinel(i);
    }
    if (std::memcmp(in, input.data(), family.inBytes) != 0) {
        ADD_FAILURE() << "input block changed";
    }
    return r;
}

// Compares a call with the reference model; untouched bytes must still hold the sentinel.
inline ::testing::AssertionResult matchesReference(const CallResult& got, const ReferenceResult& want,
                                                   const ConverterFamily& family)
{
    if (got.result != family.count) {
        return ::testing::AssertionFailure() << "returned " << got.result << ", expected " << family.count;
    }
    if (!got.guardBytesIntact) {
        return ::testing::AssertionFailure() << "wrote outside its output block";
    }
    for (size_t i = 0; i < want.bytes.size(); ++i) {
        const int expected = want.bytes[i] < 0 ? sentinel(kGuardBytes + i) : want.bytes[i];
        if (got.out[i] != expected) {
            return ::testing::AssertionFailure()
                   << "output byte " << i << " is 0x" << std::hex << int(got.out[i]) << ", expected 0x"
                   << expected << (want.bytes[i] < 0 ? " (left as it was)" : "");
        }
    }
    if (got.carry != want.carry) {
        return ::testing::AssertionFailure()
               << "carry word 0x" << std::hex << got.carry << ", expected 0x" << want.carry;
    }
    return ::testing::AssertionSuccess();
}

// Holds the vector members at one instruction-set level for a scope.
class ScopedVectorLevel
{
public:
    explicit ScopedVectorLevel(DMAVectorLevel level) : m_saved(dmaVectorLevel()) { dmaSetVectorLevel(level); }
    ~ScopedVectorLevel() { dmaSetVectorLevel(m_saved); }
    ScopedVectorLevel(const ScopedVectorLevel&) = delete;
    ScopedVectorLevel& operator=(const ScopedVectorLevel&) = delete;

private:
    DMAVectorLevel m_saved;
};

// Calls check(name, member) for every member of the family; the vector member once for every
// instruction-set level this processor has, with that level in force.
template <class Check> void forEachMember(const ConverterFamily& family, Check check)
{
    for (const Member& m : kMembers) {
        DMAConvertFunc* member = m.of(family);
        if (member == nullptr) {
            continue;
        }
        if (member != family.vector) {
            check(std::string(family.name) + m.suffix, member);
            continue;
        }
        for (int level = 0; level <= static_cast<int>(dmaWidestVectorLevel()); ++level) {
            const ScopedVectorLevel scope(static_cast<DMAVectorLevel>(level));
            check(std::string(family.name) + m.suffix + " at " + levelName(static_cast<DMAVectorLevel>(level)),
                  member);
        }
    }
}

} // namespace dmaconv::testing
