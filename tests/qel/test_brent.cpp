#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "qel/qel_brent.h"
#include "qel/qel_interrupts.h"

namespace {

// Records every trial point, so that tests can check what was evaluated.
struct Probe {
    double (*g)(double);
    std::vector<double> xs;
    long abortAfter = -1;  // raise the abort flag after this many evaluations
    int abortValue = 1;
};

double probeFn(const double *x, void *arg)
{
    auto *p = static_cast<Probe *>(arg);
    p->xs.push_back(*x);
    if (p->abortAfter >= 0 && static_cast<long>(p->xs.size()) == p->abortAfter)
        setAbortedStatus(static_cast<uint32_t>(p->abortValue));
    return p->g(*x);
}

double shifted(double x) { return (x - 3.0) * (x - 3.0); }
double sinCos(double x) { return std::sin(x) + std::cos(2.0 * x); }
double quartic(double x) { return x * x * x * x - 3.0 * x * x + x; }
double expLinear(double x) { return std::exp(x) - 4.0 * x; }
double hyperbola(double x) { return 1.0 / (1.0 + x); }

class Brent1D : public ::testing::Test {
protected:
    void SetUp() override { setAbortedStatus(0); }
    void TearDown() override { setAbortedStatus(0); }
};

TEST_F(Brent1D, LocalMinAgreesWithAnIndependentBrentImplementation)
{
    // References from R 4's optimize() (Brent's fmin, relative tolerance
    // sqrt(DBL_EPSILON), absolute tolerance tol / 3), produced once with
    //   Rscript -e 'options(digits=17); unlist(optimize(f, c(a, b), tol = tol))'
    struct Case {
        double (*g)(double);
        double a, b, tol, xRef, fRef;
    };
    const Case cases[] = {
        {shifted, 0.0, 10.0, 1e-8, 3.0, 0.0},
        {sinCos, 0.0, 4.0, 1e-9, 1.5707963268076406, 0.0},
        {quartic, -3.0, 3.0, 1e-7, -1.3008395655539817, -3.5139050389347890},
        {expLinear, -1.0, 5.0, 1e-10, 1.3862943608221623, -1.5451774444795623},
    };
    for (const Case &c : cases) {
        Probe probe{c.g, {}};
        double x = -99.0;
        MinStatus status = MinStatus::kAborted;
        const double fx = localMin(probeFn, &probe, &x, c.a, c.b, 0.0, c.tol / 3.0, &status);
        EXPECT_EQ(status, MinStatus::kDone);
        EXPECT_NEAR(x, c.xRef, c.tol) << c.a << ' ' << c.b;
        EXPECT_NEAR(fx, c.fRef, 1e-12);
        EXPECT_EQ(fx, c.g(x));  // the value belongs to the point returned
        for (double t : probe.xs) {
            EXPECT_GE(t, c.a);
            EXPECT_LE(t, c.b);
            EXPECT_GE(c.g(t), fx);  // nothing evaluated was lower than the answer
        }
    }
}

TEST_F(Brent1D, LocalMinOnANarrowIntervalStopsAfterTheFirstEvaluation)
{
    Probe probe{shifted, {}};
    double x = 0.0;
    const double fx = localMin(probeFn, &probe, &x, 1.0, 1.0 + 2e-6, 0.0, 1e-6, nullptr);
    ASSERT_EQ(probe.xs.size(), 1u);
    EXPECT_DOUBLE_EQ(x, 1.0 + 0.3819660113 * 2e-6);
    EXPECT_EQ(fx, shifted(x));
}

TEST_F(Brent1D, BrentFromTwoStartingPointsFindsTheMinimumInEitherOrder)
{
    const double t = 1e-6;
    double xUp = 0.0, xDown = 0.0;
    Probe up{shifted, {}}, down{shifted, {}};
    MinStatus s1 = MinStatus::kAborted, s2 = MinStatus::kAborted;
    const double f1 = minimizeBrent1D(probeFn, &up, &xUp, 0.0, 1.0, 0.0, t, 0.0, &s1);
    const double f2 = minimizeBrent1D(probeFn, &down, &xDown, 1.0, 0.0, 0.0, t, 0.0, &s2);
    EXPECT_EQ(s1, MinStatus::kDone);
    EXPECT_EQ(s2, MinStatus::kDone);
    EXPECT_NEAR(xUp, 3.0, 3 * t);
    EXPECT_NEAR(f1, 0.0, 1e-10);
    // The worse starting point is taken first, so the path is the same.
    EXPECT_EQ(xUp, xDown);
    EXPECT_EQ(f1, f2);
    EXPECT_EQ(up.xs.size(), down.xs.size());
}

TEST_F(Brent1D, BracketEnclosesTheMinimumAndBoundsEachJump)
{
    // Downhill from 0 towards the deeper of the two minima of the quartic.
    Probe probe{quartic, {}};
    const Bracket br = bracketMinimum(probeFn, &probe, 0.0, -0.1, 0.0);
    EXPECT_EQ(br.status, MinStatus::kDone);
    EXPECT_LT(br.lo, -1.3008395655539817);
    EXPECT_GT(br.hi, -1.3008395655539817);

    // A function falling without end: the bracket keeps growing until
    // interrupted. A parabolic jump lands at most growLimit times the last
    // interval beyond the last-but-one point, so no trial lies further than
    // (growLimit - 1) times the span so far beyond the furthest point
    // (a golden step, 1.618 times, is inside that for growLimit 3).
    Probe fall{hyperbola, {}};
    fall.abortAfter = 30;  // the search never ends on its own
    const double growLimit = 3.0;
    const Bracket open = bracketMinimum(probeFn, &fall, 0.0, 1.0, growLimit);
    EXPECT_EQ(open.status, MinStatus::kAborted);
    ASSERT_EQ(fall.xs.size(), 30u);
    double lo = fall.xs[0], hi = fall.xs[0];
    for (size_t i = 1; i < fall.xs.size(); ++i) {
        if (i >= 2) {
            EXPECT_LE(fall.xs[i], hi + (growLimit - 1.0) * (hi - lo) * (1 + 1e-12)) << i;
        }
        lo = std::fmin(lo, fall.xs[i]);
        hi = std::fmax(hi, fall.xs[i]);
    }
    EXPECT_GT(hi, 1e3);
    // The best point so far is handed back, not (0, 0) as a minimum.
    EXPECT_EQ(open.bestX, hi);
    EXPECT_EQ(open.bestF, hyperbola(hi));
}

TEST_F(Brent1D, AnInterruptStopsEachMinimiserWithTheBestPoint)
{
    for (int flag : {1, -1}) {  // an interrupt and a cancel
        for (long after : {1L, 2L, 5L, 9L}) {
            Probe probe{sinCos, {}};
            probe.abortAfter = after;
            probe.abortValue = flag;
            double x = -99.0;
            MinStatus status = MinStatus::kDone;
            const double fx = localMin(probeFn, &probe, &x, 0.0, 4.0, 0.0, 1e-9, &status);
            EXPECT_EQ(status, MinStatus::kAborted);
            EXPECT_EQ(probe.xs.size(), static_cast<size_t>(after));  // stopped at once
            double lowest = 1e300;
            for (double t : probe.xs)
                lowest = std::fmin(lowest, sinCos(t));
            EXPECT_EQ(fx, lowest);
            EXPECT_EQ(sinCos(x), fx);
            setAbortedStatus(0);

            Probe whole{sinCos, {}};
            double xWhole = 0.0;
            minimizeBrent1D(probeFn, &whole, &xWhole, 0.0, 1.0, 0.0, 1e-9, 0.0, nullptr);
            ASSERT_GT(whole.xs.size(), 10u);
            // in the bracketing, and in the narrowing that follows it
            for (long bracketAfter : {after, static_cast<long>(whole.xs.size()) - 1}) {
                Probe p2{sinCos, {}};
                p2.abortAfter = bracketAfter;
                p2.abortValue = flag;
                double x2 = -99.0;
                MinStatus s2 = MinStatus::kDone;
                const double f2 =
                    minimizeBrent1D(probeFn, &p2, &x2, 0.0, 1.0, 0.0, 1e-9, 0.0, &s2);
                EXPECT_EQ(s2, MinStatus::kAborted);
                double low2 = 1e300;
                for (double t : p2.xs)
                    low2 = std::fmin(low2, sinCos(t));
                EXPECT_EQ(f2, low2);
                EXPECT_EQ(sinCos(x2), f2);
                EXPECT_EQ(p2.xs.size(), static_cast<size_t>(bracketAfter));
                setAbortedStatus(0);
            }
        }
    }
}

TEST_F(Brent1D, AnAbortInForceBeforeTheStartEndsAfterTheFirstEvaluation)
{
    setAbortedStatus(1);
    Probe probe{shifted, {}};
    double x = -99.0;
    MinStatus status = MinStatus::kDone;
    const double fx = localMin(probeFn, &probe, &x, 0.0, 10.0, 0.0, 1e-6, &status);
    EXPECT_EQ(status, MinStatus::kAborted);
    EXPECT_EQ(probe.xs.size(), 1u);
    EXPECT_EQ(x, probe.xs[0]);
    EXPECT_EQ(fx, shifted(x));
}

}  // namespace
