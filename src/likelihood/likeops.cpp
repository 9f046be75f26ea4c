#include "likelihood/likeops.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <type_traits>

#include "data/model.h"
#include "likelihood/clapool.h"
#include "likelihood/mkvmodel.h"
#include "likelihood/ml_multithread.h"
#include "likelihood/ratevar.h"
#include "qel/qel_detmath.h"

namespace {

ModelGroupEngine &eng(ModelGroup *g) { return *g->engine; }

TreeNode *junctionOf(TreeNode *out, int dir) { return dir == kClUp ? out : out->anc; }
void *outCla(TreeNode *out, int dir) { return dir == kClUp ? upCLA(out) : dnCLA(out); }

LikKernelContext contextFor(const ModelGroup *g, const SiteCategory &c)
{
    const ModelGroupEngine &e = *g->engine;
    LikKernelContext ctx{};
    ctx.nstates = g->nstates;
    ctx.nvals = e.nvals;
    ctx.npatterns = c.npat;
    ctx.ncat = c.nRateCats;
    ctx.ntipcodes = e.maxTipCodes;
    ctx.weights = g->groupPatternWeight + c.firstPattern;
    const ModelEngineData *me = c.model->engine;
    if (me != nullptr && me->pinv != 0.0 && me->constSiteLikes.size() >= size_t{c.firstPattern} + c.npat)
        ctx.constLikes = me->constSiteLikes.data() + c.firstPattern;
    if (c.model->rateInfo != nullptr && !c.model->rateInfo->probs.empty())
        ctx.catProbs = c.model->rateInfo->probs.data();
    ctx.rescaleThreshold = e.rescaling ? g->rescaleThreshold : 0.0;
    if (isMkvGroup(g))
        fillMkvContext(g, c, ctx);
    return ctx;
}

// The flat matrix buffer `which` of the CLA's precision, at least n values;
// when rows are padded (nvals > nstates) it is cleared, so that no value of
// an earlier layout stands in a padding place.
template <typename T>
T *flatBuffer(ModelGroupEngine &e, int which, size_t n, bool padded)
{
    auto &buf = [&]() -> auto & {
        if constexpr (std::is_same_v<T, float>)
            return e.flat.f[which];
        else
            return e.flat.d[which];
    }();
    if (buf.size() < n)
        buf.assign(n, T{});
    else if (padded)
        std::fill_n(buf.begin(), n, T{});
    return buf.data();
}

// rows x n values of a row-pointer matrix into a block nvals values wide,
// transposed (row j = column j) when asked.
template <typename T>
void pack(const double *const *src, uint32_t rows, uint32_t n, uint32_t nv, bool transpose, T *dst)
{
    for (uint32_t i = 0; i < rows; ++i)
        for (uint32_t j = 0; j < n; ++j)
            (transpose ? dst[size_t{j} * nv + i] : dst[size_t{i} * nv + j]) = static_cast<T>(src[i][j]);
}

size_t blockValues(const ModelGroupEngine &e, bool tip) { return size_t{tip ? e.maxTipCodes : e.nvals} * e.nvals; }

// The transition matrices of every rate category of the site category for
// one CL input, packed into dst (blockValues x categories values); false
// when the model has no P function.
template <typename T>
bool packInputMatrices(TreeNode *in, TreeNode *junction, const SiteCategory &c, bool tip, int which, ModelGroup *g,
                       T *dst, int thread = -1)
{
    ModelGroupEngine &e = eng(g);
    const uint32_t n = g->nstates;
    const size_t block = blockValues(e, tip);
    const bool transpose = !tip && e.kernels.lik->vectorLayout;
    const uint32_t rows = tip ? tipRowOfNode(in, g)->info.nrows : n;
    for (uint32_t r = 0; r < c.nRateCats; ++r) {
        ChgMatrixSet *s =
            calcChgMatrixforCL(in, junction, c.firstClCateg + r, n, g, thread, static_cast<uint32_t>(which));
        if (s == nullptr)
            return false;
        pack(s->p.data(), rows, n, e.nvals, transpose, dst + r * block);
    }
    return true;
}

// The same packed into flat buffer `which`; null without a P function.
template <typename T>
const T *inputMatrices(TreeNode *in, TreeNode *junction, const SiteCategory &c, bool tip, int which, ModelGroup *g)
{
    if constexpr (std::is_same_v<T, double>)
        if (isMkvGroup(g))
            return mkvInputMatrices(in, junction, c, tip, which, g);
    ModelGroupEngine &e = eng(g);
    T *dst = flatBuffer<T>(e, which, blockValues(e, tip) * c.nRateCats, e.nvals != g->nstates);
    return packInputMatrices(in, junction, c, tip, which, g, dst) ? dst : nullptr;
}

// Room for n matrix values of a recorded step in the batch's store; its
// offset goes into `at`. The pointer holds until the store next grows. When
// rows are padded the room is cleared, as flatBuffer does.
template <typename T>
AlignedVector<T> &storeOf(ClBatchRecord &b)
{
    if constexpr (std::is_same_v<T, float>)
        return b.storeF;
    else
        return b.storeD;
}

template <typename T>
T *batchMatrices(ClBatchRecord &b, size_t n, bool padded, size_t &at)
{
    AlignedVector<T> &store = storeOf<T>(b);
    at = b.used;
    b.used += n;
    if (store.size() < b.used)
        store.resize(b.used + b.used / 2, T{});
    else if (padded)
        std::fill_n(store.begin() + static_cast<std::ptrdiff_t>(at), n, T{});
    return store.data() + at;
}

constexpr size_t kNoMatrix = ~size_t{0};
// Bytes of matrices a recorded pass holds at most: beyond them (many states,
// many taxa) what is recorded runs first, and recording goes on.
constexpr size_t kBatchStoreBytes = size_t{32} << 20;

// Matrix jobs [first, end) on thread `thread`, into its own workspaces.
template <typename T>
void makeMatrices(void *arg, uint32_t first, uint32_t end, int32_t thread)
{
    auto *g = static_cast<ModelGroup *>(arg);
    ClBatchRecord &b = eng(g).batch;
    T *store = storeOf<T>(b).data();
    for (uint32_t i = first; i < end; ++i) {
        const ClMatrixJob &j = b.jobs[i];
        packInputMatrices<T>(j.in, j.junction, *j.cat, j.tip, j.which, g, store + j.at, thread);
    }
}

// Every recorded update's matrices, over the threads when they take part
// and each has its workspaces; any thread makes the same values.
void makeRecordedMatrices(ModelGroup *g)
{
    ModelGroupEngine &e = eng(g);
    ClBatchRecord &b = e.batch;
    const auto n = static_cast<uint32_t>(b.jobs.size());
    const LikJobFxn job = e.singlePrecision ? makeMatrices<float> : makeMatrices<double>;
    const bool workspaces = e.threads.size() >= static_cast<size_t>(std::max(likThreadCount(e.likThreads), 1));
    if (!workspaces || !runLikJobs(e.likThreads, n, job, g))
        job(g, 0, n, -1);
    b.jobs.clear();
}

// Runs every recorded step in one round and empties the record; the store's
// offsets become the steps' matrix pointers first (the store no longer
// grows).
void runRecordedSteps(ModelGroup *g)
{
    ModelGroupEngine &e = eng(g);
    ClBatchRecord &b = e.batch;
    if (b.batch.steps.empty())
        return;
    makeRecordedMatrices(g);
    auto at = [&](size_t off) -> const void * {
        if (off == kNoMatrix)
            return nullptr;
        return e.singlePrecision ? static_cast<const void *>(storeOf<float>(b).data() + off)
                                 : static_cast<const void *>(storeOf<double>(b).data() + off);
    };
    for (size_t i = 0; i < b.batch.steps.size(); ++i) {
        LikBatchStep &s = b.batch.steps[i];
        const auto &m = b.matrixAt[i];
        if (s.loop != nullptr) {
            s.op.P1 = at(m[0]);
            s.op.P2 = at(m[1]);
        } else {
            s.evalOp.W = at(m[0]);
            s.evalOp.W1 = at(m[1]);
            s.evalOp.W2 = at(m[2]);
        }
    }
    runLikBatch(e.likThreads, b.batch);
    b.batch.steps.clear();
    b.matrixAt.clear();
    b.used = 0;
}

// How a CL update treats the output's rescalers.
enum class ScalerWork : uint8_t {
    None,           // left alone (the caller looks after them)
    Combine,        // the inputs' rescalers combined into them, chunk by chunk
    CombineRescale  // and the output rescaled when a value falls below the threshold
};

// This site category's part of a rescaler block, or null.
const void *scalersAt(const void *block, const SiteCategory &c, const ModelGroupEngine &e)
{
    return block ? static_cast<const unsigned char *>(block) + size_t{c.firstPattern} * e.bytesPerValue : nullptr;
}

// Appends a step with the store offsets of its matrices.
void recordStep(ClBatchRecord &rec, const LikBatchStep &step, const std::array<size_t, 3> &at)
{
    rec.batch.steps.push_back(step);
    rec.matrixAt.push_back(at);
}

// The inputs of a CL update and the node where they meet.
struct UpdateInputs {
    TreeNode *in1;
    bool tip1;
    TreeNode *in2;
    bool tip2;
    TreeNode *junction;
};

// Records a binary CL update of site category sc, its matrices packed into
// the batch's store; false when the model has no P function.
template <typename T>
bool recordUpdate(ModelGroup *g, uint32_t sc, LikClLoopFxn fxn, const LikClOp &op, const LikScalerOp &s,
                  const UpdateInputs &u)
{
    ModelGroupEngine &e = eng(g);
    ClBatchRecord &rec = e.batch;
    const SiteCategory &c = e.map.siteCats[sc];
    const ModelEngineData *me = c.model->engine;
    if (me == nullptr || me->fxns.chgMatrix == nullptr)
        return false;  // no P function: the update cannot be made, as on the direct path
    const bool padded = e.nvals != g->nstates;
    const size_t n1 = blockValues(e, u.tip1) * c.nRateCats, n2 = blockValues(e, u.tip2) * c.nRateCats;
    if ((rec.used + n1 + n2) * sizeof(T) > kBatchStoreBytes)
        runRecordedSteps(g);
    std::array<size_t, 3> at{kNoMatrix, kNoMatrix, kNoMatrix};
    batchMatrices<T>(rec, n1, padded, at[0]);
    batchMatrices<T>(rec, n2, padded, at[1]);
    rec.jobs.push_back(ClMatrixJob{u.in1, u.junction, &c, at[0], u.tip1, 0});
    rec.jobs.push_back(ClMatrixJob{u.in2, u.junction, &c, at[1], u.tip2, 1});
    recordStep(rec, {.context = sc, .loop = fxn, .op = op, .scalers = s}, at);
    return true;
}

template <typename T>
bool clLoopForSiteCats(LikClLoopFxn fxn, TreeNode *out, TreeNode *in1, bool tip1, TreeNode *in2, bool tip2,
                       int dir, ModelGroup *g, ScalerWork work)
{
    ModelGroupEngine &e = eng(g);
    TreeNode *j = junctionOf(out, dir);
    T *outBase = static_cast<T *>(outCla(out, dir));
    const bool threads = !g->singleThreaded;
    void *rOut = work != ScalerWork::None ? getRescalers(outBase, g) : nullptr;
    const void *r1 = rOut ? getRescalers(getInputCla(in1, j), g) : nullptr;
    const void *r2 = rOut && in2 != nullptr ? getRescalers(getInputCla(in2, j), g) : nullptr;
    const T *cla1 = tip1 ? nullptr : static_cast<const T *>(getInputCla(in1, j));
    const T *cla2 = in2 == nullptr || tip2 ? nullptr : static_cast<const T *>(getInputCla(in2, j));
    const TipRow *row1 = tip1 ? tipRowOfNode(in1, g) : nullptr;
    const TipRow *row2 = in2 != nullptr && tip2 ? tipRowOfNode(in2, g) : nullptr;
    // A recorded pass takes the updates that look after their output's
    // rescaling themselves; any other runs at once, after what is recorded,
    // whose outputs it may read.
    ClBatchRecord &rec = e.batch;
    const bool record = rec.recording && work == ScalerWork::CombineRescale && in2 != nullptr;
    if (rec.recording && !record)
        runRecordedSteps(g);
    bool below = false;
    for (uint32_t sc = 0; sc < e.map.siteCats.size(); ++sc) {
        const SiteCategory &c = e.map.siteCats[sc];
        LikClOp op{};
        op.out = outBase + c.claOffset;
        op.in1 = cla1 ? cla1 + c.claOffset : nullptr;
        op.tip1 = row1 ? row1->codes.data() + c.firstPattern : nullptr;
        op.in2 = cla2 ? cla2 + c.claOffset : nullptr;
        op.tip2 = row2 ? row2->codes.data() + c.firstPattern : nullptr;
        LikScalerOp s{};
        if (rOut != nullptr) {
            s.out = const_cast<void *>(scalersAt(rOut, c, e));
            s.in1 = scalersAt(r1, c, e);
            s.in2 = scalersAt(r2, c, e);
            s.bytesPerValue = e.bytesPerValue;
            s.merge = e.kernels.lik->mergeRescalers;
            s.rescale = work == ScalerWork::CombineRescale ? e.kernels.lik->rescaleCL : nullptr;
        }
        if (record) {
            if (!recordUpdate<T>(g, sc, fxn, op, s, {in1, tip1, in2, tip2, j}))
                return false;
            continue;
        }
        op.P1 = inputMatrices<T>(in1, j, c, tip1, 0, g);
        if (in2 != nullptr)
            op.P2 = inputMatrices<T>(in2, j, c, tip2, 1, g);
        if (op.P1 == nullptr || (in2 != nullptr && op.P2 == nullptr))
            return false;
        if (threads)
            below |= clUpdateMultithreaded(e.likThreads, fxn, contextFor(g, c), op, s);
        else
            below |= fxn(contextFor(g, c), op, 0, c.npat * c.nRateCats);
    }
    return below;
}

// What an edge offers an evaluator: the CLA at each end, or the tip row at
// one of them.
struct EdgeEnds {
    void *a = nullptr;  // the child end, or the non-tip end
    void *b = nullptr;  // the parent end (no tip end)
    const TipRow *tip = nullptr;
};

bool edgeEnds(TreeNode *node, ModelGroup *g, EdgeEnds &ends)
{
    if (isTipInput(node)) {
        if (!hasDownSide(node))
            return false;  // a tip beside a tip root: no CLA at either end
        ends.a = dnCLA(node);
        ends.tip = tipRowOfNode(node, g);
    } else if (!hasDownSide(node)) {
        ends.a = upCLA(node);
        ends.tip = tipRowOfNode(node->anc, g);
    } else {
        ends.a = upCLA(node);
        ends.b = dnCLA(node);
    }
    return ends.a != nullptr && (ends.tip != nullptr || ends.b != nullptr);
}

template <typename T>
LikResult evaluateForSiteCats(TreeNode *node, ModelGroup *g, uint32_t mode, const EdgeEnds &ends)
{
    ModelGroupEngine &e = eng(g);
    const LikKernels &K = *e.kernels.lik;
    const bool tip = ends.tip != nullptr;
    const bool derivs = (mode & (kLikModeD1 | kLikModeD2)) != 0;
    const uint32_t n = g->nstates;
    const TipInfo *tipInfo = tip ? &ends.tip->info : nullptr;
    const LikEvalFxn fxn = tip ? K.eval1Tip : K.eval0Tip;
    const bool transpose = !tip && K.vectorLayout;
    const size_t block = blockValues(e, tip);
    const auto *ra = static_cast<const T *>(getRescalers(ends.a, g));
    const auto *rb = static_cast<const T *>(getRescalers(ends.b, g));
    std::vector<ChgMatrixSet> &sets = e.threads[0].categ;
    // In a recorded pass the evaluation closes the round: its matrices go
    // to the store, each site category's apart.
    ClBatchRecord &rec = e.batch;
    const bool record = rec.recording;
    LikResult total{0, 0, 0};
    for (uint32_t sc = 0; sc < e.map.siteCats.size(); ++sc) {
        const SiteCategory &c = e.map.siteCats[sc];
        const T *W[3] = {nullptr, nullptr, nullptr};
        std::array<size_t, 3> at{kNoMatrix, kNoMatrix, kNoMatrix};
        if constexpr (std::is_same_v<T, double>)
            if (isMkvGroup(g) && mkvEvalMatrices(node, tipInfo, g, sc, derivs, W) == 0)
                return likInfiniteResult();
        if (W[0] == nullptr) {
            const uint32_t k = derivs ? calcPiMforSiteCat(node, tipInfo, g, sc, n, sets.data())
                                      : calcPiPforSiteCat(node, tipInfo, g, sc, n, sets.data());
            if (k == 0)
                return likInfiniteResult();
            T *packed[3] = {nullptr, nullptr, nullptr};
            if (record) {
                for (int w = 0; w < (derivs ? 3 : 1); ++w)
                    batchMatrices<T>(rec, block * k, e.nvals != n, at[w]);
                for (int w = 0; w < (derivs ? 3 : 1); ++w)
                    packed[w] = storeOf<T>(rec).data() + at[w];
            } else {
                packed[0] = flatBuffer<T>(e, 2, block * k, e.nvals != n);
                if (derivs) {
                    packed[1] = flatBuffer<T>(e, 3, block * k, e.nvals != n);
                    packed[2] = flatBuffer<T>(e, 4, block * k, e.nvals != n);
                }
            }
            const uint32_t rows = tip ? tipInfo->nrows : n;
            for (uint32_t r = 0; r < k; ++r) {
                pack(sets[r].p.data(), rows, n, e.nvals, transpose, packed[0] + r * block);
                if (derivs) {
                    pack(sets[r].d1.data(), rows, n, e.nvals, transpose, packed[1] + r * block);
                    pack(sets[r].d2.data(), rows, n, e.nvals, transpose, packed[2] + r * block);
                }
            }
            std::copy_n(packed, 3, W);
        }
        LikEvalOp op{};
        op.a = static_cast<const T *>(ends.a) + c.claOffset;
        op.b = ends.b ? static_cast<const T *>(ends.b) + c.claOffset : nullptr;
        op.tip = tip ? ends.tip->codes.data() + c.firstPattern : nullptr;
        op.scalerA = ra ? ra + c.firstPattern : nullptr;
        op.scalerB = rb ? rb + c.firstPattern : nullptr;
        op.W = W[0];
        op.W1 = W[1];
        op.W2 = W[2];
        if (record) {
            recordStep(rec, {.context = sc, .eval = fxn, .evalOp = op, .mode = mode}, at);
            continue;
        }
        const LikKernelContext ctx = contextFor(g, c);
        const LikResult r = !g->singleThreaded
                                ? evalEdgeMultithreaded(e.likThreads, fxn, ctx, op, mode)
                                : fxn(ctx, op, 0, c.npat, mode);
        if (!addLikResult(total, r))
            return likInfiniteResult();
    }
    if (!record)
        return total;
    runRecordedSteps(g);
    for (uint32_t sc = 0; sc < e.map.siteCats.size(); ++sc)
        if (!addLikResult(total, likBatchEvalResult(rec.batch, sc)))
            return likInfiniteResult();
    return total;
}

LikKernelContext wholeGroupContext(const ModelGroup *g)
{
    LikKernelContext ctx{};
    ctx.nstates = g->nstates;
    ctx.npatterns = g->ngrp;
    return ctx;
}

}  // namespace

