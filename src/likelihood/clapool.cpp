#include "likelihood/clapool.h"

#include <algorithm>
#include <cassert>
#include <cfloat>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>

#include "likelihood/activeml.h"
#include "likelihood/likeops.h"
#include "likelihood/mkvmodel.h"
#include "likelihood/ratevar.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_malloc.h"

#include <sys/mman.h>

namespace {

ModelGroupEngine &eng(ModelGroup *g) { return *g->engine; }
const ModelGroupEngine &eng(const ModelGroup *g) { return *g->engine; }

TreeNode *junctionOf(TreeNode *out, int dir) { return dir == kClUp ? out : out->anc; }

void *&outSlot(TreeNode *out, int dir) { return dir == kClUp ? upCLA(out) : dnCLA(out); }

// The input carried to the junction from above: the junction's own
// down-CLA, or the root as a tip when the junction hangs from it.
TreeNode *aboveInput(TreeNode *junction) { return hasDownSide(junction) ? junction : junction->anc; }

bool isLastChild(const TreeNode *n) { return n->nextSib == nullptr; }

// The internal nodes without an up-CLA in the node's subtree, skipping the
// subtrees of nodes that have one, chained so that children come before
// their parents; the node itself, when it needs one, is last.
TreeNode *setHiCLPtrs(TreeNode *top)
{
    TreeNode *head = nullptr;
    TreeNode *n = top;
    for (;;) {
        const bool needs = isInternalNode(n) && upCLA(n) == nullptr;
        if (needs) {
            n->likeData[2] = head;
            head = n;
        }
        if (needs && n->firstChild != nullptr) {
            n = n->firstChild;
            continue;
        }
        while (n != top && n->nextSib == nullptr)
            n = n->anc;
        if (n == top)
            break;
        n = n->nextSib;
    }
    return head;
}

int computeUpChain(TreeNode *top, ModelGroup *g)
{
    const bool release = eng(g).releaseConsumedCLAs;
    for (TreeNode *n = setHiCLPtrs(top); n != nullptr; n = static_cast<TreeNode *>(n->likeData[2])) {
        if (calcUpCLforOneNode(n, g) != 0)
            return 1;
        // The pool hands out the buffer returned last, still in the cache
        // when the next update writes it: a pass then works in a few
        // buffers instead of streaming through one per node, a memory
        // traffic that bounds a pass on two threads. The update that read
        // a returned buffer runs before any later one that writes it:
        // recorded steps run in order over each block of patterns, and an
        // update that is not recorded runs those first.
        if (release)
            for (TreeNode *c = n->firstChild; c != nullptr; c = c->nextSib)
                returnCLAtoPool(upCLA(c), g);
    }
    return 0;
}

// The down-CLA of the node, after those of its ancestors that it needs.
int ensureDownCLA(TreeNode *node, ModelGroup *g)
{
    if (!hasDownSide(node) || dnCLA(node) != nullptr)
        return 0;
    TreeNode *p = node->anc;
    if (ensureDownCLA(p, g) != 0)
        return 1;
    for (TreeNode *s = p->firstChild; s != nullptr; s = s->nextSib)
        if (s != node && computeUpChain(s, g) != 0)
            return 1;
    return calcDnCLForOneNode(node, g);
}

bool kernelsReady(const ModelGroup *g)
{
    const ModelGroupKernels &k = eng(g).kernels;
    return k.lik != nullptr && k.clBinary && k.runCLUpdateLoop;
}

void itemRange(const ModelGroup *g, int thread, uint32_t *first, uint32_t *last)
{
    const ModelGroupEngine &e = eng(g);
    if (thread < 0 || static_cast<size_t>(thread) >= e.threads.size()) {
        *first = 0;
        *last = e.map.nitems;
        return;
    }
    *first = e.threads[thread].firstItem;
    *last = e.threads[thread].lastItem;
}

}  // namespace

// ---- Layout -----------------------------------------------------------------------

