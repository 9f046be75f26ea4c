// The bounded span scores of the two free-reversible classes, over a
// class's kernel that counts (or marks) the steps of its lanes.
// Both give the length up to the first packed word (two lanes) that passes
// the bound, whatever the kernel, so that the vector and generic variants
// return the same numbers.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>

#include "parsimony/pars_util.h"

// Integer lengths without weights or per-character counts: stepsWithin(budget)
// counts the steps of every lane as the kernels' stepsWithin do, stopping at
// the first packed word that takes them past the budget.
template <class StepsWithin>
int boundedSpan(uint32_t lanes, double *length, double bound, StepsWithin stepsWithin)
{
    if (lanes == 0)
        return 0;
    const int64_t len = static_cast<int64_t>(*length);
    const int64_t limit = bound >= kNoScore ? INT64_MAX : static_cast<int64_t>(bound);
    const int64_t budget = limit == INT64_MAX ? INT64_MAX : limit - len;
    const int64_t total = len + static_cast<int64_t>(stepsWithin(budget));
    *length = static_cast<double>(total);
    return total > limit;
}

// The general form takes the lanes in blocks of this many, so that the
// step bits of a block are at hand when one of its words passes the bound.
inline constexpr uint32_t kSpanBlockLanes = 64;

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
