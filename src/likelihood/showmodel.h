// Listing a model's settings (ShowModels, and the likelihood commands that
// report the model in use), and the LSet actions that mark every stored
// model's parameters for estimation or fix them at their last estimates.
#pragma once

#include <string>

#include "qel/qel_errormsg.h"

struct Model;

// Labels are right-aligned in this many columns.
inline constexpr int kModelLabelWidth = 34;

// out null: qel_printf.
void showModel(const Model *m, bool showName, bool showFreqValues, bool continuousGamma,
               PrintHook out);
void showStateFreqsForModel(const Model *m, const double *freqs, PrintHook out);
void outputStateFreqSetting(const char *label, bool showValues, const Model *m,
                            const double *freqs, PrintHook out);
void showDnaRateMatrix(const Model *m, PrintHook out);
// The classical model the settings correspond to ("HKY85+I+G"), with a
// recognised submodel of a restricted six-rate model; nucleotide models only.
std::string modelCorrespondence(const Model *m);

// Both return 0 and leave the prepared likelihood data stale.
int setAllParamsToEstimated();
int setAllParamsToFixed();
