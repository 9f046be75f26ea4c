#include "selection/automodel.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numeric>

#include "cli/option_sets.h"
#include "cli/qel_cmdoptions.h"
#include "data/data_util.h"
#include "data/prepdata.h"
#include "data/vorn_data.h"
#include "likelihood/activeml.h"
#include "likelihood/chgmatrix.h"
#include "likelihood/infocrit.h"
#include "likelihood/models.h"
#include "likelihood/paramvec.h"
#include "likelihood/ratevar.h"
#include "likelihood/treelike.h"
#include "qel/qel_detmath.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_output.h"
#include "qel/qel_oututil.h"
#include "qel/qel_progress.h"
#include "qel/qel_sets.h"
#include "qel/qel_time.h"
#include "qel/qel_multithread.h"
#include "search/hsprep.h"
#include "search/scores.h"
#include "search/search_settings.h"
#include "selection/selection_settings.h"
#include "trees/treebuf.h"
#include "trees/treelist.h"
#include "trees/treeutil.h"

const ModelTableRow gModelTable[kNumTableModels] = {
    {"JC", 0, {0, 0, 0, 0, 0, 0}, false},     {"F81", 0, {0, 0, 0, 0, 0, 0}, true},
    {"K80", 1, {0, 1, 0, 0, 1, 0}, false},    {"HKY", 1, {0, 1, 0, 0, 1, 0}, true},
    {"TrNef", 2, {0, 1, 0, 0, 2, 0}, false},  {"TrN", 2, {0, 1, 0, 0, 2, 0}, true},
    {"K81", 2, {0, 1, 2, 2, 1, 0}, false},    {"K81uf", 2, {0, 1, 2, 2, 1, 0}, true},
    {"TPM2", 2, {0, 1, 0, 2, 1, 2}, false},   {"TPM2uf", 2, {0, 1, 0, 2, 1, 2}, true},
    {"TPM3", 2, {0, 1, 2, 0, 1, 2}, false},   {"TPM3uf", 2, {0, 1, 2, 0, 1, 2}, true},
    {"TIMef", 2, {0, 1, 2, 2, 3, 0}, false},  {"TIM", 2, {0, 1, 2, 2, 3, 0}, true},
    {"TIM2ef", 2, {0, 1, 0, 2, 3, 2}, false}, {"TIM2", 2, {0, 1, 0, 2, 3, 2}, true},
    {"TIM3ef", 2, {0, 1, 2, 0, 3, 2}, false}, {"TIM3", 2, {0, 1, 2, 0, 3, 2}, true},
    {"TVMef", 2, {0, 1, 2, 3, 1, 4}, false},  {"TVM", 2, {0, 1, 2, 3, 1, 4}, true},
    {"SYM", 2, {0, 1, 2, 3, 4, 5}, false},    {"GTR", 2, {0, 1, 2, 3, 4, 5}, true},
};

