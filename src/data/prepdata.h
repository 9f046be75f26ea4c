// Data preparation: the one entry point every analysis calls before it scores
// trees. It brings the derived character information up to date after any
// change of data, status, types or weights and builds what the criterion
// needs (packed state sets, model data, distances), each through the hooks
// the analysis subsystems install in data/data_services.h.
#pragma once

#include <cstdint>

#include "data/data_services.h"
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
// prepareData for distance without the final step, then the site patterns.
// Site patterns are not built by this library yet: answers 1 after an error
// report when they are needed.
int prepareDataForPatternBasedAnalysis(DataInfo *d, void *patterns);

// The model-state conversions a model group calls for every single-state code.
uint8_t dataCodeToDna4State(const char *modelSymbols, uint8_t code, const DataInfo *d);
uint8_t dataCodeToDna2State(const char *modelSymbols, uint8_t code, const DataInfo *d);
uint8_t dataCodeToAAState(const char *modelSymbols, uint8_t code, const DataInfo *d);
uint8_t dataCodeToStdState(const char *modelSymbols, uint8_t code, const DataInfo *d);
// The conversion for a model of the given data type index.
DataCodeToStateFxn chooseDataCodeToState(int dataTypeIndex, const DataInfo *d, bool inSimulation);
