// Compiled with the data layer's include root only: it must not compile,
// because data sits below search and does not declare it.
#include "search/hsearch.h"

int main() { return 0; }
