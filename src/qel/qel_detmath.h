// Elementary functions whose every bit is this program's own.
//
// The C library picks among variants of exp, log, pow, lgamma, sin, ... by
// the CPU it runs on (with and without FMA, for one), and the variants
// differ in the last bit. On a flat likelihood surface a last-bit change
// in one step moves where a minimiser stops, and so moves printed
// estimates from one machine to the next. Everything on the path from the
// data to a printed estimate calls these instead: plain IEEE double
// arithmetic in a fixed order, compiled without contraction, gives the same
// bits on every x86-64 machine. Accuracy is within a few units in the last
// place of the true value (tests/qel/test_detmath.cpp measures it).
#pragma once

double detExp(double x);
double detLog(double x);
double detLog1p(double x);
// x^y through exp(y log x), exact products for small integral y; a negative
// base takes only integral exponents (else NaN), as pow does.
double detPow(double x, double y);
// log|Gamma(x)| for x > 0; +infinity at 0 and below.
double detLgamma(double x);
double detSin(double x);
// asin for x in [-1, 1]; NaN outside.
double detAsin(double x);
