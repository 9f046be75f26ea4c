#include "data/getdata.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "data/charpatterns.h"
#include "data/data_services.h"
#include "data/data_settings.h"
#include "data/chartaxlist.h"
#include "data/data_util.h"
#include "data/dataformat.h"
#include "data/distmatrix.h"
#include "data/datamatrix.h"
#include "data/taxstat.h"
#include "data/vorn_memory.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_logfile.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_io.h"
#include "qel/qel_malloc.h"
#include "qel/qel_strings.h"
#include "cli/qel_cmdline.h"
#include "cli/qel_commands.h"

DataBlockParams dataBlockParam = {kNotGiven, kNotGiven, '?', 0, 0, ' ', kLabelsLeft, 0, 0,
                                  0, 0, 0, 0, 0, 0, 1};

namespace {

DataBlockReader gReader{};
// The block is a further CHARACTERS block (its record shares the taxa).
bool gFurther = false;
// The record the last character block installed: the one to go back to
// when a further CHARACTERS block, read into a record sharing its taxa,
// cannot be joined to it.
DataInfo *gInstalled = nullptr;
uint64_t gInstalledReplacements = 0;
// Whether replacing the installed data set needs the user's consent first:
// the command loop asks so for the first data block of an input.
bool gAskBeforeReplacing = false;
constexpr int kBlockCanceled = -1;

constexpr const char *kBlockNames[] = {"Data", "Taxa", "Characters", "Distances"};
constexpr const char *kFormatHint =
    "\tCheck input formatting carefully (e.g., verify that the number of items supplied for a "
    "list is correct).";

bool isCharBlock(int type) { return type == kBlockData || type == kBlockCharacters; }
bool errorStop() { return qel_cmdErrorStop ? qel_cmdErrorStop() : true; }

int ntaxMissing()
{
    return qel_errorMsg(301, "'NTax' specification missing or invalid.\tCheck the 'Dimensions' "
                             "command, and make sure it is not missing or misplaced.");
}

int ncharMissing()
{
    return qel_errorMsg(303, "'NChar' specification missing or invalid.\tCheck the 'Dimensions' "
                             "command, and make sure it is not missing or misplaced.");
}

bool allDigits(const char *s)
{
    if (!*s)
        return false;
    for (; *s; ++s)
        if (!std::isdigit(static_cast<unsigned char>(*s)))
            return false;
    return true;
}

int allDigitsProhibited()
{
    return qel_errorMsg(333, "Current settings do not allow all-digit character or taxon names.");
}

// ---- Block commands -----------------------------------------------------------

int skipCommand(DataInfo *) { return skipRestOfCmd(); }

int doTitleCmd(DataInfo *d)
{
    char title[sizeof d->title];
    int rc = readSpecialToken(title, sizeof title, nullptr, ";", nullptr, false);
    if (rc < 0)
        return 1;
    if (tokenWasTruncated())
        return qel_errorMsg(0, "A block title may hold at most %d characters.",
                            static_cast<int>(sizeof title - 1));
    std::memcpy(d->title, title, sizeof title);
    return readSemicolon();
}

// A further CHARACTERS block that defines new taxa is no longer joined to
// the data set read before it: that data set goes, and the block's record,
// which shared its taxa, starts afresh as the only one.
void replaceInstalledData(DataInfo *d)
{
    ++gInstalledReplacements;
    DataInfo *old = gInstalled;
    setActiveDataInfo(old);
    purgeData(old, 0, 0, 0);
    deallocRawData(old, 1);
    gInstalled = nullptr;
    gFurther = false;
    d->taxa = DataTaxa{};
    d->flags = 0;
    d->ntax = 0;
    d->nActive = 0;
    setActiveDataInfo(d);
}

int doDimensionsCmd(DataInfo *d)
{
    DataBlockReader &r = gReader;
    DataBlockParams &p = dataBlockParam;
    static constexpr OptionSet kSets[] = {OptionSet::kDataDimensions, OptionSet::kTaxaDimensions,
                                          OptionSet::kCharsDimensions, OptionSet::kDistDimensions};
    p.ntax = p.nchar = kNotGiven;
    p.newTaxa = 0;
    if (getCmdParams(kSets[r.blockType], nullptr, nullptr) <= 0)
        return 1;
    d->newTaxa = 0;
    uint32_t ntax = d->ntax;
    if (p.ntax != kNotGiven) {
        if (p.newTaxa)
            d->newTaxa = 1;
        if (r.blockType == kBlockCharacters && !p.newTaxa)
            return qel_errorMsg(336,
                                "If specified in a Characters block 'NTax' must be preceded by "
                                "'NewTaxa' in the Dimensions command.\tThis is a requirement of "
                                "the NEXUS format.  If 'NewTaxa' is not specified, the taxa are "
                                "assumed to correspond 1:1 with those given in a previous block.");
        if (p.ntax <= 0)
            return ntaxMissing();
        if (r.blockType == kBlockDistances && !p.newTaxa && (d->flags & kHaveTaxa) &&
            static_cast<uint32_t>(p.ntax) != d->ntax)
            return qel_errorMsg(337, "Number of taxa specified in Distances block must agree with previous "
                                     "value unless 'NewTaxa' precedes 'NTax'.");
        ntax = static_cast<uint32_t>(p.ntax);
        p.ntaxGiven = 1;
        r.ntaxKnown = 1;
    }
    if (ntax == 0)
        return ntaxMissing();
    if (ntax > kMaxTaxa)
        return qel_errorMsg(302, "Value of 'NTax' exceeds maximum permitted in this version of VORN (%d)",
                            static_cast<int>(kMaxTaxa));
    if (p.newTaxa || d->flags == 0) {
        if (gFurther && d != gInstalled) {
            // The data set and its trees go here, before the block is read
            // whole: past this point a failing block leaves nothing behind.
            if (gAskBeforeReplacing && !userQuery(true, "Are you sure you want to reset the active datafile?"))
                return kBlockCanceled;
            replaceInstalledData(d);
        }
        const DataServices &s = dataServices();
        s.setStatusText("Deallocating memory...");
        purgeData(d, 0, 0, 0);
        s.setStatusText("Allocating memory...");
        d->newTaxa = 1;
        if (allocTaxaMemory(d, ntax) != 0)
            return 1;
        forceTaxaInitialization(d);
    }
    if (!isCharBlock(r.blockType))
        return 0;
    deallocCharInfo(d);
    d->equatedSymbols = static_cast<char *>(allocBlock(32));
    if (!d->equatedSymbols)
        return 1;
    d->equatedCapacity = 32;
    if (p.nchar == kNotGiven || p.nchar <= 0)
        return ncharMissing();
    d->nchar = static_cast<uint32_t>(p.nchar);
    p.ncharGiven = 1;
    r.ncharKnown = 1;
    return 0;
}

// Eliminates the characters of the list that follows in the input, up to
// its ";" (left unread).
int eliminateList(DataInfo *d)
{
    if (!d->lastEliminated || !d->eliminated)
        return 1;
    if (readCharList(d, ";", d->lastEliminated, nullptr, false, nullptr) != 0)
        return 1;
    uint32_t count = 0;
    for (uint32_t c = 0; c < d->nchar; ++c)
        if (isSetMember(d->lastEliminated, c) && !(d->status[c] & kCharEliminated)) {
            zapCharacter(d, c);
            ++count;
        }
    if (d->baseExcluded)
        setUnion(d->baseExcluded, d->eliminated, d->baseExcluded);
    qel_printf("\n%u %s excluded via \"Eliminate\" command.\n", count,
               count == 1 ? "character" : "characters");
    return 0;
}

int doEliminateCmd(DataInfo *d)
{
    dataServices().setStatusText("Processing 'Eliminate' command...");
    if (eliminateList(d) != 0)
        return 1;
    return readSemicolon();
}

int doOptionsCmd(DataInfo *)
{
    dataServices().setStatusText("Processing 'Options' command...");
    return getCmdParams(OptionSet::kDataOptions, nullptr,
                        errorStop() ? nullptr : "in OPTIONS of Data block") > 0
               ? 0
               : 1;
}

int doTaxlabelsCmd(DataInfo *d)
{
    dataServices().setStatusText("Reading taxon labels...");
    const bool known = d->taxa.labelsKnown;
    char label[kMaxLabelLength + 1];
    uint32_t t = 0;
    for (; t < d->ntax; ++t) {
        if (peekNextChar(nullptr) == ';') {
            if (t == 0 || known) {
                readNextChar();
                return qel_errorMsg(118, "Unexpected semicolon (;).%s", kFormatHint);
            }
            break;
        }
        if (readLabel(label, true) != 0)
            return 1;
        if (known && stricmp(label, taxLabelString(d, t)) != 0)
            return qel_errorMsg(305,
                                "Unless 'NewTaxa' is specified, taxon names must match one-for-one "
                                "with previously defined names: old name = '%s' new name = '%s'.",
                                taxLabelString(d, t), label);
        if (setTaxLabel(d, t, label) != 0)
            return 1;
    }
    if (t < d->ntax) {
        for (uint32_t rest = t; rest < d->ntax; ++rest)
            if (setTaxLabel(d, rest, "") != 0)
                return 1;
        qel_printf("Warning: Number of taxon labels read (= %u) less than 'NTax'.\n", t);
    }
    if (readSemicolon() != 0)
        return 1;
    d->taxa.labelsKnown = 1;
    d->taxa.taxaByNumber = 1;
    d->flags |= kHaveTaxa;
    return 0;
}

int doCharlabelsCmd(DataInfo *d)
{
    dataServices().setStatusText("Reading character labels...");
    d->charLabels = destroyStringList(d->charLabels);
    if (d->nchar && !(d->charLabels = createStringList(d->nchar)))
        return 1;
    char label[kMaxLabelLength + 1];
    uint32_t c = 0;
    for (; c < d->nchar && peekNextChar(nullptr) != ';'; ++c)
        if (readLabel(label, false) != 0 || setCharLabel(d, c, label) != 0)
            return 1;
    if (readSemicolon() != 0)
        return 1;
    d->charLabelsRead = 1;
    if (c > 0 && c < d->nchar)
        qel_printf("   Warning: Number of character labels read (= %u) less than 'NChar'.\n", c);
    return 0;
}

// State labels are read and dropped up to the next "," or ";" (left unread).
int skipStateLabels()
{
    char word[kMaxLabelLength + 1];
    for (;;) {
        int next = peekNextChar(nullptr);
        if (next < 0)
            return qel_errorMsg(114, "Unexpected end-of-file was encountered.\tMake sure the file "
                                     "format is correct for the current operation.");
        if (next == ',' || next == ';')
            return 0;
        if (readSpecialToken(word, sizeof word, nullptr, nullptr, nullptr, false) < 0)
            return 1;
    }
}

int doCharstatelabelsCmd(DataInfo *d)
{
    dataServices().setStatusText("Reading character labels...");
    if (!d->charLabels && d->nchar && !(d->charLabels = createStringList(d->nchar)))
        return 1;
    char word[kMaxLabelLength + 1];
    for (;;) {
        if (readSpecialToken(word, sizeof word, nullptr, nullptr, nullptr, false) < 0)
            return 1;
        if (std::strcmp(word, ";") == 0)
            break;
        if (std::strcmp(word, ",") == 0)
            continue;
        if (!allDigits(word))
            return qel_errorMsg(345, "Expecting character number found '%s'", word);
        uint32_t n;
        if (stringToUInt(word, &n) != kConvOk || n == 0 || n > d->nchar)
            return qel_errorMsg(408, "Character number \"%s\" is invalid.", word);
        int next = peekNextChar(nullptr);
        if (next != '/' && next != ',' && next != ';') {
            char label[kMaxLabelLength + 1];
            if (readLabel(label, false) != 0 || setCharLabel(d, n - 1, label) != 0)
                return 1;
            next = peekNextChar(nullptr);
        }
        if (next == '/') {
            readNextDarkChar(nullptr);
            if (skipStateLabels() != 0)
                return 1;
        }
    }
    d->charLabelsRead = 1;
    return 0;
}

int doMatrix(DataInfo *d) { return doMatrixCmd(d); }

int doDefaultLabelsCmd(DataInfo *d)
{
    if (readSemicolon() != 0)
        return 1;
    return defaultTaxLabels(d);
}

struct BlockCommand {
    const char *name;
    uint32_t minLength;
    uint32_t mask;  // bit 1 << block type
    int (*handler)(DataInfo *d);
};

enum class Cmd { Title, Link, Comment, Dimensions, Format };

constexpr BlockCommand kBlockCommands[] = {
    {"Title", 5, 15, doTitleCmd},
    {"Link", 4, 15, skipCommand},
    {"Comment", 7, 15, skipCommand},
    {"Dimensions", 6, 15, doDimensionsCmd},
    {"Format", 6, 5, doFormatCmd},
    {"Options", 7, 5, doOptionsCmd},
    {"Eliminate", 9, 5, doEliminateCmd},
    {"Taxlabels", 6, 15, doTaxlabelsCmd},
    {"Charlabels", 7, 5, doCharlabelsCmd},
    {"Statelabels", 8, 5, skipCommand},
    {"Charstatelabels", 12, 5, doCharstatelabelsCmd},
    {"Matrix", 6, 5, doMatrix},
    {"Matrix", 6, 8, readAndStoreDistanceMatrix},
    {"Defaultlabels", 10, 2, doDefaultLabelsCmd},
    {"DistanceWts", 6, 8, readAndStoreDistanceWts},
    {"Format", 6, 8, doDistFormatCmd},
};

bool matches(const BlockCommand &cmd, const char *word, int blockType)
{
    const size_t n = std::strlen(word);
    return (cmd.mask & (1u << blockType)) && n >= cmd.minLength && n <= std::strlen(cmd.name) &&
           strnicmp(word, cmd.name, n) == 0;
}

}  // namespace

