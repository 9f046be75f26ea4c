#include "cli/shell_settings.h"

WarningSettings wrng = {1, 1, 1, 1, 1, 1, 0};
uint8_t gErrorStop = 1;
uint8_t gReplaceFile = 0;
uint8_t gAppendToFile = 0;
uint8_t gAllowEndAbbrev = 1;
