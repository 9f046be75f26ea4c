// AutoModel: fits a fixed family of nucleotide models, each with up to four
// among-site rate variants, to the chosen trees and ranks the fits by AIC,
// AICc, BIC and the decision-theoretic criterion DT; optionally leaves the
// chosen model as the likelihood settings. The model table, the model sets
// and the evaluation record serve the partition search as well.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "cli/option_sets.h"
#include "likelihood/likelihood_settings.h"

struct DataInfo;
struct ProgData;
struct Tree;

struct ModelTableRow {
    const char *name;
    uint32_t substClass;  // 0 one rate, 1 ti/tv ratio, 2 rate classes
    int32_t rateClass[6];  // AC AG AT CG CT GT
    bool unequalFreqs;
};
inline constexpr size_t kNumTableModels = 22;
extern const ModelTableRow gModelTable[kNumTableModels];

// The modelset keywords: "j3", "j5", "j7", "j11" and, for the partition
// search, "GTR".
enum : int32_t { kModelSetJ3 = 0, kModelSetJ5 = 1, kModelSetJ7 = 2, kModelSetJ11 = 3, kModelSetGTR = 4 };
std::span<const uint32_t> modelSetRows(int32_t modelset);

// Rate variants: bit 0 invariable sites, bit 1 gamma.
enum : uint32_t { kVariantEqual = 0, kVariantI = 1, kVariantG = 2, kVariantIG = 3 };

enum class Xic { kAIC, kAICc, kBIC, kDT };
const char *xicName(Xic c);

// One model's fit on one tree.
struct ModelFit {
    double lnL = 0;  // -ln L
    uint32_t kSubst = 0, k = 0;
    double freqs[4] = {0.25, 0.25, 0.25, 0.25};
    double tratio = 0, kappa = 0;
    double rates[6] = {1, 1, 1, 1, 1, 1};  // relative to GT
    double shape = 0, pinv = 0;            // 0: not in the model
    std::vector<double> brlens;            // for DT
};

struct XicBest {
    double value = std::numeric_limits<double>::max();
    uint32_t model = 0, tree = 0;
    ModelFit fit;
};

struct EvalModData {
    DataInfo *d = nullptr;
    std::vector<uint32_t> rows;      // the model set
    std::vector<uint32_t> variants;  // in order
    std::vector<Xic> criteria;       // in the order AIC, AICc, BIC, DT
    int dtIndex = -1;
    bool estimateFreqs = true;
    bool penTopology = false, showScores = true, showParamEst = false;
    uint32_t ncat = 4;  // gamma categories
    double n = 0;       // sample size of AICc and BIC
    // Of the tree being evaluated: per model number, and per criterion the
    // values per model.
    std::vector<ModelFit> fits;
    std::vector<std::vector<double>> values;
    std::vector<std::vector<XicBest>> perTree;  // per tree, per criterion
    std::vector<XicBest> overall;               // per criterion
    ProgData *progress = nullptr;

    uint32_t numModels() const { return static_cast<uint32_t>(rows.size() * variants.size()); }
};

// Builds the record; a criterion is included when requested or when it is
// the lset criterion (lsetCriterion < 0: none). 0, or 1 after the message
// for no variant or no criterion.
int createEvalModData(EvalModData &e, int32_t modelset, bool aic, bool aicc, bool bic, bool dt,
                      int lsetCriterion, uint32_t ntrees, bool estimateFreqs);

void decodeModelNum(const EvalModData &e, uint32_t number, uint32_t *row, uint32_t *variant);
std::string modelNameForNum(const EvalModData &e, uint32_t number);
// Sets the likelihood settings for the model (parameters to be estimated);
// its number of substitution parameters.
uint32_t setModelSettingsFromTable(const EvalModData &e, uint32_t number);
// Sets the likelihood settings to a fitted model's values (nothing left to
// estimate).
void applyModelFit(uint32_t row, uint32_t variant, const ModelFit &fit);

// Evaluates every model on the tree (number from 1, for display; `tree`
// index in perTree); with quiet nothing is printed. 0, 1 (likelihood
// failure) or 2 (abort).
int evaluateEvalModData(EvalModData &e, const Tree *tree, uint32_t treeIndex, bool quiet);

// The fit the likelihood settings hold after a score of the tree: the
// estimates of the default model (with its branch lengths when asked).
ModelFit currentFit(double lnL, const Tree *tree, bool withLengths);

// An estimate as the text of a table cell `column` characters wide: three
// decimals, or fewer significant digits where that would leave no blank
// before it. Printed right-aligned, and wider when the text still does not
// fit, so that a blank always parts it from the cell before.
std::string paramText(double v, int column);
void printParamCell(const std::string &text, int column);

// The branch lengths of the tree in node order (the same topology gives the
// same order), without the one above the data-less ancestor.
std::vector<double> branchLengths(const Tree *tree);

// The DT value of every model of the tree just evaluated.
std::vector<double> calcDTForTree(const EvalModData &e);

// The settings AutoModel and the partition search change, saved whole.
struct SavedModelSettings {
    LSet ml;
};
SavedModelSettings saveModelSettings();
void restoreModelSettings(const SavedModelSettings &s);

// Reads a command's options together with the tree list it keeps between
// calls in treeSets[slot] (with positional, a list may come first, after the
// command's name). On failure the list is left as it was and 1 returned;
// else trees holds the listed trees (0-based; the first tree when none).
int readTreeListAndOptions(uint32_t slot, bool positional, OptionSet set, std::vector<uint32_t> &trees);

int doAutoModelCmd();
