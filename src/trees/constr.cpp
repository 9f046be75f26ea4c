#include "trees/constr.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "cli/qel_cmdline.h"
#include "cli/qel_cmdoptions.h"
#include "cli/shell_settings.h"
#include "data/chartaxlist.h"
#include "data/nexsets.h"
#include "data/vorn_data.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_output.h"
#include "qel/qel_progress.h"
#include "qel/qel_setptn.h"
#include "qel/qel_strings.h"
#include "trees/drawtree.h"
#include "trees/readtree.h"
#include "trees/treeedit.h"

namespace {

struct ConInfo {
    Constraint *first = nullptr;
    Constraint *last = nullptr;
    const Constraint *builtFor = nullptr;
    Constraint *active = nullptr;
    Constraint *savedActive = nullptr;
    uint32_t count = 0;
    uint64_t generation = 1;
    int32_t looseness = 0;
} conInfo;

void (*gConstraintsReleased)() = nullptr;
int32_t (*gLoosenessSource)() = nullptr;

constexpr ConWord kAllOnes = ~ConWord{0};

uint32_t groupCountForBits(const Constraint *c)
{
    const uint32_t n = c->groups ? c->groups->count : 0;
    return c->type == kConBackbone && n > 0 ? n - 1 : n;
}

uint32_t wordsFor(const Constraint *c)
{
    if (c->type == kConConvexity)
        return 0;
    const uint32_t g = groupCountForBits(c);
    return g == 0 ? 0 : ((g - 1) >> 7) + 1;
}

bool splitHas(const uint64_t *split, uint32_t taxon) { return (split[taxon >> 6] >> (taxon & 63)) & 1u; }

ConWord bitOf(uint32_t b) { return ConWord{1} << b; }

void freeConstraint(Constraint *c)
{
    // Any per-tree data built for it are stale from now on.
    if (conInfo.builtFor == c)
        conInfo.builtFor = nullptr;
    if (conInfo.savedActive == c)
        conInfo.savedActive = nullptr;
    conInfo.generation++;
    delete c;
}

// Unlinks c from the registry without freeing it.
void unlinkConstraint(Constraint *c)
{
    Constraint *prev = nullptr;
    for (Constraint *p = conInfo.first; p; prev = p, p = p->next) {
        if (p != c)
            continue;
        (prev ? prev->next : conInfo.first) = p->next;
        if (conInfo.last == p)
            conInfo.last = prev;
        conInfo.count--;
        if (conInfo.active == p)
            conInfo.active = nullptr;
        return;
    }
}

// Takes a constraint out of the registry for good.
void discardConstraint(Constraint *c)
{
    unlinkConstraint(c);
    freeConstraint(c);
}

void appendConstraint(Constraint *c, bool makeActive)
{
    c->next = nullptr;
    (conInfo.last ? conInfo.last->next : conInfo.first) = c;
    conInfo.last = c;
    conInfo.count++;
    if (makeActive || !conInfo.active)
        conInfo.active = c;
}

// A name token of at most kMaxConstraintName characters; a longer one is
// refused rather than cut.
int readConstraintName(char *name)
{
    char word[kMaxConstraintName + 2];
    if (readToken(word, sizeof word) < 0)
        return 1;
    if (tokenWasTruncated() || std::strlen(word) > kMaxConstraintName)
        return qel_errorMsg(0, "Constraint names cannot be longer than %u characters.", kMaxConstraintName);
    std::strcpy(name, word);
    return 0;
}

// ---- The tests on records --------------------------------------------------------

bool convexJoin(const ConRec *a, const ConRec *b, ConWord *set, uint32_t *count)
{
    *set = a->set & b->set;
    *count = a->count + b->count;
    if (*set == 0) {
        *set = a->set | b->set;
        ++*count;
    }
    return true;
}

}  // namespace

// ---- Registry --------------------------------------------------------------------

Constraint *getActiveConstraint() { return conInfo.active; }
void setActiveConstraint(Constraint *c) { conInfo.active = c; }
uint32_t activeConstraintType() { return conInfo.active ? conInfo.active->type : kConMonophyly; }
uint32_t numConstrWords() { return conInfo.active ? wordsFor(conInfo.active) : 0; }
Constraint *firstConstraint() { return conInfo.first; }
uint32_t numConstraints() { return conInfo.count; }
uint64_t constraintGeneration() { return conInfo.generation; }
void setConvexLooseness(int32_t looseness) { conInfo.looseness = looseness; }
void setConvexLoosenessSource(int32_t (*source)()) { gLoosenessSource = source; }
void useCurrentConvexLooseness()
{
    if (gLoosenessSource)
        conInfo.looseness = gLoosenessSource();
}

uint32_t constraintPos(const Constraint *c)
{
    uint32_t i = 0;
    for (const Constraint *p = conInfo.first; p; p = p->next, i++)
        if (p == c)
            return i;
    return 0xFFFFFFFFu;
}

Constraint *constraintTagToPtr(const char *name)
{
    for (Constraint *p = conInfo.first; p; p = p->next)
        if (stricmp(p->name, name) == 0)
            return p;
    return nullptr;
}

Constraint *getConstraintRefFromInput()
{
    char name[kMaxConstraintName + 1];
    if (readConstraintName(name) != 0)
        return nullptr;
    Constraint *c = constraintTagToPtr(name);
    if (!c)
        qel_errorMsg(711, "Constraint \"%s\" has not been defined.", name);
    return c;
}

Constraint *addConstraint(const char *name, uint32_t type, SplitsList *groups, bool makeActive)
{
    auto *c = new (std::nothrow) Constraint;
    if (!c) {
        destroySplitsList(groups);
        return nullptr;
    }
    std::snprintf(c->name, sizeof c->name, "%s", name);
    c->type = type;
    c->groups.reset(groups);
    c->words = wordsFor(c);
    appendConstraint(c, makeActive);
    return c;
}

void setConstraintsReleasedHook(void (*hook)()) { gConstraintsReleased = hook; }