namespace {

bool runKernelCL(TreeNode *out, TreeNode *in1, TreeNode *in2, int dir, ModelGroup *g, ScalerWork work)
{
    const LikKernels &K = *eng(g).kernels.lik;
    TreeNode *j = junctionOf(out, dir);
    bool t1 = inputIsTipAt(in1, j), t2 = in2 != nullptr && inputIsTipAt(in2, j);
    LikClLoopFxn fxn = K.clLoopNonbin;
    if (in2 != nullptr) {
        if (t2 && !t1) {
            std::swap(in1, in2);
            std::swap(t1, t2);
        }
        fxn = t1 && t2 ? K.clLoop_2Tip : t1 ? K.clLoop_1Tip : K.clLoop_0Tip;
    }
    return eng(g).singlePrecision ? clLoopForSiteCats<float>(fxn, out, in1, t1, in2, t2, dir, g, work)
                                  : clLoopForSiteCats<double>(fxn, out, in1, t1, in2, t2, dir, g, work);
}

}  // namespace

bool runKernelCLLoop(TreeNode *out, TreeNode *in1, TreeNode *in2, int dir, ModelGroup *g)
{
    return runKernelCL(out, in1, in2, dir, g, ScalerWork::None);
}

bool runKernelCLBinary(TreeNode *out, TreeNode *in1, TreeNode *in2, int dir, ModelGroup *g, bool rescaleNow)
{
    return runKernelCL(out, in1, in2, dir, g, rescaleNow ? ScalerWork::CombineRescale : ScalerWork::Combine);
}

