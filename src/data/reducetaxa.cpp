#include "data/reducetaxa.h"

#include <algorithm>
#include <cstring>

#include "data/patterns.h"
#include "data/prepdata.h"
#include "data/taxstat.h"
#include "data/vorn_data.h"
#include "qel/qel_output.h"
#include "qel/qel_oututil.h"
#include "qel/qel_sets.h"

namespace {

// Most pairs differ within their first few patterns, so the scan stops at
// the first pattern where both taxa have data and disagree.
bool taxaAgree(const uint8_t *a, const uint8_t *b, uint32_t npat, uint8_t missing)
{
    for (uint32_t p = 0; p < npat; ++p)
        if (a[p] != b[p] && a[p] != missing && b[p] != missing)
            return false;
    return true;
}

void showMergedTaxa(DataInfo *d, const std::vector<std::vector<uint32_t>> &chains, uint32_t ndeleted)
{
    const int w = static_cast<int>(std::max<uint32_t>(longestTaxonLabel(d, 32), 7));
    qel_printf("\nDeleting %u redundant taxa:\n", ndeleted);
    qel_printf("\n%8s %-*s  %8s %-*s\n", "", w + 4, "Kept", "", w, "Deleted");
    putRepeatedChar('-', 2 * w + 24);
    qel_printf("\n");
    for (uint32_t t = 0; t < chains.size(); ++t) {
        if (chains[t].empty())
            continue;
        qel_printf("%8u %-*s", getTaxNum(d, t), w + 4, getTaxLabel(d, t));
        for (size_t k = 0; k < chains[t].size(); ++k) {
            if (k > 0)
                putRepeatedChar(' ', w + 13);
            const uint32_t merged = chains[t][k];
            qel_printf("  %8u %-*s\n", getTaxNum(d, merged), w, getTaxLabel(d, merged));
        }
    }
}

}  // namespace

std::vector<std::vector<uint32_t>> findRedundantTaxa(const SitePatternData *pd)
{
    const uint32_t ntax = pd->ntax, npat = pd->npat;
    const auto missing = static_cast<uint8_t>(pd->nstates);
    std::vector<std::vector<uint32_t>> chains(ntax);
    std::vector<bool> merged(ntax, false);
    for (uint32_t i = 0; i < ntax; ++i) {
        if (merged[i])
            continue;
        for (uint32_t j = i + 1; j < ntax; ++j)
            if (!merged[j] && taxaAgree(pd->rows[i], pd->rows[j], npat, missing)) {
                merged[j] = true;
                chains[i].push_back(j);
            }
    }
    return chains;
}

int doReduceTaxaCmd()
{
    DataInfo *d = activeDataInfo();
    if (!d)
        return 1;
    ModelGroup *g = activeModelGroup();
    if (prepareData(kPrepLikelihood, 0, true) != 0 ||
        (!isSitePatternDataValid(g) && initSitePatternData(d, g, true) != 0) || !g->patterns)
        return 1;
    SetHandle saved(cloneSet(d->taxa.deleted));
    if (!saved)
        return 1;
    const auto chains = findRedundantTaxa(g->patterns);
    uint32_t ndeleted = 0;
    for (const auto &chain : chains)
        ndeleted += static_cast<uint32_t>(chain.size());
    if (ndeleted == 0) {
        qel_printf("\nNo redundant taxa were found.\n");
        return 0;
    }
    showMergedTaxa(d, chains, ndeleted);
    // Rows are looked up before the deletion changes the active numbering.
    for (const auto &chain : chains)
        for (uint32_t t : chain)
            addSetMember(d->taxa.deleted, getTaxNum(d, t) - 1);
    const int status = finishTaxMove(saved.get(), d->taxa.deleted, d, true, false, false, true, false, false, false);
    if (status != 0)
        copySet(saved.get(), d->taxa.deleted);
    return status;
}
