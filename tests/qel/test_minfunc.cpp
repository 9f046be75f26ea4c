#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "alloc_test_support.h"
#include "qel/qel_interrupts.h"
#include "qel/qel_math.h"
#include "qel/qel_minfunc.h"

namespace {

struct Counter {
    int evaluations = 0;
    int abortAfter = -1;         // raise the abort flag after this many evaluations
    uint32_t abortValue = 1;
    double bestF = std::numeric_limits<double>::infinity();
    std::vector<double> bestX;
    std::vector<double> values;  // every value, in order
    bool outsideBounds = false;  // a finite-difference point left the box
    double lo[2] = {-2, -2}, hi[2] = {2, 2};
};

double rosenbrock(const double *x)
{
    const double a = 1 - x[0], b = x[1] - x[0] * x[0];
    return a * a + 100 * b * b;
}

double rosenbrockWithGradient(int32_t, BFGSData *record, void *arg)
{
    auto *c = static_cast<Counter *>(arg);
    const double *x = record->x;
    const double b = x[1] - x[0] * x[0];
    record->g[0] = -2 * (1 - x[0]) - 400 * x[0] * b;
    record->g[1] = 200 * b;
    const double f = rosenbrock(x);
    ++c->evaluations;
    c->values.push_back(f);
    if (f < c->bestF) {
        c->bestF = f;
        c->bestX.assign(x, x + 2);
    }
    if (c->evaluations == c->abortAfter)
        setAbortedStatus(c->abortValue);
    return f;
}

double plainRosenbrock(double *x, void *arg)
{
    auto *c = static_cast<Counter *>(arg);
    for (int i = 0; i < 2; ++i)
        if (x[i] < c->lo[i] || x[i] > c->hi[i])
            c->outsideBounds = true;
    return rosenbrock(x);
}

double rosenbrockFiniteDifferences(int32_t n, BFGSData *record, void *arg)
{
    auto *c = static_cast<Counter *>(arg);
    ++c->evaluations;
    const double f0 = plainRosenbrock(record->x, arg);
    for (int32_t i = 0; i < n; ++i)
        record->g[i] = calcFiniteDifferenceDvForBFGS(record, i, plainRosenbrock, arg, f0);
    return f0;
}

struct Box {
    double x[2] = {-1.2, 1.0};
    BFGSData *record;
    explicit Box(bool single = false, int32_t type = kBoundBoth, double lo = -2, double hi = 2)
        : record(createBFGSData(x, 2, 5, single))
    {
        for (int i = 0; i < 2; ++i) {
            record->nbd[i] = type;
            record->l[i] = lo;
            record->u[i] = hi;
        }
    }
    ~Box() { destroyBFGSData(record); }
};

class MinimiserTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        wasMaster_ = setRunningAsMaster(false);
        setAbortedStatus(0);
    }
    void TearDown() override
    {
        setAbortedStatus(0);
        setRunningAsMaster(wasMaster_);
    }
    bool wasMaster_ = false;
};

TEST_F(MinimiserTest, RosenbrockWithGradientConvergesWithinTheReferenceBudget)
{
    Box box;
    ASSERT_NE(box.record, nullptr);
    Counter c;
    double f = -1;
    EXPECT_EQ(optimizeLBFGS(rosenbrockWithGradient, &c, 2, 5, box.record, &f, -1, 1e7, 0.0),
              kLBFGSConverged);
    EXPECT_NEAR(box.x[0], 1.0, 1e-5);
    EXPECT_NEAR(box.x[1], 1.0, 1e-5);
    EXPECT_LT(f, 1e-9);
    // R 4 needs 51 evaluations here (factr 1e7 and pgtol 0 are its defaults):
    //   fr <- function(x) 100 * (x[2] - x[1]^2)^2 + (1 - x[1])^2
    //   grr <- function(x) c(-400 * x[1] * (x[2] - x[1]^2) - 2 * (1 - x[1]), 200 * (x[2] - x[1]^2))
    //   optim(c(-1.2, 1), fr, grr, method = "L-BFGS-B", lower = -2, upper = 2)$counts
    // and the budget is one and a half times that.
    EXPECT_LE(c.evaluations, 76) << c.evaluations;

    // The same factr on a single-precision record is 2^29 times coarser, so
    // the run stops sooner and less precisely.
    Box coarse(true);
    Counter cc;
    EXPECT_EQ(optimizeLBFGS(rosenbrockWithGradient, &cc, 2, 5, coarse.record, &f, -1, 1e7, 0.0),
              kLBFGSConverged);
    EXPECT_LT(cc.evaluations, c.evaluations);
    EXPECT_GT(std::fabs(coarse.x[0] - 1.0), 1e-5);
}

