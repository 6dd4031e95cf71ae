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

TEST_F(SystemOsTest, RestartOnNtAsksForThePrivilegeThenRebootsLettingProgramsSave) {
    machine.SetVersion(WinVersion::WinXp);
    EXPECT_EQ(RestartSystem(), 1);
    ASSERT_EQ(machine.rebootRequests.size(), 1u);
    EXPECT_EQ(machine.rebootRequests[0], 0x12u);  // EWX_REBOOT | EWX_FORCEIFHUNG
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
        EXPECT_EQ(machine.rebootRequests[0], 2u);
    }
}

TEST_F(SystemOsTest, RestartWithoutThePrivilegeRequestsNothing) {
    machine.heldPrivileges.clear();
    EXPECT_EQ(RestartSystem(), 0);
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

// The flags each generation takes: EWX_FORCEIFHUNG only from 2000 on.
TEST_F(SystemOsTest, ExitWindowsExTakesTheFlagsOfItsGeneration) {
    struct Row {
        WinVersion version;
        pf::UINT flags;
        bool taken;
    };
    const Row rows[] = {
        {WinVersion::Win95, 0x2, true},    {WinVersion::Win98, 0x12, false},
        {WinVersion::WinMe, 0x6, true},    {WinVersion::Nt4, 0x12, false},
        {WinVersion::Nt4, 0x2, true},      {WinVersion::Win2000, 0x12, true},
        {WinVersion::WinXp, 0x16, true},   {WinVersion::Win7, 0x12, true},
        {WinVersion::Win10, 0x1002, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(int(r.version) * 1000 + int(r.flags));
        machine.SetVersion(r.version);
        machine.enabledPrivileges = {"SeShutdownPrivilege"};
        machine.SetLastError(0);
        EXPECT_EQ(machine.ExitWindowsEx(r.flags, 0), r.taken ? 1 : 0);
        if (!r.taken) EXPECT_EQ(machine.GetLastError(), pf::kErrorInvalidParameter);
    }
    // Every version's own flags are taken.
    for (WinVersion v : {WinVersion::Win95, WinVersion::Nt4, WinVersion::Win2000, WinVersion::Vista}) {
        machine.SetVersion(v);
        machine.rebootRequests.clear();
        EXPECT_EQ(RestartSystem(), 1) << int(v);
    }
    // A forced restart ends programs unasked; an unforced one lets a program
    // refuse, and the request still counts as taken.
    machine.SetVersion(WinVersion::WinXp);
    machine.programRefusesRestart = true;
    machine.rebootStarted = false;
    machine.unsavedWorkLost = false;
    EXPECT_EQ(RestartSystem(), 1);
    EXPECT_TRUE(machine.restartRefused);
    EXPECT_FALSE(machine.rebootStarted);
    EXPECT_FALSE(machine.unsavedWorkLost);
    EXPECT_EQ(machine.ExitWindowsEx(pf::kEwxReboot | pf::kEwxForce, 0), 1);
    EXPECT_TRUE(machine.unsavedWorkLost);
}

TEST_F(SystemOsTest, RestartReportsAFailedRequest) {
    machine.exitWindowsFails = true;
    EXPECT_EQ(RestartSystem(), 0);
    EXPECT_FALSE(machine.rebootStarted);
}

}  // namespace
