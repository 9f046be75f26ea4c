#include "trees/abcdist.h"

#include <algorithm>
#include <bit>
#include <limits>

namespace {

uint32_t rowOf(const TreeNode *n) { return static_cast<uint32_t>(n->index + 1); }

uint64_t *rowBits(PtnSets &sets, uint32_t row) { return sets.bits.data() + size_t(row) * sets.blocks * 2; }

// A node of three or more children takes, split by split, the state most
// of its children can take (both on a tie); each child that cannot take
// it costs a step.
uint32_t polytomyStep(PtnSets &sets, TreeNode *node)
{
    uint64_t *mine = rowBits(sets, rowOf(node));
    uint32_t steps = 0;
    for (uint32_t b = 0; b < sets.blocks; b++) {
        uint64_t allL = ~uint64_t{0}, anyL = 0, allH = ~uint64_t{0}, anyH = 0;
        for (TreeNode *c = node->firstChild; c; c = c->nextSib) {
            const uint64_t *cs = rowBits(sets, rowOf(c)) + 2 * b;
            allL &= cs[0];
            anyL |= cs[0];
            allH &= cs[1];
            anyH |= cs[1];
        }
        // Where the children agree their state passes up unchanged.
        const uint64_t agree = (allL | ~anyL) & (allH | ~anyH);
        uint64_t L = allL & agree, H = allH & agree;
        for (uint64_t differ = ~agree; differ; differ &= differ - 1) {
            const int bit = std::countr_zero(differ);
            int vote = 0;
            for (TreeNode *c = node->firstChild; c; c = c->nextSib) {
                const uint64_t *cs = rowBits(sets, rowOf(c)) + 2 * b;
                const bool l = (cs[0] >> bit) & 1, h = (cs[1] >> bit) & 1;
                vote += l ? 2 : h ? 0 : -2;
            }
            if (vote > 0)
                L |= uint64_t{1} << bit;
            if (vote >= 0)
                H |= uint64_t{1} << bit;
        }
        mine[2 * b] = L;
        mine[2 * b + 1] = H;
        for (TreeNode *c = node->firstChild; c; c = c->nextSib) {
            const uint64_t *cs = rowBits(sets, rowOf(c)) + 2 * b;
            steps += static_cast<uint32_t>(std::popcount((cs[0] ^ L) & (cs[1] ^ L)));
        }
    }
    return steps;
}

// Fitch on two sets: the union where they are disjoint (a step), else the
// intersection.
uint32_t joinTwo(const uint64_t *a, const uint64_t *b, uint64_t *out, uint32_t blocks)
{
    uint32_t steps = 0;
    for (uint32_t k = 0; k < blocks; k++) {
        const uint64_t eitherL = a[2 * k] | b[2 * k], bothH = a[2 * k + 1] & b[2 * k + 1];
        steps += static_cast<uint32_t>(std::popcount(~bothH & eitherL));
        if (out) {
            out[2 * k] = eitherL & bothH;
            out[2 * k + 1] = eitherL | bothH;
        }
    }
    return steps;
}

}  // namespace

void initializePtnSetsForABC(const SplitsList *splits, uint32_t ntax, PtnSets &sets)
{
    sets.blocks = std::max(1u, (splits->count + 63) / 64);
    sets.rows = 2 * ntax + 2;
    sets.bits.assign(size_t(sets.rows) * sets.blocks * 2, 0);
    for (uint32_t k = 0; k < splits->count; k++) {
        const uint64_t *split = getSplitFromList(splits, k);
        for (uint32_t t = 0; t < ntax; t++)
            if ((split[t / 64] >> (t % 64)) & 1) {
                uint64_t *row = rowBits(sets, t + 1) + 2 * (k / 64);
                row[0] |= uint64_t{1} << (k % 64);
                row[1] |= uint64_t{1} << (k % 64);
            }
    }
}

uint32_t abcDist_OneWay(Tree *tree, PtnSets &sets, uint32_t numSplits)
{
    if (numSplits == 0)
        return 0;
    checkTraversalSeq(tree);
    TreeNode *root = tree->root;
    TreeNode *fork = root->firstChild;
    uint32_t length = 0;
    for (TreeNode *n = tree->tail; n && n != root; n = n->prev) {
        if (!n->firstChild)
            continue;
        TreeNode *a = n->firstChild, *b = a->nextSib;
        if (b && !b->nextSib)
            length += joinTwo(rowBits(sets, rowOf(a)), rowBits(sets, rowOf(b)), rowBits(sets, rowOf(n)), sets.blocks);
        else if (b)
            length += polytomyStep(sets, n);
        else
            std::copy_n(rowBits(sets, rowOf(a)), 2 * sets.blocks, rowBits(sets, rowOf(n)));
    }
    // The root's own row: the root tip's taxon, or {0} for the ancestor
    // node of a rooted tree.
    if (root->index < 0)
        std::fill_n(rowBits(sets, 0), 2 * sets.blocks, 0);
    length += joinTwo(rowBits(sets, rowOf(root)), rowBits(sets, rowOf(fork)), nullptr, sets.blocks);
    return length - numSplits;
}

