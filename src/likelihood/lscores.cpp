#include "likelihood/lscores.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <string>
#include <unordered_map>

#include "cli/option_sets.h"
#include "cli/shell_settings.h"
#include "data/charstat.h"
#include "data/data_services.h"
#include "data/model.h"
#include "data/nexsets.h"
#include "data/patterns.h"
#include "data/prepdata.h"
#include "data/vorn_data.h"
#include "likelihood/activeml.h"
#include "likelihood/chgmatrix.h"
#include "likelihood/clapool.h"
#include "likelihood/infocrit.h"
#include "likelihood/likelihood_settings.h"
#include "likelihood/ml_cmd.h"
#include "likelihood/mlsettings_report.h"
#include "likelihood/modelgroup.h"
#include "likelihood/models.h"
#include "likelihood/prevestimates.h"
#include "likelihood/ratevar.h"
#include "likelihood/rogers.h"
#include "likelihood/sitelikes.h"
#include "likelihood/treelike.h"
#include "qel/qel_detmath.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_io.h"
#include "qel/qel_multithread.h"
#include "qel/qel_output.h"
#include "qel/qel_oututil.h"
#include "qel/qel_progress.h"
#include "qel/qel_sets.h"
#include "qel/qel_setptn.h"
#include "qel/qel_time.h"
#include "search/hsprep.h"
#include "search/pscores.h"
#include "search/scores.h"
#include "search/search_settings.h"
#include "trees/treebuf.h"
#include "trees/treeutil.h"

