// Random models, trees and data for the likelihood kernel tests, a small
// driver that scores a tree through a kernel table the way the engine does
// (a flat list of CL updates, then one edge evaluation), and plain
// references that know nothing of the kernels: pruning per pattern and
// category, and a sum over all ancestral assignments.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <numeric>
#include <random>
#include <vector>

#include "likelihood/kernels/lik_kernels.h"
#include "likelihood/ml_multithread.h"
#include "qel/qel_distrib.h"

namespace liktest {

using Mat = std::vector<double>;  // n x n, row-major

inline Mat matMul(const Mat &a, const Mat &b, int n)
{
    Mat c(static_cast<size_t>(n * n), 0.0);
    for (int i = 0; i < n; ++i)
        for (int k = 0; k < n; ++k)
            for (int j = 0; j < n; ++j)
                c[i * n + j] += a[i * n + k] * b[k * n + j];
    return c;
}

// exp(Q t) by scaling and squaring of a Taylor series.
inline Mat expm(const Mat &Q, double t, int n)
{
    double norm = 0;
    for (double q : Q)
        norm = std::max(norm, std::fabs(q * t));
    int s = 0;
    while (norm * n > 0.05) {
        norm /= 2;
        ++s;
    }
    Mat A(Q.size());
    for (size_t i = 0; i < Q.size(); ++i)
        A[i] = Q[i] * t / std::ldexp(1.0, s);
    Mat E(Q.size(), 0.0), term(Q.size(), 0.0);
    for (int i = 0; i < n; ++i)
        E[i * n + i] = term[i * n + i] = 1.0;
    for (int k = 1; k < 20; ++k) {
        term = matMul(term, A, n);
        for (size_t i = 0; i < E.size(); ++i) {
            term[i] /= k;
            E[i] += term[i];
        }
    }
    for (int i = 0; i < s; ++i)
        E = matMul(E, E, n);
    return E;
}

struct Model {
    int n = 4;
    std::vector<double> pi;
    Mat Q;
    std::vector<double> rates{1.0};
    std::vector<double> probs{1.0};  // already times 1 - pinv
    double pinv = 0;
    bool mk = false;  // Mk: P depends on the pattern's state count
    mutable std::map<std::pair<double, int>, Mat> cache;  // P by (t x rate, k)
};

// A reversible Q from exchangeabilities and frequencies, one substitution
// per unit time.
inline Mat reversibleQ(const std::vector<double> &exch, const std::vector<double> &pi, int n)
{
    Mat Q(static_cast<size_t>(n * n), 0.0);
    size_t e = 0;
    for (int i = 0; i < n; ++i)
        for (int j = i + 1; j < n; ++j, ++e) {
            Q[i * n + j] = exch[e] * pi[j];
            Q[j * n + i] = exch[e] * pi[i];
        }
    double mu = 0;
    for (int i = 0; i < n; ++i) {
        double row = 0;
        for (int j = 0; j < n; ++j)
            row += i == j ? 0 : Q[i * n + j];
        Q[i * n + i] = -row;
        mu += pi[i] * row;
    }
    for (double &q : Q)
        q /= mu;
    return Q;
}

inline Model randomModel(std::mt19937_64 &rng, int n)
{
    std::uniform_real_distribution<double> u(0.2, 1.0);
    Model m;
    m.n = n;
    m.pi.resize(n);
    for (double &p : m.pi)
        p = u(rng);
    const double s = std::accumulate(m.pi.begin(), m.pi.end(), 0.0);
    for (double &p : m.pi)
        p /= s;
    std::vector<double> exch(static_cast<size_t>(n * (n - 1) / 2));
    for (double &x : exch)
        x = u(rng) * 3;
    m.Q = reversibleQ(exch, m.pi, n);
    return m;
}

inline Model hkyModel(const std::vector<double> &pi, double kappa)
{
    Model m;
    m.pi = pi;
    // A C G T: transitions A-G and C-T.
    m.Q = reversibleQ({1, kappa, 1, 1, kappa, 1}, pi, 4);
    return m;
}

// Quantile of the gamma distribution of mean 1 and the given shape.
inline double gammaQuantile(double q, double shape)
{
    double lo = -750, hi = std::log(200.0);
    for (int i = 0; i < 200; ++i) {
        const double mid = (lo + hi) / 2;
        (gammaD(nullptr, std::exp(mid) * shape, shape) < q ? lo : hi) = mid;
    }
    return std::exp((lo + hi) / 2);
}

// Discrete gamma categories (equal probabilities), mean or median rates.
inline void setGamma(Model &m, double shape, int k, bool median, double pinv)
{
    m.rates.assign(k, 1.0);
    if (k > 1) {
        if (median) {
            for (int i = 0; i < k; ++i)
                m.rates[i] = gammaQuantile((2.0 * i + 1) / (2.0 * k), shape);
            const double mean = std::accumulate(m.rates.begin(), m.rates.end(), 0.0) / k;
            for (double &r : m.rates)
                r /= mean;
        } else {
            double prev = 0;
            for (int i = 0; i < k; ++i) {
                const double b = i == k - 1 ? INFINITY : gammaQuantile((i + 1.0) / k, shape);
                const double cum = std::isinf(b) ? 1.0 : gammaD(nullptr, b * shape, shape + 1);
                m.rates[i] = k * (cum - prev);
                prev = cum;
            }
        }
    }
    m.pinv = pinv;
    m.probs.assign(k, (1 - pinv) / k);
}

// P(t x rate) for pattern state count k (Mk) or the model's Q.
inline Mat transition(const Model &m, double t, int k = 0)
{
    if (!m.mk) {
        auto [it, fresh] = m.cache.try_emplace({t, k});
        if (fresh)
            it->second = expm(m.Q, t, m.n);
        return it->second;
    }
    Mat P(static_cast<size_t>(m.n * m.n), 0.0);
    const double e = k > 1 ? std::exp(-t * k / (k - 1.0)) : 1.0;
    for (int i = 0; i < m.n; ++i)
        for (int j = 0; j < m.n; ++j)
            P[i * m.n + j] = k <= 1 ? (i == j) : (i == j ? 1.0 / k + (1 - 1.0 / k) * e : 1.0 / k - e / k);
    return P;
}

// d/dt (d = 1) or d2/dt2 (d = 2) of P(t x rate) for a Q model.
inline Mat transitionDeriv(const Model &m, double t, double rate, int d)
{
    Mat P = expm(m.Q, t * rate, m.n);
    for (int i = 0; i < d; ++i) {
        P = matMul(m.Q, P, m.n);
        for (double &x : P)
            x *= rate;
    }
    return P;
}

struct Node {
    int parent = -1;
    std::vector<int> kids;
    double t = 0;  // length of the branch to the parent
    int tip = -1;  // taxon of a tip
};

struct Problem {
    Model m;
    std::vector<Node> nodes;  // node 0 is the root, with three or more children
    int ntax = 0;
    std::vector<std::vector<int>> ambig;      // members of code n + 1 + a
    std::vector<std::vector<uint8_t>> codes;  // per taxon, per pattern
    std::vector<double> weights;
    // Mk: per pattern state count and model states; runs of equal count,
    // each headed by a dummy pattern of weight 0 with every tip in state 0.
    std::vector<uint16_t> mkStates;
    std::vector<uint8_t> mkList;
    bool rescale = false;
    double threshold = 1e-10;

