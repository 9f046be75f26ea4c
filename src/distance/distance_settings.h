// Settings of the distance commands as their options bind them: DSet (and
// the DScores options kept in the same record), NJ and UPGMA, StarDecomp,
// PairDiff, SaveDist and DConSeq. The distance methods read them.
#pragma once

#include <cstdint>

#include "cli/qel_cmdoptions.h"

struct Nexset;
struct Set;

// The distance types, in the order of the `distance` keyword list.
enum : uint32_t {
    kDistUser = 0, kDistTotal, kDistMean, kDistAbs, kDistP, kDistJC, kDistF81, kDistTajNei,
    kDistK2P, kDistF84, kDistHKY85, kDistK3P, kDistTamNei, kDistGTR, kDistCustom, kDistML,
    kDistLogDet, kDistUpholt, kDistNeiLiSite, kDistNeiLiFrag, kNumDistanceTypes
};
// The option words of the distance types as one keyword list.
extern const char kDistanceKeywords[];

enum : uint32_t { kObjectiveLsFit = 0, kObjectiveBME, kObjectiveME };
enum : uint32_t { kNegBrLenProhibit = 0, kNegBrLenAllow, kNegBrLenSetZero, kNegBrLenSetAbsVal };

struct DistSettings {
    uint32_t distance;     // kDist*
    uint32_t objective;    // kObjective*
    uint32_t lsWts;        // 0 std, 1 expo, 2 user
    double power;
    double pexp;
    double pInvar;         // proportion of invariable sites, 0 <= p < 1
    uint32_t rates;        // 0 equal, 1 gamma
    double shape;          // gamma shape
    uint32_t removeFreq;   // 0 proportional, 1 equal
    uint32_t estFreq;      // 0 all, 1 constant
    uint8_t allSitesMean;
    uint32_t subst;        // 0 all, 1 tv, 2 ti, 3 tratio
    int32_t recSeqLen;
    // Substitution classes of the custom distance, set through "class".
    int32_t cAC, cAG, cAT, cCG, cCT, cGT;
    uint32_t baseFreq;     // 0 equal, 1 empirical
    uint32_t missDist;     // 0 infer, 1 ignore
    uint32_t negBrLen;     // kNegBrLen*
    double undefMult;
    uint8_t dCollapse;
    uint32_t psdk;         // 0 "1", 1 nbranches
    int32_t psdAddK;
    int32_t precision;     // decimals of distance output and scores
    // DScores
    uint8_t lsDetails;
    uint8_t pplot;
    uint8_t pref_writeDsgn;
    uint8_t pref_writeExpD;
    char designFile[kParamPathSize];
    char expDistFile[kParamPathSize];
};
extern DistSettings dist;

// Decimals of distance output: beyond this a double has no more digits.
inline constexpr int32_t kMaxDistDecimals = 17;

// Holders of the obsolete DSet options; DSet sets them to -1 before parsing
// and notes any that were given.
extern int32_t felsMaxPasses;
extern double felsMaxDelta;
extern int32_t lsIterProg;

enum : uint32_t { kBreakTiesSystematic = 0, kBreakTiesRandom = 1 };

struct ClustSettings {
    uint8_t BioNJ;
    uint8_t showTree;
    uint32_t breakTies;    // kBreakTies*
    uint32_t tieSeed[4];
    uint8_t brLens;
    uint8_t pref_saveFile; // a tree file was asked for
    uint8_t isUPGMA;       // the command running is UPGMA
};
extern ClustSettings clust;

struct StarDecompSettings {
    uint32_t breakTies;
    uint32_t tieSeed[4];
};
extern StarDecompSettings starDcmp;

struct PairDiffSettings {
    uint8_t shortFmt;
    uint8_t longFmt;
    Set *taxa;             // made on first use; a taxon list replaces it
};
extern PairDiffSettings pairDiff;

enum : uint32_t {
    kDistFmtOneColumn = 0, kDistFmtTabText, kDistFmtNexus, kDistFmtPhylip, kDistFmtRelPhylip
};
enum : uint32_t { kTriangleLower = 0, kTriangleUpper, kTriangleBoth };

struct SaveDistSettings {
    uint32_t format;       // kDistFmt*
    FilenameParamState file;
    uint32_t triangle;     // kTriangle*
    uint8_t diagonal;
    uint8_t undefined;     // 0 twiceMax, 1 asterisk
    int32_t ndecimals;
};
extern SaveDistSettings saveDist;

struct DConSeqSettings {
    Nexset *partition;     // report per subset of this character partition; null: none
    uint8_t showSubsets;
};
extern DConSeqSettings dconOpt;

// Until the tree-file and score-file settings of the trees and search units
// are linked in, the NJ/UPGMA tree-file name and the DConSeq output file are
// held here.
extern char gClustTreefileName[kParamPathSize];
extern char gDConSeqOutFile[kParamPathSize];

// "class": "(" six letters a..f ")", each the class of one base pair.
int getDnaDistClass(int operation, CmdParam *option, void *place);
// SaveDist's "file": the default extension follows the chosen format.
int getDistancesFlnam(int operation, CmdParam *option, void *place);
const char *distFormatExtension(uint32_t format);
