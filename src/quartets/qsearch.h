// QSearch: one tree from the data set's quartet data by an assembly method,
// optionally improved by a local search that maximises quartet support; and
// QScores, the quartet support of the trees in memory.
#pragma once

#include <cstdint>
#include <string>

struct DataInfo;
struct ProgData;
struct QuartetData;
struct RNG;
struct Tree;

// 0 when the data set holds quartet data, else 1 after the error naming the
// calling command.
int requireQuartetData(const DataInfo *d, const char *command);
// Records that the table's indices are the taxa active now, in order, so
// that a later change of the deleted taxa is caught before any scoring.
void noteQuartetTaxa(QuartetData *qd, const DataInfo *d);

// The shared driver (also for other commands that fill quartet data first).
// Returns 0, 2 when the user stopped it, other values on failure; incompat
// receives the incompatible weight (the largest double on failure).
int runQuartetSearch(QuartetData *qd, Tree *tree, DataInfo *d, RNG *rng, ProgData *progress,
                     uint32_t specialTreeKind, const char *analysisName, bool speciesTrees, bool quiet,
                     double *incompat);

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
