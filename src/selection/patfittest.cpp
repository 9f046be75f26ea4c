#include "selection/patfittest.h"

#include <cmath>
#include <algorithm>
#include <cstdio>
#include <new>
#include <string>
#include <unordered_map>

#include "cli/qel_cmdoptions.h"
#include "data/prepdata.h"
#include "likelihood/chgmatrix.h"
#include "likelihood/clapool.h"
#include "likelihood/kernels/lik_kernels.h"
#include "likelihood/mlsettings_report.h"
#include "likelihood/modelgroup.h"
#include "likelihood/sitelikes.h"
#include "likelihood/treelike.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_multithread.h"
#include "qel/qel_output.h"
#include "qel/qel_sets.h"
#include "qel/qel_time.h"
#include "search/hsprep.h"
#include "search/scores.h"
#include "selection/selection_settings.h"
#include "trees/treebuf.h"
#include "trees/treeedit.h"
#include "trees/treelist.h"
#include "trees/treeutil.h"

namespace {

constexpr uint32_t kNuc = 4;
constexpr char kNucSymbols[] = "ACGT";

uint32_t stateOfTaxon(uint32_t pattern, uint32_t taxon) { return (pattern >> (2 * (3 - taxon))) & 3; }

struct PatFitRun {
    DataInfo *d = nullptr;
    std::vector<uint32_t> included;
    std::vector<double> weights;   // per included character
    double total = 0;              // N: the included characters' total weight
    std::vector<double> observed;  // per pattern of the 256, weighted
    std::vector<uint32_t> trees;   // 1-based numbers of the listed trees
};

// The included weight each site category (a model, or a model and its site
// rate) holds: the expected frequencies are its pattern probabilities times
// that weight, summed, so each site is expected under its own model.
int categoryWeights(const PatFitRun &r, const ModelGroup *g, std::vector<double> &w)
{
    if (g == nullptr || g->engine == nullptr || g->siteToGroupPattern == nullptr)
        return 1;
    const CLMappings &map = g->engine->map;
    w.assign(map.siteCats.size(), 0.0);
    for (size_t i = 0; i < r.included.size(); ++i) {
        const uint32_t p = g->siteToGroupPattern[r.included[i]];
        if (p == kNoSite || p >= map.patSiteCat.size() || map.patSiteCat[p] >= w.size())
            return 1;
        w[map.patSiteCat[p]] += r.weights[i];
    }
    return 0;
}

// The unpooled table of one tree: each pattern's probability, how often the
// included characters show it, and how often the model expects it.
int compareObsExpFreqs(const Tree *tree, const PatFitRun &r)
{
    const ModelGroup *g = activeModelGroup();
    std::vector<double> weight, prob(kAllFourTaxonPatterns, 0.0), one;
    bool failed = categoryWeights(r, g, weight) != 0;
    for (uint32_t cat = 0; !failed && cat < weight.size(); ++cat) {
        if (weight[cat] == 0.0)
            continue;
        failed = fourTaxonPatternProbs(tree, g, cat, one) != 0;
        for (uint32_t p = 0; !failed && p < kAllFourTaxonPatterns; ++p)
            prob[p] += weight[cat] / r.total * one[p];
    }
    if (failed) {
        qel_errorMsg(0, "Pattern probabilities could not be calculated for this tree.");
        return 1;
    }
    const double n = r.total;
    const char *head2 = "   num pattern  probability    frequency        frequency";
    const std::string rule(std::char_traits<char>::length(head2), '-');
    qel_printf("\nProbabilities of all possible patterns:\n\n");
    qel_printf("                    pattern     observed         expected\n");
    qel_printf("%s\n%s\n", head2, rule.c_str());
    double sumP = 0.0, sumObs = 0.0, sumExp = 0.0;
    for (uint32_t p = 0; p < kAllFourTaxonPatterns; ++p) {
        qel_printf("%6d    %c%c%c%c%13.6f%13g%17.3f\n", static_cast<int>(p + 1), kNucSymbols[stateOfTaxon(p, 0)],
                   kNucSymbols[stateOfTaxon(p, 1)], kNucSymbols[stateOfTaxon(p, 2)], kNucSymbols[stateOfTaxon(p, 3)],
                   prob[p], r.observed[p], n * prob[p]);
        sumP += prob[p];
        sumObs += r.observed[p];
        sumExp += n * prob[p];
    }
    qel_printf("%s\n", rule.c_str());
    qel_printf("%27.6f%13.9g%17.3f\n", sumP, sumObs, std::round(sumExp));
    return 0;
}

// The pooled table of one tree (below).
int showPooledTable(const Tree *tree, const PatFitRun &r, uint32_t ntax);

int patFitThreadProc(void *arg)
{
    const PatFitRun &r = *static_cast<const PatFitRun *>(arg);
    TreeBuffer *buf = getActiveTreeBuffer();
    TreeHandle tree(createSearchTree(r.d));
    // Sized as the tree it copies: with taxa deleted a tree sized for the
    // active taxa cannot hold the copy.
    TreeHandle unrooted(createSearchTree(r.d));
    if (!tree)
        return 1;
    TimeMark start{}, stop{};
    setTimeMark(&start);
    for (const uint32_t number : r.trees) {
        if (getTree(buf, number, tree.get()) != 0)
            return 1;
        const double score = calcTreeLikelihood(tree.get(), kNoLScore);
        if (score >= kNoLScore)
            return getAbortedStatus() != 0 ? 2 : 1;
        qel_printf("\nTree number %u:\n", number);
        qel_printf("  -Ln likelihood = %s\n", scoreToString(kCriterionLikelihood, 0, 5, score).c_str());
        const Tree *held = tree.get();
        if (held->flags & kTreeRootedAtAnc) {
            // The classes and pattern probabilities are those of the unrooted
            // tree held at a tip: the models are reversible, so the two root
            // edges act as one, and the root's ancestor is no taxon.
            if (!unrooted || copyTree(held, unrooted.get()) != 0 || derootTree(unrooted.get(), nullptr, true) != 0) {
                qel_errorMsg(0, "Tree %u could not be unrooted for the pattern-fit test.", number);
                return 1;
            }
            setTraversalSeq(unrooted.get());
            held = unrooted.get();
        }
        const int rc = patfitOpt.pool ? showPooledTable(held, r, static_cast<uint32_t>(r.d->nActive))
                                      : compareObsExpFreqs(held, r);
        if (rc != 0)
            return rc;
    }
    setTimeMark(&stop);
    qel_printf("\n");
    showTimeUsed(&start, &stop, 0, " to calculate pattern probabilities");
    return 0;
}

}  // namespace

