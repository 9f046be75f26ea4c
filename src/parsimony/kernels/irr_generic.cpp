// The irreversible step kernels for the baseline CPU.
#include <algorithm>

#include "parsimony/kernels/irr_steps.h"

namespace irrgeneric {
namespace {
#include "parsimony/kernels/irr_steps_rule.h"
}  // namespace
constexpr IrrStepKernels kTable = irrTable("generic");
}  // namespace irrgeneric

const IrrStepKernels &irrStepKernelsGeneric() { return irrgeneric::kTable; }
