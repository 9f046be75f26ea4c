#include "data/vorn_data.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cstring>

#include "data/model.h"
#include "data/data_services.h"
#include "qel/qel_errormsg.h"

namespace {

DataInfo *gActive = nullptr;
TaxLabelFxn gTaxLabelFxn = getTaxLabel;

uint64_t *bitsTable(const DataInfo *d) { return static_cast<uint64_t *>(d->stateBits->data); }
uint32_t *offsetTable(const DataInfo *d) { return static_cast<uint32_t *>(d->stateListOffsets->data); }
uint8_t *listTable(const DataInfo *d) { return static_cast<uint8_t *>(d->stateLists->data); }

uint64_t lowBits(uint32_t n) { return n >= 64 ? kAllStates : (uint64_t{1} << n) - 1; }

// Stored row of an active taxon, kSetEnd when there is none.
uint32_t activeRow(const DataInfo *d, int32_t taxon)
{
    if (taxon < 0 || taxon >= d->nActive)
        return kSetEnd;
    uint32_t t = static_cast<uint32_t>(taxon);
    uint32_t row = d->taxa.activeToOriginal ? d->taxa.activeToOriginal[t] : t;
    return row < d->ntax ? row : kSetEnd;
}

// Position of a symbol in a symbols list, matching case unless told not to.
int symbolPosition(const char *symbols, int symbol, bool respectCase)
{
    if (!symbols || symbol <= 0)
        return -1;
    for (int i = 0; symbols[i]; ++i) {
        auto s = static_cast<unsigned char>(symbols[i]);
        if (s == symbol || (!respectCase && std::tolower(s) == std::tolower(symbol)))
            return i;
    }
    return -1;
}

template <typename T>
bool appendValue(Vector *v, T value)
{
    return appendElementToVector(&value, v) != nullptr;
}

// Appends one code's entry to the three tables; on failure the tables are
// cut back to where they were.
bool appendCode(DataInfo *d, uint64_t bits)
{
    uint32_t nCodes = d->stateBits->count, nOffsets = d->stateListOffsets->count;
    uint32_t nBytes = d->stateLists->count;
    bool ok = appendValue(d->stateBits, bits) && appendValue(d->stateListOffsets, nBytes) &&
              appendValue(d->stateLists, static_cast<uint8_t>(std::popcount(bits)));
    for (uint64_t w = bits; ok && w; w &= w - 1)
        ok = appendValue(d->stateLists, static_cast<uint8_t>(std::countr_zero(w)));
    if (!ok) {
        setVectorSize(d->stateBits, nCodes);
        setVectorSize(d->stateListOffsets, nOffsets);
        setVectorSize(d->stateLists, nBytes);
    }
    return ok;
}

}  // namespace

// ---------------------------------------------------------------------------
// The active record

DataInfo *activeDataInfo() { return gActive; }

DataInfo *setActiveDataInfo(DataInfo *d)
{
    DataInfo *previous = gActive;
    gActive = d;
    return previous;
}

TreeBuffer *getMainTreeBuffer(const DataInfo *d)
{
    if (!d)
        d = gActive;
    return d ? d->mainTreeBuffer : nullptr;
}

void setMainTreeBuffer(TreeBuffer *buffer)
{
    if (gActive)
        gActive->mainTreeBuffer = buffer;
}

// ---------------------------------------------------------------------------
// Code tables

void deallocStateCodes(DataInfo *d)
{
    d->stateBits = destroyVector(d->stateBits);
    d->stateListOffsets = destroyVector(d->stateListOffsets);
    d->stateLists = destroyVector(d->stateLists);
}

int buildInitialStateCodes(DataInfo *d)
{
    deallocStateCodes(d);
    d->nstates = static_cast<uint32_t>(std::min<size_t>(strnlen(d->symbols, sizeof d->symbols), kMaxStates));
    uint32_t n = d->nstates;
    d->stateBits = createVector(n + 11, 0, sizeof(uint64_t), 0, nullptr);
    d->stateListOffsets = createVector(n + 11, 0, sizeof(uint32_t), 0, nullptr);
    d->stateLists = createVector(3 * (n + 10) + 1, 0, 1, 0, nullptr);
    bool ok = d->stateBits && d->stateListOffsets && d->stateLists;
    for (uint32_t s = 0; ok && s < n; ++s)
        ok = appendCode(d, uint64_t{1} << s);
    // The missing code lists every state.
    ok = ok && appendCode(d, lowBits(n));
    if (!ok) {
        deallocStateCodes(d);
        return 1;
    }
    return 0;
}

