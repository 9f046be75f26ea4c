#include "parsimony/partitn.h"

#include <algorithm>
#include <bit>
#include <memory>
#include <numeric>

#include "parsimony/pars_fxns.h"
#include "parsimony/pars_util.h"
#include "trees/treeutil.h"

namespace {

const ParsNodeSets *downOf(const TreeNode *n) { return nodeSets(n->abm[0]); }

// Taxon sets of one ordered bit.
struct BitTaxa {
    std::vector<uint64_t> certain, possible;
};

void addSteps(PtnChanges &m, uint32_t l, uint64_t s)
{
    m.twice[l] |= m.once[l] & s;
    m.once[l] |= s;
}

// Steps of joining two ordered sets, per lane l.
inline uint64_t ordSteps(const uint64_t *a, const uint64_t *b, uint32_t lanes, uint32_t l)
{
    return (a[l] ^ b[l]) & (a[lanes + l] ^ b[lanes + l]);
}

// The weighted count of the bits of mask (one u64 per lane).
double weightedBits(const PackedData *pd, const std::vector<uint64_t> &mask)
{
    double sum = 0.0;
    for (uint32_t w = 0; w < pd->ordWords; w++) {
        if (pd->ordWeighted)
            addWtdSteps(pd->ordWts, w, &sum, mask[2 * w], mask[2 * w + 1], kNoScore, 0.0);
        else
            sum += std::popcount(mask[2 * w]) + std::popcount(mask[2 * w + 1]);
    }
    return sum;
}

}  // namespace

bool partitionsIncompatible(const uint64_t *c1, const uint64_t *p1, const uint64_t *c2, const uint64_t *p2,
                            uint32_t words)
{
    uint64_t both = 0, neither = 0, firstOnly = 0, secondOnly = 0;
    for (uint32_t w = 0; w < words; w++) {
        both |= c1[w] & c2[w];
        neither |= ~(p1[w] | p2[w]);
        firstOnly |= c1[w] & ~p2[w];
        secondOnly |= ~p1[w] & c2[w];
    }
    return both && neither && firstOnly && secondOnly;
}

void deallocPtnData(PackedData *pd)
{
    if (!pd)
        return;
    delete pd->ptn;
    pd->ptn = nullptr;
}

const PtnBoundData *ptnBoundData(const DataInfo *d)
{
    const PackedData *pd = packedData(d);
    return pd ? pd->ptn : nullptr;
}

