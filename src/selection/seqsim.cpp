#include "selection/seqsim.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "qel/qel_detmath.h"
#include "data/model.h"
#include "likelihood/ratevar.h"

namespace {

// Pair index of the six nucleotide exchangeabilities (AC AG AT CG CT GT).
constexpr uint32_t kPairOf[4][4] = {{9, 0, 1, 2}, {0, 9, 3, 4}, {1, 3, 9, 5}, {2, 4, 5, 9}};

void fillCumulative(const double *p, uint32_t n, double *cum)
{
    double sum = 0.0;
    for (uint32_t i = 0; i < n; ++i)
        sum += p[i];
    double run = 0.0;
    for (uint32_t i = 0; i < n; ++i) {
        run += p[i];
        cum[i] = sum > 0.0 ? run / sum : static_cast<double>(i + 1) / n;
    }
    cum[n - 1] = 1.0;
}

// Leaving rates, jump chain and root sampler from q and freqs.
void finishModel(SimModel *m)
{
    const uint32_t n = m->nstates;
    for (uint32_t i = 0; i < n; ++i) {
        double row[kMaxSimStates] = {};
        double leave = 0.0;
        for (uint32_t j = 0; j < n; ++j)
            if (j != i) {
                row[j] = m->q[i][j];
                leave += row[j];
            }
        m->q[i][i] = -leave;
        m->leaveRate[i] = leave;
        fillCumulative(row, n, m->jumpCum[i]);
    }
    fillCumulative(m->freqs, n, m->freqCum);
}

void setRateCategories(SimModel *m, double shape, double pinv, bool discrete, uint32_t ncat)
{
    m->shape = shape;
    m->pinv = pinv;
    m->discreteGamma = discrete;
    m->catRates.clear();
    m->catCum.clear();
    if (!discrete)
        return;
    std::vector<double> probs;
    if (pinv > 0.0) {
        m->catRates.push_back(0.0);
        probs.push_back(pinv);
    }
    if (shape > 0.0) {
        const uint32_t k = std::max<uint32_t>(ncat, 1);
        std::vector<double> r(k), p(k);
        discretizeGammaDistrib(k, false, r.data(), p.data(), nullptr, shape, pinv);
        m->catRates.insert(m->catRates.end(), r.begin(), r.end());
        probs.insert(probs.end(), p.begin(), p.end());
    } else {
        m->catRates.push_back(1.0 / (1.0 - pinv));
        probs.push_back(1.0 - pinv);
    }
    m->catCum.resize(probs.size());
    fillCumulative(probs.data(), static_cast<uint32_t>(probs.size()), m->catCum.data());
}

// Scales q so that the equilibrium rate of change is 1.
void normaliseRate(SimModel *m)
{
    double mu = 0.0;
    for (uint32_t i = 0; i < m->nstates; ++i)
        for (uint32_t j = 0; j < m->nstates; ++j)
            if (j != i)
                mu += m->freqs[i] * m->q[i][j];
    if (mu > 0.0)
        for (uint32_t i = 0; i < m->nstates; ++i)
            for (uint32_t j = 0; j < m->nstates; ++j)
                m->q[i][j] /= mu;
}

}  // namespace

void makeSimModelFromRates(SimModel *out, uint32_t nstates, const double *freqs,
                           const double *exchange, double shape, double pinv, bool discreteGamma,
                           uint32_t ncat)
{
    out->nstates = nstates;
    std::copy(freqs, freqs + nstates, out->freqs);
    for (uint32_t i = 0; i < nstates; ++i)
        for (uint32_t j = 0; j < nstates; ++j)
            out->q[i][j] = i == j ? 0.0 : (nstates == 4 ? exchange[kPairOf[i][j]] : 1.0) * freqs[j];
    normaliseRate(out);
    finishModel(out);
    out->fixedRoot = -1;
    setRateCategories(out, shape, pinv, discreteGamma, ncat);
}