int initCLMappings(ModelGroup *g)
{
    ModelGroupEngine &e = eng(g);
    CLMappings &map = e.map;
    map = CLMappings{};
    const uint32_t npat = g->ngrp;
    map.npat = npat;
    const bool mkLayout = e.kernels.lik != nullptr && e.kernels.lik->evalLikeRooted != nullptr;
    // The CL categories of each model: its rates with site-specific rates,
    // else its rate categories.
    std::vector<Model *> models;
    std::vector<uint32_t> firstCateg;
    for (uint32_t s = 0; s < g->nslots; ++s) {
        Model *m = g->modelOfSlot[s];
        if (std::find(models.begin(), models.end(), m) != models.end())
            continue;
        models.push_back(m);
        firstCateg.push_back(static_cast<uint32_t>(map.clCategModel.size()));
        const bool siteSpecific = m->rateInfo && (m->rateInfo->flags & kRatesSiteSpecific);
        const uint32_t k = siteSpecific ? numRatesForModel(m) : numRateCategsForModel(m);
        for (uint32_t r = 0; r < k; ++r) {
            map.clCategModel.push_back(m);
            map.clCategRate.push_back(r);
        }
    }
    map.patSiteCat.resize(npat);
    map.patOffset.resize(npat);
    map.patStates.resize(npat);
    for (uint32_t p = 0; p < npat; ++p) {
        const uint32_t slot = g->slotOfPattern ? g->slotOfPattern[p] : 0;
        if (map.siteCats.empty() || p == 0 || slot != (g->slotOfPattern ? g->slotOfPattern[p - 1] : 0)) {
            SiteCategory c;
            c.model = g->modelOfSlot[std::min(slot, g->nslots - 1)];
            c.firstPattern = p;
            c.siteSpecific = c.model->rateInfo && (c.model->rateInfo->flags & kRatesSiteSpecific);
            uint32_t base = 0;
            while (g->modelOfSlot[base] != c.model)
                ++base;
            c.rateIndex = c.siteSpecific ? slot - base : 0;
            c.nRateCats = c.siteSpecific ? 1 : numRateCategsForModel(c.model);
            const size_t mi = static_cast<size_t>(std::find(models.begin(), models.end(), c.model) - models.begin());
            c.firstClCateg = firstCateg[mi] + c.rateIndex;
            map.siteCats.push_back(c);
        }
        SiteCategory &c = map.siteCats.back();
        map.patSiteCat[p] = static_cast<uint32_t>(map.siteCats.size() - 1);
        map.patStates[p] = getNumStatesForPat(g, p);
        map.patOffset[p] = c.blockValues;
        // Every pattern takes the kernels' width (the state count, padded
        // for the vector layout).
        c.blockValues += mkLayout ? map.patStates[p] : std::max(map.patStates[p], e.nvals);
        ++c.npat;
    }
    uint64_t offset = 0;
    for (SiteCategory &c : map.siteCats) {
        c.claOffset = offset;
        for (uint32_t r = 0; r < c.nRateCats; ++r)
            for (uint32_t p = c.firstPattern; p < c.firstPattern + c.npat; ++p) {
                map.itemPattern.push_back(p);
                map.itemClCateg.push_back(c.firstClCateg + r);
                map.itemOffset.push_back(offset + r * uint64_t{c.blockValues} + map.patOffset[p]);
            }
        offset += uint64_t{c.nRateCats} * c.blockValues;
    }
    map.itemOffset.push_back(offset);
    map.nvalues = offset;
    map.nitems = static_cast<uint32_t>(map.itemPattern.size());
    map.length = map.nvalues + (e.rescaling ? npat : 0);
    if (mkLayout)
        setMkvLayout(g);
    return 0;
}

void deallocCLMappings(ModelGroup *g)
{
    if (g->engine != nullptr)
        g->engine->map = CLMappings{};
}

uint32_t numCLAsNeeded(const ModelGroup *g) { return (g->patterns ? g->patterns->ntax : 0) + 2; }

std::size_t getClaSize(const ModelGroup *g) { return size_t{eng(g).bytesPerValue} * g->ngrp; }

// Blocks this large are aligned to a huge page and offered to the system as
// huge pages before they are first touched: a whole-tree pass streams
// through every CLA, and with small pages a good part of its time goes to
// translating addresses (about a fifth of a one-thread pass over 150 taxa
// and 2,000 sites), more so on a virtual machine, whose page walks are
// nested.
constexpr std::size_t kHugePage = std::size_t{2} << 20;

ClaMemory allocClaMemory(std::size_t bytes)
{
    const bool huge = bytes >= kHugePage;
    const std::size_t alignment = huge ? kHugePage : kLikeAlignment;
    if (huge)
        bytes = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    ClaMemory m(static_cast<unsigned char *>(::operator new(bytes, std::align_val_t{alignment})),
                ClaMemoryFree{alignment});
#ifdef MADV_HUGEPAGE
    // Only advice: where the system has no huge pages the block keeps small
    // ones.
    if (huge)
        madvise(m.get(), bytes, MADV_HUGEPAGE);
#endif
    std::memset(m.get(), 0, bytes);
    return m;
}

