#include "parsimony/parstests.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "data/vorn_data.h"
#include "qel/qel_distrib.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_normal.h"

namespace {

const char *pText(double p, const char *small, const char *format, char *buf, size_t size)
{
    if (p < 5e-05)
        return small;
    std::snprintf(buf, size, format, p);
    return buf;
}

bool stopped() { return getAbortedStatus() != 0 && confirmAbortRequest(); }

}  // namespace

KHStats khStats(std::span<const double> best, std::span<const double> other, double lenBest, double lenOther)
{
    const auto n = static_cast<double>(best.size());
    KHStats s{lenOther - lenBest, 0.0, 0.0, 1.0};
    const double m = s.diff / n;
    double ss = 0.0;
    for (size_t c = 0; c < best.size(); c++) {
        const double e = (other[c] - best[c]) - m;
        ss += e * e;
    }
    if (ss <= 2.220446049250313e-16)
        return s;
    const double var = ss / (n - 1.0);
    s.t = std::fabs(m) / std::sqrt(var / n);
    s.p = studentTP(static_cast<uint32_t>(best.size() - 1), s.t);
    s.sd = std::sqrt(var * n);
    return s;
}

NonparStats nonparStats(std::span<const double> best, std::span<const double> other, double tolerance)
{
    NonparStats s;
    for (size_t c = 0; c < best.size(); c++) {
        const double d = other[c] - best[c];
        if (std::fabs(d) > tolerance) {
            s.kept.push_back(static_cast<uint32_t>(c));
            s.diff.push_back(d);
        }
    }
    s.n = static_cast<uint32_t>(s.kept.size());
    s.rank.assign(s.n, 0.0);
    std::vector<uint32_t> order(s.n);
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(),
                     [&](uint32_t a, uint32_t b) { return std::fabs(s.diff[a]) < std::fabs(s.diff[b]); });
    for (uint32_t i = 0; i < s.n;) {
        const double first = std::fabs(s.diff[order[i]]);
        uint32_t j = i;
        while (j + 1 < s.n && std::fabs(s.diff[order[j + 1]]) - first <= 1e-12)
            j++;
        const double rank = ((i + 1) + (j + 1)) / 2.0;
        const double t = j - i + 1;
        s.ties += (t - 1.0) * t * (t + 1.0);
        for (uint32_t k = i; k <= j; k++)
            s.rank[order[k]] = rank;
        i = j + 1;
    }
    for (uint32_t k = 0; k < s.n; k++) {
        if (s.diff[k] > 0) {
            s.rPlus += s.rank[k];
            s.nPlus++;
        } else {
            s.rMinus += s.rank[k];
            s.nMinus++;
        }
    }
    if (s.n == 0)
        return s;
    const double N = s.n;
    s.stat = s.rPlus < s.rMinus ? s.rPlus : s.rMinus;
    s.z = (s.stat - N * (N + 1.0) / 4.0) / std::sqrt(N * (N + 1.0) * (2.0 * N + 1.0) / 24.0 - s.ties / 48.0);
    s.pT = 2.0 * (1.0 - stdnormal_CDF(std::fabs(s.z)));
    if (s.n < 31) {
        s.pW = binomialTest(s.n, s.nPlus);
    } else {
        s.exactW = false;
        const double c = s.nPlus > s.nMinus ? -0.5 : s.nPlus == s.nMinus ? 0.0 : 0.5;
        s.zW = std::fabs((s.nPlus + c - N / 2.0) / (std::sqrt(N) / 2.0));
        s.pW = 2.0 * (1.0 - stdnormal_CDF(s.zW));
    }
    return s;
}

int printKHTest(const std::vector<ParsTestTree> &trees, size_t best, std::string (*diffText)(double))
{
    qel_printf("\nKishino-Hasegawa test:\n");
    qel_printf("                              Length\n");
    qel_printf("    Tree        Length          diff    s.d.(diff)         t       P*\n");
    qel_printf("%s\n", std::string(69, '-').c_str());
    for (size_t k = 0; k < trees.size(); k++) {
        const ParsTestTree &t = trees[k];
        qel_printf("%8d%14s", static_cast<int>(t.number), t.lengthText.c_str());
        if (k == best) {
            qel_printf("%14s\n", "(best)");
            continue;
        }
        const KHStats s = khStats(trees[best].charLen, t.charLen, trees[best].length, t.length);
        char buf[32];
        qel_printf("%14s%14.5f%10.4f%8s%c\n", diffText(s.diff).c_str(), s.sd, s.t,
                   pText(s.p, " <0.0001", "%8.4f", buf, sizeof buf), s.p < 0.05 ? '*' : ' ');
        if (stopped())
            return 2;
    }
    qel_printf("\n * \bProbability of getting a more extreme T-value under the null hypothesis of no difference "
               "between the two trees (two-tailed test).  Asterisked values in table (if any) indicate "
               "significant difference at P < 0.05.\n");
    return 0;
}

