// The console program's entry point: what startup.cpp does for the window,
// with main(argc, argv) instead of WinMain.
//
// MSVCRT.DLL has already split the command line when it was loaded;
// __getmainargs (exported by the MSVCRT.DLL of Windows 95 and NT 4.0) hands
// out its argc and argv. Run-time errors are reported on the console.
#include <cstdlib>

#include "runtime/static_objects.h"

int main(int argc, char** argv);

extern "C" {
__declspec(dllimport) void __cdecl __set_app_type(int type);
struct StartupInfoOfCrt {
    int newMode;
};
// Older MSVCRT.DLLs return nothing (later ones an int): only argv is looked at.
__declspec(dllimport) void __cdecl __getmainargs(int* argc, char*** argv, char*** env, int expandWildcards,
                                                StartupInfoOfCrt* info);
}  // extern "C"

namespace {
const int kConsoleApp = 1;
}  // namespace

// GCC calls this first thing in main() on Windows targets, for start-up code
// that has not run the static constructors; this one has.
extern "C" void __main(void) {}

// The stack is only 4-byte aligned when the loader calls the entry point.
extern "C" __attribute__((force_align_arg_pointer, noreturn)) void mainCRTStartup(void) {
    __set_app_type(kConsoleApp);
    __asm__ __volatile__("fninit");
    cvrt::RunStaticConstructors();
    int argc = 0;
    char** argv = nullptr;
    char** env = nullptr;
    StartupInfoOfCrt info = {0};
    // No wildcard expansion: a PATH is taken as written.
    __getmainargs(&argc, &argv, &env, 0, &info);
    if (!argv) {
        static char* none[] = {nullptr};
        argc = 0;
        argv = none;
    }
    std::exit(main(argc, argv));
}
