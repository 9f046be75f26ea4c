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

#include <cstdint>
#include <vector>

struct DataInfo;
struct Tree;
struct TreeNode;

int doDescribeTreesCmd();

// What DescribeTrees needs from the likelihood engine, installed by it at
// start-up: the set-up for the data, the score of a tree with its branch
// lengths optimised in place (1e37 when it failed), with the standard error
// and the zero-length test of each branch when asked, what the last score
// found for each branch, and whether model parameters are estimated.
struct LikelihoodDescribeHooks {
    int (*prepare)(DataInfo *d);  // 0, or the failing status
    double (*score)(Tree *tree, bool stdErrs);
    double (*stdErr)(const TreeNode *node);       // negative: none
    double (*zeroLenDiff)(const TreeNode *node);  // -ln L with the branch at 0, minus the score
    int (*zeroLenTest)();                         // 0 none, 1 full, 2 crude
    bool (*paramsEstimated)();
    // The marginal reconstruction of the (rooted) tree: computed, a node's
    // state bits at a character (negative for none), the table of state
    // probabilities (0, 2 when aborted); reconstruct answers 1 when the
    // model cannot be reconstructed.
    int (*reconstruct)(Tree *tree, DataInfo *d);
    int64_t (*stateOf)(const DataInfo *d, const TreeNode *node, uint32_t c);
    int (*showProbabilities)(Tree *tree, DataInfo *d);
    bool (*allProbs)();  // the probability table is asked for (LSet allProbs)
    // A molecular clock (the lengths are node ages apart) and branch
    // lengths held fixed (no standard errors to show); null: never.
    bool (*clock)();
    bool (*fixedLengths)();
};
void installLikelihoodDescribeHooks(const LikelihoodDescribeHooks &hooks);

// The columns the branch table shows after each length (besides the
// parsimony ranges, which go with the criterion).
enum class LinkColumns : uint8_t {
    kNone,
    kStdErr,           // likelihood: the standard error (with the test, when run)
    kClusteringLevel,  // a distance tree rooted at the ancestor: the node's height
    kRootAndTips,      // likelihood under a clock: distance from the root and to the tips
};

// What the branch table shows beside each length; per node (indexed by node
// number in the tree's node array) the likelihood's standard errors and
// zero-length tests.
struct LinkExtras {
    LinkColumns columns = LinkColumns::kStdErr;
    std::vector<double> stdErr;
    std::vector<double> lnLDiff;
    int zeroLenTest = 0;  // 0 no test columns, 1 full, 2 crude
};

// The likelihood's columns: node heights under a clock, none for fixed
// lengths, else the standard errors.
LinkColumns likelihoodLinkColumns();
// Scores the tree under likelihood with its lengths optimised and roots it
// for display, filling the extras (standard errors, zero-length tests, the
// columns) for the branch table. 0, or the failing status.
int scoreLikelihoodForLinks(Tree *tree, DataInfo *d, uint32_t n, LinkExtras &extras);

// The table of branch lengths and linkages of a rooted, optimised tree
// (brlensOnly: user lengths without data); with brLens=sumOnly only the sum.
// Under parsimony each assigned length is followed by the least and the
// greatest length the branch takes in any most-parsimonious reconstruction.
// decimals -1: those of the parsimony lengths, or of the user lengths.
// With extras, their columns follow each length.
void showLinks(Tree *tree, const DataInfo *data, int n, bool brlensOnly, int decimals = -1,
               const LinkExtras *extras = nullptr);

// Set while a DescribeTrees works on user branch lengths alone.
extern bool describeWithBrlensOnly;
