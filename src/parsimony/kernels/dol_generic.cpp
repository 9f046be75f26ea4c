// The Dollo step kernels for the baseline CPU.
#include <algorithm>
#include <cstring>

#include "parsimony/kernels/dol_steps.h"

namespace dolgeneric {
namespace {
#include "parsimony/kernels/dol_steps_rule.h"
}  // namespace
constexpr DolStepKernels kTable{"generic", dolJoin, dolSpan};
}  // namespace dolgeneric

const DolStepKernels &dolStepKernelsGeneric() { return dolgeneric::kTable; }
