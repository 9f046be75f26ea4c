// Counts the thread_local destructors that threads other than the test's
// own register with the C library (see thread_exit_count.cpp).
#pragma once

#include <cstdint>

void noteTestThread();
uint64_t threadExitDestructorsElsewhere();
