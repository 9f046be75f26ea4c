// The double-precision DNA kernels on AVX: one DNA pattern, four doubles,
// per instruction. Compiled with AVX2 code generation but without FMA (see
// lik_dvec_impl.h: these kernels must round as the generic ones do), and,
// like lik_avx2.cpp, holding nothing but the kernels.
#include <immintrin.h>

#include <cfloat>

#include "likelihood/kernels/lik_kernels.h"

namespace likavx2Dvec {
namespace {
#define LIK_DVEC_AVX 1
#include "likelihood/kernels/lik_dvec_impl.h"
#include "likelihood/kernels/lik_table_impl.h"

constexpr LikKernels kDnaDVec = withVecTables(makeDVecTable("Dna_DVec (AVX2)"), false);
}  // namespace
}  // namespace likavx2Dvec

const LikKernels &likKernels_Dna_DVec_Avx2() { return likavx2Dvec::kDnaDVec; }
