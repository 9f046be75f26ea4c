// The NJ and UPGMA commands: options, the settings report, the tree built
// (stored with its own branch lengths, drawn, optionally written to a tree
// file) and the closing notes.
#pragma once

int doNJCmd();
int doUPGMACmd();
// The work of both commands; 0, 1 on error, 2 when the user stopped it.
int doClustering(bool isUPGMA);

struct ClustData;
// The worker of one command run (argument: the ClustData).
int clusterThreadProc(void *arg);

struct DataInfo;
// Resampling runs (set up by the Bootstrap and Jackknife commands): the
// distance settings a run can use (0, or 1 after the error; the analysis
// name capitalised), and the loop
// that builds one NJ or UPGMA tree per replicate and tallies it (0, 1 on
// failure, 2 when stopped).
int checkResamplingDistances(const char *analysisName, DataInfo *d);
int clusterReplicates(bool isUPGMA, DataInfo *d);