    int n() const { return m.n; }
    uint32_t npat() const { return static_cast<uint32_t>(weights.size()); }
    int ntipcodes() const { return m.n + 1 + static_cast<int>(ambig.size()); }
    bool allows(int code, int s) const
    {
        if (code < m.n)
            return code == s;
        if (code == m.n)
            return true;
        const auto &a = ambig[code - m.n - 1];
        return std::find(a.begin(), a.end(), s) != a.end();
    }
    std::vector<double> constLikes() const
    {
        std::vector<double> c;
        if (m.pinv == 0)
            return c;
        for (uint32_t p = 0; p < npat(); ++p) {
            double s = 0;
            for (int st = 0; st < n(); ++st) {
                bool all = true;
                for (int x = 0; x < ntax; ++x)
                    all = all && allows(codes[x][p], st);
                s += all ? m.pi[st] : 0;
            }
            c.push_back(m.pinv * s);
        }
        return c;
    }
};

// Random topology over ntax taxa: every internal node has two children,
// or three with chance `poly`; the root has three.
inline void randomTree(Problem &pr, std::mt19937_64 &rng, int ntax, double poly, double maxLen = 0.5)
{
    pr.ntax = ntax;
    pr.nodes.assign(1, Node{});
    std::uniform_real_distribution<double> len(0.01, maxLen);
    std::vector<int> taxa(ntax);
    std::iota(taxa.begin(), taxa.end(), 0);
    std::shuffle(taxa.begin(), taxa.end(), rng);
    auto build = [&](auto &self, int node, std::vector<int> set, int parts) -> void {
        if (set.size() == 1) {
            pr.nodes[node].tip = set[0];
            return;
        }
        parts = std::min<int>(parts, static_cast<int>(set.size()));
        std::vector<std::vector<int>> groups(parts);
        for (int i = 0; i < parts; ++i)
            groups[i].push_back(set[i]);
        // The root keeps one tip of its own, so both evaluators have an edge.
        const int skip = node == 0 ? 1 : 0;
        for (size_t i = parts; i < set.size(); ++i)
            groups[skip + rng() % (parts - skip)].push_back(set[i]);
        for (auto &g : groups) {
            const int kid = static_cast<int>(pr.nodes.size());
            pr.nodes.push_back(Node{node, {}, len(rng), -1});
            pr.nodes[node].kids.push_back(kid);
            const int k = std::uniform_real_distribution<double>(0, 1)(rng) < poly ? 3 : 2;
            self(self, kid, g, k);
        }
    };
    build(build, 0, taxa, 3);
}

// A caterpillar: every internal node has one tip and one internal child.
inline void caterpillar(Problem &pr, int ntax, double len)
{
    pr.ntax = ntax;
    pr.nodes.assign(1, Node{});
    auto add = [&](int parent, int tip) {
        const int at = static_cast<int>(pr.nodes.size());
        pr.nodes.push_back(Node{parent, {}, len, tip});
        pr.nodes[parent].kids.push_back(at);
        return at;
    };
    add(0, 0);
    add(0, 1);
    int at = add(0, -1);
    for (int x = 2; x < ntax - 2; ++x) {
        add(at, x);
        at = add(at, -1);
    }
    add(at, ntax - 2);
    add(at, ntax - 1);
}

// Random data: some constant columns (with gaps), the rest random states,
// ambiguity codes and missing cells; weights 0 to 4.
inline void randomData(Problem &pr, std::mt19937_64 &rng, uint32_t npat, int nambig)
{
    const int n = pr.n();
    pr.ambig.clear();
    for (int a = 0; a < nambig; ++a) {
        std::vector<int> s(n);
        std::iota(s.begin(), s.end(), 0);
        std::shuffle(s.begin(), s.end(), rng);
        s.resize(2 + rng() % std::max(1, n - 2));
        pr.ambig.push_back(s);
    }
    pr.codes.assign(pr.ntax, std::vector<uint8_t>(npat));
    pr.weights.resize(npat);
    std::uniform_real_distribution<double> u(0, 1);
    for (uint32_t p = 0; p < npat; ++p) {
        const bool constant = u(rng) < 0.25;
        const auto state = static_cast<uint8_t>(rng() % n);
        for (int x = 0; x < pr.ntax; ++x) {
            const double v = u(rng);
            uint8_t c = constant ? state : static_cast<uint8_t>(rng() % n);
            if (v < 0.05)
                c = static_cast<uint8_t>(n);
            else if (v < 0.12 && nambig > 0)
                c = static_cast<uint8_t>(n + 1 + rng() % nambig);
            pr.codes[x][p] = c;
        }
        pr.weights[p] = u(rng) < 0.15 ? 0.0 : static_cast<double>(1 + rng() % 4);
    }
}

// Mk data: runs of state counts kmin..kmax, each with a dummy head.
inline void randomMkData(Problem &pr, std::mt19937_64 &rng, int kmin, int kmax, int perRun)
{
    const int n = pr.n();
    pr.ambig.clear();
    pr.codes.assign(pr.ntax, {});
    pr.weights.clear();
    pr.mkStates.clear();
    pr.mkList.clear();
    for (int k = kmin; k <= kmax; ++k)
        for (int q = 0; q <= perRun; ++q) {
            std::vector<int> s(n);
            std::iota(s.begin(), s.end(), 0);
            if (q > 0)
                std::shuffle(s.begin(), s.end(), rng);
            pr.mkStates.push_back(static_cast<uint16_t>(k));
            for (int i = 0; i < n; ++i)
                pr.mkList.push_back(static_cast<uint8_t>(s[i]));
            for (int x = 0; x < pr.ntax; ++x) {
                uint8_t c = q == 0 ? 0 : static_cast<uint8_t>(s[rng() % k]);
                if (q > 0 && rng() % 12 == 0)
                    c = static_cast<uint8_t>(n);
                pr.codes[x].push_back(c);
            }
            pr.weights.push_back(q == 0 ? 0.0 : static_cast<double>(1 + rng() % 3));
        }
}

// Where pattern p's values start in a rate block, and the block's size.
inline std::vector<uint32_t> mkOffsets(const Problem &pr, uint32_t *block)
{
    std::vector<uint32_t> off;
    uint32_t at = 0;
    for (uint16_t k : pr.mkStates) {
        off.push_back(at);
        at += k;
    }
    *block = at;
    return off;
}

template <typename Real>
struct Buf {
    std::unique_ptr<Real, decltype(&std::free)> p{nullptr, &std::free};
    size_t size = 0;
    explicit Buf(size_t n = 0) : size(n)
    {
        if (n != 0) {
            const size_t bytes = (n * sizeof(Real) + 63) / 64 * 64;
            p.reset(static_cast<Real *>(std::aligned_alloc(64, bytes)));
            std::fill(p.get(), p.get() + n, Real(0));
        }
    }
    Real *get() const { return p.get(); }
    Real &operator[](size_t i) const { return p.get()[i]; }
};

struct Outcome {
    LikResult res{};
    std::vector<double> cl;  // true CLs of the root side of the edge, n per item
    double rootLnL = 0;      // Mk: the rooted evaluator at the root
};

// Scores the edge above `child` (a child of the root) through table K.
// dt is added to that edge's length (for central differences).
template <typename Real>
class KernelDriver {
public:
    KernelDriver(const Problem &pr, const LikKernels &K, LikThreads *threads)
        : pr_(pr), K_(K), threads_(threads), n_(pr.n()), mk_(pr.m.mk)
    {
        nv_ = likValuesPerPattern(K, n_);
        np_ = pr.npat();
        ncat_ = static_cast<uint32_t>(pr.m.rates.size());
        consts_ = pr.constLikes();
        ctx_ = LikKernelContext{static_cast<uint32_t>(n_),
                                nv_,
                                np_,
                                ncat_,
                                static_cast<uint32_t>(pr.ntipcodes()),
                                pr.weights.data(),
                                consts_.empty() ? nullptr : consts_.data(),
                                pr.m.probs.data(),
                                pr.rescale ? pr.threshold : 0.0,
                                nullptr,
                                nullptr,
                                nullptr,
                                0};
        claSize_ = static_cast<size_t>(ncat_) * np_ * nv_;
        if (mk_) {
            offsets_ = mkOffsets(pr, &ctx_.mkBlockValues);
            ctx_.mkStates = pr.mkStates.data();
            ctx_.mkOffset = offsets_.data();
            ctx_.mkStateList = pr.mkList.data();
            claSize_ = static_cast<size_t>(ncat_) * ctx_.mkBlockValues;
        }
    }

