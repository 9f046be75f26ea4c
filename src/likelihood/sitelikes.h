// The likelihood of each site pattern on a tree with its current branch
// lengths and model values, and the posterior probability of each rate
// category at each pattern: what LScores prints per site, writes to its
// score file, stores as character weights and hands to the topology tests.
#pragma once

#include <cstdint>
#include <vector>

struct ModelGroup;
struct Tree;

struct SiteLikes {
    std::vector<double> lnL;  // per group pattern; -infinity for a likelihood of 0
    // With categories asked for: columns are the invariable-sites category
    // (when the group has one) then the rate categories; npat x ncat, -1.0
    // where a pattern has no such category.
    uint32_t ncat = 0;
    bool invarCateg = false;
    std::vector<double> post;
    std::vector<double> meanRate;      // posterior mean rate per pattern
    std::vector<uint32_t> maxCateg;    // most probable column per pattern
};

// Plain pruning in double precision over the group's patterns; under the Mk
// model each pattern conditioned on being variable, as the engine scores it
// (no categories there: the Mk model has no rate mixtures). 0 on success.
int calcSiteLikes(const Tree *tree, ModelGroup *g, bool categories, SiteLikes &out);
// What the pruning of this file and the reconstruction share: the rates and
// weights of a site category's rate categories (one rate of weight 1 for
// site-specific rates or a model without rate variation), a tip's partial
// likelihoods at a pattern (1 for each state its code allows), and the
// tree's nodes with parents before children.
struct SiteCategory;
struct TipRow;
struct TreeNode;
void siteCategoryRates(const SiteCategory &c, std::vector<double> &rates, std::vector<double> &probs);
void tipPartials(const TipRow &row, uint32_t p, uint32_t n, double *x);
std::vector<const TreeNode *> nodesParentsFirst(const Tree *tree);
// Under the Mk model: whether a tip's code at a pattern allows model state
// s (missing data allow every state), and the term of the tip's branch
// from state s, summed over the states the code allows, with the branch's
// matrix entries on and off the diagonal (1 for missing data).
bool mkTipAllows(const TipRow &row, uint32_t code, uint32_t n, uint32_t s);
double mkTipEdgeTerm(const TipRow &row, uint32_t code, uint32_t n, uint32_t s, double same, double diff);
// One child's share of its parent's partial likelihoods over n states:
// x[i] *= sum over j of P[i][j] child[j] (P row-major).
void mulChildPartials(const double *P, const double *child, uint32_t n, double *x);

// The column count categories would have (rate categories, plus one for an
// invariable-sites category), the largest over the group's models.
uint32_t siteLikeCategories(const ModelGroup *g, bool *invarCateg);

// One rate per site pattern with the branch lengths held: each pattern's
// lengths scaled by the rate that maximises its own likelihood, found on a
// grid (0, then 0.1 doubling to 102.4) and refined by Brent's method within
// a factor of 2. A constant pattern takes rate 0. 0, 1 when the group cannot
// be scored this way (the Mk model), 2 when the user stopped it.
struct PatternRates {
    std::vector<double> rate;  // per group pattern
    std::vector<double> lnL;   // at that rate
};
int estimatePatternRates(const Tree *tree, ModelGroup *g, double brentEps, double brentT, PatternRates &out);
