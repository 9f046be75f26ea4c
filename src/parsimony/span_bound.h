// The bounded span scores of the two free-reversible classes, over a
// class's kernel that counts (and marks) the steps of a range of lanes.
// Both give the length up to the first packed word (two lanes) that passes
// the bound, whatever the kernel, so that the vector and generic variants
// return the same numbers.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>

#include "parsimony/pars_util.h"

// Lanes go to the kernel in blocks, which writes each block's step bits
// to a small buffer; only the block that passes the bound is counted again
// word by word, from that buffer.
inline constexpr uint32_t kSpanBlockLanes = 64;

// Integer lengths without weights or per-character counts: blockMask(from,
// to, buf) writes the step bits of lanes [from, to) to buf[0, to - from)
// and returns their count.
template <class BlockMask>
int boundedSpan(uint32_t lanes, double *length, double bound, BlockMask blockMask)
{
    uint64_t buf[kSpanBlockLanes];
    int64_t len = static_cast<int64_t>(*length);
    int64_t limit = bound >= kNoScore ? INT64_MAX : static_cast<int64_t>(bound);
    for (uint32_t from = 0; from < lanes; from += kSpanBlockLanes) {
        uint32_t to = std::min(lanes, from + kSpanBlockLanes);
        auto block = static_cast<int64_t>(blockMask(from, to, buf));
        if (len + block <= limit) {
            len += block;
            continue;
        }
        for (uint32_t l = 0;; l += 2) {
            len += std::popcount(buf[l]) + std::popcount(buf[l + 1]);
            if (len > limit)
                break;
        }
        *length = static_cast<double>(len);
        return 1;
    }
    *length = static_cast<double>(len);
    return 0;
}

// The general form: stepMask(from, to) writes the step bits of lanes
// [from, to) into mask; lengths are weighted when wts is given and compared
// with the bound within the data's tolerance. With perChar, the masks of
// the words after the one that passed the bound are cleared, so that the
// per-character counts taken from them stop where the length stopped.
template <class StepMask>
int maskedSpan(uint32_t words, uint64_t *mask, const ClassWeights *wts, bool perChar, double *length, double bound,
               double tol, StepMask stepMask)
{
    int over = 0;
    for (uint32_t from = 0; from < 2 * words && !over; from += kSpanBlockLanes) {
        uint32_t to = std::min(2 * words, from + kSpanBlockLanes);
        stepMask(from, to);
        for (uint32_t w = from / 2; w < to / 2; w++) {
            uint64_t x0 = mask[2 * w], x1 = mask[2 * w + 1];
            if (wts) {
                over = addWtdSteps(*wts, w, length, x0, x1, bound, tol);
            } else {
                *length += std::popcount(x0) + std::popcount(x1);
                over = *length - bound > tol;
            }
            if (over) {
                if (perChar)
                    std::fill(mask + 2 * w + 2, mask + 2 * words, 0);
                break;
            }
        }
    }
    return over;
}
