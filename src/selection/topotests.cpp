#include "selection/topotests.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <string>

#include "data/patterns.h"
#include "likelihood/likelihood_settings.h"
#include "qel/qel_distrib.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_fortran_lapack.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_normal.h"
#include "qel/qel_output.h"
#include "qel/qel_oututil.h"
#include "qel/qel_praxis.h"
#include "qel/qel_progress.h"
#include "search/scores.h"
#include "search/search_settings.h"

namespace {

constexpr double kMachineEps = 2.220446049250313e-16;
// The multiscale bootstrap: the replicate size of each pass relative to the
// data. Scale 1 comes first so that KH and SH can reuse its replicates.
constexpr double kAUScales[] = {1.0, 0.5, 0.6, 0.7, 0.8, 0.9, 1.1, 1.2, 1.3, 1.4};
constexpr size_t kNumScales = std::size(kAUScales);
// Replicates drawn before their scores are taken in one matrix product.
constexpr uint32_t kRepChunk = 64;

// RELL resampling: the site log-likelihoods as one trees x patterns matrix,
// and the replicates' pattern counts and scores of one chunk.
struct Resampler {
    size_t ntrees = 0, npat = 0;
    std::vector<double> lnl;
    const std::vector<uint32_t> *sites = nullptr;
    // Units of weight drawn over the patterns in proportion to their
    // weighted counts, each adding 1; else characters, each adding its weight.
    bool byPattern = false;
    std::vector<double> cumulative;  // running sum of the pattern counts
    RNG rng{};
    std::vector<double> counts, scores;
    ProgData *progress = nullptr;
    uint32_t progressValue = 0;
    const TopologyTestInput *input = nullptr;
    bool rell = true;
};

// One bootstrap pass of B replicates of n sites each. With bp, each tree's
// share of the replicates in which it is best (ties split the vote); with R
// (trees x B), every replicate's -ln L of every tree. 0, or 2 on abort.
int doBootstrapReps(Resampler &rs, uint32_t n, uint32_t B, std::vector<double> *bp, std::vector<double> *R)
{
    const size_t T = rs.ntrees, P = rs.npat;
    const auto nsites = static_cast<uint32_t>(rs.sites->size());
    if (bp)
        bp->assign(T, 0.0);
    std::vector<size_t> bestSet;
    for (uint32_t b0 = 0; b0 < B; b0 += kRepChunk) {
        const uint32_t nb = std::min(kRepChunk, B - b0);
        std::fill_n(rs.counts.begin(), size_t{nb} * P, 0.0);
        for (uint32_t j = 0; j < nb && nsites > 0; ++j) {
            double *c = rs.counts.data() + size_t{j} * P;
            for (uint32_t i = 0; i < n; ++i) {
                if (rs.byPattern) {
                    const double u = randUni(&rs.rng) * rs.cumulative.back();
                    const auto at = std::upper_bound(rs.cumulative.begin(), rs.cumulative.end(), u);
                    c[std::min<size_t>(static_cast<size_t>(at - rs.cumulative.begin()), P - 1)] += 1.0;
                    continue;
                }
                const uint32_t site = randomInteger(&rs.rng, nsites);
                const uint32_t p = (*rs.sites)[site];
                if (p != kNoSite)
                    c[p] += rs.input->siteWeights.empty() ? 1.0 : rs.input->siteWeights[site];
            }
        }
        if (rs.rell) {
            // scores (nb x T) = -counts (nb x P) . lnl^T, in column-major terms.
            qel_blas_dgemm('T', 'N', static_cast<int>(T), static_cast<int>(nb), static_cast<int>(P), -1.0,
                           rs.lnl.data(), static_cast<int>(P), rs.counts.data(), static_cast<int>(P), 0.0,
                           rs.scores.data(), static_cast<int>(T));
        } else {
            for (uint32_t j = 0; j < nb; ++j)
                for (size_t k = 0; k < T; ++k) {
                    const double s = rs.input->rescore(k, rs.counts.data() + size_t{j} * P);
                    if (s >= 1e37)
                        return getAbortedStatus() != 0 ? 2 : 1;
                    rs.scores[size_t{j} * T + k] = s;
                }
        }
        for (uint32_t j = 0; j < nb; ++j) {
            const double *s = rs.scores.data() + size_t{j} * T;
            if (R)
                for (size_t k = 0; k < T; ++k)
                    (*R)[k * B + b0 + j] = s[k];
            if (bp) {
                bestSet.assign(1, 0);
                for (size_t k = 1; k < T; ++k) {
                    const int cmp = compareLikelihoodScores(s[k], s[bestSet[0]]);
                    if (cmp < 0)
                        bestSet.assign(1, k);
                    else if (cmp == 0)
                        bestSet.push_back(k);
                }
                for (size_t k : bestSet)
                    (*bp)[k] += 1.0 / static_cast<double>(bestSet.size());
            }
        }
        rs.progressValue += static_cast<uint32_t>(nb * T);
        if (setProgressValue(rs.progress, rs.progressValue) == kProgressAborted || getAbortedStatus() != 0)
            return 2;
    }
    if (bp)
        for (double &x : *bp)
            x /= B;
    return 0;
}

struct AUFitPoint {
    double s, z, w;
};

// Weighted residual sum of squares of z = d sqrt(s) + c / sqrt(s).
double auRSS(const double *x, void *arg)
{
    const auto &points = *static_cast<const std::vector<AUFitPoint> *>(arg);
    double rss = 0.0;
    for (const AUFitPoint &p : points) {
        const double r = x[0] * std::sqrt(p.s) + x[1] / std::sqrt(p.s) - p.z;
        rss += p.w * r * r;
    }
    return rss;
}

// The AU P of one tree from its bootstrap proportions at the ten scales.
double auPvalue(const double *bp, const double *scale, uint32_t B)
{
    std::vector<AUFitPoint> points;
    bool degenerate = false;
    int smallSkips = 0, largeSkips = 0;
    for (size_t r = 0; r < kNumScales; ++r) {
        if (bp[r] > 1e-10 && bp[r] < 0.9999999999) {
            const double q = stdnormal_invCDF(bp[r]);
            const double phi = stdnormal_PDF(q);
            points.push_back({scale[r], stdnormal_invCDF(1.0 - bp[r]), B * phi * phi / (bp[r] * (1.0 - bp[r]))});
        } else if (kAUScales[r] == 1.0) {
            degenerate = true;
        } else {
            (kAUScales[r] < 1.0 ? smallSkips : largeSkips)++;
        }
    }
    if (degenerate || smallSkips > 1 || largeSkips > 1)
        return bp[0] > 0.5 ? kAUNearOne : kAUNearZero;
    double x[2] = {0.0, 0.0};
    PraxisData *pr = createPraxisData(x, 2, false);
    if (pr == nullptr)
        return std::numeric_limits<double>::quiet_NaN();
    praxis(2, auRSS, &points, pr, 0.0001, 1.0, nullptr);
    destroyPraxisData(pr);
    return 1.0 - stdnormal_CDF(x[0] - x[1]);
}

// max(0, max over j != i of (s_i - s_j) w_ij), W a full T x T matrix.
double calc_T_Alpha_Wtd(size_t i, size_t T, const double *s, const std::vector<double> &W)
{
    double t = 0.0;
    for (size_t j = 0; j < T; ++j)
        if (j != i)
            t = std::max(t, (s[i] - s[j]) * W[i * T + j]);
    return t;
}

void khNormal(const TopologyTestInput &in, bool oneTail, std::vector<TopologyTestResult> &res)
{
    const std::vector<double> &n = in.patternCounts;
    double N = 0.0;
    for (double c : n)
        N += c;
    const std::vector<double> &lb = (*in.siteLnL)[in.best];
    for (size_t i = 0; i < res.size(); ++i) {
        if (i == in.best)
            continue;
        TopologyTestResult &r = res[i];
        if (N < 2.0) {
            r.sd = r.t = r.khP = std::numeric_limits<double>::quiet_NaN();
            continue;
        }
        const std::vector<double> &li = (*in.siteLnL)[i];
        const double mu = (in.scores[i] - in.scores[in.best]) / N;
        double v = 0.0;
        for (size_t k = 0; k < n.size(); ++k) {
            const double d = lb[k] - li[k] - mu;
            v += n[k] * d * d;
        }
        v /= N - 1.0;
        if (v / N > kMachineEps) {
            r.t = mu / std::sqrt(v / N);
            r.khP = studentTP(static_cast<uint32_t>(std::llround(N - 1.0)), r.t);
            if (oneTail)
                r.khP /= 2.0;
            r.sd = std::sqrt(v * N);
        } else {
            r.sd = r.t = 0.0;
            r.khP = 1.0;
        }
    }
}

// KH by bootstrap and SH from the centred replicate scores C (trees x B).
int khShResampled(const TopologyTestInput &in, const TopologyTestOptions &opt, std::vector<double> &C,
                  std::vector<TopologyTestResult> &res)
{
    const size_t T = in.scores.size(), B = opt.reps;
    for (size_t k = 0; k < T; ++k) {
        double *row = C.data() + k * B;
        double mean = 0.0;
        for (size_t b = 0; b < B; ++b)
            mean += row[b];
        mean /= static_cast<double>(B);
        for (size_t b = 0; b < B; ++b)
            row[b] -= mean;
    }
    // 1 is added to the sum of squares so that identical trees get a finite weight.
    std::vector<double> W(T * T, 0.0);
    for (size_t i = 0; i < T; ++i)
        for (size_t j = 0; j < i; ++j) {
            double ss = 1.0;
            for (size_t b = 0; b < B; ++b) {
                const double d = C[i * B + b] - C[j * B + b];
                ss += d * d;
            }
            W[i * T + j] = W[j * T + i] = 1.0 / std::sqrt(ss / static_cast<double>(B - 1));
        }
    const double *s = in.scores.data();
    std::vector<double> tObs(T);
    for (size_t i = 0; i < T; ++i)
        tObs[i] = calc_T_Alpha_Wtd(i, T, s, W);
    const size_t best = in.best;
    if (opt.kh == kKHBootstrap)
        for (size_t i = 0; i < T; ++i) {
            const double D = s[i] - s[best];
            if (i == best || D <= kMachineEps)
                continue;
            const double w = W[i * T + best];
            uint32_t count = 0, wcount = 0;
            for (size_t b = 0; b < B; ++b) {
                const double d = C[i * B + b] - C[best * B + b];
                count += d > D || (!opt.oneTailKH && d < -D);
                wcount += d * w > tObs[i] || (!opt.oneTailKH && d * w < -tObs[i]);
            }
            res[i].khP = static_cast<double>(count) / B;
            res[i].wkhP = static_cast<double>(wcount) / B;
        }
    if (!opt.sh)
        return 0;
    std::vector<uint32_t> count(T, 0), wcount(T, 0);
    std::vector<double> c(T);
    for (size_t b = 0; b < B; ++b) {
        double m = std::numeric_limits<double>::max();
        for (size_t k = 0; k < T; ++k) {
            c[k] = C[k * B + b];
            m = std::min(m, c[k]);
        }
        for (size_t i = 0; i < T; ++i) {
            if (i == best)
                continue;
            const double tib = calc_T_Alpha_Wtd(i, T, c.data(), W);
            count[i] += (c[i] - m) - (s[i] - s[best]) > kMachineEps;
            wcount[i] += tib - tObs[i] > kMachineEps;
        }
        if (getAbortedStatus() != 0)
            return 2;
    }
    // A tree tied with the best cannot be rejected: with the strict count its
    // statistic never exceeds an observed difference of zero, which would give
    // P = 0, so it takes P = 1 as the KH test gives it.
    for (size_t i = 0; i < T; ++i)
        if (i != best) {
            const bool tied = s[i] - s[best] <= kMachineEps;
            res[i].shP = tied ? 1.0 : static_cast<double>(count[i]) / B;
            res[i].wshP = tied ? 1.0 : static_cast<double>(wcount[i]) / B;
        }
    return 0;
}

}  // namespace

