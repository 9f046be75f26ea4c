// The double-precision DNA kernels on SSE2, which every x86-64 CPU has:
// one DNA pattern in two registers.
#include <immintrin.h>

#include <cfloat>

#include "likelihood/kernels/lik_kernels.h"

namespace liksseDvec {
namespace {
#include "likelihood/kernels/lik_dvec_impl.h"
#include "likelihood/kernels/lik_table_impl.h"

constexpr LikKernels kDnaDVec = withVecTables(makeDVecTable("Dna_DVec (SSE)"), false);
}  // namespace
}  // namespace liksseDvec

const LikKernels &likKernels_Dna_DVec_Sse() { return liksseDvec::kDnaDVec; }