void warnRepeatedTaxonNames(const std::vector<std::string> &labels)
{
    std::unordered_map<std::string, size_t> seen;
    seen.reserve(labels.size() * 2);
    std::vector<bool> duplicate(labels.size(), false);
    uint32_t names = 0;
    for (size_t t = 0; t < labels.size(); ++t) {
        std::string key = labels[t];
        for (char &c : key)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        auto [it, fresh] = seen.emplace(std::move(key), t);
        if (!fresh) {
            if (!duplicate[it->second]) {
                duplicate[it->second] = true;
                ++names;
            }
            duplicate[t] = true;
        }
    }
    if (names == 0)
        return;
    errorSound();
    qel_printf("\nWarning! The following %s been assigned to more than one taxon:\n",
               names == 1 ? "name has" : "names have");
    for (size_t t = 0; t < labels.size(); ++t)
        if (duplicate[t])
            qel_printf("      %s\n", labels[t].c_str());
}

namespace {

void warnDuplicateLabels(DataInfo *d)
{
    std::vector<std::string> labels;
    labels.reserve(d->ntax);
    for (uint32_t t = 0; t < d->ntax; ++t)
        labels.emplace_back(taxLabelString(d, t));
    warnRepeatedTaxonNames(labels);
}

// Undoes the record made for a further CHARACTERS block: it shares the taxa
// of the installed record, which becomes active again unchanged.
void abandonFurtherBlock(DataInfo *d)
{
    d->taxa = DataTaxa{};
    deallocRawData(d, 1);
    setActiveDataInfo(gInstalled);
}

bool isFurtherCharBlock(const DataInfo *d, int blockType)
{
    return blockType == kBlockCharacters && (d->flags & kHaveCharacters) && gInstalled &&
           d != gInstalled && d->taxa.labels == gInstalled->taxa.labels;
}

int completeCharPart(DataInfo *d)
{
    if (d->nchar == 0 && dataBlockParam.nchar > 0)
        d->nchar = static_cast<uint32_t>(dataBlockParam.nchar);
    if (d->nchar == 0)
        return ncharMissing();
    uint64_t cells;
    if (!checkedSizeProduct(d->ntax, d->nchar, &cells) || cells > (uint64_t{1} << 40))
        return qel_errorMsg(0, "The data matrix of %u taxa by %u characters is too large.",
                            d->ntax, d->nchar);
    qel_printf("\nData matrix has %d taxa, %d %s\n", static_cast<int>(d->ntax),
               static_cast<int>(d->nchar), d->nchar == 1 ? "character" : "characters");
    return initCharInfo(d);
}

// Runs the block's commands up to its end; 0 or the failing status.
int runBlockCommands(DataInfo *d)
{
    DataBlockReader &r = gReader;
    const bool charBlock = isCharBlock(r.blockType);
    bool dimensionsSeen = false, charPartDone = false;
    uint32_t counted = 0;
    char word[64];
    for (;;) {
        int rc = readSpecialToken(word, sizeof word, nullptr, nullptr, nullptr, false);
        if (rc < 0)
            return 1;
        if (rc == kTokenPlain && std::strcmp(word, ";") == 0)
            continue;
        if (isEndBlock(word))
            return 0;
        bool any = false;
        for (const BlockCommand &cmd : kBlockCommands) {
            if (!matches(cmd, word, r.blockType))
                continue;
            any = true;
            const auto which = static_cast<size_t>(&cmd - kBlockCommands);
            const bool uncounted = which <= static_cast<size_t>(Cmd::Comment);
            const bool dims = which == static_cast<size_t>(Cmd::Dimensions);
            if (dims) {
                if (dimensionsSeen)
                    return qel_errorMsg(335, "Only one 'Dimensions' command is allowed per block.");
                if (counted > 0)
                    return qel_errorMsg(334,
                                        "The 'Dimensions' command must be the first command in "
                                        "the '%s' block.",
                                        kBlockNames[r.blockType]);
                dimensionsSeen = true;
            } else if (!uncounted) {
                // No command that needs the counts runs without the block's own.
                const bool earlyFormat = which == static_cast<size_t>(Cmd::Format) && !dimensionsSeen;
                if (!r.ntaxKnown && !(earlyFormat && dataBlockParam.ntaxGiven))
                    return ntaxMissing();
                if (charBlock && !r.ncharKnown && !(earlyFormat && dataBlockParam.ncharGiven))
                    return ncharMissing();
                if (charBlock && !charPartDone && which != static_cast<size_t>(Cmd::Format)) {
                    if (completeCharPart(d) != 0)
                        return 1;
                    charPartDone = true;
                }
            }
            if (!uncounted)
                ++counted;
            if (int status = cmd.handler(d); status != 0)
                return status;
            if (r.skipBlock)
                return 0;
        }
        if (any)
            continue;
        static constexpr const char *kUnknown =
            "Unrecognized command in %s block: \"%s\".\tIf the command is valid for the current "
            "block and it is spelled correctly, look for problems earlier in the file, such as an "
            "unterminated block (missing 'End;').";
        if (errorStop())
            return qel_errorMsg(112, kUnknown, kBlockNames[r.blockType], word);
        qel_warningMsg(112, kUnknown, kBlockNames[r.blockType], word);
        if (skipRestOfCmd() != 0)
            return 1;
    }
}

// The data type of a character block that failed at its end, or -1: even
// such a block leaves no sequence data to analyse beyond parsimony.
int64_t gFailedBlockDataType = -1;

void resetCriterionForDataType(uint32_t dataType)
{
    if (isDataTypeNucleotide(dataType) || dataType == kDataTypeProtein)
        return;
    if (dataServices().criterion() == kCriterionParsimony)
        return;
    dataServices().resetCriterionToParsimony();
    qel_printf("\nNote: Data set contains no nucleotide or amino-acid characters; optimality criterion has been "
               "reset to parsimony.\n\n");
}

int finishBlock(DataInfo *d)
{
    DataBlockReader &r = gReader;
    if (d->newTaxa && d->taxa.labels) {
        // A log started without a name is named after the data it records.
        setDefaultLogFileName();
        warnDuplicateLabels(d);
        initTaxStatus(d);
    }
    // A joined block's record is released by the join: its flags are read first.
    const bool allDigitNames = d->allDigitTaxName || d->allDigitCharName;
    const uint32_t dataType = d->dataType;
    int status = 0;
    if (r.blockType == kBlockTaxa) {
        if (!d->taxa.labelsKnown)
            return qel_errorMsg(338, "Expecting 'TaxLabels' or 'DefaultLabels' command.");
    } else if (!r.matrixRead) {
        qel_errorMsg(347, "No matrix was found in %s block.", kBlockNames[r.blockType]);
        status = 1;
    } else if (isCharBlock(r.blockType) && finishCharMatrix(d, gFurther) != 0) {
        status = 1;
    }
    if (status == 0 && nexOpt.allDigLab == kAllDigitWarn && allDigitNames)
        qel_warningMsg(310, "Use of all-digit taxon and/or character names does not conform to "
                            "the NEXUS standard and is strongly discouraged. Remember that names "
                            "have priority over numbers.");
    if (isCharBlock(r.blockType)) {
        if (status == 0) {
            userDistanceStore().fitMeasureToData(dataType);
            resetCriterionForDataType(dataType);
        } else {
            // The criterion's reset reaches into the data set, so it waits
            // until the failed block's record has been released.
            gFailedBlockDataType = static_cast<int64_t>(dataType);
        }
    }
    return status;
}

}  // namespace