int preparePtnSetsForBandB(DataInfo *d, Tree *tree)
{
    PackedData *pd = packedData(d);
    if (!pd || !tree)
        return 1;
    deallocPtnData(pd);
    pointTreeAtPackedData(tree, d);
    // The taxa: every leaf of the search, the ancestor when the tree is
    // rooted at it.
    std::vector<const uint64_t *> tips;
    if (tree->flags & kTreeRootedAtAnc)
        tips.push_back(downOf(nodeOfIndex(tree, -1))->ord);
    const uint32_t n = tree->activeTaxa ? tree->activeTaxa : tree->ntax;
    for (uint32_t t = 0; t < n; t++)
        tips.push_back(downOf(nodeOfIndex(tree, static_cast<int32_t>(t)))->ord);
    const auto ntaxa = static_cast<uint32_t>(tips.size());
    const uint32_t tw = (ntaxa + 63) / 64;
    std::vector<uint64_t> taxonMask(tw, 0);
    for (uint32_t t = 0; t < ntaxa; t++)
        taxonMask[t >> 6] |= uint64_t{1} << (t & 63);

    auto ptn = std::make_unique<PtnBoundData>();
    const uint32_t lanes = 2 * pd->ordWords;
    ptn->lanes = lanes;
    ptn->mustChange.assign(lanes, 0);
    std::vector<BitTaxa> sets;
    for (uint32_t l = 0; l < lanes; l++) {
        const uint64_t active = pd->ordCountMask.empty() ? 0 : pd->ordCountMask[l];
        for (uint64_t bits = active; bits; bits &= bits - 1) {
            const uint32_t b = static_cast<uint32_t>(std::countr_zero(bits));
            const uint64_t bit = uint64_t{1} << b;
            // Bits past the last taxon read as "possibly derived, not
            // certainly": no taxon there for any incompatibility test.
            BitTaxa s{std::vector<uint64_t>(tw, 0), std::vector<uint64_t>(tw, 0)};
            for (uint32_t k = 0; k < tw; k++)
                s.possible[k] = ~taxonMask[k];
            uint32_t k1 = 0, kp = 0;
            for (uint32_t t = 0; t < ntaxa; t++) {
                if (tips[t][l] & bit)
                    s.certain[t >> 6] |= uint64_t{1} << (t & 63), k1++;
                if (tips[t][lanes + l] & bit)
                    s.possible[t >> 6] |= uint64_t{1} << (t & 63), kp++;
            }
            const uint32_t k0 = ntaxa - kp;
            if (k1 == 0 || k0 == 0)
                continue;  // never changes
            ptn->mustChange[l] |= bit;
            if (k1 < 2 || k0 < 2)
                continue;  // changes exactly once on every tree: compatible with all
            const uint32_t owner = pd->ordBitChar[uint64_t{64} * l + b];
            const double w = owner < pd->slots.size() ? pd->slots[owner].weight : 1.0;
            bool merged = false;
            for (uint32_t i = 0; i < sets.size() && !merged; i++) {
                bool same = true, complement = true;
                for (uint32_t k = 0; k < tw; k++) {
                    same = same && sets[i].certain[k] == s.certain[k] && sets[i].possible[k] == s.possible[k];
                    complement = complement && sets[i].certain[k] == (~s.possible[k] & taxonMask[k]) &&
                                 sets[i].possible[k] == (~s.certain[k] | ~taxonMask[k]);
                }
                if (same || complement)
                    ptn->weight[i] += w, merged = true;
            }
            if (merged)
                continue;
            sets.push_back(std::move(s));
            ptn->weight.push_back(w);
            ptn->repLane.push_back(l);
            ptn->repBit.push_back(bit);
        }
    }
    const uint32_t np = ptn->count();
    if (np > 0) {
        // Symmetric incompatibility counts give the sort key; the rows kept
        // hold only the later partitions.
        std::vector<uint32_t> nIncompat(np, 0);
        std::vector<uint8_t> incompat(static_cast<size_t>(np) * np, 0);
        for (uint32_t i = 0; i < np; i++)
            for (uint32_t j = i + 1; j < np; j++)
                if (partitionsIncompatible(sets[i].certain.data(), sets[i].possible.data(), sets[j].certain.data(),
                                           sets[j].possible.data(), tw)) {
                    incompat[static_cast<size_t>(i) * np + j] = incompat[static_cast<size_t>(j) * np + i] = 1;
                    nIncompat[i]++, nIncompat[j]++;
                }
        std::vector<uint32_t> order(np);
        std::iota(order.begin(), order.end(), 0u);
        std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
            if (ptn->weight[a] != ptn->weight[b])
                return ptn->weight[a] > ptn->weight[b];
            return nIncompat[a] < nIncompat[b];
        });
        PtnBoundData sorted;
        for (uint32_t i : order) {
            sorted.weight.push_back(ptn->weight[i]);
            sorted.repLane.push_back(ptn->repLane[i]);
            sorted.repBit.push_back(ptn->repBit[i]);
        }
        ptn->weight = std::move(sorted.weight);
        ptn->repLane = std::move(sorted.repLane);
        ptn->repBit = std::move(sorted.repBit);
        ptn->words = (np + 63) / 64;
        ptn->rows.assign(static_cast<size_t>(np) * ptn->words, 0);
        for (uint32_t i = 0; i < np; i++)
            for (uint32_t j = i + 1; j < np; j++)
                if (incompat[static_cast<size_t>(order[i]) * np + order[j]])
                    ptn->rows[static_cast<size_t>(i) * ptn->words + (j >> 6)] |= uint64_t{1} << (j & 63);
    }
    pd->ptn = ptn.release();
    return 0;
}

