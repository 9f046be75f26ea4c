#include "parsimony/dollo_bits.h"

#include <algorithm>
#include <bit>
#include <span>

#include "parsimony/stmx.h"
#include "trees/treeutil.h"

namespace {

// Per-character step counts past this no longer fit the counts the
// diagnostics print (as for the cost vectors).
constexpr int32_t kCharLengthLimit = 32767;
// Planes of the per-character counters: enough for counts past that limit.
constexpr uint32_t kPlanes = 16;

// The cell's states as raw state bits; 0 when it may hold any state.
uint64_t cellStates(const DataInfo *d, int32_t taxon, uint32_t c)
{
    if (isMissingOrGapMiss(taxon, c, d))
        return 0;
    const uint64_t b = getXijAsBits(d, taxon, c, nullptr);
    return b == kAllStates ? 0 : b;
}


// The node's two rows (and a fork's third) of one pass.
struct Rows {
    const uint64_t *x;  // irreversible P, Dollo H1
    const uint64_t *y;  // irreversible N, Dollo H0
    const uint64_t *o;  // Dollo: exactly one child has H1 (null for a terminal)
};

// Scratch of the calling thread, grown to the largest tree and layout seen.
struct Scratch {
    std::vector<uint64_t> x, y, o, t, none, planes, open;
    std::vector<uint32_t> counts;
};
thread_local Scratch gScratch;

// One full pass: a postorder join of every fork, the root edge, then (Dollo)
// a preorder for the losses. PerChar adds each step to its character's count.
template <bool PerChar>
class Pass {
public:
    Pass(const DataInfo *d, const DirBits &db, const Tree *tree)
        : d_(d), db_(db), tree_(tree), W_(db.words), I_(db.irrWords)
    {
        const size_t cells = static_cast<size_t>(tree->maxNodes) * W_;
        for (auto *v : {&gScratch.x, &gScratch.y, &gScratch.o, &gScratch.t})
            if (v->size() < cells)
                v->resize(cells);
        gScratch.counts.assign(W_, 0);
        gScratch.none.assign(W_, 0);
        gScratch.open.assign(W_, 0);
        if constexpr (PerChar)
            gScratch.planes.assign(static_cast<size_t>(W_) * kPlanes, 0);
        counts_ = gScratch.counts.data();
    }

    double run()
    {
        for (const TreeNode *n = tree_->tail; n; n = n->prev)
            if (n->firstChild && n->anc)
                join(n);
        const TreeNode *b = tree_->root->firstChild;
        const bool possible = rootEdge(b);
        if (possible && I_ < W_) {
            dolloLosses(b);
            // An open ancestor takes the cheaper of its two states: the
            // derived one saves the gain unless a primitive sister subtree
            // of the chain above the gain then needs a loss of its own.
            for (uint32_t w = I_; w < W_; w++)
                count(w, gScratch.open[w]);
        }
        if (unknownTip_)
            return kDirBitsNoTree;
        if constexpr (PerChar)
            addCharSteps();
        if (!possible || overflowed_)
            return kNoScore;
        double len = 0.0;
        for (uint32_t w = 0; w < W_; w++)
            len += static_cast<double>(counts_[w]) * db_.weight[w];
        return len;
    }

private:
    size_t at(const TreeNode *n) const { return static_cast<size_t>(n - tree_->nodes) * W_; }

    Rows rows(const TreeNode *n)
    {
        if (!n->firstChild) {
            // A terminal without a row (none is packed for it) reads as
            // missing, and the pass reports that it cannot score the tree.
            if (n->index < 0 || static_cast<uint32_t>(n->index) >= db_.ntax) {
                unknownTip_ = true;
                return {gScratch.none.data(), gScratch.none.data(), nullptr};
            }
            const size_t k = static_cast<size_t>(n->index) * W_;
            return {db_.tipDer.data() + k, db_.tipPrim.data() + k, nullptr};
        }
        return {gScratch.x.data() + at(n), gScratch.y.data() + at(n), gScratch.o.data() + at(n)};
    }

    // Adds the steps in mask m of word w.
    void count(uint32_t w, uint64_t m)
    {
        counts_[w] += static_cast<uint32_t>(std::popcount(m));
        if constexpr (PerChar) {
            // Bit-sliced counters, one plane per binary digit: adding a mask
            // ripples a carry up the planes.
            uint64_t *plane = gScratch.planes.data() + static_cast<size_t>(w) * kPlanes;
            for (uint32_t k = 0; m && k < kPlanes; k++) {
                const uint64_t carry = plane[k] & m;
                plane[k] ^= m;
                m = carry;
            }
            overflowed_ = overflowed_ || m;
        }
    }

