#include "selection/patternfreq.h"

#include <algorithm>
#include <string>
#include <unordered_map>

#include "qel/qel_errormsg.h"

namespace {

bool isIncluded(const DataInfo *d, uint32_t c)
{
    return !(d->status[c] & (kCharExcluded | kCharEliminated));
}

// Missing data and every code beyond it (gaps, refused cells) read as '-'.
char patternSymbol(const DataInfo *d, uint8_t code)
{
    return code < d->nstates ? d->symbols[code] : '-';
}

// The stored rows of the taxa not deleted, in order.
std::vector<uint32_t> activeRows(const DataInfo *d)
{
    std::vector<uint32_t> rows;
    for (uint32_t t = 0; t < d->ntax; ++t)
        if (!isDeletedTaxon(t, d))
            rows.push_back(t);
    return rows;
}

}  // namespace

std::vector<PatternFrequency> countIncludedPatterns(const DataInfo *d, uint32_t *total)
{
    std::vector<uint32_t> counts(d->nPatterns, 0);
    uint32_t n = 0;
    for (uint32_t c = 0; c < d->nchar; ++c) {
        const uint32_t p = d->patternIndex[c];
        if (p < d->nPatterns && isIncluded(d, c)) {
            ++counts[p];
            ++n;
        }
    }
    // Stored patterns span deleted taxa too; those that differ only there
    // are one pattern of the taxa in use.
    const std::vector<uint32_t> rows = activeRows(d);
    std::vector<PatternFrequency> out;
    std::unordered_map<std::string, size_t> seen;
    std::string key(rows.size(), '\0');
    for (uint32_t p = 0; p < d->nPatterns; ++p) {
        if (counts[p] == 0)
            continue;
        for (size_t k = 0; k < rows.size(); ++k)
            key[k] = static_cast<char>(d->patternMatrix[p][rows[k]]);
        const auto [at, added] = seen.try_emplace(key, out.size());
        if (added)
            out.push_back({p, counts[p]});
        else
            out[at->second].count += counts[p];
    }
    *total = n;
    return out;
}

int doPatternFreqCmd()
{
    const DataInfo *d = activeDataInfo();
    if (!d->compactStorage || !d->patternMatrix || !d->patternIndex) {
        qel_errorMsg(0, "The %s command currently requires compact data storage, but this has been suppressed.",
                     "PatternFreq");
        return 1;
    }
    uint32_t n = 0;
    const std::vector<PatternFrequency> freqs = countIncludedPatterns(d, &n);

    // The "pattern" heading is seven wide: fewer taxa are padded out to it.
    const std::vector<uint32_t> rows = activeRows(d);
    const int ntax = static_cast<int>(rows.size());
    const int pad = std::max(0, 7 - ntax);
    const std::string rule(10 + 4 + ntax + pad + 10 + 14, '-');
    qel_printf("\nCharacter (site) pattern frequencies:\n\n");
    qel_printf("%10s    %*s%10s%14s\n", "index", ntax + pad, "pattern", "count", "frequency");
    qel_printf("%s\n", rule.c_str());
    double sumFreq = 0.0;
    std::string row;
    for (size_t k = 0; k < freqs.size(); ++k) {
        const uint8_t *codes = d->patternMatrix[freqs[k].pattern];
        row.clear();
        for (const uint32_t t : rows)
            row += patternSymbol(d, codes[t]);
        const double f = static_cast<double>(freqs[k].count) / n;
        sumFreq += f;
        qel_printf("%10zu    %s%*s%10u%14.8f\n", k, row.c_str(), pad, "", freqs[k].count, f);
    }
    qel_printf("%s\n", rule.c_str());
    // With nothing included N is 0: the totals stay 0 instead of 0/0.
    qel_printf("%10s    %*s%10u%14.8f\n", "totals", ntax + pad, "", n, sumFreq);
    return 0;
}