ClaPool *createClaPool(ModelGroup *g, bool noBuffers)
{
    auto pool = std::make_unique<ClaPool>();
    if (!noBuffers) {
        const ModelGroupEngine &e = eng(g);
        const std::size_t bytes = e.map.length * e.bytesPerValue;
        pool->bufferBytes = (bytes + kLikeAlignment - 1) / kLikeAlignment * kLikeAlignment;
        pool->count = static_cast<int32_t>(numCLAsNeeded(g));
        pool->store = allocClaMemory(pool->bufferBytes * static_cast<std::size_t>(pool->count));
        for (int32_t i = 0; i < pool->count; ++i)
            pool->buffers.push_back(pool->store.get() + pool->bufferBytes * static_cast<std::size_t>(i));
        pool->freeStack = pool->buffers;
        pool->top = pool->count - 1;
        pool->lowWater = pool->count;
    }
    return pool.release();
}

ClaPool *destroyClaPool(ClaPool *pool)
{
    delete pool;
    return nullptr;
}

int initializeCLAs(ModelGroup *g, Tree *tree, bool mlDist, bool quartetPuzzling)
{
    ModelGroupEngine &e = eng(g);
    const ActiveML *aml = getActiveML();
    e.singlePrecision = mlIsSinglePrecision();
    e.vectorized = mlIsVectorized();
    e.rescaling = rescalingCLs();
    e.bytesPerValue = e.singlePrecision ? 4 : 8;
    e.stride = size_t{e.bytesPerValue} * g->nstates;
    const uint32_t ntax = g->patterns ? g->patterns->ntax : 0;
    (void)ntax;
    e.nTipRows = (tree ? tree->ntax : ntax) + ((mlDist || quartetPuzzling) ? 0 : 1);
    g->rescaleThreshold = aml ? aml->clRescale : 0.0;
    e.thresholdFloat = static_cast<float>(g->rescaleThreshold);
    try {
        initCLMappings(g);
        e.pool.reset(createClaPool(g, mlDist));
    } catch (const std::bad_alloc &) {
        reportMemoryFailure();
        finalizeCLAs(g);
        return 1;
    }
    return 0;
}

void finalizeCLAs(ModelGroup *g)
{
    if (g->engine == nullptr)
        return;
    deallocCLMappings(g);
    g->engine->pool.reset();
    g->engine->tips.clear();
}

// ---- Pool -------------------------------------------------------------------------

bool growClaPool(ModelGroup *g, int32_t count)
{
    ClaPool *pool = eng(g).pool.get();
    if (pool == nullptr || pool->bufferBytes == 0)
        return false;
    if (count <= pool->count)
        return true;
    const auto more = static_cast<std::size_t>(count - pool->count);
    try {
        // Every allocation first: a failure leaves the pool's lists as they
        // were (the free stack's entries above its top are not read).
        ClaMemory chunk = allocClaMemory(pool->bufferBytes * more);
        pool->buffers.reserve(static_cast<std::size_t>(count));
        pool->freeStack.resize(static_cast<std::size_t>(count));
        pool->grown.reserve(pool->grown.size() + 1);
        for (std::size_t i = 0; i < more; ++i) {
            void *b = chunk.get() + pool->bufferBytes * i;
            pool->buffers.push_back(b);
            pool->freeStack[static_cast<std::size_t>(++pool->top)] = b;
        }
        pool->grown.push_back(std::move(chunk));
    } catch (const std::bad_alloc &) {
        return false;
    }
    pool->lowWater += static_cast<int32_t>(more);
    pool->count = count;
    return true;
}

bool getCLAfromPool(void *&slot, ModelGroup *g)
{
    if (slot != nullptr)
        return true;
    ClaPool *pool = eng(g).pool.get();
    assert(pool != nullptr && pool->top >= 0 && "conditional-likelihood pool exhausted");
    if (pool == nullptr || pool->top < 0)
        return false;
    slot = pool->freeStack[static_cast<size_t>(pool->top--)];
    ++pool->pops;
    pool->lowWater = std::min(pool->lowWater, pool->top + 1);
    return true;
}

void returnCLAtoPool(void *&slot, ModelGroup *g)
{
    if (slot == nullptr)
        return;
    ClaPool *pool = eng(g).pool.get();
    pool->freeStack[static_cast<size_t>(++pool->top)] = slot;
    slot = nullptr;
}

