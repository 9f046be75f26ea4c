#include "data/statefreq.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <string>

#include "cli/qel_cmdline.h"
#include "cli/qel_cmdoptions.h"
#include "data/charstat.h"
#include "data/data_services.h"
#include "data/data_settings.h"
#include "data/empirfreqs.h"
#include "data/patterns.h"
#include "data/prepdata.h"
#include "data/taxstat.h"
#include "data/vorn_data.h"
#include "qel/qel_distrib.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_math.h"
#include "qel/qel_output.h"
#include "qel/qel_oututil.h"
#include "qel/qel_sets.h"

namespace {

SiteFilterHistogram gHistogram{};

int digitsOf(double x)
{
    char text[64];
    return std::snprintf(text, sizeof text, "%.0f", x);
}

uint32_t activeTaxa(const DataInfo *d) { return d->nActive > 0 ? static_cast<uint32_t>(d->nActive) : 0; }

// Blocks of observed-state columns, as many as fit beside `reserved`
// columns; calls show(first, end, last block?).
template <typename Show>
void inBlocks(uint32_t n, uint32_t width, uint32_t reserved, Show show)
{
    const uint32_t perBlock = maxOutputColumns(width, reserved);
    for (uint32_t first = 0; first < n || first == 0; first += perBlock) {
        const uint32_t end = std::min(n, first + perBlock);
        show(first, end, end == n);
        if (end == n)
            break;
    }
}

// Column widths of the frequency table.
struct FreqLayout {
    int column, sites, label;
};

FreqLayout freqLayout(DataInfo *d, const Model *m)
{
    const int column = m && m->nstates < 5 ? 12 : 8;
    const int sites = std::max(9, static_cast<int>(std::to_string(d->nchar).size()) + 5);
    const int label = static_cast<int>(std::max<uint32_t>(longestTaxonLabel(d, 16), 7));
    return {column, sites, label};
}

void showFreqTable(DataInfo *d, const StateFreqInfo &sf, const Model *m)
{
    const FreqLayout w = freqLayout(d, m);
    const uint32_t ntax = activeTaxa(d);
    const bool bases = m && (m->type == kModelNucleotide || m->type == kModelRY);
    const uint32_t overall = ntax;
    inBlocks(sf.nObserved, static_cast<uint32_t>(w.column), static_cast<uint32_t>(w.label + w.sites),
             [&](uint32_t first, uint32_t end, bool last) {
                 qel_printf("\n%s frequencies%s:\n\n%-*s", bases ? "Base" : "Amino-acid", first ? " (cont.)" : "",
                            w.label, "Taxon");
                 for (uint32_t k = first; k < end; ++k)
                     qel_printf("%*c", w.column, m->symbols[sf.observedState[k]]);
                 if (last)
                     qel_printf("%*s", w.sites, "# sites");
                 qel_printf("\n");
                 tableLine(kUnderlineLastLine, 0);
                 for (uint32_t t = 0; t < ntax; ++t) {
                     const float count = sf.counts[t][sf.nObserved];
                     qel_printf("%-*.*s", w.label, w.label, getTaxLabel(d, t));
                     for (uint32_t k = first; k < end; ++k) {
                         if (count > 0)
                             qel_printf("%*.5f", w.column, sf.freqs[t][sf.observedState[k]]);
                         else
                             qel_printf("%*c", w.column, '-');
                     }
                     if (last)
                         qel_printf("%*ld", w.sites, std::lround(count));
                     qel_printf("\n");
                 }
                 tableLine(kUnderlineLastLine, 0);
                 qel_printf("%-*s", w.label, "Mean");
                 bool differ = false;
                 for (uint32_t k = first; k < end; ++k) {
                     if (sf.grandTotal <= 0) {
                         qel_printf("%*c", w.column, '-');
                         continue;
                     }
                     const double mean = sf.stateTotals[k] / sf.grandTotal;
                     qel_printf("%*.5f", w.column, mean);
                     char a[32], b[32];
                     std::snprintf(a, sizeof a, "%.5f", mean);
                     std::snprintf(b, sizeof b, "%.5f", sf.freqs[overall][sf.observedState[k]]);
                     differ = differ || std::string(a) != b;
                 }
                 if (last)
                     qel_printf("%*.2f", w.sites, ntax ? sf.grandTotal / ntax : 0.0);
                 qel_printf("\n");
                 if (differ) {
                     qel_printf("%-*s", w.label, "Overall");
                     for (uint32_t k = first; k < end; ++k)
                         qel_printf("%*.5f", w.column, sf.freqs[overall][sf.observedState[k]]);
                     qel_printf("\n");
                 }
             });
}

// The chi-square statistic and its degrees of freedom: only taxa with
// counted cells take part, so a taxon that is all missing changes neither.
void showChiSquareTest(DataInfo *d, const StateFreqInfo &sf, const Model *m)
{
    const FreqLayout layout = freqLayout(d, m);
    const int label = layout.label;
    const int column = digitsOf(sf.maxCell) + 5;
    const uint32_t ntax = activeTaxa(d), nobs = sf.nObserved;
    auto expected = [&](uint32_t t, uint32_t k) {
        return sf.stateTotals[k] > 0 ? sf.counts[t][nobs] * sf.stateTotals[k] / sf.grandTotal : 0.0;
    };
    inBlocks(nobs, static_cast<uint32_t>(column), static_cast<uint32_t>(label + 4),
             [&](uint32_t first, uint32_t end, bool) {
                 qel_printf(first == 0 ? "\nChi-squared test of homogeneity of state frequencies across taxa:\n\n"
                                       : "\nChi-squared test (cont.):\n\n");
                 qel_printf("%-*s    ", label, "Taxon");
                 for (uint32_t k = first; k < end; ++k)
                     qel_printf("%*c", column, m->symbols[sf.observedState[k]]);
                 qel_printf("\n");
                 tableLine(kUnderlineLastLine, 0);
                 for (uint32_t t = 0; t < ntax; ++t) {
                     if (sf.counts[t][nobs] <= 0)
                         continue;
                     qel_printf("%-*.*s  O ", label, label, getTaxLabel(d, t));
                     for (uint32_t k = first; k < end; ++k)
                         qel_printf("%*.2f", column, static_cast<double>(sf.counts[t][k]));
                     qel_printf("\n%-*s  E ", label, "");
                     for (uint32_t k = first; k < end; ++k)
                         qel_printf("%*.2f", column, expected(t, k));
                     qel_printf("\n");
                 }
             });
    double chi2 = 0.0;
    uint32_t counted = 0;
    for (uint32_t t = 0; t < ntax; ++t) {
        if (sf.counts[t][nobs] <= 0)
            continue;
        ++counted;
        for (uint32_t k = 0; k < nobs; ++k) {
            const double e = expected(t, k);
            if (e > 0) {
                const double o = sf.counts[t][k];
                chi2 += (o - e) * (o - e) / e;
            }
        }
    }
    const int df = counted > 0 && nobs > 0 ? static_cast<int>((counted - 1) * (nobs - 1)) : 0;
    if (df < 1) {
        qel_printf("\nChi-square test cannot be performed: zero degrees of freedom\n");
        return;
    }
    qel_printf("\nChi-square = %f (df=%d), P = %.8f\n", chi2, df, chiSquaredPvalue(static_cast<uint32_t>(df), chi2));
    qel_printf("Warning: \bThis test ignores correlation due to phylogenetic structure.\n");
}

// ---- NSFilter --------------------------------------------------------------------

struct Histogram {
    void *h = nullptr;
    explicit Histogram(uint32_t capacity) : h(gHistogram.create ? gHistogram.create(capacity, 20) : nullptr) {}
    ~Histogram()
    {
        if (h && gHistogram.destroy)
            gHistogram.destroy(h);
    }
    Histogram(const Histogram &) = delete;
    Histogram &operator=(const Histogram &) = delete;
    int add(double x) { return h && gHistogram.add ? gHistogram.add(h, x) : 0; }
    int show() const
    {
        return h && gHistogram.show ? gHistogram.show(h, "\nFrequency distribution of likelihood ratio statistics:\n")
                                    : 0;
    }
};

struct SiteRatio {
    uint32_t site;
    double ratio;
};

// Per non-excluded character: ln L1 under the frequencies over all taxa,
// ln L2 under each taxon's own; only cells of one state count.
int testSites(DataInfo *d, const ModelGroup *g, const StateFreqInfo &sf, Histogram &hist, double threshold,
              std::vector<SiteRatio> &tested, Set *excluded)
{
    const SitePatternData *pd = g->patterns;
    const uint32_t ntax = activeTaxa(d);
    const std::vector<double> &overall = sf.freqs[ntax];
    for (uint32_t c = 0; c < d->nchar; ++c) {
        if (getAbortedStatus())
            return 2;
        if (d->status[c] & (kCharExcluded | kCharEliminated))
            continue;
        const uint32_t p = c < pd->nchar ? pd->siteToPattern[c] : kNoSite;
        double lnL1 = 0.0, lnL2 = 0.0;
        for (uint32_t t = 0; p != kNoSite && t < ntax; ++t) {
            const uint8_t s = pd->rows[t][p];
            if (s < pd->nstates) {
                lnL1 += std::log(overall[s]);
                lnL2 += std::log(sf.freqs[t][s]);
            }
        }
        const double ratio = logDiffToRatio(lnL2, lnL1);
        if (hist.add(ratio) != 0)
            return 1;
        qel_printf("%8u%12.4g%12.4g%12.4f%12.4f\n", c + 1, lnL1, lnL2, lnL2 - lnL1, ratio);
        tested.push_back({c, ratio});
        if (threshold > 0 && ratio > threshold) {
            d->status[c] |= kCharExcluded;
            addSetMember(excluded, c);
        }
    }
    return 0;
}

}  // namespace