void deallocAllConstraints()
{
    for (Constraint *c = conInfo.first; c;) {
        Constraint *next = c->next;
        freeConstraint(c);
        c = next;
    }
    const uint64_t generation = conInfo.generation;
    conInfo = ConInfo{};
    conInfo.generation = generation + 1;
    if (gConstraintsReleased)
        gConstraintsReleased();
}

// ---- Reading constraints ----------------------------------------------------------

namespace {

// Holds every taxon active (deleted ones included) while constraints are read
// or shown, and restores the count after.
class AllTaxaActive {
public:
    explicit AllTaxaActive(DataInfo *d) : d_(d), saved_(d ? d->nActive : 0)
    {
        if (d_)
            d_->nActive = static_cast<int32_t>(d_->ntax);
    }
    ~AllTaxaActive()
    {
        if (d_)
            d_->nActive = saved_;
    }
    AllTaxaActive(const AllTaxaActive &) = delete;
    AllTaxaActive &operator=(const AllTaxaActive &) = delete;

private:
    DataInfo *d_;
    int32_t saved_;
};

}  // namespace

int readConstraintTree(DataInfo *d, Constraint *c, bool asBackbone)
{
    if (!d)
        return 1;
    AllTaxaActive allTaxa(d);
    TreeReader *reader = createTreeReader(d, false, false);
    TreeHandle tree(createTreeForTaxa(d->ntax, d->ntax, true));
    if (!reader || !tree) {
        destroyTreeReader(reader);
        return 1;
    }
    reader->attachUnnamed = !asBackbone;
    reader->backbone = asBackbone;
    reader->originalNumbers = true;
    int rc = readNewickTree(reader, tree.get(), true);
    destroyTreeReader(reader);
    if (rc != 0)
        return 1;
    return setConstraintFromTree(d, c, tree.get(), asBackbone);
}

int setConstraintFromTree(const DataInfo *d, Constraint *c, Tree *t, bool asBackbone)
{
    TreeNode *fork = t->nodes[0].firstChild;
    uint32_t internal = 0;
    for (TreeNode *p = nextPreorderNode(fork, fork); p; p = nextPreorderNode(p, fork))
        if (!isTip(p))
            internal++;
    if (internal == 0)
        return qel_errorMsg(715, "Constraint tree '%s' is uninformative (compatible with all possible trees).\t"
                                 "This sometimes happens because you failed to include an outer set of parentheses "
                                 "in the definition of a \"monophyly\" constraint that does not list all of the "
                                 "(nondeleted) taxa in the data matrix.",
                            c->name);
    SplitsList *groups = createSplitsList(d->ntax, internal + 1, true);
    if (!groups)
        return 1;
    makeSplitsListFromTree(t, groups);
    if (asBackbone) {
        std::vector<uint64_t> present(splitWords(d->ntax), 0);
        for (uint32_t x = 0; x < t->ntax; x++)
            if (t->nodes[1 + x].anc)
                present[x >> 6] |= uint64_t{1} << (x & 63);
        if (appendSplitToList(groups, present.data()) != 0) {
            destroySplitsList(groups);
            return 1;
        }
    }
    c->groups.reset(groups);
    c->type = asBackbone ? kConBackbone : kConMonophyly;
    c->words = wordsFor(c);
    return 0;
}

int addConstraintFromTree(Tree *tree, const char *name, bool asBackbone)
{
    if (std::strlen(name) > kMaxConstraintName)
        return qel_errorMsg(0, "Constraint names cannot be longer than %u characters.", kMaxConstraintName);
    auto c = std::make_unique<Constraint>();
    std::strcpy(c->name, name);
    if (setConstraintFromTree(activeDataInfo(), c.get(), tree, asBackbone) != 0)
        return 1;
    bool makeActive = false;
    // A name met again replaces its definition, as a redefinition does.
    if (Constraint *old = constraintTagToPtr(name)) {
        makeActive = conInfo.active == old;
        discardConstraint(old);
    }
    appendConstraint(c.release(), makeActive);
    return 0;
}

namespace {

int readTaxsetGroup(DataInfo *d, Constraint *c)
{
    Set *members = allocSet(d->ntax);
    if (!members)
        return 1;
    int rc = readTaxaList(d, nullptr, members, nullptr);
    if (rc == 0) {
        SplitsList *groups = createSplitsList(d->ntax, 1, true);
        std::vector<uint64_t> bits(splitWords(d->ntax), 0);
        for (uint32_t x = 0; x < d->ntax; x++)
            if (isSetMember(members, x))
                bits[x >> 6] |= uint64_t{1} << (x & 63);
        const uint32_t size = splitSize(bits.data(), static_cast<uint32_t>(bits.size()));
        if (!groups || appendSplitToList(groups, bits.data()) != 0) {
            destroySplitsList(groups);
            rc = 1;
        } else if (size < 2 || size >= d->ntax) {
            destroySplitsList(groups);
            rc = qel_errorMsg(715, "Constraint tree '%s' is uninformative (compatible with all possible trees).",
                              c->name);
        } else {
            c->groups.reset(groups);
            c->type = kConMonophyly;
        }
    }
    deallocSet(members);
    return rc;
}

int readPartitionGroups(DataInfo *d, Constraint *c, bool convexity)
{
    Nexset *ns = nullptr;
    if (readPartitionName(firstTaxPartition(), 1, false, &ns) != 0 || readSemicolon() != 0)
        return 1;
    const uint32_t n = numNexPtnSubsets(ns);
    if (convexity && n > kMaxConvexSubsets)
        return qel_errorMsg(716, "Taxon partitions used for \"convexity\" constraints cannot have more than %d "
                                 "subsets.\tThis limitation allows increased efficiency when testing for constraint "
                                 "satisfaction.",
                            static_cast<int>(kMaxConvexSubsets));
    SetPtn *ptn = getNexPtn(ns);
    SplitsList *groups = createSplitsList(d->ntax, n, true);
    if (!groups)
        return 1;
    std::vector<uint64_t> bits(splitWords(d->ntax));
    for (uint32_t s = 0; s < n; s++) {
        std::fill(bits.begin(), bits.end(), 0);
        const Set *subset = getPtnSubset(ptn, s);
        for (uint32_t x = 0; x < d->ntax; x++)
            if (isSetMember(subset, x))
                bits[x >> 6] |= uint64_t{1} << (x & 63);
        const uint32_t size = splitSize(bits.data(), static_cast<uint32_t>(bits.size()));
        // As a monophyly constraint a subset of one taxon (or of all) says nothing.
        if (!convexity && (size < 2 || size >= d->ntax))
            continue;
        if (appendSplitToList(groups, bits.data()) != 0) {
            destroySplitsList(groups);
            return 1;
        }
    }
    if (!convexity && groups->count == 0) {
        destroySplitsList(groups);
        return qel_errorMsg(715, "Constraint tree '%s' is uninformative (compatible with all possible trees).",
                            c->name);
    }
    c->groups.reset(groups);
    c->type = convexity ? kConConvexity : kConMonophyly;
    return 0;
}

}  // namespace

