#include "qel/qel_bitfiddling.h"

// The build targets processors with popcnt, so the builtin is one
// instruction per word.
uint64_t vBitCountNwd(const VecWord *words, uint64_t n)
{
    uint64_t total = 0;
    for (uint64_t i = 0; i < n; i++)
        total += static_cast<uint64_t>(__builtin_popcountll(words[i].lo)) +
                 static_cast<uint64_t>(__builtin_popcountll(words[i].hi));
    return total;
}

const char *bitVecToString(const uint64_t *, uint32_t) { return nullptr; }
const char *bitsToString(uint64_t) { return nullptr; }
const char *lowBitsToString(uint64_t, uint32_t) { return nullptr; }
const char *stateSetToString(uint64_t) { return nullptr; }
const char *vBitsToString(VecWord) { return nullptr; }
