// The irreversible step kernels with AVX2 code generation: the generic rule
// (irr_steps_rule.h), whose lane loops the compiler then runs sixteen steps
// at a time.
#include <algorithm>

#include "parsimony/kernels/irr_steps.h"

namespace irravx2 {
namespace {
#include "parsimony/kernels/irr_steps_rule.h"
}  // namespace
constexpr IrrStepKernels kTable = irrTable("avx2");
}  // namespace irravx2

const IrrStepKernels &irrStepKernelsAvx2() { return irravx2::kTable; }