void makeTwoStateSimModel(SimModel *out, double a, double b, double shape, double pinv,
                          bool discreteGamma, uint32_t ncat)
{
    out->nstates = 2;
    const double sum = a + b;
    out->freqs[0] = sum > 0.0 ? b / sum : 0.5;
    out->freqs[1] = sum > 0.0 ? a / sum : 0.5;
    out->q[0][1] = a;
    out->q[1][0] = b;
    normaliseRate(out);
    finishModel(out);
    // With one rate 0 the other state absorbs: the root starts in the state
    // that can still change.
    out->fixedRoot = (a == 0.0 || b == 0.0) ? (a != 0.0 ? 0 : 1) : -1;
    setRateCategories(out, shape, pinv, discreteGamma, ncat);
}

std::string makeSimModel(const Model &m, bool twoState, bool discreteGamma, uint32_t ncat,
                         SimModel *out)
{
    out->name = m.name;
    const double shape = m.gammaShape > 0.0 ? m.gammaShape : 0.0;
    if (m.gammaShape == kEstimate || m.pinv == kEstimate)
        return "estimated";
    const double pinv = m.pinv > 0.0 ? m.pinv : 0.0;
    if (pinv >= 1.0)
        return "pinv";
    if (twoState) {
        if (m.q01 == kEstimateTwoStateRate || m.q10 == kEstimateTwoStateRate)
            return "estimated";
        const double a = m.q01 > 0.0 ? m.q01 : 0.0, b = m.q10 > 0.0 ? m.q10 : 0.0;
        if (a == 0.0 && b == 0.0)
            return "rates";
        makeTwoStateSimModel(out, a, b, shape, pinv, discreteGamma, ncat);
        return "";
    }
    if (m.type != kModelNucleotide)
        return "type";
    double pi[4] = {0.25, 0.25, 0.25, 0.25};
    if (!m.stateFreqs.empty() && m.stateFreqs[0] >= 0.0) {
        if (m.stateFreqs.size() < 4)
            return "freqs";
        double sum = 0.0;
        for (uint32_t i = 0; i < 4; ++i)
            sum += pi[i] = m.stateFreqs[i];
        if (!(sum > 0.0))
            return "freqs";
        for (double &p : pi)
            p /= sum;
    } else if (!m.stateFreqs.empty() && m.stateFreqs[0] != kFreqCodeEqual) {
        return "estimated";
    }
    double ex[6] = {1, 1, 1, 1, 1, 1};
    if (m.substClass == kSubstTwoRates) {
        if (m.tratio == kEstimate)
            return "estimated";
        // The transition/transversion ratio R as the ratio of expected
        // transitions to transversions, turned into the HKY or F84 form.
        const double R = m.tratio;
        const double piR = pi[0] + pi[2], piY = pi[1] + pi[3];
        const double within = pi[0] * pi[2] + pi[1] * pi[3];
        if (m.F84) {
            const double K = ((pi[0] * pi[1] + pi[0] * pi[3] + pi[1] * pi[2] + pi[3] * pi[2]) * R - within) /
                             (pi[0] * pi[2] / piR + pi[1] * pi[3] / piY);
            ex[1] = 1.0 + K / piR;
            ex[4] = 1.0 + K / piY;
        } else {
            ex[1] = ex[4] = R * piR * piY / within;
        }
    } else if (m.substClass == kSubstSixRates) {
        if (m.rates.size() < 6 || m.rates[0] == kEstimate)
            return "estimated";
        std::copy(m.rates.begin(), m.rates.begin() + 6, ex);
    }
    makeSimModelFromRates(out, 4, pi, ex, shape, pinv, discreteGamma, ncat);
    out->name = m.name;
    return "";
}

