// Runner of the Windows-side tests. The real platform is in force from
// start-up; a test that needs a different one installs it and restores the
// real one when done.
//
// `win_tests.exe --hold-ms=N` does nothing but stay alive N milliseconds:
// tests start a copy of this program to have a running, locked program file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "platform/win32/win32_platform.h"

int main(int argc, char** argv) {
    static const char kHold[] = "--hold-ms=";
    if (argc == 2 && std::strncmp(argv[1], kHold, sizeof(kHold) - 1) == 0) {
        pf::win32::RealPlatform().Sleep(
            static_cast<pf::DWORD>(std::strtoul(argv[1] + sizeof(kHold) - 1, nullptr, 10)));
        return 0;
    }
    testing::InitGoogleTest(&argc, argv);
    pf::SetPlatform(&pf::win32::RealPlatform());
    return RUN_ALL_TESTS();
}