void ptnTreeChanges(const DataInfo *d, Tree *tree, PtnChanges *out)
{
    const PackedData *pd = packedData(d);
    const uint32_t lanes = 2 * pd->ordWords;
    out->once.assign(lanes, 0);
    out->twice.assign(lanes, 0);
    checkTraversalSeq(tree);
    for (TreeNode *v = tree->root->next; v; v = v->next) {
        TreeNode *a = v->firstChild;
        if (!a || !a->nextSib)
            continue;
        const uint64_t *x = downOf(a)->ord, *y = downOf(a->nextSib)->ord;
        for (uint32_t l = 0; l < lanes; l++)
            addSteps(*out, l, ordSteps(x, y, lanes, l));
    }
    if (TreeNode *basal = tree->root->firstChild) {
        const uint64_t *x = downOf(tree->root)->ord, *y = downOf(basal)->ord;
        for (uint32_t l = 0; l < lanes; l++)
            addSteps(*out, l, ordSteps(x, y, lanes, l));
    }
}

void ptnAddChanges(const DataInfo *d, const PtnChanges &base, const ParsNodeSets *a, const ParsNodeSets *b,
                   PtnChanges *out)
{
    const PackedData *pd = packedData(d);
    const uint32_t lanes = 2 * pd->ordWords;
    out->once.resize(lanes);
    out->twice.resize(lanes);
    for (uint32_t l = 0; l < lanes; l++) {
        const uint64_t s = ordSteps(a->ord, b->ord, lanes, l);
        out->twice[l] = base.twice[l] | (base.once[l] & s);
        out->once[l] = base.once[l] | s;
    }
}

int getFrvBound(const DataInfo *d, const ParsNodeSets *node, const ParsNodeSets *other, bool usePartitions,
                const PtnChanges *base, PtnChanges *out, double *length, double bound)
{
    const PackedData *pd = packedData(d);
    const double tol = pd->tolerance;
    const PtnBoundData *ptn = pd->ptn;
    usePartitions = usePartitions && ptn && base;
    if (!usePartitions) {
        frvAddSpan(d, node, other, false, length, bound);
        if (out && base)
            ptnAddChanges(d, *base, node, other, out);
        return *length - bound > tol;
    }
    double L = *length;
    frvAddSpan(d, node, other, false, &L, kNoScore);
    PtnChanges local;
    PtnChanges &m = out ? *out : local;
    ptnAddChanges(d, *base, node, other, &m);
    auto over = [&] {
        *length = L;
        return L - bound > tol;
    };
    if (over())
        return 1;
    thread_local std::vector<uint64_t> unchanged, R;
    unchanged.resize(ptn->lanes);
    for (uint32_t l = 0; l < ptn->lanes; l++)
        unchanged[l] = ptn->mustChange[l] & ~m.once[l];
    L += weightedBits(pd, unchanged);
    if (over())
        return 1;
    // Pairing: R holds the partitions that have not changed twice.
    const uint32_t np = ptn->count(), words = ptn->words;
    R.assign(words, 0);
    for (uint32_t p = 0; p < np; p++)
        if (!(m.twice[ptn->repLane[p]] & ptn->repBit[p]))
            R[p >> 6] |= uint64_t{1} << (p & 63);
    for (uint32_t w = 0; w < words; w++) {
        while (R[w]) {
            const uint32_t c = 64 * w + static_cast<uint32_t>(std::countr_zero(R[w]));
            R[w] &= R[w] - 1;
            const uint64_t *row = ptn->rows.data() + static_cast<size_t>(c) * words;
            for (uint32_t k = w; k < words; k++) {
                const uint64_t hit = row[k] & R[k];
                if (!hit)
                    continue;
                const uint32_t dd = 64 * k + static_cast<uint32_t>(std::countr_zero(hit));
                L += ptn->weight[dd];
                R[k] &= ~(uint64_t{1} << (dd & 63));
                if (over())
                    return 1;
                break;
            }
        }
    }
    return over();
}
