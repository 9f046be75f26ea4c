#include "data/empirfreqs.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "data/patterns.h"

double iterateStateFreqs(const SitePatternData *pd, const double *codeCounts, double *freqs)
{
    const uint32_t n = pd->nstates;
    for (uint32_t s = 0; s < n; ++s)
        freqs[s] = 1.0 / n;
    bool ambiguous = false;
    for (uint32_t c = n + 1; c < pd->ncodes; ++c)
        ambiguous |= codeCounts[c] > 0.0;
    std::vector<double> counts(n);
    double total = 0.0;
    for (int iter = 0; iter < 20; ++iter) {
        std::fill(counts.begin(), counts.end(), 0.0);
        for (uint32_t s = 0; s < n; ++s)
            counts[s] += codeCounts[s];
        for (uint32_t c = n + 1; c < pd->ncodes; ++c) {
            if (codeCounts[c] <= 0.0)
                continue;
            const uint8_t *list = pd->codeStateLists + pd->codeListOffset[c];
            double sum = 0.0;
            for (uint32_t k = 1; k <= list[0]; ++k)
                sum += freqs[list[k]];
            for (uint32_t k = 1; k <= list[0] && sum > 0.0; ++k)
                counts[list[k]] += codeCounts[c] * freqs[list[k]] / sum;
        }
        total = 0.0;
        for (double x : counts)
            total += x;
        if (total <= 0.0)
            break;
        double change = 0.0;
        for (uint32_t s = 0; s < n; ++s) {
            const double f = counts[s] / total;
            change += std::fabs(f - freqs[s]);
            freqs[s] = f;
        }
        if (!ambiguous || change < 1e-8)
            break;
    }
    return total;
}

double weightedStateFreqs(const ModelGroup *g, const Model *m, uint32_t taxon, double *freqs)
{
    const SitePatternData *pd = g->patterns;
    std::vector<double> codeCounts(pd->ncodes + 1, 0.0);
    uint32_t first = 0, last = g->ngrp;
    if (m != nullptr) {
        first = m->firstPattern;
        last = g->ngrp ? m->lastPattern + 1 : 0;
    }
    // One taxon reads its own row only: StateFreq counts every taxon in turn.
    const uint32_t t0 = taxon == kAllTaxa ? 0 : taxon;
    const uint32_t t1 = taxon == kAllTaxa ? pd->ntax : std::min(taxon + 1, pd->ntax);
    for (uint32_t p = first; p < last && p < g->ngrp; ++p) {
        const uint32_t cp = g->groupToCompressed ? g->groupToCompressed[p] : p;
        if (cp == kNoSite)
            continue;
        const double w = g->groupPatternWeight[p];
        for (uint32_t t = t0; t < t1; ++t) {
            const uint8_t code = pd->rows[t][cp];
            if (code != pd->nstates && code < pd->ncodes)
                codeCounts[code] += w;
        }
    }
    return iterateStateFreqs(pd, codeCounts.data(), freqs);
}

double calcEmpiricalFreqs(const DataInfo *, const ModelGroup *g, const Model *m, uint32_t taxon,
                          double *freqs)
{
    return std::round(weightedStateFreqs(g, m, taxon, freqs));
}

void calcEmpirFreqsForPatData(ModelGroup *g, const DataInfo *d, Model *firstModel)
{
    if (g->empirFreqsValid || g->patterns == nullptr)
        return;
    for (Model *m = firstModel; m != nullptr; m = m->nextActive)
        if (m->type != kModelMkv && m->nstates == g->patterns->nstates)
            calcEmpiricalFreqs(d, g, m, kAllTaxa, m->freqs);
    // Mk patterns leave out the constant characters and no frequencies are
    // counted from them: a model that reads the data as nucleotides again
    // must count its own rather than keep whatever it held before.
    g->empirFreqsValid = !g->useMkv;
}
