#include "data/chartaxlist.h"

#include <algorithm>
#include <cstring>

#include "data/data_util.h"
#include "data/nexsets.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_strings.h"
#include "cli/qel_cmdline.h"

namespace {

// Tokens are read up to 128 characters; a longer one is refused rather than
// cut, so that it cannot match a label it only begins with.
constexpr uint32_t kTokenSize = 129;

uint32_t labelMatch(const StringList *labels, uint32_t n, const char *token)
{
    for (uint32_t i = 0; labels && i < n; ++i) {
        const char *label = getStringFromList(labels, i);
        if (label && stricmp(label, token) == 0)
            return i;
    }
    return kSetEnd;
}

// A 1-based number within 1..n, converted with its range checked.
uint32_t itemNumber(const char *token, uint32_t n)
{
    uint32_t value;
    if (!isAllDigit(token) || stringToUInt(token, &value) != kConvOk || value == 0 || value > n)
        return kSetEnd;
    return value - 1;
}

// Taxon identifiers in the data set's own labels, original numbering.
uint32_t findTaxonFromString(const char *token, const DataInfo *d)
{
    if (!d || d->ntax == 0)
        return kSetEnd;
    if (std::strcmp(token, ".") == 0)
        return d->ntax - 1;
    bool digits = isAllDigit(token);
    if (!digits || d->allDigitTaxName) {
        uint32_t t = labelMatch(d->taxa.labels, d->ntax, token);
        if (t != kSetEnd)
            return t;
    }
    return digits && d->taxa.taxaByNumber ? itemNumber(token, d->ntax) : kSetEnd;
}

uint32_t resolve(const char *token, const DataInfo *d, bool taxa)
{
    return taxa ? findTaxonFromString(token, d) : findCharNumFromString(token, d);
}

int identifierError(const char *token, const DataInfo *d, bool taxa)
{
    return taxa ? showTaxIdError(token, d) : showCharIdError(token);
}

int invalidList(bool taxa)
{
    return taxa ? qel_errorMsg(605, "Invalid taxon list."), 1 : (qel_errorMsg(411, "Invalid character list."), 1);
}

// Adds the members of `from` below n; a set of another capacity (a built-in
// that shares a data-set set, a partition subset) never writes past n.
void addMembers(Set *result, Set *remaining, const Set *from, uint32_t n)
{
    for (uint32_t m = firstOneBit(from->words, from->nwords); m != kSetEnd && m < n;
         m = followingSetMember(from, m)) {
        addSetMember(result, m);
        if (remaining && m < remaining->capacity)
            removeSetMember(remaining, m);
    }
}

void addItem(Set *result, Set *remaining, uint32_t m)
{
    addSetMember(result, m);
    if (remaining && m < remaining->capacity)
        removeSetMember(remaining, m);
}

// Reads a token; 1 when there is none or it was too long (reported).
int nextToken(char *token, const DataInfo *d, bool taxa)
{
    if (readToken(token, kTokenSize) < 0)
        return 1;
    if (tokenWasTruncated())
        return identifierError(token, d, taxa);
    return 0;
}

}  // namespace

uint32_t findCharNumFromString(const char *token, const DataInfo *d)
{
    if (!d || d->nchar == 0)
        return kSetEnd;
    if (std::strcmp(token, ".") == 0)
        return d->nchar - 1;
    bool digits = isAllDigit(token);
    if (d->charLabels && (!digits || d->allDigitCharName)) {
        uint32_t c = labelMatch(d->charLabels, d->nchar, token);
        if (c != kSetEnd)
            return c;
    }
    return digits ? itemNumber(token, d->nchar) : kSetEnd;
}

int showCharIdError(const char *token)
{
    if (isAllDigit(token))
        return qel_errorMsg(408, "Character number \"%s\" is invalid.", token), 1;
    qel_errorMsg(409,
                 "Character identifier \"%s\" is unrecognized.\tIf the offending token was not intended to be "
                 "a character identifier, check for other problems such as a missing comma or other "
                 "punctuation.",
                 token);
    return 1;
}

uint32_t findTaxNumFromString(const char *token, const DataInfo *d) { return findTaxonFromString(token, d); }

int showTaxIdError(const char *token, const DataInfo *d)
{
    if (isAllDigit(token)) {
        if (d && d->taxa.taxaByNumber)
            qel_errorMsg(603,
                         "Taxon number \"%s\" is not valid.\tIt should be between 1 and the (original) "
                         "number of taxa in the data set.",
                         token);
        else
            qel_errorMsg(604,
                         "Taxon identifier \"%s\" is not valid.\tIn the absence of a Taxa, a Data block, or "
                         "'newtaxa' in a Characters or Distances block, integer values cannot be used to "
                         "reference taxa because no implicit ordering of taxa exists.",
                         token);
        return 1;
    }
    qel_errorMsg(602,
                 "Taxon identifier \"%s\" is unrecognized.\tTypically, this happens because you mispelled "
                 "the taxon name here or in a previous 'Taxa' or 'Data' block.  If the offending token was "
                 "not intended to be a taxon identifier, check for other problems such as a missing comma "
                 "or other punctuation.",
                 token);
    return 1;
}

