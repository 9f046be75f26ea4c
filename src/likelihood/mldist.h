// Maximum-likelihood distances: each pairwise distance is the branch length
// that maximises the likelihood of the two sequences alone under the current
// likelihood model, its parameters held at their values or, where they are
// marked for estimation, estimated for each pair with the distance.
#pragma once

#include <cstdint>
#include <functional>

struct DataInfo;
struct MLDistanceHooks;
struct Set;

struct MLDistanceResult {
    double largest = -1.0;  // largest defined distance
    uint32_t undefined = 0;
    uint32_t noOptimum = 0;  // of the undefined: fits that ran off without an optimum
    uint32_t zero = 0;
    bool anyDefined = false;
};

// Fills the lower triangle distances[i][j] (j < i, rows of active taxa;
// pairs within taxonSubset when it is given): identical sequences 0, a pair
// without comparable sites undefined (-1, counted), as is one whose fit of
// the distance with parameters estimated for the pair has no finite
// optimum (counted apart as well); for least-squares
// starting lengths (lsStart) every distance is capped at 9. progress is
// called after each pair and stops the work when it returns 2. 0, 1 after
// an error report, 2 when stopped. The distance calculation reaches it
// through the hook wired at start-up.
int calcMLDistances(DataInfo *d, double **distances, const Set *taxonSubset, bool lsStart,
                    const std::function<int()> &progress, MLDistanceResult &result);

// The gamma's moment-generating function (1 - x/alpha)^(-alpha), alpha the
// first active model's shape; 0 where 1 - x/alpha is not positive. Stands
// in for the exponential of P(t) while ML distances run under a gamma shape,
// so that each distance is that of the continuous gamma.
double mgfGammaMLDist(double x);

// What the distance calculation installs to reach this engine: the matrix
// filled by calcMLDistances, and the stamp of the likelihood set-up it
// stands for.
MLDistanceHooks mlDistanceHooks();