double setSimNodeAges(SimTree &tree)
{
    auto &nodes = tree.nodes;
    for (auto &n : nodes)
        n.age = 0.0;
    std::vector<double> lowest(nodes.size(), std::numeric_limits<double>::infinity());
    double worst = 0.0;
    // Preorder reversed: children before parents.
    for (size_t k = nodes.size(); k-- > 1;) {
        const SimNode &c = nodes[k];
        const double implied = c.age + c.length;
        SimNode &p = nodes[static_cast<size_t>(c.parent)];
        if (lowest[static_cast<size_t>(c.parent)] == std::numeric_limits<double>::infinity()) {
            p.age = lowest[static_cast<size_t>(c.parent)] = implied;
            continue;
        }
        worst = std::max(worst, std::fabs(implied - p.age));
        p.age = std::max(p.age, implied);
        lowest[static_cast<size_t>(c.parent)] = std::min(lowest[static_cast<size_t>(c.parent)], implied);
    }
    return worst;
}

void setSimLengthsFromAges(SimTree &tree)
{
    for (size_t k = 1; k < tree.nodes.size(); ++k)
        tree.nodes[k].length = tree.nodes[static_cast<size_t>(tree.nodes[k].parent)].age - tree.nodes[k].age;
}

double randGammaMean1(RNG *rng, double a)
{
    // Marsaglia and Tsang's squeeze method; shapes below 1 draw at a + 1 and
    // are scaled by U^(1/a).
    const double shape = a;
    double boost = 1.0;
    if (a < 1.0) {
        double u = randUni(rng);
        while (!(u > 0.0))
            u = randUni(rng);
        boost = detPow(u, 1.0 / a);
        a += 1.0;
    }
    const double d = a - 1.0 / 3.0, c = 1.0 / std::sqrt(9.0 * d);
    for (;;) {
        double x, v;
        do {
            // Box-Muller normal deviate.
            double u1 = randUni(rng);
            while (!(u1 > 0.0))
                u1 = randUni(rng);
            x = std::sqrt(-2.0 * detLog(u1)) * std::cos(6.283185307179586 * randUni(rng));
            v = 1.0 + c * x;
        } while (v <= 0.0);
        v = v * v * v;
        const double u = randUni(rng);
        if (u < 1.0 - 0.0331 * x * x * x * x ||
            (u > 0.0 && detLog(u) < 0.5 * x * x + d * (1.0 - v + detLog(v))))
            return boost * d * v / shape;  // mean 1
    }
}

double drawSiteRate(const SimModel &m, RNG *rng)
{
    if (m.discreteGamma) {
        const auto n = static_cast<uint32_t>(m.catCum.size());
        return n == 1 ? m.catRates[0] : m.catRates[selectUsingCumulProbs(m.catCum.data(), n, randUni(rng))];
    }
    if (m.pinv > 0.0 && randUni(rng) < m.pinv)
        return 0.0;
    const double scale = 1.0 / (1.0 - m.pinv);
    return m.shape > 0.0 ? scale * randGammaMean1(rng, m.shape) : scale;
}

uint64_t simulateSites(const SimTree &tree, std::span<const SimModel> models, uint32_t siteModel,
                       uint32_t first, uint32_t nsites, uint8_t *matrix, uint32_t ncols,
                       RNG *rng, std::vector<uint8_t> &scratch, double *rateSum)
{
    const auto &nodes = tree.nodes;
    const size_t nn = nodes.size();
    scratch.resize(nn);
    const SimModel &sm = models[siteModel];
    uint32_t changes = 0;
    uint64_t total = 0;
    for (uint32_t s = 0; s < nsites; ++s) {
        const double rate = drawSiteRate(sm, rng);
        *rateSum += rate;
        scratch[0] = static_cast<uint8_t>(
            sm.fixedRoot >= 0 ? static_cast<uint32_t>(sm.fixedRoot)
                              : selectUsingCumulProbs(sm.freqCum, sm.nstates, randUni(rng)));
        const size_t col = first + s;
        for (size_t k = 1; k < nn; ++k) {
            const SimNode &n = nodes[k];
            uint32_t state = scratch[static_cast<size_t>(n.parent)];
            if (n.pieces.empty()) {
                const SimModel &m = n.localModel ? models[n.model] : sm;
                state = evolveState(m, state, rate * n.length, rng, &changes);
            } else {
                for (const SimPiece &piece : n.pieces)
                    state = evolveState(piece.localModel ? models[piece.model] : sm, state,
                                        rate * piece.rate * piece.length, rng, &changes);
            }
            scratch[k] = static_cast<uint8_t>(state);
            if (n.taxon >= 0)
                matrix[static_cast<size_t>(n.taxon) * ncols + col] = static_cast<uint8_t>(state);
        }
        if (nn == 1 && nodes[0].taxon >= 0)
            matrix[static_cast<size_t>(nodes[0].taxon) * ncols + col] = scratch[0];
        total += changes;
        changes = 0;
    }
    return total;
}

