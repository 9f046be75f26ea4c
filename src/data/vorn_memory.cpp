#include "data/vorn_memory.h"

#include <cstdio>
#include <cstring>

#include "data/model.h"
#include "data/charpatterns.h"
#include "data/data_services.h"
#include "data/data_util.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_io.h"
#include "qel/qel_malloc.h"
#include "qel/qel_matrices.h"

namespace {

const char *gDefTypeName = "unord";
uint32_t gDefTypeCode = kCharUnordered;

template <typename T>
void release(T *&p)
{
    p = static_cast<T *>(deallocArray(p));
}

void releaseSet(Set *&s) { s = deallocSet(s); }

// The pointers of the taxon part; its flags stay.
void releaseTaxaArrays(DataTaxa &t)
{
    releaseSet(t.outgroup);
    releaseSet(t.deleted);
    releaseSet(t.taxaInBlock);
    releaseSet(t.duplicateNames);
    releaseSet(t.workTaxa);
    release(t.activeToOriginal);
    release(t.originalToActive);
    t.labels = destroyStringList(t.labels);
    t.perTaxonA = deallocArrayAligned(t.perTaxonA);
    t.perTaxonB = deallocArrayAligned(t.perTaxonB);
}

// The per-character arrays and sets; labels and equates stay.
void releaseCharArrays(DataInfo *d)
{
    release(d->status);
    release(d->userTypes);
    release(d->obsSymbolsBlock);
    release(d->obsSymbols);
    release(d->obsCount);
    release(d->parsStateCount);
    release(d->obsStates);
    release(d->packBlock);
    release(d->packInfo);
    release(d->weights);
    releaseSet(d->baseExcluded);
    releaseSet(d->eliminated);
    releaseSet(d->rateSetWork);
    releaseSet(d->plotWork);
    releaseSet(d->lastEliminated);
    release(d->rateDigits);
}

void destroyEquates(DataInfo *d)
{
    for (Equate *e = d->equates; e;) {
        Equate *next = e->next;
        deallocBlock(e->expansion);
        deallocBlock(e);
        e = next;
    }
    d->equates = nullptr;
    d->equatedSymbols = static_cast<char *>(deallocBlock(d->equatedSymbols));
    d->nEquated = d->equatedCapacity = 0;
}

// The matrix-part storage that initializeRawData makes besides the code tables.
void releaseMatrixParts(DataInfo *d)
{
    deallocCompactStorageData(d);
    d->matrix = static_cast<uint8_t **>(deallocMatrix(d->matrix));
    release(d->ancestor);
    releaseSet(d->gappedChars);
    releaseSet(d->missAmbigChars);
    d->polyCells = deallocSetFamily(d->polyCells);
    release(d->firstRowCodes);
    release(d->columnBuffer);
}

// A group of allocations failed when the sticky flag is up or a block that
// must exist for a non-empty dimension is missing.
bool groupFailed(std::initializer_list<bool> present)
{
    if (memoryErrorHasOccurred())
        return true;
    for (bool p : present)
        if (!p)
            return true;
    return false;
}

}  // namespace

// ---------------------------------------------------------------------------
// Records

DataInfo *createDataInfo() { return static_cast<DataInfo *>(allocBlock(sizeof(DataInfo))); }

DataInfo *destroyDataInfo(DataInfo *d)
{
    if (!d)
        return nullptr;
    const DataServices &s = dataServices();
    s.deallocPackedData(d);
    s.deallocParsimonyRecord(d);
    s.releaseParsFxns(d);
    d->quartets = s.deallocQuartetData(d->quartets);
    s.destroyTreeBuffer(d->mainTreeBuffer);
    d->mainTreeBuffer = nullptr;
    releaseTaxaArrays(d->taxa);
    release(d->savedWeights);
    if (activeDataInfo() == d)
        setActiveDataInfo(nullptr);
    deallocRawData(d, 1);
    return nullptr;
}

int prelimDataAllocations()
{
    DataInfo *d = createDataInfo();
    if (!d)
        return 1;
    if (createModelList() != 0) {
        deallocBlock(d);
        return 1;
    }
    setActiveDataInfo(d);
    return 0;
}

DataInfo *startNewData(const DataInfo *active)
{
    DataInfo *d = createDataInfo();
    if (!d)
        return nullptr;
    d->taxa = active->taxa;
    d->nActive = active->nActive;
    d->ntax = active->ntax;
    d->flags = active->flags;
    d->compactStorage = active->compactStorage;
    return d;
}

// ---------------------------------------------------------------------------
// Taxa