uint64_t getObservedStates(const Model *m, const ModelGroup *g)
{
    const SitePatternData *pd = g ? g->patterns : nullptr;
    if (!pd)
        return 0;
    const uint32_t n = std::min(m ? numDataStates(m) : pd->nstates, pd->nstates);
    const uint64_t all = n >= 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1;
    std::vector<bool> seen(pd->ncodes, false);
    for (uint32_t t = 0; t < pd->ntax; ++t)
        for (uint32_t p = 0; p < pd->npat; ++p)
            if (pd->rows[t][p] < pd->ncodes)
                seen[pd->rows[t][p]] = true;
    uint64_t observed = 0;
    for (uint32_t code = 0; code < pd->ncodes; ++code) {
        if (!seen[code] || code == pd->nstates)
            continue;
        const uint64_t bits = pd->codeBits[code] & all;
        if (bits != all || std::has_single_bit(bits))
            observed |= bits;
    }
    return observed;
}

StateFreqInfoPtr storeStateFreqs(DataInfo *d, ModelGroup *g, const char *commandName)
{
    if (verifyNucOrAAData(d, commandName) != 0 || prepareDataForPatternBasedAnalysis(d, g) != 0 || !g->patterns)
        return nullptr;
    auto sf = std::make_unique<StateFreqInfo>();
    const SitePatternData *pd = g->patterns;
    sf->nstates = pd->nstates;
    const uint64_t observed = getObservedStates(getDefaultModel(), g);
    for (uint32_t s = 0; s < sf->nstates; ++s)
        if (observed >> s & 1)
            sf->observedState.push_back(s);
    sf->nObserved = static_cast<uint32_t>(sf->observedState.size());
    sf->stateTotals.assign(sf->nObserved, 0.0);
    const uint32_t ntax = activeTaxa(d);
    sf->counts.assign(ntax, std::vector<float>(sf->nObserved + 1, 0.0f));
    sf->freqs.assign(ntax + 1, std::vector<double>(sf->nstates, 0.0));
    for (uint32_t t = 0; t < ntax; ++t) {
        if (getAbortedStatus()) {
            sf->aborted = true;
            return sf;
        }
        // The weighted count as it stands: a rounded one would blank a taxon
        // whose fractional weights add up to less than one half, and skew the
        // observed counts of the homogeneity test.
        const double count = weightedStateFreqs(g, nullptr, t, sf->freqs[t].data());
        for (uint32_t k = 0; k < sf->nObserved; ++k) {
            const double cell = count * sf->freqs[t][sf->observedState[k]];
            sf->counts[t][k] = static_cast<float>(cell);
            sf->stateTotals[k] += cell;
            sf->maxCell = std::max(sf->maxCell, cell);
        }
        sf->counts[t][sf->nObserved] = static_cast<float>(count);
        sf->grandTotal += count;
    }
    calcEmpiricalFreqs(d, g, nullptr, kAllTaxa, sf->freqs[ntax].data());
    return sf;
}

