#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/product_check.h"
#include "platform/sim/sim_machine.h"

namespace {

using pf::sim::ScopedSimMachine;
using pf::sim::SimMachine;

class ProductCheck : public ::testing::Test {
protected:
    bool Check() {
        std::memset(buffer, 0x5A, sizeof buffer);
        return app::IsProductInstalled(app::kProductKey, app::kProductValue, buffer,
                                       app::kProductBufferSize);
    }
    // Every key opened was closed again.
    void ExpectNoOpenKeys() { EXPECT_TRUE(machine.openKeys.empty()); }

    SimMachine machine;
    ScopedSimMachine guard{machine};
    char buffer[app::kProductBufferSize + 16];
};

}  // namespace

TEST_F(ProductCheck, KeyWithReadableValueCountsAsInstalled) {
    machine.SetString(pf::kHkeyLocalMachine, app::kProductKey, app::kProductValue,
                      "C:\\Program Files\\Wardenix");
    EXPECT_TRUE(Check());
    EXPECT_STREQ(buffer, "C:\\Program Files\\Wardenix");
    ExpectNoOpenKeys();
    // The content and type do not matter, only that the value reads.
    machine.SetValue(pf::kHkeyLocalMachine, app::kProductKey, app::kProductValue, pf::kRegDword,
                     std::string(4, '\0'));
    EXPECT_TRUE(Check());
}

TEST_F(ProductCheck, MissingKeyOrValueOrFailedReadCountsAsNotInstalled) {
    EXPECT_FALSE(Check());
    machine.CreateKey(pf::kHkeyLocalMachine, app::kProductKey);
    EXPECT_FALSE(Check());
    machine.SetString(pf::kHkeyLocalMachine, app::kProductKey, "Other", "x");
    EXPECT_FALSE(Check());
    ExpectNoOpenKeys();

    machine.SetString(pf::kHkeyLocalMachine, app::kProductKey, app::kProductValue, "D:\\W");
    machine.FindValue(pf::kHkeyLocalMachine, app::kProductKey, app::kProductValue)->failRead = true;
    EXPECT_FALSE(Check());
    ExpectNoOpenKeys();
}

TEST_F(ProductCheck, EachFailingStepCountsAsNotInstalledAndClosesTheKey) {
    machine.SetString(pf::kHkeyLocalMachine, app::kProductKey, app::kProductValue, "D:\\W");
    machine.FailCall("RegOpenKeyExA");
    EXPECT_FALSE(Check());
    machine.ClearFaults();
    machine.FailCall("RegQueryValueExA", 1);  // the size query
    EXPECT_FALSE(Check());
    ExpectNoOpenKeys();
    machine.ClearFaults();
    machine.FailCall("RegQueryValueExA", 2);  // the read
    EXPECT_FALSE(Check());
    ExpectNoOpenKeys();
    machine.ClearFaults();
    machine.FailCall("RegCloseKey");
    EXPECT_FALSE(Check());
    machine.ClearFaults();
    EXPECT_TRUE(Check());
}

TEST_F(ProductCheck, AValueLongerThanTheBufferIsNeverWrittenPastIt) {
    machine.SetString(pf::kHkeyLocalMachine, app::kProductKey, app::kProductValue,
                      std::string(1000, 'W'));
    EXPECT_TRUE(Check());
    // The guard bytes behind the 300-byte buffer are untouched.
    for (size_t i = app::kProductBufferSize; i < sizeof buffer; ++i)
        ASSERT_EQ(buffer[i], 0x5A) << i;
    EXPECT_EQ(buffer[app::kProductBufferSize - 1], '\0');
    ExpectNoOpenKeys();
}
