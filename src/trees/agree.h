// Maximum agreement subtrees of several trees: the largest taxon sets on
// which every tree, pruned to the set, has the same topology. The pair
// recursion solves, for every pair of taxa (x, y), the largest agreement
// subtree whose root separates a side with smallest taxon y from a side with
// smallest taxon x; unrooted trees are handled by rooting them at each taxon
// r in turn and considering only the taxa below r, so that every subtree is
// found once, under its highest-numbered taxon. The Agree command and the
// two agreement distances of TreeDist (d1 = ntax - m and d) are built on it.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "trees/treeutil.h"

struct ProgData;
struct TreeBuffer;

// Enumeration of the agreement sets stops at this many sets (the count of
// sets is exact, saturating at 2^64 - 1, whatever the cap).
inline constexpr uint32_t kAgreementSetCap = 200000;

// Called once per pair of the recursion; nonzero stops with that status.
using AgreeProgress = int (*)(void *context);

struct AgreementResult {
    uint32_t size = 0;                      // m
    uint64_t numSets = 0;                   // maximum agreement subtrees (saturating)
    std::vector<std::vector<uint64_t>> sets;  // taxon sets, when enumerated
    std::vector<uint64_t> firstSet;         // one maximum agreement set, always
    bool capped = false;                    // enumeration stopped at kAgreementSetCap
};

struct AgreementWork;
struct AgreementWorkDeleter {
    void operator()(AgreementWork *work) const;
};
using AgreementWorkPtr = std::unique_ptr<AgreementWork, AgreementWorkDeleter>;

// A work record for trees of ntax taxa; null when memory ran out.
AgreementWorkPtr initializeAgreement(uint32_t ntax, bool rooted);
// Drops the trees of the record (to reuse it for another set of trees).
void clearAgreementTrees(AgreementWork *work);
// Enters a tree (held as the tree buffer holds it: at the ancestor node when
// rooted, at a tip otherwise). 1 when the tree lacks a taxon (reported, with
// treeNumber, when treeNumber is nonzero) or memory ran out.
int getRivalTree(AgreementWork *work, Tree *tree, uint32_t treeNumber);
bool agreementHasPolytomies(const AgreementWork *work);
uint64_t numPairsPerRooting(const AgreementWork *work);
// Pairs of the recursion for ntax taxa: n(n-1)/2 rooted, n(n-1)(n-2)/6
// unrooted (a pair per rooting taxon); past 32 bits from about 2,950 taxa.
uint64_t numAgreementPairs(uint64_t ntax, bool rooted);

// Steps counted in 64 bits, shown on a progress record whose count is 32-bit:
// every `stride` steps advance it by one.
struct ScaledProgress {
    uint64_t stride = 1;
    uint64_t pending = 0;
    // The record's maximum for `total` steps; sets the stride.
    uint32_t begin(uint64_t total);
    // One step: kProgressContinue, or kProgressAborted when the update says so.
    int step(ProgData *record);
};

// Size and number of the maximum agreement subtrees of the entered trees,
// with their taxon sets when enumerate is set. 0, 1 (memory), or the status
// progress returned.
int calcAgreementSets(AgreementWork *work, bool enumerate, AgreeProgress progress, void *context,
                      AgreementResult &out);

// The agreement distances of two trees of one buffer: d1 = ntax - m and,
// when wantD, d = d1 + c / (d1 (ntax + rooted)), c the smallest total
// reattachment cost over the agreement sets (0 when m = ntax). 0 or 1.
int calcDistanceForOnePair(AgreementWork *work, Tree *a, Tree *b, bool wantD, uint32_t *d1, double *d);

int doAgreeCmd();
