// The model commands of the likelihood layer: LSet, ModPartition,
// ShowModels and ShowMPartition, and the entry points the layers below
// reach through their hooks.
#pragma once

struct DataInfo;
struct LSet;

int doLsetCmd();
// Stores the settings as the current or the named model, then carries out
// estAllParams or fixAllParams; 0, 1 after an error, 2 when the user
// declines to exclude the sites given rate 0.
int checkAndStoreModelSettings(LSet *settings, const DataInfo *d);
int doModPartitionCmd();
int doShowModelCmd();
int doShowModPtnsCmd();

// Resampling in place, which the search layer reaches through its
// criterion record: the model group whose pattern weights a replicate may
// redraw (null when the settings need more), and the update after such a
// redraw; the group that may take the characters' drawn weights in place
// (null when the data must be prepared afresh), and the update after such
// a draw, the starting distances of the set-up included. 0, else 1 (2
// when stopped).
struct ModelGroup;
ModelGroup *groupToResampleInPlace(DataInfo *d);
int patternWeightsChanged(DataInfo *d);
ModelGroup *groupToReweightInPlace(DataInfo *d);
int charWeightsChanged(DataInfo *d);

// Installs what the data layer and the likelihood settings call into the
// engine; 0, or non-zero when a hook slot was already taken.
int installLikelihoodHooks();