int calcTopologyTests(const TopologyTestInput &in, const TopologyTestOptions &opt,
                      std::vector<TopologyTestResult> &results)
{
    const size_t T = in.scores.size();
    results.assign(T, TopologyTestResult{});
    if (opt.kh == kKHNormal)
        khNormal(in, opt.oneTailKH, results);
    const bool needR = opt.kh == kKHBootstrap || opt.sh;
    if (!needR && !opt.au)
        return 0;

    Resampler rs;
    rs.ntrees = T;
    rs.npat = in.patternCounts.size();
    rs.lnl.resize(T * rs.npat);
    for (size_t k = 0; k < T; ++k)
        std::copy_n((*in.siteLnL)[k].begin(), rs.npat, rs.lnl.begin() + static_cast<std::ptrdiff_t>(k * rs.npat));
    rs.sites = &in.sitePatterns;
    // Whole or not, weights are resampled as the `wts` setting says; without
    // weights the two ways draw alike.
    rs.byPattern = !opt.simpleWeights && std::any_of(in.siteWeights.begin(), in.siteWeights.end(),
                                                     [](double w) { return w != 1.0; });
    if (rs.byPattern) {
        rs.cumulative.resize(in.patternCounts.size());
        std::partial_sum(in.patternCounts.begin(), in.patternCounts.end(), rs.cumulative.begin());
        rs.byPattern = !rs.cumulative.empty() && rs.cumulative.back() >= 0.5;
    }
    rs.counts.resize(size_t{kRepChunk} * rs.npat);
    rs.scores.resize(size_t{kRepChunk} * T);
    rs.progress = in.progress;
    rs.input = &in;
    rs.rell = opt.rell || !in.rescore;
    initRNG(&rs.rng, opt.seed);
    const auto N = rs.byPattern ? static_cast<uint32_t>(std::llround(rs.cumulative.back()))
                                : static_cast<uint32_t>(in.sitePatterns.size());
    const uint32_t B = opt.reps;
    std::vector<double> R;
    if (needR)
        R.resize(T * B);
    const double passes = opt.au ? static_cast<double>(kNumScales) : 1.0;
    resetProgressWindow(in.progress, static_cast<uint32_t>(std::min(passes * T * B, 4e9)),
                        "Bootstrap resampling for topology tests");

    if (opt.au) {
        std::vector<double> bp(kNumScales * T), scale(kNumScales), one;
        for (size_t r = 0; r < kNumScales; ++r) {
            const auto n = static_cast<uint32_t>(std::floor(N * kAUScales[r] + 0.5));
            scale[r] = static_cast<double>(n) / N;
            if (const int st = doBootstrapReps(rs, n, B, &one, r == 0 && needR ? &R : nullptr); st != 0)
                return st;
            for (size_t k = 0; k < T; ++k)
                bp[k * kNumScales + r] = one[k];
        }
        for (size_t k = 0; k < T; ++k)
            results[k].auP = auPvalue(bp.data() + k * kNumScales, scale.data(), B);
    } else if (const int st = doBootstrapReps(rs, N, B, nullptr, &R); st != 0) {
        return st;
    }
    return needR ? khShResampled(in, opt, R, results) : 0;
}

