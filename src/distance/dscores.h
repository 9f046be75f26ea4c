// The DScores command: the distance-criterion scores of the trees in memory
// (least-squares residual, ME or BME length) with the fit statistics, the
// tab-separated score file, the design-matrix and expected-distance files,
// and the plot of g%SD against the weighting power.
#pragma once

int doDScoresCmd();
// The worker (argument: the run record of doDScoresCmd): 0, 1 or 2.
int dscoresThreadProc(void *arg);
