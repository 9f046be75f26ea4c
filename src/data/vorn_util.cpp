#include "data/vorn_util.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cmath>
#include <cstring>

#include "data/data_services.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_malloc.h"

namespace {

TreeScoreFxns gScorers{};

bool excluded(const DataInfo *d, uint32_t c) { return d->status && (d->status[c] & kCharExcluded); }

bool includedOfType(const DataInfo *d, uint32_t c, uint32_t typeMask)
{
    return !excluded(d, c) && (typeMask == 0 || (d->status && (d->status[c] & typeMask)));
}

bool sameIgnoringCase(const char *a, const char *b, bool respectCase)
{
    for (; *a && *b; ++a, ++b) {
        int x = static_cast<unsigned char>(*a), y = static_cast<unsigned char>(*b);
        if (respectCase ? x != y : std::toupper(x) != std::toupper(y))
            return false;
    }
    return *a == *b;
}

}  // namespace

void installTreeScoreFxns(const TreeScoreFxns &fxns)
{
    if (fxns.parsimony)
        gScorers.parsimony = fxns.parsimony;
    if (fxns.likelihood)
        gScorers.likelihood = fxns.likelihood;
    if (fxns.distance)
        gScorers.distance = fxns.distance;
}

void resetTreeScoreFxns() { gScorers = TreeScoreFxns{}; }

bool treeScoreAvailable(int criterion)
{
    switch (criterion) {
    case kCriterionParsimony: return gScorers.parsimony != nullptr;
    case kCriterionLikelihood: return gScorers.likelihood != nullptr;
    case kCriterionDistance: return gScorers.distance != nullptr;
    default: return false;
    }
}

double computeTreeScore(Tree *tree, DataInfo *d)
{
    const int criterion = dataServices().criterion();
    if (!treeScoreAvailable(criterion))
        return kNoTreeScore;
    switch (criterion) {
    case kCriterionParsimony: return gScorers.parsimony(d, tree);
    case kCriterionLikelihood: return gScorers.likelihood(tree, kNoTreeScore);
    default: return gScorers.distance(tree, kNoTreeScore);
    }
}

int checkMinTaxa(uint32_t minimum, const char *subject, const char *suffix)
{
    const DataInfo *d = activeDataInfo();
    const uint32_t active = d && d->nActive > 0 ? static_cast<uint32_t>(d->nActive) : 0;
    if (active >= minimum)
        return 0;
    // The subject and suffix are the caller's text: they go in as arguments,
    // never as part of the format.
    qel_errorMsg(606,
                 "%s%s is not allowed when there are fewer than %u nondeleted taxa.\tIf you want to do "
                 "this, you will have to include additional taxa in the analysis.",
                 subject ? subject : "This operation", suffix ? suffix : "", minimum);
    return 1;
}

void enumTrees(double *table, uint32_t n, bool rooted)
{
    // Each added taxon can join any of the 2k-3 (rooted) or 2k-5 (unrooted)
    // branches of the previous tree.
    const uint32_t start = rooted ? 3 : 4;
    for (uint32_t k = 1; k <= n && k < start; ++k)
        table[k] = 0.0;
    if (n >= 3 && rooted)
        table[3] = std::log(3.0);
    for (uint32_t k = rooted ? 4 : start; k <= n; ++k)
        table[k] = table[k - 1] + std::log(static_cast<double>(2 * k - (rooted ? 3 : 5)));
}

uint64_t parsAllStates(const DataInfo *d)
{
    const size_t k = std::clamp<size_t>(std::strlen(d->parsSymbols), 1, 64);
    return k >= 64 ? ~uint64_t{0} : (uint64_t{1} << k) - 1;
}

char parsStateSymbol(int state, const DataInfo *d)
{
    return state >= 0 && state < static_cast<int>(std::strlen(d->parsSymbols)) ? d->parsSymbols[state] : '?';
}

char *stateString(uint64_t bits, const char *symbols, char *buffer)
{
    char *p = buffer;
    if (bits == ~uint64_t{0}) {
        *p++ = '?';
    } else {
        const size_t n = std::strlen(symbols);
        for (; bits; bits &= bits - 1) {
            auto s = static_cast<size_t>(std::countr_zero(bits));
            if (s < n)
                *p++ = symbols[s];
        }
    }
    *p = '\0';
    return buffer;
}

bool sameStateSymbol(int a, int b, const DataInfo *d)
{
    return a == b || (!d->respectCase && std::toupper(a) == std::toupper(b));
}

int statesToEquate(uint64_t bits, const char *symbols, int polymorphic, const DataInfo *d)
{
    if (std::popcount(bits) < 2)
        return 0;
    char states[65];
    stateString(bits, symbols, states);
    const bool matchKind = (polymorphic == 0 || polymorphic == 1) && dataServices().msTaxa() == kMsTaxaVariable;
    for (const Equate *e = d->equates; e; e = e->next) {
        if (!e->expansion || e->nSymbols <= 0 || !sameIgnoringCase(e->expansion, states, d->respectCase))
            continue;
        if (matchKind && e->polymorphism != polymorphic)
            continue;
        const int last = static_cast<unsigned char>(e->symbols[e->nSymbols - 1]);
        const bool bothCases = std::isalpha(last) && std::strchr(e->symbols, std::tolower(last)) &&
                               std::strchr(e->symbols, std::toupper(last));
        if (bothCases && d->letterCase >= 0)
            return d->letterCase ? std::tolower(last) : std::toupper(last);
        return last;
    }
    return 0;
}

char *tipStateString(uint64_t bits, const char *symbols, int32_t taxon, uint32_t c, bool withEquate,
                     const DataInfo *d, char *buffer)
{
    char states[65];
    if (isGap(taxon, c, d)) {
        buffer[0] = static_cast<char>(d->gapSymbol);
        buffer[1] = '\0';
        return buffer;
    }
    stateString(bits, symbols, states);
    if (bits == ~uint64_t{0} || std::popcount(bits) == 1) {
        std::strcpy(buffer, states);
        return buffer;
    }
    const bool poly = isPolymorphicMST(taxon, c, d);
    char *p = buffer;
    *p++ = poly ? '(' : '{';
    std::strcpy(p, states);
    p += std::strlen(states);
    *p++ = poly ? ')' : '}';
    *p = '\0';
    if (withEquate) {
        if (int e = statesToEquate(bits, symbols, poly ? 1 : 0, d)) {
            *p++ = '=';
            *p++ = static_cast<char>(e);
            *p = '\0';
        }
    }
    return buffer;
}

double calcTotalWt(const DataInfo *d)
{
    double total = 0.0;
    for (uint32_t c = 0; c < d->nchar; ++c)
        if (!excluded(d, c))
            total += d->weights ? d->weights[c] : 1.0;
    return total;
}

uint32_t countIncludedChars(const DataInfo *d, uint32_t typeMask)
{
    uint32_t n = 0;
    for (uint32_t c = 0; c < d->nchar; ++c)
        n += includedOfType(d, c, typeMask);
    return n;
}

bool haveIncludedChars(const DataInfo *d) { return countIncludedChars(d, 0) != 0; }

uint32_t *loadIncludedChars(const DataInfo *d, uint32_t typeMask, uint32_t *count)
{
    *count = countIncludedChars(d, typeMask);
    if (*count == 0)
        return nullptr;
    uint32_t *list = allocArrayOf<uint32_t>(*count);
    if (!list) {
        *count = 0;
        return nullptr;
    }
    uint32_t k = 0;
    for (uint32_t c = 0; c < d->nchar; ++c)
        if (includedOfType(d, c, typeMask))
            list[k++] = c;
    return list;
}