int fourTaxonPatternProbs(const Tree *tree, const ModelGroup *g, uint32_t cat, std::vector<double> &prob)
{
    if (g == nullptr || g->engine == nullptr || g->useMkv || g->nstates != kNuc ||
        cat >= g->engine->map.siteCats.size())
        return 1;
    const SiteCategory &c = g->engine->map.siteCats[cat];
    std::vector<double> rates, probs;
    siteCategoryRates(c, rates, probs);
    const uint32_t k = static_cast<uint32_t>(rates.size()), n = kNuc;
    const double *pi = c.model->engine->pi.data();
    const double pinv = c.model->engine->pinv;
    const std::vector<const TreeNode *> order = nodesParentsFirst(tree);
    const size_t nodes = order.size();
    std::unordered_map<const TreeNode *, size_t> slot;
    for (size_t v = 0; v < nodes; ++v) {
        slot[order[v]] = v;
        if (isTipInput(order[v]) && (order[v]->index < 0 || order[v]->index >= 4))
            return 1;
    }
    // P(t) of every branch and rate: node v's branch to its parent.
    std::vector<double> P(nodes * k * n * n, 0.0);
    double *rows[kNuc];
    for (size_t v = 1; v < nodes; ++v)
        for (uint32_t r = 0; r < k; ++r) {
            double *m = P.data() + (v * k + r) * n * n;
            for (uint32_t i = 0; i < n; ++i)
                rows[i] = m + i * n;
            const double t = getBranchLen(order[v]) * rates[r] * c.model->relRate;
            if (calcChgMatrix(nullptr, g, c.model, n, rows, t) != 0)
                return 1;
        }
    prob.assign(kAllFourTaxonPatterns, 0.0);
    std::vector<double> x(nodes * k * n);
    for (uint32_t p = 0; p < kAllFourTaxonPatterns; ++p) {
        for (size_t v = nodes; v-- > 0;) {
            const TreeNode *node = order[v];
            double *xv = x.data() + v * k * n;
            if (isTipInput(node)) {
                const uint32_t s = stateOfTaxon(p, static_cast<uint32_t>(node->index));
                for (uint32_t i = 0; i < k * n; ++i)
                    xv[i] = i % n == s ? 1.0 : 0.0;
            } else {
                std::fill_n(xv, k * n, 1.0);
            }
            for (const TreeNode *ch = node->firstChild; ch != nullptr; ch = ch->nextSib) {
                const size_t w = slot.at(ch);
                const double *xw = x.data() + w * k * n;
                for (uint32_t r = 0; r < k; ++r)
                    mulChildPartials(P.data() + (w * k + r) * n * n, xw + r * n, n, xv + r * n);
            }
        }
        double like = 0.0;
        for (uint32_t r = 0; r < k; ++r)
            for (uint32_t i = 0; i < n; ++i)
                like += probs[r] * pi[i] * x[r * n + i];
        // The rate-category weights already leave out the invariable sites.
        const uint32_t s0 = stateOfTaxon(p, 0);
        if (pinv > 0.0 && stateOfTaxon(p, 1) == s0 && stateOfTaxon(p, 2) == s0 && stateOfTaxon(p, 3) == s0)
            like += pinv * pi[s0];
        prob[p] = like;
    }
    return 0;
}

