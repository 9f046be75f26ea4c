#include "data/assump.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "data/charstat.h"
#include "data/chartaxlist.h"
#include "data/data_services.h"
#include "data/data_settings.h"
#include "data/getdata.h"
#include "data/usertypes.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_malloc.h"
#include "qel/qel_output.h"
#include "qel/qel_strings.h"
#include "cli/qel_cmdline.h"
#include "cli/qel_commands.h"
#include "cli/qel_cmdoptions.h"
#include "cli/shell_settings.h"

namespace {

constexpr const char *kSetFormats = "standard\0vector\0";
constexpr const char *kPtnFormats = "standard\0vector\0tokens\0notokens\0";
constexpr uint32_t kFmtStandard = 1, kFmtVector = 2, kFmtTokens = 4, kFmtNotokens = 8;

bool errorStopOn() { return !qel_cmdErrorStop || qel_cmdErrorStop(); }

int unexpectedSemicolon()
{
    return qel_errorMsg(118, "Unexpected semicolon (;).\tCheck input formatting carefully (e.g., verify that the "
                             "number of items supplied for a list is correct)."),
           1;
}

int expectColon()
{
    const int c = readNextDarkChar(nullptr);
    if (c == ':')
        return 0;
    if (c < 0)
        return reportCharReaderEnd(c);
    return qel_errorMsg(203, "Expecting colon (:) found '%c'.\tIt is possible that this is a downstream effect of an "
                             "earlier formatting mistake.",
                        c),
           1;
}

// The store belongs to the active data set; a data set read before the
// store was set up gets it here.
DataInfo *assumpData()
{
    DataInfo *d = activeDataInfo();
    if (d && !gNexsets.typesets && initializeAssumpSets(d) != 0)
        return nullptr;
    return d;
}

// "0"/"1" vector over n items into set; a ";" before the end ends it early.
int readSetVector(Set *set, uint32_t n)
{
    for (uint32_t i = 0; i < n; ++i) {
        const int c = readNextDarkChar(nullptr);
        if (c < 0)
            return 1;
        if (c == ';')
            return 0;
        if (c != '0' && c != '1')
            return qel_errorMsg(124, "'%c' is not a valid character in this context.", c), 1;
        if (c == '1')
            addSetMember(set, i);
    }
    return readSemicolon();
}

Nexset **headOf(uint32_t type)
{
    switch (type) {
    case kNexTypeset: return &gNexsets.typesets;
    case kNexWtset: return &gNexsets.wtsets;
    case kNexExset: return &gNexsets.exsets;
    case kNexRateset: return &gNexsets.ratesets;
    default: return &gNexsets.ancstates;
    }
}

// Links a type, weight, exclusion, rate or ancestral-state set: a user set
// of the same name (the built-ins are not searched) is replaced in place,
// and what named it is told (nexsetReplaced).
void linkAssumpSet(Nexset *ns, uint32_t type, const char *label)
{
    Nexset **head = headOf(type);
    Nexset *first = *head;
    uint32_t builtins = type == kNexTypeset || type == kNexExset ? 2 : type == kNexRateset ? 0 : 1;
    Nexset *lastBuiltin = nullptr;
    for (uint32_t i = 0; i < builtins && first; ++i) {
        lastBuiltin = first;
        first = first->next;
    }
    Nexset *old = nullptr;
    Nexset *prev = findListLoc(lastBuiltin, first, ns->name, &old);
    updateNexsetList(ns, prev, old, head);
    if (!old)
        return;
    replaceNexset(old, ns, type);
    showRedefined(label, ns->name);
}

uint32_t findTaxonIdentifier(const char *name, const DataInfo *d)
{
    if (std::strcmp(name, ".") == 0)
        return d->ntax ? d->ntax - 1 : kSetEnd;
    const bool digits = name[0] && std::strspn(name, "0123456789") == std::strlen(name);
    if (!digits || d->allDigitTaxName)
        for (uint32_t t = 0; t < d->ntax; ++t)
            if (const char *label = taxLabelString(d, t); label && stricmp(label, name) == 0)
                return t;
    if (digits && d->taxa.taxaByNumber) {
        const unsigned long v = std::strtoul(name, nullptr, 10);
        if (v >= 1 && v <= d->ntax)
            return static_cast<uint32_t>(v - 1);
    }
    return kSetEnd;
}

// ---- Partitions ---------------------------------------------------------------

constexpr const char *kCodonPositions = "123n?";

bool validCodonPos(const char *word)
{
    return std::strlen(word) == 1 && std::strchr(kCodonPositions, std::tolower(static_cast<unsigned char>(word[0])));
}

int codonPosError(const char *word)
{
    return qel_errorMsg(429, "Invalid position specifier in CodonPosSet command: \"%s\"", word), 1;
}

// The subset of that name, or a new one appended.
uint32_t subsetNamed(SetPtn *ptn, const char *name)
{
    for (uint32_t i = 0; i < ptn->numSubsets; ++i)
        if (stricmp(getPtnSubsetName(ptn, i), name) == 0)
            return i;
    return addPtnSubset(ptn, name) ? ptn->numSubsets - 1 : kSetEnd;
}

int readPartitionVector(Nexset *ns, SetPtn *ptn, uint32_t n, bool tokens, bool codons, int kind)
{
    char word[kNexsetNameSize];
    for (uint32_t i = 0; i < n; ++i) {
        if (tokens && !codons) {
            if (readToken(word, sizeof word) < 0)
                return 1;
        } else {
            const int c = readNextDarkChar(nullptr);
            if (c < 0)
                return reportCharReaderEnd(c);
            word[0] = static_cast<char>(c);
            word[1] = '\0';
        }
        if (isTokenSemicolon(word)) {
            char what[200];
            const char *fmt = codons     ? "codon position set \"%s\" (= %u) less than 'NChar'"
                              : kind == 1 ? "taxon partition \"%s\" (= %u) less than 'NTax'"
                                          : "character partition \"%s\" (= %u) less than 'NChar'";
            std::snprintf(what, sizeof what, fmt, ns->name, i);
            qel_printf("\nWarning: \bVector length for %s.\n", what);
            return 0;
        }
        if (codons) {
            if (!validCodonPos(word))
                return codonPosError(word);
            if (word[0] == 'n')
                word[0] = 'N';
        }
        const uint32_t s = subsetNamed(ptn, word);
        if (s == kSetEnd)
            return 1;
        addSetMember(getPtnSubset(ptn, s), i);
    }
    return readSemicolon();
}

int readPartitionStandard(SetPtn *ptn, DataInfo *d, bool taxa, bool codons)
{
    const uint32_t n = taxa ? d->ntax : d->nchar;
    Set *remaining = allocSet(n);
    Set *list = allocSet(n);
    auto done = [&](int status) {
        deallocSet(remaining);
        deallocSet(list);
        return status;
    };
    if (!remaining || !list)
        return done(1);
    for (uint32_t i = 0; i < n; ++i)
        addSetMember(remaining, i);
    char word[kNexsetNameSize];
    for (;;) {
        if (readToken(word, sizeof word) < 0)
            return done(1);
        // An empty list is a partition without subsets, which the caller reports
        // by name; a ";" after a "," is a formatting slip.
        if (isTokenSemicolon(word))
            return done(ptn->numSubsets == 0 ? 0 : unexpectedSemicolon());
        if (codons) {
            if (!validCodonPos(word))
                return done(codonPosError(word));
            if (word[0] == 'n')
                word[0] = 'N';
        } else if (!isValidTag(word, false)) {
            return done(1);
        }
        if (expectColon() != 0)
            return done(1);
        const int r = taxa ? readTaxaList(d, ";,", list, remaining) : readCharList(d, ";,", list, remaining, false, nullptr);
        if (r != 0)
            return done(1);
        PtnSubset *sub = addPtnSubset(ptn, word);
        if (!sub)
            return done(1);
        copySet(list, sub->set);
        const int c = readNextDarkChar(nullptr);
        if (c == ';')
            return done(0);
        if (c != ',')
            return done(c < 0 ? reportCharReaderEnd(c)
                              : (qel_errorMsg(124, "'%c' is not a valid character in this context.", c), 1));
    }
}

// Each item in at most one subset.
int checkPartition(const Nexset *ns, const DataInfo *d, bool taxa)
{
    const SetPtn *ptn = getNexPtn(ns);
    if (ptn->numSubsets == 0)
        return 1;
    Set *seen = allocSet(ptn->universeSize);
    if (!seen)
        return 1;
    int status = 0;
    for (uint32_t i = 0; i < ptn->numSubsets && status == 0; ++i) {
        const Set *s = getPtnSubset(ptn, i);
        for (uint32_t m = firstOneBit(s->words, s->nwords); m != kSetEnd; m = followingSetMember(s, m)) {
            if (!isSetMember(seen, m)) {
                addSetMember(seen, m);
                continue;
            }
            const std::string item = taxa ? std::string(taxLabelString(d, m)) : charLabelOut(d, m);
            qel_errorMsg(428, "Invalid partition. %s %s appears both in more than one subset.\tMake sure that each "
                              "%c%s is assigned to exactly one subset.",
                         taxa ? "Taxon" : "Character", item.c_str(), taxa ? 't' : 'c', taxa ? "axon" : "haracter");
            status = 1;
            break;
        }
    }
    deallocSet(seen);
    return status;
}

// "?" first, then by the first character of the name.
void sortCodonSubsets(SetPtn *ptn)
{
    auto rank = [](const PtnSubset *s) { return s->name[0] == '?' ? -1 : static_cast<int>(static_cast<unsigned char>(s->name[0])); };
    std::stable_sort(ptn->subsets, ptn->subsets + ptn->numSubsets,
                     [&](const PtnSubset *a, const PtnSubset *b) { return rank(a) < rank(b); });
}

Nexset *readPartitionBody(int kind, uint32_t type, const char *commandName, bool codons, bool *skipped, bool *star)
{
    DataInfo *d = assumpData();
    *skipped = false;
    if (!d)
        return nullptr;
    char name[kNexsetNameSize];
    uint32_t mask = 0;
    const int head = readTagAndFmt(commandName, codons ? kSetFormats : kPtnFormats, name, sizeof name, star, &mask);
    if (head != 0) {
        *skipped = head == 2;
        return nullptr;
    }
    const int vector = readVectorFmtSetting(mask, kFmtStandard, kFmtVector, 0);
    const int tokens = codons ? 0 : readTokensFmtSetting(mask, kFmtTokens, kFmtNotokens, 1);
    if (vector < 0 || tokens < 0)
        return nullptr;
    Nexset *ns = createNexset(name, type);
    if (!ns)
        return nullptr;
    const bool taxa = kind == 1;
    SetPtn *ptn = getNexPtn(ns);
    int status = vector ? readPartitionVector(ns, ptn, taxa ? d->ntax : d->nchar, tokens == 1, codons, kind)
                        : readPartitionStandard(ptn, d, taxa, codons);
    if (status == 0 && ptn->numSubsets == 0) {
        if (codons)
            qel_errorMsg(427, "No position information specified for codon-position-set \"%s\".", name);
        else
            qel_errorMsg(426, "Partition \"%s\" has no subsets.", name);
        status = 1;
    }
    if (status == 0)
        status = checkPartition(ns, d, taxa);
    if (status != 0 || memoryErrorHasOccurred())
        return destroyNexset(ns, type);
    return ns;
}

// ---- Show commands -----------------------------------------------------------------

// A grid with one row per group and one column per item, "*" marking the
// items that belong to the row's group.
void dotPlot(const DataInfo *d, ItemColumns columns, uint32_t rows,
             const std::function<void(uint32_t row)> &label, const std::function<bool(uint32_t row, uint32_t item)> &in)
{
    std::vector<uint32_t> page;
    for (uint32_t first = 0; first != kNoMoreItems && !getAbortedStatus();) {
        const uint32_t next = charTaxHeader(d, columns, first, first > 0, page);
        for (uint32_t r = 0; r < rows; ++r) {
            label(r);
            std::string line;
            for (uint32_t item : page) {
                line.append(columns.colWidth - 1, ' ');
                line.push_back(in(r, item) ? '*' : '.');
            }
            qel_printf("%s\n", line.c_str());
        }
        first = next;
    }
}

void listPartition(const Nexset *ns, bool taxa, const DataInfo *d, const char *kind = nullptr)
{
    const SetPtn *ptn = getNexPtn(ns);
    if (kind == nullptr)
        kind = taxa ? "taxon" : "character";
    if (nexOpt.dotPlot) {
        const int width = static_cast<int>(std::max<uint32_t>(6, maxPtnSubsetNameLen(ptn, false)));
        char title[kNexsetNameSize + 64];
        std::snprintf(title, sizeof title, "\nSubsets for %s partition \"%s\"", kind, ns->name);
        const ItemColumns columns{.taxa = taxa, .title = title, .rowHeading = "Subset",
                                  .rowWidth = static_cast<uint32_t>(width)};
        dotPlot(
            d, columns, ptn->numSubsets, [&](uint32_t i) { qel_printf("%-*s ", width, getPtnSubsetName(ptn, i)); },
            [&](uint32_t i, uint32_t item) {
                // Taxon items are active positions; the subsets hold rows.
                const uint32_t member = taxa ? getTaxNum(d, item) - 1 : item;
                return isSetMember(getPtnSubset(ptn, i), member);
            });
        return;
    }
    qel_printf("\nSubsets for %s partition \"%s\":\n\n", kind, ns->name);
    const int width = static_cast<int>(maxPtnSubsetNameLen(ptn, false)) + 4;
    for (uint32_t i = 0; i < ptn->numSubsets; ++i) {
        qel_printf("    %-*s\b", width, getPtnSubsetName(ptn, i));
        outputSetMembers(getPtnSubset(ptn, i), nullptr, 0, "", nullptr, nullptr, false);
        qel_printf("\n");
    }
}

void listRateset(const Nexset *ns, const DataInfo *d)
{
    const double *rates = getRatesetArray(ns);
    std::vector<double> distinct;
    for (uint32_t c = 0; c < d->nchar; ++c)
        if (!(d->status[c] & (kCharExcluded | kCharEliminated)) &&
            std::find(distinct.begin(), distinct.end(), rates[c]) == distinct.end())
            distinct.push_back(rates[c]);
    int width = 1;
    for (double r : distinct)
        width = std::max(width, std::snprintf(nullptr, 0, "%.6f", r));
    if (nexOpt.dotPlot) {
        width = std::max(width, 4);
        char title[kNexsetNameSize + 16];
        std::snprintf(title, sizeof title, "Rate-set \"%s\"", ns->name);
        const ItemColumns columns{.title = title, .rowHeading = "Rate", .rowWidth = static_cast<uint32_t>(width)};
        dotPlot(
            d, columns, static_cast<uint32_t>(distinct.size()),
            [&](uint32_t r) { qel_printf("%*.6f ", width, distinct[r]); },
            [&](uint32_t r, uint32_t c) { return rates[c] == distinct[r]; });
        return;
    }
    qel_printf("\nRate-set \"%s\":\n\n", ns->name);
    Set *members = allocSet(d->nchar);
    if (!members)
        return;
    for (double r : distinct) {
        clearSet(members);
        for (uint32_t c = 0; c < d->nchar; ++c)
            if (rates[c] == r)
                addSetMember(members, c);
        qel_printf("    %*.6f    ", width, r);
        outputSetMembers(members, nullptr, 0, "", nullptr, nullptr, false);
        qel_printf("\n");
    }
    deallocSet(members);
}

// Shared head of the Show commands: an optional name, then the options.
int showNamedSets(Nexset *first, const char *label, void (*show)(const Nexset *, const DataInfo *))
{
    DataInfo *d = assumpData();
    if (!d)
        return 1;
    Nexset *only = nullptr;
    if (peekNextChar(nullptr) != ';') {
        if (whichNexusObject(first, label, &only, false) != 0)
            return first ? 1 : skipRestOfCmd() == 0 ? 0 : 1;
        if (peekNextChar(nullptr) == '/')
            readNextDarkChar(nullptr);
    } else if (!first) {
        qel_printf("\nNo %c%ss have been defined.\n", std::tolower(static_cast<unsigned char>(label[0])), label + 1);
    }
    nexOpt.dotPlot = 0;  // applies to one listing only
    if (getCmdParams(OptionSet::kShowPartitions, nullptr, nullptr) <= 0)
        return 1;
    for (Nexset *ns = first; ns; ns = ns->next) {
        if (only && ns != only)
            continue;
        show(ns, d);
        if (getAbortedStatus())
            return 2;
    }
    return 0;
}

// ---- Block tables ------------------------------------------------------------------

int skipCmd() { return skipRestOfCmd() == 0 ? 0 : 1; }

constexpr NexusBlockCmd kAssumptionsCmds[] = {
    {"options", doAssumOptions}, {"usertype", doUsertypeCmd}, {"typeset", doTypesetCmd},
    {"wtset", doWtsetCmd},       {"exset", doExsetCmd},       {"ancstates", doAncStatesCmd},
    {"rateset", doRatesetCmd},   {"charset", doCharsetCmd},   {"taxset", doTaxsetCmd},
    {"title", skipCmd},          {"link", skipCmd},           {"comment", skipCmd},
};
constexpr NexusBlockCmd kSetsCmds[] = {
    {"charset", doCharsetCmd},     {"taxset", doTaxsetCmd}, {"charpartition", doCharPartitionCmd},
    {"taxpartition", doTaxPartitionCmd}, {"exset", doExsetCmd}, {"title", skipCmd},
    {"link", skipCmd},             {"comment", skipCmd},
};
constexpr NexusBlockCmd kCodonsCmds[] = {
    {"codonposset", doCodonPosSetCmd}, {"geneticcode", doGeneticCodeCmd}, {"codeset", doCodesetCmd},
    {"codposset", doCodonPosSetCmd},   {"gencode", doGeneticCodeCmd},     {"title", skipCmd},
    {"link", skipCmd},                 {"comment", skipCmd},
};

// A block refused at its start. Read from a file, its commands are passed
// over up to its end; typed, the error has already thrown the rest of the
// line away, "end" with it, and waiting for an end would swallow every
// command typed after it.
void abandonRefusedBlock()
{
    if (inBatchInputMode())
        skipThruEndOfBlock();
}

int needCharacters(const char *block)
{
    const DataInfo *d = activeDataInfo();
    if (d && (d->flags & kHaveCharacters))
        return 0;
    qel_errorMsg(330, "%s block is not allowed unless an active DATA (or TAXA/CHARACTERS) block exists.\t", block);
    abandonRefusedBlock();
    return 1;
}

}  // namespace