void rescaleNodeCL(TreeNode *out, int dir, ModelGroup *g)
{
    ModelGroupEngine &e = eng(g);
    auto *cla = static_cast<unsigned char *>(outCla(out, dir));
    auto *scalers = static_cast<unsigned char *>(getRescalers(cla, g));
    if (scalers == nullptr)
        return;
    for (const SiteCategory &c : e.map.siteCats) {
        const LikKernelContext ctx = contextFor(g, c);
        void *block = cla + c.claOffset * e.bytesPerValue, *rs = scalers + size_t{c.firstPattern} * e.bytesPerValue;
        if (!g->singleThreaded)
            rescaleMultithreaded(e.likThreads, e.kernels.lik->rescaleCL, ctx, block, rs);
        else
            e.kernels.lik->rescaleCL(ctx, block, rs, 0, c.npat);
    }
}

void mergeNodeRescalers(void *out, const void *a, const void *b, const ModelGroup *g)
{
    g->engine->kernels.lik->mergeRescalers(wholeGroupContext(g), a, b, out);
}

void addNodeRescalers(void *out, const void *in, const ModelGroup *g)
{
    g->engine->kernels.lik->addRescalers(wholeGroupContext(g), in, out);
}

bool beginClBatch(ModelGroup *g)
{
    ModelGroupEngine &e = eng(g);
    ClBatchRecord &b = e.batch;
    if (b.recording || g->singleThreaded || isMkvGroup(g) || e.kernels.lik == nullptr ||
        e.kernels.clBinary != clBinary)
        return false;
    b.batch.clear();
    b.matrixAt.clear();
    b.jobs.clear();
    b.used = 0;
    for (const SiteCategory &c : e.map.siteCats)
        b.batch.contexts.push_back(contextFor(g, c));
    b.recording = true;
    return true;
}