namespace {

// A class array Q[s][U][F][x] of one subtree: s steps, U the states at its
// leaves, F its Fitch set, x the state at its top (masks over A, C, G, T).
struct ClassArray {
    uint32_t steps = 0;
    std::vector<double> q;
    explicit ClassArray(uint32_t s) : steps(s), q(size_t{s} * 16 * 16 * kNuc, 0.0) {}
    double &at(uint32_t s, uint32_t U, uint32_t F, uint32_t x) { return q[((size_t{s} * 16 + U) * 16 + F) * kNuc + x]; }
    double at(uint32_t s, uint32_t U, uint32_t F, uint32_t x) const
    {
        return q[((size_t{s} * 16 + U) * 16 + F) * kNuc + x];
    }
};

// The (U, F) pairs that can occur: F a non-empty subset of U.
std::vector<std::pair<uint32_t, uint32_t>> stateSetPairs()
{
    std::vector<std::pair<uint32_t, uint32_t>> pairs;
    for (uint32_t U = 1; U < 16; ++U)
        for (uint32_t F = 1; F < 16; ++F)
            if ((F & ~U) == 0)
                pairs.emplace_back(U, F);
    return pairs;
}

// The child's classes seen from each state of its parent: C[s][U][F][x] =
// sum over y of P[x][y] Q[s][U][F][y].
ClassArray seenFromParent(const ClassArray &child, const double *P)
{
    ClassArray c(child.steps);
    for (size_t i = 0; i < child.q.size(); i += kNuc)
        for (uint32_t x = 0; x < kNuc; ++x) {
            double s = 0.0;
            for (uint32_t y = 0; y < kNuc; ++y)
                s += P[x * kNuc + y] * child.q[i + y];
            c.q[i + x] = s;
        }
    return c;
}

// The parent's classes from two children seen from it: Fitch sets that meet
// keep their intersection, disjoint ones join at the cost of a step.
void combineClasses(const ClassArray &a, const ClassArray &b, const std::vector<std::pair<uint32_t, uint32_t>> &pairs,
                    ClassArray &out)
{
    const uint32_t S = out.steps;
    for (uint32_t s1 = 0; s1 < S; ++s1)
        for (const auto &[U1, F1] : pairs)
            for (uint32_t x = 0; x < kNuc; ++x) {
                const double ca = a.at(s1, U1, F1, x);
                if (ca == 0.0)
                    continue;
                for (uint32_t s2 = 0; s1 + s2 < S; ++s2)
                    for (const auto &[U2, F2] : pairs) {
                        const double cb = b.at(s2, U2, F2, x);
                        if (cb == 0.0)
                            continue;
                        const uint32_t meet = F1 & F2;
                        const uint32_t s = meet ? s1 + s2 : s1 + s2 + 1;
                        if (s < S)
                            out.at(s, U1 | U2, meet ? meet : F1 | F2, x) += ca * cb;
                    }
            }
}

ClassArray leafClasses(uint32_t S)
{
    ClassArray q(S);
    for (uint32_t x = 0; x < kNuc; ++x)
        q.at(0, 1u << x, 1u << x, x) = 1.0;
    return q;
}

// Fitch steps of one character on the tree (children before parents in
// reverse of `order`), and the set of states at its leaves.
uint32_t fitchSteps(const std::vector<const TreeNode *> &order,
                    const std::unordered_map<const TreeNode *, size_t> &slot, const DataInfo *d, uint32_t c,
                    uint32_t *leafStates)
{
    std::vector<uint32_t> F(order.size(), 0);
    uint32_t steps = 0, U = 0;
    for (size_t v = order.size(); v-- > 0;) {
        const TreeNode *node = order[v];
        uint32_t set = 0;
        bool first = true;
        if (isTipInput(node)) {
            set = 1u << getXijRaw(d, node->index, c);
            U |= set;
            first = false;
        }
        for (const TreeNode *ch = node->firstChild; ch != nullptr; ch = ch->nextSib) {
            const uint32_t f = F[slot.at(ch)];
            if (first) {
                set = f;
                first = false;
            } else if ((set & f) != 0) {
                set &= f;
            } else {
                set |= f;
                ++steps;
            }
        }
        F[v] = set;
    }
    *leafStates = U;
    return steps;
}

std::string makeStateString(uint32_t mask)
{
    std::string s;
    for (uint32_t x = 0; x < kNuc; ++x)
        s += (mask >> x & 1) ? kNucSymbols[x] : ' ';
    return s;
}

}  // namespace

