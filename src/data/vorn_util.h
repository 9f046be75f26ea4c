// Small services over the active data set that every analysis calls: the
// score of a tree under the current optimality criterion, the minimum-taxa
// refusal, the table of tree counts, state-set strings and equates, and
// included-character totals.
#pragma once

#include <cstdint>

#include "data/vorn_data.h"

struct Tree;

inline constexpr double kNoTreeScore = 1e37;

// Tree scorers of the criteria. The subsystems that score trees sit above the
// data set, so each installs its scorer at start-up; a criterion with no
// scorer answers that it is not available and scores kNoTreeScore.
struct TreeScoreFxns {
    double (*parsimony)(DataInfo *d, Tree *tree);
    double (*likelihood)(Tree *tree, double bound);
    double (*distance)(Tree *tree, double bound);
};
// Installs the non-null members.
void installTreeScoreFxns(const TreeScoreFxns &fxns);
void resetTreeScoreFxns();
bool treeScoreAvailable(int criterion);
// The score under the current criterion; kNoTreeScore for an unknown criterion
// or one whose scorer is not installed.
double computeTreeScore(Tree *tree, DataInfo *d);

// 0 when at least `minimum` taxa are active; else error 606 and 1. A null
// subject reads "This operation", a null suffix nothing.
int checkMinTaxa(uint32_t minimum, const char *subject, const char *suffix);

// table[k], 1 <= k <= n: ln of the number of binary trees on k labelled taxa
// (rooted: (2k-3)!!, unrooted: (2k-5)!!). table[0] is not written.
void enumTrees(double *table, uint32_t n, bool rooted);

// Every state parsimony tells apart: the symbols, and the gap when it is a
// state of its own.
uint64_t parsAllStates(const DataInfo *d);
// The symbol of a state as parsimony numbers them (the gap state included),
// or "?" past the last.
char parsStateSymbol(int state, const DataInfo *d);
// "?" for every state, else the symbols of the set bits, lowest first.
char *stateString(uint64_t bits, const char *symbols, char *buffer);
bool sameStateSymbol(int a, int b, const DataInfo *d);
// The equate symbol that stands for a multi-state set, or 0. A polymorphism
// argument of 0 or 1 must match the equate's kind when msTaxa is "variable".
int statesToEquate(uint64_t bits, const char *symbols, int polymorphic, const DataInfo *d);
// A tip cell as shown to the user: gap symbol, "?", one symbol, "(..)" for a
// polymorphism, "{..}" for an uncertainty, and "=x" for its equate on request.
char *tipStateString(uint64_t bits, const char *symbols, int32_t taxon, uint32_t c, bool withEquate,
                     const DataInfo *d, char *buffer);

double calcTotalWt(const DataInfo *d);
uint32_t countIncludedChars(const DataInfo *d, uint32_t typeMask);
bool haveIncludedChars(const DataInfo *d);
// A new array of the included characters of the type mask (0: all), in
// increasing order; null when there are none or memory fails.
uint32_t *loadIncludedChars(const DataInfo *d, uint32_t typeMask, uint32_t *count);
