#include "likelihood/infocrit.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <new>

#include "likelihood/activeml.h"
#include "likelihood/kernels/lik_kernels.h"
#include "qel/qel_detmath.h"
#include "qel/qel_errormsg.h"
#include "qel/qel_output.h"
#include "trees/treeedit.h"
#include "trees/treeutil.h"

uint32_t countFreeBranchLengths(const Tree *tree)
{
    uint32_t n = 0;
    std::vector<const TreeNode *> stack{tree->root};
    while (!stack.empty()) {
        const TreeNode *v = stack.back();
        stack.pop_back();
        for (const TreeNode *c = v->firstChild; c != nullptr; c = c->nextSib) {
            ++n;
            stack.push_back(c);
        }
    }
    // The branch above the data-less ancestor's one child carries no length.
    const TreeNode *top = tree->root;
    if (top->index < 0 && top->firstChild != nullptr && top->firstChild->nextSib == nullptr) {
        --n;
        top = top->firstChild;
    }
    const TreeNode *first = top->index < 0 || top->index >= static_cast<int32_t>(tree->ntax) ? top->firstChild : nullptr;
    if (first != nullptr && first->nextSib != nullptr && first->nextSib->nextSib == nullptr)
        --n;
    return n;
}

uint32_t countTreeParams(Tree *tree, bool clock)
{
    return clock ? countInternalNodes(tree) : countFreeBranchLengths(tree);
}

double calcAIC(double k, double negLnL) { return 2.0 * (k + negLnL); }

double calcAICc(double k, double negLnL, double n)
{
    if (n == kNoSampleSize)
        return calcAIC(k, negLnL);
    const double m = std::max(n, k + 2.0);
    return 2.0 * (k + negLnL) + 2.0 * k * (k + 1.0) / (m - k - 1.0);
}

double calcBIC(double k, double negLnL, double n) { return 2.0 * negLnL + k * detLog(n); }

double calcMultinomialLike(std::span<const double> counts)
{
    double sum = 0.0, total = 0.0;
    for (double c : counts)
        if (c > 0.0) {
            sum += c * detLog(c);
            total += c;
        }
    return total > 0.0 ? sum - total * detLog(total) : 0.0;
}

namespace {

bool isAmbiguous(const std::vector<uint64_t> &p)
{
    return std::any_of(p.begin(), p.end(), [](uint64_t s) { return std::popcount(s) != 1; });
}

// Every cell of the unambiguous pattern q lies inside the cell of a.
bool compatible(const std::vector<uint64_t> &a, const std::vector<uint64_t> &q)
{
    for (size_t t = 0; t < a.size(); ++t)
        if ((q[t] & ~a[t]) != 0)
            return false;
    return true;
}

}  // namespace

double calcUnconstrLike(const std::vector<std::vector<uint64_t>> &patterns, std::span<const double> counts)
{
    try {
        const size_t n = patterns.size();
        std::vector<bool> ambiguous(n);
        std::vector<std::vector<size_t>> compat(n);  // per ambiguous pattern
        bool any = false;
        for (size_t a = 0; a < n; ++a) {
            if (!isAmbiguous(patterns[a]))
                continue;
            for (size_t q = 0; q < n; ++q)
                if (q != a && !isAmbiguous(patterns[q]) && compatible(patterns[a], patterns[q]))
                    compat[a].push_back(q);
            // A pattern nothing unambiguous fits keeps its own count.
            ambiguous[a] = !compat[a].empty();
            any = any || ambiguous[a];
        }
        std::vector<double> current(counts.begin(), counts.end());
        for (size_t a = 0; a < n; ++a)
            if (ambiguous[a])
                current[a] = 0.0;
        if (!any)
            return -calcMultinomialLike(current);

        qel_printf("\nAdjusting site-pattern frequencies for unconstrained likelihood evaluation:\n\n");
        const int previous = indentOutput(4);
        qel_printf("%4s%18s%16s\n", "iter", "max_delta", "-lnL_unconstr");
        qel_printf("%s\n", std::string(38, '-').c_str());
        std::vector<double> next(n);
        for (int iter = 1; iter <= 100; ++iter) {
            for (size_t p = 0; p < n; ++p)
                next[p] = ambiguous[p] ? 0.0 : counts[p];
            for (size_t a = 0; a < n; ++a) {
                if (!ambiguous[a])
                    continue;
                double sum = 0.0;
                for (size_t q : compat[a])
                    sum += current[q];
                for (size_t q : compat[a])
                    next[q] += sum > 0.0 ? counts[a] * current[q] / sum : counts[a] / compat[a].size();
            }
            double maxDelta = 0.0;
            for (size_t p = 0; p < n; ++p)
                maxDelta = std::max(maxDelta, next[p] - current[p]);
            // The column is headed -lnL, so the value printed is the score.
            qel_printf("%4d%18.10g%#16.10g\n", iter, maxDelta, -calcMultinomialLike(next));
            current.swap(next);
            if (maxDelta < 1e-10)
                break;
        }
        setOutputIndentLevel(previous);
        return -calcMultinomialLike(current);
    } catch (const std::bad_alloc &) {
        return kLikInfiniteScore;
    }
}

namespace {

struct PurinePyrimidine {
    double R, Y, S, T, F84;  // piR, piY, S, T and the F84 denominator
};

PurinePyrimidine sums(const double pi[4])
{
    PurinePyrimidine s{};
    s.R = pi[0] + pi[2];
    s.Y = pi[1] + pi[3];
    s.S = pi[0] * pi[2] + pi[1] * pi[3];
    s.T = s.R * s.Y;
    s.F84 = pi[0] * pi[2] / s.R + pi[1] * pi[3] / s.Y;
    return s;
}

}  // namespace

double convertRtoK(const double pi[4], bool f84, double R)
{
    const PurinePyrimidine s = sums(pi);
    return f84 ? (R * s.T - s.S) / s.F84 : R * s.R * s.Y / s.S;
}

double convertKtoR(const double pi[4], bool f84, double kappa)
{
    const PurinePyrimidine s = sums(pi);
    return f84 ? (kappa * s.F84 + s.S) / s.T : kappa * s.S / (s.R * s.Y);
}

int setDecimalsForML(int width, double value)
{
    const int w = width == 0 ? 32 : width;
    const int limit = mlIsSinglePrecision() ? 8 : w + 1;
    const int whole = value > 0.0 ? static_cast<int>(std::log10(value)) : 0;
    const int d = std::min(w, limit) - 2 - whole;
    return std::clamp(d, 1, 5);
}