int pooledClassProbs(const Tree *tree, const ModelGroup *g, uint32_t cat, uint32_t ntax, std::vector<double> &E)
{
    if (g == nullptr || g->engine == nullptr || g->useMkv || g->nstates != kNuc ||
        cat >= g->engine->map.siteCats.size())
        return 1;
    const SiteCategory &c = g->engine->map.siteCats[cat];
    std::vector<double> rates, probs;
    siteCategoryRates(c, rates, probs);
    const double *pi = c.model->engine->pi.data();
    const std::vector<const TreeNode *> order = nodesParentsFirst(tree);
    std::unordered_map<const TreeNode *, size_t> slot;
    for (size_t v = 0; v < order.size(); ++v) {
        slot[order[v]] = v;
        const TreeNode *ch = order[v]->firstChild;
        // Fitch classes are defined here for two-way splits only.
        if (v > 0 && ch != nullptr && (ch->nextSib == nullptr || ch->nextSib->nextSib != nullptr))
            return 1;
        if (v == 0 && (ch == nullptr || ch->nextSib != nullptr))
            return 1;
    }
    const uint32_t S = ntax;
    const auto pairs = stateSetPairs();
    E.assign(size_t{S} * 16, 0.0);
    double P[kNuc * kNuc];
    double *rows[kNuc];
    for (uint32_t i = 0; i < kNuc; ++i)
        rows[i] = P + i * kNuc;
    for (size_t r = 0; r < rates.size(); ++r) {
        std::vector<ClassArray> q(order.size(), ClassArray(0));
        auto seen = [&](const TreeNode *node) -> int {
            const size_t w = slot.at(node);
            if (calcChgMatrix(nullptr, g, c.model, kNuc, rows, getBranchLen(node) * rates[r] * c.model->relRate) != 0)
                return 1;
            q[w] = seenFromParent(q[w], P);
            return 0;
        };
        for (size_t v = order.size(); v-- > 1;) {
            const TreeNode *node = order[v];
            if (node->firstChild == nullptr) {
                q[v] = leafClasses(S);
                continue;
            }
            const TreeNode *a = node->firstChild, *b = a->nextSib;
            if (seen(a) != 0 || seen(b) != 0)
                return 1;
            q[v] = ClassArray(S);
            combineClasses(q[slot.at(a)], q[slot.at(b)], pairs, q[v]);
            q[slot.at(a)] = ClassArray(0);
            q[slot.at(b)] = ClassArray(0);
        }
        // The root leaf holds its own state; its subtree hangs below it.
        const TreeNode *child = order[0]->firstChild;
        if (seen(child) != 0)
            return 1;
        ClassArray root(S);
        combineClasses(leafClasses(S), q[slot.at(child)], pairs, root);
        for (uint32_t s = 0; s < S; ++s)
            for (const auto &[U, F] : pairs)
                for (uint32_t x = 0; x < kNuc; ++x)
                    E[size_t{s} * 16 + U] += probs[r] * pi[x] * root.at(s, U, F, x);
    }
    // The rate-category weights leave out the invariable sites: constant.
    if (const double pinv = c.model->engine->pinv; pinv > 0.0)
        for (uint32_t x = 0; x < kNuc; ++x)
            E[1u << x] += pinv * pi[x];
    return 0;
}

