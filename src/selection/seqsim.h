// Sequence simulation along a known tree: the simulation record of a model
// (rate matrix, jump chain, rate categories), a flat tree the sites evolve
// on, the continuous-time jump process that evolves one site, and the
// multispecies-coalescent gene trees drawn inside a species tree.
//
// The engine knows nothing of data sets or commands: it fills a matrix of
// state indices (taxon rows x sites), which the simulation block turns into
// the active character matrix.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "qel/qel_random.h"

struct Model;

inline constexpr uint32_t kMaxSimStates = 4;
inline constexpr uint32_t kSimGammaCategories = 4;

// What a model means for simulation. Rates are normalised to one expected
// change per unit of branch length at equilibrium.
struct SimModel {
    std::string name;
    uint32_t nstates = 4;
    double q[kMaxSimStates][kMaxSimStates] = {};
    // Cumulative jump probabilities of each row (the next state after a
    // change); an absorbing row keeps a zero leaving rate.
    double jumpCum[kMaxSimStates][kMaxSimStates] = {};
    double leaveRate[kMaxSimStates] = {};
    double freqs[kMaxSimStates] = {};
    double freqCum[kMaxSimStates] = {};
    double shape = 0.0;  // gamma shape; 0 means no gamma
    double pinv = 0.0;
    bool discreteGamma = true;
    // Rates and cumulative probabilities of the discrete categories,
    // including a zero-rate category first when pinv > 0.
    std::vector<double> catRates;
    std::vector<double> catCum;
    int fixedRoot = -1;  // absorbing two-state model: the only root state
};

// Builds the record of a fully specified model: nucleotide (one, two or six
// substitution classes, HKY or F84 form) or two-state (rates q01, q10).
// Returns "" or the reason the model cannot be simulated.
std::string makeSimModel(const Model &m, bool twoState, bool discreteGamma, uint32_t ncat,
                         SimModel *out);
// Builds a record straight from frequencies and exchangeabilities (AC, AG,
// AT, CG, CT, GT for 4 states; one value for 2 states is unused).
void makeSimModelFromRates(SimModel *out, uint32_t nstates, const double *freqs,
                           const double *exchange, double shape, double pinv, bool discreteGamma,
                           uint32_t ncat);
// Two-state model with rates a (0 to 1) and b (1 to 0), scaled to mean rate 1.
void makeTwoStateSimModel(SimModel *out, double a, double b, double shape, double pinv,
                          bool discreteGamma, uint32_t ncat);

// A stretch of a gene-tree branch inside one species branch, which may
// carry its own local rate and model.
struct SimPiece {
    double length = 0.0;
    double rate = 1.0;
    uint32_t model = 0;
    bool localModel = false;
};

// A tree as the engine walks it: nodes in preorder (a parent before its
// children), node 0 the root.
struct SimNode {
    int32_t parent = -1;
    int32_t taxon = -1;    // row of the matrix for a tip, -1 inside
    double length = 0.0;   // of the branch above, after local rates
    double age = 0.0;      // distance from the present, set for clock trees
    uint32_t model = 0;    // local model of the branch above (index into the list)
    bool localModel = false;
    // The local rate of the branch above. On a tree the sites evolve on it
    // is already in `length`; on a coalescent species tree it is kept here
    // for the gene-tree branches that pass through.
    double rate = 1.0;
    int32_t species = -1;  // gene trees: the species branch the node lies in
    // A gene-tree branch crossing species branches with local rates or
    // models, from its upper end down; empty otherwise.
    std::vector<SimPiece> pieces;
};
struct SimTree {
    std::vector<SimNode> nodes;
};

// Sets every node's age from the branch lengths (tips at 0, a node at the
// oldest of its children's implied ages). Returns the largest disagreement
// between the ages a node's children imply (0 for a clock tree).
double setSimNodeAges(SimTree &tree);
// The branch lengths from the ages.
void setSimLengthsFromAges(SimTree &tree);

// Draws a rate from a gamma distribution of shape a and mean 1.
double randGammaMean1(RNG *rng, double a);

// The rate of one site under a model's rate distribution.
double drawSiteRate(const SimModel &m, RNG *rng);

// Expected changes on one branch beyond which the end state is drawn, not walked.
inline constexpr double kMaxWalkedChanges = 1e6;

