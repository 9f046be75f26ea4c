// Choice of the unordered kernel table. The choice is made once, on first
// use, and read through one atomic pointer: callers load the table once per
// pass and never test the variant inside their loops.
#include <atomic>
#include <cstdlib>
#include <cstring>

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

const UnoKernels *initialChoice()
{
    const char *want = std::getenv("VORN_KERNELS");
    if (want && std::strcmp(want, "generic") == 0)
        return &unoKernelsGeneric();
    return cpuHasAvx2() ? &unoKernelsAvx2() : &unoKernelsGeneric();
}

std::atomic<const UnoKernels *> &current()
{
    static std::atomic<const UnoKernels *> table{initialChoice()};
    return table;
}

}  // namespace

#if !VORN_KERNELS_AVX2
// Builds without the AVX2 file still link; the table is never selected.
const UnoKernels &unoKernelsAvx2() { return unoKernelsGeneric(); }
#endif

const UnoKernels &unoKernels() { return *current().load(std::memory_order_acquire); }

bool unoKernelsAvailable(UnoKernelVariant v) { return v == UnoKernelVariant::Generic || cpuHasAvx2(); }

const UnoKernels *unoKernelsOf(UnoKernelVariant v)
{
    if (!unoKernelsAvailable(v))
        return nullptr;
    return v == UnoKernelVariant::Avx2 ? &unoKernelsAvx2() : &unoKernelsGeneric();
}

bool selectUnoKernels(UnoKernelVariant v)
{
    const UnoKernels *t = unoKernelsOf(v);
    if (!t)
        return false;
    current().store(t, std::memory_order_release);
    return true;
}
