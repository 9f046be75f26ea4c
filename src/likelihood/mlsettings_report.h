// The "Likelihood settings:" block that likelihood commands and searches
// print before they run: the models in effect and how the engine will
// evaluate and optimise them. It reads the prepared likelihood state, so it
// follows the likelihood set-up.
#pragma once

#include <cstdint>

#include "qel/qel_errormsg.h"

// With modelsOnly the block ends after the models. out null: qel_printf.
void showMLSettings(bool modelsOnly, PrintHook out);
// The distance type least-squares starting branch lengths are computed
// with: 15 maximum-likelihood, 4 uncorrected p (Mkv), else 5 Jukes-Cantor.
uint32_t chooseDistForLSBrlens(const struct Model *m);