    const LikKernelContext &context() const { return ctx_; }

    Outcome run(int child, uint32_t mode, double dt = 0)
    {
        cla_.clear();
        cla_.resize(pr_.nodes.size());
        scal_.clear();
        scal_.resize(pr_.nodes.size());
        for (int k : pr_.nodes[0].kids)
            if (pr_.nodes[k].tip < 0)
                computeUp(k);
        std::vector<int> others;
        for (int k : pr_.nodes[0].kids)
            if (k != child)
                others.push_back(k);
        combine(0, others);
        Outcome o;
        const Node &c = pr_.nodes[child];
        const double t = c.t + dt;
        LikEvalOp op{};
        Buf<Real> W = evalMatrices(t, c.tip >= 0, 0), W1 = evalMatrices(t, c.tip >= 0, 1),
                  W2 = evalMatrices(t, c.tip >= 0, 2);
        op.W = W.get();
        op.W1 = W1.get();
        op.W2 = W2.get();
        if (c.tip >= 0) {
            op.a = cla_[0].get();
            op.scalerA = scal_[0].get();
            op.tip = pr_.codes[c.tip].data();
        } else {
            op.a = cla_[child].get();
            op.scalerA = scal_[child].get();
            op.b = cla_[0].get();
            op.scalerB = scal_[0].get();
        }
        const LikEvalFxn f = c.tip >= 0 ? K_.eval1Tip : K_.eval0Tip;
        o.res = threads_ ? evalEdgeMultithreaded(threads_, f, ctx_, op, mode) : f(ctx_, op, 0, np_, mode);
        o.cl = trueValues(0);
        if (mk_ && K_.evalLikeRooted) {
            // The root's CLA over all its children, for the rooted evaluator.
            combine(0, pr_.nodes[0].kids);
            o.rootLnL = K_.evalLikeRooted(ctx_, cla_[0].get(), scal_[0].get());
        }
        return o;
    }

private:
    size_t valueIndex(uint32_t r, uint32_t p, int i) const
    {
        if (mk_)
            return static_cast<size_t>(r) * ctx_.mkBlockValues + offsets_[p] + i;
        return (static_cast<size_t>(r) * np_ + p) * nv_ + i;
    }