DataBlockReader &dataBlockReader() { return gReader; }

void setDefaultDataFormat(DataInfo *d)
{
    d->dataType = kDataTypeStandard;
    d->interleave = d->transpose = d->respectCase = 0;
    d->missingSymbol = '?';
    d->gapSymbol = d->matchChar = d->missingOtherCase = 0;
    d->labelsPosition = kLabelsLeft;
    d->userSymbols[0] = '\0';
}

int readLabel(char *buffer, bool taxonLabel)
{
    gReader.readingTaxonLabels = taxonLabel;
    const char *punct = nexOpt.allowPunct ? ";" : nullptr;
    int rc = readSpecialToken(buffer, kMaxLabelLength + 1, nullptr, punct, nullptr, false);
    if (rc < 0)
        return 1;
    if (tokenWasTruncated())
        return qel_errorMsg(0, "%s name \"%.32s...\" is longer than %d characters.",
                            taxonLabel ? "Taxon" : "Character", buffer,
                            static_cast<int>(kMaxLabelLength));
    if (rc == kTokenPlain && buffer[0] && !buffer[1] && std::strchr(getStdPunct(), buffer[0])) {
        if (buffer[0] == ';')
            return taxonLabel
                       ? qel_errorMsg(608, "A semicolon (;) was found where a taxon name was "
                                           "expected.\tA common cause of this error is that 'NTax' "
                                           "or 'NChar' was specified incorrectly.")
                       : qel_errorMsg(421, "A semicolon (;) was found where a character name was "
                                           "expected.\tA common cause of this error is that 'NTax' "
                                           "or 'NChar' was specified incorrectly.");
        return taxonLabel
                   ? qel_errorMsg(607,
                                  "\"%s\" is not a valid taxon name.\tIf (unquoted) taxon names "
                                  "contain special characters that are not legal in the NEXUS "
                                  "format, either quote them or do \"Set AllowPunct=Yes\" before "
                                  "the DATA, TAXA, or CHARACTERS block is processed.",
                                  buffer)
                   : qel_errorMsg(420, "\"%s\" is not a valid character name.", buffer);
    }
    return 0;
}

