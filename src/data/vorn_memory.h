// Creation, allocation and release of the data set and its parts, and the
// ClearData command.
//
// Every allocating function here frees what it made when any allocation of
// its group fails and returns 1 (0 on success); every release accepts a
// record whose parts are absent.
#pragma once

#include <cstdint>

#include "data/vorn_data.h"

// An empty record: every field zero, flags word 0 (holds no data).
DataInfo *createDataInfo();
// Releases the record and everything it owns, the records other subsystems
// hung on it included. Accepts null; returns null.
DataInfo *destroyDataInfo(DataInfo *d);

// The data set's share of the start-up allocations: an empty record made
// active and the model list. 1 on failure (start-up then exits with 8).
int prelimDataAllocations();

// A new record sharing the taxon part of `active` (the same sets, maps and
// labels), with its taxon counts, data-set flags and storage mode.
DataInfo *startNewData(const DataInfo *active);

// Taxon part for ntax taxa: counts, maps (identity), labels (the 1-based
// numbers unless labels are known), the five taxon sets, the per-taxon arrays
// and the primary tree.
int allocTaxaMemory(DataInfo *d, uint32_t ntax);
void deallocTaxaMemory(DataInfo *d);

int allocCharInfo(DataInfo *d);
void deallocCharInfo(DataInfo *d);
int initCharInfo(DataInfo *d);

// The default character type: initCharInfo makes it "unord" for new data,
// the DefType option changes it.
const char *defaultCharTypeName();
uint32_t defaultCharTypeCode();
void setDefaultCharType(const char *name, uint32_t code);

int initializeRawData(DataInfo *d, int keepCodes);
void deallocCompactStorageData(DataInfo *d);
void deallocRawData(DataInfo *d, int freeRecord);

void initializeFlagsForNewData(DataInfo *d, int characters, int distances);
void purgeData(DataInfo *d, int keepTaxa, int keepModels, int destroy);

// The ClearData command (synonym DiscardData).
int doClearDataCmd();