// ---------------------------------------------------------------------------

void showRedefined(const char *label, const char *name)
{
    if (!wrng.warnRedef || stricmp(name, "untitled") == 0)
        return;
    qel_printf("\nNote: %s \"%s\" redefined.\n", label, name);
    forceBlankLine();
}

int readTagAndFmt(const char *commandName, const char *keywords, char *name, uint32_t nameSize, bool *star,
                  uint32_t *formatMask)
{
    *star = false;
    *formatMask = 0;
    char word[kNexsetNameSize + 1];
    if (readToken(word, sizeof word) < 0)
        return 1;
    if (std::strcmp(word, "*") == 0) {
        *star = true;
        if (readToken(word, sizeof word) < 0)
            return 1;
    }
    if (isTokenSemicolon(word))
        return unexpectedSemicolon();
    if (tokenWasTruncated() || std::strlen(word) >= nameSize) {
        qel_errorMsg(0, "The name \"%.40s...\" is too long (at most %u characters).", word, nameSize - 1);
        return 1;
    }
    if (!isValidTag(word, false))
        return 1;
    strcpy_n(name, word, nameSize);
    if (readToken(word, sizeof word) < 0)
        return 1;
    if (std::strcmp(word, "=") == 0)
        return 0;
    const bool parens = std::strcmp(word, "(") == 0;
    for (bool firstWord = true;; firstWord = false) {
        if (parens || !firstWord) {
            if (readToken(word, sizeof word) < 0)
                return 1;
        }
        if (isTokenSemicolon(word))
            return unexpectedSemicolon();
        if (parens && std::strcmp(word, ")") == 0)
            break;
        if (std::strcmp(word, "=") == 0) {
            if (parens)
                return qel_errorMsg(212, "Unexpected equal sign (possibly due to missing right parenthesis)."), 1;
            return 0;
        }
        const int v = paramValueNum(keywords, word);
        if (v == -2)
            return qel_errorMsg(332, "%s format \"%s\" is ambiguous.", commandName, word), 1;
        if (v < 0) {
            if (errorStopOn())
                return qel_errorMsg(207, "%s format \"%s\" is unknown.\tCheck command syntax, including presence of "
                                         "any required equal (=) sign.",
                                    commandName, word),
                       1;
            qel_warningMsg(208, "%s format \"%s\" is unknown; command skipped.", commandName, word);
            skipRestOfCmd();
            return 2;
        }
        *formatMask |= 1u << v;
        if (!parens) {
            // One word without parentheses: "=" must follow.
            if (readToken(word, sizeof word) < 0)
                return 1;
            if (std::strcmp(word, "=") == 0)
                return 0;
            if (isTokenSemicolon(word))
                return unexpectedSemicolon();
            return qel_errorMsg(0, "Expecting '=' but found \"%s\".", word), 1;
        }
    }
    return readEqualSign();
}

