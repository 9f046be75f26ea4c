// The DScores command: the distance-criterion scores of the trees in memory
// (least-squares residual, ME or BME length) with the fit statistics, the
// tab-separated score file, the design-matrix and expected-distance files,
// and the plot of g%SD against the weighting power.
#pragma once

int doDScoresCmd();
// The worker (argument: the run record of doDScoresCmd): 0, 1 or 2.
int dscoresThreadProc(void *arg);

// The vertical scale of the DScores power plot over the values lo..hi: the
// row step, the value of row 0, the number of rows above it, which rows carry
// a label, and the labels' decimals and width.
struct PowerPlotScale {
    double step = 1.0, base = 0.0;
    int rows = 0, labelEvery = 2, decimals = 0, labelWidth = 8;
};
PowerPlotScale powerPlotScale(double lo, double hi);
