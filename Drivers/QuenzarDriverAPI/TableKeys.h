// Compile-time check for the per-model tables: no two rows may share a key, so that at most one
// row ever applies.
#pragma once

#include <cstddef>

template <class Row, size_t N, class KeyOf> constexpr bool tableKeysUnique(const Row (&rows)[N], KeyOf keyOf)
{
    for (size_t i = 0; i < N; ++i) {
        for (size_t j = i + 1; j < N; ++j) {
            if (keyOf(rows[i]) == keyOf(rows[j])) {
                return false;
            }
        }
    }
    return true;
}
