// OS classes, privileges and the restart on the simulated machine.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/sim/sim_machine.h"
#include "system/os_version.h"
#include "system/restart.h"
#include "tests/unit/system_support.h"

using pf::sim::SimMachine;
using pf::sim::WinVersion;

namespace {

class SystemOsTest : public ::testing::Test {
protected:
    SystemOsTest() : guard_(machine) {}
    SimMachine machine;

private:
    pf::sim::ScopedSimMachine guard_;
};

struct Generation {
    WinVersion version;
    int osClass;
    int ntClass;
    const char* name;
};

TEST_F(SystemOsTest, EachGenerationHasItsClasses) {
    const Generation all[] = {
        {WinVersion::Win95, 4, 0, "95"},  {WinVersion::Win98, 4, 0, "98"},
        {WinVersion::WinMe, 4, 0, "Me"},  {WinVersion::Nt4, 5, 5, "NT4"},
        {WinVersion::Win2000, 5, 6, "2000"}, {WinVersion::WinXp, 5, 6, "XP"},
        {WinVersion::Vista, 5, 0, "Vista"},  {WinVersion::Win7, 5, 0, "7"},
        {WinVersion::Win10, 5, 0, "10"},
    };
    for (const Generation& g : all) {
        machine.SetVersion(g.version);
        EXPECT_EQ(GetOsClass(), g.osClass) << g.name;
        EXPECT_EQ(GetNtClass(), g.ntClass) << g.name;
    }
}

TEST_F(SystemOsTest, FailedOrUnknownVersionQuery) {
    machine.versionQueryFails = true;
    EXPECT_EQ(GetOsClass(), 0);
    EXPECT_EQ(GetNtClass(), 0);

    machine.versionQueryFails = false;
    machine.FailCall("GetVersionExA", 1);
    EXPECT_EQ(GetOsClass(), 0);  // an injected failure is also "no answer"
    EXPECT_EQ(GetOsClass(), 5);  // and the next call asks afresh

    machine.version.dwPlatformId = pf::kVerPlatformWin32s;
    EXPECT_EQ(GetOsClass(), 1);
    EXPECT_EQ(GetNtClass(), 0);
    machine.version.dwPlatformId = 3;  // Windows CE
    EXPECT_EQ(GetOsClass(), 1);
}

TEST_F(SystemOsTest, NtMajorVersionBoundaries) {
    machine.SetVersion(WinVersion::Nt4);
    machine.version.dwMajorVersion = 3;  // NT 3.51
    EXPECT_EQ(GetNtClass(), 5);
    machine.version.dwMajorVersion = 5;
    machine.version.dwMinorVersion = 2;  // Server 2003
    EXPECT_EQ(GetNtClass(), 6);
    machine.version.dwMajorVersion = 6;
    EXPECT_EQ(GetNtClass(), 0);
}

TEST_F(SystemOsTest, EnablePrivilegeOutcomes) {
    pf::DWORD error = 0;
    // Held: switched on, no error; the token is closed again.
    EXPECT_EQ(EnablePrivilege("SeDebugPrivilege", &error), kPrivilegeEnabled);
    EXPECT_TRUE(machine.enabledPrivileges.count("SeDebugPrivilege"));
    EXPECT_TRUE(machine.tokenHandles.empty());
    EXPECT_EQ(systest::FirstArg(machine, "OpenProcessToken"), "40");  // 0x28

    // Not held: AdjustTokenPrivileges succeeds, GetLastError says 1300.
    machine.heldPrivileges.erase("SeShutdownPrivilege");
    EXPECT_EQ(EnablePrivilege("SeShutdownPrivilege", &error), kPrivilegeAdjustError);
    EXPECT_EQ(error, pf::kErrorNotAllAssigned);
    EXPECT_FALSE(machine.enabledPrivileges.count("SeShutdownPrivilege"));

    // The token cannot be opened.
    machine.tokenOpenFails = true;
    error = 0;
    EXPECT_EQ(EnablePrivilege("SeDebugPrivilege", &error), kPrivilegeNoToken);
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(machine.CountCalls("AdjustTokenPrivileges"), 2);

    // The 9x family has no tokens at all.
    machine.tokenOpenFails = false;
    machine.SetVersion(WinVersion::Win98);
    EXPECT_EQ(EnablePrivilege("SeDebugPrivilege"), kPrivilegeNoToken);
}

TEST_F(SystemOsTest, EnablePrivilegeReadsTheErrorRightAfterTheAdjustment) {
    // A stale error from before must not count, and a failed adjustment must.
    machine.SetLastError(5);
    EXPECT_EQ(EnablePrivilege("SeDebugPrivilege"), kPrivilegeEnabled);
    machine.FailCall("AdjustTokenPrivileges", 1, false, 6);
    pf::DWORD error = 0;
    EXPECT_EQ(EnablePrivilege("SeDebugPrivilege", &error), kPrivilegeAdjustError);
    EXPECT_EQ(error, 6u);
    // An unknown name leaves the LUID cleared; the adjustment reports it.
    EXPECT_EQ(EnablePrivilege("SeNoSuchPrivilege", &error), kPrivilegeAdjustError);
    EXPECT_EQ(error, pf::kErrorNoSuchPrivilege);
    EXPECT_TRUE(machine.tokenHandles.empty());
}

TEST_F(SystemOsTest, RestartOnNtAsksForThePrivilegeThenRebootsWithFlags6) {
    machine.SetVersion(WinVersion::WinXp);
    EXPECT_EQ(RestartSystem(), 1);
    ASSERT_EQ(machine.rebootRequests.size(), 1u);
    EXPECT_EQ(machine.rebootRequests[0], 6u);
    EXPECT_TRUE(machine.rebootStarted);
    // Privilege first, then the request.
    const auto names = machine.CallNames();
    const auto adjust = std::find(names.begin(), names.end(), "AdjustTokenPrivileges");
    const auto reboot = std::find(names.begin(), names.end(), "ExitWindowsEx");
    EXPECT_LT(adjust - names.begin(), reboot - names.begin());
    EXPECT_EQ(systest::FirstArg(machine, "LookupPrivilegeValueA"), "SeShutdownPrivilege");
}

TEST_F(SystemOsTest, RestartOn9xTouchesNoPrivilege) {
    for (WinVersion v : {WinVersion::Win95, WinVersion::Win98, WinVersion::WinMe}) {
        machine.log.clear();
        machine.rebootRequests.clear();
        machine.SetVersion(v);
        EXPECT_EQ(RestartSystem(), 1);
        EXPECT_EQ(machine.CountCalls("OpenProcessToken"), 0);
        EXPECT_EQ(machine.CountCalls("AdjustTokenPrivileges"), 0);
        ASSERT_EQ(machine.rebootRequests.size(), 1u);
        EXPECT_EQ(machine.rebootRequests[0], 6u);
    }
}

TEST_F(SystemOsTest, RestartWithoutThePrivilegeRequestsNothing) {
    machine.heldPrivileges.clear();
    EXPECT_EQ(RestartSystem(), int(pf::kErrorNotAllAssigned));
    EXPECT_TRUE(machine.rebootRequests.empty());

    machine.heldPrivileges.insert("SeShutdownPrivilege");
    machine.tokenOpenFails = true;
    EXPECT_EQ(RestartSystem(), 0);
    EXPECT_TRUE(machine.rebootRequests.empty());
}

TEST_F(SystemOsTest, RestartOnClasses0And1TakesThePrivilegeStep) {
    machine.versionQueryFails = true;
    RestartSystem();
    EXPECT_EQ(machine.CountCalls("AdjustTokenPrivileges"), 1);
    EXPECT_EQ(machine.rebootRequests.size(), 1u);

    machine.versionQueryFails = false;
    machine.version.dwPlatformId = pf::kVerPlatformWin32s;
    machine.heldPrivileges.clear();
    RestartSystem();
    EXPECT_EQ(machine.CountCalls("AdjustTokenPrivileges"), 2);
    EXPECT_EQ(machine.rebootRequests.size(), 1u);  // refused privilege: no second request
}

TEST_F(SystemOsTest, RestartReportsAFailedRequest) {
    machine.exitWindowsFails = true;
    EXPECT_EQ(RestartSystem(), 0);
    EXPECT_FALSE(machine.rebootStarted);
}

}  // namespace
