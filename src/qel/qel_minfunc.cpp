#include "qel/qel_detmath.h"
#include "qel/qel_minfunc.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <vector>

#include "qel/qel_brent.h"
#include "qel/qel_malloc.h"
#include "qel/qel_math.h"
#include "qel/qel_oututil.h"

// The packaged L-BFGS-B 3.0 entry (gfortran: default INTEGER and LOGICAL are
// 4 bytes; the two CHARACTER*60 arguments carry hidden lengths at the end).
extern "C" void setulb_(const int32_t *n, const int32_t *m, double *x, const double *l,
                        const double *u, const int32_t *nbd, double *f, double *g,
                        const double *factr, const double *pgtol, double *wa, int32_t *iwa,
                        char *task, const int32_t *iprint, char *csave, int32_t *lsave,
                        int32_t *isave, double *dsave, size_t taskLength, size_t csaveLength);

namespace {

constexpr size_t kTaskLength = 60;

bool taskStartsWith(const char *task, const char *prefix)
{
    return std::strncmp(task, prefix, std::strlen(prefix)) == 0;
}

}  // namespace

BFGSData *createBFGSData(double *x, int32_t n, int32_t m, bool singlePrecision)
{
    if (n <= 0 || m <= 0)
        return nullptr;
    auto *record = allocArrayOf<BFGSData>(1);
    if (record == nullptr)
        return nullptr;
    const uint64_t un = static_cast<uint64_t>(n);
    const uint64_t um = static_cast<uint64_t>(m);
    record->x = x;
    record->g = allocArrayOf<double>(3 * un);
    record->nbd = allocArrayOf<int32_t>(un);
    record->wa = allocArrayOf<double>((2 * um + 5) * un + 12 * um * um + 12 * um);
    record->iwa = allocArrayOf<int32_t>(3 * un);
    if (memoryErrorHasOccurred() || record->g == nullptr || record->nbd == nullptr ||
        record->wa == nullptr || record->iwa == nullptr) {
        destroyBFGSData(record);
        return nullptr;
    }
    record->l = record->g + un;
    record->u = record->g + 2 * un;
    record->machinePrecision = singlePrecision ? kSingleMachinePrecision : kDoubleMachinePrecision;
    record->sqrtPrecision = std::sqrt(record->machinePrecision);
    return record;
}

void destroyBFGSData(BFGSData *record)
{
    if (record == nullptr)
        return;
    deallocArray(record->g);
    deallocArray(record->nbd);
    deallocArray(record->wa);
    deallocArray(record->iwa);
    deallocArray(record);
}

int optimizeLBFGS(BFGSObjective f, void *arg, int32_t n, int32_t m, BFGSData *record,
                  double *fOut, int32_t iprint, double factr, double pgtol)
{
    // The packaged solver tests against the double precision internally;
    // scaling factr keeps the test at factr times the record's precision.
    const double scaledFactr = factr * (record->machinePrecision / kDoubleMachinePrecision);
    char task[kTaskLength];
    std::memset(task, ' ', kTaskLength);
    std::memcpy(task, "START", 5);

    // An abort hands back the lowest point evaluated, not a line-search trial.
    std::vector<double> bestX(record->x, record->x + std::max(n, 0));
    double bestF = std::numeric_limits<double>::infinity();

    auto callSolver = [&] {
        setulb_(&n, &m, record->x, record->l, record->u, record->nbd, fOut, record->g,
                &scaledFactr, &pgtol, record->wa, record->iwa, task, &iprint, record->csave,
                record->lsave, record->isave, record->dsave, kTaskLength, sizeof record->csave);
    };

    AbortPoll poll;
    callSolver();
    for (;;) {
        if (taskStartsWith(task, "FG")) {
            *fOut = f(n, record, arg);
            if (*fOut < bestF) {
                bestF = *fOut;
                std::copy(record->x, record->x + n, bestX.begin());
            }
            // The same rule as the other minimisers: a cancel, or an abort
            // in force from the start, stops at once; a new one is confirmed.
            if (poll.stop()) {
                if (bestF < std::numeric_limits<double>::infinity()) {
                    std::copy(bestX.begin(), bestX.end(), record->x);
                    *fOut = bestF;
                }
                return kLBFGSAborted;
            }
        } else if (!taskStartsWith(task, "NEW_X")) {
            return taskStartsWith(task, "CONV") ? kLBFGSConverged : kLBFGSStopped;
        }
        callSolver();
    }
}

double calcFiniteDifferenceDv(double *x, int32_t i, PlainObjective f, void *arg, double lower,
                              double upper, double hrel, double f0)
{
    const double x0 = x[i];
    double h = hrel * std::max(1.0, std::fabs(x0));
    // A parameter whose bounds lie closer than the step on both sides gets a
    // shorter step; the loop ends once the step no longer moves x0.
    while (h > 0.0) {
        double dp = 0.0, Dp = 0.0, dm = 0.0, Dm = 0.0;
        // The step taken is the stored value minus x0, so that rounding of
        // x0 + h does not enter the quotient.
        x[i] = x0 + h;
        if (x[i] <= upper && x[i] != x0) {
            dp = x[i] - x0;
            Dp = f(x, arg) - f0;
        }
        x[i] = x0 - h;
        if (x[i] >= lower && x[i] != x0) {
            dm = x0 - x[i];
            Dm = f0 - f(x, arg);
        }
        x[i] = x0;
        if (dp + dm > 0.0)
            return (Dp + Dm) / (dp + dm);
        if (x0 + h == x0)
            break;
        h *= 0.5;
    }
    return 0.0;
}

double calcFiniteDifferenceDvForBFGS(BFGSData *record, int32_t i, PlainObjective f, void *arg,
                                     double f0)
{
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const int32_t type = record->nbd[i];
    const double lower = (type == kBoundLower || type == kBoundBoth) ? record->l[i] : -kInf;
    const double upper = (type == kBoundUpper || type == kBoundBoth) ? record->u[i] : kInf;
    return calcFiniteDifferenceDv(record->x, i, f, arg, lower, upper, record->sqrtPrecision, f0);
}

void showBFGSPointAndGradient(int32_t n, const double *x, const double *g)
{
    const auto count = static_cast<uint32_t>(std::max(n, 0));
    listArray(kNumDouble, x, count, false, " %g", "  x  = ");
    listArray(kNumDouble, g, count, false, " %g", "  g  = ");
}

double logTransformForLB(double x, double lb) { return log_safe(x - lb); }

double logBacktransformForLB(double y, double lb) { return exp_safe(y) + lb; }

double asinSqrtTransform(double x, double lo, double hi)
{
    return detAsin(std::min(std::sqrt(std::max((x - lo) / (hi - lo), 0.0)), 1.0));
}

double asinSqrtBacktransform(double y, double lo, double hi)
{
    const double s = detSin(y);
    return (hi - lo) * s * s + lo;
}

double logitTransform(double x, double lo, double hi)
{
    // At and below lo the ratio is infinite; the result is clamped to the
    // mirror of the upper end, -log_safe(0), so both ends stay finite.
    const double lowest = detLog(kLogSafeFloor);
    const double offset = std::max(x - lo, 0.0);
    if (offset <= 0.0)
        return lowest;
    return std::max(-log_safe((hi - lo) / offset - 1.0), lowest);
}

double logitBacktransform(double y, double lo, double hi)
{
    return (hi - lo) / (1.0 + exp_safe(-y)) + lo;
}