namespace {

// The pooled table of one tree: classes of Fitch steps (the last one
// holding every count from m on) and of the states present.
int showPooledTable(const Tree *tree, const PatFitRun &r, uint32_t ntax)
{
    const ModelGroup *g = activeModelGroup();
    std::vector<double> weight, E(size_t{ntax} * 16, 0.0), one;
    int rc = categoryWeights(r, g, weight);
    try {
        for (uint32_t cat = 0; rc == 0 && cat < weight.size(); ++cat) {
            if (weight[cat] == 0.0)
                continue;
            rc = pooledClassProbs(tree, g, cat, ntax, one);
            for (size_t i = 0; rc == 0 && i < E.size(); ++i)
                E[i] += weight[cat] / r.total * one[i];
        }
    } catch (const std::bad_alloc &) {
        // Many taxa need large class arrays; running out ends the command.
        qel_errorMsg(0, "Not enough memory for the pattern-class probabilities of this tree.");
        return 1;
    }
    if (rc != 0) {
        qel_errorMsg(0, "Pattern-class probabilities could not be calculated for this tree (it must be binary).");
        return 1;
    }
    const uint32_t m = patfitOpt.maxsteps == 0 ? ntax - 1 : std::min<uint32_t>(patfitOpt.maxsteps, ntax - 1);
    std::vector<double> exp(size_t{m + 1} * 16, 0.0), obs(size_t{m + 1} * 16, 0.0);
    for (uint32_t s = 0; s < ntax; ++s)
        for (uint32_t U = 1; U < 16; ++U)
            exp[size_t{std::min(s, m)} * 16 + U] += E[size_t{s} * 16 + U];
    const std::vector<const TreeNode *> order = nodesParentsFirst(tree);
    std::unordered_map<const TreeNode *, size_t> slot;
    for (size_t v = 0; v < order.size(); ++v)
        slot[order[v]] = v;
    for (size_t i = 0; i < r.included.size(); ++i) {
        uint32_t U = 0;
        const uint32_t steps = fitchSteps(order, slot, r.d, r.included[i], &U);
        obs[size_t{std::min(steps, m)} * 16 + U] += r.weights[i];
    }
    const double n = r.total;
    qel_printf("\nMarginalized site-pattern probabilities\n\n");
    qel_printf("\n%10s%10s%14s%14s%14s%14s\n", "parsimony", "included", "pattern", "observed", "expected",
               "cumulative");
    qel_printf("%10s%10s%14s%14s%14s%14s\n", "steps", "states", "probability", "frequency", "frequency",
               "probability");
    const std::string rule(76, '-');
    qel_printf("%s\n", rule.c_str());
    double cum = 0.0, sumObs = 0.0, sumExp = 0.0;
    for (uint32_t s = 0; s <= m; ++s) {
        bool firstRow = true;
        for (uint32_t U = 1; U < 16; ++U) {
            const double e = exp[size_t{s} * 16 + U], o = obs[size_t{s} * 16 + U];
            if (e == 0.0)
                continue;
            if (!firstRow)
                qel_printf("\n%10s", "");
            else if (s == m && m < ntax - 1)
                qel_printf("%10s", (">" + std::to_string(m - 1)).c_str());
            else
                qel_printf("%10u", s);
            firstRow = false;
            qel_printf("%10s%14.8f%14.3f%14.3f", makeStateString(U).c_str(), e, o, n * e);
            cum += e;
            sumObs += o;
            sumExp += n * e;
        }
        if (!firstRow)
            qel_printf("%14.8f\n", cum);
    }
    qel_printf("%s\n", rule.c_str());
    qel_printf("%10s%10s%14.8f%14.3f%14.3f%14.8f\n", "Total", "-", cum, sumObs, sumExp, 1.0);
    return 0;
}

}  // namespace