namespace {

constexpr uint32_t kSetJ3[] = {0, 1, 2, 3, 20, 21};
constexpr uint32_t kSetJ5[] = {0, 1, 2, 3, 4, 5, 6, 7, 20, 21};
constexpr uint32_t kSetJ7[] = {0, 1, 2, 3, 4, 5, 6, 7, 12, 13, 18, 19, 20, 21};
constexpr uint32_t kSetJ11[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21};
constexpr uint32_t kSetGTR[] = {21};
constexpr int kLnLDecimals = 5;
constexpr double kShownLnLChange = 0.5e-5;
constexpr double kShapeInfinite = 500.0;
// A related model's values are tried when they promise more than this gain
// (absolute, and relative to -ln L); the proportion of invariable sites a
// refit starts from when the relative had none (its surface is flat at 0);
// the rounds of refits (a refit model can lead its relatives on).
constexpr double kRefitGain = 1e-4;
constexpr double kRefitGainRel = 1e-7;
constexpr double kRefitPinvStart = 0.01;
constexpr uint32_t kRefitRounds = 3;

// The lset keyword of AutoModel: "no", "AIC", "AICc", "BIC", "DT".
int lsetCriterionOf(int32_t keyword) { return keyword <= 0 ? -1 : keyword - 1; }

uint32_t substParams(const ModelTableRow &r)
{
    if (r.substClass == 0)
        return 0;
    if (r.substClass == 1)
        return 1;
    return static_cast<uint32_t>(*std::max_element(r.rateClass, r.rateClass + 6));
}

double xicValue(Xic c, double k, double lnL, double n)
{
    switch (c) {
    case Xic::kAIC: return calcAIC(k, lnL);
    case Xic::kAICc: return calcAICc(k, lnL, n);
    case Xic::kBIC: return calcBIC(k, lnL, n);
    case Xic::kDT: break;
    }
    return 0.0;
}

void showModelScoresHeading(const EvalModData &e)
{
    qel_printf("\n%48s\n", "----- K -----");
    qel_printf("%6s  %-10s%14s", "#", "Model", "-lnL");
    qel_printf("%8s%8s", "subst", "total");
    for (Xic c : e.criteria)
        if (c != Xic::kDT)
            qel_printf("%14s", xicName(c));
    qel_printf("\n");
    tableLine(kUnderlineLastLine, 0);
}

// Columns of the parameter table; a row of them stays within the output width.
constexpr int kParamColumn = 7;

std::string freqText(const EvalModData &e, uint32_t number, size_t i)
{
    uint32_t row = 0, variant = 0;
    decodeModelNum(e, number, &row, &variant);
    if (!gModelTable[row].unequalFreqs)
        return "(1/4)";
    return paramText(e.fits[number].freqs[i], kParamColumn);
}

void showParamEstimates(const EvalModData &e)
{
    qel_printf("\nParameter estimates for each model:\n\n");
    qel_printf("%4s %-10s%7s%7s%7s%7s%7s%7s%7s%7s%7s%7s%7s%7s\n", "#", "Model", "piA", "piC", "piG", "piT", "rAC",
               "rAG", "rAT", "rCG", "rCT", "rGT", "shape", "pinv");
    tableLine(kUnderlineLastLine, 0);
    for (uint32_t k = 0; k < e.numModels(); ++k) {
        uint32_t row = 0, variant = 0;
        decodeModelNum(e, k, &row, &variant);
        const ModelTableRow &r = gModelTable[row];
        const ModelFit &f = e.fits[k];
        qel_printf("%4u %-10s", k + 1, modelNameForNum(e, k).c_str());
        for (size_t i = 0; i < 4; ++i)
            printParamCell(freqText(e, k, i), kParamColumn);
        // A rate in GT's class is 1; a rate tied to an earlier one repeats it.
        std::string texts[6];
        for (size_t i = 0; i < 6; ++i) {
            const int32_t cls = r.substClass == 0 ? 0 : r.rateClass[i];
            if (cls == (r.substClass == 0 ? 0 : r.rateClass[5]))
                texts[i] = "(1)";
            else
                texts[i] = paramText(r.substClass == 1 ? f.kappa : f.rates[i], kParamColumn);
            for (size_t j = 0; j < i; ++j)
                if (r.substClass != 0 && r.rateClass[j] == cls)
                    texts[i] = texts[j];
            printParamCell(texts[i], kParamColumn);
        }
        printParamCell(!(variant & kVariantG)          ? "-"
                       : f.shape >= kShapeInfinite ? "inf"
                                                   : paramText(f.shape, kParamColumn),
                       kParamColumn);
        printParamCell(variant & kVariantI ? paramText(f.pinv, kParamColumn) : "-", kParamColumn);
        qel_printf("\n");
    }
}

void showXicDetailsForOneTree(const EvalModData &e)
{
    for (size_t ci = 0; ci < e.criteria.size(); ++ci) {
        const Xic c = e.criteria[ci];
        const std::vector<double> &v = e.values[ci];
        std::vector<uint32_t> order(v.size());
        std::iota(order.begin(), order.end(), 0u);
        // Values equal as shown stand in model order: fits equal to within
        // their tolerance would otherwise be ordered by rounding noise.
        const double scale = c == Xic::kDT ? 1e6 : 1e5;
        std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
            return std::round(v[a] * scale) < std::round(v[b] * scale);
        });
        const double best = v[order[0]];
        std::vector<double> w(v.size());
        double sum = 0.0;
        for (size_t k = 0; k < v.size(); ++k)
            sum += w[k] = detExp(-0.5 * (v[k] - best));
        qel_printf("\nModel selection results for %s:\n\n", xicName(c));
        qel_printf("%68s", "delta");
        if (c != Xic::kDT)
            qel_printf("%12s%10s", xicName(c), "cumul");
        qel_printf("\n%6s  %-10s%14s%8s%14s%14s", "#", "Model", "-lnL", "K", xicName(c), xicName(c));
        if (c != Xic::kDT)
            qel_printf("%12s%10s", "weight", "weight");
        qel_printf("\n");
        tableLine(kUnderlineLastLine, 0);
        double cumul = 0.0;
        for (uint32_t k : order) {
            qel_printf("%6u  %-10s%14.*f%8u", k + 1, modelNameForNum(e, k).c_str(), kLnLDecimals, e.fits[k].lnL,
                       e.fits[k].k);
            if (c == Xic::kDT) {
                qel_printf("%14.6f%14.6f\n", v[k], v[k] - best);
                continue;
            }
            const double wk = w[k] / sum;
            cumul += wk;
            char text[32];
            std::snprintf(text, sizeof text, wk >= 1e-4 || wk == 0.0 ? "%.4f" : "%.2e", wk);
            qel_printf("%14.*f%14.*f%12s%10.4f\n", kLnLDecimals, v[k], kLnLDecimals, v[k] - best, text, cumul);
        }
    }
}

// Keeps the best value per tree and over all trees.
void storeXic(EvalModData &e, size_t ci, uint32_t model, uint32_t tree, double value)
{
    e.values[ci][model] = value;
    XicBest &t = e.perTree[tree][ci];
    if (value < t.value) {
        t.value = value;
        t.model = model;
        t.tree = tree;
        t.fit = e.fits[model];
    }
    if (value < e.overall[ci].value)
        e.overall[ci] = t;
}

char rateLetter(int32_t cls) { return static_cast<char>('a' + cls); }

// The LSet command that sets a chosen model.
void showLSetCmd(const EvalModData &e, size_t ci, bool apply, const SavedModelSettings &saved)
{
    const XicBest &b = e.overall[ci];
    uint32_t row = 0, variant = 0;
    decodeModelNum(e, b.model, &row, &variant);
    const ModelTableRow &r = gModelTable[row];
    const std::string name = modelNameForNum(e, b.model);
    if (apply)
        qel_printf("\nApplying command to set %s model chosen by %s:\n  %s", name.c_str(), xicName(e.criteria[ci]),
                   "LSet");
    else
        qel_printf("\nCommand to set %s model chosen by %s would be:\n\n  %s", name.c_str(),
                   xicName(e.criteria[ci]), "LSet");
    const ModelFit &f = b.fit;
    if (r.substClass == 2) {
        std::string classes;
        for (size_t i = 0; i < 6; ++i) {
            classes += rateLetter(r.rateClass[i]);
            if (i < 5)
                classes += ' ';
        }
        qel_printf(" nst=6 rclass=(%s)", classes.c_str());
        qel_printf(" rmatrix=(%.8g %.8g %.8g %.8g %.8g)", f.rates[0], f.rates[1], f.rates[2], f.rates[3],
                   f.rates[4]);
    } else {
        qel_printf(" nst=%u", r.substClass + 1);
        // The ti/tv ratio, which gives back the fitted model (kappa would not).
        if (r.substClass == 1)
            qel_printf(" tratio=%.8g", f.tratio);
    }
    if (r.unequalFreqs)
        qel_printf(" basefreq=(%.8g %.8g %.8g)", f.freqs[0], f.freqs[1], f.freqs[2]);
    else
        qel_printf(" basefreq=equal");
    if (variant & kVariantG)
        qel_printf(" rates=gamma shape=%.8g", f.shape);
    if (variant & kVariantI)
        qel_printf(" pinv=%.8g", f.pinv);
    qel_printf(";\n");
    if (apply) {
        // Only the model changes; the user's other settings come back.
        ml = saved.ml;
        applyModelFit(row, variant, f);
    }
}

