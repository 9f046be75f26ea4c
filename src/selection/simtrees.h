// The Yule and YangRannala commands of simulation blocks: clock-like rooted
// trees with branch lengths from a pure-birth process, or from a birth-death
// process with species sampling, replace the trees in memory.
#pragma once

int makeYuleTrees();
int makeYangRannalaTrees();