    std::vector<double> trueValues(int node) const
    {
        std::vector<double> v;
        for (uint32_t r = 0; r < ncat_; ++r)
            for (uint32_t p = 0; p < np_; ++p) {
                const int k = mk_ ? pr_.mkStates[p] : n_;
                const double s = pr_.rescale ? std::exp(static_cast<double>(scal_[node][p])) : 1.0;
                for (int i = 0; i < k; ++i)
                    v.push_back(static_cast<double>(cla_[node][valueIndex(r, p, i)]) * s);
            }
        return v;
    }

    void computeUp(int node)
    {
        for (int k : pr_.nodes[node].kids)
            if (pr_.nodes[k].tip < 0)
                computeUp(k);
        combine(node, pr_.nodes[node].kids);
    }

    size_t matSize(bool tip) const
    {
        const size_t rows = tip ? pr_.ntipcodes() : (mk_ ? n_ : nv_);
        const size_t one = rows * (mk_ ? n_ : nv_);
        return one * ncat_ * (mk_ ? n_ + 1 : 1);
    }

    // Entry (i, j) of matrix set m stored for the table's layout.
    void put(Buf<Real> &m, size_t base, int i, int j, double v, bool tip) const
    {
        const uint32_t w = mk_ ? n_ : nv_;
        const bool tr = K_.vectorLayout && !tip;
        m[base + (tr ? static_cast<size_t>(j) * w + i : static_cast<size_t>(i) * w + j)] = static_cast<Real>(v);
    }

