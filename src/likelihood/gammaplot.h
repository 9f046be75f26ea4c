// GammaPlot: the density of the mean-1 gamma distribution of a shape drawn as
// a text histogram, followed by the category rates of its discrete
// approximation.
#pragma once

#include <cstdint>

// Reads the GammaPlot options (bound to the LSet record), draws the plot and
// lists the category rates; the LSet values are put back afterwards unless
// "apply" was given. 0, 1 after an error, 2 when interrupted.
int doGammaPlotCmd();

// The axis line of the plot: x as "%4.2f", a '+' at the origin, width - 1
// '-' and a closing '+'.
void drawTopBotLine(uint32_t width, double x);
// The density scale: "0.0" under the origin (column 5) and the largest
// density as "%.2f" ending in the last column of a line of lineLength.
void drawTopBotLegend(uint32_t lineLength, double maxDensity);