    // The per-character counts out of the planes.
    void addCharSteps()
    {
        PackedData *pd = packedData(d_);
        for (uint32_t w = 0; w < W_; w++) {
            const uint64_t *plane = gScratch.planes.data() + static_cast<size_t>(w) * kPlanes;
            uint64_t any = 0;
            for (uint32_t k = 0; k < kPlanes; k++)
                any |= plane[k];
            for (; any; any &= any - 1) {
                const auto b = static_cast<uint32_t>(std::countr_zero(any));
                int32_t n = 0;
                for (uint32_t k = 0; k < kPlanes; k++)
                    n |= static_cast<int32_t>((plane[k] >> b) & 1) << k;
                int32_t &steps = pd->steps[db_.charOf[static_cast<size_t>(w) * 64 + b]];
                steps += n;
                overflowed_ = overflowed_ || steps >= kCharLengthLimit;
            }
        }
    }

    void join(const TreeNode *n)
    {
        uint64_t *__restrict X = gScratch.x.data() + at(n);
        uint64_t *__restrict Y = gScratch.y.data() + at(n);
        uint64_t *__restrict O = gScratch.o.data() + at(n);
        const TreeNode *first = n->firstChild;
        const Rows r0 = rows(first);
        std::copy_n(r0.x, W_, X);
        std::copy_n(r0.y, W_, Y);
        // Dollo's "exactly one child has H1": O gathers "two have" first.
        std::fill(O + I_, O + W_, 0);
        for (const TreeNode *c = first->nextSib; c; c = c->nextSib) {
            const Rows r = rows(c);
            for (uint32_t w = I_; w < W_; w++)
                O[w] |= X[w] & r.x[w];
            for (uint32_t w = 0; w < W_; w++) {
                X[w] |= r.x[w];
                Y[w] |= r.y[w];
            }
        }
        for (uint32_t w = I_; w < W_; w++)
            O[w] = X[w] & ~O[w];
        if (!I_)
            return;
        // Irreversible: each P child of an N node is one gain; P is then
        // what X gathered, cleared where N holds.
        for (const TreeNode *c = first; c; c = c->nextSib) {
            const uint64_t *cx = rows(c).x;
            for (uint32_t w = 0; w < I_; w++)
                if (const uint64_t m = Y[w] & cx[w])
                    count(w, m);
        }
        for (uint32_t w = 0; w < I_; w++)
            X[w] &= ~Y[w];
    }

    // The edge from the ancestor to the basal node b; false when impossible.
    bool rootEdge(const TreeNode *b)
    {
        const Rows r = rows(b);
        uint64_t *T = gScratch.t.data() + at(b);
        for (uint32_t w = 0; w < W_; w++) {
            const uint64_t der = db_.ancDer[w], prim = db_.ancPrim[w];
            if (w < I_) {
                if (der & r.y[w])
                    return false;
                count(w, prim & r.x[w]);
                continue;
            }
            count(w, prim & r.x[w]);           // the one gain
            count(w, der & ~r.x[w] & r.y[w]);  // a loss on the root edge
            // An open ancestor (neither state given) with some derived
            // terminal: the basal node is derived where two of its subtrees
            // hold one; else the chain above the gain starts as for a
            // primitive ancestor (its cost settled after the losses).
            T[w] = r.o ? ~der & r.x[w] & r.o[w] : 0;
        }
        return true;
    }

    // Preorder from b: the losses below every derived node, T marking the
    // nodes above the gain.
    void dolloLosses(const TreeNode *b)
    {
        // The root's one child: every node after it in preorder is below it.
        for (const TreeNode *n = b; n; n = n->next) {
            if (!n->firstChild)
                continue;
            const uint64_t *T = gScratch.t.data() + at(n);
            const Rows r = rows(n);
            for (const TreeNode *c = n->firstChild; c; c = c->nextSib) {
                const Rows rc = rows(c);
                for (uint32_t w = I_; w < W_; w++) {
                    const uint64_t primSister = ~rc.x[w] & rc.y[w];
                    if (const uint64_t m = r.x[w] & ~T[w] & primSister)
                        count(w, m);
                    // Beside the chain, such a subtree would need a loss
                    // under a derived ancestor: the gain then costs no more.
                    gScratch.open[w] |= T[w] & primSister & ~db_.ancPrim[w];
                }
                if (!c->firstChild)
                    continue;
                uint64_t *Tc = gScratch.t.data() + at(c);
                for (uint32_t w = I_; w < W_; w++)
                    Tc[w] = T[w] & rc.x[w] & rc.o[w];
            }
        }
    }

    const DataInfo *d_;
    const DirBits &db_;
    const Tree *tree_;
    uint32_t W_, I_;
    uint32_t *counts_;
    bool overflowed_ = false, unknownTip_ = false;
};

}  // namespace