    // Visits every (category, state count) matrix slot: f(base, P-rate, k).
    template <typename F>
    void forSlots(bool tip, F f) const
    {
        const size_t rows = tip ? pr_.ntipcodes() : (mk_ ? n_ : nv_);
        const size_t one = rows * (mk_ ? n_ : nv_);
        for (uint32_t r = 0; r < ncat_; ++r) {
            if (!mk_) {
                f(r * one, r, 0);
                continue;
            }
            for (int k = 0; k <= n_; ++k)
                f(static_cast<size_t>(likMkMatrixIndex(ctx_, r, k)) * one, r, k);
        }
    }

    // Transition matrices (internal input) or tip tables of a branch.
    Buf<Real> clMatrices(double t, bool tip) const
    {
        Buf<Real> m(matSize(tip));
        forSlots(tip, [&](size_t base, uint32_t r, int k) {
            const Mat P = transition(pr_.m, t * pr_.m.rates[r], k);
            for (int i = 0; i < n_; ++i)
                for (int c = 0; c < (tip ? pr_.ntipcodes() : n_); ++c) {
                    double v = c == n_ ? 1.0 : 0.0;  // the any-state row
                    if (!tip)
                        v = P[i * n_ + c];
                    else if (c != n_)
                        for (int s = 0; s < n_; ++s)
                            v += pr_.allows(c, s) ? P[i * n_ + s] : 0;
                    put(m, base, tip ? c : i, tip ? i : c, v, tip);
                }
        });
        return m;
    }

