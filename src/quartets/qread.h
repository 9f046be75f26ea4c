// Quartets typed or read from a file: the quartet text, the QUARTETS block
// and its qlist and readqmc commands.
//
// One quartet reads  TAXON "," TAXON "|" TAXON "," TAXON [":" WEIGHT]  with
// taxa by name or number; weights of a topology given more than once add up.
#pragma once

struct DataInfo;
struct QuartetData;

// Reads quartets from the active input into the data set's quartet data: up
// to the ";" of a qlist command, or to the end of a file. 0, or 1 after an
// error (the quartets read before it stay stored).
int readQuartetsQmc(DataInfo *d, bool fromFile);
// Makes a new, empty float-mode quartet record for the data set and installs
// it in place of any earlier one; null (nothing changed) on memory failure.
QuartetData *installNewQuartetData(DataInfo *d);

int doQlistCmd();
int doReadQmcCmd();
int processQuartetsBlock();

// Offers the release of quartet data to the data layer.
int installQuartetHooks();
