// The DSet command and the block of distance settings that the distance
// commands print before their results.
#pragma once

#include <cstddef>

#include "qel/qel_errormsg.h"  // PrintHook

int doDsetCmd();

// Prints the settings through `print` (the output engine when null). The
// engine indents by `indent` itself; any other printer gets the blanks in
// front of each line.
void showDistSettings(bool showObjective, bool showNegBrLen, bool showMeasure, PrintHook print = nullptr,
                      int indent = 0);

// The likelihood layer shows its own settings for maximum-likelihood
// distances; null until it installs its reporter.
using MLSettingsReporter = void (*)(PrintHook print);
void setDistMLSettingsReporter(MLSettingsReporter reporter);