int32_t numFreeCLAs(const ModelGroup *g)
{
    const ClaPool *pool = g->engine ? g->engine->pool.get() : nullptr;
    return pool ? pool->top + 1 : 0;
}

void *getRescalers(void *cla, const ModelGroup *g)
{
    const ModelGroupEngine &e = eng(g);
    if (cla == nullptr || !e.rescaling)
        return nullptr;
    return static_cast<unsigned char *>(cla) + e.map.nvalues * e.bytesPerValue;
}

// ---- Computing what is missing ---------------------------------------------------------

int updateCLforEdge(TreeNode *node, ModelGroup *g)
{
    if (!kernelsReady(g))
        return qel_errorMsg(0, "The likelihood kernels for this kind of data are not available."), 1;
    setRunCLUpdateLoopFxn(g);
    if (computeUpChain(node, g) != 0 || ensureDownCLA(node, g) != 0)
        return qel_errorMsg(0, "Out of conditional-likelihood buffers; the likelihood could not be "
                               "computed."),
               1;
    return 0;
}

int updateUpCLs(TreeNode *node, ModelGroup *g) { return computeUpChain(node, g); }

int calcUpCLforOneNode(TreeNode *node, ModelGroup *g)
{
    if (!getCLAfromPool(upCLA(node), g))
        return 1;
    TreeNode *c1 = node->firstChild;
    if (c1->nextSib->nextSib == nullptr)
        eng(g).kernels.clBinary(node, c1, c1->nextSib, kClUp, g, true);
    else
        clNonbinary(node, kClUp, g);
    return 0;
}

int calcDnCLForOneNode(TreeNode *node, ModelGroup *g)
{
    if (!getCLAfromPool(dnCLA(node), g))
        return 1;
    TreeNode *p = node->anc;
    const bool twoChildren = p->firstChild->nextSib != nullptr && p->firstChild->nextSib->nextSib == nullptr;
    if (twoChildren) {
        TreeNode *sib = p->firstChild == node ? p->firstChild->nextSib : p->firstChild;
        eng(g).kernels.clBinary(node, sib, aboveInput(p), kClDown, g, true);
    } else {
        clNonbinary(node, kClDown, g);
    }
    return 0;
}

int updateDownCLofChildren(TreeNode *node, ModelGroup *g)
{
    for (TreeNode *c = node->firstChild; c != nullptr; c = c->nextSib)
        if (ensureDownCLA(c, g) != 0)
            return 1;
    return 0;
}

// ---- Combination ---------------------------------------------------------------------

bool clBinary(TreeNode *out, TreeNode *in1, TreeNode *in2, int dir, ModelGroup *g, bool rescaleNow)
{
    ModelGroupEngine &e = eng(g);
    // Groups that split their patterns into chunks combine the rescalers
    // chunk by chunk inside the update's rounds, and rescale there too.
    if (!g->singleThreaded && e.kernels.runCLUpdateLoop == runCLUpdateLoop)
        return runKernelCLBinary(out, in1, in2, dir, g, rescaleNow);
    TreeNode *j = junctionOf(out, dir);
    if (e.rescaling) {
        void *r = getRescalers(outSlot(out, dir), g);
        const void *r1 = getRescalers(getInputCla(in1, j), g);
        const void *r2 = getRescalers(getInputCla(in2, j), g);
        if (r1 && r2)
            mergeNodeRescalers(r, r1, r2, g);
        else if (r1 || r2)
            std::memcpy(r, r1 ? r1 : r2, getClaSize(g));
        else
            std::memset(r, 0, getClaSize(g));
    }
    const bool below = e.kernels.runCLUpdateLoop(out, in1, in2, dir, g, -1);
    if (below && rescaleNow && e.rescaling) {
        rescaleNodeCL(out, dir, g);
        return false;
    }
    return below;
}

bool clNonbinary(TreeNode *node, int dir, ModelGroup *g)
{
    ModelGroupEngine &e = eng(g);
    TreeNode *j = junctionOf(node, dir);
    // The inputs in order: children (up), or the siblings and then the side
    // above the parent (down).
    TreeNode *first = nullptr, *second = nullptr;
    auto nextInput = [&](TreeNode *after) -> TreeNode * {
        if (dir == kClUp)
            return after ? after->nextSib : node->firstChild;
        TreeNode *above = aboveInput(j);
        if (after == above)
            return nullptr;
        TreeNode *s = after ? after->nextSib : j->firstChild;
        if (s == node)
            s = s->nextSib;
        return s ? s : above;
    };
    first = nextInput(nullptr);
    second = nextInput(first);
    bool below = clBinary(node, first, second, dir, g, false);
    void *r = getRescalers(outSlot(node, dir), g);
    for (TreeNode *in = nextInput(second); in != nullptr; in = nextInput(in)) {
        below |= e.kernels.runCLUpdateLoop(node, in, nullptr, dir, g, -1);
        if (r != nullptr)
            if (const void *ri = getRescalers(getInputCla(in, j), g))
                addNodeRescalers(r, ri, g);
    }
    if (below && e.rescaling) {
        rescaleNodeCL(node, dir, g);
        return false;
    }
    return below;
}

