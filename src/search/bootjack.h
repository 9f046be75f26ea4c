// Bootstrap and jackknife: a tree search repeated on resampled characters,
// the groups of every replicate's trees tallied into a table, the replicate
// tree file, and the majority-rule consensus of the tally with its group
// frequencies.
#pragma once

#include <cstdint>
#include <string>

#include "qel/qel_errormsg.h"
#include "qel/qel_random.h"

struct DataInfo;
struct SplitsList;
struct SplitsTable;
struct Tree;

int doBootstrapCmd();
int doJackknifeCmd();
int bootJack(bool jackknife);

// The resampling generator: one state, seeded by each run, that other
// resampling users draw on too.
RNG *getBootJackRNG();

// Set-up of a run over the data set's included characters: the flags, the
// seed, the number resampled per replicate and the samplers. 0, or 1.
int initBootJack(bool jackknife, uint32_t weightMode, const uint32_t seed[4], DataInfo *data);
// One replicate's character weights (the packed data are re-prepared by the
// caller); 0, or 1 on failure.
int bootJackSample(DataInfo *data);
// A replicate drawn over site patterns: the data's pattern frequencies
// (npat of them), and each included character's pattern (kNoSite when it is
// in none) and weight.
struct PatternDraws {
    const double *freqs;
    uint32_t npat;
    const uint32_t *charPattern;
    const double *charWeight;
    uint32_t nchars;
};
// Bootstrap into freqs: n draws, each a pattern in proportion to its
// frequency (the sampler over src.freqs) adding 1, or, with simple weights
// (or no sampler), a uniformly drawn included character adding its weight
// (1 without simple weights) to its pattern.
void bootPatternSample(double *freqs, const PatternDraws &src, uint32_t n, bool simple, MultinomialSampler *sampler,
                       RNG *rng);
// Jackknife into freqs, from the data's frequencies: with pJac >= 0 every
// site copy (simple weights: every included character) goes with that
// probability; otherwise exactly d of the n sites (simple: of the included
// characters) go, chosen by selection sampling.
void jackPatternSample(double *freqs, const PatternDraws &src, uint32_t n, uint32_t d, double pJac, bool simple,
                       RNG *rng);
// Puts the weights back and frees the run's storage.
void deallocBootJack(DataInfo *data);

// Stores the majority-rule consensus of the groups selected into list as the
// bootstrap (or jackknife) consensus tree, with its support values, then
// draws it under heading and shows the group table when the group
// frequencies are asked for. Also used for the trees an outside program
// resampled. 0, an error code, or 2 when stopped.
int storeAndShowBootJackConsensus(DataInfo *data, SplitsTable *groups, const SplitsList *list, bool rooted,
                                  bool jackknife, const std::string &heading, double total);
// The resampling lines of the settings report, each after `indent`.
void showCharResampling(PrintHook print = qel_printf, const char *indent = "");

// Tallies the trees of one replicate (all trees of the main buffer, each
// with weight 1/k) and writes them to the replicate tree file when one is
// open; a replicate with no tree is counted apart and writes nothing.
// 0, or 1 when the table could not grow or the file failed.
int updateBootGroups(DataInfo *data);
// The same for a replicate of one clustering tree, tree holding it with the
// lengths of its joins, which the tree file takes when it writes lengths.
int updateBootGroupsClustered(DataInfo *data, Tree *tree);
// Whether the replicate tree file takes branch lengths: clustering then
// gives its replicate trees theirs.
bool bootTreeLengthsWanted();
// A replicate whose sample gives no tree (all its distances undefined)
// counts as a star tree: it supports no group. 0, or 1 as above.
int tallyStarReplicate(DataInfo *data);
// What a finished run tallied: the summed weight of trees holding the group
// of the taxa in `taxa` (0-based), the number of completed replicates, and
// the number that ended with no tree (not completed: they weigh nothing).
double bootGroupWeight(const uint32_t *taxa, uint32_t n);
uint32_t bootRepsCompleted();
uint32_t bootRepsWithoutTree();

// What resampling needs of the distance methods, installed by their layer:
// the check of the distance settings before a run (0, or 1 after the
// error; the analysis name comes capitalised), and the replicate loop of a
// neighbour-joining or UPGMA run (0, 1 on failure, 2 when stopped; the run
// is set up by `bootJack`).
struct ResamplingDistanceFxns {
    int (*check)(const char *analysisName, DataInfo *data);
    int (*clusterReplicates)(bool isUPGMA, DataInfo *data);
};
void installResamplingDistanceFxns(const ResamplingDistanceFxns &fxns);
// Whether site-specific rates are in effect for likelihood (and the
// maximum-likelihood distances), installed by the likelihood layer.
void installSiteSpecificRatesQuery(bool (*query)());
