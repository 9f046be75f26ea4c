// SVDQuartets: a tree of taxa (or of species) from site patterns without a
// substitution model. Every quartet of units gets three flattening matrices of
// its site-pattern counts, one per split; a split scores how far its
// normalised matrix is from the low rank the true split would give, the best
// split of each decisive quartet is kept (or all three with weights) and the
// kept quartets are assembled into a tree by the quartet search.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "qel/qel_random.h"
#include "quartets/quartets.h"

struct DataInfo;
struct ProgData;
struct SitePatternData;
struct ThreadGroup;

// States are at most 4, so a flattening matrix is at most 16 x 16 and the
// counts of a quartet fit a 256-cell table of the four units' states.
inline constexpr uint32_t kSvdqMaxStates = 4;
inline constexpr uint32_t kSvdqDim = kSvdqMaxStates * kSvdqMaxStates;
inline constexpr uint32_t kSvdqCells = kSvdqDim * kSvdqDim;

// What one quartet's score depends on; read-only while threads run.
struct SvdqEvalData {
    DataInfo *d = nullptr;
    // Site patterns: rows[t][p] data codes of active taxon t (0 .. s-1 single
    // states, s missing, above s ambiguity codes), the weight of each
    // pattern (resampled in place by the bootstrap) and each code's states.
    const uint8_t *const *rows = nullptr;
    const double *weights = nullptr;
    // The same weights as whole numbers when every one is (the usual case:
    // site counts), which the counting adds as integers.
    std::vector<uint32_t> intWeights;
    bool integral = false;
    const uint8_t *codeStateLists = nullptr;
    const uint32_t *codeListOffset = nullptr;
    uint32_t npat = 0;
    uint32_t s = 4;
    uint32_t nchar = 0;          // characters of the data, for the Frobenius file
    // One bit per pattern for each active taxon: the taxon's cell is usable;
    // and the cell is a single state (the fast path of the counting).
    std::vector<uint64_t> usable;
    std::vector<uint64_t> single;
    uint32_t words = 0;
    uint32_t ntax = 0;           // active taxa (lineages)
    uint32_t nunits = 0;         // species in species-tree mode, else taxa
    // Species-tree mode: member lineages of each species and the species of
    // each lineage; empty otherwise.
    std::vector<std::vector<uint32_t>> members;
    std::vector<uint32_t> speciesOf;
    // Scoring.
    uint32_t rank = 10;
    bool plus2 = false;
    bool distribute = true;      // ambiguity codes spread over their states
    bool lake = false;
    bool showScores = false;
    bool showSV = false;
    uint32_t qweights = 0;       // 0 none, 1 reciprocal, 2 exponential
    double wtlambda = 1000.0;
    uint32_t entriesPerQuartet = 1;
    bool writeFrob = false;
    // Enumeration.
    bool exhaustive = true;
    double totalQuartets = 0.0;
    uint64_t nq = 0;
    uint32_t nthreads = 1;
    uint32_t drawsPerQuartet = 4;
    RNG rng{};
    ProgData *progress = nullptr;
    bool bootstrapping = false;
    // Results of the last evaluation, in quartet order (room for nq x
    // entriesPerQuartet while it runs).
    // The enforced constraint's groups by taxon (bit k: in group k), none
    // when no constraint is enforced; a taxon a backbone leaves out is free.
    std::vector<uint64_t> conGroups;
    std::vector<uint8_t> conFree;
    uint32_t conWords = 0;
    std::vector<QuartetEntry> entries;
    double rejectedWt = 0.0;        // weight the constraint took away
    std::string frobText;        // lines of the Frobenius file
};

// Per-thread work space: every array a quartet needs, so that scoring does no
// allocation.
struct SvdqWork {
    double counts[4][256];          // by states of the four units, 4-based;
                                    // four tables so that repeated cells do
                                    // not wait on each other's additions
    uint32_t intCounts[4][512];     // the same for whole weights; 256 .. 511
                                    // take the sites that do not count
    alignas(16) uint8_t cells[64];
    double siteWts[64];
    double flat[3][kSvdqCells];     // row-major s² x s²
    double norm[kSvdqCells];        // column-major, leading dimension 16
    double sv[kSvdqDim];
    std::vector<double> work;
    std::vector<int> iwork;
    std::vector<uint32_t> index;    // units drawn by random sampling
    // The slots of the quartet list this work writes into, and how many it
    // has filled.
    QuartetEntry *out = nullptr;
    uint64_t count = 0;
    double rejected = 0.0;
    std::string frob;
    SvdqWork();
};

// Takes the rows, weights and state lists of the site patterns and makes the
// usable-site vectors (ev.distribute must be set first). 0, or 1 when memory
// fails.
int initSvdqScoring(SvdqEvalData &ev, const SitePatternData *pd);

// Points the scoring at pattern weights (the data's or a bootstrap
// replicate's), noting whether they are all whole numbers.
void setSvdqWeights(SvdqEvalData &ev, const double *weights);

