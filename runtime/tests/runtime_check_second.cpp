// Static objects of a third file: one of the default priority and one with
// the earliest priority a program may ask for.
#include "runtime/tests/runtime_check.h"

Mark secondC('c');
Mark secondPriority101 __attribute__((init_priority(101)))('Q');