struct AutoModelRun {
    EvalModData e;
    SavedModelSettings saved;
    std::vector<uint32_t> trees;
    int lsetCriterion = -1;  // index into e.criteria
};

int autoModelThreadProc(void *arg)
{
    AutoModelRun &run = *static_cast<AutoModelRun *>(arg);
    EvalModData &e = run.e;
    TimeMark start{}, stop{};
    setTimeMark(&start);
    if (prepareData(kPrepLikelihood, 0, false) != 0)
        return 1;
    e.n = 0;
    for (uint32_t c = 0; c < e.d->nchar; ++c)
        e.n += (e.d->status[c] & kCharExcluded) ? 0 : 1;
    TreeHandle tree(createSearchTree(e.d));
    if (!tree)
        return 1;
    for (size_t t = 0; t < run.trees.size(); ++t) {
        if (getTree(getActiveTreeBuffer(), run.trees[t] + 1, tree.get()) != 0)
            return 1;
        qel_printf("\nEvaluating models for tree %u:\n", run.trees[t] + 1);
        if (const int s = evaluateEvalModData(e, tree.get(), static_cast<uint32_t>(t), false); s != 0)
            return s;
    }
    if (run.trees.size() > 1) {
        qel_printf("\nSummary of best scores for each tree:\n\n%6s", "");
        for (Xic c : e.criteria)
            qel_printf("    ---------- %4s ---------- ", xicName(c));
        qel_printf("\n%6s", "Tree");
        for (size_t ci = 0; ci < e.criteria.size(); ++ci)
            qel_printf("%6s %-10s%14s", "#", "Model", "Score ");
        qel_printf("\n");
        tableLine(kUnderlineLastLine, 0);
        for (size_t t = 0; t < run.trees.size(); ++t) {
            qel_printf("%6u", run.trees[t] + 1);
            for (size_t ci = 0; ci < e.criteria.size(); ++ci) {
                const XicBest &b = e.perTree[t][ci];
                char value[32];
                std::snprintf(value, sizeof value, "%.*f", e.criteria[ci] == Xic::kDT ? 6 : kLnLDecimals, b.value);
                qel_printf("%6u %-10s%13s%c", b.model + 1, modelNameForNum(e, b.model).c_str(), value,
                           b.value == e.overall[ci].value ? '*' : ' ');
            }
            qel_printf("\n");
        }
        qel_printf("\n   * = best score over all trees\n");
    }
    for (size_t ci = 0; ci < e.criteria.size(); ++ci)
        if (static_cast<int>(ci) != run.lsetCriterion)
            showLSetCmd(e, ci, false, run.saved);
    if (run.lsetCriterion >= 0)
        showLSetCmd(e, static_cast<size_t>(run.lsetCriterion), true, run.saved);
    setTimeMark(&stop);
    qel_printf("\n");
    showTimeUsed(&start, &stop, 0, " for model selection");
    return 0;
}

}  // namespace

std::vector<double> branchLengths(const Tree *tree)
{
    std::vector<double> v;
    std::vector<const TreeNode *> stack{tree->root};
    while (!stack.empty()) {
        const TreeNode *n = stack.back();
        stack.pop_back();
        for (const TreeNode *c = n->firstChild; c != nullptr; c = c->nextSib) {
            if (!(n == tree->root && n->index < 0 && n->firstChild->nextSib == nullptr))
                v.push_back(c->edge.brlen);
            stack.push_back(c);
        }
    }
    return v;
}

std::span<const uint32_t> modelSetRows(int32_t modelset)
{
    switch (modelset) {
    case kModelSetJ3: return kSetJ3;
    case kModelSetJ5: return kSetJ5;
    case kModelSetJ7: return kSetJ7;
    case kModelSetGTR: return kSetGTR;
    default: return kSetJ11;
    }
}

const char *xicName(Xic c)
{
    switch (c) {
    case Xic::kAIC: return "AIC";
    case Xic::kAICc: return "AICc";
    case Xic::kBIC: return "BIC";
    case Xic::kDT: return "DT";
    }
    return "";
}

int createEvalModData(EvalModData &e, int32_t modelset, bool aic, bool aicc, bool bic, bool dt, int lsetCriterion,
                      uint32_t ntrees, bool estimateFreqs)
{
    const std::span<const uint32_t> rows = modelSetRows(modelset);
    e.rows.assign(rows.begin(), rows.end());
    e.variants.clear();
    const uint8_t wanted[4] = {autoMod.equalRates, autoMod.invarSites, autoMod.gammaRates, autoMod.IplusG};
    for (uint32_t v = 0; v < 4; ++v)
        if (wanted[v])
            e.variants.push_back(v);
    if (e.variants.empty()) {
        qel_errorMsg(0, "You must request at least one among-site-rate specifier from {equalRates, gammaRates, "
                        "invarSites, gPlusI}.\tYou may request any combination of these options, but at least one "
                        "of them must be chosen.");
        return 1;
    }
    const bool want[4] = {aic, aicc, bic, dt};
    e.criteria.clear();
    e.dtIndex = -1;
    for (int c = 0; c < 4; ++c)
        if (want[c] || c == lsetCriterion) {
            if (c == 3)
                e.dtIndex = static_cast<int>(e.criteria.size());
            e.criteria.push_back(static_cast<Xic>(c));
        }
    if (e.criteria.empty()) {
        qel_errorMsg(0, "You must request at least one information criterion from {AIC, AICc, BIC, DT}.\t You may "
                        "request any combination of these options, but at least one of them must be chosen.");
        return 1;
    }
    e.estimateFreqs = estimateFreqs;
    e.perTree.assign(ntrees, std::vector<XicBest>(e.criteria.size()));
    e.overall.assign(e.criteria.size(), XicBest{});
    return 0;
}

void decodeModelNum(const EvalModData &e, uint32_t number, uint32_t *row, uint32_t *variant)
{
    const auto nv = static_cast<uint32_t>(e.variants.size());
    *row = e.rows[number / nv];
    *variant = e.variants[number % nv];
}

