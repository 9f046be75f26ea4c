// Settings of the quartet commands as their options bind them: Puzzle,
// SVDQuartets, QSearch and the reading of an outside quartet program's file.
#pragma once

#include <cstdint>

#include "cli/qel_cmdoptions.h"

struct Nexset;

struct PuzzleSettings {
    int32_t nPuzzles;        // puzzling steps
    double nQuartets;        // quartets to examine (computed by the command)
    int32_t cutoffPct;       // groups below this percentage are not tabled
    uint32_t seed[4];
    uint8_t useApproxLim;
    uint8_t minMemReq;
    uint8_t allowParEst;
    uint8_t showTree;
    uint8_t grpFreq;
    uint8_t compactStorage;  // always set by the command
    uint8_t penalties;       // 0 standard, 1 full
    uint8_t pref_saveToFile;
    char treeFile[kParamPathSize];
};
extern PuzzleSettings puzOpt;

enum : uint32_t { kSvdqTreeInfQFM = 0, kSvdqTreeInfCurTrees, kSvdqTreeInfNone };
enum : uint32_t { kSvdqBootNo = 0, kSvdqBootStandard, kSvdqBootMultilocus };

struct SvdqSettings {
    char partition[kParamStringSize];  // species taxon partition
    char qfile[kParamPathSize];
    char mrpFile[kParamPathSize];
    char treeFile[kParamPathSize];     // bootstrap trees
    char frobDFile[kParamPathSize];
    Nexset *loci;                      // character partition of the loci; null: none
    double nquartets;
    double userTheta;                  // theta when it is not estimated
    uint32_t treeInf;                  // kSvdqTreeInf*
    uint32_t qweights;                 // 0 none, 1 reciprocal, 2 exponential
    uint32_t bootstrap;                // kSvdqBoot*
    uint32_t estNodeAges;              // 0 no, 1 ML, 2 moments
    double wtlambda;
    uint32_t nthreads;                 // 0: not chosen yet (the processor count)
    uint32_t forceRank;                // 0: automatic
    uint32_t seed[4];
    int32_t nreps;
    uint8_t treemodel;                 // 0 mscoalescent, 1 shared
    uint8_t evalQuartets;              // 0 all, 1 random
    uint8_t speciesTree;
    uint8_t showScores;
    uint8_t showSV;
    uint8_t pref_saveQrtFile;
    uint8_t pref_saveMrpFile;
    uint8_t pref_saveBtrFile;
    uint8_t pref_writeFrobD;
    uint8_t keepQuartets;
    uint8_t qformat;                   // 0 qmc, 1 qfm
    uint8_t preferAllQ;
    uint8_t ambigs;                    // 0 missing, 1 distribute
    uint8_t plus2;
    uint8_t enforce;
    uint8_t estTheta;                  // theta is estimated rather than given (estTratio)
    uint8_t lakeInvar;
};
extern SvdqSettings svdqOpt;

enum : uint32_t { kQMethodQFM = 0, kQMethodWO, kQMethodBS, kQMethodQJ, kQMethodQMC };

struct QSearchSettings {
    char file[kParamPathSize];          // quartet file of the outside program
    char startQMC[kParamStringSize];    // shell command that starts it
    uint32_t method;                    // kQMethod*
    uint32_t woAddSeq;                  // 0 dynamic, 1 random
    uint32_t localSearch;               // 0 none, 1 NNI, 2 SPR, 3 TBR
    int32_t nreps;                      // WO replicates
    int32_t reconLimit;
    uint32_t seed[4];
    uint8_t useHashing;
    uint32_t qfmPtn;
    uint32_t qfmIter;
    int32_t maxSplitsB;                 // 0: unlimited
    uint8_t slowTBR;
    uint8_t woShowRandom;
    uint8_t qmcOutput;
};
extern QSearchSettings qopt;

// Replicate counts of the quartet commands; each replicate is a full run.
inline constexpr int32_t kMaxQuartetReps = 1000000;
// Threads SVDQuartets may be asked for.
inline constexpr int32_t kMaxSvdqThreads = 1024;

// Until the likelihood settings are linked in, the model name of option set
// 132 is held here.
extern char gQuartetModelName[kParamStringSize];

// "nthreads": a whole number of threads, or "ncpus" (stored as 0).
int readNthreadsParam(int operation, CmdParam *option, void *place);
// "theta": a real value, or "estimate".
int readThetaValue(int operation, CmdParam *option, void *place);
