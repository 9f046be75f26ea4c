#include "data/data_settings.h"

NexusOptions nexOpt = {kAllDigitWarn, 0, 0, 1, 0};
CharMatrixFormat cmFmt = {0, 0, 1, 0, 1};
DataParams dataParam = {1};