std::string modelNameForNum(const EvalModData &e, uint32_t number)
{
    uint32_t row = 0, variant = 0;
    decodeModelNum(e, number, &row, &variant);
    std::string name = gModelTable[row].name;
    if (variant & kVariantI)
        name += "+I";
    if (variant & kVariantG)
        name += "+G";
    return name;
}

namespace {

void setRateClasses(const int32_t classes[6])
{
    int32_t *dst[] = {&ml.cAC, &ml.cAG, &ml.cAT, &ml.cCG, &ml.cCT, &ml.cGT};
    for (size_t i = 0; i < 6; ++i)
        *dst[i] = classes[i];
}

void storeSettings()
{
    ml.modelName[0] = '\0';
    storeCurrentModel("", activeDataInfo(), false);
    invalidateMLprep();
}

}  // namespace

uint32_t setModelSettingsFromTable(const EvalModData &e, uint32_t number)
{
    uint32_t row = 0, variant = 0;
    decodeModelNum(e, number, &row, &variant);
    const ModelTableRow &r = gModelTable[row];
    ml.NST = static_cast<int32_t>(r.substClass);  // the keyword positions of 1, 2 and 6
    ml.estTratio = r.substClass == 1;
    ml.estRmatrix = r.substClass == 2;
    setRateClasses(r.rateClass);
    ml.rAC = ml.rAG = ml.rAT = ml.rCG = ml.rCT = ml.rGT = 1.0;
    ml.baseFreqMode = !r.unequalFreqs ? kFreqEqual : e.estimateFreqs ? kFreqEstimate : kFreqEmpirical;
    ml.rates = (variant & kVariantG) ? 1 : 0;
    ml.estGammaShape = (variant & kVariantG) != 0;
    ml.ncat = static_cast<int32_t>(e.ncat);
    ml.estPInvar = (variant & kVariantI) != 0;
    ml.userPInvar = 0.0;
    ml.estSiteRates = 0;
    ml.userBrLens = false;
    ml.estRateScaler = false;
    ml.modelPartition = nullptr;
    storeSettings();
    return substParams(r) + ((variant & kVariantI) ? 1 : 0) + ((variant & kVariantG) ? 1 : 0) +
           (r.unequalFreqs ? 3 : 0);
}

void applyModelFit(uint32_t row, uint32_t variant, const ModelFit &f)
{
    const ModelTableRow &r = gModelTable[row];
    ml.NST = static_cast<int32_t>(r.substClass);
    ml.estTratio = 0;
    ml.estRmatrix = 0;
    // Only what the chosen model fits is set, as its LSet command says; a
    // model without a ti/tv ratio, rate matrix or gamma shape has none to
    // give, and the user's own values must stay valid for a later LSet.
    if (r.substClass == 2) {
        setRateClasses(r.rateClass);
        ml.rAC = f.rates[0];
        ml.rAG = f.rates[1];
        ml.rAT = f.rates[2];
        ml.rCG = f.rates[3];
        ml.rCT = f.rates[4];
        ml.rGT = 1.0;
    }
    if (r.substClass == 1)
        ml.userTratio = f.tratio;
    if (r.unequalFreqs) {
        ml.baseFreqMode = kFreqUser;
        std::copy(f.freqs, f.freqs + 4, ml.userBaseFreqs);
    } else {
        ml.baseFreqMode = kFreqEqual;
    }
    ml.rates = (variant & kVariantG) ? 1 : 0;
    ml.estGammaShape = 0;
    if (variant & kVariantG)
        ml.userGammaShape = f.shape;
    ml.estPInvar = 0;
    ml.userPInvar = (variant & kVariantI) ? f.pinv : 0.0;
    ml.estSiteRates = 0;
    storeSettings();
}

std::vector<double> calcDTForTree(const EvalModData &e)
{
    const uint32_t m = e.numModels();
    std::vector<double> bic(m), w(m), dt(m, 0.0);
    double least = std::numeric_limits<double>::max();
    for (uint32_t i = 0; i < m; ++i)
        least = std::min(least, bic[i] = calcBIC(e.fits[i].k, e.fits[i].lnL, e.n));
    double W = 0.0;
    for (uint32_t i = 0; i < m; ++i)
        W += w[i] = detExp(-0.5 * (bic[i] - least));
    for (uint32_t i = 0; i < m; ++i) {
        double sum = 0.0;
        for (uint32_t j = 0; j < m; ++j) {
            if (j == i)
                continue;
            const std::vector<double> &a = e.fits[i].brlens, &b = e.fits[j].brlens;
            double ss = 0.0;
            for (size_t k = 0; k < a.size() && k < b.size(); ++k)
                ss += (a[k] - b[k]) * (a[k] - b[k]);
            sum += std::sqrt(ss) * w[j];
        }
        dt[i] = sum / W;
    }
    return dt;
}

