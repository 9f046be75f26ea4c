// Derivative-free minimisation of a function of one real variable: a
// downhill bracketing of a minimum followed by Brent's combination of
// golden-section search and successive parabolic interpolation.
//
// Every evaluation may be long (a likelihood over a whole tree), so the
// user's interrupt is polled between evaluations. An interrupted search is
// not a failure of the value: the best point found so far is still written
// and its value returned, and the status tells the caller that the search
// was cut short, so that it can stop too rather than use a half-fitted
// parameter as if converged.
#pragma once

// The objective: x points to the trial value (one element for the
// one-dimensional minimisers, n for praxis); arg is the caller's context,
// passed through unchanged. The point may be scratch storage of the
// minimiser, so the objective reads it and keeps no pointer.
using MinObjective = double (*)(const double *x, void *arg);

enum class MinStatus {
    kDone,     // converged or reached the iteration limit
    kAborted,  // stopped by the user's interrupt or a cancel request
};

// Decides, once per evaluation, whether an interrupt ends a search. An abort
// already in force when the search began, and a cancel (a negative flag),
// end it at once; a newly requested one is first confirmed with the user.
class AbortPoll {
public:
    AbortPoll();
    bool stop();

private:
    bool inForceAtStart_;
};

struct Bracket {
    double lo = 0.0;  // the ends enclosing a local minimum, lo <= hi
    double hi = 0.0;
    double bestX = 0.0;  // the lowest point evaluated and its value
    double bestF = 0.0;
    MinStatus status = MinStatus::kDone;
};

// Brackets a minimum by downhill steps from x0 and x1 (distinct). growLimit
// bounds a parabolic jump to that multiple of the last interval (0 selects
// 100). On an abort lo and hi are 0 and bestX/bestF hold the best point seen.
Bracket bracketMinimum(MinObjective f, void *arg, double x0, double x1, double growLimit);

// Minimises f on [a, b] (a < b) to the tolerance eps |x| + t (eps 0 selects
// the square root of the double epsilon). Returns the lowest value found and
// writes its abscissa to *xOut, also when aborted. status may be null.
double localMin(MinObjective f, void *arg, double *xOut, double a, double b, double eps, double t,
                MinStatus *status);

// bracketMinimum followed by localMin on the bracket. Returns the lowest value
// found and writes its abscissa to *xOut, also when aborted.
double minimizeBrent1D(MinObjective f, void *arg, double *xOut, double x0, double x1, double eps,
                       double t, double growLimit, MinStatus *status);