double boxedQuadratic(int32_t n, BFGSData *record, void *)
{
    // Minimum 0 at x[i] = 0.1 i, inside [-1, 1] for n = 4; unequal curvatures.
    double f = 0.0;
    for (int32_t i = 0; i < n; ++i) {
        const double d = record->x[i] - 0.1 * i;
        f += (i + 1.0) * d * d;
        record->g[i] = 2.0 * (i + 1.0) * d;
    }
    return f;
}

TEST_F(MinimiserTest, AQuadraticInsideTheBoundsConvergesWithAZeroGradient)
{
    double x[4] = {-0.9, 0.9, -0.5, 0.7};
    BFGSData *record = createBFGSData(x, 4, 5, false);
    ASSERT_NE(record, nullptr);
    for (int i = 0; i < 4; ++i) {
        record->nbd[i] = kBoundBoth;
        record->l[i] = -1.0;
        record->u[i] = 1.0;
    }
    double f = -1;
    EXPECT_EQ(optimizeLBFGS(boxedQuadratic, nullptr, 4, 5, record, &f, -1, 1e7, 1e-10),
              kLBFGSConverged);
    for (int i = 0; i < 4; ++i) {
        EXPECT_NEAR(x[i], 0.1 * i, 1e-6) << i;
        EXPECT_NEAR(record->g[i], 0.0, 1e-5) << i;
    }
    EXPECT_LT(f, 1e-12);
    destroyBFGSData(record);
}

TEST_F(MinimiserTest, FiniteDifferencesReachAMinimumOnABound)
{
    // With x0 <= 0.5 the constrained minimum is (0.5, 0.25), where the
    // objective still falls towards larger x0.
    Box box(false, kBoundBoth, -2, 0.5);
    box.record->u[1] = 2;
    Counter c;
    c.hi[0] = 0.5;
    double f = -1;
    EXPECT_EQ(optimizeLBFGS(rosenbrockFiniteDifferences, &c, 2, 5, box.record, &f, -1, 1e7, 0.0),
              kLBFGSConverged);
    EXPECT_DOUBLE_EQ(box.x[0], 0.5);
    EXPECT_NEAR(box.x[1], 0.25, 1e-5);
    EXPECT_NEAR(f, 0.25, 1e-9);
    EXPECT_FALSE(c.outsideBounds);

    // Without a gradient and unbounded, the run still ends at (1, 1).
    Box free(false, kBoundNone);
    Counter cf;
    EXPECT_EQ(optimizeLBFGS(rosenbrockFiniteDifferences, &cf, 2, 5, free.record, &f, -1, 1e7,
                            0.0),
              kLBFGSConverged);
    EXPECT_NEAR(free.x[0], 1.0, 1e-4);
    EXPECT_NEAR(free.x[1], 1.0, 1e-4);
}

