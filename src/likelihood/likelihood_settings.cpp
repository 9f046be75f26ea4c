#include "likelihood/likelihood_settings.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "data/model.h"
#include "data/nexsets.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_multithread.h"
#include "qel/qel_strings.h"
#include "cli/qel_cmdline.h"

// Fields that no option sets start as the likelihood engine expects them;
// every option field gets its factory value at start-up.
LSet ml = [] {
    LSet m{};
    m.prevRateScaler = -1.0;
    m.useApproxLim = 1;
    m.approxLim = 5.0;
    return m;
}();
LScoresSettings lscOpt{};
SurfCheckSettings surfChk{};
RaxmlSettings raxmlOpt = [] {
    RaxmlSettings r{};
    r.optPrecision = -1.0;
    return r;
}();
GarliSettings garliOpt{};

namespace {

LikelihoodSettingsServices gServices{};

// Value words of the custom options end at these characters.
constexpr const char *kValuePunct = "();:=,";

void invalidatePrep()
{
    if (gServices.invalidateMLprep)
        gServices.invalidateMLprep();
}

// The value of a custom option: one word. False after a read error.
bool readValueWord(char *word, uint32_t size)
{
    return readSpecialToken(word, size, nullptr, kValuePunct, nullptr, false) >= 0;
}

// A finite number and nothing else.
bool parseReal(const char *word, double *value)
{
    double v = 0.0;
    if (word[0] == '\0' || stringToDouble(word, &v) != kConvOk || !std::isfinite(v))
        return false;
    *value = v;
    return true;
}

// Position of `word` in a keyword list; -1 for none (and for an empty word).
int keywordOf(const char *keywords, const char *word)
{
    if (word[0] == '\0')
        return -1;
    int k = paramValueNum(keywords, word);
    return k < 0 ? -1 : k;
}

void showText(void *place, const char *text)
{
    if (place != nullptr)
        *static_cast<const char **>(place) = text;
}

// What a custom option writes, kept between the save and the restore or
// comparison of one command's options.
struct Field {
    void *at;
    size_t size;
};

int savedFieldsOp(int operation, std::vector<unsigned char> &saved,
                  std::initializer_list<Field> fields)
{
    size_t total = 0;
    for (const Field &f : fields)
        total += f.size;
    if (operation == kParamOpSave) {
        saved.resize(total);
        size_t at = 0;
        for (const Field &f : fields)
            std::memcpy(saved.data() + at, f.at, f.size), at += f.size;
        return 0;
    }
    if (saved.size() != total)
        return operation == kParamOpChanged;
    size_t at = 0;
    for (const Field &f : fields) {
        if (operation == kParamOpChanged && std::memcmp(saved.data() + at, f.at, f.size) != 0)
            return 1;
        if (operation == kParamOpRestore)
            std::memcpy(f.at, saved.data() + at, f.size);
        at += f.size;
    }
    return 0;
}

bool isSavedFieldsOp(int operation)
{
    return operation == kParamOpSave || operation == kParamOpRestore ||
           operation == kParamOpChanged;
}

// A value that is either given or estimated: "<real>|estimate|previous".
// `check` refuses a given value with its own message; "previous" takes the
// default model's last estimate, which is negative while there is none.
struct EstimableReal {
    double *value;
    uint8_t *estimate;
    int (*check)(double);
    double Model::*previous;
    uint32_t noPreviousCode;
    const char *noPreviousMsg;
    const char *format;
    std::vector<unsigned char> *saved;
};

int estimableRealOp(int operation, CmdParam *option, void *place, const EstimableReal &e)
{
    if (isSavedFieldsOp(operation))
        return savedFieldsOp(operation, *e.saved,
                             {{e.value, sizeof(double)}, {e.estimate, sizeof(uint8_t)}});
    if (operation == kParamOpCurValue) {
        showText(place, *e.estimate ? "Estimate" : makeCurDefaultString(e.format, *e.value));
        return 0;
    }
    if (operation != kParamOpReadValue)
        return 0;
    char word[kMaxValueChars + 1];
    if (!readValueWord(word, sizeof word))
        return 1;
    double v = 0.0;
    if (parseReal(word, &v)) {
        if (e.check(v) != 0)
            return 1;
        *e.value = v;
        *e.estimate = 0;
        return 0;
    }
    switch (keywordOf("estimate\0previous\0", word)) {
    case 0:
        *e.estimate = 1;
        return 0;
    case 1: {
        const double previous = getDefaultModel()->*e.previous;
        if (!(previous >= 0.0))
            return qel_errorMsg(e.noPreviousCode, "%s", e.noPreviousMsg), 1;
        *e.value = previous;
        *e.estimate = 0;
        return 0;
    }
    default:
        return errMsgBadParamValue(option->name, word);
    }
}

// Rates further apart than this leave the smaller ones below the rounding of
// the rate matrix's eigen-system: the transition probabilities come out
// negative or zero and the likelihood of any tree as zero, a score that
// means nothing.
constexpr double kMaxRateRatio = 1e12;

int checkTratio(double v)
{
    if (!(v > 0.0))
        return qel_errorMsg(831, "The ti/tv ratio ('TRatio') must be nonnegative."), 1;
    if (v > kMaxRateRatio)
        return qel_errorMsg(0, "The ti/tv ratio ('TRatio') must be at most %g: a larger ratio makes the likelihood "
                               "impossible to compute.",
                            kMaxRateRatio),
               1;
    return 0;
}

// Reads, after the "(", up to `max` numbers in (0, upper) and the ")"; the
// count read, or -1 after an error.
int readPositiveList(double *values, int max, double upper, uint32_t badCode,
                     const char *badFormat)
{
    char word[kMaxValueChars + 1];
    for (int n = 0;; ++n) {
        if (!readValueWord(word, sizeof word))
            return -1;
        if (std::strcmp(word, ")") == 0)
            return n;
        if (n == max)
            return qel_errorMsg(205,
                                "Expecting right parenthesis (')') found \"%s\".\tIt is possible "
                                "that this is a downstream effect of an earlier formatting "
                                "mistake.",
                                word),
                   -1;
        if (!parseReal(word, &values[n]) || !(values[n] > 0.0) || !(values[n] < upper)) {
            bool numeric = std::isdigit(static_cast<unsigned char>(word[0])) || word[0] == '.';
            qel_errorMsg(badCode, badFormat, word);
            if (numeric)
                qel_printf("Make sure that the set of numeric values is enclosed in "
                           "parentheses.\n");
            return -1;
        }
    }
}

int unexpectedRightParen()
{
    return qel_errorMsg(206, "Unexpected right parenthesis.\tIt is possible that this is a "
                             "downstream effect of an earlier formatting mistake."),
           1;
}

// Base and amino-acid frequencies share one reader.
struct FreqOption {
    double *values;
    int32_t *mode;
    bool aminoAcids;
    std::vector<unsigned char> *saved;
};

uint32_t numFreqStates(const FreqOption &f)
{
    if (f.aminoAcids)
        return kNumAminoAcids;
    uint32_t n = gServices.numBaseFreqStates ? gServices.numBaseFreqStates() : 0;
    return n != 0 ? n : 4;
}

int freqOp(int operation, CmdParam *option, void *place, const FreqOption &f)
{
    const size_t arraySize = (f.aminoAcids ? kNumAminoAcids : 4) * sizeof(double);
    if (isSavedFieldsOp(operation))
        return savedFieldsOp(operation, *f.saved, {{f.values, arraySize}, {f.mode, 4}});
    uint32_t n = numFreqStates(f);
    switch (operation) {
    case kParamOpFactory: {
        const size_t slots = arraySize / sizeof(double);
        const size_t used = n < slots ? n : slots;
        for (size_t i = 0; i < slots; ++i)
            f.values[i] = i < used ? 1.0 / static_cast<double>(used) : 0.0;
        *f.mode = kFreqEmpirical;
        return 0;
    }
    case kParamOpValueList:
        showText(place, f.aminoAcids || n > 4
                            ? "empirical|equal|estimate|previous|(<list>)|Intrinsic"
                        : n == 2 ? "empirical|equal|estimate|previous|(<frqA+frqG>)"
                                 : "empirical|equal|estimate|previous|(<frqA><frqC><frqG>)");
        return 0;
    case kParamOpCurValue: {
        static const char *const kModes[] = {"empirical", "equal", "estimate", nullptr,
                                             "intrinsic"};
        if (*f.mode != kFreqUser) {
            showText(place, *f.mode >= 0 && *f.mode <= 4 ? kModes[*f.mode] : "");
            return 0;
        }
        if (n == 2)
            showText(place, makeCurDefaultString("(%.6g)", f.values[0]));
        else if (n == 4)
            showText(place, makeCurDefaultString("(%.6g %.6g %.6g)", f.values[0], f.values[1],
                                                 f.values[2]));
        else {
            // More states than the array holds: the frequencies fixed for
            // them are the default model's own.
            const Model *m = getDefaultModel();
            const double *values = n > arraySize / sizeof(double) && m->stateFreqs.size() == n &&
                                               m->stateFreqs[0] >= 0.0
                                       ? m->stateFreqs.data()
                                       : f.values;
            const char *text = makeCurDefaultString("(");
            for (uint32_t i = 0; i < n; ++i)
                text = printfToDefaultString(i + 1 < n ? "%.2g " : "%.2g)", values[i]);
            showText(place, text);
        }
        return 0;
    }
    case kParamOpReadValue:
        break;
    default:
        return 0;
    }

    char word[kMaxValueChars + 1];
    if (!readValueWord(word, sizeof word))
        return 1;
    if (std::strcmp(word, "(") == 0) {
        // The array holds four base frequencies; data with more states
        // cannot take user values through it.
        if (n > arraySize / sizeof(double))
            return qel_errorMsg(833, "User-input state frequencies are invalid.\tThe data have "
                                     "more states than base frequencies can be given for."),
                   1;
        double v[kNumAminoAcids + 1] = {};
        int count = readPositiveList(v, static_cast<int>(n), 1.0, 846,
                                     "Base frequency \"%s\" is not valid.");
        if (count < 0)
            return 1;
        if (count < static_cast<int>(n) - 1)
            return unexpectedRightParen();
        double sum = 0.0;
        for (int i = 0; i < count; ++i)
            sum += v[i];
        if (count == static_cast<int>(n) - 1) {
            if (!(sum < 1.0))
                return qel_errorMsg(833, "User-input state frequencies are invalid.\tIf the "
                                         "number of frequencies supplied is one less than the "
                                         "number of possible states, the frequencies must sum "
                                         "must be less than 1."),
                       1;
            v[n - 1] = 1.0 - sum;
        } else {
            if (std::fabs(sum - 1.0) > 0.001)
                return qel_errorMsg(833, "User-input state frequencies are invalid.\tState "
                                         "frequencies must sum to 1."),
                       1;
            for (uint32_t i = 0; i < n; ++i)
                v[i] /= sum;
        }
        std::memcpy(f.values, v, n * sizeof(double));
        *f.mode = kFreqUser;
        return 0;
    }
    const char *keywords = f.aminoAcids ? "empirical\0equal\0estimate\0previous\0intrinsic\0"
                                        : "empirical\0equal\0estimate\0previous\0";
    int k = word[0] != '\0' ? paramValueNum(keywords, word) : -1;
    if (k == -2)
        return qel_errorMsg(142,
                            "Abbreviation \"%s\" for %s value is ambiguous.\tYou should type "
                            "enough of the value string to distinguish it from other possible "
                            "values.",
                            word, f.aminoAcids ? "AAFREQ" : "BASEFREQ"),
               1;
    switch (k) {
    case 0:
    case 1:
    case 2:
        *f.mode = k;
        return 0;
    case 3: {
        const Model *m = getDefaultModel();
        const bool fits = f.aminoAcids ? m->type == kModelAminoAcid
                                       : m->type != kModelAminoAcid && m->nstates == n;
        if (!fits || !havePrevFreqs(m) || m->prevFreqs.size() < n ||
            n > arraySize / sizeof(double))
            return qel_errorMsg(840, "No \"previous\" base frequencies are available."), 1;
        std::copy_n(m->prevFreqs.begin(), n, f.values);
        *f.mode = kFreqUser;
        return 0;
    }
    case 4:
        *f.mode = kFreqIntrinsic;
        return 0;
    default:
        return errMsgBadParamValue(option->name, word);
    }
}

}  // namespace

