#include "data/patterns.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cmath>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "data/column_reader.h"
#include "data/data_services.h"
#include "data/data_util.h"
#include "data/nexsets.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_hash.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_malloc.h"
#include "qel/qel_progress.h"
#include "qel/qel_setptn.h"

uint32_t nAllMissingIncluded = 0;
uint32_t nNonModelCharsIncluded = 0;

namespace {

ModelGroup gGroups[2];

constexpr PatternServices kDefaultServices = {
    .nstIsMkv = [] { return false; },
    .mkStateSpaceFixed = [] { return false; },
    .invalidateMLprep = [] {},
    .invalidateDistances = [] {},
    .clearMLPrepared = [] {},
    .modelPartition = []() -> const Nexset * { return nullptr; },
};
PatternServices gServices = kDefaultServices;

template <typename T>
void release(T *&p)
{
    p = static_cast<T *>(deallocArray(p));
}

uint64_t lowMask(uint32_t n) { return n >= 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1; }

bool isExcludedSite(const DataInfo *d, uint32_t c)
{
    if (d->status && (d->status[c] & (kCharExcluded | kCharEliminated)))
        return true;
    return d->eliminated && c < d->eliminated->capacity && isSetMember(d->eliminated, c);
}

// The symbols of the states a site shows, without the gap: where the gap was
// counted as a state (it stands last) the model still reads it as missing,
// so it is neither a state of the site's Mkv state space nor a model symbol.
std::string_view observedModelStates(const DataInfo *d, uint32_t c)
{
    const char *obs = d->obsSymbols ? d->obsSymbols[c] : nullptr;
    if (!obs)
        return {};
    std::string_view s(obs);
    if (dataServices().gapMode() == kGapModeNewState && d->gapSymbol && !s.empty() &&
        std::toupper(static_cast<unsigned char>(s.back())) == std::toupper(static_cast<int>(d->gapSymbol)))
        s.remove_suffix(1);
    return s;
}

// ---------------------------------------------------------------------------
// Compression

struct Compressor {
    DataInfo *d = nullptr;
    ModelGroup *g = nullptr;
    Model *m = nullptr;
    SitePatternData *pd = nullptr;
    HashTable *hash = nullptr;
    ColumnReader *columns = nullptr;
    uint16_t xlat[256]{};          // raw code -> pattern code, 0xFFFF not yet known
    bool useMkv = false;
    bool fixedStateSpace = false;
    int stopCode = -1;             // raw code of the stop counted as a cell, -1 when none
    uint32_t spare = 0;            // pre-patterns allocated

    ~Compressor()
    {
        destroyHashTable(hash);
        destroyCompressedPatterns(pd);
    }

    uint16_t codeOf(uint8_t raw)
    {
        uint16_t &x = xlat[raw];
        if (x != 0xFFFF)
            return x;
        const uint32_t n = pd->nstates;
        // Gap, missing, and anything beyond the data's tables read as missing.
        // So, under Mkv, does a cell that the site's observed states leave out
        // (a combination of every state): its states may lie beyond the
        // site's own state space.
        if (raw == kGapCode || raw == d->nstates || raw >= std::max<uint32_t>(numStateCodes(d), d->nstates + 1) ||
            (useMkv && codeShowsNoState(d, raw))) {
            x = static_cast<uint16_t>(n);
        } else if (raw < d->nstates) {
            int s = (g->dataCodeToState ? g->dataCodeToState : dataCodeToModelStateBySymbol)(raw, d, g);
            x = static_cast<uint16_t>(s < 0 || static_cast<uint32_t>(s) >= n ? n : static_cast<uint32_t>(s));
        } else {
            uint64_t bits = stateCodeToModelBits(raw, d, g, m) & lowMask(n);
            x = static_cast<uint16_t>(n);
            // A combination the model sees as one state (R or Y under purine/
            // pyrimidine recoding) is that state.
            if (std::has_single_bit(bits)) {
                x = static_cast<uint16_t>(std::countr_zero(bits));
            } else if (bits != 0) {
                uint32_t k = n + 1;
                while (k < pd->ncodes && pd->codeBits[k] != bits)
                    ++k;
                if (k == pd->ncodes && k < pd->codeCapacity)
                    pd->codeBits[pd->ncodes++] = bits;
                if (k < pd->ncodes)
                    x = static_cast<uint16_t>(k);
            }
        }
        return x;
    }

    // Codes the site's column into workRow; true when some cell is not a
    // single model state.
    bool codeColumn(uint32_t c)
    {
        const uint32_t n = pd->nstates;
        const uint32_t ntax = pd->ntax;
        uint8_t *out = pd->workRow;
        bool nonSingle = false;
        const std::span<const uint8_t> column = columns->column(c);
        for (uint32_t t = 0; t < ntax; ++t) {
            const uint8_t raw = column[t];
            uint16_t code = codeOf(raw);
            if (code >= n) {
                nonSingle = true;
                if (raw == stopCode && code == n)
                    ++pd->stopCells;
            }
            out[t] = static_cast<uint8_t>(code);
        }
        return nonSingle;
    }

    // The site's observed symbols fit the model (or end in a stop).
    bool fitsModel(uint32_t c)
    {
        if (!d->obsSymbols || !d->obsSymbols[c])
            return true;
        std::string s(observedModelStates(d, c));
        for (char &ch : s)
            ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        if (!s.empty() && s.back() == '*')
            return true;
        std::string allowed = m->type == kModelRY ? std::string("RYACGTU") : std::string(m->symbols);
        for (char &ch : allowed)
            ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        if (m->type == kModelNucleotide)
            allowed += 'U';
        return std::all_of(s.begin(), s.end(), [&](char ch) { return allowed.find(ch) != std::string::npos; });
    }