uint32_t abcDist(Tree *reference, PtnSets &refSets, uint32_t numRefSplits, Tree *tree, SplitsList *work,
                 PtnSets &workSets, uint32_t ntax)
{
    makeSplitsListFromTree(tree, work);
    initializePtnSetsForABC(work, ntax, workSets);
    return abcDist_OneWay(reference, workSets, work->count) + abcDist_OneWay(tree, refSets, numRefSplits);
}

// ---------------------------------------------------------------------------
// Matching

LAPMatching *createLAPMatching(uint32_t n)
{
    auto *lap = new (std::nothrow) LAPMatching;
    if (!lap)
        return nullptr;
    try {
        lap->capacity = n;
        lap->cost.resize(size_t(n) * n);
        lap->price.resize(n);
        lap->rowOfColumn.resize(n);
        lap->columnOfRow.resize(n);
        lap->freeRows.resize(n);
        lap->columns.resize(n);
        lap->matches.resize(n);
        lap->pred.resize(n);
        lap->dist.resize(n);
    } catch (const std::bad_alloc &) {
        delete lap;
        return nullptr;
    }
    return lap;
}

LAPMatching *destroyLAPMatching(LAPMatching *lap)
{
    delete lap;
    return nullptr;
}

uint64_t solveLinearAssignment(LAPMatching *lap, uint32_t n)
{
    if (n == 0)
        return 0;
    const uint32_t *cost = lap->cost.data();
    auto c = [&](uint32_t i, uint32_t j) { return static_cast<int64_t>(cost[size_t(i) * n + j]); };
    int64_t *v = lap->price.data();
    int32_t *y = lap->rowOfColumn.data(), *x = lap->columnOfRow.data();
    uint32_t *freeRows = lap->freeRows.data(), *collist = lap->columns.data(), *matches = lap->matches.data();
    uint32_t *pred = lap->pred.data();
    int64_t *d = lap->dist.data();
    constexpr int64_t kBig = std::numeric_limits<int64_t>::max() / 4;
    if (n == 1)
        return cost[0];

    // Column reduction, last column first; a row keeps the first column of
    // the scan that chose it.
    std::fill_n(matches, n, 0);
    std::fill_n(x, n, -1);
    for (uint32_t j = n; j-- > 0;) {
        int64_t low = c(0, j);
        uint32_t best = 0;
        for (uint32_t i = 1; i < n; i++)
            if (c(i, j) < low) {
                low = c(i, j);
                best = i;
            }
        v[j] = low;
        if (++matches[best] == 1) {
            x[best] = static_cast<int32_t>(j);
            y[j] = static_cast<int32_t>(best);
        } else {
            y[j] = -1;
        }
    }
    // Reduction transfer.
    uint32_t numFree = 0;
    for (uint32_t i = 0; i < n; i++) {
        if (matches[i] == 0) {
            freeRows[numFree++] = i;
        } else if (matches[i] == 1) {
            const auto j1 = static_cast<uint32_t>(x[i]);
            int64_t low = kBig;
            for (uint32_t j = 0; j < n; j++)
                if (j != j1)
                    low = std::min(low, c(i, j) - v[j]);
            v[j1] -= low;
        }
    }
    // Augmenting row reduction, two rounds.
    for (int round = 0; round < 2; round++) {
        uint32_t k = 0;
        const uint32_t previous = numFree;
        numFree = 0;
        while (k < previous) {
            const uint32_t i = freeRows[k++];
            int64_t u1 = c(i, 0) - v[0], u2 = kBig;
            uint32_t j1 = 0, j2 = 0;
            for (uint32_t j = 1; j < n; j++) {
                const int64_t h = c(i, j) - v[j];
                if (h < u2) {
                    if (h >= u1) {
                        u2 = h;
                        j2 = j;
                    } else {
                        u2 = u1;
                        u1 = h;
                        j2 = j1;
                        j1 = j;
                    }
                }
            }
            int32_t i0 = y[j1];
            if (u1 < u2) {
                v[j1] -= u2 - u1;
            } else if (i0 >= 0) {
                j1 = j2;
                i0 = y[j2];
            }
            x[i] = static_cast<int32_t>(j1);
            y[j1] = static_cast<int32_t>(i);
            if (i0 >= 0) {
                x[i0] = -1;
                if (u1 < u2)
                    freeRows[--k] = static_cast<uint32_t>(i0);
                else
                    freeRows[numFree++] = static_cast<uint32_t>(i0);
            }
        }
    }
    // Augmentation: a shortest path from each free row to an unassigned
    // column over reduced costs.
    for (uint32_t f = 0; f < numFree; f++) {
        const uint32_t freeRow = freeRows[f];
        for (uint32_t j = 0; j < n; j++) {
            d[j] = c(freeRow, j) - v[j];
            pred[j] = freeRow;
            collist[j] = j;
        }
        uint32_t low = 0, up = 0, last = 0, endOfPath = 0;
        int64_t minDist = 0;
        bool found = false;
        while (!found) {
            if (up == low) {
                last = low;
                minDist = d[collist[up++]];
                for (uint32_t k = up; k < n; k++) {
                    const uint32_t j = collist[k];
                    const int64_t h = d[j];
                    if (h <= minDist) {
                        if (h < minDist) {
                            up = low;
                            minDist = h;
                        }
                        collist[k] = collist[up];
                        collist[up++] = j;
                    }
                }
                for (uint32_t k = low; k < up; k++)
                    if (y[collist[k]] < 0) {
                        endOfPath = collist[k];
                        found = true;
                        break;
                    }
            }
            if (!found) {
                const uint32_t j1 = collist[low++];
                const auto i = static_cast<uint32_t>(y[j1]);
                const int64_t u1 = c(i, j1) - v[j1] - minDist;
                for (uint32_t k = up; k < n; k++) {
                    const uint32_t j = collist[k];
                    const int64_t v2 = c(i, j) - v[j] - u1;
                    if (v2 < d[j]) {
                        pred[j] = i;
                        if (v2 == minDist) {
                            if (y[j] < 0) {
                                endOfPath = j;
                                found = true;
                                break;
                            }
                            collist[k] = collist[up];
                            collist[up++] = j;
                        }
                        d[j] = v2;
                    }
                }
            }
        }
        // Columns scanned before the last minimum get their prices raised.
        for (uint32_t k = 0; k < last; k++) {
            const uint32_t j = collist[k];
            v[j] += d[j] - minDist;
        }
        uint32_t i;
        do {
            i = pred[endOfPath];
            y[endOfPath] = static_cast<int32_t>(i);
            const auto j = static_cast<uint32_t>(x[i]);
            x[i] = static_cast<int32_t>(endOfPath);
            endOfPath = j;
        } while (i != freeRow);
    }
    uint64_t total = 0;
    for (uint32_t i = 0; i < n; i++)
        total += cost[size_t(i) * n + static_cast<uint32_t>(x[i])];
    return total;
}

