#include "selection/selection_settings.h"

// Every field is an option's and takes its factory value at start-up.
AutoModelSettings autoMod{};
AutoPartSettings autoPartOpt{};
ClockCheckSettings clkChkOpt{};
OrthoFilterSettings ofltOpt{};
PatFitSettings patfitOpt{};