namespace {

void printDetail(const DataInfo *d, const ParsTestTree &b, const ParsTestTree &t, const NonparStats &s,
                 std::span<const uint32_t> charIndex)
{
    qel_printf("\nComparison of tree %d (best) to tree %d:\n", static_cast<int>(b.number), static_cast<int>(t.number));
    if (s.n == 0) {
        qel_printf("\n   All characters have same length on both trees.\n");
        return;
    }
    char head[2][32];
    std::snprintf(head[0], sizeof head[0], "Tree %d", static_cast<int>(b.number));
    std::snprintf(head[1], sizeof head[1], "Tree %d", static_cast<int>(t.number));
    qel_printf("\n%19c------ Changes ------%16c----- Ranks -----\n", ' ', ' ');
    qel_printf("%-16s%12s%12s  Difference    Positive Negative\n", "Character", head[0], head[1]);
    const std::string rule(73, '-');
    qel_printf("%s\n", rule.c_str());
    double total = 0.0;
    for (uint32_t k = 0; k < s.n; k++) {
        const uint32_t at = s.kept[k];
        const uint32_t c = charIndex[at];
        char label[17];
        const char *name = d && d->charLabelsRead ? getCharLabel(d, c) : nullptr;
        if (name && *name)
            std::snprintf(label, sizeof label, "%s", name);  // at most 16 columns
        else
            std::snprintf(label, sizeof label, "%u", c + 1);
        qel_printf("%-16s%12g%12g%12g", label, b.charLen[at], t.charLen[at], s.diff[k]);
        if (s.diff[k] > 0)
            qel_printf("%11.3g\n", s.rank[k]);
        else
            qel_printf("%20.3g\n", -s.rank[k]);
        total += s.diff[k];
    }
    qel_printf("%s\n", rule.c_str());
    char sum[32];
    std::snprintf(sum, sizeof sum, "%g", total);
    qel_printf("Totals%46s%11g%9g\n", sum, s.rPlus, -s.rMinus);

    qel_printf("\n   Templeton (Wilcoxon signed-ranks) test:\n");
    qel_printf("      N = %d\n", static_cast<int>(s.n));
    qel_printf("      Test statistic (T) = %g\n", s.stat);
    qel_printf("      P ");
    if (s.pT < 5e-05)
        qel_printf("< 0.0001");
    else
        qel_printf("= %.4f", s.pT);
    qel_printf("%s (\bnormal approximation with z = %f", s.pT < 0.05 ? "*" : "", s.z);
    if (s.n < 26)
        qel_printf("; consult a table for exact significance level");
    qel_printf(")\n");

    qel_printf("\n   Winning-sites (sign) test:\n");
    qel_printf("      N = %d\n", static_cast<int>(s.n));
    qel_printf("      Number of positive differences = %d\n", static_cast<int>(s.nPlus));
    qel_printf("      Number of negative differences = %d\n", static_cast<int>(s.nMinus));
    qel_printf("      Test statistic = %f\n", static_cast<double>(s.nPlus) / s.n);
    qel_printf("      P ");
    if (s.pW < 5e-05)
        qel_printf("< 0.0001");
    else
        qel_printf("= %.4f", s.pW);
    qel_printf("%s", s.pW < 0.05 ? "*" : "");
    if (s.exactW)
        qel_printf(" (exact binomial test)\n");
    else
        qel_printf(" (normal approximation with z = %f)\n", s.zW);
}

}  // namespace

int printNonparTests(const DataInfo *d, const std::vector<ParsTestTree> &trees, size_t best,
                     std::span<const uint32_t> charIndex, double tolerance, bool detailed)
{
    std::vector<NonparStats> stats(trees.size());
    for (size_t k = 0; k < trees.size(); k++) {
        if (k == best)
            continue;
        stats[k] = nonparStats(trees[best].charLen, trees[k].charLen, tolerance);
        if (detailed)
            printDetail(d, trees[best], trees[k], stats[k], charIndex);
        if (stopped())
            return 2;
    }
    qel_printf("\nTempleton (Wilcoxon signed-ranks) and winning-sites (sign) tests:\n\n");
    qel_printf("                        ----------- Templeton -----------  -- Winning-sites --\n");
    qel_printf("    Tree        Length   Rank sums*    N        z     P**    counts       P**\n");
    qel_printf("%s\n", std::string(76, '-').c_str());
    for (size_t k = 0; k < trees.size(); k++) {
        qel_printf("%8d%14s", static_cast<int>(trees[k].number), trees[k].lengthText.c_str());
        if (k == best) {
            qel_printf("%12s\n", "(best)");
            continue;
        }
        const NonparStats &s = stats[k];
        if (s.n == 0) {
            qel_printf("%12.1f%6d%8c%8c %10d%10c\n", 0.0, 0, '-', '-', 0, '-');
            qel_printf("%34.1f%33d\n", 0.0, 0);
            continue;
        }
        char buf[32];
        qel_printf("%12.1f%6d%9.4f", s.rPlus, static_cast<int>(s.n), s.z);
        qel_printf("%s", pText(s.pT, " <0.0001", "%8.4f", buf, sizeof buf));
        qel_printf("%c%9d", s.pT < 0.05 ? '*' : ' ', static_cast<int>(s.nPlus));
        qel_printf("%s", pText(s.pW, "   <0.0001", "%10.4f", buf, sizeof buf));
        qel_printf("%c\n", s.pW < 0.05 ? '*' : ' ');
        qel_printf("%34.1f%33d\n", -s.rMinus, -static_cast<int>(s.nMinus));
    }
    qel_printf("\n  * \bWilcoxon signed-ranks test statistic is the smaller of the absolute values of the two rank "
               "sums.\n");
    qel_printf(" ** \bApproximate probability of getting a more extreme test statistic under the null hypothesis "
               "of no difference between the two trees (two-tailed test).  ");
    qel_printf("Asterisked values in table (if any) indicate significant difference at P < 0.05.  Consult a table "
               "for critical values of Wilcoxon rank sum when N is 25 or less.\n");
    return 0;
}