int defineConstraint()
{
    DataInfo *d = activeDataInfo();
    if (!d)
        return 1;
    bool makeActive = false;
    if (peekNextChar(nullptr) == '*') {
        readNextDarkChar(nullptr);
        makeActive = true;
    }
    auto c = std::make_unique<Constraint>();
    if (readConstraintName(c->name) != 0)
        return 1;
    setStatusText("Reading constraint \"%s\"...", c->name);
    struct ClearStatus {
        ~ClearStatus() { clearStatusText(); }
    } clearStatus;
    if (Constraint *old = constraintTagToPtr(c->name)) {
        if (wrng.warnRedef &&
            !userQuery(true, "Constraint \"%s\" already exists.  Do you want to redefine it?", c->name)) {
            skipRestOfCmd();
            return 1;
        }
        if (conInfo.active == old)
            makeActive = true;
        discardConstraint(old);
    }
    char word[64];
    if (readToken(word, sizeof word) < 0)
        return 1;
    if (isTokenSemicolon(word))
        return qel_errorMsg(118, "Unexpected semicolon (;).\tCheck input formatting carefully (e.g., verify that "
                                 "the number of items supplied for a list is correct).");
    enum class Kind { kTree, kBackbone, kConvexity, kTaxset, kTaxptn } kind = Kind::kTree;
    if (std::strcmp(word, "=") != 0) {
        if (stricmp(word, "backbone") == 0) {
            kind = Kind::kBackbone;
        } else if (std::strcmp(word, "(") == 0) {
            if (readToken(word, sizeof word) < 0)
                return 1;
            static const struct {
                const char *name;
                Kind kind;
            } kKinds[] = {{"monophyly", Kind::kTree},
                          {"backbone", Kind::kBackbone},
                          {"convexity", Kind::kConvexity},
                          {"taxset", Kind::kTaxset},
                          {"taxptn", Kind::kTaxptn}};
            bool known = false;
            for (const auto &k : kKinds)
                if (stricmp(word, k.name) == 0) {
                    kind = k.kind;
                    known = true;
                }
            if (!known)
                return qel_errorMsg(712, "Unrecognized option \"%s\" in \"%s\" command.", word, "Constraints");
            if (readToken(word, sizeof word) < 0)
                return 1;
            if (std::strcmp(word, ")") != 0)
                return qel_errorMsg(205, "Expecting right parenthesis (')') found \"%s\".\tIt is possible that this "
                                         "is a downstream effect of an earlier formatting mistake.",
                                    word);
        } else {
            return qel_errorMsg(712, "Unrecognized option \"%s\" in \"%s\" command.", word, "Constraints");
        }
        if (readEqualSign() != 0)
            return 1;
    }
    int rc = 0;
    switch (kind) {
    case Kind::kTree:
    case Kind::kBackbone:
        rc = readConstraintTree(d, c.get(), kind == Kind::kBackbone);
        break;
    case Kind::kTaxset:
        rc = readTaxsetGroup(d, c.get());
        break;
    case Kind::kConvexity:
    case Kind::kTaxptn:
        rc = readPartitionGroups(d, c.get(), kind == Kind::kConvexity);
        break;
    }
    if (rc != 0)
        return 1;
    c->words = wordsFor(c.get());
    appendConstraint(c.release(), makeActive);
    return 0;
}

// ---- Per-tree constraint data ----------------------------------------------------

ConData *createConData(const Constraint *c, Tree *tree)
{
    auto *cd = new (std::nothrow) ConData;
    if (!cd)
        return nullptr;
    cd->nodes = tree->maxNodes;
    cd->type = c->type;
    cd->words = wordsFor(c);
    cd->groups = groupCountForBits(c);
    cd->builtFor = c;
    cd->generation = conInfo.generation;
    const size_t records = size_t(3) * cd->nodes;
    cd->recs.assign(records, ConRec{});
    if (cd->words > 0) {
        cd->moWords.assign(records * 2 * cd->words, 0);
        cd->vWords.assign(records * cd->words, 0);
        for (size_t r = 0; r < records; r++) {
            cd->recs[r].mo = cd->moWords.data() + r * 2 * cd->words;
            cd->recs[r].v = cd->vWords.data() + r * cd->words;
        }
    }
    const_cast<Constraint *>(c)->words = cd->words;
    return cd;
}

ConData *destroyConData(ConData *cd)
{
    delete cd;
    return nullptr;
}

ConRec *conRecord(const Tree *tree, uint32_t slot, const TreeNode *node)
{
    ConData *cd = tree->conData;
    return &cd->recs[size_t(slot) * cd->nodes + nodePosition(tree, node)];
}

bool constraintsAreStale(const Tree *tree)
{
    const ConData *cd = tree->conData;
    return !cd || !conInfo.active || cd->builtFor != conInfo.active || conInfo.builtFor != conInfo.active ||
           cd->generation != conInfo.generation || cd->nodes != tree->maxNodes;
}