namespace {

constexpr double kInfiniteShape = 500.0;
constexpr const char *kRatePairs[kNumNucRates] = {"AC", "AG", "AT", "CG", "CT", "GT"};

// What each model estimates, as the table and the score file show it.
struct Estimated {
    bool freqs = false, tratio = false, rates = false, shape = false, pinv = false;
    bool siteRates = false, modelRate = false;
    bool any() const { return freqs || tratio || rates || shape || pinv || siteRates || modelRate; }
};

// Subset rates take the place of the global rate scaler when several models
// are active, as in the parameter vector.
bool modelRatesEstimated() { return estimatingModelRates() && numActiveModels() >= 2; }
bool rateScalerEstimated()
{
    return estimatingGRateScaler() && !modelRatesEstimated() && usingFixedMLBranchLengths();
}

Estimated estimatedOf(const Model *m)
{
    Estimated e;
    e.freqs = m->type != kModelTwoState && !m->stateFreqs.empty() && m->stateFreqs[0] == kFreqCodeEstimate;
    e.rates = m->type == kModelNucleotide && m->substClass == kSubstSixRates && !m->rates.empty() &&
              m->rates[0] == kEstimate;
    e.tratio = !e.rates && m->type == kModelNucleotide && m->substClass == kSubstTwoRates && m->tratio == kEstimate;
    e.siteRates = m->estSiteRates && m->rateInfo != nullptr && (m->rateInfo->flags & kRatesSiteSpecific) &&
                  m->rateInfo->rates.size() > 1;
    // Estimated site rates replace the shape and pinv.
    e.shape = !e.siteRates && m->gammaShape == kEstimate;
    e.pinv = !e.siteRates && m->pinv == kEstimate;
    e.modelRate = modelRatesEstimated();
    return e;
}

// One model's estimates on one tree.
struct ModelEstimates {
    std::vector<double> freqs;
    double tratio = 0, kappa = 0;
    double rates[kNumNucRates] = {};
    double shape = 0, pinv = 0;
    std::vector<double> siteRates;
    double relRate = 1;
};

struct TreeResult {
    uint32_t number = 0;  // 1-based
    double score = kNoLScore;
    double k = 0;  // free parameters counted by the information criteria
    double rateScaler = 1;
    std::vector<ModelEstimates> models;  // per active model
    std::vector<double> siteLnL;         // per group pattern
    SiteLikes categ;
};

struct LScoresRun {
    DataInfo *d = nullptr;
    ModelGroup *g = nullptr;
    std::vector<Model *> models;  // the active models
    std::vector<Estimated> est;
    std::vector<uint32_t> list;
    std::vector<TreeResult> results;
    std::vector<uint32_t> included;  // characters with data in the analysis
    // The characters the site tables and the topology tests take: the Mk
    // model leaves out those it cannot score (the constant ones).
    std::vector<uint32_t> siteRows;
    StreamInfo *file = nullptr;
    ProgData *progress = nullptr;
    bool siteLikes = false, categ = false, needSites = false, tests = false;
    bool sorted = false;  // the trees were shown in score order
    uint32_t ncat = 1;
    bool invarCateg = false;
    double nsites = 0;
    uint32_t done = 0;
    const char *subset = nullptr;  // the partition subset being scored
    bool rowsWritten = false;      // the pass's rows are in the score file
    // While scoring subset by subset: the characters the user had excluded.
    // The others outside the subset are set aside for the subset's run only.
    const Set *userExcluded = nullptr;
};

std::vector<std::vector<double>> gLastSiteLnL;
std::vector<uint32_t> gLastTrees;
TopologyTestFxn gTopologyTests = nullptr;

// The tests read the site log-likelihoods just stored in gLastSiteLnL.
int runTopologyTests(const LScoresRun &r)
{
    if (gTopologyTests == nullptr) {
        qel_errorMsg(0, "The topology tests are not available in this program.");
        return 1;
    }
    TopologyTestInput in;
    for (size_t i = 0; i < r.results.size(); ++i) {
        in.treeNumbers.push_back(r.results[i].number);
        in.scores.push_back(r.results[i].score);
        if (r.results[i].score < r.results[in.best].score)
            in.best = i;
    }
    in.order.resize(r.results.size());
    std::iota(in.order.begin(), in.order.end(), size_t{0});
    if (gSortTreesByScore != 0)
        std::stable_sort(in.order.begin(), in.order.end(),
                         [&](size_t a, size_t b) { return r.results[a].score < r.results[b].score; });
    in.siteLnL = &gLastSiteLnL;
    in.patternCounts.assign(r.g->groupPatternWeight, r.g->groupPatternWeight + r.g->ngrp);
    for (uint32_t c : r.siteRows) {
        in.sitePatterns.push_back(r.g->siteToGroupPattern ? r.g->siteToGroupPattern[c] : kNoSite);
        in.siteWeights.push_back(r.d->weights[c]);
    }
    in.progress = r.progress;
    // Without RELL every replicate's trees are fitted again on its counts.
    TreeHandle tree(createSearchTree(r.d));
    if (!tree)
        return 1;
    in.rescore = [&r, &tree](size_t k, const double *counts) {
        ModelGroup *g = r.g;
        const std::vector<double> saved(g->groupPatternWeight, g->groupPatternWeight + g->ngrp);
        const double savedTotal = g->totalWeight;
        std::copy(counts, counts + g->ngrp, g->groupPatternWeight);
        g->totalWeight = std::accumulate(counts, counts + g->ngrp, 0.0);
        double score = kNoLScore;
        if (getTree(getActiveTreeBuffer(), r.results[k].number, tree.get()) == 0)
            score = calcTreeLikelihood(tree.get(), kNoLScore);
        std::copy(saved.begin(), saved.end(), g->groupPatternWeight);
        g->totalWeight = savedTotal;
        return score;
    };
    return gTopologyTests(in);
}

std::FILE *fileOf(const LScoresRun &r) { return r.file ? r.file->fp : nullptr; }

std::string modelPrefix(const LScoresRun &r, const Model *m, const char *format)
{
    if (r.models.size() < 2)
        return {};
    char buf[kModelNameSize + 8];
    std::snprintf(buf, sizeof buf, format, m->name);
    return buf;
}

// 0 to go on (with userBrLens turned off when the trees had no lengths to
// use), -1 when the user declines.
int checkUserBranchLens()
{
    if (!ml.userBrLens || haveUserBranchLengths())
        return 0;
    if (!userQuery(false, "User-input branch lengths are not available.  OK to estimate branch lengths?"))
        return -1;
    ml.userBrLens = 0;
    return 0;
}

ModelEstimates currentEstimates(Model *m)
{
    ModelEstimates e;
    const ModelEngineData *eng = modelEngine(m);
    e.freqs.assign(eng->pi.begin(), eng->pi.end());
    e.tratio = m->tratio == kEstimate ? m->prevTratio : m->tratio;
    if (m->type == kModelNucleotide && e.freqs.size() == 4)
        e.kappa = convertRtoK(e.freqs.data(), m->F84 != 0, e.tratio);
    for (uint32_t i = 0; i < kNumNucRates && i < eng->fullRates.size(); ++i)
        e.rates[i] = eng->fullRates[i];
    if (m->rateInfo != nullptr) {
        e.shape = m->rateInfo->shape;
        e.pinv = m->rateInfo->pinv;
        if (m->rateInfo->flags & kRatesSiteSpecific)
            e.siteRates = m->rateInfo->rates;
    }
    e.relRate = m->relRate;
    return e;
}

// Row labels of a model's frequencies, and the heading word.
std::vector<std::string> freqLabels(const Model *m, const char **heading)
{
    std::vector<std::string> labels;
    if (m->type == kModelRY) {
        *heading = "Base";
        return {"A+G", "C+T"};
    }
    *heading = m->type == kModelNucleotide ? "Base" : m->type == kModelAminoAcid ? "AA" : "State";
    for (uint32_t i = 0; i < m->nstates; ++i)
        labels.emplace_back(1, m->symbols[i] ? m->symbols[i] : '?');
    return labels;
}

// The subset name of each of the model's site rates.
std::vector<std::string> siteRateLabels(const Model *m)
{
    std::vector<std::string> labels;
    const SetPtn *ptn = getNexPtn(m->siteRatePartition);
    for (uint32_t k : m->rateInfo->rateSubset) {
        const char *name = ptn ? getPtnSubsetName(ptn, k) : nullptr;
        labels.emplace_back(name ? name : std::to_string(k + 1));
    }
    return labels;
}

// ---- Score file ----------------------------------------------------------------------------

void writeHeader(const LScoresRun &r)
{
    std::FILE *f = fileOf(r);
    if (lscOpt.byPartition)
        std::fprintf(f, "Subset\t");
    std::fprintf(f, "Tree\t-lnL");
    if (r.siteLikes) {
        std::fprintf(f, "\tSite\t-lnL");
        if (r.categ) {
            for (uint32_t c = 0; c < r.ncat; ++c)
                std::fprintf(f, "\tProb_%u", r.invarCateg ? c : c + 1);
            std::fprintf(f, "\tPosterior_mean\tMax_categ");
        }
    }
    if (rateScalerEstimated())
        std::fprintf(f, "\tgratescaler");
    for (size_t k = 0; k < r.models.size(); ++k) {
        const Model *m = r.models[k];
        const Estimated &e = r.est[k];
        const std::string pre = modelPrefix(r, m, "%s_");
        if (e.freqs) {
            const char *symbols = m->type == kModelRY ? "RY" : m->symbols;
            for (uint32_t i = 0; i < m->nstates; ++i)
                std::fprintf(f, "\t%spi%c", pre.c_str(), symbols[i]);
        }
        if (e.tratio)
            std::fprintf(f, "\t%sti/tv", pre.c_str());
        if (e.rates)
            for (const char *pair : kRatePairs)
                std::fprintf(f, "\t%sr%s", pre.c_str(), pair);
        if (e.siteRates)
            for (const std::string &label : siteRateLabels(m))
                std::fprintf(f, "\t%ssiterate_%s", pre.c_str(), label.c_str());
        if (e.pinv)
            std::fprintf(f, "\t%spinv", pre.c_str());
        if (e.shape)
            std::fprintf(f, "\t%sshape", pre.c_str());
    }
    std::fprintf(f, "\n");
}

// A model's estimates shaped as its header columns, for a tree that has none.
ModelEstimates blankEstimates(const Model *m)
{
    ModelEstimates e;
    e.freqs.assign(m->nstates, 0.0);
    e.siteRates.assign(siteRateLabels(m).size(), 0.0);
    return e;
}

uint32_t categColumns(const LScoresRun &r) { return r.siteLikes && r.categ ? r.ncat + 2 : 0; }

void writeTreeRow(const LScoresRun &r, const TreeResult &t)
{
    std::FILE *f = fileOf(r);
    if (r.subset)
        std::fprintf(f, "%s\t", r.subset);
    std::fprintf(f, "%u\t", t.number);
    if (t.score >= kLikInfiniteScore)
        std::fprintf(f, "infinity");
    else
        std::fprintf(f, "%.8f", t.score);
    if (r.siteLikes) {
        std::fprintf(f, "\t-\t-");
        for (uint32_t c = 0; c < categColumns(r); ++c)
            std::fprintf(f, "\t-");
    }
    // A tree of zero likelihood has no estimates; its row still has one
    // value per header column.
    const bool none = t.score >= kLikInfiniteScore;
    auto put = [&](const char *format, double value) {
        if (none)
            std::fprintf(f, "\t-");
        else
            std::fprintf(f, format, value);
    };
    if (rateScalerEstimated())
        put("\t%f", t.rateScaler);
    for (size_t k = 0; k < r.models.size(); ++k) {
        const Estimated &e = r.est[k];
        const ModelEstimates v = none ? blankEstimates(r.models[k]) : t.models[k];
        if (e.freqs)
            for (double p : v.freqs)
                put("\t%.8f", p);
        if (e.tratio)
            put("\t%.8f", v.tratio);
        if (e.rates)
            for (double x : v.rates)
                put("\t%.8f", x);
        if (e.siteRates)
            for (double x : v.siteRates)
                put("\t%.8f", x);
        if (e.pinv)
            put("\t%.8f", v.pinv);
        if (e.shape) {
            if (!none && v.shape >= kInfiniteShape)
                std::fprintf(f, "\tinfinity");
            else
                put("\t%f", v.shape);
        }
    }
    std::fprintf(f, "\n");
}

// A character with data the Mk model cannot score (a constant one: the
// model conditions on variation). One with no data at all has likelihood 1
// under any model, the Mk model's too.
bool leftOutByMkv(const LScoresRun &r, uint32_t c)
{
    const uint32_t *map = r.g->siteToGroupPattern;
    return r.g->useMkv && (map == nullptr || map[c] == kNoSite) && !(r.d->obsCount && r.d->obsCount[c] == 0);
}

void writeSiteRows(const LScoresRun &r, const TreeResult &t)
{
    std::FILE *f = fileOf(r);
    const uint32_t *map = r.g->siteToGroupPattern;
    // The file has a row for every included character: one the Mk model
    // cannot score (a constant one, with data) has likelihood 1 there.
    for (uint32_t c : r.included) {
        std::fprintf(f, "%s\t\t%u\t", r.subset ? "\t" : "", c + 1);
        const uint32_t p = map ? map[c] : kNoSite;
        if ((r.d->status[c] & kCharConstant) && leftOutByMkv(r, c)) {
            std::fprintf(f, "0.0\n");
            continue;
        }
        if (p == kNoSite || p >= t.siteLnL.size()) {
            std::fprintf(f, "-");
            for (uint32_t k = 0; k < categColumns(r); ++k)
                std::fprintf(f, "\t-");
            std::fprintf(f, "\n");
            continue;
        }
        const double lnL = t.siteLnL[p];
        if (!std::isfinite(lnL) || lnL < detLog(1e-300))
            std::fprintf(f, "infinity");
        else if (-lnL < 1e-6)
            std::fprintf(f, "%.3e", -lnL);
        else
            std::fprintf(f, "%.8f", -lnL);
        if (categColumns(r) != 0) {
            const double *post = t.categ.post.data() + size_t{p} * r.ncat;
            for (uint32_t k = 0; k < r.ncat; ++k) {
                if (post[k] < 0.0)
                    std::fprintf(f, "\t-");
                else
                    std::fprintf(f, "\t%.6f", post[k]);
            }
            std::fprintf(f, "\t%.6f\t%u", t.categ.meanRate[p],
                         r.invarCateg ? t.categ.maxCateg[p] : t.categ.maxCateg[p] + 1);
        }
        std::fprintf(f, "\n");
    }
}

// ---- Screen table --------------------------------------------------------------------------

struct Table {
    int indent = 0, label = 6, col = 12;
};

void paramLine(const LScoresRun &r, const Table &tb, const std::vector<size_t> &cols, const char *label,
               const std::vector<double> &values, int decimals, double infinity)
{
    qel_printf("%*s%-*s", tb.indent, "", tb.label, label);
    for (size_t i : cols) {
        char text[64];
        if (r.results[i].score >= kLikInfiniteScore)
            std::snprintf(text, sizeof text, "-");
        else if (values[i] >= infinity)
            std::snprintf(text, sizeof text, "infinity");
        else
            std::snprintf(text, sizeof text, "%.*f", decimals, values[i]);
        qel_printf("  %*s", tb.col - 2, text);
    }
    qel_printf("\n");
}

int showTreeScores(const LScoresRun &r, const std::vector<size_t> &order, bool aic, bool aicc, bool bic)
{
    setStatusText("Outputting likelihood scores...");
    Table tb;
    for (size_t m = 0; m < r.models.size(); ++m) {
        if (r.est[m].tratio)
            tb.label = std::max(tb.label, 12);
        if (r.est[m].siteRates)
            for (const std::string &label : siteRateLabels(r.models[m]))
                tb.label = std::max(tb.label, 2 + static_cast<int>(label.size()));
    }
    const bool several = r.models.size() > 1;
    if (several)
        tb.label += 2;
    double widest = 0;
    for (size_t i : order)
        if (r.results[i].score < kLikInfiniteScore)
            widest = std::max(widest, r.results[i].score);
    tb.col = std::max<int>(12, static_cast<int>(getColumnWidth(5, 0, widest)) + 2);
    const size_t perBlock = maxOutputColumns(static_cast<uint32_t>(tb.col), static_cast<uint32_t>(tb.label));
    for (size_t first = 0; first < order.size(); first += perBlock) {
        const std::vector<size_t> cols(order.begin() + static_cast<std::ptrdiff_t>(first),
                                       order.begin() + static_cast<std::ptrdiff_t>(std::min(order.size(), first + perBlock)));
        qel_printf("\n%-*s", tb.label, "Tree");
        for (size_t i : cols)
            qel_printf("%*u", tb.col, r.results[i].number);
        qel_printf("\n");
        tableLine(kUnderlineLastLine, 0);
        std::vector<double> values(r.results.size());
        auto row = [&](const char *label, auto value, int decimals, double infinity) {
            for (size_t i = 0; i < r.results.size(); ++i)
                values[i] = value(r.results[i]);
            paramLine(r, tb, cols, label, values, decimals, infinity);
        };
        qel_printf("%-*s", tb.label, "-ln L");
        for (size_t i : cols)
            qel_printf("%*s", tb.col, scoreToString(kCriterionLikelihood, tb.col, 5, r.results[i].score).c_str());
        qel_printf("\n");
        if (aic)
            row("AIC", [&](const TreeResult &t) { return calcAIC(t.k, t.score); }, 5, kNoLScore);
        if (aicc)
            row("AICc", [&](const TreeResult &t) { return calcAICc(t.k, t.score, r.nsites); }, 5, kNoLScore);
        if (bic)
            row("BIC", [&](const TreeResult &t) { return calcBIC(t.k, t.score, r.nsites); }, 5, kNoLScore);
        if (rateScalerEstimated())
            row(ml.UCM ? "BrLen" : "Scaler", [](const TreeResult &t) { return t.rateScaler; }, 6, kNoLScore);
        for (size_t mi = 0; mi < r.models.size(); ++mi) {
            const Model *m = r.models[mi];
            const Estimated &e = r.est[mi];
            // A model of the partition without site patterns here (its
            // characters all excluded, or none in this subset) has
            // estimates no data inform.
            if (!e.any() || (several && m->firstPattern > m->lastPattern))
                continue;
            tb.indent = several ? 2 : 0;
            const int width = tb.label - tb.indent;
            Table inner = tb;
            inner.label = width;
            if (several)
                qel_printf("model '%s':\n", m->name);
            const std::string ind(static_cast<size_t>(tb.indent), ' ');
            auto mrow = [&](const char *label, auto value, int decimals, double infinity) {
                for (size_t i = 0; i < r.results.size(); ++i)
                    values[i] = r.results[i].models.empty() ? 0.0 : value(r.results[i].models[mi]);
                paramLine(r, inner, cols, label, values, decimals, infinity);
            };
            if (e.freqs) {
                const char *heading = nullptr;
                const std::vector<std::string> labels = freqLabels(m, &heading);
                qel_printf("%s%s frequencies:\n", ind.c_str(), heading);
                for (size_t s = 0; s < labels.size(); ++s)
                    mrow(("  " + labels[s]).c_str(),
                         [&](const ModelEstimates &v) { return s < v.freqs.size() ? v.freqs[s] : 0.0; }, 6, kNoLScore);
            }
            if (e.tratio) {
                qel_printf("%sTi/tv:\n", ind.c_str());
                mrow("  exp. ratio", [](const ModelEstimates &v) { return v.tratio; }, 6, kNoLScore);
                mrow(m->F84 ? "  parameter" : "  kappa", [](const ModelEstimates &v) { return v.kappa; }, 6, kNoLScore);
            }
            if (e.rates) {
                qel_printf("%sRate matrix R:\n", ind.c_str());
                for (uint32_t q = 0; q < kNumNucRates; ++q)
                    mrow((std::string("  ") + kRatePairs[q]).c_str(),
                         [q](const ModelEstimates &v) { return v.rates[q]; }, 5, kNoLScore);
            }
            if (e.shape)
                mrow("Shape", [](const ModelEstimates &v) { return v.shape; }, 6, kInfiniteShape);
            if (e.pinv)
                mrow("P_inv", [](const ModelEstimates &v) { return v.pinv; }, 6, kNoLScore);
            if (e.siteRates) {
                qel_printf("%sRelative site rates:\n", ind.c_str());
                const std::vector<std::string> labels = siteRateLabels(m);
                for (size_t q = 0; q < labels.size(); ++q)
                    mrow(("  " + labels[q]).c_str(),
                         [q](const ModelEstimates &v) { return q < v.siteRates.size() ? v.siteRates[q] : 0.0; }, 5,
                         kNoLScore);
            }
            if (e.modelRate)
                mrow("Rate", [](const ModelEstimates &v) { return v.relRate; }, 6, kNoLScore);
            tb.indent = 0;
        }
        if (getAbortedStatus() != 0)
            return 2;
    }
    clearStatusText();
    return 0;
}

void showSiteLikes(const LScoresRun &r, const TreeResult &t)
{
    qel_printf("\nLikelihoods for each site on tree %u:\n", t.number);
    const uint32_t *map = r.g->siteToGroupPattern;
    const size_t per = maxOutputColumns(12, 10);
    const bool categ = r.categ && r.ncat > 1;
    for (size_t first = 0; first < r.siteRows.size(); first += per) {
        const size_t end = std::min(r.siteRows.size(), first + per);
        auto lnLOf = [&](uint32_t c, bool *present) {
            const uint32_t p = map ? map[c] : kNoSite;
            *present = p != kNoSite && p < t.siteLnL.size();
            return *present ? t.siteLnL[p] : 0.0;
        };
        qel_printf("\n%-10s", "site");
        for (size_t k = first; k < end; ++k)
            qel_printf("%12u", r.siteRows[k] + 1);
        // A tree of zero likelihood has no site likelihoods: its sites show
        // "-", as its score-file rows do.
        const bool none = t.siteLnL.empty();
        qel_printf("\n%-10s", "L");
        for (size_t k = first; k < end; ++k) {
            bool present = false;
            const double L = detExp(lnLOf(r.siteRows[k], &present));
            char text[32];
            std::snprintf(text, sizeof text, present && L < 1e-6 ? "%9.3e" : "%9.6f", present ? L : 1.0);
            qel_printf("%12s", none ? "-" : text);
        }
        qel_printf("\n%-10s", "ln L");
        for (size_t k = first; k < end; ++k) {
            bool present = false;
            const double lnL = lnLOf(r.siteRows[k], &present);
            char text[32];
            if (none)
                std::snprintf(text, sizeof text, "-");
            else if (present && !std::isfinite(lnL))
                std::snprintf(text, sizeof text, "-infinity");
            else
                std::snprintf(text, sizeof text, "%9.6f", present ? lnL : 0.0);
            qel_printf("%12s", text);
        }
        qel_printf("\n");
        if (!categ)
            continue;
        // A character outside every pattern has no posterior, so neither a
        // mean rate nor a most probable category: "-", as in the score file.
        auto patternAt = [&](size_t k) { return none || !map ? kNoSite : map[r.siteRows[k]]; };
        for (uint32_t col = 0; col < r.ncat; ++col) {
            qel_printf("  prob_%-3u", r.invarCateg ? col : col + 1);
            for (size_t k = first; k < end; ++k) {
                const uint32_t p = patternAt(k);
                const double v = p == kNoSite ? -1.0 : t.categ.post[size_t{p} * r.ncat + col];
                if (v < 0.0)
                    qel_printf("%12c", '-');
                else
                    qel_printf(v != 0.0 && v < 1e-4 ? "  %10.3e" : "  %10.4f", v);
            }
            qel_printf("\n");
        }
        qel_printf("%-10s", "post_mean");
        for (size_t k = first; k < end; ++k) {
            const uint32_t p = patternAt(k);
            if (p == kNoSite)
                qel_printf("%12c", '-');
            else
                qel_printf("  %10.4f", t.categ.meanRate[p]);
        }
        qel_printf("\n%-10s", "max_categ");
        for (size_t k = first; k < end; ++k) {
            const uint32_t p = patternAt(k);
            if (p == kNoSite) {
                qel_printf("%12c", '-');
                continue;
            }
            const uint32_t best = t.categ.maxCateg[p];
            qel_printf("%12u", r.invarCateg ? best : best + 1);
        }
        qel_printf("\n");
    }
}

// Each character's weight becomes its site likelihood (1 for a character in
// no pattern, 0 for an excluded one). Scored subset by subset, a character
// of another subset keeps its weight: zeroing it would lose the weights its
// own subset stored, or score that subset on weights of 0. The sum
// announced is that of the weights set here.
void storeSiteLikesAsWeights(const LScoresRun &r, const TreeResult &t)
{
    DataInfo *d = r.d;
    const uint32_t *map = r.g->siteToGroupPattern;
    double sum = 0.0;
    for (uint32_t c = 0; c < d->nchar; ++c) {
        const bool excluded = d->status[c] & kCharExcluded;
        if (excluded && r.userExcluded && !isSetMember(r.userExcluded, c))
            continue;
        double w = 0.0;
        if (!excluded) {
            const uint32_t p = map ? map[c] : kNoSite;
            w = p == kNoSite || p >= t.siteLnL.size() ? 1.0 : detExp(t.siteLnL[p]);
        }
        d->weights[c] = w;
        sum += w;
    }
    qel_printf("\nCharacter weights set to site likelihoods (sum = %g)\n", sum);
    afterWtsChange(nullptr, d);
}

// ---- The worker ----------------------------------------------------------------------------

// The unconstrained score of the group's patterns, identical columns of
// different site categories counted as one pattern. Patterns count with
// their character weights, as they do in the tree scores it is compared with.
void showUnconstrainedScore(const LScoresRun &r)
{
    const ModelGroup *g = r.g;
    std::vector<std::vector<uint64_t>> cells(g->ngrp, std::vector<uint64_t>(g->patterns->ntax));
    const ModelGroupEngine &e = *g->engine;
    const uint32_t n = g->nstates;
    // Tip rows are by active taxon number; the last one is the ancestor's.
    for (uint32_t t = 0, k = 0; t + 1 < e.tips.size() && k < g->patterns->ntax; ++t) {
        const TipRow &row = e.tips[t];
        if (!row.present)
            continue;
        const uint32_t slot = k++;
        for (uint32_t p = 0; p < g->ngrp; ++p) {
            const uint32_t code = row.codes[p];
            uint64_t bits = 0;
            if (code < n)
                bits = uint64_t{1} << code;
            else if (code == n)
                bits = n >= 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1;
            else {
                const uint8_t *list = row.ambStates[code - n - 1].data();
                for (uint32_t i = 0; i < list[0]; ++i)
                    bits |= uint64_t{1} << list[1 + i];
            }
            cells[p][slot] = bits;
        }
    }
    // Identical columns of different site categories count as one pattern.
    std::unordered_map<std::string, size_t> seen;
    std::vector<std::vector<uint64_t>> distinct;
    std::vector<double> counts;
    for (uint32_t p = 0; p < g->ngrp; ++p) {
        if (g->groupPatternWeight[p] <= 0.0)
            continue;
        const std::string key(reinterpret_cast<const char *>(cells[p].data()), cells[p].size() * sizeof(uint64_t));
        auto [it, fresh] = seen.emplace(key, distinct.size());
        if (fresh) {
            distinct.push_back(cells[p]);
            counts.push_back(0.0);
        }
        counts[it->second] += g->groupPatternWeight[p];
    }
    const double u = calcUnconstrLike(distinct, counts);
    qel_printf("\nLikelihood score for unconstrained (multinomial) model = %s\n",
               scoreToString(kCriterionLikelihood, 0, 5, u).c_str());
}



// The models, categories and characters of the prepared likelihood state.
void takePreparedState(LScoresRun &r)
{
    r.g = activeModelGroup();
    r.models.clear();
    r.est.clear();
    for (Model *m = getActiveML()->firstActive; m != nullptr; m = m->nextActive) {
        r.models.push_back(m);
        r.est.push_back(estimatedOf(m));
    }
    r.ncat = siteLikeCategories(r.g, &r.invarCateg);
    r.categ = lscOpt.categLikes && r.siteLikes && r.ncat > 1;
    r.included.clear();
    for (uint32_t c = 0; c < r.d->nchar; ++c)
        if (!(r.d->status[c] & kCharExcluded))
            r.included.push_back(c);
    r.nsites = static_cast<double>(r.included.size());
    r.siteRows.clear();
    for (uint32_t c : r.included)
        if (!leftOutByMkv(r, c))
            r.siteRows.push_back(c);
}

// The rate of each site that fits it best on the tree as scored, the table
// of them and the score they give together; 0, 1 or 2 (stopped).
int showEstimatedSiteRates(const LScoresRun &r, const Tree *tree)
{
    PatternRates pr;
    const ActiveML *a = getActiveML();
    if (const int rc = estimatePatternRates(tree, r.g, a->brentEps, a->brentT, pr); rc != 0)
        return rc;
    qel_printf("\n%6s%12s%14s\n", "Site", "Rate", "ln L");
    tableLine(kUnderlineLastLine, 0);
    for (uint32_t c : r.included) {
        const uint32_t p = r.g->siteToGroupPattern[c];
        if (p == kNoSite) {
            qel_printf("%6u%12c%14.6f\n", c + 1, '-', 0.0);
            continue;
        }
        char text[32];
        std::snprintf(text, sizeof text, std::fabs(pr.lnL[p]) < 0.001 ? "%9.3e" : "%9.6f", pr.lnL[p]);
        qel_printf("%6u%12.4f%14s\n", c + 1, pr.rate[p], text);
    }
    // Weighted as the tree's own score is.
    double sum = 0.0;
    for (uint32_t p = 0; p < r.g->ngrp; ++p)
        sum -= r.g->groupPatternWeight[p] * pr.lnL[p];
    qel_printf("\n-lnL with estimated rates = %g\n", sum);
    return 0;
}

// One pass over the trees: every character included, or one subset of the
// partition (named by subset).
// The order the pass shows and writes its trees in.
std::vector<size_t> resultOrder(const LScoresRun &r)
{
    std::vector<size_t> order(r.results.size());
    std::iota(order.begin(), order.end(), size_t{0});
    if (gSortTreesByScore != 0)
        std::stable_sort(order.begin(), order.end(),
                         [&](size_t a, size_t b) { return r.results[a].score < r.results[b].score; });
    return order;
}

// The rows of the trees scored so far into the score file, which keeps them
// whatever comes after: at the pass's end, or at a termination signal,
// which so writes them as a stop by the user does.
void keepScoreRows(void *arg)
{
    LScoresRun &r = *static_cast<LScoresRun *>(arg);
    if (!r.file)
        return;
    if (!r.siteLikes && !r.rowsWritten)
        for (size_t i : resultOrder(r))
            writeTreeRow(r, r.results[i]);
    r.rowsWritten = true;
    markStreamKept(r.file);
}

int scorePass(LScoresRun &r)
{
    r.results.clear();
    r.done = 0;
    r.rowsWritten = false;
    const TerminationFinisher finisher(keepScoreRows, &r);
    if (r.subset == nullptr)
        qel_printf("\nLikelihood scores of tree(s) in memory:\n");
    else
        qel_printf("\nLikelihood scores of tree(s) in memory for subset '%s' of character partition '%s':\n",
                   r.subset, lscOpt.byPartition->name);
    tableLine(kUnderlineLastLine, 0);
    const int previous = indentOutput(2);
    showMLSettings(false, nullptr);
    setOutputIndentLevel(previous);

    if (lscOpt.categLikes && !lscOpt.siteLikes)
        qel_printf("\nNOTE: \bRate-category contributions are shown only when single-site likelihoods are also "
                   "requested (SiteLikes=Yes)\n");
    else if (lscOpt.categLikes && r.ncat < 2)
        qel_printf("\nNOTE: \bRate-category contributions are not output (current model has a single rate category "
                   "for each site)\n");
    if (lscOpt.unconstr)
        showUnconstrainedScore(r);

    TreeHandle tree(createSearchTree(r.d));
    if (!tree)
        return 1;
    TimeMark start{}, stop{};
    setTimeMark(&start);
    int status = 0;
    // The information criteria count, for each model, its free parameters
    // and the tree's branches (its internal nodes under a clock); a model of
    // the partition without site patterns here (its characters all excluded,
    // or none in this subset) is not fitted and counts for nothing.
    if (lscOpt.AIC || lscOpt.AICc || lscOpt.BIC)
        setModelParamCounts();
    takePassLimitGains();
    for (uint32_t number : r.list) {
        if (getTree(getActiveTreeBuffer(), number + 1, tree.get()) != 0)
            return 1;
        TreeResult t;
        t.number = number + 1;
        t.k = 0;
        for (const Model *m : r.models)
            if (m->firstPattern <= m->lastPattern)
                t.k += m->numParams + countTreeParams(tree.get(), m->clock != 0);
        t.score = calcTreeLikelihood(tree.get(), kNoLScore);
        if (t.score >= kNoLScore) {
            // A negative flag is the fit's own failure to set the model's
            // parameters (said where it failed), not the user's stop: go on
            // as after any error.
            if (const int32_t flag = getAbortedStatus(); flag < 0) {
                setAbortedStatus(0);
                status = 1;
            } else {
                status = flag != 0 ? 2 : 1;
            }
            break;
        }
        if (t.score < kLikInfiniteScore) {
            saveParamEstimates();
            for (Model *m : r.models)
                t.models.push_back(currentEstimates(m));
            t.rateScaler = getActiveML()->rateScaler;
            if (r.needSites) {
                SiteLikes s;
                if (calcSiteLikes(tree.get(), r.g, r.categ, s) == 0) {
                    t.siteLnL = std::move(s.lnL);
                    t.categ = std::move(s);
                }
            }
        }
        if (lscOpt.estSiteRates && t.score < kLikInfiniteScore) {
            if (const int rc = showEstimatedSiteRates(r, tree.get()); rc != 0) {
                status = rc;
                r.results.push_back(std::move(t));
                r.done++;
                break;
            }
        }
        r.results.push_back(std::move(t));
        r.done++;
        if (r.siteLikes && r.file) {
            writeTreeRow(r, r.results.back());
            writeSiteRows(r, r.results.back());
            markStreamKept(r.file);
        }
        if (incrementProgressValue(r.progress) == kProgressAborted && confirmAbortRequest()) {
            status = 2;
            break;
        }
    }
    setTimeMark(&stop);
    if (status == 1 && r.done == 0) {
        qel_printf("\nCalculation of likelihood scores abandoned.\n");
        return 1;
    }

    // The weights change once all trees are scored: changing them between
    // trees would change the data the later trees are scored on. The last
    // tree's site likelihoods stay as the weights.
    if (lscOpt.storeAsWts && !r.results.empty() && !r.results.back().siteLnL.empty())
        storeSiteLikesAsWeights(r, r.results.back());
    const std::vector<size_t> order = resultOrder(r);
    const bool sorting = gSortTreesByScore != 0;
    if (sfopt.displayOut && !r.results.empty()) {
        if (showTreeScores(r, order, lscOpt.AIC, lscOpt.AICc, lscOpt.BIC) == 2)
            status = 2;
        if (r.siteLikes)
            for (size_t i : order)
                showSiteLikes(r, r.results[i]);
    }
    if (const uint32_t gaining = takePassLimitGains(); gaining > 0)
        qel_printf("\nWarning: \bThe branch lengths of %u tree(s) were still improving when the pass limit "
                   "(MaxPass=%u) was reached; a larger MaxPass may give a better score.\n",
                   gaining, getActiveML()->maxPass);
    qel_printf("\n");
    showTimeUsed(&start, &stop, 0, " to compute likelihoods");
    if (status == 2)
        qel_printf("Calculation of likelihood scores canceled by user.\n");
    // Kept whole once written: the topology tests that may follow cannot
    // spoil them.
    keepScoreRows(&r);

    gLastSiteLnL.clear();
    gLastTrees.clear();
    bool infinite = false;
    for (const TreeResult &t : r.results) {
        infinite = infinite || t.score >= kLikInfiniteScore;
        gLastTrees.push_back(t.number - 1);
        std::vector<double> row(t.siteLnL.size());
        for (size_t p = 0; p < row.size(); ++p)
            row[p] = t.siteLnL[p] < detLog(1e-300) ? kLikInfiniteScore : t.siteLnL[p];
        gLastSiteLnL.push_back(std::move(row));
    }
    if (r.tests) {
        if (infinite)
            qel_printf("\nNOTE: \bThe Kishino-Hasegawa test is not performed when one or more trees having zero "
                       "likelihood is encountered.\n");
        else if (r.results.size() < 2)
            qel_printf("\nNote: Topology tests are not performed when only one tree is available.\n");
        else if (status == 0)
            status = runTopologyTests(r);
    }
    r.sorted = sorting;
    return status;
}

// Once for the command, after the last subset of a partition too.
void showScoreFileNote(const LScoresRun &r)
{
    qel_printf("\nTree scores (and parameter estimates) written to file: %s\n", sfopt.scoreFile);
    if (r.siteLikes && r.sorted)
        qel_printf("    Note: \bScores are not written to score-file in sorted order when single-site "
                   "likelihoods are requested.\n");
}

int lscoresThreadProc(void *arg)
{
    LScoresRun &r = *static_cast<LScoresRun *>(arg);
    setStatusText("Computing likelihood scores...");
    if (r.file)
        writeHeader(r);
    if (!sfopt.displayOut)
        qel_printf("Output to main window suppressed (results sent only to file)\n");
    int status = 0;
    if (const Nexset *ptn = lscOpt.byPartition) {
        // Each subset alone, on a copy of the inclusion state put back at the end.
        const SetPtn *sets = static_cast<const SetPtn *>(ptn->payload);
        SetHandle saved(createExcludedCharsetCopy(r.d));
        if (!saved)
            return 1;
        r.userExcluded = saved.get();
        for (uint32_t i = 0; i < numPtnSubsets(sets) && status == 0; ++i) {
            // Counted against the inclusion state the command found.
            includeCharSubsetOnly(r.d, sets, kSetEnd, saved.get());
            if (countIncludedCharsInPtnSubset(sets, r.d, i) == 0)
                continue;
            includeCharSubsetOnly(r.d, sets, i, saved.get());
            afterCharInclusionChange(r.d);
            if ((status = prepareData(kPrepLikelihood, 0, false)) != 0) {
                qel_printf("\nCalculation of likelihood scores abandoned.\n");
                break;
            }
            takePreparedState(r);
            r.subset = getPtnSubset(sets, i) ? getPtnSubsetName(sets, i) : "";
            status = scorePass(r);
        }
        includeCharSubsetOnly(r.d, sets, kSetEnd, saved.get());
        afterCharInclusionChange(r.d);
        r.subset = nullptr;
        r.userExcluded = nullptr;
    } else {
        status = scorePass(r);
    }
    clearStatusText();
    return status;
}

// parsApprox: for each tree the parsimony-based starting values of the
// likelihood (the gamma shape from the change counts, the rate matrix from
// the state pairs at the ends of every branch) shown instead of scores.
int parsApproxThreadProc(void *arg)
{
    LScoresRun &r = *static_cast<LScoresRun *>(arg);
    setStatusText("Calculating parsimony approximations for likelihood...");
    TreeHandle tree(createSearchTree(r.d));
    if (!tree)
        return 1;
    Model *m = r.models.empty() ? nullptr : r.models.front();
    int status = 0;
    for (uint32_t number : r.list) {
        if (getTree(getActiveTreeBuffer(), number + 1, tree.get()) != 0)
            return 1;
        checkTraversalSeq(tree.get());
        qel_printf("\nTree number %u:\n", number + 1);
        if (rogers(tree.get(), r.g, true, false, false) != 0 ||
            (approxGammaShape(tree.get(), r.g, m, true) == 0.0 && getAbortedStatus() != 0)) {
            status = 2;
            break;
        }
        if (r.g->nstates == 4)
            approxSubstPattern_Dna(m, rogersPairCounts(), true, nullptr);
        if (incrementProgressValue(r.progress) == kProgressAborted && confirmAbortRequest()) {
            status = 2;
            break;
        }
    }
    clearStatusText();
    return status;
}

}  // namespace

