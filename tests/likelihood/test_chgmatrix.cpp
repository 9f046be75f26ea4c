// Transition matrices of every model family: stochastic rows, identities at
// no change, agreement between the closed forms and the eigen path, the
// derivatives against central differences, tip rows of ambiguity codes, and
// the single-precision eigen path against the double one.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <vector>

#include "data/model.h"
#include "likelihood/aamatrices.h"
#include "likelihood/aligned.h"
#include "likelihood/chgmatrix.h"

namespace {

struct ModelHolder {
    Model *m;
    explicit ModelHolder(Model *model) : m(model) {}
    ~ModelHolder() { destroyModel(m); }
};

struct Mats {
    RowMatrix<double> p, d1, d2;
    explicit Mats(uint32_t n, uint32_t rows = 0)
    {
        p.resize(rows ? rows : n, n);
        d1.resize(n, n);
        d2.resize(n, n);
    }
    ChDvSet dv() { return {p.data(), d1.data(), d2.data()}; }
};

// A nucleotide model of the given class with frequencies pi.
Model *dnaModel(uint32_t substClass, std::vector<double> pi, double tratio, bool f84)
{
    setModelEngineReleaser(releaseModelEngine);
    Model *m = createModel("t");
    m->type = kModelNucleotide;
    m->nstates = 4;
    m->substClass = substClass;
    m->tratio = tratio;
    m->F84 = f84;
    m->stateFreqs = pi;
    modelEngine(m)->pi = pi;
    modelEngine(m)->fxns.expFxn = nullptr;
    updateBetaForDnaModel(m);
    return m;
}

Model *gtrModel(const std::vector<double> &rates, std::vector<double> pi, uint32_t type = kModelNucleotide)
{
    setModelEngineReleaser(releaseModelEngine);
    Model *m = createModel("g");
    m->type = type;
    m->nstates = static_cast<uint32_t>(pi.size());
    m->substClass = kSubstSixRates;
    m->stateFreqs = pi;
    ModelEngineData *e = modelEngine(m);
    e->pi = pi;
    e->fullRates = rates;
    EXPECT_EQ(updateGTRmatrix(m), 0);
    return m;
}

struct Family {
    const char *name;
    ChgMatrixFxn p;
    ChDvMatrixFxn dv;
};

const std::vector<double> kPi{0.1, 0.2, 0.3, 0.4};

double maxAbs(const RowMatrix<double> &a, uint32_t n)
{
    double m = 0.0;
    for (uint32_t i = 0; i < n; ++i)
        for (uint32_t j = 0; j < n; ++j)
            m = std::max(m, std::fabs(a.rows[i][j]));
    return m;
}

// Every family on its own model: rows sum to 1, entries are probabilities,
// no change at t = 0, and a rate-0 category has zero derivatives.
void checkStochastic(const Model *m, const Family &f, uint32_t n)
{
    SCOPED_TRACE(f.name);
    Mats a(n);
    for (double t : {0.0, 1e-12, 0.01, 0.3, 2.0, 40.0}) {
        f.p(m, t, a.p.data());
        for (uint32_t i = 0; i < n; ++i) {
            double sum = 0.0;
            for (uint32_t j = 0; j < n; ++j) {
                EXPECT_GE(a.p.rows[i][j], 0.0) << "t=" << t;
                sum += a.p.rows[i][j];
                if (t == 0.0) {
                    EXPECT_EQ(a.p.rows[i][j], i == j ? 1.0 : 0.0);
                }
            }
            EXPECT_NEAR(sum, 1.0, 1e-12) << "t=" << t;
        }
    }
    f.dv(m, 0.7, 0.0, a.dv());
    for (uint32_t i = 0; i < n; ++i)
        for (uint32_t j = 0; j < n; ++j) {
            EXPECT_EQ(a.p.rows[i][j], i == j ? 1.0 : 0.0);
            EXPECT_EQ(a.d1.rows[i][j], 0.0);
            EXPECT_EQ(a.d2.rows[i][j], 0.0);
        }
}

// The derivative set at (t, r) against central differences of its own P
// (and of its first derivative), and its P against the plain P at r t.
void checkDerivatives(const Model *m, const Family &f, uint32_t n, double t, double r)
{
    SCOPED_TRACE(std::string(f.name) + " t=" + std::to_string(t) + " r=" + std::to_string(r));
    const double h = 1e-4 * t;
    Mats at(n), lo(n), hi(n), plain(n);
    f.dv(m, t, r, at.dv());
    f.dv(m, t - h, r, lo.dv());
    f.dv(m, t + h, r, hi.dv());
    f.p(m, t * r, plain.p.data());
    const double s1 = maxAbs(at.d1, n), s2 = maxAbs(at.d2, n);
    for (uint32_t i = 0; i < n; ++i)
        for (uint32_t j = 0; j < n; ++j) {
            EXPECT_NEAR(at.p.rows[i][j], plain.p.rows[i][j], 1e-12);
            const double c1 = (hi.p.rows[i][j] - lo.p.rows[i][j]) / (2 * h);
            const double c2 = (hi.d1.rows[i][j] - lo.d1.rows[i][j]) / (2 * h);
            EXPECT_NEAR(at.d1.rows[i][j], c1, 1e-7 * s1);
            EXPECT_NEAR(at.d2.rows[i][j], c2, 1e-7 * s2);
        }
}

TEST(ChgMatrix, NucleotideFamiliesAreStochasticWithExactDerivatives)
{
    ModelHolder hky(dnaModel(kSubstTwoRates, kPi, 3.0, false));
    ModelHolder f84(dnaModel(kSubstTwoRates, kPi, 3.0, true));
    ModelHolder k2p(dnaModel(kSubstTwoRates, {0.25, 0.25, 0.25, 0.25}, 3.0, false));
    ModelHolder gtr(gtrModel({1.3, 4.0, 0.7, 1.1, 5.0, 1.0}, kPi));
    const Family fh{"hky", hky_ChgMatrix, hky_ChDvMatrix};
    const Family ff{"f84", f84_ChgMatrix, f84_ChDvMatrix};
    const Family fk{"k2p", k2p_ChgMatrix, k2p_ChDvMatrix};
    const Family fg{"gtr", gtr_ChgMatrix, gtr_ChDvMatrix};
    for (auto [m, f] : {std::pair{hky.m, fh}, {f84.m, ff}, {k2p.m, fk}, {gtr.m, fg}}) {
        checkStochastic(m, f, 4);
        for (double t : {0.05, 0.8, 3.0})
            // K2P is a function of t alone (chosen only when every multiplier is 1).
            for (double r : f.p == k2p_ChgMatrix ? std::vector<double>{1.0} : std::vector<double>{1.0, 0.37, 2.6})
                checkDerivatives(m, f, 4, t, r);
    }
}

TEST(ChgMatrix, TwoStateAndEqualInputFamilies)
{
    setModelEngineReleaser(releaseModelEngine);
    ModelHolder cf(createModel("cf"));
    cf.m->type = kModelTwoState;
    cf.m->nstates = 2;
    modelEngine(cf.m)->pi = {0.3, 0.7};
    ModelHolder pp(createModel("pp"));
    pp.m->type = kModelStandard;
    pp.m->nstates = 5;
    modelEngine(pp.m)->pi = {0.1, 0.15, 0.2, 0.25, 0.3};
    updateBetaForGenericModel(pp.m);
    EXPECT_NEAR(modelEngine(pp.m)->beta, 1.0 / (1.0 - 0.225), 1e-15);
    const Family fc{"cf", cf_ChgMatrix, cf_ChDvMatrix};
    const Family fp{"pp", pp_ChgMatrix, pp_ChDvMatrix};
    checkStochastic(cf.m, fc, 2);
    checkStochastic(pp.m, fp, 5);
    for (double t : {0.1, 1.5})
        for (double r : {1.0, 0.4}) {
            checkDerivatives(cf.m, fc, 2, t, r);
            checkDerivatives(pp.m, fp, 5, t, r);
        }
    // Stationarity: pi P = pi.
    Mats a(5);
    pp_ChgMatrix(pp.m, 0.9, a.p.data());
    for (uint32_t j = 0; j < 5; ++j) {
        double s = 0.0;
        for (uint32_t i = 0; i < 5; ++i)
            s += modelEngine(pp.m)->pi[i] * a.p.rows[i][j];
        EXPECT_NEAR(s, modelEngine(pp.m)->pi[j], 1e-15);
    }
}

TEST(ChgMatrix, ClosedFormsCoincideAtJukesCantorSettings)
{
    const std::vector<double> eq{0.25, 0.25, 0.25, 0.25};
    // ti/tv ratio 0.5 with equal frequencies is Jukes-Cantor in all three forms.
    ModelHolder hky(dnaModel(kSubstTwoRates, eq, 0.5, false));
    ModelHolder f84(dnaModel(kSubstTwoRates, eq, 0.5, true));
    ModelHolder k2p(dnaModel(kSubstTwoRates, eq, 0.5, false));
    for (const Model *m : {hky.m, f84.m, k2p.m})
        EXPECT_NEAR(modelEngine(m)->beta, 4.0 / 3.0, 1e-15);
    Mats a(4), b(4), c(4);
    for (double t : {0.02, 0.5, 4.0}) {
        hky_ChgMatrix(hky.m, t, a.p.data());
        f84_ChgMatrix(f84.m, t, b.p.data());
        k2p_ChgMatrix(k2p.m, t, c.p.data());
        const double same = 0.25 + 0.75 * std::exp(-4.0 * t / 3.0);
        const double diff = 0.25 - 0.25 * std::exp(-4.0 * t / 3.0);
        for (uint32_t i = 0; i < 4; ++i)
            for (uint32_t j = 0; j < 4; ++j) {
                const double jc = i == j ? same : diff;
                EXPECT_NEAR(a.p.rows[i][j], jc, 1e-15);
                EXPECT_NEAR(b.p.rows[i][j], jc, 1e-15);
                EXPECT_NEAR(c.p.rows[i][j], jc, 1e-15);
            }
    }
}

TEST(ChgMatrix, GtrOnHkyShapedRatesEqualsHky)
{
    const double tratio = 2.5;
    ModelHolder hky(dnaModel(kSubstTwoRates, kPi, tratio, false));
    const double K = modelEngine(hky.m)->kappa;
    ModelHolder gtr(gtrModel({1.0, K, 1.0, 1.0, K, 1.0}, kPi));
    Mats a(4), b(4), da(4), db(4);
    for (double t : {0.01, 0.4, 2.0, 9.0}) {
        hky_ChgMatrix(hky.m, t, a.p.data());
        gtr_ChgMatrix(gtr.m, t, b.p.data());
        hky_ChDvMatrix(hky.m, t, 1.3, da.dv());
        gtr_ChDvMatrix(gtr.m, t, 1.3, db.dv());
        for (uint32_t i = 0; i < 4; ++i)
            for (uint32_t j = 0; j < 4; ++j) {
                EXPECT_NEAR(a.p.rows[i][j], b.p.rows[i][j], 1e-12);
                EXPECT_NEAR(da.d1.rows[i][j], db.d1.rows[i][j], 1e-12);
                EXPECT_NEAR(da.d2.rows[i][j], db.d2.rows[i][j], 1e-12);
            }
    }
}

TEST(ChgMatrix, AminoAcidEigenPathInBothPrecisions)
{
    const AAMatrix *lg = getAAMatrix(kAAMatrixLG);
    ASSERT_NE(lg, nullptr);
    std::vector<double> pi(lg->pi, lg->pi + 20), rates(lg->rmatrix, lg->rmatrix + 190);
    double sum = 0.0;
    for (double p : pi)
        sum += p;
    for (double &p : pi)
        p /= sum;
    setModelEngineReleaser(releaseModelEngine);
    ModelHolder aa(createModel("lg"));
    aa.m->type = kModelAminoAcid;
    aa.m->nstates = 20;
    aa.m->stateFreqs = pi;
    ModelEngineData *e = modelEngine(aa.m);
    e->pi = pi;
    e->fullRates = rates;
    e->diag = allocMatrixDiag(20, false, true, 0, true);
    ASSERT_EQ(updateGTRmatrix(aa.m), 0);
    // Mean rate 1: -sum pi_i Q_ii.
    double mean = 0.0;
    for (uint32_t i = 0; i < 20; ++i)
        mean -= pi[i] * e->q.rows[i][i];
    EXPECT_NEAR(mean, 1.0, 1e-12);
    const Family fg{"gtr20", gtr_ChgMatrix, gtr_ChDvMatrix};
    checkStochastic(aa.m, fg, 20);
    checkDerivatives(aa.m, fg, 20, 0.3, 1.0);
    checkDerivatives(aa.m, fg, 20, 1.7, 0.6);
    // The float path agrees with the double path to single precision.
    Mats d(20), f(20);
    for (double t : {0.05, 0.9}) {
        gtr_ChDvMatrix(aa.m, t, 1.2, d.dv());
        gtr_ChDvMatrix_Vec(aa.m, t, 1.2, f.dv());
        gtr_ChgMatrix_Vec(aa.m, t * 1.2, f.p.data());
        for (uint32_t i = 0; i < 20; ++i)
            for (uint32_t j = 0; j < 20; ++j) {
                EXPECT_NEAR(f.p.rows[i][j], d.p.rows[i][j], 2e-6);
                EXPECT_GE(f.p.rows[i][j], 0.0);
                EXPECT_NEAR(f.d1.rows[i][j], d.d1.rows[i][j], 2e-5);
                EXPECT_NEAR(f.d2.rows[i][j], d.d2.rows[i][j], 5e-5);
            }
    }
}

TEST(ChgMatrix, TipRowsSumTheirMembersColumns)
{
    ModelHolder hky(dnaModel(kSubstTwoRates, kPi, 2.0, false));
    modelEngine(hky.m)->fxns.chgMatrix = hky_ChgMatrix;
    const uint8_t ag[] = {2, 0, 2}, cgt[] = {3, 1, 2, 3};
    const uint8_t *lists[] = {ag, cgt};
    const TipInfo tip{7, lists};
    Mats plain(4), tipped(4, 7);
    hky_ChgMatrix(hky.m, 0.6, plain.p.data());
    ASSERT_EQ(calcChgMatrix(&tip, nullptr, hky.m, 4, tipped.p.data(), 0.6), 0);
    for (uint32_t i = 0; i < 4; ++i) {
        for (uint32_t c = 0; c < 4; ++c)
            EXPECT_EQ(tipped.p.rows[c][i], plain.p.rows[i][c]);
        EXPECT_EQ(tipped.p.rows[4][i], 1.0);
        EXPECT_DOUBLE_EQ(tipped.p.rows[5][i], plain.p.rows[i][0] + plain.p.rows[i][2]);
        EXPECT_DOUBLE_EQ(tipped.p.rows[6][i], plain.p.rows[i][1] + plain.p.rows[i][2] + plain.p.rows[i][3]);
    }
    // A model without a P function is refused, not given an identity.
    modelEngine(hky.m)->fxns.chgMatrix = nullptr;
    EXPECT_EQ(calcChgMatrix(nullptr, nullptr, hky.m, 4, tipped.p.data(), 0.6), 1);
}

}  // namespace