bool simulateAcceptedTwoStateSites(const SimTree &tree, std::span<const SimModel> models,
                                   uint32_t siteModel, uint32_t first, uint32_t nsites,
                                   uint8_t *matrix, uint32_t ncols, uint32_t ntax, RNG *rng,
                                   std::vector<uint8_t> &scratch, double *rateSum,
                                   uint64_t *changes, TwoStateRejections *rejected)
{
    std::vector<uint32_t> rows;
    for (const SimNode &n : tree.nodes)
        if (n.taxon >= 0 && static_cast<uint32_t>(n.taxon) < ntax)
            rows.push_back(static_cast<uint32_t>(n.taxon));
    for (uint32_t s = 0; s < nsites; ++s) {
        const uint32_t col = first + s;
        for (uint64_t attempt = 0;; ++attempt) {
            if (attempt == kMaxTwoStateRedraws)
                return false;
            double rate = 0.0;
            const uint64_t c = simulateSites(tree, models, siteModel, col, 1, matrix, ncols, rng, scratch, &rate);
            uint32_t ones = 0;
            for (uint32_t r : rows)
                ones += matrix[static_cast<size_t>(r) * ncols + col];
            const auto zeros = static_cast<uint32_t>(rows.size()) - ones;
            if (c < 2)
                ++rejected->tooFewChanges;
            else if (zeros < 2)
                ++rejected->tooFew0;
            else if (ones < 2)
                ++rejected->tooFew1;
            else {
                *rateSum += rate;
                *changes += c;
                break;
            }
        }
    }
    return true;
}

double expectedFirstChanges(const SimTree &tree, double r)
{
    std::vector<double> depth(tree.nodes.size(), 0.0);
    double e = 0.0;
    for (size_t k = 1; k < tree.nodes.size(); ++k) {
        const SimNode &n = tree.nodes[k];
        const double above = depth[static_cast<size_t>(n.parent)];
        depth[k] = above + n.length;
        e += (1.0 - detExp(-r * n.length)) * detExp(-r * above);
    }
    return e;
}