namespace {

// The original taxon of a tip of the tree (trees over the nondeleted taxa
// number them 0..n-1).
uint32_t tipTaxon(const Tree *tree, const DataInfo *data, const Constraint *c, uint32_t tip)
{
    if (tree->ntax == c->groups->ntax || !data)
        return tip;
    const TreeDataHooks &h = treeDataHooks();
    return h.origTaxonNum ? h.origTaxonNum(data, tip) : tip;
}

void setConvexTipBits(const Constraint *c, const DataInfo *data, Tree *tree)
{
    ConData *cd = tree->conData;
    const SplitsList *g = c->groups.get();
    ConWord present = 0;
    ConRec *anc = conRecord(tree, 0, tree->nodes);
    anc->set = kAllOnes;
    anc->count = 0;
    anc->satisfied = 1;
    for (uint32_t t = 0; t < tree->ntax; t++) {
        ConRec *r = conRecord(tree, 0, tree->nodes + 1 + t);
        const uint32_t x = tipTaxon(tree, data, c, t);
        r->set = kAllOnes;
        r->count = 0;
        r->satisfied = 1;
        for (uint32_t s = 0; s < g->count; s++)
            if (splitHas(getSplitFromList(g, s), x)) {
                r->set = bitOf(s);
                if (tree->nodes[1 + t].anc || tree->root == tree->nodes + 1 + t)
                    present |= r->set;
                break;
            }
    }
    uint32_t n = 0;
    for (uint32_t s = 0; s < 128; s++)
        n += (present >> s) & 1 ? 1 : 0;
    cd->numConvexStates = n;
    cd->stepLimit = n + static_cast<uint32_t>(conInfo.looseness);
}

}  // namespace

void setConstrBitsForTips(const Constraint *c, const DataInfo *data, Tree *tree)
{
    ConData *cd = tree->conData;
    if (c->type == kConConvexity) {
        setConvexTipBits(c, data, tree);
        return;
    }
    const SplitsList *g = c->groups.get();
    const uint64_t *backbone = c->type == kConBackbone ? getSplitFromList(g, g->count - 1) : nullptr;
    for (uint32_t t = 0; t < tree->ntax; t++) {
        ConRec *r = conRecord(tree, 0, tree->nodes + 1 + t);
        const uint32_t x = tipTaxon(tree, data, c, t);
        const bool outside = backbone && !splitHas(backbone, x);
        for (uint32_t k = 0; k < cd->groups; k++) {
            const uint32_t w = k >> 7;
            const ConWord b = bitOf(k & 127);
            if (outside) {
                r->mo[cd->words + w] |= b;
            } else if (splitHas(getSplitFromList(g, k), x)) {
                r->mo[w] |= b;
                r->mo[cd->words + w] |= b;
            }
        }
    }
}

int initConstraints(Tree *tree, const DataInfo *data, bool showStatus)
{
    Constraint *c = conInfo.active;
    if (!c)
        return 1;
    if (showStatus)
        setStatusText("Initializing constraints...");
    destroyConData(tree->conData);
    tree->conData = createConData(c, tree);
    if (showStatus)
        clearStatusText();
    if (!tree->conData)
        return 1;
    for (ConRec &r : tree->conData->recs)
        r.satisfied = 1;
    setConstrBitsForTips(c, data, tree);
    conInfo.builtFor = c;
    return 0;
}

bool conSetBin(const ConData *cd, const ConRec *a, const ConRec *b, ConRec *node)
{
    if (!a || !b) {
        const bool changed = node->satisfied != 1;
        node->satisfied = 1;
        return changed;
    }
    uint8_t flag = a->satisfied & b->satisfied;
    bool changed = false;
    if (cd && cd->type == kConConvexity) {
        ConWord set;
        uint32_t count;
        convexJoin(a, b, &set, &count);
        if (count >= cd->stepLimit)
            flag = 0;
        changed = set != node->set || count != node->count;
        node->set = set;
        node->count = count;
    } else if (cd) {
        const uint32_t words = cd->words;
        for (uint32_t w = 0; w < words; w++) {
            const ConWord ma = a->mo[w], oa = a->mo[words + w], mb = b->mo[w], ob = b->mo[words + w];
            const ConWord m = (ma | mb) & oa & ob;
            const ConWord o = (oa & ob) | ma | mb;
            const ConWord mix = (ma | mb) & ~(oa & ob);
            const ConWord v = a->v[w] | b->v[w] | mix;
            if ((((a->v[w] | b->v[w]) & mix) | (a->v[w] & b->v[w])) != 0)
                flag = 0;
            changed |= m != node->mo[w] || o != node->mo[words + w] || v != node->v[w];
            node->mo[w] = m;
            node->mo[words + w] = o;
            node->v[w] = v;
        }
    }
    changed |= flag != node->satisfied;
    node->satisfied = flag;
    return changed;
}

bool conCompat(const Tree *tree, const ConRec *a, const ConRec *b)
{
    const ConData *cd = tree->conData;
    if (cd->type == kConConvexity) {
        const uint32_t count = a->count + b->count + ((a->set & b->set) == 0 ? 1 : 0);
        return a->satisfied && b->satisfied && count < cd->stepLimit;
    }
    if (cd->words == 0)
        return true;
    if (!a->satisfied || !b->satisfied)
        return false;
    const uint32_t words = cd->words;
    for (uint32_t w = 0; w < words; w++) {
        const ConWord va = a->v[w], vb = b->v[w];
        const ConWord mixed = (a->mo[w] ^ b->mo[w]) & (a->mo[words + w] ^ b->mo[words + w]);
        if ((((va | vb) & mixed) | (va & vb)) != 0)
            return false;
    }
    return true;
}

