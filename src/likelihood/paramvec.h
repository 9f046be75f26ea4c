// The model parameters marked for estimation as one flat vector of
// doubles, each group reached through a setter that loads, bounds,
// transforms and stores its values, and its optimisation by PRAXIS,
// L-BFGS-B or Brent's one-dimensional search, the branch lengths being
// optimised by passes inside the objective.
#pragma once

#include <cstdint>
#include <vector>

struct Model;
struct ModelGroup;
struct Tree;
struct PraxisData;
struct BFGSData;

// Setter modes.
enum : int { kParamLower = 0, kParamUpper = 1, kParamStart = 2, kParamStore = 3, kParamTrial = 4 };

using ParamSetter = double (*)(double *values, Model *m, int mode, bool log);
using ParamUpdateFxn = int (*)(Model *m);

struct ParamSetters {
    const char *name;
    ParamSetter setter;
    Model *model;
    uint32_t count;
    uint32_t first;
};

struct ParamUpdateFxns {
    ParamUpdateFxn fxn;
    Model *model;
};

struct ParamVector {
    std::vector<double> values;
    BFGSData *lbfgs = nullptr;
    PraxisData *praxis = nullptr;
    std::vector<ParamSetters> entries;
    std::vector<ParamUpdateFxns> updates;
    uint32_t total = 0;
    uint32_t modelCount = 0;
    uint32_t trailing = 0;

    ParamVector() = default;
    ParamVector(const ParamVector &) = delete;
    ParamVector &operator=(const ParamVector &) = delete;
    ~ParamVector();
};

// The scalar count, 0 when nothing is estimated, -1 on failure. The
// ML-distance form holds the estimated model parameters and, last, the
// distance of a pair of taxa (ActiveML curMLDist).
int createParamVector(ParamVector &v, bool mlDistForm = false);
// -ln L of the pair at the parameters and distance stored in the models.
using PairScoreFxn = double (*)(void *ctx);
// Optimises the ML-distance form from its starting values (the distance
// from curMLDist) and leaves the best point in the models and curMLDist;
// returns its -ln L (kNoLScore when an update failed).
double optimizeMLDistParams(ParamVector &v, PairScoreFxn score, void *ctx);
void disposeParameterVector(ParamVector &v);
// The minimum -ln L found from the setters' starting values. With free
// branch lengths every trial of the parameters fits them by passes; the
// tree is left holding those the best trial reached. A search's estimate
// (warm starts on) fits the lengths at its starting values first and
// starts each trial's passes from the best trial's lengths; with a score to
// beat (1e37: none) it stops, before any trial or after the coarse pass,
// once it cannot come below that score, returning the score it reached,
// above the one to beat.
double optimizeParams(ParamVector &v, Tree *tree, double beat);
// Stores the values into the models (mode 3 and the update callbacks); 1
// when an update failed.
int storeParamVector(ParamVector &v, bool log);
int storeParamValues(ParamVector &v, const double *values, bool log);

// The shape that stands for equal rates in the invariable-sites-only start
// of the gamma-plus-invariable-sites estimation.
inline constexpr double kIGPinvOnlyShape = 500.0;
// Automated model selection scores many models and wants one start each.
void setSingleStartParamEst(bool on);
// Fits started from a related fit's values and lengths (model selection)
// start each parameter trial's length passes from the best trial's lengths.
void setTrialsFromBestLengths(bool on);
// Starting values for the next estimates in place of the parsimony-based
// ones, from the fit of a related model: a value of 0 or less (rates or
// frequencies: an empty vector; six rates relative to GT otherwise) keeps
// the usual start.
struct ParamStartHints {
    double tratio = 0.0;
    double shape = 0.0;
    double pinv = 0.0;
    std::vector<double> rates;
    std::vector<double> freqs;  // one per state; empty: the usual start
};
void setParamStartHints(const ParamStartHints *hints);
// While a search compares trees that differ by one move, each estimate
// starts from the values the last estimate reached (a single model's ti/tv,
// rates, shape and pinv; the frequencies stay in the model anyway) and the
// tree's branch lengths from those it carries: the same optimum, reached
// from nearby. Off, every estimate starts from the parsimony-based values.
void setSearchWarmStarts(bool on);
bool searchWarmStarts();
// Whether a search's estimate may give up a start, before any trial or
// after the coarse pass, when what the same start gained on the last tree
// leaves it far above the score to beat (on by default; off, every start
// runs whole, which the tests compare against).
void setFirstRoundGiveUps(bool on);
// A search's time limit (searchClockNanos time, the process's CPU time in
// nanoseconds; 0 none): once it has passed an estimate runs no further
// pass of its minimiser or start and ends with the best values it reached,
// so that the search stops soon after its limit.
void setEstimateDeadline(uint64_t cpuNanos);
bool estimateDeadlinePassed();
// Whether an estimate ended by the user: a score of 0.0 or a cancelled
// status; a pending interrupt counts only once the user confirms it.
bool did_calcLWithParamEst_abort(double score);

// Derivatives with respect to t turned into those with respect to ln t;
// returns the first.
double transformDerivatives(double t, double d1, double *d2);
void pinStateFrequencies(double *p, uint32_t n, double floor);
