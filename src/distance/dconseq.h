// The DConSeq command: for every taxon, the number of included characters
// at which it differs from the consensus of all taxa (the states a star of
// all taxa assigns its hub by parsimony), overall and per subset of a
// character partition, as a table and optionally a tab-separated file.
#pragma once

int doDConSeqCmd();
// The worker (argument: the run record of doDConSeqCmd): 0, 1 or 2.
int dconseqThreadProc(void *arg);
