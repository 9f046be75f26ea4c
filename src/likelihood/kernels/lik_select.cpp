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

bool cpuHasAvx2()
{
#if VORN_KERNELS_AVX2
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

bool cpuHasAvx2Fma()
{
#if VORN_KERNELS_AVX2
    return cpuHasAvx2() && __builtin_cpu_supports("fma");
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
const LikKernels &likKernels_Dna_DVec_Sse() { return likKernels_Dna(); }
#endif
#if !VORN_KERNELS_AVX2
const LikKernels &likKernels_Dna_Vec_Avx2() { return likKernels_SP(); }
const LikKernels &likKernels_Gen_Vec_Avx2() { return likKernels_SP(); }
const LikKernels &likKernels_Dna_DVec_Avx2() { return likKernels_Dna(); }
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
    case LikKernelSet::Dna_DVec:
        if (isa == LikIsa::Sse && VORN_KERNELS_SSE)
            return &likKernels_Dna_DVec_Sse();
        if (isa == LikIsa::Avx2 && cpuHasAvx2())
            return &likKernels_Dna_DVec_Avx2();
        return nullptr;
    }
    return nullptr;
}

namespace {

// The set on the widest instruction set this CPU runs, SSE at most when
// VORN_KERNELS=generic asks it; null when neither exists.
const LikKernels *widestOf(LikKernelSet set)
{
    const LikKernels *k = genericRequested() ? nullptr : likKernelsOf(set, LikIsa::Avx2);
    return k != nullptr ? k : likKernelsOf(set, LikIsa::Sse);
}

}  // namespace

const LikKernels &chooseLikKernels(uint32_t nstates, bool singlePrecision, bool vectorize, bool mkv)
{
    if (mkv)
        return likKernels_Mkv();
    if (!singlePrecision) {
        if (nstates != 4)
            return likKernels_Gen();
        // Dna_DVec gives Dna's bits, so it is no vector processing in the
        // settings' sense (that changes the layout and the rounding) and is
        // taken whatever `vector` says; VORN_KERNELS=generic keeps the
        // scalar table, against which whole runs can be compared.
        const LikKernels *k = genericRequested() ? nullptr : widestOf(LikKernelSet::Dna_DVec);
        return k != nullptr ? *k : likKernels_Dna();
    }
    if (vectorize && nstates >= 4)
        if (const LikKernels *k = widestOf(nstates == 4 ? LikKernelSet::Dna_Vec : LikKernelSet::Gen_Vec))
            return *k;
    return likKernels_SP();
}

uint32_t likValuesPerPattern(const LikKernels &k, uint32_t nstates)
{
    return k.vectorLayout ? (nstates + 3) / 4 * 4 : nstates;
}