    // The size of a site's own state space under the variable-state Mkv model.
    uint32_t siteStateCount(uint32_t c, uint32_t nstates) const
    {
        if (d->obsSymbols && d->obsSymbols[c])
            return static_cast<uint32_t>(observedModelStates(d, c).size());
        return d->obsCount ? d->obsCount[c] : nstates;
    }

    bool mkvChooses(uint32_t c) const
    {
        const uint32_t st = d->status ? d->status[c] : 0;
        if (d->dataType != kDataTypeStandard) {
            if (d->cls.nucleotide) {
                if ((st & kCharNucleotide) && !gServices.nstIsMkv())
                    return false;
            } else if (d->cls.aminoAcid) {
                if (st & kCharAminoAcid)
                    return false;
            } else {
                return false;
            }
        }
        return !(st & kCharConstant);
    }

    int run()
    {
        const uint32_t nchar = d->nchar;
        const uint32_t ntax = d->nActive > 0 ? static_cast<uint32_t>(d->nActive) : 0;
        std::vector<uint32_t> sites;
        sites.reserve(nchar);
        for (uint32_t c = 0; c < nchar; ++c)
            if (!useMkv || (!isExcludedSite(d, c) && mkvChooses(c)))
                sites.push_back(c);
        const uint32_t nstates = numDataStates(m);
        g->dataType = m->type;
        pd = createPatternData(d, ntax, nstates, static_cast<uint32_t>(sites.size()));
        if (!pd)
            return 1;
        pd->nsites = static_cast<uint32_t>(sites.size());
        if (useMkv && !(pd->statesPerPattern = allocArrayOf<uint16_t>(std::max<uint32_t>(pd->capacity, 1))))
            return 1;
        hash = createHashTable(1024, std::max<uint32_t>(pd->capacity, 1), 0);
        if (!hash)
            return 1;
        ColumnReader reader(d);
        columns = &reader;
        std::fill(std::begin(xlat), std::end(xlat), uint16_t{0xFFFF});
        // The stop follows the amino acids, after any symbols of the user's.
        const char *star = m->type == kModelAminoAcid && d->nstates > 20 ? std::strchr(d->symbols, '*') : nullptr;
        stopCode = star ? static_cast<int>(star - d->symbols) : -1;
        nAllMissingIncluded = nNonModelCharsIncluded = 0;

        PrePattern *fresh = nullptr;
        for (uint32_t c : sites) {
            if (gAborted_ && (getLongOperationStatus() == 0 || confirmAbortRequest())) {
                deallocBlock(fresh ? fresh->row : nullptr);
                deallocBlock(fresh);
                return 2;
            }
            if (isExcludedSite(d, c))
                continue;
            if (d->obsCount && d->obsCount[c] == 0) {
                ++nAllMissingIncluded;
                continue;
            }
            if (!fitsModel(c)) {
                ++nNonModelCharsIncluded;
                continue;
            }
            const double w = d->weights ? d->weights[c] : 1.0;
            if (w != std::floor(w))
                pd->nonIntegerWeights = 1;
            const bool nonSingle = codeColumn(c);
            const uint32_t bucket = getHashValue(pd->workRow, ntax, hash);
            uint32_t e = firstHashEntry(bucket, hash);
            while (e && std::memcmp(pd->prePatterns[e - 1]->row, pd->workRow, ntax) != 0)
                e = nextHashEntry(hash);
            if (e) {
                PrePattern *p = pd->prePatterns[e - 1];
                p->count += 1;
                p->weight += w;
                pd->siteToPrePattern[c] = e - 1;
                continue;
            }
            fresh = makePrePattern(pd->workRow, ntax, nullptr);
            if (!fresh)
                return 1;
            fresh->weight = w;
            fresh->firstSite = static_cast<int32_t>(c);
            fresh->nstates = fixedStateSpace ? nstates : siteStateCount(c, nstates);
            fresh->hasNonSingle = nonSingle;
            const uint32_t index = pd->nPrePatterns;
            pd->prePatterns[pd->nPrePatterns++] = fresh;
            fresh = nullptr;
            if (ensureHashChainSize(hash, index + 1) != 0 || insertIntoHashTable(index + 1, bucket, hash) != 0)
                return 1;
            pd->siteToPrePattern[c] = index;
        }
        if (pd->nPrePatterns == 0) {
            qel_errorMsg(0, "No included sites are compatible with the current likelihood or distance settings.");
            return 1;
        }
        return finish();
    }

    int finish()
    {
        const uint32_t n = pd->nPrePatterns;
        std::vector<uint32_t> order(n);
        for (uint32_t i = 0; i < n; ++i)
            order[i] = i;
        const uint32_t ntax = pd->ntax;
        PrePattern **pre = pd->prePatterns;
        std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
            if (useMkv && pre[a]->nstates != pre[b]->nstates)
                return pre[a]->nstates < pre[b]->nstates;
            return std::memcmp(pre[a]->row, pre[b]->row, ntax) < 0;
        });
        return finishPatternCompression(order);
    }

    int finishPatternCompression(const std::vector<uint32_t> &order);
};