void setLikelihoodSettingsServices(const LikelihoodSettingsServices &services)
{
    gServices = services;
}

// ---- Checks -------------------------------------------------------------------------

bool mlProcessorsUnknown() { return ml.nthreads == 0 && (getProcessorInfo() & 0xFFFFFFFFu) == 0; }

uint32_t mlThreadsAsked()
{
    if (ml.nthreads > 0)
        return static_cast<uint32_t>(ml.nthreads);
    return mlProcessorsUnknown() ? 1u : static_cast<uint32_t>(std::max(availableProcessors(), 1));
}

int reportNoSiteRatePartition()
{
    qel_errorMsg(828, "No character-partition has been specified for site-specific rates.\tEither "
                      "change the setting for among-site rate variation, or define and specify a "
                      "character partition.");
    return 1;
}

int reportNoRateSet()
{
    qel_errorMsg(829, "No rate-set has been specified for site-specific rates.\tEither change the "
                      "setting for among-site rate variation, or define and specify a rate set.");
    return 1;
}

int checkGammaShape(double shape)
{
    if (!(shape > 0.0))
        return qel_errorMsg(805, "Gamma shape parameter must be greater than 0."), 1;
    if (shape > kMaxGammaShape)
        return qel_errorMsg(806, "Gamma shape parameter exceeds maximum allowed (=%.0f)",
                            kMaxGammaShape),
               1;
    return 0;
}