int setTaxLabel(DataInfo *d, uint32_t row, const char *label)
{
    char number[16];
    if (!label || !*label) {
        std::snprintf(number, sizeof number, "%u", row + 1);
        label = number;
    } else if (allDigits(label)) {
        if (nexOpt.allDigLab == kAllDigitProhibit)
            return allDigitsProhibited();
        d->allDigitTaxName = 1;
    }
    return storeTaxLabel(d, row, label);
}

int setCharLabel(DataInfo *d, uint32_t c, const char *label)
{
    if (!label || !*label)
        return 0;
    if (allDigits(label)) {
        if (nexOpt.allDigLab == kAllDigitProhibit)
            return allDigitsProhibited();
        d->allDigitCharName = 1;
        uint32_t n;
        if (stringToUInt(label, &n) == kConvOk && n == c + 1)
            return 0;
    }
    return storeCharLabel(d, c, label);
}

int defineTaxaFromLabels(DataInfo *d, const std::vector<std::string> &labels)
{
    if (!d || labels.empty())
        return 1;
    if (labels.size() > kMaxTaxa)
        return qel_errorMsg(302, "Value of 'NTax' exceeds maximum permitted in this version of VORN (%d)",
                            static_cast<int>(kMaxTaxa));
    purgeData(d, 0, 0, 0);
    d->allDigitTaxName = 0;
    if (allocTaxaMemory(d, static_cast<uint32_t>(labels.size())) != 0)
        return 1;
    forceTaxaInitialization(d);
    for (uint32_t t = 0; t < d->ntax; ++t)
        if (setTaxLabel(d, t, labels[t].c_str()) != 0) {
            purgeData(d, 0, 0, 0);
            return 1;
        }
    d->newTaxa = 1;
    d->taxa.labelsKnown = 1;
    // Taxa gathered from tree descriptions are numbered in order of first
    // appearance, which the user never declared: lists must name them.
    d->taxa.taxaByNumber = 0;
    d->flags |= kHaveTaxa;
    warnDuplicateLabels(d);
    initTaxStatus(d);
    return 0;
}

