// The static constructors and destructors of the product's programs, and
// atexit, for both entry points (startup.cpp for the window,
// console_startup.cpp for the console program).
#include <cstdlib>

#include "runtime/static_objects.h"

extern "C" {

__declspec(dllimport) _onexit_t __cdecl _onexit(_onexit_t function);

// The linker brackets each list with -1 before and 0 after the entries.
typedef void (*ListEntry)(void);
extern ListEntry __CTOR_LIST__[];
extern ListEntry __DTOR_LIST__[];

// Functions registered here run at exit(), last registered first: the
// C library's own list. GCC registers each static object's destructor here.
int __cdecl atexit(void (*function)(void)) {
    return _onexit(reinterpret_cast<_onexit_t>(function)) ? 0 : -1;
}

}  // extern "C"

namespace {

// Destructors placed in .dtors run in list order.
int __cdecl RunDtorList() {
    for (ListEntry* entry = __DTOR_LIST__ + 1; *entry; ++entry) (*entry)();
    return 0;
}

}  // namespace

namespace cvrt {

// Constructors run from the last entry back to the first, as GCC's own
// start-up runs them.
void RunStaticConstructors() {
    int count = 0;
    while (__CTOR_LIST__[count + 1]) ++count;
    for (int i = count; i >= 1; --i) __CTOR_LIST__[i]();
    _onexit(RunDtorList);
}

}  // namespace cvrt
