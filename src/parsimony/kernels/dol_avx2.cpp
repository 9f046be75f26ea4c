// The Dollo step kernels with AVX2 code generation: the generic rule
// (dol_steps_rule.h), whose lane loops the compiler then runs sixteen steps
// at a time.
#include <algorithm>
#include <cstring>

#include "parsimony/kernels/dol_steps.h"

namespace dolavx2 {
namespace {
#include "parsimony/kernels/dol_steps_rule.h"
}  // namespace
constexpr DolStepKernels kTable{"avx2", dolJoin, dolSpan};
}  // namespace dolavx2

const DolStepKernels &dolStepKernelsAvx2() { return dolavx2::kTable; }
