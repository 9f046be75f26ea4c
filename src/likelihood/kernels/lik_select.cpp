// Choice of a likelihood kernel table. A model group chooses once, when it
// is set up, and calls through the table from then on; nothing here is read
// inside a loop.
#include <cstdlib>
#include <cstring>

#include "likelihood/kernels/lik_kernels.h"

#ifndef VORN_KERNELS_SSE
#define VORN_KERNELS_SSE 0
#endif

namespace {

bool cpuHasAvx2Fma()
{
#if VORN_KERNELS_AVX2
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
    return false;
#endif
}

bool genericRequested()
{
    const char *want = std::getenv("VORN_KERNELS");
    return want != nullptr && std::strcmp(want, "generic") == 0;
}

}  // namespace

#if !VORN_KERNELS_SSE
// Builds without the vector files still link; their tables are never chosen.
const LikKernels &likKernels_Dna_Vec_Sse() { return likKernels_SP(); }
const LikKernels &likKernels_Gen_Vec_Sse() { return likKernels_SP(); }
#endif
#if !VORN_KERNELS_AVX2
const LikKernels &likKernels_Dna_Vec_Avx2() { return likKernels_SP(); }
const LikKernels &likKernels_Gen_Vec_Avx2() { return likKernels_SP(); }
#endif

const LikKernels *likKernelsOf(LikKernelSet set, LikIsa isa)
{
    switch (set) {
    case LikKernelSet::Dna:
        return isa == LikIsa::Generic ? &likKernels_Dna() : nullptr;
    case LikKernelSet::Gen:
        return isa == LikIsa::Generic ? &likKernels_Gen() : nullptr;
    case LikKernelSet::SP:
        return isa == LikIsa::Generic ? &likKernels_SP() : nullptr;
    case LikKernelSet::Mkv:
        return isa == LikIsa::Generic ? &likKernels_Mkv() : nullptr;
    case LikKernelSet::Dna_Vec:
    case LikKernelSet::Gen_Vec: {
        const bool dna = set == LikKernelSet::Dna_Vec;
        if (isa == LikIsa::Sse && VORN_KERNELS_SSE)
            return dna ? &likKernels_Dna_Vec_Sse() : &likKernels_Gen_Vec_Sse();
        if (isa == LikIsa::Avx2 && cpuHasAvx2Fma())
            return dna ? &likKernels_Dna_Vec_Avx2() : &likKernels_Gen_Vec_Avx2();
        return nullptr;
    }
    }
    return nullptr;
}

const LikKernels &chooseLikKernels(uint32_t nstates, bool singlePrecision, bool vectorize, bool mkv)
{
    if (mkv)
        return likKernels_Mkv();
    if (!singlePrecision)
        return nstates == 4 ? likKernels_Dna() : likKernels_Gen();
    if (vectorize && nstates >= 4) {
        const LikKernelSet set = nstates == 4 ? LikKernelSet::Dna_Vec : LikKernelSet::Gen_Vec;
        const LikKernels *k = genericRequested() ? nullptr : likKernelsOf(set, LikIsa::Avx2);
        if (k == nullptr)
            k = likKernelsOf(set, LikIsa::Sse);
        if (k != nullptr)
            return *k;
    }
    return likKernels_SP();
}

uint32_t likValuesPerPattern(const LikKernels &k, uint32_t nstates)
{
    return k.vectorLayout ? (nstates + 3) / 4 * 4 : nstates;
}
