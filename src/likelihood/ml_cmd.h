// The model commands of the likelihood layer: LSet, ModPartition,
// ShowModels and ShowMPartition, and the entry points the layers below
// reach through their hooks.
#pragma once

struct DataInfo;
struct LSet;

int doLsetCmd();
// Stores the settings as the current or the named model, then carries out
// estAllParams or fixAllParams; 0 or 1.
int checkAndStoreModelSettings(LSet *settings, const DataInfo *d);
int doModPartitionCmd();
int doShowModelCmd();
int doShowModPtnsCmd();

// Installs what the data layer and the likelihood settings call into the
// engine; 0, or non-zero when a hook slot was already taken.
int installLikelihoodHooks();
