#include "app/vorn_params.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "likelihood/likelihood_settings.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_logfile.h"
#include "qel/qel_output.h"
#include "qel/qel_strings.h"
#include "search/search_settings.h"
#include "trees/tree_settings.h"
#include "app/parminit.h"
#include "cli/qel_cmdline.h"
#include "cli/qel_commands.h"
#include "app/vorn_handlers.h"

namespace {

VornParamServices gServices{};

const char *runningCommandName()
{
    return cmdOpt.currentCmd != nullptr ? cmdOpt.currentCmd->name : "current";
}

void restoreSaved(CmdParam *option)
{
    copy1ParamVal(option, getCmdParamValuePtr(option, false), option->variable);
}

}  // namespace

void setVornParamServices(const VornParamServices &services) { gServices = services; }

int forceReopt(CmdParam *option)
{
    if (cmdParamChanged(option)) {
        if (gServices.forgetLastTreeOptimized)
            gServices.forgetLastTreeOptimized();
        if (gServices.clearLikelihoodOptimized)
            gServices.clearLikelihoodOptimized();
    }
    return 0;
}

int forceFullRepack(CmdParam *option)
{
    if (cmdParamChanged(option) && gServices.setNeedParsPrep)
        gServices.setNeedParsPrep(3);
    return 0;
}

int setPause(CmdParam *option)
{
    if (!cmdParamChanged(option))
        return 0;
    uint32_t mode = *static_cast<const uint32_t *>(option->variable);
    if (mode == kPauseNo)
        return 0;
    if (option->saved.u == kPauseNo)
        outInfo.linesSincePause = 1;
    uint32_t rows = getOutputDisplayRows();
    // The "msg" prompt takes a line of its own.
    if (mode == kPauseMsg && rows > 1)
        --rows;
    setOutputNumRows(rows);
    return 0;
}

int saveGone(CmdParam *option)
{
    auto *value = static_cast<uint8_t *>(option->variable);
    if (cmdOpt.currentCmd != nullptr && value != nullptr && *value) {
        qel_printf("\nNOTE: \bThe 'Save' option in the %s command is now ignored "
                   "(TreeFile=<filename> requests saving to treefile).\n",
                   runningCommandName());
        *value = 0;
    }
    return 0;
}

int outputUnsupportedMsg(CmdParam *option)
{
    if (option->variable == nullptr || !cmdParamValueIsNonzero(option))
        return 0;
    qel_printf("\nNOTE: \bThe %s option in the %s command is no longer supported and has been "
               "ignored.\n",
               option->name, runningCommandName());
    std::memset(option->variable, 0, cmdParamScalarSize(cmdParamType(option)));
    return 0;
}

int checkGammaShapeValue(CmdParam *option)
{
    if (!cmdParamChanged(option) || checkGammaShape(*static_cast<const double *>(option->variable)) == 0)
        return 0;
    restoreSaved(option);
    return 1;
}

int checkPinvarValue(CmdParam *option)
{
    if (checkPInvar(*static_cast<const double *>(option->variable)) == 0)
        return 0;
    restoreSaved(option);
    return 1;
}

int checkUndefMultValue(CmdParam *option)
{
    // The multiple stands in for distances that cannot be computed; zero or
    // a negative one would hand "identical" or negative distances to the
    // tree methods as if they were measured.
    const double v = *static_cast<const double *>(option->variable);
    if (v > 0.0 && std::isfinite(v))
        return 0;
    char typed[32];
    std::snprintf(typed, sizeof typed, "%g", v);
    qel_errorMsg(147,
                 "The value specified for '%s' must be greater than zero.\tYou need to specify a positive number "
                 "instead of \"%s\".",
                 option->name, typed);
    restoreSaved(option);
    return 1;
}

int doFlushParm(CmdParam *option)
{
    if (cmdParamChanged(option) && logFile.flushLog)
        setFlushLogOption(true);
    return 0;
}

int cmdSetOutputWidth(CmdParam *option)
{
    if (!cmdParamChanged(option))
        return 0;
    return cmdSetOutputWidth(*static_cast<const uint32_t *>(option->variable), option->saved.u);
}

int changeUndscSetting(CmdParam *option)
{
    if (!cmdParamChanged(option))
        return 0;
    return changeUndscSetting(static_cast<uint32_t>(*static_cast<const uint8_t *>(option->variable)));
}

int getLogFileName(int operation, CmdParam *option, void *place)
{
    if (operation == kParamOpReadValue) {
        char word[kMaxLogFileNameToken + 2];
        bool truncated = false;
        if (readFileNameValue(word, sizeof word, ";", &truncated) != 0)
            return 1;
        // A longer name is refused rather than cut to a different file.
        if (truncated || std::strlen(word) > kMaxLogFileNameToken)
            return errMsgBadParamValue(option->name, word);
        setLogFileName(word);
        return 0;
    }
    if (operation == kParamOpCurValue && place != nullptr)
        *static_cast<const char **>(place) = logFileNameForDisplay();
    return 0;
}

bool checkOptionalFileSave(char *buffer, const char *previous)
{
    if (buffer == nullptr)
        return false;
    if (buffer[0] != '\0')
        return true;
    if (previous != nullptr)
        strcpy_n(buffer, previous, kParamPathSize);
    return false;
}

// A score bound set under one criterion or data set means nothing under another.
void zeroScoreOptions()
{
    hs.chuckScore = 0.0;
    fltr.maxScore = 0.0;
    fltr.minScore = 0.0;
    bbex.upBound = 0.0;
    srch.keep = 0.0;
}

int doSetCmd() { return setCmdParamVals(OptionSet::kSet); }

int doPsetCmd() { return getCmdParams(OptionSet::kPSet, ";", nullptr) > 0 ? 0 : 1; }