int checkPInvar(double pinv)
{
    if (pinv >= 0.0 && pinv < 1.0)
        return 0;
    qel_errorMsg(818, "Proportion of invariable sites ('PInvar') must be greater than or equal to "
                      "0 and less than 1.");
    return 1;
}

int checkNRateCategs(int32_t n)
{
    if (n >= 2)
        return 0;
    qel_errorMsg(825, "Number of rate categories for discrete gamma distribution ('NCat') must be "
                      "greater than 1.");
    return 1;
}

// ---- Change callbacks -----------------------------------------------------------------

int forceReinitML(CmdParam *option)
{
    if (cmdParamChanged(option))
        invalidatePrep();
    return 0;
}

int forceRecompress(CmdParam *option)
{
    if (cmdParamChanged(option) && gServices.invalidatePatterns)
        gServices.invalidatePatterns();
    return 0;
}

int checkNGammaCat(CmdParam *option)
{
    auto *n = static_cast<int32_t *>(option->variable);
    if (checkNRateCategs(*n) != 0) {
        *n = option->saved.i;
        return 1;
    }
    if (cmdParamChanged(option))
        invalidatePrep();
    return 0;
}

// This program has no BEAGLE library: a request for it is answered as unavailable.
int showBeagleUnavail(CmdParam *option)
{
    auto *on = static_cast<uint8_t *>(option->variable);
    if (*on == 0 || option->saved.b != 0)
        return 0;
    if (!userQuery(true, "Use of Beagle library was requested, but the current executable binary "
                         "is not Beagle-enabled.  Do you want to proceed without using Beagle?"))
        return 1;
    *on = 0;
    return 0;
}

