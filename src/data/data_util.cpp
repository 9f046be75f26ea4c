#include "data/data_util.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <span>
#include <vector>

#include "data/column_reader.h"
#include "data/data_services.h"
#include "data/nexsets.h"
#include "data/taxstat.h"
#include "qel/qel_malloc.h"

namespace {

Set *builtinSet(NexsetBuiltin b) { return static_cast<Set *>(gNexsets.builtins[b].payload); }

void putInSet(Set *s, uint32_t c, bool member)
{
    if (!s || c >= s->capacity)
        return;
    if (member)
        addSetMember(s, c);
    else
        removeSetMember(s, c);
}

bool allSymbolsIn(const char *s, const char *allowed)
{
    for (; *s; ++s)
        if (!std::strchr(allowed, *s))
            return false;
    return true;
}

// The symbols parsimony sees: the gap is a state of its own under gap mode
// "newState".
void buildParsSymbols(DataInfo *d)
{
    strncpy(d->parsSymbols, d->symbols, sizeof d->parsSymbols - 2);
    d->parsSymbols[sizeof d->parsSymbols - 2] = '\0';
    const DataServices &s = dataServices();
    if (s.criterion() == kCriterionParsimony && s.gapMode() == kGapModeNewState && d->gapSymbol) {
        size_t n = std::strlen(d->parsSymbols);
        d->parsSymbols[n] = static_cast<char>(d->gapSymbol);
        d->parsSymbols[n + 1] = '\0';
    }
}

int buildObsSymbols(DataInfo *d)
{
    d->obsSymbolsBlock = static_cast<char *>(deallocArray(d->obsSymbolsBlock));
    if (!d->obsSymbols)
        return d->nchar ? 1 : 0;
    size_t nsym = std::strlen(d->parsSymbols);
    uint64_t total = 0;
    for (uint32_t c = 0; c < d->nchar; ++c)
        if (!(d->status[c] & kCharEliminated))
            total += std::max<uint32_t>(d->obsCount[c], 1) + 1;
    if (total == 0)
        return 0;
    d->obsSymbolsBlock = allocArrayOf<char>(total);
    if (!d->obsSymbolsBlock)
        return 1;
    char *p = d->obsSymbolsBlock;
    for (uint32_t c = 0; c < d->nchar; ++c) {
        if (d->status[c] & kCharEliminated) {
            d->obsSymbols[c] = nullptr;
            continue;
        }
        d->obsSymbols[c] = p;
        char *start = p;
        for (uint64_t w = d->obsStates[c]; w; w &= w - 1) {
            auto s = static_cast<size_t>(std::countr_zero(w));
            if (s < nsym)
                *p++ = d->parsSymbols[s];
        }
        if (p == start)
            *p++ = '?';
        *p++ = '\0';
        // Keep the block layout fixed even if a state had no symbol.
        p = start + std::max<uint32_t>(d->obsCount[c], 1) + 1;
    }
    return 0;
}

}  // namespace

