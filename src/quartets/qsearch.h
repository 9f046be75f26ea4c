// QSearch: one tree from the data set's quartet data by an assembly method,
// optionally improved by a local search that maximises quartet support; and
// QScores, the quartet support of the trees in memory.
#pragma once

#include <functional>
#include <cstdint>
#include <memory>
#include <string>

#include "quartets/quartets.h"

struct DataInfo;
struct ProgData;
struct RNG;
struct Tree;

// 0 when the data set holds quartet data, else 1 after the error naming the
// calling command.
int requireQuartetData(const DataInfo *d, const char *command);
// Records that the table's indices are the taxa active now, in order, so
// that a later change of the deleted taxa can be mapped before any scoring.
void noteQuartetTaxa(QuartetData *qd, const DataInfo *d);

// The data set's quartets as quartets of the taxa active now, numbered as
// trees of those taxa number them; a view of them, holding only quartets of
// active taxa, when taxa were deleted or restored since they were stored.
class QuartetsOfActiveTaxa {
public:
    QuartetData *use(DataInfo *d);  // null when memory ran out

private:
    struct Release {
        void operator()(QuartetData *qd) const { deallocQuartetData(qd); }
    };
    std::unique_ptr<QuartetData, Release> view_;
};

// The shared driver (also for other commands that fill quartet data first).
// Returns 0, 2 when the user stopped it, other values on failure; incompat
// receives the incompatible weight (the largest double on failure). A caller
// whose tree must stay within bounds passes fitTree, which reshapes the
// assembled tree and says whether it changed it.
int runQuartetSearch(QuartetData *qd, Tree *tree, DataInfo *d, RNG *rng, ProgData *progress,
                     uint32_t specialTreeKind, const char *analysisName, bool speciesTrees, bool quiet,
                     double *incompat, const std::function<bool(Tree *)> &fitTree = {});

// A value within 1e-6 of an integer as that integer, otherwise 4 decimals.
std::string formatQscore(double value);

// Per-node supports of the local search, and the whole-tree score that the
// slow variant of it uses (incompatible weight, smaller is better).
int prepForLocalQuartetSearch(QuartetData *qd, Tree *tree);
double calcQScoreForLocalSearch(Tree *tree);

// The assembly method and local search that runQuartetSearch will use.
void showQuartetSearchSettings();
// The quartet support of every tree in memory against the quartet data,
// as QScores shows it (the trees' tips are the quartets' units).
int showQuartetScoresOfTrees(QuartetData *qd);

int doQSearchCmd();
int doQScoresCmd();