namespace {

std::vector<double> nodeLengths(const Tree *t)
{
    std::vector<double> v(t->maxNodes);
    for (uint32_t i = 0; i < t->maxNodes; ++i)
        v[i] = t->nodes[i].edge.brlen;
    return v;
}

// Starting values from the fits already made, in place of the parsimony
// estimates. A model's nearest fitted relative is its predecessor in the
// set with the same rate variant (the set grows one restriction at a time)
// or, for the first model, its own earlier variants. The substitution
// rates or ti/tv ratio come from the model's own +G fit for +I+G (the
// gamma reshapes the rates much as it does there), from its first variant
// for the other variants, or for a first variant from the model before it
// (averaged over the new rate classes); the frequencies likewise from the
// same fit of the model or else the nearest earlier unequal-frequency
// model of this variant; the shape and the proportion of invariable sites
// from the predecessor's variant. A +I+G fit with no predecessor (or one
// whose joint fit was given up for +I or +G) takes its own +G shape and
// half its own +I proportion, the gamma taking over part of the rate
// variation.
ParamStartHints startHints(const EvalModData &e, uint32_t k)
{
    ParamStartHints h;
    const auto nv = static_cast<uint32_t>(e.variants.size());
    const uint32_t pos = k / nv, vi = k % nv;
    const uint32_t variant = e.variants[vi];
    const ModelTableRow &r = gModelTable[e.rows[pos]];
    const auto variantIndex = [&](uint32_t code) -> int {
        const auto it = std::find(e.variants.begin(), e.variants.end(), code);
        return it == e.variants.end() ? -1 : static_cast<int>(it - e.variants.begin());
    };
    const auto fitOf = [&](uint32_t p, int v) -> const ModelFit * {
        return v < 0 || p * nv + static_cast<uint32_t>(v) >= k ? nullptr : &e.fits[p * nv + static_cast<uint32_t>(v)];
    };
    // The model's own earlier fit the rates and frequencies come from.
    const int gamma = variantIndex(kVariantG);
    const int sibling = vi == 0 ? -1 : variant == kVariantIG && gamma >= 0 ? gamma : 0;
    const ModelFit *rates = sibling >= 0 ? fitOf(pos, sibling) : pos > 0 ? fitOf(pos - 1, 0) : nullptr;
    if (rates != nullptr) {
        const ModelTableRow &from = gModelTable[e.rows[vi > 0 ? pos : pos - 1]];
        if (r.substClass == 1 && from.substClass == 1)
            h.tratio = rates->tratio;
        if (r.substClass == 2) {
            double sum[6] = {}, n[6] = {};
            for (int i = 0; i < 6; ++i) {
                sum[r.rateClass[i]] += rates->rates[i];
                n[r.rateClass[i]] += 1.0;
            }
            for (int i = 0; i < 6; ++i)
                h.rates.push_back(sum[r.rateClass[i]] / n[r.rateClass[i]]);
        }
    }
    if (r.unequalFreqs && e.estimateFreqs) {
        const ModelFit *freqs = fitOf(pos, sibling);
        for (uint32_t p = pos; freqs == nullptr && p-- > 0;)
            if (gModelTable[e.rows[p]].unequalFreqs)
                freqs = fitOf(p, static_cast<int>(vi));
        if (freqs != nullptr)
            h.freqs.assign(freqs->freqs, freqs->freqs + 4);
    }
    const ModelFit *before = pos > 0 ? fitOf(pos - 1, static_cast<int>(vi)) : nullptr;
    if (variant == kVariantIG) {
        if (before != nullptr && before->pinv > 0.0 && before->shape < kShapeInfinite) {
            h.shape = before->shape;
            h.pinv = before->pinv;
        } else {
            if (const ModelFit *g = fitOf(pos, variantIndex(kVariantG)))
                h.shape = g->shape;
            if (const ModelFit *i = fitOf(pos, variantIndex(kVariantI)))
                h.pinv = 0.5 * i->pinv;
        }
    } else if (before != nullptr) {
        if (variant == kVariantG)
            h.shape = before->shape;
        if (variant == kVariantI)
            h.pinv = before->pinv;
    }
    return h;
}

// The fitted lengths a model starts from: its predecessor's with the same
// rate variant, or for the first model its own +G fit's (for +I+G) or the
// JC fit's (null).
const std::vector<double> *startLengths(const EvalModData &e, uint32_t k,
                                        const std::vector<std::vector<double>> &lengths)
{
    const auto nv = static_cast<uint32_t>(e.variants.size());
    const uint32_t pos = k / nv, vi = k % nv;
    if (pos > 0)
        return &lengths[k - nv];
    if (e.variants[vi] == kVariantIG)
        for (uint32_t v = 0; v < vi; ++v)
            if (e.variants[v] == kVariantG)
                return &lengths[v];
    return nullptr;
}

// Whether every restriction of row `inner` holds in row `outer` (each pair
// of rates `outer` ties is tied in `inner`), so that `outer` can take any
// values `inner` can; frequencies fixed at the data's are no superset of
// equal ones.
bool rowNests(const EvalModData &e, uint32_t outer, uint32_t inner)
{
    const ModelTableRow &o = gModelTable[outer], &i = gModelTable[inner];
    if (o.unequalFreqs != i.unequalFreqs && !(o.unequalFreqs && e.estimateFreqs))
        return false;
    for (int a = 0; a < 6; ++a)
        for (int b = a + 1; b < 6; ++b)
            if (o.rateClass[a] == o.rateClass[b] && i.rateClass[a] != i.rateClass[b])
                return false;
    return true;
}

bool modelNests(const EvalModData &e, uint32_t outer, uint32_t inner)
{
    uint32_t ro = 0, vo = 0, ri = 0, vi = 0;
    decodeModelNum(e, outer, &ro, &vo);
    decodeModelNum(e, inner, &ri, &vi);
    return outer != inner && (vi & ~vo) == 0 && rowNests(e, ro, ri);
}

// A model `outer` nests `inner` with no model of the set between them.
bool nestsDirectly(const EvalModData &e, uint32_t outer, uint32_t inner)
{
    if (!modelNests(e, outer, inner))
        return false;
    for (uint32_t m = 0; m < e.numModels(); ++m)
        if (m != inner && m != outer && modelNests(e, outer, m) && modelNests(e, m, inner))
            return false;
    return true;
}

// The values of one fit carried to another model: the rates averaged over
// the target's classes, the frequencies made equal where it has them so,
// a shape or proportion it lacks dropped and one it has but the source
// lacks at its no-effect value.
ModelFit projectFit(const EvalModData &e, uint32_t fromNumber, uint32_t to)
{
    const ModelFit &from = e.fits[fromNumber];
    uint32_t row = 0, variant = 0;
    decodeModelNum(e, to, &row, &variant);
    const ModelTableRow &r = gModelTable[row];
    ModelFit f = from;
    if (!r.unequalFreqs)
        std::fill(f.freqs, f.freqs + 4, 0.25);
    // A source with a ti/tv ratio or one rate holds its rates as kappa.
    uint32_t fromRow = 0, fromVariant = 0;
    decodeModelNum(e, fromNumber, &fromRow, &fromVariant);
    const uint32_t fromClass = gModelTable[fromRow].substClass;
    double six[6];
    for (int i = 0; i < 6; ++i)
        six[i] = fromClass == 2 ? from.rates[i] : fromClass == 1 && (i == 1 || i == 4) ? from.kappa : 1.0;
    double sum[6] = {}, n[6] = {};
    for (int i = 0; i < 6; ++i) {
        sum[r.rateClass[i]] += six[i];
        n[r.rateClass[i]] += 1.0;
    }
    const double gt = sum[r.rateClass[5]] / n[r.rateClass[5]];
    for (int i = 0; i < 6; ++i)
        f.rates[i] = sum[r.rateClass[i]] / n[r.rateClass[i]] / gt;
    f.kappa = r.substClass == 1 ? f.rates[1] : 1.0;
    f.tratio = r.substClass == 1 ? convertKtoR(f.freqs, false, f.kappa) : 0.0;
    f.shape = (variant & kVariantG) ? (from.shape > 0.0 ? from.shape : kShapeInfinite) : 0.0;
    f.pinv = (variant & kVariantI) ? from.pinv : 0.0;
    return f;
}

ParamStartHints hintsFromFit(const ModelFit &f)
{
    ParamStartHints h;
    h.tratio = f.tratio;
    h.shape = f.shape;
    h.pinv = std::max(f.pinv, kRefitPinvStart);
    h.rates.assign(f.rates, f.rates + 6);
    h.freqs.assign(f.freqs, f.freqs + 4);
    return h;
}

// Fits the model the settings hold on a copy of `start`, from `lengths`
// (null: the JC fit's, which `start` holds) and `hints`, or from the
// engine's own starting lengths and values with its second start, as a tree
// scored for itself; -ln L, or kNoLScore on failure.
double fitFrom(const Tree *start, Tree *work, const std::vector<double> *lengths,
               const ParamStartHints *hints, bool singleStart, bool ownStart = false)
{
    if (copyTree(start, work) != 0 || prepareData(kPrepLikelihood, 0, false) != 0)
        return kNoLScore;
    if (!ownStart) {
        if (lengths != nullptr)
            for (uint32_t i = 0; i < work->maxNodes; ++i)
                work->nodes[i].edge.brlen = (*lengths)[i];
        getActiveML()->initBrLenMethod = static_cast<uint32_t>(kInitBrLenKeepCurrent);
    }
    setSingleStartParamEst(singleStart);
    setParamStartHints(hints);
    setTrialsFromBestLengths(!ownStart);
    const double lnL = ownStart ? calcTreeLikelihoodForItself(work, kNoLScore) : calcTreeLikelihood(work, kNoLScore);
    setTrialsFromBestLengths(false);
    setParamStartHints(nullptr);
    setSingleStartParamEst(false);
    return lnL;
}

// A model's fit may stop in a local optimum where a related model's fit,
// carried over, lies lower: below a model nested in it (which it can match
// exactly), or below what a model nesting it reaches with its extra
// parameters near their no-effect values. Each model is fitted again from
// such a relative's values when, at those values with only the lengths
// fitted, it scores better than its own fit; and a model never stays
// worse than one nested in it, whose values it takes at the last.
int mendLocalOptima(EvalModData &e, const Tree *start, Tree *work, std::vector<std::vector<double>> &fitted)
{
    const uint32_t nm = e.numModels();
    const bool withLengths = e.dtIndex >= 0;
    auto tolerance = [](double lnL) { return std::max(kRefitGain, lnL * kRefitGainRel); };
    // Model k at j's values, lengths fitted, then from there with every
    // parameter: the better fit replaces k's when it beats it.
    auto tryFrom = [&](uint32_t k, uint32_t j) -> int {
        uint32_t row = 0, variant = 0;
        decodeModelNum(e, k, &row, &variant);
        ModelFit &fk = e.fits[k];
        const ModelFit proj = projectFit(e, j, k);
        setModelSettingsFromTable(e, k);
        applyModelFit(row, variant, proj);
        const double atProj = fitFrom(start, work, &fitted[j], nullptr, false);
        if (atProj >= kNoLScore)
            return getAbortedStatus() != 0 ? 2 : 1;
        if (!(atProj < fk.lnL - tolerance(fk.lnL)))
            return 0;
        ModelFit best = currentFit(atProj, work, withLengths);
        std::vector<double> bestLengths = nodeLengths(work);
        setModelSettingsFromTable(e, k);
        const ParamStartHints hints = hintsFromFit(proj);
        const double refit = fitFrom(start, work, &bestLengths, &hints, true);
        if (refit >= kNoLScore)
            return getAbortedStatus() != 0 ? 2 : 1;
        if (refit < atProj) {
            best = currentFit(refit, work, withLengths);
            bestLengths = nodeLengths(work);
        }
        best.kSubst = fk.kSubst;
        best.k = fk.k;
        fk = best;
        fitted[k] = std::move(bestLengths);
        return -1;
    };
    // The models nested in no other are fitted once more from the engine's
    // own starting lengths and values, as LScores fits them: the chain of
    // related starts can lead every model of the set into the same poor basin, and
    // a better one found at the top reaches the models below through their
    // refits.
    for (uint32_t k = 0; k < nm; ++k) {
        bool top = true;
        for (uint32_t j = 0; j < nm && top; ++j)
            top = !modelNests(e, j, k);
        if (!top)
            continue;
        setModelSettingsFromTable(e, k);
        const double own = fitFrom(start, work, nullptr, nullptr, false, true);
        if (own >= kNoLScore)
            return getAbortedStatus() != 0 ? 2 : 1;
        if (own < e.fits[k].lnL) {
            ModelFit f = currentFit(own, work, withLengths);
            f.kSubst = e.fits[k].kSubst;
            f.k = e.fits[k].k;
            e.fits[k] = f;
            fitted[k] = nodeLengths(work);
        }
    }
    bool changed = true;
    for (uint32_t round = 0; changed && round < kRefitRounds; ++round) {
        changed = false;
        for (uint32_t k = 0; k < nm; ++k) {
            // The best nested model, and every model directly above.
            std::vector<uint32_t> from;
            int inner = -1;
            for (uint32_t j = 0; j < nm; ++j) {
                if (!(e.fits[j].lnL < e.fits[k].lnL - tolerance(e.fits[k].lnL)))
                    continue;
                if (modelNests(e, k, j) && (inner < 0 || e.fits[j].lnL < e.fits[inner].lnL))
                    inner = static_cast<int>(j);
                else if (nestsDirectly(e, j, k))
                    from.push_back(j);
            }
            if (inner >= 0)
                from.insert(from.begin(), static_cast<uint32_t>(inner));
            for (uint32_t j : from) {
                if (!(e.fits[j].lnL < e.fits[k].lnL - tolerance(e.fits[k].lnL)))
                    continue;
                const int rc = tryFrom(k, j);
                if (rc > 0)
                    return rc;
                changed = changed || rc < 0;
                if (getAbortedStatus() != 0)
                    return 2;
            }
        }
    }
    // Within the fits' tolerance a nested model's values stand for the
    // model's own: the same likelihood at the same point.
    for (uint32_t k = 0; k < nm; ++k)
        for (uint32_t j = 0; j < nm; ++j)
            if (modelNests(e, k, j) && e.fits[j].lnL < e.fits[k].lnL) {
                ModelFit f = projectFit(e, j, k);
                f.kSubst = e.fits[k].kSubst;
                f.k = e.fits[k].k;
                e.fits[k] = f;
                fitted[k] = fitted[j];
            }
    return 0;
}

}  // namespace

