#include "distance/dset.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "cli/qel_cmdoptions.h"
#include "data/charstat.h"
#include "data/patterns.h"
#include "data/vorn_data.h"
#include "distance/distance_settings.h"
#include "distance/dmatrix.h"
#include "distance/lsfit.h"
#include "distance/pairdiff.h"
#include "qel/qel_output.h"

namespace {

MLSettingsReporter gMLReporter = nullptr;

// A printer that writes gIndentedWidth blanks at the start of each line
// before handing the text to gIndentedTarget (a file's printer, which does
// not indent as the output engine does).
PrintHook gIndentedTarget = nullptr;
int gIndentedWidth = 0;
bool gIndentedAtLineStart = true;

int indentedPrint(const char *format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::string out;
    for (const char *p = text; *p; ++p) {
        if (*p == '\b')
            continue;
        if (gIndentedAtLineStart && *p != '\n')
            out.append(static_cast<size_t>(gIndentedWidth), ' ');
        gIndentedAtLineStart = *p == '\n';
        out += *p;
    }
    return gIndentedTarget("%s", out.c_str());
}

// One settings line: through the output engine (which indents), or with
// the indent written out for any other printer.
class SettingsPrinter {
public:
    SettingsPrinter(PrintHook print, int indent)
        : print_(print ? print : qel_printf), engine_(print_ == qel_printf), indent_(indent)
    {
        if (engine_)
            indentOutput(indent_);
    }
    ~SettingsPrinter()
    {
        if (engine_)
            indentOutput(-indent_);
    }
    SettingsPrinter(const SettingsPrinter &) = delete;
    SettingsPrinter &operator=(const SettingsPrinter &) = delete;

    void line(const char *format, ...) __attribute__((format(printf, 2, 3)))
    {
        char text[1024];
        va_list args;
        va_start(args, format);
        std::vsnprintf(text, sizeof text, format, args);
        va_end(args);
        print_("%*s%s", engine_ ? 0 : indent_, "", text);
    }
    PrintHook print() const { return print_; }
    bool engine() const { return engine_; }
    // The printer for a routine that prints whole lines of its own, `extra`
    // deeper than these settings: the output engine indents them itself
    // (the caller adds `extra` there); any other printer gets the blanks.
    PrintHook nested(int extra) const
    {
        if (engine_)
            return print_;
        gIndentedTarget = print_;
        gIndentedWidth = indent_ + extra;
        gIndentedAtLineStart = true;
        return indentedPrint;
    }

private:
    PrintHook print_;
    bool engine_;
    int indent_;
};

void showNucleotideSettings(SettingsPrinter &out, uint32_t type, const DataInfo *d)
{
    if (type == kDistCustom) {
        const int32_t classes[6] = {dist.cAC, dist.cAG, dist.cAT, dist.cCG, dist.cCT, dist.cGT};
        showSubstClass(classes, out.nested(0));
        out.line("           Base frequencies: %s\n", dist.baseFreq ? "empirical" : "equal");
    }
    if (dist.subst == 1 || dist.subst == 2) {
        const char *what = dist.subst == 1 ? "transversions" : "transitions";
        if (isTiTvDist(nullptr, type, d) != 0)
            out.line("Estimating/counting %s only\n", what);
        else
            out.line("Option for %s only ignored\n", what);
    }
    // Without a matrix the tests only say whether the type admits the
    // setting; the report names what is in use.
    const bool invar = isInvarDist(nullptr, type, d) != 0 && dist.pInvar > 0.0;
    if (invar) {
        std::string text = "Pr\boportion of sites assumed to be invariable = ";
        char number[64];
        std::snprintf(number, sizeof number, "%g; ", dist.pInvar);
        text += number;
        text += "identical sites removed ";
        if (dist.removeFreq == 1)
            text += "in equal proportions for each base";
        else
            text += std::string("proportionally to base frequencies estimated from ") +
                    (dist.estFreq == 1 ? "constant sites only" : "all sites");
        text += std::string(" (distances represent mean number of substitutions over ") +
                (dist.allSitesMean ? "all sites" : "variable sites only") + ")\n";
        out.line("%s", text.c_str());
    }
    if (isGammaDist(nullptr, type, d) != 0 && dist.rates == 1)
        out.line("Ra\btes %sassumed to follow gamma distribution with shape parameter = %g\n",
                 invar ? "(for variable sites) " : "", dist.shape);
    if (nNonModelCharsIncluded > 0)
        out.line("NOTE: %u inapplicable %s %s ignored\n", nNonModelCharsIncluded,
                 nNonModelCharsIncluded == 1 ? "character" : "characters", nNonModelCharsIncluded == 1 ? "is" : "are");
}

}  // namespace

void setDistMLSettingsReporter(MLSettingsReporter reporter) { gMLReporter = reporter; }

void showDistSettings(bool showObjective, bool showNegBrLen, bool showMeasure, PrintHook print, int indent)
{
    SettingsPrinter out(print, indent);
    DataInfo *d = activeDataInfo();
    if (showObjective) {
        char text[128];
        out.line("Objective function = %s\n", distObjFxnStr(text, sizeof text));
        if (dist.objective == kObjectiveLsFit && dist.lsWts == 1 && dist.pexp == 0.0)
            out.line("\n**** Note: Exponential weights with P'=0 is equivalent to unweighted least squares ****\n\n");
    }
    if (showNegBrLen) {
        if (dist.negBrLen == kNegBrLenProhibit) {
            out.line("Branch lengths constrained to nonnegative values\n");
        } else if (dist.negBrLen == kNegBrLenAllow) {
            out.line("Neg\bative branch lengths allowed\n");
        } else {
            out.line("Neg\bative branch lengths allowed, but set to %s for tree-score calculation\n",
                     dist.negBrLen == kNegBrLenSetZero ? "zero" : "absolute value");
        }
    }
    const uint32_t type = dist.distance;
    if (showMeasure)
        out.line("Distance measure = %s\n", distTypeName(type));
    if (!d)
        return;
    if (!isDnaDistance(type, d)) {
        if (isRestSiteDistType(type)) {
            out.line("Length of recognition sequence = %d\n", dist.recSeqLen);
            if (dist.rates == 1)
                out.line("Ra\btes assumed to follow gamma distribution with shape parameter = %g\n", dist.shape);
        }
    } else if (type == kDistML) {
        if (gMLReporter)
            gMLReporter(out.print());
    } else {
        showNucleotideSettings(out, type, d);
    }
    if (type != kDistUser && (d->flags & kHaveCharacters)) {
        if (out.engine()) {
            indentOutput(16);
            showCStatusSummary(kSummaryDistance, d, out.print());
            indentOutput(-16);
        } else {
            showCStatusSummary(kSummaryDistance, d, out.nested(16));
        }
    }
}

int doDsetCmd()
{
    felsMaxPasses = -1;
    lsIterProg = -1;
    felsMaxDelta = -1.0;
    if (getCmdParams(OptionSet::kDSet, ";", nullptr) <= 0)
        return 1;
    checkObsoleteDistOptions();
    return 0;
}
