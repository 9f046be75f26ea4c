#include "quartets/qread.h"

#include <cmath>
#include <cstring>
#include <iterator>

#include "cli/option_sets.h"
#include "cli/qel_cmdline.h"
#include "cli/qel_cmdoptions.h"
#include "data/chartaxlist.h"
#include "data/data_services.h"
#include "data/nexsets.h"
#include "data/vorn_data.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_io.h"
#include "qel/qel_strings.h"
#include "quartets/qlocal.h"
#include "quartets/quartets.h"
#include "quartets/quartets_settings.h"

namespace {

constexpr uint32_t kTokenSize = 256;

enum class TokenRead { kOk, kListEnd, kFailed };

// A token ending at any of the given characters (which are tokens of their
// own); the end of a file, or the ";" of a typed list, ends the list.
TokenRead readQToken(char *buf, const char *punct, bool fromFile, bool listEndAllowed)
{
    const int rc = readSpecialToken(buf, kTokenSize, nullptr, punct, nullptr, fromFile);
    if (rc == kTokenEnd)
        return fromFile && listEndAllowed ? TokenRead::kListEnd : TokenRead::kFailed;
    if (rc < 0)
        return TokenRead::kFailed;
    if (listEndAllowed && !fromFile && rc == kTokenPlain && std::strcmp(buf, ";") == 0)
        return TokenRead::kListEnd;
    return TokenRead::kOk;
}

int expectComma()
{
    if (readNextDarkChar(nullptr) != ',')
        return qel_errorMsg(0, "Expecting comma"), 1;
    return 0;
}

bool weightFitsTable(double weight)
{
    return weight >= 0.0 && std::isfinite(static_cast<float>(weight));
}

bool lookUpTaxon(const char *token, const DataInfo *d, uint32_t *taxon)
{
    *taxon = findTaxNumFromString(token, d);
    if (*taxon == kSetEnd) {
        showTaxIdError(token, d);
        return false;
    }
    return true;
}

}  // namespace

QuartetData *installNewQuartetData(DataInfo *d)
{
    QuartetData *qd = allocQuartetData(d->ntax, true, false);
    if (!qd)
        return nullptr;
    d->quartets = deallocQuartetData(d->quartets);
    d->quartets = qd;
    return qd;
}

int readQuartetsQmc(DataInfo *d, bool fromFile)
{
    QuartetData *qd = d->quartets;
    bool weighted = false;
    char tok[4][kTokenSize];
    char buf[kTokenSize];
    for (;;) {
        const TokenRead first = readQToken(tok[0], "(),|;", fromFile, true);
        if (first == TokenRead::kListEnd)
            break;
        if (first == TokenRead::kFailed)
            return 1;
        uint32_t t[4];
        if (!lookUpTaxon(tok[0], d, &t[0]) || expectComma() != 0)
            return 1;
        if (readQToken(tok[1], "(),|", fromFile, false) != TokenRead::kOk || !lookUpTaxon(tok[1], d, &t[1]))
            return 1;
        if (readQToken(buf, "(),|", fromFile, false) != TokenRead::kOk)
            return 1;
        if (std::strcmp(buf, "|") != 0)
            return qel_errorMsg(0, "Expecting vertical bar (|), found \"%s\".", buf), 1;
        if (readToken(tok[2], kTokenSize) < 0 || !lookUpTaxon(tok[2], d, &t[2]) || expectComma() != 0)
            return 1;
        if (readToken(tok[3], kTokenSize) < 0 || !lookUpTaxon(tok[3], d, &t[3]))
            return 1;
        // A quartet needs four distinct taxa; the table has no place for
        // anything else. It is checked before looking for a weight, which
        // can move past the end of the line the error should name.
        for (int i = 0; i < 4; i++)
            for (int j = i + 1; j < 4; j++)
                if (t[i] == t[j])
                    return qel_errorMsg(0, "Quartet %s,%s|%s,%s does not name four different taxa.", tok[0],
                                        tok[1], tok[2], tok[3]),
                           1;
        double weight = 1.0;
        if (peekNextChar(nullptr) == ':') {
            readNextDarkChar(nullptr);
            if (readSpecialToken(buf, kTokenSize, nullptr, getNumericPunct(), nullptr, false) < 0)
                return 1;
            if (stringToDouble(buf, &weight) != 0)
                return qel_errorMsg(0, "Quartet weight \"%s\" is not a valid number.", buf), 1;
            // The table holds floats that the searches sum into totals and
            // percentages: a negative, infinite or NaN weight (or one too
            // large for a float) would make every total meaningless.
            if (!weightFitsTable(weight))
                return qel_errorMsg(0, "Quartet weight \"%s\" must be a finite number not less than 0.", buf), 1;
        }
        if (weight == 0.0)
            continue;
        if (weight != 1.0)
            weighted = true;
        updateQuartetWt(qd->table, t[0], t[1], t[2], t[3], static_cast<float>(weight));
    }
    qd->weighted = weighted;
    qd->table->totalWt = 0.0;
    return 0;
}

int doQlistCmd()
{
    DataInfo *d = activeDataInfo();
    if (!d)
        return 1;
    if (!installNewQuartetData(d))
        return 1;
    return readQuartetsQmc(d, false);
}

int doReadQmcCmd()
{
    DataInfo *d = activeDataInfo();
    if (!d)
        return 1;
    qopt.file[0] = '\0';
    const int parsed = setCmdParamVals(OptionSet::kQuartetFile);
    // The file name is used by this command alone.
    std::string name = qopt.file;
    qopt.file[0] = '\0';
    if (parsed != 0)
        return 1;
    if (name.empty())
        return qel_errorMsg(129, "No file name was specified.\tThe current command was expecting specification of a "
                                 "file name, but none was found."),
               1;
    char dir[kPathnameBufSize];
    const char *directory = getActiveInputDirSpec(dir);
    InputStatus *caller = getActiveInput();
    InputStatus input;
    if (openInputFile(name.c_str(), 0, directory, &input) != kOpenOK) {
        setActiveInput(caller);
        return 1;
    }
    int status = installNewQuartetData(d) ? readQuartetsQmc(d, true) : 1;
    closeInputFile(&input);
    setActiveInput(caller);
    return status;
}

int processQuartetsBlock()
{
    static constexpr NexusBlockCmd kQuartetsCmds[] = {{"qlist", doQlistCmd}, {"readqmc", doReadQmcCmd}};
    return doNexusBlock("QUARTETS", kQuartetsCmds, static_cast<uint32_t>(std::size(kQuartetsCmds)));
}

int installQuartetHooks()
{
    watchNexsetSlot(&svdqOpt.loci, "SVDQuartets loci");
    DataServices s{};
    s.deallocQuartetData = deallocQuartetData;
    return installDataServices(s) | installQuartetSearchScore();
}