namespace {

// What every set command starts with: the active data, then "[*] name [(formats)] =".
struct SetCmdHead {
    DataInfo *d = nullptr;
    char name[kNexsetNameSize];
    bool star = false;
    uint32_t mask = 0;
};

// -1 to go on reading the set; otherwise the command's result (0 when it was skipped).
int readSetCmdHead(const char *commandName, const char *formats, SetCmdHead *h)
{
    h->d = assumpData();
    if (!h->d)
        return 1;
    if (int head = readTagAndFmt(commandName, formats, h->name, sizeof h->name, &h->star, &h->mask); head != 0)
        return head == 2 ? 0 : 1;
    return -1;
}

}  // namespace

int readDataAndInitAssumpSets(int kind, DataInfo *d)
{
    const int status = readData(kind, d);
    DataInfo *active = activeDataInfo();
    if (status != 0 || !active || !active->flags)
        return status;
    // A block joined to the matrix keeps the sets (they were widened with
    // it); a store still pointing at another matrix's arrays starts afresh.
    const NexsetStore &g = gNexsets;
    const bool current = g.typesets && g.builtins[kBuiltinGapped].payload == active->gappedChars &&
                         g.builtins[kBuiltinStandard].payload == active->ancestor;
    if (!current && initializeAssumpSets(active) == 0)
        active->dataInitialized = 0;  // the built-in state sets are filled afresh
    return status;
}