void endClBatch(ModelGroup *g)
{
    ClBatchRecord &b = eng(g).batch;
    if (!b.recording)
        return;
    runRecordedSteps(g);
    b.recording = false;
}

LikResult evaluateEdge(TreeNode *node, ModelGroup *g, uint32_t mode)
{
    EdgeEnds ends;
    if (!edgeEnds(node, g, ends))
        return likInfiniteResult();
    return eng(g).singlePrecision ? evaluateForSiteCats<float>(node, g, mode, ends)
                                  : evaluateForSiteCats<double>(node, g, mode, ends);
}

double evalLikeUnrooted(Tree *, TreeNode *node, ModelGroup *g) { return evaluateEdge(node, g, kLikModeLnL).lnL; }

double evalLikeRooted(Tree *, TreeNode *node, ModelGroup *g) { return evaluateEdge(node, g, kLikModeLnL).lnL; }

void evaluateDerivatives(double result[3], TreeNode *node, ModelGroup *g, int mode)
{
    const LikResult r = evaluateEdge(node, g, static_cast<uint32_t>(mode));
    result[0] = r.lnL;
    result[1] = r.d1;
    result[2] = r.d2;
}

namespace {

// Table chunks [first, end) on one thread.
void makeTableChunks(void *arg, uint32_t first, uint32_t end, int32_t)
{
    ModelGroupEngine &e = eng(static_cast<ModelGroup *>(arg));
    EdgeTableWork &w = e.edgeTable;
    const LikTableFxn fxn = w.tip ? e.kernels.lik->table1Tip : e.kernels.lik->table0Tip;
    for (uint32_t i = first; i < end; ++i) {
        const LikBatchUnit &u = w.units[i];
        const EdgeTableCategory &tc = w.cats[u.context];
        fxn(tc.ctx, tc.op, u.first, u.end);
    }
}

// Rows of a site category's eigen sides, nvals wide (padding 0); a tip end
// sums its codes' rows as the tip tables do.
bool fillTableSides(const SiteCategory &c, const TipInfo *tip, uint32_t n, uint32_t nv, EdgeTableCategory &tc)
{
    const SpectralForm *f = modelSpectralForm(c.model);
    if (f == nullptr || f->n != n)
        return false;
    const double *pi = c.model->engine->pi.data();
    tc.xSide.assign(size_t{nv} * nv, 0.0);
    tc.ySide.assign(size_t{nv} * nv, 0.0);
    for (uint32_t i = 0; i < n; ++i)
        for (uint32_t k = 0; k < n; ++k) {
            tc.xSide[size_t{i} * nv + k] = pi[i] * f->u[size_t{i} * n + k];
            tc.ySide[size_t{i} * nv + k] = f->v[size_t{i} * n + k];
        }
    tc.lambda.assign(f->lambda.begin(), f->lambda.end());
    if (tip == nullptr)
        return true;
    tc.tipSide.assign(size_t{tip->nrows} * nv, 0.0);
    auto addRow = [&](uint32_t code, uint32_t state) {
        for (uint32_t k = 0; k < n; ++k)
            tc.tipSide[size_t{code} * nv + k] += tc.ySide[size_t{state} * nv + k];
    };
    for (uint32_t i = 0; i < n; ++i) {
        addRow(i, i);
        addRow(n, i);
    }
    for (uint32_t code = n + 1; code < tip->nrows; ++code) {
        const uint8_t *list = tip->codeStates[code - n - 1];
        for (uint32_t k = 1; k <= list[0]; ++k)
            addRow(code, list[k]);
    }
    return true;
}

}  // namespace

