#include "selection/patfittest.h"

#include <cmath>
#include <cstdio>
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
#include "qel/qel_time.h"
#include "search/hsprep.h"
#include "search/scores.h"
#include "selection/selection_settings.h"
#include "trees/treebuf.h"
#include "trees/treeutil.h"

namespace {

constexpr uint32_t kNuc = 4;
constexpr char kNucSymbols[] = "ACGT";

uint32_t stateOfTaxon(uint32_t pattern, uint32_t taxon) { return (pattern >> (2 * (3 - taxon))) & 3; }

struct PatFitRun {
    DataInfo *d = nullptr;
    std::vector<uint32_t> included;
    std::vector<double> observed;  // per pattern of the 256
};

// The unpooled table of one tree: each pattern's probability, how often the
// included characters show it, and how often the model expects it.
int compareObsExpFreqs(const Tree *tree, const PatFitRun &r)
{
    std::vector<double> prob;
    if (fourTaxonPatternProbs(tree, activeModelGroup(), prob) != 0) {
        qel_errorMsg(0, "Pattern probabilities could not be calculated for this tree.");
        return 1;
    }
    const double n = static_cast<double>(r.included.size());
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

int patFitThreadProc(void *arg)
{
    const PatFitRun &r = *static_cast<const PatFitRun *>(arg);
    TreeBuffer *buf = getActiveTreeBuffer();
    TreeHandle tree(createSearchTree(r.d));
    if (!tree)
        return 1;
    TimeMark start{}, stop{};
    setTimeMark(&start);
    const uint32_t ntrees = numTreesInBuffer(buf);
    for (uint32_t k = 0; k < ntrees; ++k) {
        if (getTree(buf, k + 1, tree.get()) != 0)
            return 1;
        const double score = calcTreeLikelihood(tree.get(), kNoLScore);
        if (score >= kNoLScore)
            return getAbortedStatus() != 0 ? 2 : 1;
        qel_printf("\nTree number %u:\n", k + 1);
        qel_printf("  -Ln likelihood = %s\n", scoreToString(kCriterionLikelihood, 0, 5, score).c_str());
        if (const int rc = compareObsExpFreqs(tree.get(), r); rc != 0)
            return rc;
    }
    setTimeMark(&stop);
    qel_printf("\n");
    showTimeUsed(&start, &stop, 0, " to calculate pattern probabilities");
    return 0;
}

}  // namespace

int fourTaxonPatternProbs(const Tree *tree, const ModelGroup *g, std::vector<double> &prob)
{
    if (g == nullptr || g->engine == nullptr || g->useMkv || g->nstates != kNuc || g->engine->map.siteCats.empty())
        return 1;
    const SiteCategory &c = g->engine->map.siteCats.front();
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

int doPatFitTest()
{
    DataInfo *d = activeDataInfo();
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
    r.observed.assign(kAllFourTaxonPatterns, 0.0);
    const uint32_t ntax = static_cast<uint32_t>(d->nActive);
    for (uint32_t c = 0; c < d->nchar; ++c) {
        if (d->status[c] & (kCharExcluded | kCharEliminated))
            continue;
        r.included.push_back(c);
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
            r.observed[pattern] += 1.0;
    }
    if (patfitOpt.pool) {
        qel_errorMsg(0, "The pooled pattern-fit test is not available yet; with four taxa, 'pool=no' compares all "
                        "256 patterns.");
        return 1;
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
