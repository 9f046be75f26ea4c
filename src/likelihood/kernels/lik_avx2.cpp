// The single-precision vector kernels on AVX2 with FMA: two DNA patterns,
// or eight states, per instruction. This file alone is compiled with AVX2
// code generation, so it holds the kernels and nothing else, and includes
// no header that defines an inline function or template outside its own
// unnamed namespace (see lik_kernels.h); the standard headers it needs are
// included before that namespace opens, for their declarations only.
#include <immintrin.h>

#include <cfloat>
#include <math.h>

#include "likelihood/kernels/lik_kernels.h"

namespace likavx2 {
namespace {
#define LIK_VEC_AVX2 1
#include "likelihood/kernels/lik_vec_impl.h"
#include "likelihood/kernels/lik_table_impl.h"

constexpr LikKernels kDnaVec = withVecTables(makeVecTable<4>("Dna_Vec (AVX2)"), true);
constexpr LikKernels kGenVec = withVecTables(makeVecTable<0>("Gen_Vec (AVX2)"), true);
}  // namespace
}  // namespace likavx2

const LikKernels &likKernels_Dna_Vec_Avx2() { return likavx2::kDnaVec; }
const LikKernels &likKernels_Gen_Vec_Avx2() { return likavx2::kGenVec; }