// ---- Custom options -----------------------------------------------------------------

int getTratio(int operation, CmdParam *option, void *place)
{
    static std::vector<unsigned char> saved;
    return estimableRealOp(operation, option, place,
                           {&ml.userTratio, &ml.estTratio, checkTratio, &Model::prevTratio, 835,
                            "No \"previous\" value is available for the ti/tv ratio.", "%.6g",
                            &saved});
}

int getShape(int operation, CmdParam *option, void *place)
{
    static std::vector<unsigned char> saved;
    return estimableRealOp(operation, option, place,
                           {&ml.userGammaShape, &ml.estGammaShape, checkGammaShape,
                            &Model::prevShape, 836,
                            "No \"previous\" value is available for the gamma shape.", "%.10g",
                            &saved});
}

int getLikePinv(int operation, CmdParam *option, void *place)
{
    static std::vector<unsigned char> saved;
    return estimableRealOp(
        operation, option, place,
        {&ml.userPInvar, &ml.estPInvar, checkPInvar, &Model::prevPinv, 837,
         "No \"previous\" value is available for the invariant-sites proportion.", "%.10g",
         &saved});
}

int getDnaRmatrix(int operation, CmdParam *option, void *place)
{
    static std::vector<unsigned char> saved;
    if (isSavedFieldsOp(operation))
        return savedFieldsOp(operation, saved,
                             {{&ml.rAC, kNumDnaRates * sizeof(double)}, {&ml.estRmatrix, 1}});
    if (operation == kParamOpCurValue) {
        showText(place, ml.estRmatrix ? "Estimate"
                                      : makeCurDefaultString("(%.10g %.10g %.10g %.10g %.10g)",
                                                             ml.rAC, ml.rAG, ml.rAT, ml.rCG,
                                                             ml.rCT));
        return 0;
    }
    if (operation != kParamOpReadValue)
        return 0;
    char word[kMaxValueChars + 1];
    if (!readValueWord(word, sizeof word))
        return 1;
    if (std::strcmp(word, "(") == 0) {
        double r[kNumDnaRates] = {};
        int n = readPositiveList(r, kNumDnaRates, HUGE_VAL, 845,
                                 "Rate-matrix parameter \"%s\" is not valid.");
        if (n < 0)
            return 1;
        if (n < 5)
            return unexpectedRightParen();
        if (n == 5)
            r[5] = 1.0;
        if (const auto [low, high] = std::minmax_element(r, r + kNumDnaRates); *high > kMaxRateRatio * *low)
            return qel_errorMsg(0, "The rate-matrix values must lie within a factor of %g of one another: rates "
                                   "further apart make the likelihood impossible to compute.",
                                kMaxRateRatio),
                   1;
        const double last = r[5];
        for (double &x : r)
            x /= last;
        double *dest = &ml.rAC;
        std::memcpy(dest, r, sizeof r);
        ml.estRmatrix = 0;
        return 0;
    }
    switch (keywordOf("estimate\0previous\0", word)) {
    case 0:
        ml.estRmatrix = 1;
        return 0;
    case 1: {
        const Model *m = getDefaultModel();
        if (m->type != kModelNucleotide || !havePrevRates(m) || m->prevRates.size() < kNumDnaRates)
            return qel_errorMsg(839, "No \"previous\" R-matrix is available."), 1;
        // The estimates are relative to GT, as user values are.
        double *dest = &ml.rAC;
        for (uint32_t i = 0; i < kNumDnaRates; ++i)
            dest[i] = m->prevRates[i] / m->prevRates[kNumDnaRates - 1];
        ml.estRmatrix = 0;
        return 0;
    }
    default:
        // The hint goes into the message itself: printed after it, it would
        // come below the line that says where the error occurred.
        if (std::isdigit(static_cast<unsigned char>(word[0])) || word[0] == '.')
            return qel_errorMsg(141,
                                "Invalid value specified for '%s': \"%s\".\tUse \"%s=?\" to see a list of valid "
                                "values for each option. Make sure that the set of numeric values is enclosed in "
                                "parentheses.",
                                option->name, word, option->name),
                   1;
        return errMsgBadParamValue(option->name, word);
    }
}

