// The program's entry point and the C++ start-up and shut-down around WinMain.
//
// MSVCRT.DLL is the C library; it initialises itself when it is loaded
// (heap, standard streams, command line, locale). What is left is what a
// compiler's start-up object does for a GUI program:
//   - report run-time errors the way a GUI program does (message boxes);
//   - the x87 unit in its 64-bit-mantissa mode, as MinGW programs start;
//   - the static constructors, then WinMain with its four arguments;
//   - exit() with WinMain's result, which runs the functions registered with
//     atexit (the static destructors among them) and flushes the streams.
#include <windows.h>

#include <cstdlib>

#include "runtime/static_objects.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show);

extern "C" {
// MSVCRT: run-time error reporting, and its copy of the command line.
__declspec(dllimport) void __cdecl __set_app_type(int type);
__declspec(dllimport) char** __cdecl __p__acmdln(void);
}  // extern "C"

namespace {

const int kGuiApp = 2;

// WinMain's command line: what follows the program's name, without the
// blanks before it.
char* CommandTail() {
    char* p = *__p__acmdln();
    if (!p) return const_cast<char*>("");
    if (*p == '"') {
        ++p;
        while (*p && *p != '"') ++p;
        if (*p == '"') ++p;
    } else {
        while (*p && *p != ' ' && *p != '\t') ++p;
    }
    while (*p == ' ' || *p == '\t') ++p;
    return p;
}

}  // namespace

// The stack is only 4-byte aligned when the loader calls the entry point.
extern "C" __attribute__((force_align_arg_pointer, noreturn)) void WinMainCRTStartup(void) {
    __set_app_type(kGuiApp);
    __asm__ __volatile__("fninit");
    cvrt::RunStaticConstructors();
    STARTUPINFOA startup;
    startup.cb = sizeof startup;
    GetStartupInfoA(&startup);
    const int show = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : SW_SHOWDEFAULT;
    std::exit(WinMain(GetModuleHandleA(nullptr), nullptr, CommandTail(), show));
}
