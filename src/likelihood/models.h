// What the likelihood settings mean for a model: applying the current LSet
// settings to a model record, storing them as the default or a named model,
// the chain of active models (one, or one per subset of a model partition),
// and the queries and parameter counts the engine and the information
// criteria use.
#pragma once

#include <cstdint>

#include "data/model.h"

struct DataInfo;
struct Nexset;

// Copies the LSet settings into the model; 0, 1 after an error report, or 2
// when the user declines to exclude the sites a rate set gives rate 0.
// `d` may be null (no data yet: a DNA model).
int applyCurrentSettingsToModel(Model *m, const DataInfo *d);
// Numbers the distinct exchangeabilities of a six-rate model: by rate class
// when the rates are estimated, else by equal rate values.
void setDnaPooling(Model *m, bool estimated);
// Stores the current settings under `name` (refused before a data matrix
// has been read, except while a simulation block is open); the model, or
// null after an error report.
Model *addCurrentModel(const char *name, const DataInfo *d, bool verbose);
// Set while a simulation block is open: named models may then be stored
// without data.
void setModelsForSimulationBlock(bool open);
bool modelsForSimulationBlock();
// A non-empty name stores a named model, an empty one the default model; 0
// or 1.
int storeCurrentModel(const char *name, const DataInfo *d, bool verbose);
// Applies the settings when the model has not had them yet (or with force)
// and readies its previous-estimate vectors; nothing without a data matrix.
// Returns as applyCurrentSettingsToModel.
int initModelData(Model *m, bool force, const DataInfo *d);

// ---- Active models ---------------------------------------------------------------

void clearActiveModels();
void appendModelToActiveModels(Model *m);
Model *firstActiveModel();
Model *nextActiveModel(const Model *m);
Model *getActiveModel(uint32_t index);
uint32_t numActiveModels();  // 1 without a prepared likelihood state
Model *getModel0();          // the first active model, else the default model
// Whether the settings in effect (the current ones, or those of the models
// the model partition names) give rates by site.
bool siteSpecificRatesInEffect();
// The default model alone, or per subset of the model partition the model
// it names; an undefined name is reported, leaves the default model alone
// active and returns 1.
int setActiveModels(Nexset *modelPartition, const DataInfo *d);
// Whether character c is the model's: every character is when no model
// partition is in force, and one the partition leaves out is anyone's.
bool characterOfModel(const Model *m, uint32_t c);

// ---- Queries -----------------------------------------------------------------------

uint32_t numModelStates(const Model *m);
uint32_t maxModelStates();
bool modelNeedsEigenSystem(const Model *m);
bool usingRateMixture(const Model *m);
bool usingModelRates();
bool estimatingModelRates();
bool usingEqualModelRates();
bool estimatingGRateScaler();
bool modelHasEqualFreqs(const Model *m);      // no array, or the equal code
bool modelHasEmpiricalFreqs(const Model *m);  // the code, or the flag; never RY or two-state
bool isTwoStateType(const Model *m);          // RY-coded or two-state
// Frequency of state 0 implied by a two-state model's rates: q10/(q01+q10);
// a negative rate counts as 0, and with no change at all the states are equal.
double twoStateImpliedPi0(const Model *m);

// Free parameters of the model, as the information criteria count them.
uint32_t countModelParams(const Model *m);
// Stores each active model's count; their sum.
uint32_t setModelParamCounts();
// Parameters marked for estimation.
uint32_t countEstimatedModelParams(const Model *m);
bool anyModelParamsEstimated();