int readDnaClassList(int32_t classes[kNumDnaRates])
{
    auto invalid = [] {
        return qel_errorMsg(841,
                            "Invalid substitution-class specification.\tThe correct format is "
                            "(c_AC c_AG c_AT c_CG c_CT c_GT), where each c is either a, b, c, d, "
                            "e, f; e.g., \"(a b a a c a)\" for the Tamura-Nei model."),
               1;
    };
    char word[kMaxValueChars + 1];
    if (!readValueWord(word, sizeof word))
        return 1;
    if (std::strcmp(word, "(") != 0)
        return invalid();
    int32_t c[kNumDnaRates];
    for (uint32_t i = 0; i < kNumDnaRates;) {
        if (!readValueWord(word, sizeof word))
            return 1;
        // Letters may come apart ("a b a") or together ("aba").
        for (const char *p = word; *p != '\0'; ++p, ++i) {
            int letter = std::tolower(static_cast<unsigned char>(*p));
            if (i == kNumDnaRates || letter < 'a' || letter > 'f')
                return invalid();
            c[i] = letter - 'a';
        }
        if (word[0] == '\0')
            return invalid();
    }
    if (!readValueWord(word, sizeof word))
        return 1;
    if (std::strcmp(word, ")") != 0)
        return qel_errorMsg(205,
                            "Expecting right parenthesis (')') found \"%s\".\tIt is possible "
                            "that this is a downstream effect of an earlier formatting mistake.",
                            word),
               1;
    std::memcpy(classes, c, sizeof c);
    return 0;
}

