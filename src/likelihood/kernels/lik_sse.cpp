// The four-wide single-precision kernels on SSE, which every x86-64 CPU
// this program builds for has.
#include <immintrin.h>

#include <cfloat>
#include <math.h>

#include "likelihood/kernels/lik_kernels.h"

namespace liksse {
namespace {
#include "likelihood/kernels/lik_vec_impl.h"
#include "likelihood/kernels/lik_table_impl.h"

constexpr LikKernels kDnaVec = withVecTables(makeVecTable<4>("Dna_Vec (SSE)"), true);
constexpr LikKernels kGenVec = withVecTables(makeVecTable<0>("Gen_Vec (SSE)"), true);
}  // namespace
}  // namespace liksse

const LikKernels &likKernels_Dna_Vec_Sse() { return liksse::kDnaVec; }
const LikKernels &likKernels_Gen_Vec_Sse() { return liksse::kGenVec; }