int initTaxLabels(DataInfo *d, const char *prefix)
{
    char label[32];
    for (uint32_t t = 0; t < d->ntax; ++t) {
        std::snprintf(label, sizeof label, "%s%u", prefix, t + 1);
        if (storeTaxLabel(d, t, label) != 0)
            return 1;
    }
    d->flags |= kHaveTaxa;
    d->taxa.labelsKnown = 1;
    d->taxa.taxaByNumber = 1;
    return 0;
}

int defaultTaxLabels(DataInfo *d) { return initTaxLabels(d, "t"); }

void zapCharacter(DataInfo *d, uint32_t c)
{
    d->status[c] |= kCharExcluded | kCharEliminated;
    addSetMember(d->eliminated, c);
    ++d->nEliminated;
}

int readZappedChars(int operation, CmdParam *, void *place)
{
    if (operation == kParamOpCurValue || operation == kParamOpValueList) {
        if (place)
            *static_cast<const char **>(place) =
                operation == kParamOpCurValue ? "-" : "\"<character-list>\"";
        return 0;
    }
    if (operation != kParamOpReadValue)
        return 0;
    qel_warningMsg(340, "The \"Zap\" option is obsolete. For compatibility with other NEXUS "
                        "programs use the \"Eliminate\" command instead.");
    char text[kParamStringSize];
    if (readDelimitedToken(text, sizeof text - 1, "\"\"") != 0)
        return 1;
    DataInfo *d = gReader.d;
    if (!d)
        return 1;
    // The quoted list is read as a little document of its own.
    std::strcat(text, ";");
    InputStatus *outer = getActiveInput();
    InputStatus list{};
    initDocumentInput(&list, text, std::strlen(text));
    list.batch = outer ? outer->batch : 1;
    list.prevInput = outer;
    setActiveInput(&list);
    int rc = eliminateList(d);
    setActiveInput(outer);
    return rc;
}