void updateStdCharsets(DataInfo *d)
{
    if (!(d->flags & kHaveCharacters) || !d->status || !d->gappedChars || !d->missAmbigChars)
        return;
    clearSet(d->gappedChars);
    clearSet(d->missAmbigChars);
    for (uint32_t c = 0; c < d->nchar; ++c)
        d->status[c] &= ~kCharHasCombination;
    // What each character shows, gathered as bits over its cells.
    constexpr uint8_t kShowsGap = 1, kShowsMissingOrCombination = 2, kShowsCombination = 4;
    const uint32_t missing = d->nstates;
    std::array<uint8_t, 256> flagOf{};
    for (uint32_t code = 0; code < 256; ++code)
        flagOf[code] = code == kGapCode  ? kShowsGap
                       : code > missing  ? kShowsMissingOrCombination | kShowsCombination
                       : code == missing ? kShowsMissingOrCombination
                                         : 0;
    std::vector<uint8_t> shown(d->nchar, 0);
    ColumnReader columns(d);
    if (!d->compactStorage && d->matrix) {
        // A full matrix is swept a row at a time, in the order it is stored.
        for (uint32_t row : columns.rows()) {
            if (row == kSetEnd) {
                for (uint8_t &s : shown)
                    s |= flagOf[missing & 0xFF];
                continue;
            }
            // Comparisons rather than the table, so that the loop vectorises.
            const uint8_t *cells = d->matrix[row];
            const auto m = static_cast<uint8_t>(missing);
            for (uint32_t c = 0; c < d->nchar; ++c) {
                const uint8_t k = cells[c];
                const uint8_t state = k != kGapCode;
                shown[c] |= static_cast<uint8_t>(kShowsGap * (k == kGapCode) |
                                                 kShowsMissingOrCombination * (state & (k >= m)) |
                                                 kShowsCombination * (state & (k > m)));
            }
        }
    } else {
        for (uint32_t c = 0; c < d->nchar; ++c)
            if (!(d->status[c] & kCharEliminated))
                for (uint8_t code : columns.column(c))
                    shown[c] |= flagOf[code];
    }
    for (uint32_t c = 0; c < d->nchar; ++c) {
        if (d->status[c] & kCharEliminated)
            continue;
        if (shown[c] & kShowsGap)
            addSetMember(d->gappedChars, c);
        if (shown[c] & kShowsMissingOrCombination)
            addSetMember(d->missAmbigChars, c);
        if (shown[c] & kShowsCombination)
            d->status[c] |= kCharHasCombination;
    }
    const DataServices &s = dataServices();
    if (!(s.criterion() == kCriterionParsimony && s.gapMode() != kGapModeMissing))
        setUnion(d->missAmbigChars, d->gappedChars, d->missAmbigChars);
}

int initializeDataInfo(DataInfo *d)
{
    const DataServices &s = dataServices();
    s.setStatusText("Initial data preparation...");
    d->dataInitialized = 0;
    d->obsSymbolsBlock = static_cast<char *>(deallocArray(d->obsSymbolsBlock));
    if (d->obsSymbols)
        std::fill_n(d->obsSymbols, d->nchar, nullptr);
    if (d->taxa.needTaxInit)
        initTaxStatus(d);
    CharClassFlags &f = d->cls;
    f.multistate = f.polymorphic = f.moreThanTwoStates = f.missingData = 0;
    Set *constantSet = builtinSet(kBuiltinConstant);
    Set *uninfSet = builtinSet(kBuiltinUninf);
    Set *allMissing = builtinSet(kBuiltinAllMissing);
    CellCodeTable codes = makeCellCodeTable(d);
    // Outside parsimony a gap reads as every state: neither it nor a
    // combination of every state may count as a sighting of them all.
    for (uint32_t code = 0; code < 256; ++code)
        codes.missing[code] = codeShowsNoState(d, static_cast<uint8_t>(code));
    ColumnReader columns(d);
    for (uint32_t c = 0; c < d->nchar && d->status; ++c) {
        uint32_t &st = d->status[c];
        if (st & kCharEliminated)
            continue;
        st &= ~(kCharConstant | kCharUninformative | kCharMissingOrMulti | kCharInformativenessUnknown);
        const bool excluded = st & kCharExcluded;
        RepeatedStates states;
        uint64_t common = kAllStates;
        bool multi = false, poly = false;
        const std::span<const uint8_t> column = columns.column(c);
        for (int32_t t = -1; t < d->nActive; ++t) {
            const uint8_t code = t < 0 ? getXijRaw(d, t, c) : column[static_cast<uint32_t>(t)];
            if (codes.missing[code]) {
                if (t >= 0 && !excluded) {
                    st |= kCharMissingOrMulti;
                    f.missingData = 1;
                }
                continue;
            }
            uint64_t bits = codes.bits[code];
            states.add(bits);
            common &= bits;
            if (std::popcount(bits) > 1) {
                multi = true;
                st |= kCharMissingOrMulti;
                poly = poly || isPolymorphicMST(t, c, d);
            }
        }
        d->obsStates[c] = states.all;
        d->obsCount[c] = static_cast<uint8_t>(std::popcount(states.all));
        if (multi && !excluded) {
            f.multistate = 1;
            if (poly)
                f.polymorphic = 1;
            if (d->obsCount[c] > 2)
                f.moreThanTwoStates = 1;
        }
        const bool constant = !poly && common != 0;
        const bool uninformative = constant || states.uninformative();
        if (constant)
            st |= kCharConstant;
        if (uninformative)
            st |= kCharUninformative;
        putInSet(constantSet, c, constant);
        putInSet(uninfSet, c, uninformative && !constant);
        putInSet(allMissing, c, d->obsCount[c] == 0);
    }
    d->dataInitialized = 1;
    d->derivedMsTaxa = static_cast<uint8_t>(s.msTaxa());
    d->statusUpToDate = 0;
    s.clearStatusText();
    buildParsSymbols(d);
    return buildObsSymbols(d);
}

