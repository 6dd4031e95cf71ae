#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>

namespace pf {
namespace {
Platform* g_platform = nullptr;
}  // namespace

Platform& Os() {
    if (!g_platform) {
        // A program that forgot to install its platform cannot do anything
        // sensible; stop loudly rather than dereference null.
        std::fputs("no platform installed\n", stderr);
        std::abort();
    }
    return *g_platform;
}

Platform* SetPlatform(Platform* platform) {
    Platform* previous = g_platform;
    g_platform = platform;
    return previous;
}

}  // namespace pf