namespace {

// Monophyly and backbone bits of parts joined at one node (its children,
// or the rest of the tree seen from below a node: its siblings and what lies
// above its ancestor). False on a conflict.
bool conSetMultiParts(const ConData *cd, const std::vector<const ConRec *> &parts, ConRec *r)
{
    const uint32_t words = cd->words;
    const auto nParts = static_cast<uint32_t>(parts.size());
    for (uint32_t w = 0; w < words; w++) {
        ConWord m = 0, o = 0;
        const uint32_t inWord = std::min<uint32_t>(128, cd->groups - w * 128);
        for (uint32_t k = 0; k < inWord; k++) {
            const ConWord b = bitOf(k);
            uint32_t s = 0;
            for (const ConRec *cr : parts) {
                s += (cr->mo[w] & b) ? 1 : 0;
                s += (cr->mo[words + w] & b) ? 1 : 0;
            }
            if (s > nParts)
                m |= b, o |= b;
            else if (s == nParts)
                o |= b;
        }
        ConWord v = 0;
        for (const ConRec *cr : parts) {
            if (v & cr->v[w])
                return false;
            v |= cr->v[w];
        }
        for (const ConRec *cr : parts) {
            const ConWord term = (cr->mo[w] | m) & ~(cr->mo[words + w] & o & m);
            if (term & v)
                return false;
            v |= term;
        }
        r->mo[w] = m;
        r->mo[words + w] = o;
        r->v[w] = v;
    }
    // Reached only with every part satisfied: whatever the record held for
    // an earlier shape must not outlive it.
    r->satisfied = 1;
    return true;
}

// Convexity of parts joined at one node: the subsets held by the most
// parts, and a step for every part lacking them.
bool conSetMultiConvexParts(const ConData *cd, const std::vector<const ConRec *> &parts, ConRec *r)
{
    const Constraint *c = cd->builtFor;
    const uint32_t subsets = c && c->groups ? c->groups->count : 0;
    uint32_t best = 0;
    ConWord bestSet = 0;
    for (uint32_t s = 0; s < subsets; s++) {
        uint32_t holders = 0;
        for (const ConRec *cr : parts)
            holders += (cr->set >> s) & 1 ? 1 : 0;
        if (holders > best) {
            best = holders;
            bestSet = bitOf(s);
        } else if (holders == best) {
            bestSet |= bitOf(s);
        }
    }
    uint32_t count = 0;
    for (const ConRec *cr : parts)
        count += cr->count;
    if (parts.empty()) {
        r->set = kAllOnes;
        r->count = 0;
        return true;
    }
    r->set = bestSet;
    r->count = count + (static_cast<uint32_t>(parts.size()) - best);
    r->satisfied = r->count < subsets + static_cast<uint32_t>(conInfo.looseness);
    return r->satisfied != 0;
}

// The children's records, in storage reused from call to call: the test of
// a tree with polytomies runs once per candidate tree of a search.
const std::vector<const ConRec *> &childRecords(const Tree *tree, const TreeNode *node)
{
    thread_local std::vector<const ConRec *> parts;
    parts.clear();
    for (const TreeNode *c = node->firstChild; c; c = c->nextSib)
        parts.push_back(conRecord(tree, 0, c));
    return parts;
}

bool conSetMulti(const Tree *tree, TreeNode *node)
{
    return conSetMultiParts(tree->conData, childRecords(tree, node), conRecord(tree, 0, node));
}

bool conSetMultiConvex(const Tree *tree, TreeNode *node)
{
    return conSetMultiConvexParts(tree->conData, childRecords(tree, node), conRecord(tree, 0, node));
}

bool satisfiedBelow(const Tree *tree, TreeNode *node)
{
    for (TreeNode *c = node->firstChild; c; c = c->nextSib)
        if (c->firstChild && !satisfiedBelow(tree, c))
            return false;
    return conSet(tree, node);
}

}  // namespace

void countConvexStates(Tree *tree)
{
    ConData *cd = tree->conData;
    ConWord present = 0;
    // Every taxon on the tree, the root tip of an unrooted tree included.
    for (TreeNode *p = tree->root; p; p = nextPreorderNode(p, tree->root))
        if (const uint32_t pos = nodePosition(tree, p); pos >= 1 && pos <= tree->ntax) {
            const ConWord set = conRecord(tree, 0, p)->set;
            if (set != kAllOnes)
                present |= set;
        }
    uint32_t n = 0;
    for (uint32_t s = 0; s < 128; s++)
        n += (present >> s) & 1 ? 1 : 0;
    cd->numConvexStates = n;
    cd->stepLimit = n + static_cast<uint32_t>(conInfo.looseness);
}

bool conSet(const Tree *tree, TreeNode *node)
{
    if (!tree->conData)
        return true;
    TreeNode *first = node->firstChild;
    if (first && first->nextSib && !first->nextSib->nextSib) {
        ConRec *r = conRecord(tree, 0, node);
        conSetBin(tree->conData, conRecord(tree, 0, first), conRecord(tree, 0, first->nextSib), r);
        return r->satisfied != 0;
    }
    return tree->conData->type == kConConvexity ? conSetMultiConvex(tree, node) : conSetMulti(tree, node);
}

bool softConstraintFinish(const ConData *cd, ConRec *node, const ConWord *m, const ConWord *o, const ConWord *v)
{
    const uint32_t words = cd->words;
    for (uint32_t w = 0; w < words; w++) {
        const ConWord mix = m[w] & ~o[w];
        if (v[w] & mix)
            return node->satisfied = 0, false;
        node->mo[w] = m[w] & ~mix;
        node->mo[words + w] = o[w] | mix;
        node->v[w] = v[w] | mix;
    }
    node->satisfied = 1;
    return true;
}

bool isConstrainedGroup(const ConData *cd, const ConRec *a, const ConRec *b)
{
    if (cd->type == kConConvexity)
        return (a->set & b->set) == 0;
    const uint32_t words = cd->words;
    for (uint32_t w = 0; w < words; w++) {
        const ConWord mix = (a->mo[w] | b->mo[w]) & ~(a->mo[words + w] & b->mo[words + w]);
        if (mix != 0)
            return true;
    }
    return false;
}

