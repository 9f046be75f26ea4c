// The DescribeTrees command: for each listed tree the heading, the table of
// branch lengths and linkages, the parsimony score with the ensemble fit
// indices, the diagrams and, on request, the change lists, apomorphy lists
// and character diagnostics of its reconstruction, the reconstructed states
// and MPR sets as matrices (and the states in a file), and the patristic
// distances with the f value and the pairwise homoplasy they imply.
//
// It sits above the parsimony subsystem (the reconstruction) and beside the
// score formatting and criterion of the search layer.
#pragma once

struct DataInfo;
struct Tree;

int doDescribeTreesCmd();

// The table of branch lengths and linkages of a rooted, optimised tree
// (brlensOnly: user lengths without data); with brLens=sumOnly only the sum.
// Under parsimony each assigned length is followed by the least and the
// greatest length the branch takes in any most-parsimonious reconstruction.
// decimals -1: those of the parsimony lengths, or of the user lengths.
void showLinks(Tree *tree, const DataInfo *data, int n, bool brlensOnly, int decimals = -1);

// Set while a DescribeTrees works on user branch lengths alone.
extern bool describeWithBrlensOnly;