int outputPvalue(uint32_t B, double p)
{
    if (std::isnan(p)) {
        qel_printf("%8s ", "-");
        return 0;
    }
    if (B == 0) {
        if (p >= 5e-5)
            qel_printf("%8.4f", p);
        else
            qel_printf(" <0.0001");
    } else if (p < 0.0 || p > 1.0) {
        qel_printf("%8s", p < 0.0 ? "~0" : "~1");
    } else {
        const int decimals = std::min(static_cast<int>(std::ceil(std::log10(static_cast<double>(B)))), 4);
        qel_printf("%8.*f", decimals, p);
    }
    qel_printf("%c", p < 0.05 ? '*' : ' ');
    return p < 0.05;
}

int skhTests(const TopologyTestInput &in)
{
    TopologyTestOptions opt;
    opt.kh = lscOpt.KHTest;
    opt.sh = lscOpt.SHTest != 0;
    opt.au = lscOpt.AUTest != 0;
    opt.oneTailKH = lscOpt.tailKH == 0;
    opt.reps = static_cast<uint32_t>(std::max(lscOpt.bootReps, 2));
    opt.rell = lscOpt.RELL != 0;
    opt.simpleWeights = btjkOpt.wts == kBtjkWtsSimple;
    const char *resampled = opt.rell ? "RELL bootstrap" : "bootstrap with full optimization";
    const bool resampling = opt.kh == kKHBootstrap || opt.sh || opt.au;
    opt.seed = seedForRun(lscOpt.seed);

    setStatusText("Performing KH/SH/AU test(s)...");
    qel_printf("\nTest(s) for significance of likelihood-score differences:\n");
    const int previous = indentOutput(2);
    qel_printf("\nTest(s) performed:\n");
    if (opt.kh != kKHNone)
        qel_printf("  KH: Kishino-Hasegawa test using %s, %s-tailed test\n",
                 opt.kh == kKHNormal ? "normal approximation" : resampled, opt.oneTailKH ? "one" : "two");
    if (opt.sh)
        qel_printf("  SH: Shimodaira-Hasegawa test using %s (one-tailed test)\n", resampled);
    if (opt.au)
        qel_printf("  AU: Shimodaira Approximately Unbiased test\n");
    qel_printf("Valu\bes for KH/SH/AU tests are P values for null hypothesis of no difference between trees\n");
    if (resampling) {
        qel_printf("Number of bootstrap replicates = %u\n", opt.reps);
        qel_printf("Starting seed = %s\n", seedString(opt.seed).c_str());
    }
    setOutputIndentLevel(previous);

    std::vector<TopologyTestResult> res;
    int status = calcTopologyTests(in, opt, res);
    if (status != 0) {
        clearStatusText();
        return status;
    }
    const uint32_t B = resampling ? opt.reps : 0;
    if (opt.kh == kKHNormal)
        qel_printf("\n%63s", "-------- KH-test -------");
    qel_printf("\n    Tree         -ln L    Diff -ln L");
    if (opt.kh == kKHNormal)
        qel_printf("%9s%9s%9s", "s.d.", "T", "P ");
    else if (opt.kh == kKHBootstrap)
        qel_printf("%9s%9s", "KH ", "wtd-KH ");
    if (opt.sh)
        qel_printf("%9s%9s", "SH ", "wtd-SH ");
    if (opt.au)
        qel_printf("%9s", "AU ");
    qel_printf("\n");
    tableLine(kUnderlineLastLine, 0);
    bool significant = false;
    for (size_t i : in.order) {
        qel_printf("%8u%14.5f", in.treeNumbers[i], in.scores[i]);
        if (i == in.best) {
            qel_printf("%14s\n", "(best)");
            continue;
        }
        qel_printf("%14.5f", in.scores[i] - in.scores[in.best]);
        const TopologyTestResult &r = res[i];
        if (opt.kh == kKHNormal) {
            if (std::isnan(r.sd))
                qel_printf("%9s%9s", "-", "-");
            else
                qel_printf("%9.3f%9.3f", r.sd, r.t);
            significant |= outputPvalue(0, r.khP) != 0;
        } else if (opt.kh == kKHBootstrap) {
            significant |= outputPvalue(B, r.khP) != 0;
            significant |= outputPvalue(B, r.wkhP) != 0;
        }
        if (opt.sh) {
            significant |= outputPvalue(B, r.shP) != 0;
            significant |= outputPvalue(B, r.wshP) != 0;
        }
        if (opt.au)
            significant |= outputPvalue(B, r.auP) != 0;
        qel_printf("\n");
        if (getAbortedStatus() != 0) {
            status = 2;
            break;
        }
    }
    if (significant)
        qel_printf("  * \bP < 0.05\n");
    clearStatusText();
    return status;
}
