#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

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

crt::LeadBytes AnsiLeadBytes() {
    CpInfo info;
    std::memset(&info, 0, sizeof(info));
    if (!Os().GetCPInfo(kCpAcp, &info)) return crt::LeadBytes::EveryHighByte();
    return crt::LeadBytes::FromRanges(info.LeadByte, sizeof(info.LeadByte));
}

}  // namespace pf