int finishCharMatrix(DataInfo *d, int join)
{
    int rc = 0;
    if (d->compactStorage && !d->patternMatrix &&
        (!d->patternTree || makePatternMatrix(d->patternTree, d, join == 0) != 0))
        rc = 1;
    if (rc == 0 && join) {
        DataInfo *a = gInstalled;
        if (!a || a == d || joinCharBlock(a, d) != 0) {
            d->patternTree = destroyPatternTST(d->patternTree);
            return 1;
        }
        // d is gone: its characters now follow a's.
        d = a;
    } else if (rc == 0) {
        d->nCharBlocks = 1;
        setActiveDataInfo(d);
        gInstalled = d;
        initializeFlagsForNewData(d, 1, 0);
    }
    d->patternTree = destroyPatternTST(d->patternTree);
    if (rc != 0)
        return 1;
    initCharInclusionFlags(d);
    if (!d->polyCellsPresent)
        d->polyCells = deallocSetFamily(d->polyCells);
    return 0;
}

namespace {

// The character data's format, which a DISTANCES block read beside a
// character matrix leaves as it was.
struct CharFormat {
    uint32_t dataType, missingSymbol, gapSymbol, matchChar, missingOtherCase, labelsPosition;
    uint8_t interleave, transpose, respectCase, compactStorage;
    char symbols[sizeof DataInfo::symbols];
    char userSymbols[sizeof DataInfo::userSymbols];

