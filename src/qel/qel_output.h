// The output engine: every line of normal program output passes through it.
#pragma once

// Event checking lets the engine poll for user events while it prints; it is
// switched off around messages that must not recurse into the engine.
bool setOutputEventChecking(bool flag);  // returns the previous setting
bool outputEventCheckingActive();
