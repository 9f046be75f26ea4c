// Set partitions: named subsets of one universe (character or taxon
// partitions), their flattened form for fast traversal, and PtndList, which
// sorts items 0..n-1 into classes as linked lists when each item belongs to
// exactly one class.
#pragma once

#include <cstdint>

#include "qel/qel_sets.h"

struct PtnSubset {
    char *name;  // owned
    Set *set;    // owned, capacity = universe size
};

struct SetPtn {
    PtnSubset **subsets;  // entries are separate blocks: their addresses stay fixed
    uint32_t numSubsets;
    uint32_t slots;       // room in subsets
    uint32_t universeSize;
};

struct SetPtnList {
    uint32_t **starts;   // per subset: its first entry in members
    uint32_t *counts;    // per subset: number of members
    uint32_t *members;   // subset 0 ascending, then subset 1, ...
    uint32_t numSubsets;
};

struct PtndList {
    uint32_t *next;    // per item: next item of its class, kSetEnd at the end
    uint32_t *heads;   // per class: first item, kSetEnd when empty
    uint32_t *tails;   // per class, only while filling in insertion order
    uint32_t numItems;
    uint32_t numClasses;
    uint8_t keepOrder;
};

SetPtn *allocSetPtn(uint32_t initialCapacity, uint32_t universeSize);
SetPtn *deallocSetPtn(SetPtn *ptn);
PtnSubset *addPtnSubset(SetPtn *ptn, const char *name);
uint32_t numPtnSubsets(const SetPtn *ptn);
PtnSubset **getPtnSubsetsInfo(const SetPtn *ptn);
Set *getPtnSubset(const SetPtn *ptn, uint32_t i);
const char *getPtnSubsetName(const SetPtn *ptn, uint32_t i);
uint32_t whichPartitionSubset(const SetPtn *ptn, uint32_t member);

SetPtnList *createSetPtnList(const SetPtn *ptn);
SetPtnList *destroySetPtnList(SetPtnList *list);

PtndList *allocPtndList(uint32_t n, bool keepOrder);
PtndList *deallocPtndList(PtndList *list);
// 1 (nothing changed) for an item or class out of range or an item added
// before; each item belongs to one class only.
int addItemToPtndList(PtndList *list, uint32_t item, uint32_t cls);
int freezePtndList(PtndList *list, uint32_t numClasses);
uint32_t getFirstItemInPtndList(const PtndList *list, uint32_t cls);
uint32_t getNextItemInPtndList(const PtndList *list, uint32_t item);