    explicit CharFormat(const DataInfo *d)
        : dataType(d->dataType), missingSymbol(d->missingSymbol), gapSymbol(d->gapSymbol),
          matchChar(d->matchChar), missingOtherCase(d->missingOtherCase), labelsPosition(d->labelsPosition),
          interleave(d->interleave), transpose(d->transpose), respectCase(d->respectCase),
          compactStorage(d->compactStorage)
    {
        std::memcpy(symbols, d->symbols, sizeof symbols);
        std::memcpy(userSymbols, d->userSymbols, sizeof userSymbols);
    }
    void restore(DataInfo *d) const
    {
        d->dataType = dataType;
        d->missingSymbol = missingSymbol;
        d->gapSymbol = gapSymbol;
        d->matchChar = matchChar;
        d->missingOtherCase = missingOtherCase;
        d->labelsPosition = labelsPosition;
        d->interleave = interleave;
        d->transpose = transpose;
        d->respectCase = respectCase;
        d->compactStorage = compactStorage;
        std::memcpy(d->symbols, symbols, sizeof symbols);
        std::memcpy(d->userSymbols, userSymbols, sizeof userSymbols);
    }
};

// A DISTANCES block adds a matrix to the taxa it names; the data set is not
// purged unless the block defines new taxa, nor after a failure.
int readDistancesBlock(DataInfo *d)
{
    DataBlockReader &r = gReader;
    r = DataBlockReader{};
    r.d = d;
    r.blockType = kBlockDistances;
    const CharFormat saved(d);
    setDefaultDataFormat(d);
    d->allDigitCharName = d->allDigitTaxName = 0;
    r.ntaxKnown = (d->flags & kHaveTaxa) && d->taxa.labelsKnown ? 1 : 0;
    dataBlockParam.triangle = 0;  // lower
    dataBlockParam.diagonal = 1;
    if (!(d->flags & kHaveCharacters)) {
        d->dataType = kDataTypeDistance;
        userDistanceStore().selectDistanceCriterion();
    }
    int status = runBlockCommands(d);
    if (status == 0)
        status = finishBlock(d);
    if (d->flags & kHaveCharacters)
        saved.restore(d);
    else
        d->dataType = kDataTypeDistance;
    dataServices().clearStatusText();
    if (status == 0)
        return 0;
    return gAborted_ ? 2 : 1;
}

bool isAbbreviationOf(const char *word, const char *name)
{
    const size_t n = std::strlen(word);
    return n > 0 && n <= std::strlen(name) && strnicmp(word, name, n) == 0;
}

// Whether the active input can be looked ahead at and read again: a file or
// a text in memory. Typed lines and standard input cannot, once the next
// line is asked for.
bool inputCanBeReread()
{
    const InputStatus *in = getActiveInput();
    return in && in->batch && (in->isDocument || (in->stream && in->stream->fp));
}

// Reads the rest of a block, from the end of its Begin command through its
// End command, into text, passing over comments and quoted words as the
// tokenizer does. False when the input ends first.
bool readBlockText(std::string &text)
{
    constexpr size_t kLongestEnd = 16;
    std::string command;  // the current command outside comments, while short
    bool plain = true;    // no quoted word in it
    bool quoted = false;
    uint32_t comment = 0;  // nesting depth
    for (int c; (c = readNextChar()) >= 0;) {
        text.push_back(static_cast<char>(c));
        if (comment) {
            if (c == '[')
                ++comment;
            else if (c == ']')
                --comment;
        } else if (quoted) {
            quoted = c != '\'';  // '' is two quoted words to this scan
        } else if (c == '[') {
            comment = 1;
        } else if (c == '\'') {
            quoted = true;
            plain = false;
        } else if (c == ';') {
            const size_t from = command.find_first_not_of(" \t\r\n");
            const size_t to = command.find_last_not_of(" \t\r\n");
            if (plain && from != std::string::npos && isEndBlock(command.substr(from, to - from + 1).c_str()))
                return true;
            command.clear();
            plain = true;
        } else if (command.size() < kLongestEnd) {
            command.push_back(static_cast<char>(c));
        } else {
            plain = false;
        }
    }
    return false;
}

// Whether the Format command of the block ahead declares continuous data.
// A DATA block replaces the data set before its Format command is read, so
// this is looked at first: a block that will be passed over must leave the
// data in place. The input is left where it was; the look stops at the
// matrix.
bool blockDeclaresContinuous()
{
    if (!inputCanBeReread())
        return false;
    InputMark mark;
    markInput(&mark);
    const bool visible = setShowVisibleComments(false);  // they are shown when the block is read
    bool continuous = false, commandStart = true, inFormat = false;
    int step = 0;  // 1 after "datatype", 2 after its "="
    char word[64];
    while (!continuous && readSpecialToken(word, sizeof word, nullptr, nullptr, nullptr, true) >= 0) {
        if (std::strcmp(word, ";") == 0) {
            commandStart = true;
            continue;
        }
        if (commandStart) {
            if (isEndBlock(word) || stricmp(word, "matrix") == 0)
                break;
            inFormat = std::strlen(word) >= 6 && isAbbreviationOf(word, "format");
            commandStart = false;
            step = 0;
            continue;
        }
        if (!inFormat)
            continue;
        if (step == 2)
            continuous = isAbbreviationOf(word, "continuous");
        step = step == 1 && std::strcmp(word, "=") == 0 ? 2 : isAbbreviationOf(word, "datatype") ? 1 : 0;
    }
    setShowVisibleComments(visible);
    rewindInput(&mark);
    return continuous;
}

}  // namespace

