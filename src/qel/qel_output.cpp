#include "qel/qel_output.h"

namespace {
bool gOutputEventChecking = true;
}

bool setOutputEventChecking(bool flag)
{
    bool previous = gOutputEventChecking;
    gOutputEventChecking = flag;
    return previous;
}

bool outputEventCheckingActive() { return gOutputEventChecking; }