int installDataHooks()
{
    watchNexsetSlot(&missdOpt.partition, nullptr);
    DataServices s{};
    s.deleteAssumptionSets = deallocAssumpSets;
    s.deallocUserTypes = deallocAllUsertypes;
    s.currentAncestralStates = currentAncestralStates;
    return installDataServices(s);
}

int processAssumptionsBlock()
{
    if (needCharacters("ASSUMPTIONS"))
        return 1;
    DataInfo *d = assumpData();
    if (!d)
        return 1;
    const int status = doNexusBlock("ASSUMPTIONS", kAssumptionsCmds, std::size(kAssumptionsCmds));
    if (status != 0 && initializeAssumpSets(d) == 0)
        d->dataInitialized = 0;  // every user set is gone; the built-ins start afresh
    return status;
}

int processSetsBlock()
{
    const DataInfo *d = activeDataInfo();
    if (!d || !(d->flags & kHaveTaxa)) {
        qel_errorMsg(331, "A %s block is not allowed unless an active DATA or TAXA block exists.\tMake sure that a "
                          "DATA or TAXA block precedes this one, and that its name is not misspelled or commented out.",
                     "SETS");
        abandonRefusedBlock();
        return 1;
    }
    if (!assumpData())
        return 1;
    return doNexusBlock("SETS", kSetsCmds, std::size(kSetsCmds));
}