void fillUninfSet(const DataInfo *d)
{
    Set *uninfSet = builtinSet(kBuiltinUninf);
    for (uint32_t c = 0; c < d->nchar && d->status; ++c) {
        const uint32_t st = d->status[c];
        if (!(st & kCharEliminated))
            putInSet(uninfSet, c, (st & kCharUninformative) && !(st & kCharConstant));
    }
}

int updateCharStatus(DataInfo *d)
{
    char nucleotides[16] = "ACGTUacgtu";
    char aminoAcids[48] = "ACDEFGHIKLMNPQRSTVWYacdefghiklmnpqrstvwy*";
    if (d->gapSymbol) {
        nucleotides[std::strlen(nucleotides)] = static_cast<char>(d->gapSymbol);
        aminoAcids[std::strlen(aminoAcids)] = static_cast<char>(d->gapSymbol);
    }
    d->statusUpToDate = 0;
    const bool msTaxaChanged = d->derivedMsTaxa != static_cast<uint8_t>(dataServices().msTaxa());
    if ((!d->dataInitialized || msTaxaChanged) && initializeDataInfo(d) != 0)
        return 1;
    CharClassFlags &f = d->cls;
    const uint8_t missingData = f.missingData, multistate = f.multistate, polymorphic = f.polymorphic,
                  moreThanTwo = f.moreThanTwoStates;
    f = CharClassFlags{};
    f.missingData = missingData;
    f.multistate = multistate;
    f.polymorphic = polymorphic;
    f.moreThanTwoStates = moreThanTwo;
    f.allIncluded = 1;
    d->allTwoState01 = 1;
    uint32_t largest = 0;
    const DataServices &s = dataServices();
    for (uint32_t c = 0; c < d->nchar; ++c) {
        uint32_t &st = d->status[c];
        if (st & kCharEliminated)
            continue;
        if (st & kCharExcluded) {
            f.allIncluded = 0;
            continue;
        }
        const char *sym = d->obsSymbols && d->obsSymbols[c] ? d->obsSymbols[c] : "?";
        const uint32_t k = d->obsCount[c];
        const bool noObserved = sym[0] == '?' && d->gappedChars && isSetMember(d->gappedChars, c);
        largest = std::max(largest, k);
        if (st & kCharMissingOrMulti)
            f.missingOrMulti = 1;
        if (d->allTwoState01 && (k >= 3 || !std::strpbrk(sym, "01-+")))
            d->allTwoState01 = 0;
        // Protein residues spelt with base letters only (a column of all C or
        // all G) are still amino acids: the nucleotide mark would let readers
        // take them for bases, so protein data never carry it.
        if (!(d->flags & kDataProtein) && (noObserved || allSymbolsIn(sym, nucleotides))) {
            st |= kCharNucleotide;
            f.nucleotide = 1;
        } else {
            st &= ~kCharNucleotide;
            f.nonNucleotide = 1;
        }
        if (noObserved || allSymbolsIn(sym, aminoAcids)) {
            st |= kCharAminoAcid;
            f.aminoAcid = 1;
        } else {
            st &= ~kCharAminoAcid;
            f.nonAminoAcid = 1;
        }
        if (st & kCharConstant) {
            f.constant = 1;
            continue;
        }
        switch (s.getPkdType(c, d) & kCharTypeMask) {
        case kCharOrdered:
            f.ordered = 1;
            if (st & kCharUserType)
                f.symStepmat = 1;
            else if (st & kCharStateTree)
                f.orderedTree = 1;
            break;
        case kCharUnordered: f.unordered = 1; break;
        case kCharIrreversible: f.irreversible = 1; break;
        case kCharDollo: f.dollo = 1; break;
        case kCharUserType:
            if (s.isAsymmetricUserType(c, d))
                f.asymStepmat = 1;
            else
                f.symStepmat = 1;
            break;
        default: break;
        }
    }
    d->maxObsStates = largest;
    f.freeRev = f.ordered || f.unordered || f.symStepmat;
    f.rev = f.freeRev || f.dollo;
    f.nonRev = f.irreversible || f.asymStepmat;
    f.nonWagUno = f.symStepmat || f.dollo || f.nonRev;
    d->statusUpToDate = 1;
    return 0;
}