int trimStateCodeTables(DataInfo *d)
{
    if (!d->stateBits)
        return 0;
    return trimVectorToSize(d->stateBits) | trimVectorToSize(d->stateListOffsets) |
           trimVectorToSize(d->stateLists);
}

uint32_t numStateCodes(const DataInfo *d) { return d->stateBits ? d->stateBits->count : 0; }

uint64_t stateBitsOfCode(const DataInfo *d, uint8_t code)
{
    return code < numStateCodes(d) ? bitsTable(d)[code] : kAllStates;
}

const uint8_t *stateListOfCode(const DataInfo *d, uint8_t code)
{
    return code < numStateCodes(d) ? listTable(d) + offsetTable(d)[code] : nullptr;
}

uint8_t stateBitsToCode(uint64_t bits, DataInfo *d)
{
    uint32_t nCodes = numStateCodes(d);
    if (nCodes == 0)
        return kRefusedCode;
    if (bits == 0)
        return static_cast<uint8_t>(d->nstates);
    if (bits & ~lowBits(d->nstates)) {
        qel_errorMsg(0, "State set names a state beyond the %u defined states.", d->nstates);
        return kRefusedCode;
    }
    if (std::has_single_bit(bits))
        return static_cast<uint8_t>(std::countr_zero(bits));
    const uint64_t *table = bitsTable(d);
    for (uint32_t code = d->nstates + 1; code < nCodes; ++code)
        if (table[code] == bits)
            return static_cast<uint8_t>(code);
    if (nCodes >= kMaxStateCodes) {
        qel_errorMsg(0,
                     "The limit on the number of state combinations used for multistate taxa has "
                     "been reached.\tThe number of character states + ambiguity combinations "
                     "cannot exceed %d.",
                     static_cast<int>(kMaxStateCodes));
        return kRefusedCode;
    }
    if (!appendCode(d, bits))
        return kRefusedCode;
    return static_cast<uint8_t>(nCodes);
}

uint8_t stateSetToCode(const Set *set, DataInfo *d)
{
    return stateBitsToCode(set && set->nwords ? set->words[0] : 0, d);
}

// ---------------------------------------------------------------------------
// Cells

uint8_t getXijRaw(const DataInfo *d, int32_t taxon, uint32_t c)
{
    auto missing = static_cast<uint8_t>(d->nstates);
    if (c >= d->nchar)
        return missing;
    if (taxon < 0) {
        const uint8_t *anc = dataServices().currentAncestralStates(d);
        if (!anc)
            anc = d->ancestor;
        return anc ? anc[c] : missing;
    }
    uint32_t row = activeRow(d, taxon);
    if (row == kSetEnd)
        return missing;
    if (d->compactStorage) {
        if (!d->patternMatrix || !d->patternIndex || d->patternIndex[c] >= d->nPatterns)
            return missing;
        return d->patternMatrix[d->patternIndex[c]][row];
    }
    return d->matrix ? d->matrix[row][c] : missing;
}

int setXijRaw(DataInfo *d, uint32_t row, uint32_t c, uint8_t code)
{
    if (!d->matrix || row >= d->ntax || c >= d->nchar)
        return 1;
    if (code != kGapCode && code >= numStateCodes(d))
        return 1;
    d->matrix[row][c] = code;
    return 0;
}

bool isMissing(int32_t taxon, uint32_t c, const DataInfo *d)
{
    return getXijRaw(d, taxon, c) == d->nstates;
}

bool isGap(int32_t taxon, uint32_t c, const DataInfo *d) { return getXijRaw(d, taxon, c) == kGapCode; }

bool isMissingOrGapMiss(int32_t taxon, uint32_t c, const DataInfo *d)
{
    return codeIsMissingOrGapMiss(d, getXijRaw(d, taxon, c));
}

namespace {

// The gap, or a combination of every data state: the codes that read as
// missing wherever gaps do.
bool isGapOrEveryState(const DataInfo *d, uint8_t code)
{
    return code == kGapCode ||
           (code > d->nstates && code < numStateCodes(d) && bitsTable(d)[code] == lowBits(d->nstates));
}

}  // namespace

bool codeIsMissingOrGapMiss(const DataInfo *d, uint8_t code)
{
    return code == d->nstates || (dataServices().gapMode() == kGapModeMissing && isGapOrEveryState(d, code));
}

