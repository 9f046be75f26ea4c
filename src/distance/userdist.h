// Storage of the user distance matrix that a DISTANCES block reads, offered
// to the block reader of the data layer.
#pragma once

void installUserDistanceHooks();