int getMLDnaClass(int operation, CmdParam *, void *place)
{
    static std::vector<unsigned char> saved;
    if (isSavedFieldsOp(operation))
        return savedFieldsOp(operation, saved, {{&ml.cAC, kNumDnaRates * sizeof(int32_t)}});
    if (operation == kParamOpCurValue) {
        showText(place, makeCurDefaultString("(%c %c %c %c %c %c)", 'a' + ml.cAC, 'a' + ml.cAG,
                                             'a' + ml.cAT, 'a' + ml.cCG, 'a' + ml.cCT,
                                             'a' + ml.cGT));
        return 0;
    }
    return operation == kParamOpReadValue ? readDnaClassList(&ml.cAC) : 0;
}

int getBaseFreqs(int operation, CmdParam *option, void *place)
{
    static std::vector<unsigned char> saved;
    return freqOp(operation, option, place, {ml.userBaseFreqs, &ml.baseFreqMode, false, &saved});
}

int getAAFreqs(int operation, CmdParam *option, void *place)
{
    static std::vector<unsigned char> saved;
    return freqOp(operation, option, place, {ml.userAAFreqs, &ml.aaFreqMode, true, &saved});
}

int getSiteRates(int operation, CmdParam *option, void *place)
{
    static std::vector<unsigned char> saved;
    if (isSavedFieldsOp(operation))
        return savedFieldsOp(operation, saved,
                             {{&ml.siteRatePartition, sizeof(Nexset *)},
                              {&ml.rateSet, sizeof(Nexset *)},
                              {&ml.estSiteRates, 1},
                              {&ml.prevSiteRates, 1}});
    if (operation == kParamOpCurValue) {
        if (ml.estSiteRates && ml.siteRatePartition != nullptr)
            showText(place, makeCurDefaultString("Partition:%s",
                                                 getNexsetName(ml.siteRatePartition)));
        else if (ml.prevSiteRates)
            showText(place, "<previously-estimated>");
        else if (ml.rateSet != nullptr)
            showText(place, makeCurDefaultString("Rateset:%s", getNexsetName(ml.rateSet)));
        else
            showText(place, "(none)");
        return 0;
    }
    if (operation != kParamOpReadValue)
        return 0;
    char word[kMaxValueChars + 1];
    if (!readValueWord(word, sizeof word))
        return 1;
    ml.estSiteRates = 0;
    int k = keywordOf("partition\0rateset\0previous\0", word);
    if (k < 0)
        return errMsgBadParamValue(option->name, word);
    if (k == 2) {
        const Model *m = getDefaultModel();
        if (m->prevSiteRates.empty())
            return qel_errorMsg(838,
                                "There are no \"previous\" site-specific rates available for "
                                "model '%s'.\tTo use this option, site-specific rates need to "
                                "have been estimated in the most recent likelihood optimization.",
                                m->name),
                   1;
        ml.prevSiteRates = 1;
        return 0;
    }
    ml.prevSiteRates = 0;
    bool partition = k == 0;
    if (peekNextChar(nullptr) == ':') {
        readNextDarkChar(nullptr);
        if (!readValueWord(word, sizeof word))
            return 1;
        if (partition) {
            Nexset *ns = findMatchingCharPartition(word);
            if (ns == nullptr)
                return qel_errorMsg(842, "Character partition \"%s\" has not been defined.", word),
                       1;
            ml.siteRatePartition = ns;
            ml.rateSet = nullptr;
            ml.estSiteRates = 1;
        } else {
            Nexset *ns = findMatchingNexset(word, gNexsets.ratesets);
            if (ns == nullptr)
                return qel_errorMsg(844, "Rate set \"%s\" is undefined.", word), 1;
            ml.rateSet = ns;
            ml.siteRatePartition = nullptr;
        }
        return 0;
    }
    if (partition) {
        if (ml.siteRatePartition == nullptr)
            return reportNoSiteRatePartition();
        ml.estSiteRates = 1;
    } else if (ml.rateSet == nullptr) {
        return reportNoRateSet();
    }
    return 0;
}

