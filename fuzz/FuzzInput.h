// A fuzzer's input, read from the front: values come out little by little, and a read past the
// end gives zeros (or fewer bytes) instead of failing, so every input is a valid script.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

struct FuzzInput
{
    const uint8_t* data;
    size_t size;

    bool empty() const { return size == 0; }

    // The next sizeof(T) bytes as a T; zero-filled where the input ends.
    template <class T> T take()
    {
        T value{};
        fill(&value, sizeof(T));
        return value;
    }

    // Copies up to `n` bytes to `to`; what the input no longer has stays as it was.
    void fill(void* to, size_t n)
    {
        const std::span<const uint8_t> bytes = takeBytes(n);
        if (!bytes.empty()) {
            std::memcpy(to, bytes.data(), bytes.size());
        }
    }

    // The next `n` bytes, or fewer where the input ends.
    std::span<const uint8_t> takeBytes(size_t n)
    {
        const size_t k = std::min(n, size);
        const std::span<const uint8_t> bytes(data, k);
        data += k;
        size -= k;
        return bytes;
    }
};

// A check on what the code under test built: a failed one ends the run as a crash does, so the
// fuzzer keeps the input.
inline void fuzzCheck(bool condition)
{
    if (!condition) {
        __builtin_trap();
    }
}