int processCodonsBlock()
{
    if (needCharacters("CODONS") || !assumpData())
        return 1;
    return doNexusBlock("CODONS", kCodonsCmds, std::size(kCodonsCmds));
}

// ---- Set commands ------------------------------------------------------------------

int doCharsetCmd()
{
    SetCmdHead h;
    if (int head = readSetCmdHead("CharSet", kSetFormats, &h); head >= 0)
        return head;
    DataInfo *d = h.d;
    if (findCharNumFromString(h.name, d) != kSetEnd)
        return qel_errorMsg(425, "CharSet name \"%s\" corresponds to an existing character identifier; you must use "
                                 "another name for the character set.",
                            h.name),
               1;
    const int vector = readVectorFmtSetting(h.mask, kFmtStandard, kFmtVector, 0);
    if (vector < 0)
        return 1;
    Nexset *ns = createNexset(h.name, kNexCharset);
    if (!ns)
        return 1;
    Set *set = getNexsetSet(ns);
    int status = vector ? readSetVector(set, d->nchar)
                        : (readCharList(d, ";", set, nullptr, false, nullptr) || readSemicolon());
    if (status == 0)
        status = installNexSet(ns, kNexCharset, "Character-set", false);
    if (status != 0)
        destroyNexset(ns, kNexCharset);
    return status;
}

