#include <gtest/gtest.h>

#include "scan/scan_context.h"
#include "platform/crt.h"
#include "platform/sim/sim_machine.h"

TEST(Crt, BoundedCopyNeverOverruns) {
    char small[4];
    EXPECT_FALSE(crt::CopyText(small, "abcdef"));
    EXPECT_STREQ(small, "abc");
    EXPECT_TRUE(crt::CopyText(small, "ab"));
    EXPECT_FALSE(crt::AppendText(small, "cd"));
    EXPECT_STREQ(small, "abc");
}

TEST(Crt, CaseBlindComparisons) {
    EXPECT_EQ(crt::stricmp("C:\\Foo.EXE", "c:\\foo.exe"), 0);
    EXPECT_LT(crt::stricmp("abc", "abd"), 0);
    EXPECT_EQ(crt::strnicmp("FOOBAR", "foo", 3), 0);
    EXPECT_NE(crt::memicmp("abc", "abd", 3), 0);
}
