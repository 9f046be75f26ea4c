#include "data/nexsets.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "data/data_services.h"
#include "data/data_settings.h"
#include "data/model.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_malloc.h"
#include "qel/qel_output.h"
#include "qel/qel_strings.h"
#include "cli/qel_cmdline.h"
#include "cli/qel_cmdoptions.h"

NexsetStore gNexsets;

namespace {

constexpr const char *kBuiltinNames[kNumBuiltinNexsets] = {
    "AllUnord", "AllOrd", "standard", "EqualWts", "AllIncl", "InfOnly",
    "Gapped", "MissAmbig", "Constant", "Uninf", "AllMissing",
};
constexpr uint32_t kBuiltinKinds[kNumBuiltinNexsets] = {
    kNexTypeset, kNexTypeset, kNexAncstates, kNexWtset, kNexExset, kNexExset,
    kNexCharset, kNexCharset, kNexCharset,  kNexCharset, kNexCharset,
};

Nexset &builtin(NexsetBuiltin b) { return gNexsets.builtins[b]; }

bool isBuiltin(const Nexset *ns)
{
    return ns >= gNexsets.builtins && ns < gNexsets.builtins + kNumBuiltinNexsets;
}

// The user records of a list are those after its built-ins.
Nexset *firstUserRecord(Nexset *head)
{
    while (head && isBuiltin(head))
        head = head->next;
    return head;
}

uint32_t universeOf(uint32_t type, const DataInfo *d)
{
    if (!d)
        return 0;
    return (type == kNexTaxset || type == kNexTaxPartition) ? d->ntax : d->nchar;
}

Nexset **listHeadOf(uint32_t type)
{
    switch (type) {
    case kNexTaxset: return &gNexsets.taxsets;
    case kNexCharset: return &gNexsets.charsets;
    case kNexTypeset: return &gNexsets.typesets;
    case kNexWtset: return &gNexsets.wtsets;
    case kNexExset: return &gNexsets.exsets;
    case kNexRateset: return &gNexsets.ratesets;
    case kNexAncstates: return &gNexsets.ancstates;
    case kNexTaxPartition: return &gNexsets.taxPartitions;
    case kNexCharPartition: return &gNexsets.charPartitions;
    case kNexModelPartition: return &gNexsets.modelPartitions;
    default: return nullptr;
    }
}

constexpr const char *kKindLabels[kNexModelPartition + 1] = {
    "Taxon-set", "Character-set",   "Type-set",          "Weight-set",          "Exclusion-set",
    "Rate-set",  "Ancestral-states", "Taxon-partition", "Character-partition", "Model-partition",
};

struct WatchedSlot {
    Nexset **slot;
    const char *setting;
};
std::vector<WatchedSlot> gWatchedSlots;
std::vector<NexsetWatcher> gWatchers;

// The built-in a current selection of the kind falls back to.
Nexset *fallbackSelection(uint32_t type)
{
    switch (type) {
    case kNexTypeset: return &builtin(kBuiltinAllUnord);
    case kNexWtset: return &builtin(kBuiltinEqualWts);
    case kNexExset: return &builtin(kBuiltinAllIncl);
    case kNexAncstates: return &builtin(kBuiltinStandard);
    default: return nullptr;
    }
}

// The selections of the store. A redefined codon-position partition is still
// the one CodonPosSet chose; a redefined type, weight or exclusion set was
// applied as it was, so the selection falls back to the built-in rather than
// name a definition that is not in force.
void moveStoreSelections(const Nexset *old, Nexset *replacement)
{
    NexsetStore &g = gNexsets;
    if (g.curCodonPtn == old)
        g.curCodonPtn = replacement;
    for (Nexset **cur : {&g.curTypeset, &g.curWtset, &g.curExset, &charWts.prevWtset})
        if (*cur == old)
            *cur = fallbackSelection(old->type);
    if (g.curAncestor == old)
        selectAncestor(fallbackSelection(kNexAncstates));
}

// Stored models copy the site-rate references of the settings they were
// made from. Estimates for a partition belong to its old subsets, so they
// are forgotten when it changes in any way.
void moveModelReferences(const Nexset *old, Nexset *replacement)
{
    for (uint32_t i = 0; i < countModels(); ++i) {
        Model *m = getModel(i);
        if (m->prevSiteRatePartition == old)
            forgetPreviousSiteRates(m);
        if (m->siteRatePartition != old && m->rateSet != old)
            continue;
        // The default model mirrors the LSet settings, whose own warning
        // tells the user; a named model keeps what it was stored with.
        if (!replacement && i != 0) {
            char setting[kModelNameSize + 40];
            std::snprintf(setting, sizeof setting, "the site-specific rates of model '%s'", m->name);
            warnNexsetRefDropped(old, setting);
        }
        if (m->siteRatePartition == old)
            m->siteRatePartition = replacement;
        else
            m->rateSet = replacement;
        if (!replacement)
            m->estSiteRates = m->siteRatesFromPartition = 0;
        m->needsInit = 1;
    }
}

template <typename T>
bool growArray(void *&payload, uint32_t oldN, uint32_t newN, T fill)
{
    if (newN == 0 || reallocArray(&payload, newN, sizeof(T), oldN) != 0)
        return newN == 0;
    T *p = static_cast<T *>(payload);
    for (uint32_t i = oldN; i < newN; ++i)
        p[i] = fill;
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// The store

int initializeAssumpSets(DataInfo *d)
{
    deallocAssumpSets();
    NexsetStore &g = gNexsets;
    for (uint32_t b = 0; b < kNumBuiltinNexsets; ++b) {
        g.builtins[b] = Nexset{};
        strcpy_n(g.builtins[b].name, kBuiltinNames[b], kNexsetNameSize);
        g.builtins[b].type = kBuiltinKinds[b];
    }
    auto link = [](std::initializer_list<NexsetBuiltin> chain) {
        Nexset *prev = nullptr;
        for (NexsetBuiltin b : chain) {
            if (prev)
                prev->next = &builtin(b);
            prev = &builtin(b);
        }
        return &builtin(*chain.begin());
    };
    g.typesets = link({kBuiltinAllUnord, kBuiltinAllOrd});
    g.ancstates = link({kBuiltinStandard});
    g.wtsets = link({kBuiltinEqualWts});
    g.exsets = link({kBuiltinAllIncl, kBuiltinInfOnly});
    g.charsets = link({kBuiltinGapped, kBuiltinMissAmbig, kBuiltinConstant, kBuiltinUninf, kBuiltinAllMissing});
    uint32_t nchar = d ? d->nchar : 0;
    builtin(kBuiltinStandard).payload = d ? d->ancestor : nullptr;
    builtin(kBuiltinGapped).payload = d ? d->gappedChars : nullptr;
    builtin(kBuiltinMissAmbig).payload = d ? d->missAmbigChars : nullptr;
    for (NexsetBuiltin b : {kBuiltinConstant, kBuiltinUninf, kBuiltinAllMissing})
        builtin(b).payload = allocSet(nchar);
    g.curTypeset = &builtin(kBuiltinAllUnord);
    g.curWtset = &builtin(kBuiltinEqualWts);
    g.curExset = &builtin(kBuiltinAllIncl);
    g.curAncestor = &builtin(kBuiltinStandard);
    g.curCodonPtn = nullptr;
    if (!builtin(kBuiltinConstant).payload || !builtin(kBuiltinUninf).payload ||
        !builtin(kBuiltinAllMissing).payload) {
        deallocAssumpSets();
        return 1;
    }
    return 0;
}

void deallocAssumpSets()
{
    NexsetStore &g = gNexsets;
    for (uint32_t type = 0; type <= kNexModelPartition; ++type) {
        Nexset **head = listHeadOf(type);
        destroyAllNexsets(firstUserRecord(*head), type);
        *head = nullptr;
    }
    for (NexsetBuiltin b : {kBuiltinConstant, kBuiltinUninf, kBuiltinAllMissing})
        builtin(b).payload = deallocSet(static_cast<Set *>(builtin(b).payload));
    for (Nexset &b : g.builtins)
        b.next = nullptr;
    // A selection must never name a destroyed record: back to the built-ins.
    g.curTypeset = &builtin(kBuiltinAllUnord);
    g.curWtset = &builtin(kBuiltinEqualWts);
    g.curExset = &builtin(kBuiltinAllIncl);
    g.curAncestor = &builtin(kBuiltinStandard);
    g.curCodonPtn = nullptr;
}

// The built-in ancestral states are the data set's own vector, which is
// reallocated with the characters; only a user-defined vector lives in the
// named-set store.
const uint8_t *currentAncestralStates(const DataInfo *d)
{
    const Nexset *a = gNexsets.curAncestor;
    if (!a || a == &gNexsets.builtins[kBuiltinStandard])
        return d ? d->ancestor : nullptr;
    return static_cast<const uint8_t *>(a->payload);
}

void selectAncestor(Nexset *ns)
{
    if (ns == gNexsets.curAncestor)
        return;
    gNexsets.curAncestor = ns;
    if (DataInfo *d = activeDataInfo())
        d->dataInitialized = 0;
    if (dataServices().parsIncludeAnc())
        dataServices().setNeedParsPrep(3);
}

// ---------------------------------------------------------------------------
// Records

Nexset *createNexset(const char *name, uint32_t type)
{
    if (type > kNexModelPartition)
        return nullptr;
    if (name && strnlen(name, kNexsetNameSize) >= kNexsetNameSize) {
        qel_errorMsg(0, "The name \"%.40s...\" is too long (at most %u characters).", name,
                     kNexsetNameSize - 1);
        return nullptr;
    }
    auto *ns = static_cast<Nexset *>(allocBlock(sizeof(Nexset)));
    if (!ns)
        return nullptr;
    setNexsetName(ns, name ? name : "");
    ns->type = type;
    const DataInfo *d = activeDataInfo();
    uint32_t n = universeOf(type, d);
    bool ok = true;
    switch (type) {
    case kNexTaxset:
    case kNexCharset:
    case kNexExset:
        ok = (ns->payload = allocSet(n)) != nullptr;
        break;
    case kNexTypeset:
        ns->payload = allocArrayOf<UserType *>(n);
        ns->second.typeCodes = allocArrayOf<uint32_t>(n);
        ok = n == 0 || (ns->payload && ns->second.typeCodes);
        break;
    case kNexWtset:
    case kNexRateset:
        ok = n == 0 || (ns->payload = allocArrayOf<double>(n)) != nullptr;
        break;
    case kNexAncstates:
        ok = n == 0 || (ns->payload = allocArrayOf<uint8_t>(n)) != nullptr;
        if (ok && n)
            std::memset(ns->payload, static_cast<int>(d->nstates), n);
        break;
    default:
        ok = (ns->payload = allocSetPtn(4, n)) != nullptr;
        break;
    }
    if (!ok || memoryErrorHasOccurred())
        return destroyNexset(ns, type);
    return ns;
}

namespace {

void freeNexsetRecord(Nexset *ns, uint32_t type)
{
    switch (type) {
    case kNexTaxset:
    case kNexCharset:
    case kNexExset:
        deallocSet(static_cast<Set *>(ns->payload));
        break;
    case kNexTypeset:
        deallocArray(ns->payload);
        deallocArray(ns->second.typeCodes);
        break;
    case kNexWtset:
    case kNexRateset:
    case kNexAncstates:
        deallocArray(ns->payload);
        break;
    default:
        deallocSetPtn(static_cast<SetPtn *>(ns->payload));
        break;
    }
    deallocBlock(ns);
}

}  // namespace

Nexset *destroyNexset(Nexset *ns, uint32_t type)
{
    if (!ns || isBuiltin(ns))
        return nullptr;
    nexsetReplaced(ns, nullptr);
    freeNexsetRecord(ns, type);
    return nullptr;
}

void replaceNexset(Nexset *old, Nexset *ns, uint32_t type)
{
    if (!old || isBuiltin(old))
        return;
    nexsetReplaced(old, ns);
    freeNexsetRecord(old, type);
}

void destroyAllNexsets(Nexset *first, uint32_t type)
{
    while (first) {
        Nexset *next = first->next;
        destroyNexset(first, type);
        first = next;
    }
}

Nexset *nextNexset(const Nexset *ns) { return ns ? ns->next : nullptr; }
void setNextNexset(Nexset *ns, Nexset *next)
{
    if (ns)
        ns->next = next;
}

const char *getNexsetName(const Nexset *ns) { return ns ? ns->name : "(none)"; }

int setNexsetName(Nexset *ns, const char *name)
{
    if (!ns || !name || strnlen(name, kNexsetNameSize) >= kNexsetNameSize)
        return 1;
    strcpy_n(ns->name, name, kNexsetNameSize);
    return 0;
}

Set *getNexsetSet(const Nexset *ns) { return ns ? static_cast<Set *>(ns->payload) : nullptr; }
void setNexsetSet(Nexset *ns, Set *set)
{
    if (ns)
        ns->payload = set;
}

uint32_t getTypesetType(const Nexset *ns, uint32_t i, UserType **userType)
{
    auto *refs = static_cast<UserType **>(ns->payload);
    if (userType)
        *userType = refs ? refs[i] : nullptr;
    return ns->second.typeCodes ? ns->second.typeCodes[i] : kCharUnordered;
}

void setTypesetType(Nexset *ns, uint32_t i, uint32_t code, UserType *userType)
{
    if (ns->second.typeCodes)
        ns->second.typeCodes[i] = code;
    if (ns->payload)
        static_cast<UserType **>(ns->payload)[i] = userType;
}

void setUsertypeArray(Nexset *ns, UserType **array) { ns->payload = array; }
void setAncstatesArray(Nexset *ns, uint8_t *array) { ns->payload = array; }
double *getWtsetArray(const Nexset *ns) { return ns ? static_cast<double *>(ns->payload) : nullptr; }
double *getRatesetArray(const Nexset *ns) { return getWtsetArray(ns); }
SetPtn *getNexPtn(const Nexset *ns) { return ns ? static_cast<SetPtn *>(ns->payload) : nullptr; }
void setCharPtnCodon(Nexset *ns, uint8_t flag) { ns->second.codonFlag = flag; }
PtnSubset **getNexPtnSubsetsInfo(const Nexset *ns) { return getPtnSubsetsInfo(getNexPtn(ns)); }
uint32_t numNexPtnSubsets(const Nexset *ns) { return numPtnSubsets(getNexPtn(ns)); }

// ---------------------------------------------------------------------------
// Settings that name a set

void watchNexsetSlot(Nexset **slot, const char *setting)
{
    for (WatchedSlot &w : gWatchedSlots)
        if (w.slot == slot) {
            w.setting = setting;
            return;
        }
    gWatchedSlots.push_back({slot, setting});
}

void unwatchNexsetSlot(Nexset **slot)
{
    std::erase_if(gWatchedSlots, [slot](const WatchedSlot &w) { return w.slot == slot; });
}

void addNexsetWatcher(NexsetWatcher watcher)
{
    if (std::find(gWatchers.begin(), gWatchers.end(), watcher) == gWatchers.end())
        gWatchers.push_back(watcher);
}

void removeNexsetWatcher(NexsetWatcher watcher) { std::erase(gWatchers, watcher); }

void nexsetReplaced(const Nexset *old, Nexset *replacement)
{
    if (!old || old == replacement)
        return;
    moveStoreSelections(old, replacement);
    moveModelReferences(old, replacement);
    for (const WatchedSlot &w : gWatchedSlots)
        if (updateNexsetRef(w.slot, old, replacement) == NexsetRefChange::kDropped && w.setting)
            warnNexsetRefDropped(old, w.setting);
    for (NexsetWatcher watcher : gWatchers)
        watcher(old, replacement);
}

NexsetRefChange updateNexsetRef(Nexset **slot, const Nexset *old, Nexset *replacement)
{
    if (!slot || !old || *slot != old)
        return NexsetRefChange::kNone;
    *slot = replacement;
    return replacement ? NexsetRefChange::kFollowed : NexsetRefChange::kDropped;
}

void warnNexsetRefDropped(const Nexset *old, const char *setting)
{
    const char *label = old->type <= kNexModelPartition ? kKindLabels[old->type] : "Set";
    qel_warningMsg(0, "%s \"%s\" no longer exists; %s reset to none.", label, old->name, setting);
}

// ---------------------------------------------------------------------------
// Lists

Nexset *firstCharacterSet() { return gNexsets.charsets; }
Nexset *firstTaxonSet() { return gNexsets.taxsets; }
Nexset *firstCharPartition() { return gNexsets.charPartitions; }
Nexset *firstTaxPartition() { return gNexsets.taxPartitions; }

Nexset *findMatchingNexset(const char *name, Nexset *first)
{
    for (Nexset *ns = first; ns; ns = ns->next)
        if (stricmp(ns->name, name) == 0)
            return ns;
    return nullptr;
}

Nexset *findMatchingTaxonSet(const char *name) { return findMatchingNexset(name, gNexsets.taxsets); }
Nexset *findMatchingCharPartition(const char *name)
{
    return findMatchingNexset(name, gNexsets.charPartitions);
}
Nexset *findMatchingTaxPartition(const char *name)
{
    return findMatchingNexset(name, gNexsets.taxPartitions);
}

Nexset *findListLoc(Nexset *head, Nexset *first, const char *name, Nexset **found)
{
    *found = nullptr;
    Nexset *prev = head;
    for (Nexset *ns = first; ns; prev = ns, ns = ns->next) {
        if (stricmp(ns->name, name) == 0) {
            *found = ns;
            return prev;
        }
    }
    return prev;
}

void updateNexsetList(Nexset *ns, Nexset *prev, Nexset *old, Nexset **listHead)
{
    if (listHead && (*listHead == ns || *listHead == old)) {
        ns->next = old ? old->next : nullptr;
        *listHead = ns;
    } else if (old) {
        ns->next = old->next;
        if (prev)
            prev->next = ns;
    } else if (prev) {
        ns->next = prev->next;
        prev->next = ns;
    }
}

int installNexSet(Nexset *ns, uint32_t type, const char *label, bool announce)
{
    if (type != kNexTaxset && type != kNexCharset && type != kNexTaxPartition &&
        type != kNexCharPartition && type != kNexModelPartition)
        return 1;
    Nexset **head = listHeadOf(type);
    Nexset *old = nullptr;
    Nexset *prev = findListLoc(nullptr, *head, ns->name, &old);
    if (old && isBuiltin(old)) {
        // A built-in cannot be replaced: its payload belongs to the data set.
        qel_errorMsg(0, "\"%s\" is the name of a predefined set and cannot be redefined.", old->name);
        return 1;
    }
    updateNexsetList(ns, prev, old, head);
    if (old) {
        replaceNexset(old, ns, type);
        if (announce && stricmp(ns->name, "untitled") != 0) {
            qel_printf("\nNote: %s \"%s\" redefined.\n", label, ns->name);
            forceBlankLine();
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Reading names

int whichNexusObject(Nexset *first, const char *label, Nexset **result, bool mustEnd)
{
    *result = nullptr;
    if (!first) {
        char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(label[0])));
        qel_printf("\nNo %c%ss have been defined.\n", lower, label + 1);
        return 1;
    }
    char token[129];
    if (readToken(token, sizeof token) < 0 || tokenWasTruncated())
        return 1;
    if (std::strcmp(token, ";") == 0)
        return 0;
    if (!mustEnd && std::strcmp(token, "/") == 0) {
        putCharBack('/');
        return 0;
    }
    if (!(*result = findMatchingNexset(token, first)))
        return qel_errorMsg(406, "%s name \"%s\" is unrecognized.", label, token), 1;
    return mustEnd ? readSemicolon() : 0;
}

int readPartitionName(Nexset *first, int kind, bool noneAllowed, Nexset **result)
{
    *result = nullptr;
    char token[129];
    if (readToken(token, sizeof token) < 0 || tokenWasTruncated())
        return 1;
    if (noneAllowed && stricmp(token, "none") == 0)
        return 0;
    if ((*result = findMatchingNexset(token, first)))
        return 0;
    switch (kind) {
    case 1: qel_errorMsg(611, "Taxon partition '%s' has not been defined.", token); break;
    case 2: qel_errorMsg(843, "Model partition '%s' has not been defined.", token); break;
    default: qel_errorMsg(842, "Character partition \"%s\" has not been defined.", token); break;
    }
    return 1;
}

Set *findMatchingPtnSubset(const char *token, Nexset *firstPartition)
{
    char copy[256];
    strcpy_n(copy, token, sizeof copy);
    char *dot = std::strchr(copy, '.');
    if (!dot || dot == copy)
        return nullptr;
    *dot = '\0';
    const Nexset *ptnSet = findMatchingNexset(copy, firstPartition);
    const SetPtn *ptn = getNexPtn(ptnSet);
    if (!ptn)
        return nullptr;
    for (uint32_t i = 0; i < ptn->numSubsets; ++i)
        if (stricmp(getPtnSubsetName(ptn, i), dot + 1) == 0)
            return getPtnSubset(ptn, i);
    return nullptr;
}

// ---------------------------------------------------------------------------
// Option callbacks

int handlePtnName(int op, CmdParam *param, void *place, Nexset *first, int kind, bool noneAllowed)
{
    auto *current = static_cast<Nexset **>(param->variable);
    switch (op) {
    case kParamOpReadValue: {
        Nexset *ns = nullptr;
        if (readPartitionName(first, kind, noneAllowed, &ns) != 0)
            return 1;
        *current = ns;
        return 0;
    }
    case kParamOpCurValue:
        *static_cast<const char **>(place) = getNexsetName(*current);
        return 0;
    case kParamOpChanged:
        return param->saved.slot != reinterpret_cast<uintptr_t>(*current);
    case kParamOpSave:
        param->saved.slot = reinterpret_cast<uintptr_t>(*current);
        return 0;
    case kParamOpRestore:
        *current = reinterpret_cast<Nexset *>(static_cast<uintptr_t>(param->saved.slot));
        return 0;
    case kParamOpFactory:
        *current = nullptr;  // no partition chosen
        return 0;
    default:
        return 0;
    }
}

int handleCharPtnName(int op, CmdParam *param, void *place)
{
    return handlePtnName(op, param, place, gNexsets.charPartitions, 0, false);
}

int handleCharPtnNameOrNone(int op, CmdParam *param, void *place)
{
    return handlePtnName(op, param, place, gNexsets.charPartitions, 0, true);
}

int getAncStParm(int op, CmdParam *param, void *place)
{
    NexsetStore &g = gNexsets;
    switch (op) {
    case kParamOpReadValue: {
        char token[129];
        if (readToken(token, sizeof token) < 0)
            return 1;
        Nexset *ns = tokenWasTruncated() ? nullptr : findMatchingNexset(token, g.ancstates);
        if (!ns)
            return qel_errorMsg(901, "Ancestor \"%s\" is unknown.", token), 1;
        selectAncestor(ns);
        return 0;
    }
    case kParamOpCurValue:
        *static_cast<const char **>(place) = getNexsetName(g.curAncestor);
        return 0;
    case kParamOpSave:
        param->saved.slot = activeDataInfo() ? reinterpret_cast<uintptr_t>(g.curAncestor) : 0;
        return 0;
    case kParamOpRestore:
        if (activeDataInfo())
            selectAncestor(reinterpret_cast<Nexset *>(static_cast<uintptr_t>(param->saved.slot)));
        return 0;
    default:
        return 0;
    }
}

// ---------------------------------------------------------------------------
// Partition services

int checkCharPartition(const DataInfo *d, const Nexset *partition, const Set *exclusions,
                       const std::function<bool(uint32_t)> &needed)
{
    const SetPtn *ptn = getNexPtn(partition);
    if (!ptn)
        return 0;
    Set *excluded = exclusions ? cloneSet(exclusions) : allocSet(d->nchar);
    if (!excluded)
        return 1;
    if (!exclusions)
        for (uint32_t c = 0; c < d->nchar; ++c)
            if (d->status[c] & kCharExcluded)
                addSetMember(excluded, c);
    const bool savedSuppress = setSuppressBlankLines(false);
    bool warned = false;
    for (uint32_t i = 0; i < ptn->numSubsets; ++i) {
        const Set *sub = getPtnSubset(ptn, i);
        uint32_t n = 0;
        for (uint32_t c = 0; c < d->nchar; ++c)
            n += isSetMember(sub, c) && isSetMember(excluded, c);
        if (!n)
            continue;
        if (!warned) {
            qel_warningMsg(436, "Partition '%s' is defined for characters that are currently excluded:",
                           getNexsetName(partition));
            setSuppressBlankLines(true);
            warned = true;
        }
        qel_printf("%9c%u %s in subset %s\n", ' ', n, n == 1 ? "character" : "characters",
                   getPtnSubsetName(ptn, i));
    }
    if (warned)
        qel_printf("\n");
    int result = 0;
    for (uint32_t c = 0; c < d->nchar; ++c) {
        if (isSetMember(excluded, c) || !(d->status[c] & kCharNucleotide) ||
            whichPartitionSubset(ptn, c) != kSetEnd || (needed && !needed(c)))
            continue;
        qel_errorMsg(437, "Character '%s' is not assigned to any subset in the partition. Either exclude it or "
                          "add it to one of the subsets.",
                     charLabelOut(d, c).c_str());
        result = 1;
    }
    setSuppressBlankLines(savedSuppress);
    deallocSet(excluded);
    return result;
}

std::string charLabelOut(const DataInfo *d, uint32_t c)
{
    std::string s = std::to_string(c + 1);
    const char *label = d->charLabels ? getCharLabel(d, c) : nullptr;
    if (label && *label)
        s += std::string(" (") + label + ")";
    return s;
}

uint32_t maxPtnSubsetNameLen(const SetPtn *ptn, bool quoted)
{
    uint32_t longest = 0;
    char buffer[2 * kNexsetNameSize + 4];
    for (uint32_t i = 0; i < numPtnSubsets(ptn); ++i) {
        const char *name = getPtnSubsetName(ptn, i);
        if (quoted)
            name = nexusizeString(name, buffer, sizeof buffer);
        longest = std::max(longest, static_cast<uint32_t>(std::strlen(name)));
    }
    return longest;
}

uint32_t *getIncludedPtnSubsets(const SetPtn *ptn, const DataInfo *d, uint32_t *count)
{
    *count = 0;
    uint32_t n = numPtnSubsets(ptn);
    if (!ptn || n == 0)
        return nullptr;
    auto *list = allocArrayOf<uint32_t>(n);
    if (!list)
        return nullptr;
    for (uint32_t i = 0; i < n; ++i) {
        Set *s = getPtnSubset(ptn, i);
        for (uint32_t c = firstSetMember(s); c != kSetEnd && c < d->nchar; c = nextSetMember(s)) {
            if (!(d->status[c] & kCharExcluded)) {
                list[(*count)++] = i;
                break;
            }
        }
    }
    if (*count == 0)
        list = static_cast<uint32_t *>(deallocArray(list));
    return list;
}

void showCharPtnSubsetMembership(const DataInfo *d, const Nexset *partition, int width,
                                 std::span<const uint32_t> subsets)
{
    const SetPtn *ptn = getNexPtn(partition);
    if (!ptn)
        return;
    qel_printf("\nSubset membership for partition %s:\n", getNexsetName(partition));
    indentOutput(4);
    qel_printf("\n%*s  characters\n", width, "subset");
    const uint32_t n = subsets.empty() ? numPtnSubsets(ptn) : static_cast<uint32_t>(subsets.size());
    for (uint32_t k = 0; k < n; ++k) {
        const uint32_t i = subsets.empty() ? k : subsets[k];
        // The members start under the heading's "characters"; a long list
        // wraps back to that column.
        qel_printf("%*s \b", width, getPtnSubsetName(ptn, i));
        outputSetMembers(getPtnSubset(ptn, i), nullptr, d->nchar, " ", nullptr, nullptr, false);
        qel_printf("\n");
    }
    indentOutput(-4);
}

// ---------------------------------------------------------------------------
// Growth

int expandTypeset(Nexset *ns, uint32_t oldN, uint32_t newN)
{
    void *codes = ns->second.typeCodes;
    bool ok = growArray<UserType *>(ns->payload, oldN, newN, nullptr) &&
              growArray<uint32_t>(codes, oldN, newN, kCharUnordered);
    ns->second.typeCodes = static_cast<uint32_t *>(codes);
    return ok ? 0 : 1;
}

int expandWtset(Nexset *ns, uint32_t oldN, uint32_t newN)
{
    return growArray<double>(ns->payload, oldN, newN, 1.0) ? 0 : 1;
}

int expandRateset(Nexset *ns, uint32_t oldN, uint32_t newN) { return expandWtset(ns, oldN, newN); }

int expandAncStates(Nexset *ns, uint32_t oldN, uint32_t newN, uint8_t missing)
{
    return growArray<uint8_t>(ns->payload, oldN, newN, missing) ? 0 : 1;
}

int expandPartition(Nexset *ns, uint32_t newN)
{
    SetPtn *ptn = getNexPtn(ns);
    if (!ptn)
        return 0;
    for (uint32_t i = 0; i < ptn->numSubsets; ++i)
        if (expandSet(getPtnSubset(ptn, i), newN) != 0)
            return 1;
    ptn->universeSize = newN;
    return 0;
}

// ---------------------------------------------------------------------------
// NEXUS list writers

char *putNexusList(const Set *set, char *cursor, char *lineStart, LineEmitFxn emit, uint32_t width,
                   uint32_t indent)
{
    if (isSetFull(set, set->capacity) && set->capacity > 0) {
        std::strcpy(cursor, " all");
        return cursor + 4;
    }
    auto item = [&](const char *text) {
        if (static_cast<uint32_t>(cursor - lineStart) > width) {
            *cursor = '\0';
            emit("%s\n", lineStart);
            cursor = lineStart;
            if (indent) {
                std::memset(cursor, ' ', indent);
                cursor += indent;
            }
        }
        cursor += std::sprintf(cursor, "%s", text);
    };
    uint32_t a = firstOneBit(set->words, set->nwords);
    while (a != kSetEnd) {
        uint32_t b = followingSetMember(set, a);
        uint32_t last = a;
        uint32_t step = 0;
        if (b != kSetEnd) {
            step = b - a;
            // A run needs a third member at the same step.
            uint32_t c = followingSetMember(set, b);
            if (c != kSetEnd && c - b == step) {
                last = c;
                for (uint32_t m = followingSetMember(set, c); m != kSetEnd && m - last == step;
                     m = followingSetMember(set, m))
                    last = m;
            }
        }
        char text[48];
        int n = std::snprintf(text, sizeof text, " %u", a + 1);
        if (last != a) {
            n += std::snprintf(text + n, sizeof text - n, "-%u", last + 1);
            if (step != 1)
                std::snprintf(text + n, sizeof text - n, "\\%u", step);
        }
        item(text);
        a = followingSetMember(set, last);
    }
    *cursor = '\0';
    return cursor;
}

void putTaxList(const Set *set, const char *prefix, const DataInfo *d, LineEmitFxn emit)
{
    char line[512];
    char word[2 * kMaxLabelLength + 4];
    int n = std::snprintf(line, sizeof line, "    %s", prefix);
    for (uint32_t t = firstOneBit(set->words, set->nwords); t != kSetEnd && t < d->ntax;
         t = followingSetMember(set, t)) {
        nexusizeString(taxLabelString(d, t), word, sizeof word);
        if (n > 60) {
            emit("%s\n", line);
            n = std::snprintf(line, sizeof line, "        ");
        }
        n += std::snprintf(line + n, sizeof line - n, " %s", word);
    }
    emit("%s/only;\n", line);
}