int readCharOrTaxaList(DataInfo *d, const char *terminators, Set *result, Set *remaining, bool taxa,
                       bool forbidStateSets, uint32_t *singleIndex)
{
    clearSet(result);
    if (singleIndex)
        *singleIndex = kSetEnd;
    const uint32_t n = std::min(taxa ? d->ntax : d->nchar, result->capacity);
    uint32_t singles = 0, lastSingle = kSetEnd;
    char token[kTokenSize];
    for (;;) {
        int kind = readToken(token, kTokenSize);
        if (kind < 0)
            return 1;
        if (tokenWasTruncated())
            return identifierError(token, d, taxa);
        // 1. Terminator.
        if (kind == kTokenPlain && token[0] && !token[1] && std::strchr(terminators, token[0])) {
            putCharBack(static_cast<unsigned char>(token[0]));
            break;
        }
        // 2. Set name.
        if (Nexset *ns = findMatchingNexset(token, taxa ? gNexsets.taxsets : gNexsets.charsets)) {
            if (forbidStateSets && !taxa &&
                (ns == &gNexsets.builtins[kBuiltinConstant] || ns == &gNexsets.builtins[kBuiltinUninf])) {
                qel_errorMsg(439,
                             "The predefined 'Constant' and 'Uninf' character sets are not permitted in an "
                             "%s command.\tThis is because other options (e.g., gap mode, character type, "
                             "multistate-taxon handling) affect the determination of whether a character is "
                             "constant or uninformative.  These character sets may, however, be used in the "
                             "Exclude and Include commands.",
                             "ExSet");
                return 1;
            }
            // Constant, Uninf and AllMissing are filled by the data preparation,
            // which a list read straight after the data has not yet run.
            const bool derived = ns == &gNexsets.builtins[kBuiltinConstant] ||
                                 ns == &gNexsets.builtins[kBuiltinUninf] ||
                                 ns == &gNexsets.builtins[kBuiltinAllMissing];
            if (derived && !taxa && !d->dataInitialized && initializeDataInfo(d) != 0)
                return 1;
            if (const Set *s = getNexsetSet(ns))
                addMembers(result, remaining, s, n);
            continue;
        }
        // 3. Partition subset.
        if (const Set *s = findMatchingPtnSubset(token, taxa ? gNexsets.taxPartitions : gNexsets.charPartitions)) {
            addMembers(result, remaining, s, n);
            continue;
        }
        // 4. Everything.
        if (stricmp(token, "all") == 0) {
            fillSet(result, n);
            if (remaining)
                clearSet(remaining);
            uint32_t step = readListIncrement();
            if (step == 0 || step == 0xFFFFFFFFu)
                return invalidList(taxa);
            continue;
        }
        // 5. What is left over; always the last item.
        if (stricmp(token, "remainder") == 0) {
            if (!remaining)
                return qel_errorMsg(434, "REMAINDER is not allowed in this context."), 1;
            clearSet(result);
            addMembers(result, nullptr, remaining, n);
            clearSet(remaining);
            return 0;
        }
        // 6. One item, or the start of a range.
        uint32_t start = resolve(token, d, taxa);
        if (start == kSetEnd || start >= n)
            return identifierError(token, d, taxa);
        int c = readNextDarkChar(nullptr);
        if (c == kCharEnd) {
            qel_errorMsg(114, "Unexpected end-of-file was encountered.\tMake sure the file format is correct "
                              "for the current operation.");
            return 1;
        }
        if (c < 0)
            return 1;
        if (c != '-') {
            putCharBack(c);
            addItem(result, remaining, start);
            ++singles;
            lastSingle = start;
            continue;
        }
        // 7. Range with an optional step.
        if (nextToken(token, d, taxa) != 0)
            return 1;
        uint32_t end = resolve(token, d, taxa);
        if (end == kSetEnd || end >= n)
            return identifierError(token, d, taxa);
        if (end < start) {
            if (taxa)
                qel_errorMsg(601, "Range of taxa is not valid.");
            else
                qel_errorMsg(410, "Range of characters is not valid.");
            return 1;
        }
        uint32_t step = readListIncrement();
        // A step that would carry the counter past 32 bits is refused with the
        // invalid steps; the loop itself counts in 64 bits.
        if (step == 0 || step == 0xFFFFFFFFu || uint64_t{start} + step > 0xFFFFFFFFu)
            return invalidList(taxa);
        for (uint64_t m = start; m <= end; m += step) {
            addItem(result, remaining, static_cast<uint32_t>(m));
            ++singles;
            lastSingle = static_cast<uint32_t>(m);
        }
    }
    if (singleIndex && singles == 1)
        *singleIndex = lastSingle;
    return 0;
}

int readCharList(DataInfo *d, const char *terminators, Set *result, Set *remaining, bool forbidStateSets,
                 uint32_t *singleIndex)
{
    return readCharOrTaxaList(d, terminators ? terminators : ";/,\"", result, remaining, false,
                              forbidStateSets, singleIndex);
}

int readTaxaList(DataInfo *d, const char *terminators, Set *result, Set *remaining)
{
    return readCharOrTaxaList(d, terminators ? terminators : ";", result, remaining, true, false, nullptr);
}

int initCharListSet(uint32_t n, Set **slot, Set **copy, bool fill)
{
    if (*slot) {
        *copy = cloneSet(*slot);
        return *copy ? 0 : 1;
    }
    if (!(*slot = allocSet(n)))
        return 1;
    if (fill)
        fillSet(*slot, n);
    else if (n)
        addSetMember(*slot, 0);
    return 0;
}

int countMovedItems(const Set *before, const Set *after, uint32_t *leaving, uint32_t *entering,
                    uint32_t *total)
{
    Set *scratch = cloneSet(before);
    if (!scratch)
        return 1;
    setSubtract(before, after, scratch);
    *leaving = card(scratch);
    setSubtract(after, before, scratch);
    *entering = card(scratch);
    *total = card(before);
    deallocSet(scratch);
    return 0;
}