int checkCharStatusUpdate(DataInfo *d)
{
    if ((d->flags & kHaveCharacters) && !d->statusUpToDate)
        return updateCharStatus(d);
    return 0;
}

void initCharInclusionFlags(DataInfo *d)
{
    CharClassFlags &f = d->cls;
    f.allIncluded = 1;
    f.missingOrMulti = f.nucleotide = f.nonNucleotide = f.aminoAcid = f.nonAminoAcid = f.constant = 0;
    for (uint32_t c = 0; c < d->nchar && d->status; ++c) {
        const uint32_t st = d->status[c];
        if (st & kCharExcluded) {
            f.allIncluded = 0;
            continue;
        }
        if (st & kCharMissingOrMulti)
            f.missingOrMulti = 1;
        (st & kCharNucleotide ? f.nucleotide : f.nonNucleotide) = 1;
        (st & kCharAminoAcid ? f.aminoAcid : f.nonAminoAcid) = 1;
        if (st & kCharConstant)
            f.constant = 1;
    }
}

Set *saveExclusionStatus(const DataInfo *d)
{
    Set *s = allocSet(d->nchar);
    if (!s)
        return nullptr;
    for (uint32_t c = 0; c < d->nchar; ++c)
        if (d->status[c] & kCharExcluded)
            addSetMember(s, c);
    return s;
}

void restoreExclusionStatus(const Set *set, DataInfo *d)
{
    if (!set)
        return;
    for (uint32_t c = 0; c < d->nchar; ++c) {
        if (isSetMember(set, c))
            d->status[c] |= kCharExcluded;
        else
            d->status[c] &= ~kCharExcluded;
    }
    d->statusUpToDate = 0;
}

uint8_t allCharsIncluded(const DataInfo *d) { return d->cls.allIncluded; }
uint8_t freeRevCharsIncluded(const DataInfo *d) { return d->cls.freeRev; }
uint8_t revCharsIncluded(const DataInfo *d) { return d->cls.rev; }
uint8_t wagCharsIncluded(const DataInfo *d) { return d->cls.ordered; }
uint8_t unordCharsIncluded(const DataInfo *d) { return d->cls.unordered; }
uint8_t stepmatCharsIncluded(const DataInfo *d) { return d->cls.symStepmat || d->cls.asymStepmat; }
uint8_t asymStepmatCharsIncluded(const DataInfo *d) { return d->cls.asymStepmat; }
uint8_t nonRevCharsIncluded(const DataInfo *d) { return d->cls.nonRev; }
uint8_t nonWagUnoCharsIncluded(const DataInfo *d) { return d->cls.nonWagUno; }
uint8_t nonFreeRevCharsIncluded(const DataInfo *d) { return d->cls.dollo || d->cls.nonRev; }
uint8_t irrevCharsIncluded(const DataInfo *d) { return d->cls.irreversible; }
uint8_t dolloCharsIncluded(const DataInfo *d) { return d->cls.dollo; }
uint8_t missingDataIncluded(const DataInfo *d) { return d->cls.missingData; }
uint8_t msTaxaIncluded(const DataInfo *d) { return d->cls.multistate; }
uint8_t polyMsTaxaIncluded(const DataInfo *d) { return d->cls.polymorphic; }
