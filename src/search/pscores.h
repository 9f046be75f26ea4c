// The PScores command: parsimony lengths, compatibility and fit indices of
// the trees in memory, per tree and per character, to the main window and
// the tree-score file, and the parsimony tests comparing the trees.
//
// It lives with the search because the tree-score file, the score
// comparison and the temporary switch of criterion belong to this layer; the
// measures themselves come from the parsimony subsystem below.
#pragma once

struct StreamInfo;

int doPScoresCmd();

// Opens a score (or other result) file through the stream layer, so that a
// replaced file takes the old one's place only once it is complete; honours
// the shared replace and append flags. Null after an error report.
StreamInfo *openScoreFile(const char *name);