bool prepareEdgeTable(TreeNode *node, ModelGroup *g)
{
    ModelGroupEngine &e = eng(g);
    EdgeTableWork &w = e.edgeTable;
    w.node = nullptr;
    if (e.kernels.lik == nullptr || e.kernels.lik->table0Tip == nullptr || isMkvGroup(g) ||
        e.kernels.evaluateDerivatives != evaluateDerivatives || e.batch.recording)
        return false;
    EdgeEnds ends;
    if (!edgeEnds(node, g, ends))
        return false;
    const bool tip = ends.tip != nullptr;
    const uint32_t n = g->nstates, nv = e.nvals;
    const auto *ra = static_cast<const unsigned char *>(getRescalers(ends.a, g));
    const auto *rb = static_cast<const unsigned char *>(getRescalers(ends.b, g));
    const auto *a = static_cast<const unsigned char *>(ends.a);
    const auto *b = static_cast<const unsigned char *>(ends.b);
    w.table.resize(e.map.nvalues);
    w.constTerms.resize(e.map.npat);
    w.cats.resize(e.map.siteCats.size());
    w.units.clear();
    for (uint32_t sc = 0; sc < e.map.siteCats.size(); ++sc) {
        const SiteCategory &c = e.map.siteCats[sc];
        EdgeTableCategory &tc = w.cats[sc];
        if (!fillTableSides(c, tip ? &ends.tip->info : nullptr, n, nv, tc))
            return false;
        tc.rates.resize(c.nRateCats);
        tc.weights.resize(c.nRateCats);
        if (siteCatRatesAndWeights(g, sc, tc.rates.data(), tc.weights.data()) != c.nRateCats)
            return false;
        tc.ctx = contextFor(g, c);
        LikTableOp &op = tc.op;
        op = LikTableOp{};
        op.a = a + c.claOffset * e.bytesPerValue;
        op.b = b ? b + c.claOffset * e.bytesPerValue : nullptr;
        op.tip = tip ? ends.tip->codes.data() + c.firstPattern : nullptr;
        op.scalerA = ra ? ra + size_t{c.firstPattern} * e.bytesPerValue : nullptr;
        op.scalerB = rb ? rb + size_t{c.firstPattern} * e.bytesPerValue : nullptr;
        op.xSide = tc.xSide.data();
        op.ySide = tc.ySide.data();
        op.tipSide = tip ? tc.tipSide.data() : nullptr;
        op.catWeights = tc.weights.data();
        op.table = w.table.data() + c.claOffset;
        op.constTerms = w.constTerms.data() + c.firstPattern;
        const uint32_t chunk = likChunkPatterns(c.npat);
        for (uint32_t p = 0; p < c.npat; p += chunk)
            w.units.push_back({sc, p, std::min(p + chunk, c.npat)});
    }
    w.tip = tip;
    const auto units = static_cast<uint32_t>(w.units.size());
    if (g->singleThreaded || !runLikJobs(e.likThreads, units, makeTableChunks, g))
        makeTableChunks(g, 0, units, -1);
    w.node = node;
    return true;
}