int evaluateEvalModData(EvalModData &e, const Tree *source, uint32_t treeIndex, bool quiet)
{
    const uint32_t nm = e.numModels();
    e.fits.assign(nm, ModelFit{});
    e.values.assign(e.criteria.size(), std::vector<double>(nm, 0.0));
    TreeHandle start(createSearchTree(e.d)), work(createSearchTree(e.d));
    if (!start || !work || copyTree(source, start.get()) != 0)
        return 1;
    const bool withLengths = e.dtIndex >= 0;
    // Every model's fitted lengths, by node, for the models that start from them.
    std::vector<std::vector<double>> fitted(nm);
    const uint32_t branches = countTreeParams(start.get(), ml.clock != 0) + (e.penTopology ? 1 : 0);

    // The JC fit gives every model its starting branch lengths; it is model
    // 0 itself only when equal rates is the first variant.
    ModelFit jc;
    {
        EvalModData jcOnly = e;
        jcOnly.variants.assign(1, kVariantEqual);
        jcOnly.rows.assign(1, 0);
        setModelSettingsFromTable(jcOnly, 0);
        if (prepareData(kPrepLikelihood, 0, false) != 0)
            return 1;
        const double lnL = calcTreeLikelihood(start.get(), kNoLScore);
        if (lnL >= kNoLScore)
            return getAbortedStatus() != 0 ? 2 : 1;
        jc = currentFit(lnL, start.get(), withLengths);
    }
    // A row is shown as its model is fitted, so that the table shows the
    // fits under way.
    const auto showRow = [&](uint32_t k) {
        const ModelFit &f = e.fits[k];
        for (size_t ci = 0; ci < e.criteria.size(); ++ci)
            if (e.criteria[ci] != Xic::kDT)
                storeXic(e, ci, k, treeIndex, xicValue(e.criteria[ci], f.k, f.lnL, e.n));
        if (!e.showScores || quiet)
            return;
        qel_printf("%6u  %-10s%14.*f%8u%8u", k + 1, modelNameForNum(e, k).c_str(), kLnLDecimals, f.lnL, f.kSubst, f.k);
        for (size_t ci = 0; ci < e.criteria.size(); ++ci)
            if (e.criteria[ci] != Xic::kDT)
                qel_printf("%14.*f", kLnLDecimals, e.values[ci][k]);
        qel_printf("\n");
    };
    if (e.showScores && !quiet)
        showModelScoresHeading(e);
    const bool guard = std::count_if(e.variants.begin(), e.variants.end(), [](uint32_t v) { return v != 0; }) == 3;
    for (uint32_t k = 0; k < nm; ++k) {
        uint32_t row = 0, variant = 0;
        decodeModelNum(e, k, &row, &variant);
        const uint32_t kSubst = setModelSettingsFromTable(e, k);
        ModelFit f;
        if (k == 0 && row == 0 && variant == kVariantEqual) {
            f = jc;
            fitted[k] = nodeLengths(start.get());
        } else {
            // The lengths the work tree holds are the start, not the
            // parsimony approximation: the JC fit's, or a related model's.
            // With the guard, the +I and +G fits of the model are the
            // gamma-only and invariable-sites-only basins that the engine
            // would otherwise search again: one joint start suffices.
            const ParamStartHints hints = startHints(e, k);
            const double lnL =
                fitFrom(start.get(), work.get(), startLengths(e, k, fitted), &hints,
                        guard && variant == kVariantIG);
            if (lnL >= kNoLScore)
                return getAbortedStatus() != 0 ? 2 : 1;
            f = currentFit(lnL, work.get(), withLengths);
            fitted[k] = nodeLengths(work.get());
        }
        f.kSubst = kSubst;
        f.k = kSubst + branches;
        e.fits[k] = f;
        if (incrementProgressValue(e.progress) == kProgressAborted || getAbortedStatus() != 0)
            return 2;
        showRow(k);
    }
    std::vector<double> first(nm);
    for (uint32_t k = 0; k < nm; ++k)
        first[k] = e.fits[k].lnL;
    if (const int s = mendLocalOptima(e, start.get(), work.get(), fitted); s != 0)
        return s;
    // The models whose fit improved by what the table shows are shown
    // again with their new scores.
    bool heading = false;
    for (uint32_t k = 0; k < nm; ++k) {
        if (!(first[k] - e.fits[k].lnL >= kShownLnLChange))
            continue;
        if (!heading && e.showScores && !quiet) {
            qel_printf("\nModels fitted again from a related model's fit (a better optimum):\n");
            showModelScoresHeading(e);
        }
        heading = true;
        showRow(k);
    }
    if (e.dtIndex >= 0) {
        const std::vector<double> dt = calcDTForTree(e);
        for (uint32_t k = 0; k < nm; ++k)
            storeXic(e, static_cast<size_t>(e.dtIndex), k, treeIndex, dt[k]);
    }
    if (quiet)
        return 0;
    if (e.showParamEst)
        showParamEstimates(e);
    showXicDetailsForOneTree(e);
    return 0;
}