// Fills the three flattening matrices of sorted units a < b < c < d; returns
// the total weight of the sites used.
double makeFlatteningMatrices(const SvdqEvalData &ev, uint32_t a, uint32_t b, uint32_t c, uint32_t d,
                              SvdqWork &w);
// Keeps the non-empty rows and columns of the n x n row-major matrix m,
// divides them (by column sums, by row sums, or by the total) into out
// (column-major, rows >= columns) and says whether a matrix of that shape can
// reveal more than the expected rank.
bool normalizeFlattening(uint32_t rank, bool alwaysKeep, const double *m, uint32_t n, bool byRows,
                         bool byColumns, double *out, uint32_t *rowsOut, uint32_t *colsOut);
// Singular values (all of them, decreasing) of the m x n column-major matrix
// a (m >= n, leading dimension kSvdqDim); 0 on success. a is overwritten.
int calcSingularValues(double *a, double *values, uint32_t m, uint32_t n, bool highAccuracy, SvdqWork &w);
// Score of split k of the quartet in w.flat; -1.0 when a decomposition fails.
double calcSVDscore(const SvdqEvalData &ev, SvdqWork &w, int k, bool highAccuracy);
double calcLakescore(const double *m);

// Scores the quartet of units u (any order) and appends its entries at
// w.out[w.count]; quartetIndex counts from 0. 0, 1 (decomposition failure) or 2.
// Whether the split ab|cd of taxa agrees with every group of the enforced
// constraint (always, with none).
bool isQuartetCompatible(const SvdqEvalData &ev, uint32_t a, uint32_t b, uint32_t c, uint32_t d);
// Makes the assembled tree agree with the enforced constraint: when one of
// its splits conflicts with a constraint group, the tree is rebuilt from the
// constraint's groups and those of its own splits that agree with all of
// them, and where that leaves polytomies they are resolved again by the
// support of the quartets in table. Whether the tree changed.
bool fitTreeToConstraint(const SvdqEvalData &ev, const QwtTable *table, Tree *tree);
int scoreOneQuartet(const SvdqEvalData &ev, const uint32_t u[4], uint64_t quartetIndex, RNG *rng, SvdqWork &w);
// Heading of the score table (line -1).
void outputScoresHeading(const SvdqEvalData &ev);

// Evaluates every quartet (one thread or the thread group) into ev.entries.
// 0, 1 or 2 (aborted).
int evaluateQuartets(SvdqEvalData &ev);
// Distinct quartets: of units, or of lineages one from each of four species.
double svdqTotalQuartets(const SvdqEvalData &ev);
// The share of quartets each of nthreads threads takes (the last thread the
// rest).
std::vector<uint64_t> svdqShareStarts(uint64_t nq, uint32_t nthreads);
// Scores quartets first .. last-1 of the enumeration into w; rng must stand
// where a single thread's generator would stand at `first`.
int evaluateShare(const SvdqEvalData &ev, uint64_t first, uint64_t last, RNG *rng, SvdqWork &w);
// n raw draws of the generator.
void skipDraws(RNG *rng, uint64_t n);
// Loads ev.entries into the quartet data's weight table.
void loadSvdqWeightTable(const SvdqEvalData &ev, QuartetData *qd);

// What the bootstrap needs beyond the evaluation record.
struct Nexset;
struct AuxOut;
struct SvdqBootSettings {
    const SitePatternData *patterns = nullptr;  // the original pattern weights
    QuartetData *qd = nullptr;                  // its table is refilled per replicate
    // The replicate trees' file, opened (not active) before any quartet was
    // evaluated, so that a path that cannot be written ends the command
    // before the work; null: none. The bootstrap closes or discards it.
    AuxOut *treeFile = nullptr;
    // Set when the consensus was stored: an abort after a finished
    // replicate leaves it in the tree buffer.
    bool *consensusStored = nullptr;
    bool multilocus = false;
    const Nexset *loci = nullptr;
    uint32_t nreps = 100;
    const std::vector<std::string> *unitNames = nullptr;  // species names
};
// Species trees: the tree buffer names its tips by species, and rooting
// takes a species for the outgroup when one of its lineages is. 0, or 1.
int nameTreesBySpecies(const SvdqEvalData &ev, const std::vector<std::string> &names);
int nameTreesBySpeciesRows(const std::vector<std::string> &names, const std::vector<std::vector<uint32_t>> &rows);
std::vector<std::vector<uint32_t>> speciesDataRows(const SvdqEvalData &ev);
// Whether the trees in memory have these species as their tips, in order.
bool treesAreOfSpecies(const std::vector<std::string> &names);
// Bootstrap replicates (sites or whole loci drawn from ev.rng) and their
// majority-rule consensus, stored in the tree buffer. 0, 1 or 2 (aborted;
// the consensus of the finished replicates, if any, is stored all the same).
int svdqBootstrap(SvdqEvalData &ev, const SvdqBootSettings &s);

int doSVDQuartetsCmd();
