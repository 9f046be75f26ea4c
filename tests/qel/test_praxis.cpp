#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "qel/qel_interrupts.h"
#include "qel/qel_praxis.h"

namespace {

struct Objective {
    double (*g)(const double *x, uint32_t n);
    uint32_t n;
    std::vector<std::vector<double>> points;  // every point evaluated
    long abortAfter = -1;
    int abortValue = 1;
};

double evaluate(const double *x, void *arg)
{
    auto *o = static_cast<Objective *>(arg);
    o->points.emplace_back(x, x + o->n);
    if (o->abortAfter >= 0 && static_cast<long>(o->points.size()) == o->abortAfter)
        setAbortedStatus(static_cast<uint32_t>(o->abortValue));
    return o->g(x, o->n);
}

double rosenbrock(const double *x, uint32_t)
{
    const double a = x[1] - x[0] * x[0], b = 1.0 - x[0];
    return 100.0 * a * a + b * b;
}

double offsetSquares(const double *x, uint32_t n)
{
    double s = 0.0;
    for (uint32_t i = 0; i < n; ++i)
        s += (x[i] - i) * (x[i] - i);
    return s;
}

// A badly scaled, correlated quadratic in 9 parameters: minimum 1.5 at
// x[i] = 1 + i / 4 (written out independently of the minimiser).
double correlatedQuadratic(const double *x, uint32_t n)
{
    double s = 1.5;
    for (uint32_t i = 0; i < n; ++i) {
        const double u = x[i] - (1.0 + i / 4.0);
        s += (i + 1.0) * (i + 1.0) * u * u;
        if (i + 1 < n) {
            const double w = x[i + 1] - (1.0 + (i + 1) / 4.0);
            s += u * w;  // diagonally dominant: stays positive definite
        }
    }
    return s;
}

struct RecordDeleter {
    void operator()(PraxisData *r) const { destroyPraxisData(r); }
};
using Record = std::unique_ptr<PraxisData, RecordDeleter>;

class Praxis : public ::testing::Test {
protected:
    void SetUp() override { setAbortedStatus(0); }
    void TearDown() override { setAbortedStatus(0); }
};

TEST_F(Praxis, MinimisesRosenbrockAndACorrelatedQuadratic)
{
    std::vector<double> x{-1.2, 1.0};
    Objective rb{rosenbrock, 2, {}};
    Record r(createPraxisData(x.data(), 2, false));
    ASSERT_TRUE(r);
    MinStatus status = MinStatus::kAborted;
    const double fx = praxis(2, evaluate, &rb, r.get(), 1e-8, 1.0, &status);
    EXPECT_EQ(status, MinStatus::kDone);
    EXPECT_NEAR(x[0], 1.0, 1e-5);
    EXPECT_NEAR(x[1], 1.0, 1e-5);
    EXPECT_LT(fx, 1e-10);
    EXPECT_EQ(fx, rosenbrock(x.data(), 2));  // the value belongs to the point left in x

    std::vector<double> q(9, 0.0);
    Objective quad{correlatedQuadratic, 9, {}};
    Record rq(createPraxisData(q.data(), 9, false));
    const double fq = praxis(9, evaluate, &quad, rq.get(), 1e-9, 2.0, &status);
    EXPECT_EQ(status, MinStatus::kDone);
    for (uint32_t i = 0; i < 9; ++i)
        EXPECT_NEAR(q[i], 1.0 + i / 4.0, 1e-6) << i;
    EXPECT_NEAR(fq, 1.5, 1e-11);
    EXPECT_EQ(fq, correlatedQuadratic(q.data(), 9));
}

TEST_F(Praxis, TwoRunsTakeTheSamePath)
{
    // Ill-conditioned from the start, so the random steps are exercised too.
    auto run = [](Objective &o, std::vector<double> &x, uint8_t illc) {
        Record r(createPraxisData(x.data(), o.n, false));
        r->illConditioned = illc;
        return praxis(o.n, evaluate, &o, r.get(), 1e-7, 1.0, nullptr);
    };
    for (uint8_t illc : {0, 1}) {
        std::vector<double> x1(9, 0.0), x2(9, 0.0);
        Objective a{correlatedQuadratic, 9, {}}, b{correlatedQuadratic, 9, {}};
        const double f1 = run(a, x1, illc), f2 = run(b, x2, illc);
        EXPECT_EQ(f1, f2);
        EXPECT_EQ(x1, x2);
        EXPECT_EQ(a.points, b.points);
        EXPECT_NEAR(f1, 1.5, 1e-9);
    }
}

TEST_F(Praxis, DefaultsAndTheOffsetSquares)
{
    std::vector<double> x(3, 0.0), y(3, 0.0), z(3, 0.0);
    Objective a{offsetSquares, 3, {}}, b{offsetSquares, 3, {}}, c{offsetSquares, 3, {}};
    Record ra(createPraxisData(x.data(), 3, false));
    Record rb(createPraxisData(y.data(), 3, false));
    Record rc(createPraxisData(z.data(), 3, false));
    const double fa = praxis(3, evaluate, &a, ra.get(), 1e-8, 1.0, nullptr);
    for (uint32_t i = 0; i < 3; ++i)
        EXPECT_NEAR(x[i], i, 1e-6);
    EXPECT_LT(fa, 1e-12);
    // Tolerance and step of zero or below take the defaults 1e-5 and 1.
    const double fb = praxis(3, evaluate, &b, rb.get(), 0.0, 0.0, nullptr);
    const double fc = praxis(3, evaluate, &c, rc.get(), 1e-5, 1.0, nullptr);
    EXPECT_EQ(fb, fc);
    EXPECT_EQ(b.points, c.points);
}

TEST_F(Praxis, OneParameterIsMinimisedRatherThanLeftHanging)
{
    std::vector<double> x{10.0};
    Objective o{offsetSquares, 1, {}};  // (x - 0)^2
    Record r(createPraxisData(x.data(), 1, false));
    MinStatus status = MinStatus::kAborted;
    const double fx = praxis(1, evaluate, &o, r.get(), 1e-7, 1.0, &status);
    EXPECT_EQ(status, MinStatus::kDone);
    EXPECT_NEAR(x[0], 0.0, 1e-6);
    EXPECT_EQ(fx, x[0] * x[0]);
    EXPECT_LT(o.points.size(), 200u);
}

// A minimum approached only as one parameter runs off to minus infinity
// (a rate ratio pressed against its floor, in logs): the search ends, with
// the other parameter at its optimum.
double runawayValley(const double *x, uint32_t)
{
    return (x[0] - 1.0) * (x[0] - 1.0) + std::exp(x[1]);
}

TEST_F(Praxis, AMinimumAtInfinityStillEnds)
{
    for (bool single : {false, true}) {
        std::vector<double> x{0.0, 0.0};
        Objective o{runawayValley, 2, {}};
        Record r(createPraxisData(x.data(), 2, single));
        MinStatus status = MinStatus::kAborted;
        praxis(2, evaluate, &o, r.get(), 1e-4, 1.0, &status);
        EXPECT_EQ(status, MinStatus::kDone);
        EXPECT_NEAR(x[0], 1.0, 1e-3);
        EXPECT_LT(std::exp(x[1]), 1e-6);
        EXPECT_LT(o.points.size(), 100000u);
    }
}

TEST_F(Praxis, AnInterruptStopsWithTheBestPoint)
{
    auto start = [](Objective &o, std::vector<double> &x, MinStatus *status) {
        x = {-1.2, 1.0};
        Record r(createPraxisData(x.data(), 2, true));
        r->illConditioned = 1;  // random steps go uphill; they must not be left in x
        return praxis(2, evaluate, &o, r.get(), 1e-10, 1.0, status);
    };
    std::vector<double> xWhole;
    Objective whole{rosenbrock, 2, {}};
    start(whole, xWhole, nullptr);
    const long total = static_cast<long>(whole.points.size());
    ASSERT_GT(total, 40);
    // Every possible moment, so that some land right after a random step.
    for (int flag : {1, -1}) {
        for (long after = 1; after < total; ++after) {
            std::vector<double> x;
            Objective o{rosenbrock, 2, {}};
            o.abortAfter = after;
            o.abortValue = flag;
            MinStatus status = MinStatus::kDone;
            const double fx = start(o, x, &status);
            EXPECT_EQ(status, MinStatus::kAborted) << after;
            // Stopped within one line search of the request.
            EXPECT_LT(o.points.size(), static_cast<size_t>(after + 20));
            // The same path as the uninterrupted run up to the request.
            EXPECT_TRUE(std::equal(o.points.begin(), o.points.begin() + after,
                                   whole.points.begin()));
            double lowest = 1e300;
            for (const auto &p : o.points)
                lowest = std::fmin(lowest, rosenbrock(p.data(), 2));
            EXPECT_EQ(fx, rosenbrock(x.data(), 2));
            // Every line search keeps the lowest of its trials, so the best
            // accepted point is the lowest evaluated: not an uphill random step.
            EXPECT_EQ(fx, lowest) << after;
            setAbortedStatus(0);
        }
    }
}

}  // namespace