int allocTaxaMemory(DataInfo *d, uint32_t ntax)
{
    DataTaxa &t = d->taxa;
    releaseTaxaArrays(t);
    d->ntax = ntax;
    setNtax(d, ntax);
    uint64_t slots = uint64_t{2} * ntax;
    t.activeToOriginal = allocArrayOf<uint32_t>(slots);
    t.originalToActive = allocArrayOf<uint32_t>(slots);
    t.perTaxonA = allocArrayAligned(16, slots);
    t.perTaxonB = allocArrayAligned(16, slots);
    t.labels = createStringList(ntax);
    t.outgroup = allocSet(ntax);
    t.deleted = allocSet(ntax);
    t.taxaInBlock = allocSet(ntax);
    t.duplicateNames = allocSet(ntax);
    t.workTaxa = allocSet(ntax);
    bool any = ntax > 0;
    bool failed = groupFailed({!any || t.activeToOriginal, !any || t.originalToActive,
                               !any || t.perTaxonA, !any || t.perTaxonB, t.labels != nullptr,
                               t.outgroup && t.deleted && t.taxaInBlock && t.duplicateNames && t.workTaxa});
    if (!failed && !t.labelsKnown) {
        char number[16];
        for (uint32_t i = 0; i < ntax && !failed; ++i) {
            std::snprintf(number, sizeof number, "%u", i + 1);
            failed = storeStringToList(t.labels, number, i) != 0;
        }
    }
    const DataServices &s = dataServices();
    if (!failed) {
        // The tree layer hangs a new main buffer on the active record: make
        // it d's for the call, so a record not yet active never takes (and
        // frees) the buffer of the one that is.
        DataInfo *previous = setActiveDataInfo(d);
        failed = s.createPrimaryTree(d) != 0 ||
                 s.allocMainTreeBuffer(ntax, s.getMaxtreesValue() + 1, false) != 0;
        setActiveDataInfo(previous);
    }
    if (failed) {
        deallocTaxaMemory(d);
        return 1;
    }
    initTaxLoc(d);
    return 0;
}

void deallocTaxaMemory(DataInfo *d)
{
    const DataServices &s = dataServices();
    releaseTaxaArrays(d->taxa);
    s.releasePrimaryTree();
    s.destroyTreeBuffer(d->mainTreeBuffer);
    d->mainTreeBuffer = nullptr;
    s.deleteTreeSets(1);
    d->taxa = DataTaxa{};
}

// ---------------------------------------------------------------------------
// Characters

const char *defaultCharTypeName() { return gDefTypeName; }
uint32_t defaultCharTypeCode() { return gDefTypeCode; }

void setDefaultCharType(const char *name, uint32_t code)
{
    gDefTypeName = name;
    gDefTypeCode = code;
}

int allocCharInfo(DataInfo *d)
{
    releaseCharArrays(d);
    uint32_t n = d->nchar;
    d->status = allocArrayOf<uint32_t>(n);
    d->userTypes = allocArrayOf<UserType *>(n);
    d->obsSymbols = allocArrayOf<char *>(n);
    d->obsCount = allocArrayOf<uint8_t>(n);
    d->parsStateCount = allocArrayOf<uint8_t>(n);
    d->obsStates = allocArrayOf<uint64_t>(n);
    d->packBlock = allocArrayOf<CharPackInfo>(n);
    d->packInfo = allocArrayOf<CharPackInfo *>(n);
    d->weights = allocArrayOf<double>(n);
    d->rateDigits = allocArrayOf<uint8_t>(n);
    d->baseExcluded = allocSet(n);
    d->eliminated = allocSet(n);
    d->rateSetWork = allocSet(n);
    d->plotWork = allocSet(n);
    d->lastEliminated = allocSet(n);
    bool any = n > 0;
    if (groupFailed({!any || (d->status && d->userTypes && d->obsSymbols && d->obsCount &&
                              d->parsStateCount && d->obsStates && d->packBlock && d->packInfo &&
                              d->weights && d->rateDigits),
                     d->baseExcluded && d->eliminated && d->rateSetWork && d->plotWork &&
                         d->lastEliminated})) {
        releaseCharArrays(d);
        return 1;
    }
    for (uint32_t c = 0; c < n; ++c) {
        d->weights[c] = 1.0;
        d->packInfo[c] = &d->packBlock[c];
    }
    return 0;
}

void deallocCharInfo(DataInfo *d)
{
    releaseCharArrays(d);
    d->charLabels = destroyStringList(d->charLabels);
    destroyEquates(d);
}

