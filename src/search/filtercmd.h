// The Filter command: the criteria that decide which trees in memory stay
// visible. It scores trees under the current criterion, so it lives with the
// search; the filter set itself is the tree layer's (trees/treefilter.h).
#pragma once

int doFilterCmd();
