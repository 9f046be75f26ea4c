// What a running simulation block tells SurfCheck (see likelihood/surfcheck.h).
#pragma once

#include "likelihood/surfcheck.h"

int surfCheckSimulationState(SurfCheckSimulation *out);
