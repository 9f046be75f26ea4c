// The last estimates of the model parameters, kept after a likelihood
// optimisation so that the LSet value "previous" and FixAllParams can fix
// a parameter at the value the last analysis found for it.
#pragma once

// Keeps, for every active model, each parameter the last optimisation
// estimated (ti/tv ratio, rate matrix, frequencies, site rates with the
// partition they belong to, shape, pinv, model rate) as its previous value,
// and the global rate scaler (-1.0 when it was not estimated) in the LSet
// record. A parameter that was given keeps whatever previous value it had.
void saveParamEstimates();