int Compressor::finishPatternCompression(const std::vector<uint32_t> &order)
{
    const uint32_t n = static_cast<uint32_t>(order.size());
    const uint32_t ntax = pd->ntax;
    pd->patternCount = allocArrayOf<double>(n);
    pd->patternWeight = allocArrayOf<double>(n);
    pd->firstSite = allocArrayOf<uint32_t>(n);
    pd->hasNonSingle = allocArrayOf<uint8_t>(n);
    pd->rows = ntax ? allocArrayOf<uint8_t *>(ntax) : nullptr;
    if (!pd->patternCount || !pd->patternWeight || !pd->firstSite || !pd->hasNonSingle || (ntax && !pd->rows))
        return 1;
    for (uint32_t t = 0; t < ntax; ++t)
        if (!(pd->rows[t] = allocArrayOf<uint8_t>(n)))
            return 1;
    // A block of patterns at a time, so that each taxon's row is written a
    // run at a time; a pattern at a time touches every row (a page each) for
    // every pattern.
    constexpr uint32_t kBlock = 64;
    const uint8_t *block[kBlock];
    for (uint32_t k0 = 0; k0 < n; k0 += kBlock) {
        const uint32_t count = std::min(kBlock, n - k0);
        for (uint32_t k = 0; k < count; ++k)
            block[k] = pd->prePatterns[order[k0 + k]]->row;
        for (uint32_t t = 0; t < ntax; ++t) {
            uint8_t *out = pd->rows[t] + k0;
            for (uint32_t k = 0; k < count; ++k)
                out[k] = block[k][t];
        }
    }
    for (uint32_t k = 0; k < n; ++k) {
        PrePattern *p = pd->prePatterns[order[k]];
        p->finalIndex = k;
        pd->patternCount[k] = p->count;
        pd->patternWeight[k] = p->weight;
        pd->firstSite[k] = static_cast<uint32_t>(p->firstSite);
        pd->hasNonSingle[k] = p->hasNonSingle;
        if (pd->statesPerPattern)
            pd->statesPerPattern[k] = static_cast<uint16_t>(p->nstates);
    }
    for (uint32_t c = 0; c < pd->nchar; ++c) {
        uint32_t e = pd->siteToPrePattern[c];
        pd->siteToPattern[c] = e == kNoSite ? kNoSite : pd->prePatterns[e]->finalIndex;
    }
    pd->npat = n;
    const uint64_t pairs = uint64_t{pd->ncodes} * pd->ncodes - uint64_t{pd->nstates} * pd->nstates;
    if (pairs && !(pd->codePairTable = allocArrayOf<CodePair>(pairs)))
        return 1;
    deallocPrePatterns(pd);
    pd->workRow = static_cast<uint8_t *>(deallocArray(pd->workRow));
    release(pd->siteToPrePattern);
    g->patterns = pd;
    g->compressed = 1;
    pd = nullptr;
    return 0;
}

// ---------------------------------------------------------------------------
// Expansion into group patterns

int allocGroupArrays(ModelGroup *g, uint32_t ngrp, uint32_t nchar, bool own)
{
    g->ngrp = ngrp;
    g->expanded = own;
    if (own) {
        g->groupPatternCount = allocArrayOf<double>(ngrp);
        g->groupPatternWeight = allocArrayOf<double>(ngrp);
        g->groupFirstSite = allocArrayOf<uint32_t>(ngrp);
        g->siteToGroupPattern = allocArrayOf<uint32_t>(std::max<uint32_t>(nchar, 1));
    } else {
        SitePatternData *pd = g->patterns;
        g->groupPatternCount = pd->patternCount;
        g->groupPatternWeight = pd->patternWeight;
        g->groupFirstSite = pd->firstSite;
        g->siteToGroupPattern = pd->siteToPattern;
    }
    g->groupToCompressed = allocArrayOf<uint32_t>(ngrp);
    g->slotOfPattern = allocArrayOf<uint32_t>(ngrp);
    const uint32_t width = getSizeofStateBits(g->patterns);
    g->constMask = allocArray(width, ngrp);
    uint64_t entries = 0;
    uint32_t categs = numRateCategsForModel(getDefaultModel());
    for (uint32_t s = 0; g->modelOfSlot != nullptr && s < g->nslots; ++s)
        categs = std::max(categs, numRateCategsForModel(g->modelOfSlot[s]));
    if (!checkedSizeProduct(ngrp, categs, &entries))
        return 1;
    g->nCategEntries = static_cast<uint32_t>(entries);
    g->slotCategoryArray = allocArrayOf<uint32_t>(entries);
    if (memoryErrorHasOccurred() || !g->groupPatternCount || !g->groupPatternWeight || !g->groupFirstSite ||
        !g->siteToGroupPattern || !g->groupToCompressed || !g->slotOfPattern || !g->constMask ||
        !g->slotCategoryArray)
        return 1;
    if (own)
        std::fill_n(g->siteToGroupPattern, nchar, kNoSite);
    return 0;
}

// Per-site slots: every group pattern holds sites of one slot only.
int expandBySlots(ModelGroup *g, const DataInfo *d, const uint32_t *siteSlot)
{
    SitePatternData *pd = g->patterns;
    const uint32_t npat = pd->npat, nslots = g->nslots, nchar = pd->nchar;
    std::vector<uint32_t> head(npat, kNoSite), next(nchar, kNoSite), tail(npat, kNoSite);
    for (uint32_t c = 0; c < nchar; ++c) {
        uint32_t p = pd->siteToPattern[c];
        if (p == kNoSite)
            continue;
        (head[p] == kNoSite ? head[p] : next[tail[p]]) = c;
        tail[p] = c;
    }
    std::vector<std::vector<uint32_t>> patternsOfSlot(nslots);
    std::vector<uint32_t> lastSeen(nslots, kNoSite);
    uint32_t ngrp = 0;
    for (uint32_t p = 0; p < npat; ++p)
        for (uint32_t c = head[p]; c != kNoSite; c = next[c]) {
            uint32_t s = std::min(siteSlot[c], nslots - 1);
            if (lastSeen[s] != p) {
                lastSeen[s] = p;
                patternsOfSlot[s].push_back(p);
                ++ngrp;
            }
        }
    if (allocGroupArrays(g, ngrp, nchar, true) != 0)
        return 1;
    uint32_t gp = 0;
    for (uint32_t s = 0; s < nslots; ++s)
        for (uint32_t p : patternsOfSlot[s]) {
            for (uint32_t c = head[p]; c != kNoSite; c = next[c]) {
                if (std::min(siteSlot[c], nslots - 1) != s)
                    continue;
                if (g->groupPatternCount[gp] == 0) {
                    g->slotOfPattern[gp] = s;
                    g->groupToCompressed[gp] = p;
                    g->groupFirstSite[gp] = c;
                }
                g->groupPatternCount[gp] += 1;
                g->groupPatternWeight[gp] += d->weights ? d->weights[c] : 1.0;
                g->siteToGroupPattern[c] = gp;
            }
            ++gp;
        }
    return 0;
}