int doPatFitTest()
{
    DataInfo *d = activeDataInfo();
    // An optional tree list comes first; without one every tree is tested.
    const uint32_t inMemory = numTreesInBuffer(getActiveTreeBuffer());
    SetHandle listSet(allocSet(std::max<uint32_t>(inMemory, 1)));
    if (!listSet || getTreeList(listSet.get(), true, false) != 0)
        return 1;
    if (getCmdParams(OptionSet::kPatFitTest, ";", nullptr) <= 0)
        return 1;
    if (verifyNucleotideData(d, "PatFitTest") != 0)
        return 1;
    if (!patfitOpt.pool && d->nActive != 4) {
        qel_errorMsg(0, "Pooling is required unless exactly there are exactly four (non-deleted) taxa.\tOtherwise, "
                        "the number of possible site patterns becomes too large.");
        return 1;
    }
    if (numTreesInBuffer(getActiveTreeBuffer()) == 0) {
        qel_errorMsg(0, "At least one tree must be available for pattern-fit test.");
        return 1;
    }
    PatFitRun r;
    r.d = d;
    for (uint32_t k = 0; k < inMemory; ++k)
        if (isSetMember(listSet.get(), k))
            r.trees.push_back(k + 1);
    if (r.trees.empty())
        for (uint32_t k = 0; k < inMemory; ++k)
            r.trees.push_back(k + 1);
    r.observed.assign(kAllFourTaxonPatterns, 0.0);
    const uint32_t ntax = static_cast<uint32_t>(d->nActive);
    for (uint32_t c = 0; c < d->nchar; ++c) {
        if (d->status[c] & (kCharExcluded | kCharEliminated))
            continue;
        // A weighted site counts as that many sites, in N as in the observed
        // frequencies.
        const double w = d->weights ? d->weights[c] : 1.0;
        r.included.push_back(c);
        r.weights.push_back(w);
        r.total += w;
        uint32_t pattern = 0;
        for (uint32_t t = 0; t < ntax; ++t) {
            const uint8_t code = getXijRaw(d, static_cast<int32_t>(t), c);
            if (code >= kNuc) {
                qel_errorMsg(0, "Pattern-fit test is not allowed when missing data and/or ambiguities are present.\t"
                                "You can use the predefined 'missAmbig' character-set to exclude these characters.");
                return 1;
            }
            pattern = pattern << 2 | code;
        }
        if (ntax == 4)
            r.observed[pattern] += w;
    }
    const uint32_t oldCriterion = tempResetOptCrit(kCriterionLikelihood);
    int status = prepareData(kPrepLikelihood, 0, false);
    if (status == 0 && (activeModelGroup() == nullptr || activeModelGroup()->engine == nullptr))
        status = 1;
    if (status == 0) {
        qel_printf("\nComparison of observed to expected pattern frequencies:\n\n");
        const int previous = indentOutput(2);
        showMLSettings(false, nullptr);
        setOutputIndentLevel(previous);
        status = runSecondaryThread(patFitThreadProc, &r);
    }
    restoreOriginalOptCrit(oldCriterion);
    return status;
}