// Evolves state `from` over time t on model m; adds the changes to *changes.
inline uint32_t evolveState(const SimModel &m, uint32_t from, double t, RNG *rng,
                            uint32_t *changes)
{
    uint32_t s = from;
    if (!(t > 0.0))
        return s;  // a zero-length branch or an invariable site copies the parent
    // Over a time that holds millions of changes the chain has long forgotten
    // where it started: the end state is drawn from the equilibrium
    // frequencies and the changes are counted by their expectation. Walked
    // one by one they could take days, deaf to an interrupt. An absorbing
    // chain is always walked: it stops.
    if (m.fixedRoot < 0) {
        double perTime = 0.0;
        for (uint32_t i = 0; i < m.nstates; ++i)
            perTime += m.freqs[i] * m.leaveRate[i];
        if (perTime * t > kMaxWalkedChanges) {
            *changes += static_cast<uint32_t>(std::min(perTime * t, 1e9));
            return selectUsingCumulProbs(m.freqCum, m.nstates, randUni(rng));
        }
    }
    for (;;) {
        const double rate = m.leaveRate[s];
        if (!(rate > 0.0))
            return s;
        t -= randExponential(rng, rate);
        if (t <= 0.0)
            return s;
        const double u = randUni(rng);
        const double *row = m.jumpCum[s];
        uint32_t next = 0;
        while (next + 1 < m.nstates && u >= row[next])
            ++next;
        s = next;
        ++*changes;
    }
}

// Simulates `nsites` sites starting at column `first` of `matrix` (one
// row of `ncols` state indices per taxon): each site's rate is drawn from
// models[siteModel], its root state from that model's frequencies, and each
// branch evolves under that model or its own local model. Returns the
// number of changes. `scratch` holds one state per node.
uint64_t simulateSites(const SimTree &tree, std::span<const SimModel> models, uint32_t siteModel,
                       uint32_t first, uint32_t nsites, uint8_t *matrix, uint32_t ncols,
                       RNG *rng, std::vector<uint8_t> &scratch, double *rateSum);

// Two-state acceptance: a character is kept when it shows at least two
// changes and at least two taxa in each state. Counts of rejections.
struct TwoStateRejections {
    uint64_t tooFewChanges = 0;
    uint64_t tooFew0 = 0;
    uint64_t tooFew1 = 0;
};
inline constexpr uint64_t kMaxTwoStateRedraws = 1000000;
// Like simulateSites for a two-state model, redrawing rejected characters.
// Returns false when one character failed kMaxTwoStateRedraws times.
bool simulateAcceptedTwoStateSites(const SimTree &tree, std::span<const SimModel> models,
                                   uint32_t siteModel, uint32_t first, uint32_t nsites,
                                   uint8_t *matrix, uint32_t ncols, uint32_t ntax, RNG *rng,
                                   std::vector<uint8_t> &scratch, double *rateSum,
                                   uint64_t *changes, TwoStateRejections *rejected);

// The expected number of branches on which the first change of a path
// from the root happens, at rate r (two-state tuning).
double expectedFirstChanges(const SimTree &tree, double r);

// Coalescent units of species-tree branch lengths.
enum class SimUnits : uint32_t { kSubstPerSite = 0, kNgen = 1, k2Ngen = 2 };

// One gene tree inside a clock species tree (ages set): one lineage per
// species tip, pairs coalescing at rate k(k-1)/2 c inside each branch, all
// lineages joining above the root. Gene-tree lengths are converted to
// substitutions per site. Tips keep the species tips' taxon rows. Where
// species branches carry local rates or models (`rate`, `localModel`), each
// gene-tree branch is cut into the pieces that lie in each species branch
// and its length is the sum of the pieces' lengths times their rates.
SimTree simulateGeneTree(const SimTree &species, SimUnits units, double theta, RNG *rng);

// The first node whose children imply different ages (beyond 1e-6): the
// node and two of its children with the ages they imply. False for a clock
// tree.
struct SimAgeConflict {
    uint32_t node = 0, childA = 0, childB = 0;
    double ageA = 0.0, ageB = 0.0;
};
bool findAgeConflict(const SimTree &tree, SimAgeConflict *conflict);