std::vector<uint8_t> findConstrainedEdges(Tree *tree)
{
    std::vector<uint8_t> required(tree->maxNodes, 0);
    ConData *cd = tree->conData;
    TreeNode *fork = tree->root ? tree->root->firstChild : nullptr;
    if (!cd || !fork)
        return required;
    if (cd->type == kConConvexity)
        countConvexStates(tree);
    checkTraversalSeq(tree);
    // Slot 0 (the subtree below) of every fork, children first; a conflict
    // leaves records that still say which groups close where.
    for (TreeNode *p = tree->tail; p; p = p->prev)
        if (p->firstChild && p != tree->root)
            conSet(tree, p);
    // Slot 1 (the rest of the tree): the siblings with what lies above the
    // ancestor, which for the basal fork's children is the root's own record.
    std::vector<const ConRec *> parts;
    for (TreeNode *p = fork->next; p; p = p->next) {
        TreeNode *anc = p->anc;
        parts.clear();
        for (TreeNode *s = anc->firstChild; s; s = s->nextSib)
            if (s != p)
                parts.push_back(conRecord(tree, 0, s));
        parts.push_back(anc == fork ? conRecord(tree, 0, tree->root) : conRecord(tree, 1, anc));
        ConRec *rest = conRecord(tree, 1, p);
        if (parts.size() == 2)
            conSetBin(cd, parts[0], parts[1], rest);
        else if (cd->type == kConConvexity)
            conSetMultiConvexParts(cd, parts, rest);
        else
            conSetMultiParts(cd, parts, rest);
        if (p->firstChild && isConstrainedGroup(cd, conRecord(tree, 0, p), rest))
            required[nodePosition(tree, p)] = 1;
    }
    return required;
}

bool constraintsSatisfied(Tree *tree, bool converse)
{
    ConData *cd = tree->conData;
    if (!cd)
        return !converse;
    if (cd->type == kConConvexity)
        countConvexStates(tree);
    TreeNode *fork = tree->root->firstChild;
    bool ok = fork && satisfiedBelow(tree, fork);
    if (ok)
        ok = conCompat(tree, conRecord(tree, 0, fork), conRecord(tree, 0, tree->root));
    return ok != converse;
}

bool isConstraintTreeUninf(Tree *tree, bool rooted, bool converse)
{
    TreeHandle star(createTreeForTaxa(tree->ntax, tree->activeTaxa, false));
    if (!star || makeStarTree(star.get(), tree->ntax, rooted, 0, nullptr) != 0)
        return false;
    if (tree->conData) {
        // The star carries the same tip records as the tree.
        star->conData = createConData(tree->conData->builtFor, star.get());
        if (!star->conData)
            return false;
        star->conData->stepLimit = tree->conData->stepLimit;
        for (ConRec &r : star->conData->recs)
            r.satisfied = 1;
        for (uint32_t t = 0; t < tree->ntax; t++) {
            const ConRec *from = conRecord(tree, 0, tree->nodes + 1 + t);
            ConRec *to = conRecord(star.get(), 0, star->nodes + 1 + t);
            to->set = from->set;
            for (uint32_t w = 0; w < 2 * star->conData->words; w++)
                to->mo[w] = from->mo[w];
        }
        ConRec *anc = conRecord(star.get(), 0, star->nodes);
        anc->set = kAllOnes;
    }
    const bool ok = constraintsSatisfied(star.get(), converse);
    star->conData = destroyConData(star->conData);
    return ok;
}

int checkConstraintOptions(const ConstraintOptionCheck &o)
{
    using Kind = PermutationTestKind;
    if (o.enforce) {
        if (conInfo.count == 0 || !conInfo.active)
            return qel_errorMsg(512, "'Enforce constraints' option requested but no constraints have been defined.");
        if (conInfo.active->type == kConConvexity && o.njStart)
            return qel_errorMsg(550, "Neighbor-joining is not permitted for starting tree when enforcing convex "
                                     "constraints.");
        if (o.converse && o.noSwapping)
            return qel_errorMsg(548, "Converse constraints require branch-swapping.");
        if (o.converse && o.resampling)
            return qel_errorMsg(549, "Converse constraints are not allowed in bootstrap or jackknife analyses.");
    } else if (o.permutationTest == Kind::kTPTP) {
        if (o.noSwapping)
            return qel_errorMsg(561, "T-PTP test requires branch-swapping.");
        if (!o.tptp)
            return qel_errorMsg(560, "T-PTP test requires specification of a constraint.");
    } else if (o.permutationTest == Kind::kCompare2) {
        if (!o.first || !o.second)
            return qel_errorMsg(562, "You must specify constraint-tree names for both 'First' and 'Second' for the "
                                     "\"compare-2\" test.");
        if (o.first == o.second)
            return qel_errorMsg(563, "You must specify two different constraint trees for the \"compare-2\" test.");
        if (o.first->type == kConConvexity || o.second->type == kConConvexity)
            return qel_errorMsg(755, "Convexity constraints are not allowed for \"compare-2\" permutation test.");
    }
    // A permutation test enforces the constraint it names, not the active one.
    const Constraint *c = o.permutationTest == Kind::kTPTP ? o.tptp : o.enforce ? conInfo.active : nullptr;
    if (c && c->type == kConConvexity && (o.converse || o.permutationTest != Kind::kNone) && o.looseness != 0)
        return qel_errorMsg(568, "Convexity constraint with nonzero \"looseness\" parameter is not allowed with %s.",
                            o.permutationTest != Kind::kNone ? "T-PTP analysis" : "converse constraints");
    return 0;
}

int initSearchConstraints(Tree *tree, const DataInfo *data, const ConstraintOptionCheck &o, bool quiet)
{
    if (checkConstraintOptions(o) != 0)
        return 1;
    if (!o.enforce)
        return 0;
    setConvexLooseness(o.looseness);
    if (constraintsAreStale(tree) && initConstraints(tree, data, !quiet) != 0)
        return 1;
    if (conInfo.active->type == kConConvexity)
        setConvexTipBits(conInfo.active, data, tree);
    if (!isConstraintTreeUninf(tree, o.rooted, false))
        return 0;
    if (o.converse)
        return qel_errorMsg(714, "Cannot search for trees incompatible with constraint tree \"%s\" which is "
                                 "compatible with all possible trees.",
                            conInfo.active->name);
    if (userQuery(false, "Constraint tree \"%s\" is compatible with all possible trees.  Do you want to proceed "
                         "anyway?",
                  conInfo.active->name))
        return 0;
    tree->conData = destroyConData(tree->conData);
    return -1;
}