bool runCLUpdateLoop(TreeNode *out, TreeNode *in1, TreeNode *in2, int dir, ModelGroup *g, int)
{
    return runKernelCLLoop(out, in1, in2, dir, g);
}

void setRunCLUpdateLoopFxn(ModelGroup *g)
{
    // The pattern split happens inside runKernelCLLoop when the likelihood
    // threads run.
    eng(g).kernels.runCLUpdateLoop = runCLUpdateLoop;
}

// ---- Release --------------------------------------------------------------------------

void releaseAllCLAs(Tree *tree, ModelGroup *g)
{
    for (uint32_t i = 0; i < tree->maxNodes; ++i) {
        TreeNode *n = tree->nodes + i;
        returnCLAtoPool(upCLA(n), g);
        returnCLAtoPool(dnCLA(n), g);
    }
}

void resetCLAs(ModelGroup *g, Tree *tree, bool all)
{
    if (!all)
        return releaseAllCLAs(tree, g);
    for (uint32_t i = 0; i < tree->maxNodes; ++i)
        upCLA(tree->nodes + i) = dnCLA(tree->nodes + i) = nullptr;
    if (ClaPool *pool = g->engine ? g->engine->pool.get() : nullptr) {
        pool->freeStack = pool->buffers;
        pool->top = pool->count - 1;
        pool->lowWater = pool->count;
    }
}

void releaseCLAsAbove(TreeNode *node, bool alsoBelow, ModelGroup *g)
{
    returnCLAtoPool(upCLA(node), g);
    if (alsoBelow && node->firstChild != nullptr) {
        // Every CLA of the subtree below the node.
        TreeNode *n = node->firstChild;
        for (;;) {
            returnCLAtoPool(upCLA(n), g);
            returnCLAtoPool(dnCLA(n), g);
            if (n->firstChild != nullptr) {
                n = n->firstChild;
                continue;
            }
            while (n != node && n->nextSib == nullptr)
                n = n->anc;
            if (n == node)
                break;
            n = n->nextSib;
        }
    }
    if (hasDownSide(node))
        returnCLAtoPool(dnCLA(node), g);
}

void releasePreorderCLAs(ModelGroup *g, TreeNode *node, bool alsoAbove)
{
    if (isInternalNode(node))
        returnCLAtoPool(upCLA(node), g);
    else if (hasDownSide(node))
        returnCLAtoPool(dnCLA(node), g);
    TreeNode *p = node->anc;
    if (p == nullptr || isRootNode(p) || !isLastChild(node))
        return;
    for (TreeNode *e = p->firstChild; e != node; e = e->nextSib)
        releaseCLAsAbove(e, alsoAbove, g);
    if (!hasDownSide(p))
        return;
    returnCLAtoPool(dnCLA(p), g);
    if (!alsoAbove)
        return;
    for (TreeNode *cur = p; isLastChild(cur) && cur->anc != nullptr && hasDownSide(cur->anc);
         cur = cur->anc) {
        TreeNode *q = cur->anc;
        returnCLAtoPool(dnCLA(q), g);
        for (TreeNode *e = q->firstChild; e != cur; e = e->nextSib)
            releaseCLAsAbove(e, true, g);
    }
}

// ---- Selectors ---------------------------------------------------------------------------

TreeNode *getEdgeForClaCalc(TreeNode *input, TreeNode *junction)
{
    return input->anc == junction ? input : junction;
}

void *getInputCla(TreeNode *input, TreeNode *junction)
{
    if (input == junction)
        return dnCLA(junction);
    if (input->anc == junction && !isTipInput(input))
        return upCLA(input);
    return nullptr;
}

