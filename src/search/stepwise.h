// Stepwise addition: a starting tree built by joining taxa one at a time to
// a growing tree, each at the edge where it costs least, under every
// addition sequence, optionally holding several trees at each step.
#pragma once

#include <cstdint>
#include <vector>

struct DataInfo;
struct Tree;
struct RNG;
struct TreeBuffer;

enum AddSeq : uint32_t {
    kAddSeqSimple = 0,
    kAddSeqClosest = 1,
    kAddSeqAsIs = 2,
    kAddSeqRandom = 3,
    kAddSeqFurthest = 4,
    kAddSeqDivergentPair = 5,  // most divergent pair first (branch and bound)
};

// Read before each step and after every connection a criterion scores as
// a whole tree (one such score may take a second on a large tree): the
// caller's stop request, time limit and status line. Returns 0 to go on,
// or the result to end the addition with (2 stopped, 3 time limit).
struct StepwisePoll {
    int (*fn)(void *ctx, uint32_t taxaAdded);
    void *ctx;
};

struct StepwiseOptions {
    uint32_t addSeq;  // AddSeq
    uint32_t hold;    // trees held at each step; 0 counts as 1
    uint32_t refTax;  // reference taxon of the simple sequence, 1-based original number; 0 the first
    bool rooted;      // the ancestor takes the place of a taxon
    bool quiet;
    const StepwisePoll *poll = nullptr;  // null: the user's stop request alone, once a step
};

// Under a criterion other than parsimony each connection is scored as a
// whole tree by the criterion's tree-score function (swap.h).

// Builds the tree over the active taxa in `tree` (sized for them) and stores it, or every
// held tree, in the active tree buffer with its score. orderOut (ntax + 1
// entries) receives the taxon added at each step, the starting taxa first,
// -1 for the ancestor. Returns 0, 1 on failure, 2 when the user aborted, or
// what the options' poll ended it with.
// `out`, when given, takes the trees in place of the active buffer.
int addStepwise(DataInfo *data, Tree *tree, const StepwiseOptions &options, RNG *rng, int32_t *orderOut,
                double *scoreOut, TreeBuffer *out = nullptr);

// The random addition sequence of n taxa, the draws it takes from rng being
// exactly those addStepwise takes for it.
std::vector<uint32_t> randomAdditionOrder(RNG *rng, uint32_t n);

// Active number of the simple sequence's reference taxon named by refTax
// (1-based original number; 0, deleted or unknown: the first active taxon).
uint32_t stepwiseReferenceTaxon(const DataInfo *data, uint32_t refTax);

void findMostDivergentPair(const DataInfo *data, Tree *tree, int32_t *a, int32_t *b);