bool isPolymorphicMST(int32_t taxon, uint32_t c, const DataInfo *d)
{
    if (taxon < 0)
        return false;
    switch (dataServices().msTaxa()) {
    case kMsTaxaPolymorph:
        return true;
    case kMsTaxaVariable: {
        uint32_t row = activeRow(d, taxon);
        const SetFamily *f = d->polyCells;
        if (!f || row == kSetEnd || row >= f->numSets || c >= f->capacity)
            return false;
        return isBitVecMember(f->rows[row], c);
    }
    default:
        return false;
    }
}

bool codeShowsNoState(const DataInfo *d, uint8_t code)
{
    if (codeIsMissingOrGapMiss(d, code))
        return true;
    // Outside parsimony the gap is not a state, so a combination of every
    // data state is as uninformative as it is when gaps count as missing.
    return dataServices().criterion() != kCriterionParsimony && isGapOrEveryState(d, code);
}

uint64_t codeAsBits(const DataInfo *d, uint8_t code)
{
    if (code == d->nstates)
        return kAllStates;
    if (code == kGapCode) {
        const DataServices &s = dataServices();
        if (s.criterion() != kCriterionParsimony || s.gapMode() == kGapModeMissing)
            return kAllStates;
        return uint64_t{1} << d->nstates;
    }
    return stateBitsOfCode(d, code);
}

uint64_t getXijAsBits(const DataInfo *d, int32_t taxon, uint32_t c, const char *toSymbols)
{
    uint64_t bits = codeAsBits(d, getXijRaw(d, taxon, c));
    if (bits != kAllStates && toSymbols)
        bits = mapStateBits(d, bits, d->parsSymbols, toSymbols, nullptr, nullptr);
    return bits;
}

uint64_t mapStateBits(const DataInfo *d, uint64_t bits, const char *fromSymbols, const char *toSymbols,
                      int32_t *outPositions, const char *positionSymbols)
{
    uint64_t result = 0;
    size_t nFrom = fromSymbols ? strnlen(fromSymbols, 256) : 0;
    bool exact = d->respectCase != 0;
    uint32_t k = 0;
    for (uint64_t w = bits; w; w &= w - 1) {
        auto s = static_cast<uint32_t>(std::countr_zero(w));
        if (s >= nFrom)
            continue;
        int symbol = static_cast<unsigned char>(fromSymbols[s]);
        int to = symbolPosition(toSymbols, symbol, exact);
        if (to >= 0 && to < 64)
            result |= uint64_t{1} << to;
        if (outPositions)
            outPositions[k++] = symbolPosition(positionSymbols, symbol, exact);
    }
    return result;
}

int stateDex(int symbol, const DataInfo *d)
{
    return symbolPosition(d->symbols, symbol, d->respectCase != 0);
}

bool dataMatrixAllocated(const DataInfo *d)
{
    return d->compactStorage ? d->patternMatrix != nullptr : d->matrix != nullptr;
}

bool isDataTypeNucleotide(uint32_t typeIndex) { return typeIndex >= 1 && typeIndex <= 3; }

int verifyNucleotideData(const DataInfo *d, const char *commandName)
{
    if (d->flags & kDataNucleotide)
        return 0;
    qel_errorMsg(820, "The '%s' command is only valid for nucleotide (DNA/RNA) data.", commandName);
    return 1;
}

int verifyNucOrAAData(const DataInfo *d, const char *commandName)
{
    if (d->flags & (kDataNucleotide | kDataProtein))
        return 0;
    qel_errorMsg(821, "The '%s' command is only valid for nucleotide (DNA/RNA) or amino-acid data.",
                 commandName);
    return 1;
}

// ---------------------------------------------------------------------------
// Taxa

void initTaxLoc(DataInfo *d)
{
    if (!d->taxa.activeToOriginal || !d->taxa.originalToActive)
        return;
    for (uint32_t i = 0; i < d->ntax; ++i)
        d->taxa.activeToOriginal[i] = d->taxa.originalToActive[i] = i;
}

// ---------------------------------------------------------------------------
// Labels

uint32_t getTaxNum(const DataInfo *d, uint32_t taxon)
{
    uint32_t row = activeRow(d, static_cast<int32_t>(std::min<uint32_t>(taxon, INT32_MAX)));
    return row == kSetEnd ? 0 : row + 1;
}

const char *taxLabelString(const DataInfo *d, uint32_t row)
{
    const char *label = row < d->ntax ? getStringFromList(d->taxa.labels, row) : nullptr;
    return label ? label : "";
}

