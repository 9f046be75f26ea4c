// A plain reference for the distance tests: the matrix exponential by
// scaling and squaring of a Taylor series, and GTR rate matrices.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>

namespace distref {

using Mat = std::array<std::array<double, 4>, 4>;

inline Mat multiply(const Mat &a, const Mat &b)
{
    Mat c{};
    for (int i = 0; i < 4; ++i)
        for (int k = 0; k < 4; ++k)
            for (int j = 0; j < 4; ++j)
                c[i][j] += a[i][k] * b[k][j];
    return c;
}

inline Mat expm(Mat a)
{
    int squarings = 0;
    double norm = 0;
    for (auto &row : a)
        for (double x : row)
            norm = std::max(norm, std::fabs(x));
    while (norm > 0.01) {
        norm /= 2;
        ++squarings;
    }
    for (auto &row : a)
        for (double &x : row)
            x = std::ldexp(x, -squarings);
    Mat sum{}, term{};
    for (int i = 0; i < 4; ++i)
        sum[i][i] = term[i][i] = 1.0;
    for (int k = 1; k < 20; ++k) {
        term = multiply(term, a);
        for (auto &row : term)
            for (double &x : row)
                x /= k;
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j)
                sum[i][j] += term[i][j];
    }
    for (int s = 0; s < squarings; ++s)
        sum = multiply(sum, sum);
    return sum;
}

// Q of exchangeabilities (A-C A-G A-T C-G C-T G-T) with mean rate 1.
inline Mat rateMatrix(const double pi[4], const double ex[6])
{
    const int pa[6] = {0, 0, 0, 1, 1, 2}, pb[6] = {1, 2, 3, 2, 3, 3};
    Mat q{};
    double mean = 0;
    for (int e = 0; e < 6; ++e) {
        q[pa[e]][pb[e]] = ex[e] * pi[pb[e]];
        q[pb[e]][pa[e]] = ex[e] * pi[pa[e]];
        mean += 2 * pi[pa[e]] * pi[pb[e]] * ex[e];
    }
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j)
            if (j != i)
                q[i][i] -= q[i][j];
    }
    for (auto &row : q)
        for (double &x : row)
            x /= mean;
    return q;
}

}  // namespace distref