int doTaxsetCmd()
{
    SetCmdHead h;
    if (int head = readSetCmdHead("TaxSet", kSetFormats, &h); head >= 0)
        return head;
    DataInfo *d = h.d;
    if (findTaxonIdentifier(h.name, d) != kSetEnd)
        return qel_errorMsg(609, "Taxon-set name \"%s\" corresponds to an existing taxon identifier.\tUsing the same "
                                 "name for a taxon-set name and a taxon identifier is not allowed; you must use another "
                                 "name for the taxon set.",
                            h.name),
               1;
    const int vector = readVectorFmtSetting(h.mask, kFmtStandard, kFmtVector, 0);
    if (vector < 0)
        return 1;
    Nexset *ns = createNexset(h.name, kNexTaxset);
    if (!ns)
        return 1;
    Set *set = getNexsetSet(ns);
    int status = vector ? readSetVector(set, d->ntax) : (readTaxaList(d, ";", set, nullptr) || readSemicolon());
    if (status == 0)
        status = installNexSet(ns, kNexTaxset, "Taxon-set", wrng.warnRedef);
    if (status != 0)
        destroyNexset(ns, kNexTaxset);
    return status;
}

int doExsetCmd()
{
    SetCmdHead h;
    if (int head = readSetCmdHead("ExSet", kSetFormats, &h); head >= 0)
        return head;
    DataInfo *d = h.d;
    const int vector = readVectorFmtSetting(h.mask, kFmtStandard, kFmtVector, 0);
    if (vector < 0)
        return 1;
    Nexset *ns = createNexset(h.name, kNexExset);
    if (!ns)
        return 1;
    Set *set = getNexsetSet(ns);
    if (vector ? readSetVector(set, d->nchar) : (readCharList(d, ";", set, nullptr, true, nullptr) || readSemicolon())) {
        destroyNexset(ns, kNexExset);
        return 1;
    }
    linkAssumpSet(ns, kNexExset, "Exclusion-set");
    return h.star ? applyExset(ns, d) : 0;
}

int doTypesetCmd()
{
    SetCmdHead h;
    if (int head = readSetCmdHead("TypeSet", kSetFormats, &h); head >= 0)
        return head;
    DataInfo *d = h.d;
    const int vector = readVectorFmtSetting(h.mask, kFmtStandard, kFmtVector, 0);
    if (vector < 0)
        return 1;
    Nexset *ns = createNexset(h.name, kNexTypeset);
    if (!ns)
        return 1;
    if (setDefltCharType(ns, d, defTypeStr) != 0 || setCharTypes(ns, d, vector == 1) != 0) {
        destroyNexset(ns, kNexTypeset);
        return 1;
    }
    linkAssumpSet(ns, kNexTypeset, "Type-set");
    if (h.star && applyTypeset(ns, d, true) != 0) {
        // A set that does not fit the data is dropped and the default type restored.
        setDefltCharType(nullptr, d, defTypeStr);
        Nexset *prev = gNexsets.typesets;
        while (prev && prev->next != ns)
            prev = prev->next;
        if (prev)
            prev->next = ns->next;
        if (gNexsets.curTypeset == ns)
            gNexsets.curTypeset = &gNexsets.builtins[kBuiltinAllUnord];
        destroyNexset(ns, kNexTypeset);
        return 1;
    }
    return 0;
}

int doWtsetCmd()
{
    SetCmdHead h;
    if (int head = readSetCmdHead("WtSet", kPtnFormats, &h); head >= 0)
        return head;
    DataInfo *d = h.d;
    const int vector = readVectorFmtSetting(h.mask, kFmtStandard, kFmtVector, 0);
    const int tokens = readTokensFmtSetting(h.mask, kFmtTokens, kFmtNotokens, 1);
    if (vector < 0 || tokens < 0)
        return 1;
    Nexset *ns = createNexset(h.name, kNexWtset);
    if (!ns)
        return 1;
    const int status = setCharWts(ns, d, vector, tokens == 0);
    if (status != 0) {
        destroyNexset(ns, kNexWtset);
        return status;
    }
    linkAssumpSet(ns, kNexWtset, "Weight-set");
    return h.star ? applyWtset(ns, d, true) : 0;
}