// The Mkv model needs, before the patterns of each state count, a dummy
// pattern of that many states.
int expandForMkv(ModelGroup *g)
{
    SitePatternData *pd = g->patterns;
    const uint32_t npat = pd->npat;
    uint32_t distinct = 0, stateSum = 0;
    for (uint32_t p = 0; p < npat; ++p) {
        stateSum += pd->statesPerPattern[p];
        if (p == 0 || pd->statesPerPattern[p] != pd->statesPerPattern[p - 1]) {
            ++distinct;
            stateSum += pd->statesPerPattern[p];
        }
    }
    if (allocGroupArrays(g, npat + distinct, pd->nchar, true) != 0)
        return 1;
    g->mkvStateCount = allocArrayOf<uint16_t>(g->ngrp);
    g->mkvStateList = allocArrayOf<uint8_t *>(g->ngrp);
    g->mkvStateStore = allocArrayOf<uint8_t>(std::max<uint32_t>(stateSum, 1));
    g->mkvScratch = allocArrayOf<double>(pd->nstates + 1);
    if (!g->mkvStateCount || !g->mkvStateList || !g->mkvStateStore || !g->mkvScratch)
        return 1;
    std::vector<uint32_t> dummiesBefore(npat);
    uint32_t gp = 0, offset = 0;
    for (uint32_t p = 0; p < npat; ++p) {
        const uint16_t k = pd->statesPerPattern[p];
        if (p == 0 || k != pd->statesPerPattern[p - 1]) {
            g->groupFirstSite[gp] = kNoSite;
            g->groupToCompressed[gp] = kNoSite;
            g->mkvStateCount[gp] = k;
            g->mkvStateList[gp] = g->mkvStateStore + offset;
            offset += k;
            ++gp;
        }
        dummiesBefore[p] = gp - p;
        g->groupPatternCount[gp] = pd->patternCount[p];
        g->groupPatternWeight[gp] = pd->patternWeight[p];
        g->groupFirstSite[gp] = pd->firstSite[p];
        g->groupToCompressed[gp] = p;
        g->mkvStateCount[gp] = k;
        g->mkvStateList[gp] = g->mkvStateStore + offset;
        offset += k;
        ++gp;
    }
    for (uint32_t c = 0; c < pd->nchar; ++c) {
        uint32_t p = pd->siteToPattern[c];
        if (p != kNoSite)
            g->siteToGroupPattern[c] = p + dummiesBefore[p];
    }
    return 0;
}

void fillCodeStateLists(SitePatternData *pd)
{
    const uint32_t n = pd->nstates;
    uint8_t *list = pd->codeStateLists;
    uint32_t at = 0;
    for (uint32_t s = 0; s < n; ++s) {
        pd->codeListOffset[s] = at;
        list[at++] = 1;
        list[at++] = static_cast<uint8_t>(s);
    }
    for (uint32_t code = n; code < pd->ncodes; ++code) {
        pd->codeListOffset[code] = at;
        uint64_t bits = pd->codeBits[code];
        list[at++] = static_cast<uint8_t>(std::popcount(bits));
        for (; bits; bits &= bits - 1)
            list[at++] = static_cast<uint8_t>(std::countr_zero(bits));
    }
}

void storeMask(void *masks, uint32_t width, uint32_t gp, uint64_t bits)
{
    if (width == 1)
        static_cast<uint8_t *>(masks)[gp] = static_cast<uint8_t>(bits);
    else if (width == 4)
        static_cast<uint32_t *>(masks)[gp] = static_cast<uint32_t>(bits);
    else
        static_cast<uint64_t *>(masks)[gp] = bits;
}

// The state a constant pattern shows: that of its first taxon with a
// single state, else the lowest state of the first taxon's set.
uint32_t constantPatternState(const SitePatternData *pd, uint32_t cp)
{
    const uint32_t n = pd->nstates;
    for (uint32_t t = 0; t < pd->ntax; ++t)
        if (pd->rows[t][cp] < n)
            return pd->rows[t][cp];
    return static_cast<uint32_t>(std::countr_zero(pd->codeBits[pd->rows[0][cp]]));
}

bool isConstantGroupPattern(const ModelGroup *g, uint32_t width, uint32_t gp)
{
    if (width == 1)
        return static_cast<const uint8_t *>(g->constMask)[gp] != 0;
    if (width == 4)
        return static_cast<const uint32_t *>(g->constMask)[gp] != 0;
    return static_cast<const uint64_t *>(g->constMask)[gp] != 0;
}

// What follows from the group patterns' weights once their masks are set:
// the total weight, the proportion of constant sites and the frequencies of
// the states they hold.
void sumGroupPatternWeights(ModelGroup *g)
{
    SitePatternData *pd = g->patterns;
    const uint32_t n = pd->nstates, width = getSizeofStateBits(pd);
    std::vector<double> stateWeight(n, 0.0);
    double constWeight = 0.0, totalWeight = 0.0;
    for (uint32_t gp = 0; gp < g->ngrp; ++gp) {
        totalWeight += g->groupPatternWeight[gp];
        if (!isConstantGroupPattern(g, width, gp))
            continue;
        const double w = g->groupPatternWeight[gp];
        constWeight += w;
        if (const uint32_t state = constantPatternState(pd, g->groupToCompressed[gp]); state < n)
            stateWeight[state] += w;
    }
    pd->propConstant = totalWeight > 0 ? constWeight / totalWeight : 0.0;
    for (uint32_t s = 0; s < n; ++s)
        pd->constStateFreqs[s] = constWeight != 0 ? stateWeight[s] / constWeight : 0.0;
    pd->hasConstant = constWeight != 0;
    g->totalWeight = totalWeight;
}