ModelFit currentFit(double lnL, const Tree *tree, bool withLengths)
{
    ModelFit f;
    f.lnL = lnL;
    Model *m = getModel0();
    const ModelEngineData *eng = modelEngine(m);
    for (size_t i = 0; i < 4 && i < eng->pi.size(); ++i)
        f.freqs[i] = eng->pi[i];
    f.tratio = m->tratio == kEstimate ? m->prevTratio : m->tratio;
    f.kappa = convertRtoK(f.freqs, m->F84 != 0, f.tratio);
    if (eng->fullRates.size() >= 6 && eng->fullRates[5] > 0)
        for (size_t i = 0; i < 6; ++i)
            f.rates[i] = eng->fullRates[i] / eng->fullRates[5];
    if (m->rateInfo != nullptr) {
        f.shape = m->rateInfo->shape;
        f.pinv = m->rateInfo->pinv;
    }
    if (withLengths)
        f.brlens = branchLengths(tree);
    return f;
}

std::string paramText(double v, int column)
{
    const auto room = static_cast<size_t>(column - 1);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", v);
    for (int digits = 6; std::strlen(buf) > room && digits >= 1; --digits)
        std::snprintf(buf, sizeof buf, "%.*g", digits, v);
    return buf;
}

void printParamCell(const std::string &text, int column)
{
    qel_printf("%*s", std::max(column, static_cast<int>(text.size()) + 1), text.c_str());
}