    // W, W' or W'' of the evaluated edge.
    Buf<Real> evalMatrices(double t, bool tip, int d) const
    {
        Buf<Real> m(matSize(tip));
        forSlots(tip, [&](size_t base, uint32_t r, int k) {
            const double rate = pr_.m.rates[r];
            Mat P;
            if (mk_) {
                // d/dt of the Mk entries by central difference is not exact:
                // differentiate the closed form.
                P = transition(pr_.m, t * rate, k);
                const double beta = k > 1 ? rate * k / (k - 1.0) : 0;
                const double e = std::exp(-beta * t);
                for (int i = 0; i < n_; ++i)
                    for (int j = 0; j < n_; ++j) {
                        const double same = (1 - 1.0 / std::max(k, 1)) * e, diff = -e / std::max(k, 1);
                        const double base0 = i == j ? same : diff;
                        if (d > 0)
                            P[i * n_ + j] = base0 * std::pow(-beta, d);
                    }
            } else {
                P = d == 0 ? transition(pr_.m, t * rate) : transitionDeriv(pr_.m, t, rate, d);
            }
            const double scale = pr_.m.probs[r] / (mk_ ? std::max(k, 1) : 1);
            for (int i = 0; i < n_; ++i) {
                const double wi = (mk_ ? 1.0 : pr_.m.pi[i]) * scale;
                for (int c = 0; c < (tip ? pr_.ntipcodes() : n_); ++c) {
                    double v = 0;
                    if (!tip)
                        v = wi * P[i * n_ + c];
                    else if (c == n_)
                        v = d == 0 ? wi : 0;
                    else
                        for (int s = 0; s < n_; ++s)
                            v += pr_.allows(c, s) ? wi * P[i * n_ + s] : 0;
                    put(m, base, tip ? c : i, tip ? i : c, v, tip);
                }
            }
        });
        return m;
    }

    // The CLA of `node` from `inputs`, as the engine's binary and
    // polytomy updates make it: tips first, rescalers summed, rescaled once.
    void combine(int node, std::vector<int> inputs)
    {
        std::stable_partition(inputs.begin(), inputs.end(), [&](int k) { return pr_.nodes[k].tip >= 0; });
        cla_[node] = Buf<Real>(claSize_);
        Real *out = cla_[node].get();
        if (pr_.rescale)
            scal_[node] = Buf<Real>(np_);
        std::vector<Buf<Real>> mats;
        for (int k : inputs)
            mats.push_back(clMatrices(pr_.nodes[k].t, pr_.nodes[k].tip >= 0));
        auto tipOf = [&](int k) { return pr_.nodes[k].tip >= 0 ? pr_.codes[pr_.nodes[k].tip].data() : nullptr; };
        auto claOf = [&](int k) -> const void * { return pr_.nodes[k].tip >= 0 ? nullptr : cla_[k].get(); };
        LikClOp op{out, claOf(inputs[0]), claOf(inputs[1]), tipOf(inputs[0]), tipOf(inputs[1]),
                   mats[0].get(), mats[1].get()};
        const int tips = (tipOf(inputs[0]) != nullptr) + (tipOf(inputs[1]) != nullptr);
        const LikClLoopFxn loop = tips == 2 ? K_.clLoop_2Tip : tips == 1 ? K_.clLoop_1Tip : K_.clLoop_0Tip;
        bool below = runLoop(loop, op);
        if (pr_.rescale) {
            if (tips == 0)
                K_.mergeRescalers(ctx_, scal_[inputs[0]].get(), scal_[inputs[1]].get(), scal_[node].get());
            else if (tips == 1)
                K_.addRescalers(ctx_, scal_[inputs[1]].get(), scal_[node].get());
        }
        for (size_t x = 2; x < inputs.size(); ++x) {
            LikClOp fold{out, claOf(inputs[x]), nullptr, tipOf(inputs[x]), nullptr, mats[x].get(), nullptr};
            below = runLoop(K_.clLoopNonbin, fold) || below;
            if (pr_.rescale && claOf(inputs[x]) != nullptr)
                K_.addRescalers(ctx_, scal_[inputs[x]].get(), scal_[node].get());
        }
        if (pr_.rescale && below) {
            if (threads_)
                rescaleMultithreaded(threads_, K_.rescaleCL, ctx_, out, scal_[node].get());
            else
                K_.rescaleCL(ctx_, out, scal_[node].get(), 0, np_);
        }
    }

    bool runLoop(LikClLoopFxn loop, const LikClOp &op)
    {
        return threads_ ? clUpdateMultithreaded(threads_, loop, ctx_, op) : loop(ctx_, op, 0, np_ * ncat_);
    }