int initCharInfo(DataInfo *d)
{
    forceCharInitialization(d);
    dataServices().clearScoreOptions();
    d->nEliminated = 0;
    d->polyCellsPresent = 0;
    gDefTypeName = "unord";
    gDefTypeCode = kCharUnordered;
    if (allocCharInfo(d) != 0)
        return 1;
    d->charLabelsRead = 0;
    for (uint32_t c = 0; c < d->nchar; ++c) {
        d->status[c] = kCharUnordered;
        d->weights[c] = 1.0;
        d->packBlock[c].character = c;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Raw data

int initializeRawData(DataInfo *d, int keepCodes)
{
    releaseMatrixParts(d);
    if (!keepCodes && buildInitialStateCodes(d) != 0)
        return 1;
    uint32_t ntax = d->ntax, nchar = d->nchar;
    uint64_t cells;
    if (!checkedSizeProduct(ntax, nchar, &cells)) {
        reportMemoryFailure();
        return 1;
    }
    if (!d->compactStorage)
        d->matrix = allocMatrixOf<uint8_t>(ntax, nchar);
    d->ancestor = allocArrayOf<uint8_t>(nchar);
    d->gappedChars = allocSet(nchar);
    d->missAmbigChars = allocSet(nchar);
    d->polyCells = allocSetFamily(ntax, nchar);
    if (d->matchChar)
        d->firstRowCodes = allocArrayOf<uint8_t>(nchar);
    if (d->transpose)
        d->columnBuffer = allocArrayOf<uint8_t>(ntax);
    if (groupFailed({d->compactStorage || cells == 0 || (d->matrix && d->matrix[0]),
                     !nchar || d->ancestor, d->gappedChars && d->missAmbigChars && d->polyCells,
                     !d->matchChar || !nchar || d->firstRowCodes,
                     !d->transpose || !ntax || d->columnBuffer})) {
        releaseMatrixParts(d);
        return 1;
    }
    auto missing = static_cast<uint8_t>(d->nstates);
    // Cells the Matrix command never stores (eliminated characters) read as
    // missing rather than as state 0.
    if (d->matrix && cells)
        std::memset(d->matrix[0], missing, cells);
    if (keepCodes)
        return allocCharInfo(d);
    if (d->status) {
        uint32_t bit = (d->flags & kDataNucleotide) ? kCharNucleotide
                       : (d->flags & kDataProtein)  ? kCharAminoAcid
                                                    : 0;
        for (uint32_t c = 0; c < nchar; ++c)
            d->status[c] |= bit;
    }
    if (nchar)
        std::memset(d->ancestor, missing, nchar);
    return 0;
}

void deallocCompactStorageData(DataInfo *d)
{
    d->patternMatrix = static_cast<uint8_t **>(deallocMatrix(d->patternMatrix));
    release(d->patternIndex);
    d->patternList = deallocPtndList(d->patternList);
    d->nPatterns = 0;
}

void deallocRawData(DataInfo *d, int freeRecord)
{
    if (!d)
        return;
    releaseMatrixParts(d);
    deallocStateCodes(d);
    d->patternTree = destroyPatternTST(d->patternTree);
    if (freeRecord) {
        deallocCharInfo(d);
        deallocBlock(d);
    }
}

// ---------------------------------------------------------------------------
// Flags and purging

void initializeFlagsForNewData(DataInfo *d, int characters, int distances)
{
    d->taxa.labelsKnown = 1;
    d->taxa.needTaxInit = 1;
    d->taxa.taxaByNumber = 1;
    if (characters) {
        d->flags |= kHaveTaxa | kHaveCharacters;
        updateStdCharsets(d);
    } else if (distances) {
        d->flags |= kHaveTaxa | kHaveDistances;
    } else {
        d->flags |= kHaveTaxa;
    }
    dataServices().clearStatusText();
}

void purgeData(DataInfo *d, int keepTaxa, int keepModels, int destroy)
{
    const DataServices &s = dataServices();
    s.setStatusText("Releasing memory...");
    s.disposeML(1);
    // A user distance matrix belongs to the taxa it was read for: when they
    // go, it goes too, or it would be read against the next data's taxa.
    s.deallocDistanceStorage(keepTaxa ? 0 : 1);
    deallocRawData(d, 0);
    s.deallocPackedData(d);
    deallocCharInfo(d);
    release(d->savedWeights);
    s.deallocParsimonyRecord(d);
    d->quartets = s.deallocQuartetData(d->quartets);
    s.forgetDefaultOutputFileNames();
    if (!keepModels) {
        destroyModelList();
        if (!destroy)
            createModelList();
    }
    if (!destroy)
        s.resetLikelihoodSetting();
    if (keepTaxa && d->flags) {
        d->flags &= ~kHaveCharacters;
    } else {
        deallocTaxaMemory(d);
        s.releasePairDiffTaxa();
        s.clearTrees(0, 0);
        s.deallocAllConstraints();
        s.deleteAssumptionSets();
        s.deallocSpecialTreeData();
        s.deallocUserTypes();
        d->flags = 0;
        d->ntax = 0;
        d->nActive = 0;
    }
    s.setBootJackNChar(d->nchar);
    d->nchar = 0;
    d->dataInitialized = d->statusUpToDate = 0;
    if (destroy) {
        s.releaseParsFxns(d);
        if (activeDataInfo() == d)
            setActiveDataInfo(nullptr);
        deallocBlock(d);
        s.deallocAllSimData();
        s.deallocAllModelGroupData(1, 1);
    }
    s.clearStatusText();
}

int doClearDataCmd()
{
    DataInfo *d = activeDataInfo();
    if (!d || d->flags == 0)
        return 0;
    const DataServices &s = dataServices();
    if (!inBatchInputMode() && !s.inPythonBlock()) {
        const char *trees = s.numTreesInBuffer(d->mainTreeBuffer) > 0 ? " (and trees)" : "";
        if (!userQuery(false, "Are you sure you want to clear data%s from memory?", trees))
            return -1;
    }
    purgeData(d, 0, 0, 0);
    qel_printf("\nActive dataset has been discarded from memory.\n");
    return 0;
}