int setFinalPatternMasksAndCounts(ModelGroup *g, const DataInfo *d, Model *m)
{
    SitePatternData *pd = g->patterns;
    const uint32_t n = pd->nstates, width = getSizeofStateBits(pd);
    fillCodeStateLists(pd);
    double totalCount = 0.0;
    const bool mkvType = g->useMkv && m->type == kModelMkv;
    const bool fixed = gServices.mkStateSpaceFixed();
    for (uint32_t gp = 0; gp < g->ngrp; ++gp) {
        totalCount += g->groupPatternCount[gp];
        const uint32_t cp = g->groupToCompressed[gp];
        const bool dummy = cp == kNoSite;
        uint64_t common = dummy ? 1 : lowMask(n);
        bool someSeen = dummy;
        // Walking down the taxa reads a row per cell: stop once the pattern
        // is known to vary.
        for (uint32_t t = 0; !dummy && t < pd->ntax && common != 0; ++t) {
            uint8_t code = pd->rows[t][cp];
            if (code == n)
                continue;
            someSeen = true;
            common &= pd->codeBits[code];
        }
        if (g->useMkv && g->mkvStateList) {
            uint8_t *list = g->mkvStateList[gp];
            const uint32_t k = g->mkvStateCount[gp];
            const std::string_view obs = dummy ? std::string_view{} : observedModelStates(d, g->groupFirstSite[gp]);
            for (uint32_t i = 0; i < k; ++i) {
                int s = static_cast<int>(i);
                if (mkvType && !dummy && !fixed && i < obs.size()) {
                    const char *at = std::strchr(d->symbols, obs[i]);
                    s = at ? static_cast<int>(at - d->symbols) : static_cast<int>(i);
                }
                list[i] = static_cast<uint8_t>(s);
            }
        }
        // Only a constant pattern's mask is set: the masks tell the weight
        // sums below (and a replicate's new weights) which patterns are.
        if (dummy || common == 0 || !someSeen)
            continue;
        storeMask(g->constMask, width, gp, common);
    }
    m->firstPattern = 0;
    m->lastPattern = g->ngrp ? g->ngrp - 1 : 0;
    g->totalCount = totalCount;
    sumGroupPatternWeights(g);
    return 0;
}

// Slots of a model partition: each model it names (once, in the order of
// its first subset) takes one slot per site-rate class, and every site the
// slot of its subset's model and its class. False without a partition, or
// when a subset names no defined model: the likelihood set-up has reported
// that and runs the default model alone.
bool partitionSlots(const DataInfo *d, std::vector<Model *> &modelOfSlot, std::vector<uint32_t> &siteSlot)
{
    const Nexset *ns = gServices.modelPartition();
    const SetPtn *ptn = ns ? getNexPtn(ns) : nullptr;
    if (ptn == nullptr)
        return false;
    const uint32_t nsub = numPtnSubsets(ptn);
    std::vector<Model *> subsetModel(nsub);
    std::vector<uint32_t> subsetBase(nsub);
    for (uint32_t k = 0; k < nsub; ++k) {
        Model *m = findMatchingModel(getPtnSubsetName(ptn, k), false);
        if (m == nullptr)
            return false;
        subsetModel[k] = m;
        const auto first = std::find(modelOfSlot.begin(), modelOfSlot.end(), m);
        subsetBase[k] = static_cast<uint32_t>(first - modelOfSlot.begin());
        if (first == modelOfSlot.end())
            modelOfSlot.insert(modelOfSlot.end(), getSiteRateCategsForModel(m) ? numRatesForModel(m) : 1, m);
    }
    siteSlot.assign(std::max<uint32_t>(d->nchar, 1), 0);
    for (uint32_t c = 0; c < d->nchar; ++c) {
        const uint32_t k = whichPartitionSubset(ptn, c);
        if (k >= nsub)
            continue;  // excluded, or not a site of the model's kind
        const uint32_t *classes = getSiteRateCategsForModel(subsetModel[k]);
        const uint32_t r = classes ? std::min(classes[c], numRatesForModel(subsetModel[k]) - 1) : 0;
        siteSlot[c] = subsetBase[k] + r;
    }
    return true;
}

// Each model's group patterns: those of its slots, which expansion by slots
// keeps together. A model left without patterns gets an empty range.
void setPartitionModelRanges(ModelGroup *g)
{
    for (uint32_t s = 0; s < g->nslots; ++s) {
        Model *m = g->modelOfSlot[s];
        m->firstPattern = 1;
        m->lastPattern = 0;
    }
    for (uint32_t p = 0; p < g->ngrp; ++p) {
        Model *m = g->modelOfSlot[g->slotOfPattern[p]];
        if (m->firstPattern > m->lastPattern)
            m->firstPattern = p;
        m->lastPattern = p;
    }
}

