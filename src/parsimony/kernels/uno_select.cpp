// Choice of the unordered and ordered kernel tables. The choice is made once, on first
// use, and read through one atomic pointer: callers load the table once per
// pass and never test the variant inside their loops.
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "parsimony/kernels/dol_steps.h"
#include "parsimony/kernels/irr_steps.h"
#include "parsimony/kernels/uno_kernels.h"

namespace {

bool cpuHasAvx2()
{
#if VORN_KERNELS_AVX2
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

// Both classes' tables of one variant, switched together.
struct KernelChoice {
    const UnoKernels *uno;
    const WagKernels *wag;
    const StmKernels *stm;
    const IrrStepKernels *irr;
    const DolStepKernels *dol;
};

const KernelChoice *choiceOf(UnoKernelVariant v)
{
    static const KernelChoice generic{&unoKernelsGeneric(), &wagKernelsGeneric(), &stmKernelsGeneric(),
                                        &irrStepKernelsGeneric(), &dolStepKernelsGeneric()};
    static const KernelChoice avx2{&unoKernelsAvx2(), &wagKernelsAvx2(), &stmKernelsAvx2(), &irrStepKernelsAvx2(),
                                     &dolStepKernelsAvx2()};
    if (v == UnoKernelVariant::Generic)
        return &generic;
    return cpuHasAvx2() ? &avx2 : nullptr;
}

const KernelChoice *initialChoice()
{
    const char *want = std::getenv("VORN_KERNELS");
    if (want && std::strcmp(want, "generic") == 0)
        return choiceOf(UnoKernelVariant::Generic);
    const KernelChoice *best = choiceOf(UnoKernelVariant::Avx2);
    return best ? best : choiceOf(UnoKernelVariant::Generic);
}

std::atomic<const KernelChoice *> &current()
{
    static std::atomic<const KernelChoice *> choice{initialChoice()};
    return choice;
}

}  // namespace

#if !VORN_KERNELS_AVX2
// Builds without the AVX2 files still link; the tables are never selected.
const UnoKernels &unoKernelsAvx2() { return unoKernelsGeneric(); }
const WagKernels &wagKernelsAvx2() { return wagKernelsGeneric(); }
const StmKernels &stmKernelsAvx2() { return stmKernelsGeneric(); }
const IrrStepKernels &irrStepKernelsAvx2() { return irrStepKernelsGeneric(); }
const DolStepKernels &dolStepKernelsAvx2() { return dolStepKernelsGeneric(); }
#endif

const UnoKernels &unoKernels() { return *current().load(std::memory_order_acquire)->uno; }
const WagKernels &wagKernels() { return *current().load(std::memory_order_acquire)->wag; }
const StmKernels &stmKernels() { return *current().load(std::memory_order_acquire)->stm; }
const IrrStepKernels &irrStepKernels() { return *current().load(std::memory_order_acquire)->irr; }
const DolStepKernels &dolStepKernels() { return *current().load(std::memory_order_acquire)->dol; }

bool unoKernelsAvailable(UnoKernelVariant v) { return choiceOf(v) != nullptr; }

namespace {
// One table of a variant's choice, or null when the variant is not available.
template <class Table>
const Table *tableOf(UnoKernelVariant v, const Table *KernelChoice::*table)
{
    const KernelChoice *c = choiceOf(v);
    return c ? c->*table : nullptr;
}
}  // namespace

const UnoKernels *unoKernelsOf(UnoKernelVariant v) { return tableOf(v, &KernelChoice::uno); }
const WagKernels *wagKernelsOf(UnoKernelVariant v) { return tableOf(v, &KernelChoice::wag); }
const IrrStepKernels *irrStepKernelsOf(UnoKernelVariant v) { return tableOf(v, &KernelChoice::irr); }
const DolStepKernels *dolStepKernelsOf(UnoKernelVariant v) { return tableOf(v, &KernelChoice::dol); }
const StmKernels *stmKernelsOf(UnoKernelVariant v) { return tableOf(v, &KernelChoice::stm); }

bool selectUnoKernels(UnoKernelVariant v)
{
    const KernelChoice *c = choiceOf(v);
    if (!c)
        return false;
    current().store(c, std::memory_order_release);
    return true;
}
