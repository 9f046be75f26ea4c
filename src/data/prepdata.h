// Data preparation: the one entry point every analysis calls before it scores
// trees. It brings the derived character information up to date after any
// change of data, status, types or weights and builds what the criterion
// needs (packed state sets, model data, distances), each through the hooks
// the analysis subsystems install in data/data_services.h.
#pragma once

#include <cstdint>

#include "data/data_services.h"
#include "data/patterns.h"
#include "data/vorn_data.h"

// Criterion codes of a preparation request; kPrepCurrentCriterion resolves
// to the criterion in effect.
inline constexpr uint32_t kPrepParsimony = 0;
inline constexpr uint32_t kPrepLikelihood = 1;
inline constexpr uint32_t kPrepDistance = 2;
inline constexpr uint32_t kPrepCurrentCriterion = 5;

// Request flags.
inline constexpr uint32_t kPrepNoDistances = 0x02;
inline constexpr uint32_t kPrepMLFlagA = 0x04;  // passed on to the likelihood set-up
inline constexpr uint32_t kPrepMLFlagB = 0x20;

// 0 success, 1 error, 2 aborted by the user. With noFinalStep only the data
// are brought up to date and the model-state conversion installed: no
// packing, likelihood set-up or distances.
int prepareData(uint32_t criterion, uint32_t flags, bool noFinalStep);

// Preparation for the distance computations; 0, 1 or 2.
int prepareForDistCalc(DataInfo *d);
// prepareData for distance without the final step, then the group's site
// patterns unless they are valid; 0 or 1.
int prepareDataForPatternBasedAnalysis(DataInfo *d, ModelGroup *group);

// The model-state conversions a model group calls for every single-state
// code: the model state, or 255 when the model has no such state. The model's
// own symbols are those of the default model.
int dataCodeToDna4State(uint8_t code, const DataInfo *d, const ModelGroup *g);
int dataCodeToDna2State(uint8_t code, const DataInfo *d, const ModelGroup *g);
int dataCodeToAAState(uint8_t code, const DataInfo *d, const ModelGroup *g);
int dataCodeToStdState(uint8_t code, const DataInfo *d, const ModelGroup *g);
// The conversion for a model of the given type (kModel*).
DataCodeToStateFxn chooseDataCodeToState(uint32_t modelType, const DataInfo *d, bool inSimulation);