LikResult evaluateEdgeTable(TreeNode *node, ModelGroup *g, uint32_t mode)
{
    ModelGroupEngine &e = eng(g);
    EdgeTableWork &w = e.edgeTable;
    if (w.node != node)
        return evaluateEdge(node, g, mode);
    const LikKernels &K = *e.kernels.lik;
    const uint32_t n = g->nstates, nv = e.nvals;
    const double t = getBranchLen(node);
    LikResult total{0, 0, 0};
    for (uint32_t sc = 0; sc < e.map.siteCats.size(); ++sc) {
        const SiteCategory &c = e.map.siteCats[sc];
        EdgeTableCategory &tc = w.cats[sc];
        const size_t block = size_t{c.nRateCats} * nv;
        tc.exps.assign(3 * block, 0.0);
        double *E0 = tc.exps.data(), *E1 = E0 + block, *E2 = E1 + block;
        for (uint32_t r = 0; r < c.nRateCats; ++r) {
            // Below this rate the matrices are the identity with no slope.
            const bool still = tc.rates[r] < 1e-10;
            for (uint32_t k = 0; k < n; ++k) {
                const double x = still ? 0.0 : tc.lambda[k] * tc.rates[r];
                const double ex = detExp(x * t);
                E0[r * nv + k] = ex;
                E1[r * nv + k] = x * ex;
                E2[r * nv + k] = x * x * ex;
            }
        }
        LikEvalOp op{};
        op.a = tc.op.table;
        op.scalerA = tc.ctx.constLikes != nullptr ? tc.op.constTerms : nullptr;
        op.W = E0;
        op.W1 = E1;
        op.W2 = E2;
        const LikResult r = !g->singleThreaded ? evalEdgeMultithreaded(e.likThreads, K.evalTable, tc.ctx, op, mode)
                                               : K.evalTable(tc.ctx, op, 0, c.npat, mode);
        if (!addLikResult(total, r))
            return likInfiniteResult();
    }
    return total;
}