uint32_t matchingDist(const SplitsList *reference, SplitsList *work, Tree *tree, LAPMatching *lap)
{
    makeSplitsListFromTree(tree, work);
    const uint32_t a = reference->count, b = work->count, n = std::max(a, b);
    const auto t = static_cast<int64_t>(countLeaves(tree));
    const uint32_t words = reference->words;
    auto half = [&](int64_t h) { return static_cast<uint32_t>(std::min(h, t - h)); };
    auto sizeOf = [&](const uint64_t *s) {
        int64_t h = 0;
        for (uint32_t q = 0; q < words; q++)
            h += std::popcount(s[q]);
        return h;
    };
    uint32_t *cost = lap->cost.data();
    for (uint32_t i = 0; i < n; i++) {
        const uint64_t *r = i < a ? getSplitFromList(reference, i) : nullptr;
        for (uint32_t j = 0; j < n; j++) {
            const uint64_t *s = j < b ? getSplitFromList(work, j) : nullptr;
            int64_t h;
            if (r && s) {
                h = 0;
                for (uint32_t q = 0; q < words; q++)
                    h += std::popcount(r[q] ^ s[q]);
            } else if (r) {
                h = sizeOf(r);
            } else if (s) {
                h = sizeOf(s);
            } else {
                h = 0;
            }
            cost[size_t(i) * n + j] = half(h);
        }
    }
    return static_cast<uint32_t>(solveLinearAssignment(lap, n));
}
