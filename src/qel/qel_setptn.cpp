#include "qel/qel_setptn.h"

#include <cstring>

#include "qel/qel_malloc.h"

namespace {

// Marks an item of a PtndList that has not been placed in a class yet;
// placing it twice would tie its class list into a loop.
constexpr uint32_t kNotAdded = 0xFFFFFFFEu;

PtnSubset *deallocPtnSubset(PtnSubset *entry)
{
    if (entry) {
        deallocBlock(entry->name);
        deallocSet(entry->set);
        deallocBlock(entry);
    }
    return nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------
// SetPtn

SetPtn *allocSetPtn(uint32_t initialCapacity, uint32_t universeSize)
{
    auto *ptn = static_cast<SetPtn *>(allocBlock(sizeof(SetPtn)));
    if (!ptn)
        return nullptr;
    ptn->universeSize = universeSize;
    if (initialCapacity > 0) {
        ptn->subsets = allocArrayOf<PtnSubset *>(initialCapacity);
        if (!ptn->subsets)
            return deallocSetPtn(ptn);
        ptn->slots = initialCapacity;
    }
    return ptn;
}

SetPtn *deallocSetPtn(SetPtn *ptn)
{
    if (ptn) {
        for (uint32_t i = 0; i < ptn->numSubsets; i++)
            deallocPtnSubset(ptn->subsets[i]);
        deallocArray(ptn->subsets);
        deallocBlock(ptn);
    }
    return nullptr;
}

PtnSubset *addPtnSubset(SetPtn *ptn, const char *name)
{
    if (ptn->numSubsets == ptn->slots) {
        if (ptn->slots >= 0x80000000u) {
            reportMemoryFailure();
            return nullptr;
        }
        uint32_t grown = ptn->slots ? 2 * ptn->slots : 1;
        if (reallocArrayOf(&ptn->subsets, grown, ptn->slots) != 0)
            return nullptr;
        ptn->slots = grown;
    }
    auto *entry = static_cast<PtnSubset *>(allocBlock(sizeof(PtnSubset)));
    if (!entry)
        return nullptr;
    size_t len = std::strlen(name);
    entry->name = static_cast<char *>(allocBlock(len + 1));
    entry->set = allocSet(ptn->universeSize);
    if (!entry->name || !entry->set)
        return deallocPtnSubset(entry);
    std::memcpy(entry->name, name, len + 1);
    ptn->subsets[ptn->numSubsets++] = entry;
    return entry;
}

uint32_t numPtnSubsets(const SetPtn *ptn) { return ptn ? ptn->numSubsets : 0; }

PtnSubset **getPtnSubsetsInfo(const SetPtn *ptn) { return ptn ? ptn->subsets : nullptr; }

Set *getPtnSubset(const SetPtn *ptn, uint32_t i)
{
    return ptn && i < ptn->numSubsets ? ptn->subsets[i]->set : nullptr;
}

const char *getPtnSubsetName(const SetPtn *ptn, uint32_t i)
{
    return ptn && i < ptn->numSubsets ? ptn->subsets[i]->name : nullptr;
}

uint32_t whichPartitionSubset(const SetPtn *ptn, uint32_t member)
{
    for (uint32_t i = 0; i < ptn->numSubsets; i++)
        if (isSetMember(ptn->subsets[i]->set, member))
            return i;
    return kSetEnd;
}

SetPtnList *createSetPtnList(const SetPtn *ptn)
{
    // Subsets may overlap, so the member array holds the sum of their sizes,
    // not the universe size.
    uint64_t total = 0;
    for (uint32_t i = 0; i < ptn->numSubsets; i++)
        total += card(ptn->subsets[i]->set);

    auto *list = static_cast<SetPtnList *>(allocBlock(sizeof(SetPtnList)));
    if (!list)
        return nullptr;
    list->numSubsets = ptn->numSubsets;
    if (ptn->numSubsets > 0) {
        list->starts = allocArrayOf<uint32_t *>(ptn->numSubsets);
        list->counts = allocArrayOf<uint32_t>(ptn->numSubsets);
        // One slot at least, so that every start pointer is a valid address.
        list->members = allocArrayOf<uint32_t>(total ? total : 1);
        if (!list->starts || !list->counts || !list->members)
            return destroySetPtnList(list);
    }
    uint32_t *out = list->members;
    for (uint32_t i = 0; i < ptn->numSubsets; i++) {
        const Set *set = ptn->subsets[i]->set;
        list->starts[i] = out;
        uint32_t n = loadItemListFromSet(set, 0, false, out);
        list->counts[i] = n;
        out += n;
    }
    return list;
}

SetPtnList *destroySetPtnList(SetPtnList *list)
{
    if (list) {
        deallocArray(list->starts);
        deallocArray(list->counts);
        deallocArray(list->members);
        deallocBlock(list);
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// PtndList

PtndList *allocPtndList(uint32_t n, bool keepOrder)
{
    if (n >= kNotAdded) {
        reportMemoryFailure();
        return nullptr;
    }
    auto *list = static_cast<PtndList *>(allocBlock(sizeof(PtndList)));
    if (!list)
        return nullptr;
    list->numItems = n;
    list->numClasses = n;
    list->keepOrder = keepOrder;
    if (n > 0) {
        list->next = allocArrayOf<uint32_t>(n);
        list->heads = allocArrayOf<uint32_t>(n);
        if (keepOrder)
            list->tails = allocArrayOf<uint32_t>(n);
        if (!list->next || !list->heads || (keepOrder && !list->tails))
            return deallocPtndList(list);
        for (uint32_t i = 0; i < n; i++) {
            list->next[i] = kNotAdded;
            list->heads[i] = kSetEnd;
        }
    }
    return list;
}

PtndList *deallocPtndList(PtndList *list)
{
    if (list) {
        deallocArray(list->next);
        deallocArray(list->heads);
        deallocArray(list->tails);
        deallocBlock(list);
    }
    return nullptr;
}

int addItemToPtndList(PtndList *list, uint32_t item, uint32_t cls)
{
    if (item >= list->numItems || cls >= list->numClasses || list->next[item] != kNotAdded)
        return 1;
    if (list->keepOrder && list->tails) {
        list->next[item] = kSetEnd;
        if (list->heads[cls] == kSetEnd)
            list->heads[cls] = item;
        else
            list->next[list->tails[cls]] = item;
        list->tails[cls] = item;
    } else {
        list->next[item] = list->heads[cls];
        list->heads[cls] = item;
    }
    return 0;
}

int freezePtndList(PtndList *list, uint32_t numClasses)
{
    list->tails = static_cast<uint32_t *>(deallocArray(list->tails));
    if (numClasses == 0 || numClasses == list->numClasses)
        return 0;
    if (reallocArrayOf(&list->heads, numClasses, list->numClasses) != 0)
        return 1;
    for (uint32_t c = list->numClasses; c < numClasses; c++)
        list->heads[c] = kSetEnd;
    list->numClasses = numClasses;
    return 0;
}

uint32_t getFirstItemInPtndList(const PtndList *list, uint32_t cls)
{
    return cls < list->numClasses ? list->heads[cls] : kSetEnd;
}

uint32_t getNextItemInPtndList(const PtndList *list, uint32_t item)
{
    if (item >= list->numItems || list->next[item] == kNotAdded)
        return kSetEnd;
    return list->next[item];
}
