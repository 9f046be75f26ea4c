// Read by the include check, never compiled: two includes of the data layer
// that climb to the search layer with "..", past the include views.
#include "../search/hsearch.h"
#include "qel/../search/hsearch.h"
#include "data/vorn_data.h"
