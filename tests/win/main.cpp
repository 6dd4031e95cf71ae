// Runner of the Windows-side tests. The real platform is in force from
// start-up; a test that needs a different one installs it and restores the
// real one when done.
#include <gtest/gtest.h>

#include "platform/win32/win32_platform.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    pf::SetPlatform(&pf::win32::RealPlatform());
    return RUN_ALL_TESTS();
}