const char *getTaxLabel(const DataInfo *d, uint32_t taxon)
{
    uint32_t row = activeRow(d, static_cast<int32_t>(std::min<uint32_t>(taxon, INT32_MAX)));
    return row == kSetEnd ? "" : taxLabelString(d, row);
}

const char *getTaxLabelCallback(uint32_t row) { return gActive ? taxLabelString(gActive, row) : ""; }

TaxLabelFxn setTaxLabelFxn(TaxLabelFxn f)
{
    TaxLabelFxn previous = gTaxLabelFxn;
    gTaxLabelFxn = f;
    return previous;
}

TaxLabelFxn getTaxLabelFxn() { return gTaxLabelFxn; }

const char *getCharLabel(const DataInfo *d, uint32_t c)
{
    const char *label = c < d->nchar ? getStringFromList(d->charLabels, c) : nullptr;
    return label ? label : "-";
}

const char *getCharLabelCallback(uint32_t c) { return gActive ? getCharLabel(gActive, c) : "-"; }

int storeTaxLabel(DataInfo *d, uint32_t row, const char *label)
{
    if (row >= d->ntax || (label && strnlen(label, kMaxLabelLength + 1) > kMaxLabelLength))
        return 1;
    d->taxa.longestLabel = 0;
    return storeStringToList(d->taxa.labels, label, row);
}

int storeCharLabel(DataInfo *d, uint32_t c, const char *label)
{
    if (c >= d->nchar || (label && strnlen(label, kMaxLabelLength + 1) > kMaxLabelLength))
        return 1;
    if (!d->charLabels && !(d->charLabels = createStringList(d->nchar)))
        return 1;
    return storeStringToList(d->charLabels, label, c);
}

// ---------------------------------------------------------------------------
// Re-initialisation requests

void forceCharInitialization(DataInfo *d)
{
    const DataServices &s = dataServices();
    s.setNeedParsPrep(3);
    s.invalidateSitePatterns(d);
    d->dataInitialized = 0;
    d->statusUpToDate = 0;
    d->ryCoding = -1;
    forceReinitAllModels();
}

void forceTaxaInitialization(DataInfo *d)
{
    forceCharInitialization(d);
    dataServices().markUserDistancesForAdjustment();
    dataServices().flagPrimaryTreeTaxonChange();
    d->taxa.needTaxInit = 1;
}

bool isRYCoding(DataInfo *d)
{
    if (!d)
        return false;
    if (d->ryCoding >= 0)
        return d->ryCoding == 1;
    const uint32_t ntax = d->nActive > 0 ? static_cast<uint32_t>(d->nActive) : 0;
    if (ntax == 0 || !(d->flags & kHaveCharacters) || !d->status)
        return false;
    // Protein residues are never purine/pyrimidine codes, whatever letters a
    // column shows; taking them so would turn off the vector kernels.
    if (d->flags & kDataProtein) {
        d->ryCoding = 0;
        return false;
    }
    uint64_t bit[4];
    for (uint32_t k = 0; k < 4; ++k) {
        const int s = stateDex("ACGT"[k], d);
        bit[k] = s >= 0 ? uint64_t{1} << s : 0;
    }
    bool aNoG = false, gNoA = false, cNoT = false, tNoC = false, purOnly = false, pyrOnly = false;
    const bool nucleotideData = isDataTypeNucleotide(d->dataType);
    for (uint32_t t = 0; t < ntax; ++t)
        for (uint32_t c = 0; c < d->nchar; ++c) {
            const uint32_t st = d->status[c];
            if ((st & (kCharExcluded | kCharEliminated)) || !(nucleotideData || (st & kCharNucleotide)))
                continue;
            if (isMissingOrGapMiss(static_cast<int32_t>(t), c, d))
                continue;
            const uint64_t b = getXijAsBits(d, static_cast<int32_t>(t), c, nullptr);
            const bool A = b & bit[0], C = b & bit[1], G = b & bit[2], T = b & bit[3];
            aNoG |= A && !G;
            gNoA |= G && !A;
            cNoT |= C && !T;
            tNoC |= T && !C;
            purOnly |= (A || G) && !(C || T);
            pyrOnly |= (C || T) && !(A || G);
            if ((aNoG && gNoA) || (cNoT && tNoC)) {
                d->ryCoding = 0;
                return false;
            }
        }
    d->ryCoding = purOnly && pyrOnly ? 1 : 0;
    return d->ryCoding == 1;
}
