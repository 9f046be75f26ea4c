// Brent's principal-axis method: derivative-free minimisation of a function
// of n parameters by line searches along directions kept conjugate, random
// steps when the problem is ill-conditioned, a quadratic extrapolation along
// a curved valley, and a periodic re-orientation along the principal axes
// found by a singular value decomposition.
//
// The random steps come from a generator seeded identically at every call,
// so the same inputs always take the same path and give the same result.
#pragma once

#include <cstdint>
#include <vector>

#include "qel/qel_brent.h"

struct PraxisData {
    double *x;             // the caller's parameters (not owned): start and result
    uint32_t n;
    std::vector<double> v;  // n x n, column j (v[j * n + i]) is direction j
    std::vector<double> work;  // 6n: d, y, z, q0, q1 and the line's trial point
    double machinePrecision;
    uint8_t illConditioned;  // when set, treated as ill-conditioned from the start
    double unusedScale;
};

// Null on allocation failure. singlePrecision selects a precision fit for an
// objective computed in floats.
PraxisData *createPraxisData(double *x, uint32_t n, bool singlePrecision);
int destroyPraxisData(PraxisData *record);  // null accepted; returns 0

// Minimises f from record->x and leaves the lowest point found there,
// returning its value, also when interrupted (then *status is kAborted).
// t0 is the absolute tolerance (<= 0 selects 1e-5), h0 the largest step
// expected (<= 0 selects 1.0). With n = 1 the parameter is minimised by
// minimizeBrent1D. status may be null.
double praxis(uint32_t n, MinObjective f, void *arg, PraxisData *record, double t0, double h0,
              MinStatus *status);
