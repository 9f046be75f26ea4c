// Plain references for the distance fits: random trees and matrices, the
// design matrix of a tree and dense normal-equation solutions.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "trees/treeedit.h"
#include "trees/treeutil.h"

namespace lsref {

// A lower-triangular matrix of random distances with row pointers.
struct HalfMatrix {
    std::vector<std::vector<double>> rows;
    std::vector<double *> ptr;
    explicit HalfMatrix(uint32_t n) : rows(n), ptr(n)
    {
        for (uint32_t i = 0; i < n; i++) {
            rows[i].assign(i + 1, 0.0);
            ptr[i] = rows[i].data();
        }
    }
    double **get() { return ptr.data(); }
    double d(uint32_t i, uint32_t j) const { return i == j ? 0.0 : i > j ? rows[i][j] : rows[j][i]; }
};

inline HalfMatrix randomMatrix(uint32_t n, std::mt19937 &rng)
{
    HalfMatrix m(n);
    std::uniform_real_distribution<double> u(0.05, 1.0);
    for (uint32_t i = 1; i < n; i++)
        for (uint32_t j = 0; j < i; j++)
            m.rows[i][j] = u(rng);
    return m;
}

// A random unrooted tree over `inTree` of the n taxa (rooted at a tip, as the
// program holds unrooted trees); each internal edge contracted with chance
// `contract`.
inline TreeHandle randomTree(uint32_t n, uint32_t inTree, std::mt19937 &rng, double contract = 0.0)
{
    TreeHandle t(createTreeForTaxa(n, n, false));
    std::vector<uint32_t> perm(n);
    for (uint32_t i = 0; i < n; i++)
        perm[i] = i;
    std::shuffle(perm.begin(), perm.end(), rng);
    make3Tree(t.get(), n, static_cast<int32_t>(perm[0]), perm[1], perm[2]);
    for (uint32_t k = 3; k < inTree; k++) {
        std::vector<TreeNode *> edges;
        for (TreeNode *e = t->root->next; e; e = e->next)
            edges.push_back(e);
        TreeNode *e = edges[std::uniform_int_distribution<size_t>(0, edges.size() - 1)(rng)];
        binConnectLeaf(nodeOfIndex(t.get(), static_cast<int32_t>(perm[k])), e, findFreeNode(t.get()));
        t->numLeaves++;
        setTraversalSeq(t.get());
    }
    if (contract > 0.0) {
        std::vector<TreeNode *> inner;
        for (TreeNode *e = t->root->next; e; e = e->next)
            if (e->firstChild && e->anc != t->root)
                inner.push_back(e);
        std::bernoulli_distribution pick(contract);
        for (TreeNode *e : inner)
            if (pick(rng))
                contractInternalEdge(t.get(), e);
        setTraversalSeq(t.get());
    }
    return t;
}

// The tree's edges (nodes below the root) and leaves (root tip first).
struct Design {
    std::vector<TreeNode *> edges;
    std::vector<int32_t> leaves;
    std::vector<std::vector<uint8_t>> onPath;  // pair x edge
    std::vector<std::pair<uint32_t, uint32_t>> pairs;
};

inline bool below(const TreeNode *x, const TreeNode *top)
{
    for (; x; x = x->anc)
        if (x == top)
            return true;
    return false;
}

inline Design design(Tree *t)
{
    Design g;
    setTraversalSeq(t);
    g.leaves.push_back(t->root->index);
    for (TreeNode *e = t->root->next; e; e = e->next) {
        g.edges.push_back(e);
        if (!e->firstChild)
            g.leaves.push_back(e->index);
    }
    for (size_t a = 0; a < g.leaves.size(); a++)
        for (size_t b = a + 1; b < g.leaves.size(); b++) {
            TreeNode *x = nodeOfIndex(t, g.leaves[a]), *y = nodeOfIndex(t, g.leaves[b]);
            std::vector<uint8_t> row(g.edges.size());
            for (size_t k = 0; k < g.edges.size(); k++)
                row[k] = below(x, g.edges[k]) != below(y, g.edges[k]);
            g.onPath.push_back(row);
            g.pairs.emplace_back(static_cast<uint32_t>(g.leaves[a]), static_cast<uint32_t>(g.leaves[b]));
        }
    return g;
}

// Solves A x = b (n x n, dense) by Gaussian elimination with partial pivoting.
inline std::vector<double> solve(std::vector<std::vector<double>> A, std::vector<double> b)
{
    const size_t n = b.size();
    for (size_t c = 0; c < n; c++) {
        size_t p = c;
        for (size_t r = c + 1; r < n; r++)
            if (std::fabs(A[r][c]) > std::fabs(A[p][c]))
                p = r;
        std::swap(A[c], A[p]);
        std::swap(b[c], b[p]);
        for (size_t r = c + 1; r < n; r++) {
            const double f = A[r][c] / A[c][c];
            for (size_t k = c; k < n; k++)
                A[r][k] -= f * A[c][k];
            b[r] -= f * b[c];
        }
    }
    std::vector<double> x(n);
    for (size_t r = n; r-- > 0;) {
        double s = b[r];
        for (size_t k = r + 1; k < n; k++)
            s -= A[r][k] * x[k];
        x[r] = s / A[r][r];
    }
    return x;
}

// Weighted least squares over the edges marked free (others held at 0).
inline std::vector<double> dense(const Design &g, const HalfMatrix &m, const std::vector<double> &w,
                                 const std::vector<uint8_t> &isFree)
{
    std::vector<size_t> idx;
    for (size_t k = 0; k < g.edges.size(); k++)
        if (isFree[k])
            idx.push_back(k);
    std::vector<std::vector<double>> A(idx.size(), std::vector<double>(idx.size(), 0.0));
    std::vector<double> rhs(idx.size(), 0.0);
    for (size_t p = 0; p < g.pairs.size(); p++) {
        const double d = m.d(g.pairs[p].first, g.pairs[p].second);
        for (size_t i = 0; i < idx.size(); i++) {
            if (!g.onPath[p][idx[i]])
                continue;
            rhs[i] += w[p] * d;
            for (size_t j = 0; j < idx.size(); j++)
                A[i][j] += g.onPath[p][idx[j]] ? w[p] : 0.0;
        }
    }
    std::vector<double> x = solve(A, rhs), out(g.edges.size(), 0.0);
    for (size_t i = 0; i < idx.size(); i++)
        out[idx[i]] = x[i];
    return out;
}

inline double residual(const Design &g, const HalfMatrix &m, const std::vector<double> &w,
                       const std::vector<double> &b)
{
    double s = 0.0;
    for (size_t p = 0; p < g.pairs.size(); p++) {
        double path = 0.0;
        for (size_t k = 0; k < g.edges.size(); k++)
            path += g.onPath[p][k] ? b[k] : 0.0;
        const double r = m.d(g.pairs[p].first, g.pairs[p].second) - path;
        s += w[p] * r * r;
    }
    return s;
}

// The weighted normal equations A'WA b = A'Wd of every edge.
inline void normalEquations(const Design &g, const HalfMatrix &m, const std::vector<double> &w,
                            std::vector<std::vector<double>> &M, std::vector<double> &rhs)
{
    const size_t E = g.edges.size();
    M.assign(E, std::vector<double>(E, 0.0));
    rhs.assign(E, 0.0);
    for (size_t p = 0; p < g.pairs.size(); p++)
        for (size_t i = 0; i < E; i++) {
            if (!g.onPath[p][i])
                continue;
            rhs[i] += w[p] * m.d(g.pairs[p].first, g.pairs[p].second);
            for (size_t j = 0; j < E; j++)
                M[i][j] += g.onPath[p][j] ? w[p] : 0.0;
        }
}

// Least squares by Gauss-Seidel sweeps, each length kept at or above `floor`
// (-inf for none): it converges on singular normal equations too.
inline std::vector<double> gaussSeidel(const std::vector<std::vector<double>> &M, const std::vector<double> &rhs,
                                       double floor, int sweeps = 20000)
{
    std::vector<double> b(rhs.size(), 0.0);
    for (int s = 0; s < sweeps; s++)
        for (size_t i = 0; i < b.size(); i++) {
            if (M[i][i] <= 0.0)
                continue;
            double r = rhs[i];
            for (size_t j = 0; j < b.size(); j++)
                r -= M[i][j] * b[j];
            b[i] = std::max(floor, b[i] + r / M[i][i]);
        }
    return b;
}

// A basis of the null space of M by elimination with full pivoting.
inline std::vector<std::vector<double>> nullSpace(std::vector<std::vector<double>> M, double tol = 1e-9)
{
    const size_t n = M.size();
    std::vector<size_t> pivotCol;
    size_t r = 0;
    for (size_t c = 0; c < n && r < n; c++) {
        size_t p = r;
        for (size_t i = r + 1; i < n; i++)
            if (std::fabs(M[i][c]) > std::fabs(M[p][c]))
                p = i;
        if (std::fabs(M[p][c]) < tol)
            continue;
        std::swap(M[r], M[p]);
        for (size_t i = 0; i < n; i++) {
            if (i == r)
                continue;
            const double f = M[i][c] / M[r][c];
            for (size_t k = 0; k < n; k++)
                M[i][k] -= f * M[r][k];
        }
        pivotCol.push_back(c);
        r++;
    }
    std::vector<std::vector<double>> basis;
    for (size_t c = 0; c < n; c++) {
        if (std::find(pivotCol.begin(), pivotCol.end(), c) != pivotCol.end())
            continue;
        std::vector<double> v(n, 0.0);
        v[c] = 1.0;
        for (size_t i = 0; i < pivotCol.size(); i++)
            v[pivotCol[i]] = -M[i][c] / M[i][pivotCol[i]];
        basis.push_back(v);
    }
    return basis;
}

}  // namespace lsref