void installTopologyTests(TopologyTestFxn fxn) { gTopologyTests = fxn; }

const std::vector<std::vector<double>> &lastLScoresSiteLnL() { return gLastSiteLnL; }
const std::vector<uint32_t> &lastLScoresTrees() { return gLastTrees; }

int doLScoresCmd()
{
    DataInfo *d = activeDataInfo();
    if (d == nullptr)
        return 1;
    const bool withLSet = countModels() == 1;
    auto before = [] {
        lscOpt.parsApprox = 0;
        lscOpt.byPartition = nullptr;
    };
    ScoreCmdStart start;
    const int s = startScoreCmd(
        d, {"Calculating likelihood scores for ", withLSet ? OptionSet::kLScoresAndLSet : OptionSet::kLScores, before, {},
            kCriterionLikelihood},
        start);
    if (s != 0)
        return s < 0 ? 0 : 1;
    const bool resampling = lscOpt.KHTest == kKHBootstrap || lscOpt.SHTest || lscOpt.AUTest;
    if (resampling && lscOpt.bootReps < 2) {
        // The replicate weights divide by B - 1.
        qel_errorMsg(0, "The KH bootstrap, SH and AU tests need at least 2 bootstrap replicates (bootReps=%d).",
                     lscOpt.bootReps);
        return 1;
    }
    // LSet options given here apply as they would on an LSet command.
    if (const int rc = withLSet ? checkAndStoreModelSettings(&ml, d) : 0; rc != 0) {
        if (rc == 2)
            qel_printf("\nCalculation of likelihood scores canceled by user.\n");
        return rc == 2 ? 2 : 1;
    }
    // Held at user lengths, trees without them would be scored with every
    // branch at length 0: the user may have them estimated instead (a
    // refusal is the user's stop, not a failure).
    if (checkUserBranchLens() != 0)
        return 2;

    const uint32_t oldCriterion = tempResetOptCrit(kCriterionLikelihood);
    setBusyMode(true);
    LScoresRun r;
    r.d = d;
    r.list = std::move(start.trees);
    int status = prepareData(kPrepLikelihood, 0, false);
    if (status == 0 && (getActiveML() == nullptr || activeModelGroup() == nullptr ||
                        activeModelGroup()->engine == nullptr))
        status = 1;
    if (status != 0) {
        // A declined question has been reported by the preparation itself.
        if (status != 2 || getAbortedStatus() != 0)
            qel_printf("\nCalculation of likelihood scores abandoned.\n");
    } else {
        r.siteLikes = lscOpt.siteLikes != 0;
        r.tests = (lscOpt.KHTest != 0 || lscOpt.SHTest || lscOpt.AUTest);
        r.needSites = !lscOpt.parsApprox && (r.siteLikes || (r.tests && r.list.size() > 1) || lscOpt.storeAsWts);
        takePreparedState(r);
        if (status == 0 && lscOpt.estSiteRates && r.g->useMkv) {
            qel_errorMsg(0, "Site rates cannot be estimated under the Mk model.");
            status = 1;
        }
        if (status == 0 && lscOpt.parsApprox) {
            r.progress = createProgressWindow(static_cast<uint32_t>(r.list.size()), 0,
                                              "Calculating parsimony approximations");
            status = runSecondaryThread(parsApproxThreadProc, &r);
            r.progress = destroyProgressWindow(r.progress);
        } else if (int opened = 1;
                   status == 0 && start.fileNamed && (r.file = openScoreFile(sfopt.scoreFile, &opened)) == nullptr) {
            status = opened;  // 2 when the user declined to replace the file
        } else if (status == 0) {
            r.progress = createProgressWindow(static_cast<uint32_t>(r.list.size()), 0, "Computing likelihood scores");
            status = runSecondaryThread(lscoresThreadProc, &r);
            r.progress = destroyProgressWindow(r.progress);
        }
    }
    // Told only once the file is in place: a full disk shows at its closing.
    const bool toFile = r.file != nullptr;
    status = finishScoreCommand(r.file, status, oldCriterion, sfopt.scoreFile);
    if (toFile && status != 1)
        showScoreFileNote(r);
    return status;
}

int finishScoreCommand(StreamInfo *&file, int status, uint32_t oldCriterion, const char *name)
{
    if (file) {
        // A run stopped by the user keeps what was written; a failed one not.
        if (finishStreamFile(file, status != 1) != 0 && status != 1) {
            qel_errorMsg(0, "Error writing file \"%s\".", name);
            status = 1;
        }
        discardStream(&file);
    }
    clearStatusText();
    setBusyMode(false);
    restoreOriginalOptCrit(oldCriterion);
    return status;
}