int expandPatterns(ModelGroup *g, DataInfo *d)
{
    Model *m = getDefaultModel();
    SitePatternData *pd = g->patterns;
    g->nstates = pd->nstates;
    std::vector<Model *> slotModels;
    std::vector<uint32_t> partitionSiteSlot;
    // The Mk expansion has patterns of its own (dummies by state count) and
    // keeps one model.
    const bool partitioned = !g->useMkv && partitionSlots(d, slotModels, partitionSiteSlot);
    const uint32_t *siteSlot = partitioned ? partitionSiteSlot.data() : getSiteRateCategsForModel(m);
    if (!partitioned)
        slotModels.assign(siteSlot ? std::max<uint32_t>(numRatesForModel(m), 1) : 1, m);
    g->nslots = static_cast<uint32_t>(slotModels.size());
    g->hasSlots = siteSlot != nullptr;
    g->modelOfSlot = allocArrayOf<Model *>(g->nslots);
    if (!g->modelOfSlot)
        return 1;
    std::copy(slotModels.begin(), slotModels.end(), g->modelOfSlot);
    int failed;
    if (siteSlot) {
        failed = expandBySlots(g, d, siteSlot);
    } else if (g->useMkv) {
        failed = expandForMkv(g);
    } else {
        failed = allocGroupArrays(g, pd->npat, pd->nchar, false);
        for (uint32_t p = 0; !failed && p < pd->npat; ++p)
            g->groupToCompressed[p] = p;
    }
    if (failed || setFinalPatternMasksAndCounts(g, d, m) != 0)
        return 1;
    if (partitioned)
        setPartitionModelRanges(g);
    return 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// Models

ModelGroup *activeModelGroup()
{
    return &gGroups[0];
}

ModelGroup *getModelGroup(uint32_t k) { return k < 2 ? &gGroups[k] : nullptr; }

uint32_t numDataStates(const Model *m)
{
    return m->type == kModelNucleotide ? 4 : std::min(m->nstates, kMaxModelStates);
}

uint32_t numRatesForModel(const Model *m) { return m->numRates ? m->numRates : 1; }
uint32_t numRateCategsForModel(const Model *m) { return m->numRateCategs ? m->numRateCategs : 1; }
const uint32_t *getSiteRateCategsForModel(const Model *m) { return m->siteRateClass; }

bool mustUseMkv(const DataInfo *d)
{
    return d->dataType == kDataTypeStandard && d->cls.nonNucleotide && d->cls.nonAminoAcid;
}

bool patternsUseMkv(const DataInfo *d)
{
    return mustUseMkv(d) || (isDataTypeNucleotide(d->dataType) && gServices.nstIsMkv());
}

int dataCodeToModelStateBySymbol(uint8_t code, const DataInfo *d, const ModelGroup *)
{
    if (code >= d->nstates)
        return -1;
    const Model *m = getDefaultModel();
    int symbol = std::toupper(static_cast<unsigned char>(d->symbols[code]));
    const bool nucleotide = m->type == kModelNucleotide || m->type == kModelRY;
    if (nucleotide && symbol == 'U')
        symbol = 'T';
    for (uint32_t s = 0; s < numDataStates(m) && m->symbols[s]; ++s)
        if (std::toupper(static_cast<unsigned char>(m->symbols[s])) == symbol)
            return static_cast<int>(s);
    return -1;
}

uint64_t stateCodeToModelBits(uint8_t rawCode, const DataInfo *d, const ModelGroup *g, const Model *m)
{
    const uint64_t all = lowMask(numDataStates(m));
    if (rawCode == kGapCode || rawCode == d->nstates)
        return all;
    DataCodeToStateFxn toState = g && g->dataCodeToState ? g->dataCodeToState : dataCodeToModelStateBySymbol;
    if (rawCode < d->nstates) {
        int s = toState(rawCode, d, g);
        return s < 0 ? 0 : uint64_t{1} << s;
    }
    const uint8_t *list = stateListOfCode(d, rawCode);
    if (!list)
        return all;
    uint64_t bits = 0;
    for (uint32_t i = 1; i <= list[0]; ++i) {
        int s = toState(list[i], d, g);
        if (s >= 0)
            bits |= uint64_t{1} << s;
    }
    return bits & all;
}

void installPatternServices(const PatternServices &s)
{
    if (s.nstIsMkv)
        gServices.nstIsMkv = s.nstIsMkv;
    if (s.mkStateSpaceFixed)
        gServices.mkStateSpaceFixed = s.mkStateSpaceFixed;
    if (s.invalidateMLprep)
        gServices.invalidateMLprep = s.invalidateMLprep;
    if (s.invalidateDistances)
        gServices.invalidateDistances = s.invalidateDistances;
    if (s.clearMLPrepared)
        gServices.clearMLPrepared = s.clearMLPrepared;
    if (s.modelPartition)
        gServices.modelPartition = s.modelPartition;
}

void resetPatternServices() { gServices = kDefaultServices; }

// ---------------------------------------------------------------------------
// Records

SitePatternData *createPatternData(const DataInfo *d, uint32_t ntax, uint32_t nstates, uint32_t capacity)
{
    if (nstates == 0 || nstates > kMaxModelStates)
        return nullptr;
    // Codes: the model's states, missing, and at most one per data combination.
    const uint32_t dataCodes = numStateCodes(d);
    const uint32_t combos = dataCodes > d->nstates + 1 ? dataCodes - d->nstates - 1 : 0;
    const uint32_t codeCapacity = std::max(dataCodes, nstates + 1 + combos);
    auto *pd = static_cast<SitePatternData *>(allocBlock(sizeof(SitePatternData)));
    if (!pd)
        return nullptr;
    pd->ntax = ntax;
    pd->nstates = nstates;
    pd->ncodes = nstates + 1;
    pd->capacity = capacity;
    pd->nchar = d->nchar;
    pd->codeCapacity = codeCapacity;
    pd->listCapacity = 3 * nstates + 1 + (codeCapacity - nstates - 1) * (nstates + 1);
    pd->prePatterns = allocArrayOf<PrePattern *>(std::max<uint32_t>(capacity, 1));
    pd->siteToPrePattern = allocArrayOf<uint32_t>(std::max<uint32_t>(d->nchar, 1));
    pd->siteToPattern = allocArrayOf<uint32_t>(std::max<uint32_t>(d->nchar, 1));
    pd->codeStateLists = allocArrayOf<uint8_t>(pd->listCapacity);
    pd->workRow = allocArrayOf<uint8_t>(std::max<uint32_t>(ntax, 1));
    pd->codeBits = allocArrayOf<uint64_t>(codeCapacity);
    pd->constStateFreqs = allocArrayOf<double>(nstates);
    pd->codeListOffset = allocArrayOf<uint32_t>(codeCapacity);
    if (!pd->prePatterns || !pd->siteToPrePattern || !pd->siteToPattern || !pd->codeStateLists ||
        !pd->workRow || !pd->codeBits || !pd->constStateFreqs || !pd->codeListOffset)
        return destroyCompressedPatterns(pd);
    std::fill_n(pd->siteToPrePattern, d->nchar, kNoSite);
    std::fill_n(pd->siteToPattern, d->nchar, kNoSite);
    for (uint32_t s = 0; s < nstates; ++s)
        pd->codeBits[s] = uint64_t{1} << s;
    pd->codeBits[nstates] = lowMask(nstates);
    return pd;
}

SitePatternData *destroyCompressedPatterns(SitePatternData *pd)
{
    if (!pd)
        return nullptr;
    deallocPrePatterns(pd);
    if (pd->rows)
        for (uint32_t t = 0; t < pd->ntax; ++t)
            release(pd->rows[t]);
    release(pd->rows);
    release(pd->patternCount);
    release(pd->patternWeight);
    release(pd->siteToPrePattern);
    release(pd->siteToPattern);
    release(pd->firstSite);
    release(pd->codePairTable);
    release(pd->statesPerPattern);
    release(pd->codeStateLists);
    release(pd->workRow);
    release(pd->codeBits);
    release(pd->constStateFreqs);
    release(pd->codeListOffset);
    release(pd->hasNonSingle);
    deallocBlock(pd);
    return nullptr;
}

PrePattern *makePrePattern(const uint8_t *row, uint32_t ntax, PrePattern *reuse)
{
    PrePattern *p = reuse;
    if (!p) {
        p = static_cast<PrePattern *>(allocBlock(sizeof(PrePattern)));
        if (!p)
            return nullptr;
        p->row = allocArrayOf<uint8_t>(std::max<uint32_t>(ntax, 1));
        if (!p->row) {
            deallocBlock(p);
            return nullptr;
        }
    }
    p->count = 1;
    p->firstSite = -1;
    p->weight = 1.0;
    p->hasNonSingle = 0;
    if (row)
        std::memcpy(p->row, row, ntax);
    return p;
}

void deallocPrePatterns(SitePatternData *pd)
{
    if (!pd || !pd->prePatterns)
        return;
    for (uint32_t i = 0; i < pd->nPrePatterns; ++i) {
        deallocArray(pd->prePatterns[i]->row);
        deallocBlock(pd->prePatterns[i]);
    }
    pd->nPrePatterns = 0;
    release(pd->prePatterns);
}

// ---------------------------------------------------------------------------
// Building and validity

namespace {

// Compressed patterns outlive a change of character weights (the Weights
// command, each resampling replicate), which leaves their rows as they were
// but not their weights: each pattern's weight is summed again over its
// sites.
void refreshPatternWeights(SitePatternData *pd, const DataInfo *d)
{
    if (!pd || !pd->patternWeight || !pd->siteToPattern)
        return;
    std::fill_n(pd->patternWeight, pd->npat, 0.0);
    pd->nonIntegerWeights = 0;
    for (uint32_t c = 0; c < pd->nchar; ++c) {
        const uint32_t p = pd->siteToPattern[c];
        if (p == kNoSite || p >= pd->npat)
            continue;
        const double w = d->weights ? d->weights[c] : 1.0;
        if (w != std::floor(w))
            pd->nonIntegerWeights = 1;
        pd->patternWeight[p] += w;
    }
}

}  // namespace

void refreshGroupPatternWeights(ModelGroup *g, const DataInfo *d)
{
    SitePatternData *pd = g->patterns;
    refreshPatternWeights(pd, d);
    // A group that owns its weights (expanded by slots or for the Mk model)
    // sums each of its patterns over the same sites in the same order as a
    // new expansion would.
    if (g->expanded) {
        std::fill_n(g->groupPatternWeight, g->ngrp, 0.0);
        for (uint32_t c = 0; c < pd->nchar; ++c)
            if (const uint32_t gp = g->siteToGroupPattern[c]; gp != kNoSite && gp < g->ngrp)
                g->groupPatternWeight[gp] += d->weights ? d->weights[c] : 1.0;
    }
    sumGroupPatternWeights(g);
}

int initSitePatternData(DataInfo *d, ModelGroup *g, bool allowMkv)
{
    if (!d || !g)
        return 1;
    if (!d->dataInitialized && initializeDataInfo(d) != 0)
        return 1;
    if (checkCharStatusUpdate(d) != 0)
        return 1;
    Model *m = getDefaultModel();
    g->useMkv = allowMkv && patternsUseMkv(d);
    deallocSitePatternData(g);
    // Patterns compressed for the Mk model leave out the constant characters
    // and carry state counts: a switch to or from it compresses again.
    if (g->compressed && g->patterns != nullptr && (g->patterns->statesPerPattern != nullptr) != (g->useMkv != 0))
        g->compressed = 0;
    int status = 0;
    if (!g->compressed) {
        setStatusText("Compressing patterns...");
        g->patterns = destroyCompressedPatterns(g->patterns);
        Compressor work;
        work.d = d;
        work.g = g;
        work.m = m;
        work.useMkv = g->useMkv;
        work.fixedStateSpace = gServices.mkStateSpaceFixed();
        status = work.run();
        clearStatusText();
        if (status == 0 && &gGroups[0] == g)
            gGroups[1].compressed = 0;
    }
    else
        refreshPatternWeights(g->patterns, d);
    if (status == 0 && expandPatterns(g, d) != 0)
        status = 1;
    if (status != 0)
        deallocSitePatternData(g);
    else
        g->valid = 1;
    gServices.clearMLPrepared();
    return status;
}

int initPatternData(DataInfo *d)
{
    ModelGroup *g = activeModelGroup();
    return g->valid ? 0 : initSitePatternData(d, g, true);
}

void invalidateSitePatternData(bool destroy)
{
    ModelGroup *g = &gGroups[0];
    if (destroy) {
        deallocSitePatternData(g);
        g->patterns = destroyCompressedPatterns(g->patterns);
        g->compressed = 0;
    }
    g->valid = 0;
    gServices.invalidateMLprep();
    gServices.invalidateDistances();
    activeModelGroup()->empirFreqsValid = 0;
}

bool isSitePatternDataValid(const ModelGroup *g) { return g && g->valid; }
void setSitePatternDataValid(ModelGroup *g) { g->valid = 1; }
void invalidateEmpirStateFreqs() { activeModelGroup()->empirFreqsValid = 0; }
bool areEmpirFreqsValid(const ModelGroup *g) { return g && g->empirFreqsValid; }

void deallocSitePatternData(ModelGroup *g)
{
    release(g->slotOfPattern);
    release(g->slotCategoryArray);
    release(g->groupToCompressed);
    release(g->modelOfSlot);
    g->constMask = deallocArray(g->constMask);
    if (g->expanded) {
        release(g->groupPatternCount);
        release(g->groupPatternWeight);
        release(g->groupFirstSite);
        release(g->siteToGroupPattern);
    } else {
        g->groupPatternCount = g->groupPatternWeight = nullptr;
        g->groupFirstSite = g->siteToGroupPattern = nullptr;
    }
    release(g->mkvStateList);
    release(g->mkvStateStore);
    release(g->mkvStateCount);
    release(g->mkvScratch);
    g->expanded = 0;
    g->ngrp = 0;
    g->valid = 0;
}

uint32_t getNumStatesForPat(const ModelGroup *g, uint32_t p)
{
    const SitePatternData *pd = g->patterns;
    // p counts group patterns, which under Mkv include the dummy run heads.
    if (g->useMkv && g->mkvStateCount && p < g->ngrp)
        return g->mkvStateCount[p];
    if (g->useMkv && pd && pd->statesPerPattern && p < pd->npat)
        return pd->statesPerPattern[p];
    return pd ? pd->nstates : 0;
}

uint32_t getSizeofStateBits(const SitePatternData *pd)
{
    return pd->nstates < 9 ? 1 : pd->nstates < 33 ? 4 : 8;
}

SitePatternData *makeAllPatterns(ModelGroup *g, const DataInfo *d)
{
    SitePatternData *pd = createPatternData(d, 4, 4, 256);
    if (!pd)
        return nullptr;
    if (const SitePatternData *old = g->patterns) {
        std::memcpy(pd->codeStateLists, old->codeStateLists, std::min(pd->listCapacity, old->listCapacity));
        std::memcpy(pd->codeListOffset, old->codeListOffset,
                    sizeof(uint32_t) * std::min(pd->codeCapacity, old->codeCapacity));
        std::memcpy(pd->codeBits, old->codeBits, sizeof(uint64_t) * std::min(pd->codeCapacity, old->codeCapacity));
    }
    invalidateSitePatternData(true);
    pd->ncodes = 5;
    pd->nsites = pd->npat = 256;
    pd->nonIntegerWeights = 0;
    pd->patternCount = allocArrayOf<double>(256);
    pd->patternWeight = allocArrayOf<double>(256);
    pd->firstSite = allocArrayOf<uint32_t>(256);
    pd->hasNonSingle = allocArrayOf<uint8_t>(256);
    pd->rows = allocArrayOf<uint8_t *>(4);
    release(pd->siteToPattern);
    pd->siteToPattern = allocArrayOf<uint32_t>(256);
    pd->nchar = 256;
    pd->codePairTable = allocArrayOf<CodePair>(25 - 16);
    bool ok = pd->patternCount && pd->patternWeight && pd->firstSite && pd->hasNonSingle && pd->rows &&
              pd->siteToPattern && pd->codePairTable;
    for (uint32_t t = 0; ok && t < 4; ++t)
        ok = (pd->rows[t] = allocArrayOf<uint8_t>(256)) != nullptr;
    if (!ok)
        return destroyCompressedPatterns(pd);
    for (uint32_t p = 0; p < 256; ++p) {
        for (uint32_t t = 0; t < 4; ++t)
            pd->rows[t][p] = static_cast<uint8_t>((p >> (2 * (3 - t))) & 3);
        pd->patternCount[p] = pd->patternWeight[p] = 1.0;
        pd->firstSite[p] = pd->siteToPattern[p] = p;
    }
    deallocPrePatterns(pd);
    release(pd->workRow);
    release(pd->siteToPrePattern);
    return pd;
}

void setPatternFreqsForSubset(SitePatternData *pd, const Set *charSet)
{
    std::fill_n(pd->patternWeight, pd->npat, 0.0);
    for (uint32_t c = 0; c < pd->nchar && c < charSet->capacity; ++c)
        if (isSetMember(charSet, c) && pd->siteToPattern[c] != kNoSite)
            pd->patternWeight[pd->siteToPattern[c]] += 1.0;
}

void showCompressedPatterns(const SitePatternData *pd, const char *title)
{
    if (title)
        qel_printf("%s", title);
    qel_printf("\n%20s\n", "canon");
    qel_printf("%10s%10s   freq   states\n", "pat", "site");
    qel_printf("-------------------------------------------\n");
    for (uint32_t p = 0; p < pd->npat; ++p) {
        qel_printf("%10d%10d", static_cast<int>(p), static_cast<int>(pd->firstSite[p]));
        qel_printf("%7.0f:\b", pd->patternCount[p]);
        for (uint32_t t = 0; t < pd->ntax; ++t)
            qel_printf("%3d", pd->rows[t][p]);
        if (pd->statesPerPattern)
            qel_printf("%5d", pd->statesPerPattern[p]);
        qel_printf("\n");
    }
}