int readData(int blockType, DataInfo *d)
{
    if (blockType < 0 || blockType > kBlockDistances || !d)
        return 1;
    if (blockType == kBlockDistances) {
        // A distances block is never a further character block; the mark
        // left by the last character block would have it free its own record.
        gFurther = false;
        return readDistancesBlock(d);
    }
    if (blockType == kBlockData && (d->flags & kHaveCharacters) && !inputCanBeReread()) {
        // Typed or from standard input, the block is first read through its
        // End into memory and then read from there, as from a file: whether
        // it replaces the data set must be known before anything is purged.
        // A block cut short by the end of the input fails where it ends.
        std::string text;
        readBlockText(text);
        InputStatus *typed = getActiveInput();
        InputStatus copy{};
        initDocumentInput(&copy, text.data(), text.size());
        const int status = readData(blockType, d);
        setActiveInput(typed);
        return status;
    }
    if (blockType == kBlockData && (d->flags & kHaveCharacters) && blockDeclaresContinuous()) {
        warnContinuousBlockSkipped();
        return skipThruEndOfBlock() == 0 ? 0 : 1;
    }
    DataBlockReader &r = gReader;
    r = DataBlockReader{};
    r.d = d;
    r.blockType = blockType;
    const uint32_t savedFlags = d->flags;
    char savedSymbols[sizeof d->symbols];
    std::memcpy(savedSymbols, d->symbols, sizeof savedSymbols);
    setDefaultDataFormat(d);
    d->allDigitCharName = d->allDigitTaxName = 0;
    const bool further = isFurtherCharBlock(d, blockType);
    gFurther = further;
    // A further block is stored as the data set it joins; any other block
    // takes the setting.
    d->compactStorage = further ? gInstalled->compactStorage : dataParam.dataStorage;

    int status = 0;
    if (blockType == kBlockCharacters) {
        if (!(d->flags & kHaveTaxa))
            status = qel_errorMsg(331,
                                  "A %s block is not allowed unless an active DATA or TAXA block "
                                  "exists.\tMake sure that a DATA or TAXA block precedes this one, "
                                  "and that its name is not misspelled or commented out.",
                                  "CHARACTERS");
        else if (!d->taxa.labelsKnown)
            purgeData(d, 0, 0, 0);
        else
            r.ntaxKnown = 1;
    } else if (d->flags) {
        purgeData(d, 0, 0, 0);
    }
    if (status == 0) {
        std::strcpy(d->symbols, "01");
        d->flags &= ~(kDataDNA | kDataRNA | kDataNucleotide | kDataProtein | kDataUserSymbols);
        status = runBlockCommands(d);
    }

    if (status == 0 && r.skipBlock) {
        d->flags = savedFlags;
        std::memcpy(d->symbols, savedSymbols, sizeof savedSymbols);
        if (gFurther) {
            abandonFurtherBlock(d);
            return 0;
        }
        if ((savedFlags & kHaveCharacters) && dataMatrixAllocated(d))
            return 0;
        // The block replaced what was there before: nothing of it is left.
        purgeData(d, blockType == kBlockCharacters, 1, 0);
        return 0;
    }
    gFailedBlockDataType = -1;
    if (status == 0)
        status = finishBlock(d);
    dataServices().clearStatusText();
    if (status == 0)
        return 0;
    if (gFurther && activeDataInfo() == d) {
        abandonFurtherBlock(d);
    } else {
        purgeData(d, blockType == kBlockCharacters, 0, 0);
        if (gInstalled == d)
            gInstalled = nullptr;
    }
    if (gFailedBlockDataType >= 0)
        resetCriterionForDataType(static_cast<uint32_t>(gFailedBlockDataType));
    if (status == kBlockCanceled) {
        // Typed, the rest of the block would otherwise run as commands.
        if (!inBatchInputMode())
            skipThruEndOfBlock();
        return kBlockCanceled;
    }
    return gAborted_ ? 2 : 1;
}

uint64_t installedDataReplacements() { return gInstalledReplacements; }

void setAskBeforeReplacingData(bool ask) { gAskBeforeReplacing = ask; }