    const Problem &pr_;
    const LikKernels &K_;
    LikThreads *threads_;
    int n_;
    bool mk_;
    uint32_t nv_ = 0, np_ = 0, ncat_ = 0;
    size_t claSize_ = 0;
    std::vector<double> consts_;
    std::vector<uint32_t> offsets_;
    LikKernelContext ctx_{};
    std::vector<Buf<Real>> cla_, scal_;
};

inline Outcome runTable(const Problem &pr, const LikKernels &K, int child, uint32_t mode, double dt = 0,
                        LikThreads *threads = nullptr)
{
    if (K.precision == LikPrecision::Double)
        return KernelDriver<double>(pr, K, threads).run(child, mode, dt);
    return KernelDriver<float>(pr, K, threads).run(child, mode, dt);
}

// Transition matrices of every branch, category and (Mk) state count, with
// `child`'s branch lengthened by dt.
struct BranchMatrices {
    std::vector<std::vector<std::vector<Mat>>> P;  // [node][category][k]
    BranchMatrices(const Problem &pr, int child, double dt) : P(pr.nodes.size())
    {
        for (size_t v = 1; v < pr.nodes.size(); ++v) {
            const double t = pr.nodes[v].t + (static_cast<int>(v) == child ? dt : 0);
            for (double rate : pr.m.rates) {
                P[v].emplace_back();
                for (int k = 0; k <= (pr.m.mk ? pr.n() : 0); ++k)
                    P[v].back().push_back(transition(pr.m, t * rate, k));
            }
        }
    }
};

// Plain pruning: the partial likelihoods of the subtree below `node` for
// pattern p in category r, over the pattern's states (local positions for
// Mk); every tip in model state tipOverride when that is given.
inline std::vector<double> prune(const Problem &pr, const BranchMatrices &bm, int node, uint32_t p, uint32_t r,
                                 int tipOverride = -1)
{
    const Node &nd = pr.nodes[node];
    const int n = pr.n();
    const int k = pr.m.mk ? pr.mkStates[p] : n;
    const uint8_t *s = pr.m.mk ? &pr.mkList[static_cast<size_t>(p) * n] : nullptr;
    auto state = [&](int i) { return s ? s[i] : i; };
    std::vector<double> x(k, 1.0);
    if (nd.tip >= 0) {
        const int code = tipOverride >= 0 ? tipOverride : pr.codes[nd.tip][p];
        for (int i = 0; i < k; ++i)
            x[i] = pr.allows(code, state(i)) ? 1.0 : 0.0;
        return x;
    }
    for (int kid : nd.kids) {
        const std::vector<double> y = prune(pr, bm, kid, p, r, tipOverride);
        const Mat &P = bm.P[kid][r][pr.m.mk ? k : 0];
        for (int i = 0; i < k; ++i) {
            double sum = 0;
            for (int j = 0; j < k; ++j)
                sum += P[state(i) * n + state(j)] * y[j];
            x[i] *= sum;
        }
    }
    return x;
}

// Pattern likelihood by pruning, without the constant-site term.
inline double pruneLike(const Problem &pr, const BranchMatrices &bm, uint32_t p, int tipOverride = -1)
{
    const int k = pr.m.mk ? pr.mkStates[p] : pr.n();
    double L = 0;
    for (uint32_t r = 0; r < pr.m.rates.size(); ++r) {
        const std::vector<double> x = prune(pr, bm, 0, p, r, tipOverride);
        for (int i = 0; i < k; ++i)
            L += pr.m.probs[r] * (pr.m.mk ? 1.0 / k : pr.m.pi[i]) * x[i];
    }
    return L;
}

// -lnL by plain pruning; Mk patterns are conditioned on variability.
inline double referenceLnL(const Problem &pr, int child, double dt)
{
    const BranchMatrices bm(pr, child, dt);
    const std::vector<double> c = pr.constLikes();
    double lnL = 0;
    for (uint32_t p = 0; p < pr.npat(); ++p) {
        if (pr.weights[p] == 0)
            continue;
        double L = pruneLike(pr, bm, p) + (c.empty() ? 0 : c[p]);
        if (pr.m.mk)
            L /= 1 - pr.mkStates[p] * pruneLike(pr, bm, p, pr.mkList[static_cast<size_t>(p) * pr.n()]);
        lnL -= pr.weights[p] * std::log(L);
    }
    return lnL;
}

inline bool near(double x, double ref, double rel, double floor = 0)
{
    return std::fabs(x - ref) <= rel * std::max(std::fabs(ref), floor);
}

}  // namespace liktest
