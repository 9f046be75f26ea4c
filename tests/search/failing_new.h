// The language's allocations of this test program (operator new, and so
// every standard container's) made to fail on the countdowns of the
// program's own allocator (qel_setAllocFailureCountdown and the workers'),
// while a test asks for it.
#pragma once

void countLanguageAllocations(bool on);