SavedModelSettings saveModelSettings() { return SavedModelSettings{ml}; }

void restoreModelSettings(const SavedModelSettings &s)
{
    ml = s.ml;
    storeSettings();
}

int readTreeListAndOptions(uint32_t slot, bool positional, OptionSet set, std::vector<uint32_t> &trees)
{
    Set *&list = treeSets[slot];
    Set *before = nullptr;
    if (initTreeListSet(&list, &before, false) != 0)
        return 1;
    SetHandle kept(before);
    if ((positional && getTreeList(list, true, false) != 0) || getCmdParams(set, ";", nullptr) <= 0) {
        // A list made for this call goes; one from before comes back.
        if (kept)
            copySet(kept.get(), list);
        else
            list = deallocSet(list);
        return 1;
    }
    const uint32_t inMemory = numTreesInMainBuffer();
    trees.clear();
    for (uint32_t m = firstSetMember(list); m != kSetEnd; m = nextSetMember(list))
        if (m < inMemory)
            trees.push_back(m);
    if (trees.empty())
        trees.push_back(0);
    return 0;
}

int doAutoModelCmd()
{
    DataInfo *d = activeDataInfo();
    TreeBuffer *buf = getActiveTreeBuffer();
    const uint32_t inMemory = numTreesInBuffer(buf);
    if (inMemory == 0) {
        qel_errorMsg(0, "One or more trees must be in memory prior to automated model selection or partitioning.\tAs "
                        "long as the tree is reasonable for the data, model selection using the methods available "
                        "here does not depend strongly on the specific topology; a common method for getting a base "
                        "tree is neighbor-joining with either LogDet or Jukes-Cantor distances.");
        return 1;
    }
    if (d == nullptr || d->nchar == 0) {
        qel_errorMsg(0, "No character data are available.");
        return 1;
    }
    // The models compared are nucleotide models: other data would be scored
    // under their own model in every row, whatever the row's name.
    if (verifyNucleotideData(d, "AutoModel") != 0)
        return 1;
    const bool rooted = areTreesRooted(buf);
    if (checkMinTaxa(d, rooted ? 2 : 3, "Automated model-selection for ", rooted ? "rooted tree(s) " : "unrooted tree(s) "))
        return 1;
    // Under a clock the fits measure ages from a root; LScores refuses
    // unrooted trees there with the same error and advice.
    if (checkCritRootedness(rooted, kCriterionLikelihood) != 0)
        return 1;
    AutoModelRun run;
    // The list may also be written after the command's name.
    if (readTreeListAndOptions(kAutoModelTreeSet, true, OptionSet::kAutoModel, run.trees) != 0)
        return 1;
    const int lsetCriterion = lsetCriterionOf(autoMod.lset);
    run.e.d = d;
    if (createEvalModData(run.e, autoMod.modelset, autoMod.AIC, autoMod.AICc, autoMod.BIC, autoMod.DT, lsetCriterion,
                          static_cast<uint32_t>(run.trees.size()), autoMod.stateFreq == 0) != 0)
        return 1;
    for (size_t ci = 0; ci < run.e.criteria.size(); ++ci)
        if (static_cast<int>(run.e.criteria[ci]) == lsetCriterion)
            run.lsetCriterion = static_cast<int>(ci);
    run.e.penTopology = autoMod.penTopology != 0;
    run.e.showScores = autoMod.showModelScores != 0;
    run.e.showParamEst = autoMod.showParamEst != 0;
    run.e.ncat = static_cast<uint32_t>(std::max(ml.ncat, 2));
    run.saved = saveModelSettings();
    const uint32_t oldCriterion = tempResetOptCrit(kCriterionLikelihood);
    run.e.progress = createProgressWindow(static_cast<uint32_t>(run.trees.size() * run.e.numModels()), 0,
                                          "Automated model selection...");
    setStatusText("Doing automated model selection...");
    // The fits take long: an interrupt is confirmed first, as a search's is,
    // and a "no" lets the fit in progress go on.
    const int32_t longOperation = setLongOperationStatus(1);
    const int status = runSecondaryThread(autoModelThreadProc, &run);
    setLongOperationStatus(longOperation);
    if (status == 2) {
        const uint32_t fitted = getProgressValue(run.e.progress);
        qel_printf("\nAutomated model selection stopped by the user after %u %s\n", fitted,
                   fitted == 1 ? "model" : "models");
    }
    run.e.progress = destroyProgressWindow(run.e.progress);
    clearStatusText();
    if (status != 0 || run.lsetCriterion < 0)
        restoreModelSettings(run.saved);
    restoreOriginalOptCrit(oldCriterion);
    return status;
}
