// Settings of the parsimony tests (HomPart, Permute), the option forms of the
// parsimony settings' change callbacks, and the installation of the data
// set's parsimony hooks.
#pragma once

#include <cstdint>

#include "cli/qel_cmdoptions.h"
#include "trees/constr.h"

struct Nexset;

// The partition-homogeneity test.
struct HomPartOptions {
    Nexset *partition;   // character partition tested
    int32_t nreps;
    uint32_t seed[4];    // 0 = a fresh seed
    uint32_t search;     // heuristic, BandB
};
extern HomPartOptions homOpt;

// The permutation tail-probability tests.
struct PermuteOptions {
    uint32_t test;       // PTP, TPTP, Compare2
    uint32_t pseed[4];   // 0 = a fresh seed
    int32_t nreps;
    uint32_t search;     // heuristic, BandB
    uint32_t randomize;  // all, ingroup
    uint8_t converse;
    // Names given by constraints, first and second ("" none). They persist
    // as names: the constraint is looked up when a test runs, so one deleted
    // or defined again in between is refused or found afresh.
    char constraint[kMaxConstraintName + 1];
    char first[kMaxConstraintName + 1];
    char second[kMaxConstraintName + 1];
};
extern PermuteOptions permOpt;

// Change callbacks of the PSet options (0 accepts; a refused value is put
// back). Each acts only when the value changed.
int checkGoloboffK(CmdParam *option);    // "gK": at most 2147483646 (error 834)
int gapModeChange(CmdParam *option);     // "gapMode"
int forceAltParsPrep(CmdParam *option);  // "threshold", "goloboff", "gPeeWee"
int invalLengthBounds(CmdParam *option); // "minForFit"

// "constraints", "first", "second" of Permute. No constraint store is linked
// into the parsimony layer yet, so a name is refused as unknown.
int getPermConstrParm(int operation, CmdParam *option, void *place);

// Hooks the data set's parsimony slots (gap mode, multistate taxa, the
// preparation level, releasing packed data) to this subsystem; 0, or 1 when
// a slot was already taken by another subsystem.
int installParsimonyServices();
// Every entry point the parsimony subsystem offers to the layers below it:
// the services above and the optimiser's rooting and drawing services.
int installParsimonyHooks();