TEST_F(MinimiserTest, AnInterruptStopsAtTheBestPointEvaluated)
{
    // Stop at a line-search trial that is worse than an earlier point, so
    // that the last point evaluated is not the one to hand back.
    int stopAt = 0;
    {
        Box probe;
        Counter c;
        double f = 0;
        optimizeLBFGS(rosenbrockWithGradient, &c, 2, 5, probe.record, &f, -1, 1e7, 0.0);
        double best = c.values.at(0);
        for (size_t k = 1; k < c.values.size() && stopAt == 0; ++k) {
            if (c.values[k] > best)
                stopAt = static_cast<int>(k) + 1;
            best = std::min(best, c.values[k]);
        }
    }
    ASSERT_GT(stopAt, 1);
    // A positive flag (confirmed, since no terminal asks) and a negative
    // one (a cancel) both stop the run.
    for (uint32_t flag : {1u, static_cast<uint32_t>(-1)}) {
        SCOPED_TRACE(static_cast<int32_t>(flag));
        Box box;
        Counter c;
        c.abortAfter = stopAt;
        c.abortValue = flag;
        double f = -1;
        EXPECT_EQ(optimizeLBFGS(rosenbrockWithGradient, &c, 2, 5, box.record, &f, -1, 1e7, 0.0),
                  kLBFGSAborted);
        EXPECT_EQ(c.evaluations, stopAt);
        ASSERT_EQ(c.bestX.size(), 2u);
        EXPECT_LT(c.bestF, c.values.back());
        EXPECT_EQ(box.x[0], c.bestX[0]);
        EXPECT_EQ(box.x[1], c.bestX[1]);
        EXPECT_EQ(f, c.bestF);
        setAbortedStatus(0);
    }
}

TEST_F(MinimiserTest, SolverErrorsEndWithoutConvergence)
{
    // Inconsistent bounds are refused by the solver before any evaluation.
    Box box(false, kBoundBoth, 1, -1);
    Counter c;
    double f = 0;
    EXPECT_EQ(optimizeLBFGS(rosenbrockWithGradient, &c, 2, 5, box.record, &f, -1, 1e7, 0.0),
              kLBFGSStopped);
    EXPECT_EQ(c.evaluations, 0);
}

class BFGSAllocTest : public alloctest::AllocFailureTest {};

TEST_F(BFGSAllocTest, AFailedAllocationGivesNullAndFreesThePartialRecord)
{
    double x[3] = {};
    // Fail each of the five allocations in turn; the sanitizer's leak check
    // sees any block the failure path forgets.
    for (int64_t countdown = 0; countdown < 5; ++countdown) {
        SCOPED_TRACE(countdown);
        clearMemoryErrorStatus();
        qel_setAllocFailureCountdown(countdown);
        EXPECT_EQ(createBFGSData(x, 3, 4, false), nullptr);
    }
    qel_setAllocFailureCountdown(-1);
    clearMemoryErrorStatus();
    BFGSData *record = createBFGSData(x, 3, 4, false);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->nbd[2], kBoundNone);
    destroyBFGSData(record);
    destroyBFGSData(nullptr);
}

struct Cubic {
    double lo, hi;
    int outside = 0;
};

double cubic(double *x, void *arg)
{
    auto *c = static_cast<Cubic *>(arg);
    if (x[0] < c->lo || x[0] > c->hi)
        ++c->outside;
    return x[0] * x[0] * x[0];
}

