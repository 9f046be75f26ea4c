// PatFitTest: do the site-pattern frequencies a tree and model predict match
// those observed? With four taxa every one of the 256 patterns is compared.
#pragma once

#include <cstdint>
#include <vector>

struct ModelGroup;
struct Tree;

inline constexpr unsigned kAllFourTaxonPatterns = 256;

// Probability of each of the 256 patterns of four taxa (the first active
// taxon varying slowest, states in the order A, C, G, T) on the tree with
// its current branch lengths, under the model (and site rate) of the group's
// site category `cat`; 0, or 1 when the group has no prepared model or the
// tree is not one of four taxa.
int fourTaxonPatternProbs(const Tree *tree, const ModelGroup *g, uint32_t cat, std::vector<double> &prob);

// Probability of each class of patterns on a binary tree of ntax taxa under
// the group's site category `cat`: E[s * 16 + U] for s Fitch steps (0 ..
// ntax - 1) and U the mask of the states present (bit 0 A .. bit 3 T). 0,
// or 1 when the group has no prepared model or the tree is not binary.
int pooledClassProbs(const Tree *tree, const ModelGroup *g, uint32_t cat, uint32_t ntax, std::vector<double> &E);

// The PatFitTest handler: 0, 1 (error) or 2 (aborted).
int doPatFitTest();
