// The static constructors, run by each entry point before the program's own
// main function; the destructors follow at exit().
#pragma once

namespace cvrt {
void RunStaticConstructors();
}  // namespace cvrt