void *getAdjustedInputCla(TreeNode *input, TreeNode *out, int dir, const ModelGroup *g, int thread)
{
    auto *cla = static_cast<unsigned char *>(getInputCla(input, junctionOf(out, dir)));
    uint32_t first, last;
    itemRange(g, thread, &first, &last);
    return cla ? cla + eng(g).map.itemOffset[first] * eng(g).bytesPerValue : nullptr;
}

void *getAdjustedOutputCla(TreeNode *out, int dir, const ModelGroup *g, int thread)
{
    auto *cla = static_cast<unsigned char *>(outSlot(out, dir));
    uint32_t first, last;
    itemRange(g, thread, &first, &last);
    return cla ? cla + eng(g).map.itemOffset[first] * eng(g).bytesPerValue : nullptr;
}

void getTipAndNontipCLA(TreeNode *node, TreeNode **tip, void **cla)
{
    if (isTipInput(node)) {
        *tip = node;
        *cla = dnCLA(node);
    } else {
        *tip = node->anc;
        *cla = upCLA(node);
    }
}

const TipRow *tipRowOfNode(const TreeNode *node, const ModelGroup *g)
{
    const ModelGroupEngine &e = eng(g);
    const uint32_t row = node->index >= 0 ? static_cast<uint32_t>(node->index) : e.nTipRows - 1;
    return row < e.tips.size() ? &e.tips[row] : nullptr;
}

Model *getModelForClaCateg(const ModelGroup *g, uint32_t clCateg) { return eng(g).map.clCategModel[clCateg]; }

double getRateForClaCateg(const ModelGroup *g, uint32_t clCateg)
{
    const Model *m = getModelForClaCateg(g, clCateg);
    const MLRateInfo *ri = m->rateInfo;
    return ri && !ri->rates.empty() ? ri->rates[eng(g).map.clCategRate[clCateg]] : 1.0;
}

bool inputIsTipAt(const TreeNode *in, const TreeNode *junction)
{
    if (in == junction)
        return false;
    if (in->anc == junction)
        return isTipInput(in);
    return true;
}

ChgMatrixSet *calcChgMatrixforCL(TreeNode *input, TreeNode *junction, uint32_t clCateg,
                                 uint32_t nstates, ModelGroup *g, int thread, uint32_t which)
{
    ModelGroupEngine &e = eng(g);
    ChgMatrixSet &s = e.threads[thread < 0 ? 0 : static_cast<size_t>(thread)].in[which];
    const Model *m = getModelForClaCateg(g, clCateg);
    const double t = getBranchLen(getEdgeForClaCalc(input, junction)) * getRateForClaCateg(g, clCateg) * m->relRate;
    const TipRow *row = inputIsTipAt(input, junction) ? tipRowOfNode(input, g) : nullptr;
    const TipInfo *tip = row ? &row->info : nullptr;
    if (calcChgMatrix(tip, g, m, nstates, s.p.data(), t) != 0)
        return nullptr;
    if (e.singlePrecision)
        storeChgMatrix_SP(s.p.data(), tip, nstates, false, s.pf.data());
    return &s;
}

// ---- Diagnostics --------------------------------------------------------------------------

void showCLA(TreeNode *node, int dir, ModelGroup *g)
{
    const ModelGroupEngine &e = eng(g);
    const void *cla = outSlot(node, dir);
    if (cla == nullptr)
        return;
    uint32_t lastCat = kNoSite;
    for (uint32_t item = 0; item < e.map.nitems; ++item) {
        const uint32_t p = e.map.itemPattern[item];
        const uint32_t sc = e.map.patSiteCat[p];
        if (sc != lastCat && e.map.siteCats[sc].nRateCats > 1)
            qel_printf("%6d", static_cast<int>(sc));
        lastCat = sc;
        qel_printf("%8d  ", static_cast<int>(p));
        for (uint32_t i = 0; i < e.map.patStates[p]; ++i) {
            const uint64_t k = e.map.itemOffset[item] + i;
            const double v = e.singlePrecision ? static_cast<const float *>(cla)[k] : static_cast<const double *>(cla)[k];
            qel_printf("%12.4g", v);
        }
        qel_printf("\n");
    }
}

int32_t whichCLA(const void *buffer, const ModelGroup *g)
{
    if (buffer == nullptr)
        return -1;
    const ClaPool *pool = g->engine ? g->engine->pool.get() : nullptr;
    if (pool == nullptr || pool->buffers.empty())
        return -8888;
    const auto it = std::find(pool->buffers.begin(), pool->buffers.end(), buffer);
    return it == pool->buffers.end() ? -9999 : static_cast<int32_t>(it - pool->buffers.begin());
}
