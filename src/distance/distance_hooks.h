// What the distance methods offer the layers below them, installed once at
// start-up.
#pragma once

// 0, or 1 when a slot was already taken by another subsystem.
int installDistanceHooks();