TEST(FiniteDifferences, StepsStayInsideTheBoundsTheTypeApplies)
{
    double x[1] = {1.0};
    BFGSData *record = createBFGSData(x, 1, 3, false);
    ASSERT_NE(record, nullptr);
    record->l[0] = 1.0;
    record->u[0] = 1.0;
    const double h = record->sqrtPrecision;
    const double central = 3.0, forward = 3.0 + 3 * h, backward = 3.0 - 3 * h;
    struct Case {
        int32_t type;
        double lo, hi, expected;
    } cases[] = {
        {kBoundNone, -1e300, 1e300, central},  // bounds ignored
        {kBoundLower, 1.0, 1e300, forward},    // at its lower bound
        {kBoundUpper, -1e300, 1.0, backward},  // at its upper bound
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.type);
        record->nbd[0] = k.type;
        Cubic c{k.lo, k.hi};
        const double d = calcFiniteDifferenceDvForBFGS(record, 0, cubic, &c, 1.0);
        EXPECT_NEAR(d, k.expected, 1e-6);
        EXPECT_EQ(c.outside, 0);
        EXPECT_EQ(x[0], 1.0);
    }
    // Only the nearer side differs between one-sided and central steps.
    record->nbd[0] = kBoundLower;
    Cubic c{1.0, 1e300};
    EXPECT_GT(calcFiniteDifferenceDvForBFGS(record, 0, cubic, &c, 1.0), 3.0 + h);
    destroyBFGSData(record);
}

TEST(FiniteDifferences, ANarrowBoxShrinksTheStepAndAPointBoxGivesZero)
{
    // The box is far narrower than the step on both sides: a shorter step
    // still gives the slope instead of 0/0.
    double x[1] = {1.0};
    Cubic c{1.0 - 1e-11, 1.0 + 1e-11};
    const double d = calcFiniteDifferenceDv(x, 0, cubic, &c, c.lo, c.hi, 1e-8, 1.0);
    EXPECT_TRUE(std::isfinite(d));
    EXPECT_NEAR(d, 3.0, 1e-3);
    EXPECT_EQ(c.outside, 0);
    EXPECT_EQ(x[0], 1.0);

    Cubic point{1.0, 1.0};
    EXPECT_EQ(calcFiniteDifferenceDv(x, 0, cubic, &point, 1.0, 1.0, 1e-8, 1.0), 0.0);
    EXPECT_EQ(point.outside, 0);
    EXPECT_EQ(x[0], 1.0);
}

TEST(ParameterTransforms, RoundTripInsideAndStayFiniteAtAndBeyondTheBounds)
{
    const double lo = 0.5, hi = 3.0;
    for (double x : {0.51, 0.9, 1.75, 2.5, 2.99}) {
        SCOPED_TRACE(x);
        EXPECT_NEAR(logBacktransformForLB(logTransformForLB(x, lo), lo), x, 1e-12);
        EXPECT_NEAR(asinSqrtBacktransform(asinSqrtTransform(x, lo, hi), lo, hi), x, 1e-12);
        EXPECT_NEAR(logitBacktransform(logitTransform(x, lo, hi), lo, hi), x, 1e-12);
    }
    // Independent reference: logit((x - lo) / (hi - lo)).
    const double p = (1.75 - lo) / (hi - lo);
    EXPECT_NEAR(logitTransform(1.75, lo, hi), std::log(p / (1 - p)), 1e-12);
    EXPECT_NEAR(asinSqrtTransform(1.75, lo, hi), std::asin(std::sqrt(p)), 1e-12);

    EXPECT_DOUBLE_EQ(logTransformForLB(lo, lo), std::log(kLogSafeFloor));
    for (double x : {lo - 1.0, lo, hi, hi + 1.0}) {
        SCOPED_TRACE(x);
        const double y = logitTransform(x, lo, hi);
        EXPECT_TRUE(std::isfinite(y));
        EXPECT_TRUE(std::isfinite(logTransformForLB(x, lo)));
        EXPECT_NEAR(logitBacktransform(y, lo, hi), x < 1.0 ? lo : hi, 1e-9);
        EXPECT_DOUBLE_EQ(asinSqrtBacktransform(asinSqrtTransform(x, lo, hi), lo, hi),
                         x < 1.0 ? lo : hi);
    }
    // The two ends of the logit are mirror images.
    EXPECT_DOUBLE_EQ(logitTransform(lo, lo, hi), -logitTransform(hi, lo, hi));
    EXPECT_DOUBLE_EQ(asinSqrtTransform(hi + 1, lo, hi), M_PI / 2);
}

}  // namespace