int getModPtnName(int operation, CmdParam *option, void *place)
{
    // Kind 2 names the model partitions in the error; "none" ends partitioning.
    return handlePtnName(operation, option, place, gNexsets.modelPartitions, 2, true);
}

int getModelRates(int operation, CmdParam *option, void *place)
{
    static std::vector<unsigned char> saved;
    if (isSavedFieldsOp(operation))
        return savedFieldsOp(operation, saved,
                             {{&ml.estModelRates, 1}, {&ml.prevModelRates, 1},
                              {&ml.equalModelRates, 1}});
    if (operation == kParamOpCurValue) {
        showText(place, ml.estModelRates    ? "estimate"
                        : ml.prevModelRates ? "<previously-estimated>"
                                            : "(none)");
        return 0;
    }
    if (operation != kParamOpReadValue)
        return 0;
    char word[kMaxValueChars + 1];
    if (!readValueWord(word, sizeof word))
        return 1;
    int k = keywordOf("estimate\0previous\0equal\0", word);
    if (k < 0)
        return errMsgBadParamValue(option->name, word);
    if (k == 1 && !ml.prevModelRatesAvail)
        return qel_errorMsg(0, "There are no \"previous\" model-subset rates available.\tTo use "
                               "this option, these rates need to have been estimated in the most "
                               "recent likelihood optimization."),
               1;
    ml.estModelRates = k == 0;
    ml.prevModelRates = k == 1;
    ml.equalModelRates = k == 2;
    return 0;
}

int getMLBranchLenMethod(int operation, CmdParam *option, void *place)
{
    static std::vector<unsigned char> saved;
    if (isSavedFieldsOp(operation))
        return savedFieldsOp(operation, saved,
                             {{&ml.initArbBrLen, sizeof(double)},
                              {&ml.initBrLenMethod, sizeof(int32_t)},
                              {&ml.useAcctran, 1}});
    if (operation == kParamOpCurValue) {
        showText(place, ml.initBrLenMethod == kInitBrLenArbitrary
                            ? makeCurDefaultString("%.6g", ml.initArbBrLen)
                        : ml.initBrLenMethod == kInitBrLenLS ? "LS"
                        : ml.useAcctran                      ? "AccTran"
                                                             : "Rogers");
        return 0;
    }
    if (operation != kParamOpReadValue)
        return 0;
    char word[kMaxValueChars + 1];
    if (!readValueWord(word, sizeof word))
        return 1;
    double v = 0.0;
    if (parseReal(word, &v)) {
        if (!(v > 0.0))
            return qel_errorMsg(847, "Initial branch lengths must be greater than 0 for "
                                     "maximum-likelihood analysis."),
                   1;
        ml.initArbBrLen = v;
        ml.initBrLenMethod = kInitBrLenArbitrary;
        return 0;
    }
    // "acctran" abbreviates the listed "acctranRog".
    switch (keywordOf("rogers\0acctranRog\0LS\0", word)) {
    case 0:
    case 1:
        ml.initBrLenMethod = kInitBrLenRogers;
        ml.useAcctran = std::tolower(static_cast<unsigned char>(word[0])) == 'a';
        return 0;
    case 2:
        ml.initBrLenMethod = kInitBrLenLS;
        return 0;
    default:
        return errMsgBadParamValue(option->name, word);
    }
}

