// The irreversible step kernels for the baseline CPU.
#include <algorithm>

#include "parsimony/kernels/irr_steps.h"

namespace irrgeneric {
namespace {
#include "parsimony/kernels/irr_steps_rule.h"
}  // namespace
}  // namespace irrgeneric

const IrrStepKernels &irrStepKernelsGeneric()
{
    static const IrrStepKernels table = irrgeneric::irrTable("generic");
    return table;
}
