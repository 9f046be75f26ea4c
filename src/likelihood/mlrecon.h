// Ancestral states by likelihood: the marginal posterior probability of
// each state at each internal node and site pattern of a tree whose branch
// lengths and parameters are final, the most probable state of each, and
// the table of the probabilities.
#pragma once

#include <cstdint>

struct DataInfo;
struct ModelGroup;
struct Tree;
struct TreeNode;

// The request flag of the displays that show reconstructed states.
void setReconstructingForML(bool on);
bool reconstructingForML();

// Computes the reconstruction of the tree (kept until the next one): 0, or
// 1 when the model or the data cannot be reconstructed (Mk model).
int findReconstruction(const Tree *tree, ModelGroup *g, const DataInfo *d);
// The state-set bits (model states) of the node's state at the character:
// for an internal node its reconstructed state, for a tip its observed
// code; -1 when the character has no pattern, the node is not in the
// reconstruction, or the tip's cell is missing.
int64_t getAncStateFromMLRecon(const DataInfo *d, const TreeNode *node, uint32_t character);
// The natural logs of the probability of the reconstruction at the
// character (its chosen states with the tips' data) and of the site
// likelihood; false when the character has no pattern.
bool mlReconSiteProbs(const DataInfo *d, uint32_t character, double *logRecon, double *logSiteL);
// "Marginal probabilities of each base assignment": per included character
// and internal node, each state's probability. 0, or 2 when aborted.
int showMLBaseProbs(const Tree *tree, ModelGroup *g, const DataInfo *d);
