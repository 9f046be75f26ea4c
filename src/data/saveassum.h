// SaveAssum: the current assumptions of the active data set written as a
// NEXUS file that restores them when executed after the data.
#pragma once

int doSaveAssumCmd();