void makeConstrString(const Constraint *c, char *buffer, size_t size)
{
    if (!c) {
        std::snprintf(buffer, size, "(none)");
        return;
    }
    const bool convex = c->type == kConConvexity;
    int n = std::snprintf(buffer, size, "%s \"%s\"", convex ? "convexity constraint" : "constraint-tree", c->name);
    if (convex && conInfo.looseness != 0 && n > 0 && static_cast<size_t>(n) < size)
        std::snprintf(buffer + n, size - static_cast<size_t>(n), " (looseness parameter = %d)", conInfo.looseness);
}

int getConstrName(int operation, CmdParam *, void *place)
{
    switch (operation) {
    case kParamOpReadValue: {
        Constraint *c = getConstraintRefFromInput();
        if (!c)
            return 1;
        conInfo.active = c;
        return 0;
    }
    case kParamOpCurValue:
        if (place)
            *static_cast<const char **>(place) = conInfo.active ? conInfo.active->name : "(none)";
        return 0;
    case kParamOpSave:
        conInfo.savedActive = conInfo.active;
        return 0;
    case kParamOpRestore:
        conInfo.active = conInfo.savedActive;
        return 0;
    default:
        return 0;
    }
}

// ---- ShowConstr ------------------------------------------------------------------------

namespace {

double logRootedBinary(uint32_t n)  // log (2n-3)!!
{
    double x = 0.0;
    for (uint32_t k = 3; k + 3 <= 2 * n; k += 2)
        x += std::log(static_cast<double>(k));
    return x;
}

std::string formatCount(double x)
{
    char buf[64];
    if (x > 85.19564844077969) {
        std::snprintf(buf, sizeof buf, "exp(%f)", x);
        return buf;
    }
    const double v = std::exp(x);
    if (v >= 1e12) {
        std::snprintf(buf, sizeof buf, "%e", v);
        return buf;
    }
    std::snprintf(buf, sizeof buf, "%.0f", v);
    std::string digits = buf, out;
    for (size_t i = 0; i < digits.size(); i++) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            out += ',';
        out += digits[i];
    }
    return out;
}

void showCompatibleCount(double compatible, double total, uint32_t ntax, const char *kind)
{
    const std::string count = formatCount(compatible);
    qel_printf("\n   Of \bthe %s distinct %s binary trees for %d taxa, %s (%g%%) %s compatible with this constraint "
               "tree\n",
               formatCount(total).c_str(), kind, static_cast<int>(ntax), count.c_str(),
               100.0 * std::exp(compatible - total), count == "1" ? "is" : "are");
}

// The groups restricted to the taxa not deleted, numbered as those taxa are;
// a group left with fewer than two taxa, or with all of them, or met before,
// constrains nothing there.
SplitsList groupsOnActiveTaxa(const DataInfo *d, const SplitsList *g)
{
    const Set *deleted = d->taxa.deleted;
    std::vector<uint32_t> activeNumber(d->ntax);
    uint32_t n = 0;
    for (uint32_t t = 0; t < d->ntax; t++)
        activeNumber[t] = deleted && isSetMember(deleted, t) ? kNoSplit : n++;
    SplitsList out;
    out.ntax = n;
    out.words = splitWords(n);
    std::vector<uint64_t> s(out.words);
    for (uint32_t k = 0; k < g->count; k++) {
        std::fill(s.begin(), s.end(), 0);
        const uint64_t *split = getSplitFromList(g, k);
        for (uint32_t t = 0; t < d->ntax; t++)
            if (activeNumber[t] != kNoSplit && splitHas(split, t))
                s[activeNumber[t] >> 6] |= uint64_t{1} << (activeNumber[t] & 63);
        const uint32_t size = splitSize(s.data(), out.words);
        bool seen = size < 2 || size >= n;
        for (uint32_t j = 0; j < out.count && !seen; j++)
            seen = std::equal(s.begin(), s.end(), getSplitFromList(&out, j));
        if (!seen)
            appendSplitToList(&out, s.data());
    }
    return out;
}

int showOneConstraint(DataInfo *d, const Constraint *c)
{
    if (c->type == kConConvexity)
        qel_printf("\nCon\bvexity constraints \"%s\" (groups shown on tree below are required only to be convex):\n",
                   c->name);
    else
        qel_printf("\nConstraint-tree \"%s\"%s:\n", c->name, c->type == kConBackbone ? " (backbone)" : "");
    setStatusText("Showing constraint tree %s...", c->name);
    TreeHandle tree(createTreeForTaxa(d->ntax, d->ntax, false));
    if (!tree)
        return 1;
    const SplitsList *g = c->groups.get();
    SplitsList treeGroups = *g;
    if (c->type == kConBackbone)
        treeGroups.count--;
    // Convexity subsets may be single taxa: only groups a tree can hold.
    SplitsList shown = treeGroups;
    shown.count = 0;
    shown.bits.clear();
    for (uint32_t k = 0; k < treeGroups.count; k++) {
        const uint64_t *s = getSplitFromList(&treeGroups, k);
        const uint32_t size = splitSize(s, treeGroups.words);
        if (size >= 2 && size < d->ntax)
            appendSplitToList(&shown, s);
    }
    if (makeTreeFromSplitsList(tree.get(), d->ntax, &shown, nullptr, tree->nodes) != 0)
        return 1;
    if (c->type == kConBackbone) {
        // Taxa the backbone does not name are not drawn.
        induceSubtree(tree.get(), getSplitFromList(g, g->count - 1), false);
    }
    // The groups hold original taxon numbers; the drawing labels tips by
    // active number, so deleted taxa leave and the rest are renumbered.
    const Set *deleted = d->taxa.deleted;
    if (deleted && firstOneBit(deleted->words, deleted->nwords) != kSetEnd) {
        if (pruneTipsetFromTree(tree.get(), deleted, nullptr, false) != 0)
            return 1;
        for (uint32_t t = 1; t <= tree->tipBound; t++) {
            TreeNode *tip = tree->nodes + t;
            if ((tip->anc || tip == tree->root) && tip->index >= 0)
                tip->index = static_cast<int32_t>(d->taxa.originalToActive[tip->index]);
        }
    }
    drawTree(tree.get(), kDrawConstraint, 0, false, d);
    if (c->type == kConMonophyly) {
        // The counts are of the trees a search can reach: over the taxa not
        // deleted, as drawn, with the groups seen on those taxa alone.
        const SplitsList active = groupsOnActiveTaxa(d, g);
        const uint32_t n = active.ntax;
        const double compatible = logCompatibleTrees(&active, n);
        showCompatibleCount(compatible, logRootedBinary(n), n, "rooted");
        // Unrooted: the constraint tree held at its first taxon, so the
        // basal fork counts one child fewer.
        const double unrooted = logCompatibleTreesUnrooted(&active, n);
        showCompatibleCount(unrooted, logRootedBinary(n - 1), n, "unrooted");
    }
    clearStatusText();
    return 0;
}