int prepareDirBits(DataInfo *d)
{
    PackedData *pd = packedData(d);
    pd->dirBits.reset();
    std::vector<int32_t> chosen;
    auto db = std::make_shared<DirBits>();
    db->fullChars = pd->stmChars;
    for (int32_t k : pd->stmChars) {
        const StmChar &sc = pd->stmAll[static_cast<size_t>(k)];
        if (dirBitsRoutes(sc))
            chosen.push_back(k);
        else
            db->restChars.push_back(k);
    }
    if (chosen.empty())
        return 0;
    // Blocks hold routed characters only or none, and the routed ones come
    // last (see layoutStmChars): the rest keeps a prefix of the blocks, so
    // every block index and first lane stays valid while they are aside.
    auto kept = [&](const StmLane &L) { return !dirBitsRoutes(pd->stmAll[static_cast<size_t>(pd->stmIndex[L.c])]); };
    for (const StmBlock &blk : pd->stmBlocks) {
        if (!kept(pd->stmLanes[blk.lane0]))
            break;
        db->restBlocks.push_back(blk);
        for (uint32_t i = 0; i < blk.count; i++)
            db->restLanes.push_back(pd->stmLanes[blk.lane0 + i]);
    }
    db->restBlockLanes = static_cast<uint32_t>(db->restLanes.size());
    for (const StmLane &L : std::span(pd->stmLanes).subspan(pd->stmBlockLanes))
        if (kept(L))
            db->restLanes.push_back(L);
    // Irreversible before Dollo, and one weight per word.
    auto key = [&](int32_t k) {
        const StmChar &sc = pd->stmAll[static_cast<size_t>(k)];
        return std::pair{sc.dollo, pd->slots[sc.c].weight};
    };
    std::stable_sort(chosen.begin(), chosen.end(), [&](int32_t a, int32_t b) { return key(a) < key(b); });
    std::vector<uint32_t> slotOf(chosen.size());  // word x 64 + bit
    uint32_t used = 64;
    for (size_t i = 0; i < chosen.size(); i++) {
        if (used == 64 || key(chosen[i]) != key(chosen[i - 1])) {
            db->words++;
            db->charOf.resize(static_cast<size_t>(db->words) * 64, kNoChar);
            db->weight.push_back(key(chosen[i]).second);
            if (!key(chosen[i]).first)
                db->irrWords = db->words;
            used = 0;
        }
        slotOf[i] = (db->words - 1) * 64 + used++;
        db->charOf[slotOf[i]] = pd->stmAll[static_cast<size_t>(chosen[i])].c;
    }
    db->ntax = std::min(d->nActive > 0 ? static_cast<uint32_t>(d->nActive) : 0u, d->ntax);
    const uint32_t W = db->words;
    db->ancDer.assign(W, 0);
    db->ancPrim.assign(W, 0);
    db->tipDer.assign(static_cast<size_t>(db->ntax) * W, 0);
    db->tipPrim.assign(static_cast<size_t>(db->ntax) * W, 0);
    for (size_t i = 0; i < chosen.size(); i++) {
        const StmChar &sc = pd->stmAll[static_cast<size_t>(chosen[i])];
        // Gains run as the cost vectors have them (a given ancestor is
        // primitive), so the ancestor row never holds the derived state.
        const bool down = sc.down;
        const uint64_t der = uint64_t{1} << sc.state[down ? 0 : 1], prim = uint64_t{1} << sc.state[down ? 1 : 0];
        const uint32_t w = slotOf[i] / 64;
        const uint64_t bit = uint64_t{1} << (slotOf[i] % 64);
        auto place = [&](int32_t taxon, uint64_t *rowDer, uint64_t *rowPrim) {
            const uint64_t b = cellStates(d, taxon, sc.c);
            if (b == der)
                rowDer[w] |= bit;
            else if (b == prim)
                rowPrim[w] |= bit;
        };
        place(-1, db->ancDer.data(), db->ancPrim.data());
        for (uint32_t t = 0; t < db->ntax; t++)
            place(static_cast<int32_t>(t), db->tipDer.data() + static_cast<size_t>(t) * W,
                  db->tipPrim.data() + static_cast<size_t>(t) * W);
    }
    pd->dirBits = std::move(db);
    return 0;
}

bool dirBitsApply(const DataInfo *d, const Tree *tree)
{
    const PackedData *pd = packedData(d);
    if (!pd || !pd->dirBits || pd->dirBits->fullChars != pd->stmChars)
        return false;
    const TreeNode *root = tree->root;
    return root && root->index == -1 && root->firstChild && !root->firstChild->nextSib;
}

double dirBitsTreeLength(const DataInfo *d, Tree *tree, bool perChar)
{
    checkTraversalSeq(tree);
    const PackedData *pd = packedData(d);
    return perChar ? Pass<true>(d, *pd->dirBits, tree).run() : Pass<false>(d, *pd->dirBits, tree).run();
}

DirBitsAside::DirBitsAside(PackedData *pd) : pd_(pd)
{
    std::swap(pd_->stmChars, pd_->dirBits->restChars);
    std::swap(pd_->stmLanes, pd_->dirBits->restLanes);
    std::swap(pd_->stmBlocks, pd_->dirBits->restBlocks);
    std::swap(pd_->stmBlockLanes, pd_->dirBits->restBlockLanes);
}

DirBitsAside::~DirBitsAside()
{
    std::swap(pd_->stmChars, pd_->dirBits->restChars);
    std::swap(pd_->stmLanes, pd_->dirBits->restLanes);
    std::swap(pd_->stmBlocks, pd_->dirBits->restBlocks);
    std::swap(pd_->stmBlockLanes, pd_->dirBits->restBlockLanes);
}
