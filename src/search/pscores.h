// The PScores command: parsimony lengths, compatibility and fit indices of
// the trees in memory, per tree and per character, to the main window and
// the tree-score file, and the parsimony tests comparing the trees.
//
// It lives with the search because the tree-score file, the score
// comparison and the temporary switch of criterion belong to this layer; the
// measures themselves come from the parsimony subsystem below.
#pragma once

int doPScoresCmd();