int doRatesetCmd()
{
    SetCmdHead h;
    if (int head = readSetCmdHead("RateSet", kPtnFormats, &h); head >= 0)
        return head;
    DataInfo *d = h.d;
    const int vector = readVectorFmtSetting(h.mask, kFmtStandard, kFmtVector, 0);
    const int tokens = readTokensFmtSetting(h.mask, kFmtTokens, kFmtNotokens, 1);
    if (vector < 0 || tokens < 0)
        return 1;
    Nexset *ns = createNexset(h.name, kNexRateset);
    if (!ns)
        return 1;
    double *rates = getRatesetArray(ns);
    for (uint32_t c = 0; c < d->nchar; ++c)
        rates[c] = 1.0;
    auto fail = [&] {
        destroyNexset(ns, kNexRateset);
        return 1;
    };
    char word[64];
    auto readRate = [&](double *out) {
        if (readSpecialToken(word, sizeof word, nullptr, getNumericPunct(), nullptr, false) < 0)
            return 1;
        if (tokenWasTruncated() || stringToDouble(word, out) != kConvOk || *out < 0)
            return qel_errorMsg(424, "Rate \"%s\" is not valid.", word), 1;
        return 0;
    };
    if (vector) {
        uint32_t c = 0;
        for (; c < d->nchar; ++c) {
            if (peekNextChar(nullptr) == ';')
                break;
            if (tokens) {
                if (readRate(&rates[c]) != 0)
                    return fail();
            } else {
                const int ch = readNextDarkChar(nullptr);
                if (ch < 0)
                    return fail();
                if (!std::isdigit(ch))
                    return qel_errorMsg(124, "'%c' is not a valid character in this context.", ch), fail();
                rates[c] = ch - '0';
            }
        }
        if (c < d->nchar)
            qel_warningMsg(423, "Number of rates read for rate-set \"%s\" (= %d) less than 'NChar'; remainder set to 1.",
                           h.name, static_cast<int>(c));
        if (readSemicolon() != 0)
            return fail();
    } else {
        Set *list = allocSet(d->nchar);
        if (!list)
            return fail();
        int status = 0;
        for (;;) {
            double rate;
            if (peekNextChar(nullptr) == ';') {
                readNextDarkChar(nullptr);
                break;
            }
            if ((status = readRate(&rate)) != 0 || (status = expectColon()) != 0 ||
                (status = readCharList(d, ";,", list, nullptr, false, nullptr)) != 0)
                break;
            for (uint32_t c = firstOneBit(list->words, list->nwords); c != kSetEnd; c = followingSetMember(list, c))
                rates[c] = rate;
            const int sep = readNextDarkChar(nullptr);
            if (sep == ';')
                break;
            if (sep != ',') {
                status = sep < 0 ? 1 : (qel_errorMsg(124, "'%c' is not a valid character in this context.", sep), 1);
                break;
            }
        }
        deallocSet(list);
        if (status != 0)
            return fail();
    }
    linkAssumpSet(ns, kNexRateset, "Rate-set");
    return 0;
}

int doAncStatesCmd()
{
    SetCmdHead h;
    if (int head = readSetCmdHead("AncStates", kSetFormats, &h); head >= 0)
        return head;
    DataInfo *d = h.d;
    if (stricmp(h.name, "standard") == 0)
        return qel_errorMsg(326, "You cannot redefine the \"standard\" ancestor."), 1;
    const int vector = readVectorFmtSetting(h.mask, kFmtStandard, kFmtVector, 0);
    if (vector < 0)
        return 1;
    Nexset *ns = createNexset(h.name, kNexAncstates);
    if (!ns)
        return 1;
    auto *states = static_cast<uint8_t *>(ns->payload);
    auto fail = [&] {
        destroyNexset(ns, kNexAncstates);
        return 1;
    };
    // A state symbol as its code; 254 after the error report.
    auto code = [&](int sym) -> uint8_t {
        if (sym == static_cast<int>(d->missingSymbol) ||
            std::tolower(sym) == std::tolower(static_cast<int>(d->missingSymbol)))
            return static_cast<uint8_t>(d->nstates);
        for (uint32_t s = 0; s < d->nstates && d->symbols[s]; ++s)
            if (d->symbols[s] == sym ||
                (!d->respectCase && std::tolower(static_cast<unsigned char>(d->symbols[s])) == std::tolower(sym)))
                return static_cast<uint8_t>(s);
        qel_errorMsg(324, "Invalid character state '%c' in 'AncStates'.", sym);
        return kRefusedCode;
    };
    if (vector) {
        for (uint32_t c = 0; c < d->nchar; ++c) {
            const int sym = readNextDarkChar(nullptr);
            if (sym < 0)
                return sym == kCharEnd ? (qel_errorMsg(114, "Unexpected end-of-file was encountered.\tMake sure the "
                                                            "file format is correct for the current operation."),
                                          fail())
                                       : fail();
            if (sym == ';')
                return unexpectedSemicolon(), fail();
            if ((states[c] = code(sym)) == kRefusedCode)
                return fail();
        }
        if (readSemicolon() != 0)
            return fail();
    } else {
        Set *list = allocSet(d->nchar);
        Set *remaining = allocSet(d->nchar);
        int status = list && remaining ? 0 : 1;
        for (uint32_t c = 0; remaining && c < d->nchar; ++c)
            addSetMember(remaining, c);
        char word[kNexsetNameSize];
        while (status == 0) {
            if ((status = readToken(word, sizeof word) < 0 ? 1 : 0) != 0)
                break;
            if (isTokenSemicolon(word))
                break;
            if (std::strlen(word) != 1) {
                status = (qel_errorMsg(325, "Invalid 'AncStates' definition."), 1);
                break;
            }
            const uint8_t s = code(word[0]);
            if (s == kRefusedCode || (status = expectColon()) != 0 ||
                (status = readCharList(d, ";,", list, remaining, false, nullptr)) != 0) {
                status = 1;
                break;
            }
            for (uint32_t c = firstOneBit(list->words, list->nwords); c != kSetEnd; c = followingSetMember(list, c))
                states[c] = s;
            const int sep = readNextDarkChar(nullptr);
            if (sep == ';')
                break;
            if (sep != ',')
                status = sep < 0 ? 1 : (qel_errorMsg(124, "'%c' is not a valid character in this context.", sep), 1);
        }
        deallocSet(list);
        deallocSet(remaining);
        if (status != 0)
            return fail();
    }
    linkAssumpSet(ns, kNexAncstates, "AncStates");
    if (h.star)
        selectAncestor(ns);
    return 0;
}

