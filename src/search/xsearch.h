// The exact searches: the exhaustive search (AllTrees), which scores every
// binary tree of the active taxa, and the branch-and-bound search (BandB),
// which walks the same tree of partial trees but abandons a partial tree as
// soon as a lower bound on every tree that can grow from it exceeds the
// best score found so far.
#pragma once

#include <cstdint>

struct DataInfo;

// The commands.
int doAllTreesCmd();
int doBandbCmd();

// mode 0: the command (reads its options, reports); 1 a bootstrap or
// jackknife replicate run. Returns 0, 1 (refused or failed), 2 (stopped by
// the user).
int exactTreeSearch(bool exhaustive, int mode);

// What a finished exact search found, for callers and tests.
struct XsearchResult {
    double best = 1e37;
    double worst = -1e37;
    uint64_t evaluated = 0;  // complete trees scored (exhaustive, or with a distribution)
    uint64_t visited = 0;    // partial and complete trees the walk placed
    uint32_t retained = 0;
};
const XsearchResult &lastXsearchResult();
// The status table: its heading and one row (rep: the replicate of a
// replicated analysis, else null; the upper bound only for branch and bound).
void showXsearchStatusHeader(bool exhaustive, bool replicated);
void showXsearchStatusRow(bool exhaustive, const char *elapsed, const char *rep, double percentDone,
                          uint64_t evaluated, uint32_t saved, double best, double upperBound);
// Whether branch and bound may use the incompatibility-partition bound (on
// by default); off, only the connection and remaining-taxa bounds prune.
void setXsearchPartitionBound(bool on);