void installSiteFilterHistogram(const SiteFilterHistogram &hooks) { gHistogram = hooks; }

int doStateFreqCmd()
{
    DataInfo *d = activeDataInfo();
    if (!d || (!inMenuMode() && readSemicolon() != 0))
        return 1;
    ModelGroup *g = activeModelGroup();
    const StateFreqInfoPtr sf = storeStateFreqs(d, g, "StateFreq");
    if (!sf)
        return 1;
    if (sf->aborted)
        return 2;
    const Model *m = getDefaultModel();
    showFreqTable(d, *sf, m);
    if (sf->nObserved < m->nstates) {
        qel_printf("\nThe following states were not observed in the data set: ");
        for (uint32_t s = 0, k = 0; s < m->nstates; ++s) {
            if (k < sf->nObserved && sf->observedState[k] == s)
                ++k;
            else
                qel_printf("%c", m->symbols[s]);
        }
        qel_printf("\n");
    }
    if (sf->grandTotal > 0)
        showChiSquareTest(d, *sf, m);
    return 0;
}

int doNSFilterCmd()
{
    DataInfo *d = activeDataInfo();
    if (!d)
        return 1;
    if (!inMenuMode()) {
        gBruvantThresh = gBruvantPct = 0.0;
        if (setCmdParamVals(OptionSet::kNSFilter) != 0)
            return 1;
    }
    const double threshold = gBruvantThresh, pct = gBruvantPct;
    if (threshold != 0 && pct != 0)
        return qel_errorMsg(0, "You cannot specify both a deletion LR-threshold and a percentage of sites.");
    if (threshold < 0)
        return qel_errorMsg(0, "The likelihood-ratio threshold must not be negative.");
    if (pct < 0 || pct > 100)
        return qel_errorMsg(0, "The percentage of sites to exclude must lie above 0 and not above 100.");
    Histogram hist(d->nchar);
    ModelGroup *g = activeModelGroup();
    const StateFreqInfoPtr sf = storeStateFreqs(d, g, "NSFilter");
    if (!sf)
        return 1;
    if (sf->aborted)
        return 2;
    SetHandle excluded(allocSet(std::max<uint32_t>(d->nchar, 1)));
    if (!excluded)
        return 1;

    qel_printf("\nBruvant test for species-specific compositional trends:\n\n");
    qel_printf("  L1 = likelihood of homogeneous multinomial model\n");
    qel_printf("  L2 = likelihood of nonhomogeneous multinomial model\n\n");
    qel_printf("%8s%12s%12s%12s%12s\n", "Site", "ln(L1)", "ln(L2)", "ln(L2/L1)", "L2/L1");
    tableLine(kUnderlineLastLine, 0);
    std::vector<SiteRatio> tested;
    if (int status = testSites(d, g, *sf, hist, threshold, tested, excluded.get()); status != 0) {
        if (status == 2 || card(excluded.get()) > 0) {
            updateExcludedSet(d);
            afterCharInclusionChange(d);
        }
        return status;
    }
    if (threshold == 0 && pct == 0)
        return hist.show();
    if (pct > 0) {
        const auto k = static_cast<size_t>(std::lround(pct / 100.0 * static_cast<double>(tested.size())));
        // Stable: among equal ratios the earlier sites go first.
        std::stable_sort(tested.begin(), tested.end(),
                         [](const SiteRatio &a, const SiteRatio &b) { return a.ratio > b.ratio; });
        for (size_t i = 0; i < k && i < tested.size(); ++i) {
            d->status[tested[i].site] |= kCharExcluded;
            addSetMember(excluded.get(), tested[i].site);
        }
    }
    const uint32_t n = card(excluded.get());
    if (n == 0) {
        qel_printf("\nNo characters exceeded the likelihood-ratio threshold of %g\n", threshold);
        return hist.show();
    }
    updateExcludedSet(d);
    afterCharInclusionChange(d);
    qel_printf("\nThe following %u sites ", n);
    if (pct > 0)
        qel_printf("in the upper %g%% of likelihood-ratio scores were excluded:\n\n", pct);
    else
        qel_printf("were excluded due to exceeding the likelihood-ratio threshold of %g:\n\n", threshold);
    outputSetMembers(excluded.get(), nullptr, kSetEnd, "", nullptr, nullptr, false);
    qel_printf("\n");
    return hist.show();
}
