// The ASSUMPTIONS, SETS and CODONS blocks and their commands: user types,
// type, weight, exclusion and rate sets, ancestral states, character and
// taxon sets and partitions, codon-position sets, the block OPTIONS, and the
// Show commands for partitions and rate sets.
#pragma once

#include <cstdint>

#include "data/nexsets.h"
#include "data/vorn_data.h"

// Block readers, installed in the command loop.
int processAssumptionsBlock();
int processSetsBlock();
int processCodonsBlock();

// Reads a new data block and, when it succeeds, gives the new data set a
// fresh named-set store (the sets of an earlier matrix name other things).
int readDataAndInitAssumpSets(int kind, DataInfo *d);
// Installs the data services through which releasing the data set reaches
// the named sets and the user types.
// Installs the data subsystem's entry points into the shared service
// records; 0, or 1 when a slot was already taken by another subsystem.
int installDataHooks();

// The shared head of the set-defining commands: an optional "*", the name,
// optional format words (bit i of formatMask for the i-th keyword of the
// NUL-separated list), and "=". 0 on success, 1 after an error, 2 when an
// unknown format word made the command be skipped (a warning, not a failure).
int readTagAndFmt(const char *commandName, const char *keywords, char *name, uint32_t nameSize,
                  bool *star, uint32_t *formatMask);

// Prints the redefinition note when the Set option "warnRedef" asks for it
// and the name is not "untitled".
void showRedefined(const char *label, const char *name);

// Command handlers.
int doCharsetCmd();
int doTaxsetCmd();
int doExsetCmd();
int doTypesetCmd();
int doWtsetCmd();
int doRatesetCmd();
int doAncStatesCmd();
int doCharPartitionCmd();
int doTaxPartitionCmd();
int doCodonPosSetCmd();
int doAssumOptions();
int doGeneticCodeCmd();
int doCodesetCmd();
int doShowCharPtnsCmd();
int doShowTaxPtnsCmd();
int doShowRatesetsCmd();
// ShowMPartition's listing: the model partition named next in the command
// (or all of them); 0, 1 or 2 (aborted).
int showModelPartitions();

// Partitions over characters (kind 0), taxa (kind 1) or the characters of a
// model partition (kind 2); type is the Nexset kind. The new record, or null
// after an error report (a skipped command: null with *skipped set).
Nexset *readNexPartition(int kind, uint32_t type, const char *word, const char *commandName,
                         bool *skipped);
int installCharPartition(Nexset *ns);
int installTaxPartition(Nexset *ns);
int installModelPartition(Nexset *ns);
