// The one reader of character and taxon lists: numbers, labels, ranges with
// steps, ".", set names, partition subsets, "all" and "remainder", read from
// the active input into a Set.
#pragma once

#include <cstdint>

#include "data/vorn_data.h"
#include "qel/qel_sets.h"

// 0 on success, 1 after an error has been reported. result is emptied first;
// every item added is removed from remaining (when given). singleIndex (when
// given) receives the item when exactly one was named singly or by a range,
// else kSetEnd.
int readCharOrTaxaList(DataInfo *d, const char *terminators, Set *result, Set *remaining, bool taxa,
                       bool forbidStateSets, uint32_t *singleIndex);
// Null terminators: ";", "/", "," and the double quote.
int readCharList(DataInfo *d, const char *terminators, Set *result, Set *remaining, bool forbidStateSets,
                 uint32_t *singleIndex);
// Null terminators: ";".
int readTaxaList(DataInfo *d, const char *terminators, Set *result, Set *remaining);

// 0-based item of an identifier, kSetEnd when it names nothing.
uint32_t findCharNumFromString(const char *token, const DataInfo *d);
// 0-based taxon of a label or number, kSetEnd when it names none.
uint32_t findTaxNumFromString(const char *token, const DataInfo *d);
int showCharIdError(const char *token);
int showTaxIdError(const char *token, const DataInfo *d);

// The working set of a list-driven command: copy receives a clone of the set
// in the slot; without one, a new set of capacity n is made there holding
// every item (fill) or only the first. 1 on memory failure.
int initCharListSet(uint32_t n, Set **slot, Set **copy, bool fill);
// Items in before but not after, in after but not before, and in before.
int countMovedItems(const Set *before, const Set *after, uint32_t *leaving, uint32_t *entering,
                    uint32_t *total);