int getApproxLim(int operation, CmdParam *option, void *place)
{
    static std::vector<unsigned char> saved;
    if (isSavedFieldsOp(operation))
        return savedFieldsOp(operation, saved,
                             {{&ml.approxLim, sizeof(double)}, {&ml.useApproxLim, 1}});
    switch (operation) {
    case kParamOpFactory:
        ml.useApproxLim = 1;
        ml.approxLim = 5.0;
        return 0;
    case kParamOpCurValue:
        showText(place, ml.useApproxLim ? makeCurDefaultString("%.6g", ml.approxLim) : "none");
        return 0;
    case kParamOpReadValue:
        break;
    default:
        return 0;
    }
    char word[kMaxValueChars + 1];
    if (!readValueWord(word, sizeof word))
        return 1;
    double v = 0.0;
    if (parseReal(word, &v)) {
        if (!(v > 0.0))
            return qel_errorMsg(147,
                                "The value specified for '%s' must be greater than zero.\tYou "
                                "need to specify a positive number instead of \"%s\".",
                                option->name, word),
                   1;
        ml.approxLim = v;
        ml.useApproxLim = 1;
        return 0;
    }
    if (keywordOf("none\0", word) == 0) {
        ml.useApproxLim = 0;
        return 0;
    }
    return qel_errorMsg(857,
                        "Expecting a positive number or 'none' for '%s'.\tPlease supply a valid "
                        "option instead of \"%s\".",
                        option->name, word),
           1;
}

int getBranchLenScaler(int operation, CmdParam *option, void *place)
{
    static std::vector<unsigned char> saved;
    if (isSavedFieldsOp(operation))
        return savedFieldsOp(operation, saved,
                             {{&ml.userRateScaler, sizeof(double)}, {&ml.estRateScaler, 1}});
    if (operation == kParamOpCurValue) {
        showText(place,
                 ml.estRateScaler ? "Estimate" : makeCurDefaultString("%.6g", ml.userRateScaler));
        return 0;
    }
    if (operation != kParamOpReadValue)
        return 0;
    char word[kMaxValueChars + 1];
    if (!readValueWord(word, sizeof word))
        return 1;
    double v = 0.0;
    if (parseReal(word, &v)) {
        ml.userRateScaler = v;
        ml.estRateScaler = 0;
        return 0;
    }
    switch (keywordOf("no\0estimate\0previous\0", word)) {
    case 0:
        ml.estRateScaler = 0;
        return 0;
    case 1:
        ml.estRateScaler = 1;
        return 0;
    case 2:
        if (ml.prevRateScaler < 0.0)
            return qel_errorMsg(852, "No \"previous\" value is available for the ScaleBrlen "
                                     "parameter."),
                   1;
        ml.userRateScaler = ml.prevRateScaler;
        ml.estRateScaler = 0;
        return 0;
    default:
        return errMsgBadParamValue(option->name, word);
    }
}

int getRaxmlOther(int operation, CmdParam *option, void *place)
{
    static std::vector<unsigned char> saved;
    char *text = raxmlOpt.otherOptions;
    if (isSavedFieldsOp(operation))
        return savedFieldsOp(operation, saved, {{text, sizeof raxmlOpt.otherOptions}});
    if (operation == kParamOpCurValue) {
        showText(place, text[0] != '\0' ? text : "(none)");
        return 0;
    }
    if (operation == kParamOpFactory) {
        text[0] = '\0';
        return 0;
    }
    if (operation != kParamOpReadValue)
        return 0;
    // The options are one word or a text in double quotes.
    std::vector<char> word(kMaxValueChars + 1);
    const auto size = static_cast<uint32_t>(word.size());
    if (peekNextChar(nullptr) == '"' ? readDelimitedToken(word.data(), size, "\"\"") != 0
                                     : readSpecialToken(word.data(), size, nullptr, ";", nullptr,
                                                        false) < 0)
        return 1;
    // The text goes onto the program's command line: a cut text would run
    // something else than what was typed.
    if (tokenWasTruncated() || std::strlen(word.data()) >= sizeof raxmlOpt.otherOptions)
        return errMsgBadParamValue(option->name, word.data());
    strcpy_n(text, word.data(), sizeof raxmlOpt.otherOptions);
    return 0;
}