Nexset *readNexPartition(int kind, uint32_t type, const char *, const char *commandName, bool *skipped)
{
    bool star;
    return readPartitionBody(kind, type, commandName, false, skipped, &star);
}

int installCharPartition(Nexset *ns) { return installNexSet(ns, kNexCharPartition, "Character-partition", wrng.warnRedef); }
int installTaxPartition(Nexset *ns) { return installNexSet(ns, kNexTaxPartition, "Taxon-partition", wrng.warnRedef); }
int installModelPartition(Nexset *ns) { return installNexSet(ns, kNexModelPartition, "Model-partition", wrng.warnRedef); }

int doCharPartitionCmd()
{
    bool skipped;
    Nexset *ns = readNexPartition(0, kNexCharPartition, "CharPartition", "CharPartition", &skipped);
    if (!ns)
        return skipped ? 0 : 1;
    if (installCharPartition(ns) != 0)
        return destroyNexset(ns, kNexCharPartition), 1;
    return 0;
}

int doTaxPartitionCmd()
{
    bool skipped;
    Nexset *ns = readNexPartition(1, kNexTaxPartition, "TaxPartition", "TaxPartition", &skipped);
    if (!ns)
        return skipped ? 0 : 1;
    if (installTaxPartition(ns) != 0)
        return destroyNexset(ns, kNexTaxPartition), 1;
    return 0;
}

int doCodonPosSetCmd()
{
    bool skipped, star;
    Nexset *ns = readPartitionBody(0, kNexCharPartition, "CodonPosSet", true, &skipped, &star);
    if (!ns)
        return skipped ? 0 : 1;
    setCharPtnCodon(ns, 1);
    sortCodonSubsets(getNexPtn(ns));
    if (installCharPartition(ns) != 0)
        return destroyNexset(ns, kNexCharPartition), 1;
    if (star || !gNexsets.curCodonPtn)
        gNexsets.curCodonPtn = ns;
    return 0;
}

int doAssumOptions()
{
    const char *note = errorStopOn() ? nullptr : "in OPTIONS command of ASSUMPTIONS block";
    return getCmdParams(OptionSet::kAssumptionsOptions, nullptr, note) > 0 ? 0 : 1;
}

int doGeneticCodeCmd()
{
    qel_printf("\nNOTE: \bVORN does not support the \"GeneticCode\" (or \"GenCode\") command.  It has been skipped.\n");
    return skipCmd();
}

int doCodesetCmd()
{
    qel_printf("\nNOTE: \bVORN does not support the \"CodeSet\" command.  It has been skipped.\n");
    return skipCmd();
}

int doShowCharPtnsCmd()
{
    return showNamedSets(gNexsets.charPartitions, "Character-partition",
                         [](const Nexset *ns, const DataInfo *d) { listPartition(ns, false, d); });
}

int doShowTaxPtnsCmd()
{
    return showNamedSets(gNexsets.taxPartitions, "Taxon-partition",
                         [](const Nexset *ns, const DataInfo *d) { listPartition(ns, true, d); });
}

int showModelPartitions()
{
    return showNamedSets(gNexsets.modelPartitions, "Model-partition", [](const Nexset *ns, const DataInfo *d) {
        listPartition(ns, false, d, "model");
    });
}

int doShowRatesetsCmd() { return showNamedSets(gNexsets.ratesets, "Rate-set", listRateset); }