// Children per internal node of the tree the groups make (the basal fork
// holding what no group covers).
std::vector<uint32_t> childCounts(const SplitsList *g, uint32_t ntax)
{
    const uint32_t n = g->count;
    std::vector<uint32_t> children(n + 1, 0);
    std::vector<uint32_t> size(n);
    for (uint32_t k = 0; k < n; k++)
        size[k] = splitSize(getSplitFromList(g, k), g->words);
    auto parentOf = [&](const uint64_t *s, uint32_t sz, uint32_t self) {
        uint32_t best = n, bestSize = ntax + 1;
        for (uint32_t j = 0; j < n; j++)
            if (j != self && size[j] > sz && size[j] < bestSize && isSubsetSplit(s, getSplitFromList(g, j), g->words)) {
                best = j;
                bestSize = size[j];
            }
        return best;
    };
    for (uint32_t k = 0; k < n; k++)
        children[parentOf(getSplitFromList(g, k), size[k], k)]++;
    std::vector<uint64_t> tip(g->words);
    for (uint32_t x = 0; x < ntax; x++) {
        std::fill(tip.begin(), tip.end(), 0);
        tip[x >> 6] |= uint64_t{1} << (x & 63);
        children[parentOf(tip.data(), 1, n)]++;
    }
    return children;
}

}  // namespace

double logCompatibleTrees(const SplitsList *g, uint32_t ntax)
{
    double x = 0.0;
    for (uint32_t k : childCounts(g, ntax))
        x += logRootedBinary(k);
    return x;
}

double logCompatibleTrees(const Constraint *c, uint32_t ntax) { return logCompatibleTrees(c->groups.get(), ntax); }

double logCompatibleTreesUnrooted(const Constraint *c, uint32_t ntax)
{
    return logCompatibleTreesUnrooted(c->groups.get(), ntax);
}

double logCompatibleTreesUnrooted(const SplitsList *g, uint32_t ntax)
{
    // An unrooted tree is a rooted one on the other taxa, hung from taxon 0:
    // re-express every group as the side without taxon 0 and count the
    // rooted trees of the remaining n - 1 taxa. The two groups at a root of
    // two forks are one split of the unrooted tree, so they meet as one side
    // and count once.
    SplitsList sides = *g;
    sides.count = 0;
    sides.bits.clear();
    std::vector<uint64_t> s(g->words);
    for (uint32_t k = 0; k < g->count; k++) {
        const uint64_t *split = getSplitFromList(g, k);
        for (uint32_t w = 0; w < g->words; w++)
            s[w] = splitHas(split, 0) ? ~split[w] : split[w];
        if (ntax % 64)
            s[g->words - 1] &= (uint64_t{1} << (ntax % 64)) - 1;
        s[0] &= ~uint64_t{1};
        const uint32_t size = splitSize(s.data(), g->words);
        if (size < 2 || size >= ntax - 1)
            continue;
        bool seen = false;
        for (uint32_t j = 0; j < sides.count && !seen; j++)
            seen = std::equal(s.begin(), s.end(), getSplitFromList(&sides, j));
        if (!seen)
            appendSplitToList(&sides, s.data());
    }
    double x = 0.0;
    std::vector<uint32_t> children = childCounts(&sides, ntax);
    // Taxon 0 is not a leaf of the rooted tree: it counted as a child of the basal fork.
    children.back()--;
    for (uint32_t k : children)
        x += logRootedBinary(k);
    return x;
}

int doShowConstraintsCmd()
{
    DataInfo *d = activeDataInfo();
    if (conInfo.count == 0) {
        qel_printf("\nNo constraints have been defined.\n");
        return skipRestOfCmd(), 0;
    }
    for (Constraint *c = conInfo.first; c; c = c->next)
        c->show = 0;
    char word[kMaxConstraintName + 2];
    if (readToken(word, sizeof word) < 0)
        return 1;
    if (isTokenSemicolon(word)) {
        if (conInfo.active)
            conInfo.active->show = 1;
    } else if (stricmp(word, "all") == 0) {
        for (Constraint *c = conInfo.first; c; c = c->next)
            c->show = 1;
        if (readSemicolon() != 0)
            return 1;
    } else {
        for (;;) {
            Constraint *c = constraintTagToPtr(word);
            if (!c) {
                qel_errorMsg(711, "Constraint \"%s\" has not been defined.", word);
                skipRestOfCmd();
                return 1;
            }
            c->show = 1;
            if (readToken(word, sizeof word) < 0)
                return 1;
            if (isTokenSemicolon(word))
                break;
        }
    }
    AllTaxaActive allTaxa(d);
    for (Constraint *c = conInfo.first; c; c = c->next) {
        if (!c->show)
            continue;
        if (getAbortedStatus() != 0)
            break;
        if (showOneConstraint(d, c) != 0) {
            clearStatusText();
            return 1;
        }
    }
    return 0;
}