SimTree simulateGeneTree(const SimTree &species, SimUnits units, double theta, RNG *rng)
{
    const double c = units == SimUnits::kSubstPerSite ? 2.0 / theta : (units == SimUnits::kNgen ? 2.0 : 1.0);
    // Gene nodes as they are made: parent links filled as lineages join.
    struct GeneNode {
        int32_t parent = -1;
        int32_t taxon = -1;
        double age = 0.0;
        int32_t species = -1;  // the species branch it lies in
    };
    std::vector<GeneNode> gene;
    const size_t ns = species.nodes.size();
    std::vector<std::vector<int32_t>> entering(ns);
    int32_t geneRoot = -1;
    for (size_t k = ns; k-- > 0;) {
        const SimNode &sp = species.nodes[k];
        std::vector<int32_t> &lin = entering[k];
        if (sp.taxon >= 0) {
            gene.push_back({-1, sp.taxon, sp.age, static_cast<int32_t>(k)});
            lin.push_back(static_cast<int32_t>(gene.size() - 1));
        }
        const double span = k == 0 ? std::numeric_limits<double>::infinity()
                                   : species.nodes[static_cast<size_t>(sp.parent)].age - sp.age;
        double t = 0.0;
        while (lin.size() >= 2) {
            const double kk = static_cast<double>(lin.size());
            const double w = randExponential(rng, kk * (kk - 1.0) / 2.0 * c);
            if (t + w > span)
                break;
            t += w;
            uint32_t i = 0, j = 0;
            randomPair(rng, static_cast<uint32_t>(lin.size()), &i, &j);
            gene.push_back({-1, -1, sp.age + t, static_cast<int32_t>(k)});
            const auto joined = static_cast<int32_t>(gene.size() - 1);
            gene[static_cast<size_t>(lin[i])].parent = joined;
            gene[static_cast<size_t>(lin[j])].parent = joined;
            lin[std::min(i, j)] = joined;
            lin.erase(lin.begin() + std::max(i, j));
        }
        if (k == 0)
            geneRoot = lin.empty() ? -1 : lin[0];
        else
            for (int32_t g : lin)
                entering[static_cast<size_t>(sp.parent)].push_back(g);
        lin.clear();
    }
    SimTree out;
    if (geneRoot < 0)
        return out;
    // Preorder from the gene root, lengths in substitutions per site.
    const double factor = c * theta / 2.0;
    std::vector<std::vector<int32_t>> children(gene.size());
    for (size_t g = 0; g < gene.size(); ++g)
        if (gene[g].parent >= 0)
            children[static_cast<size_t>(gene[g].parent)].push_back(static_cast<int32_t>(g));
    std::vector<std::pair<int32_t, int32_t>> stack{{geneRoot, -1}};
    while (!stack.empty()) {
        auto [g, parent] = stack.back();
        stack.pop_back();
        SimNode n;
        n.parent = parent;
        n.taxon = gene[static_cast<size_t>(g)].taxon;
        n.age = gene[static_cast<size_t>(g)].age * factor;
        n.species = gene[static_cast<size_t>(g)].species;
        out.nodes.push_back(n);
        const auto self = static_cast<int32_t>(out.nodes.size() - 1);
        for (auto it = children[static_cast<size_t>(g)].rbegin(); it != children[static_cast<size_t>(g)].rend(); ++it)
            stack.emplace_back(*it, self);
    }
    setSimLengthsFromAges(out);
    bool local = false;
    for (const SimNode &sp : species.nodes)
        local = local || sp.rate != 1.0 || sp.localModel;
    if (!local)
        return out;
    // Each gene branch climbs from the species branch its lower node lies
    // in through the species branches above, until its upper node's age.
    for (size_t g = 1; g < out.nodes.size(); ++g) {
        SimNode &n = out.nodes[g];
        const double top = out.nodes[static_cast<size_t>(n.parent)].age;
        double at = n.age, length = 0.0;
        std::vector<SimPiece> pieces;
        for (int32_t b = n.species; b >= 0 && at < top;) {
            const SimNode &sp = species.nodes[static_cast<size_t>(b)];
            const double end = b == 0 ? top : std::min(top, species.nodes[static_cast<size_t>(sp.parent)].age * factor);
            if (end > at) {
                pieces.push_back({end - at, sp.rate, sp.model, sp.localModel});
                length += (end - at) * sp.rate;
            }
            at = end;
            b = b == 0 ? -1 : sp.parent;
        }
        // Evolution runs from the upper end down.
        std::reverse(pieces.begin(), pieces.end());
        n.pieces = std::move(pieces);
        n.length = length;
    }
    return out;
}

bool findAgeConflict(const SimTree &tree, SimAgeConflict *conflict)
{
    const auto &nodes = tree.nodes;
    std::vector<double> age(nodes.size(), 0.0);
    std::vector<int32_t> first(nodes.size(), -1);
    bool found = false;
    // Preorder reversed: children before parents.
    for (size_t k = nodes.size(); k-- > 1;) {
        const auto p = static_cast<size_t>(nodes[k].parent);
        const double implied = age[k] + nodes[k].length;
        if (first[p] < 0) {
            first[p] = static_cast<int32_t>(k);
            age[p] = implied;
        } else if (std::fabs(implied - age[p]) > 1e-6 && !found) {
            *conflict = {static_cast<uint32_t>(p), static_cast<uint32_t>(first[p]), static_cast<uint32_t>(k), age[p],
                         implied};
            found = true;
        }
    }
    return found;
}
