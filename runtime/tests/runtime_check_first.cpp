// Static objects of a second file: two of the default priority, in the
// order they are defined, and one with a priority of its own.
#include "runtime/tests/runtime_check.h"

Mark firstA('a');
Mark firstB('b');
Mark firstPriority200 __attribute__((init_priority(200)))('P');
