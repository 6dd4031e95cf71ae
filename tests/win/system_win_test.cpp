// The system side against the real system: classes and privileges as the
// token reports them, process lists and the three ways of ending a process,
// the memory step on a running infected program, a real service stopped
// through the service control manager, and the service keys of both numbered
// control sets.
//
// Wine offers no process performance data and no numbered control sets of its
// own; the tests below say where they depend on either, and the host tests on
// the simulated machine cover those roads.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "scan/scan_context.h"
#include "system/memory_check.h"
#include "system/os_version.h"
#include "system/processes.h"
#include "system/restart.h"
#include "system/services.h"
#include "tests/win/scan_harness.h"
#include "tests/win/win_test_util.h"

#if CV_HAVE_SAMPLES
#include "tools/samplebuilder/samplebuilder.h"
#include "tools/samplebuilder/table_records.h"
#endif

namespace {

// ---------------------------------------------------------------------------
// This program as a service: started by the service control manager with
// "--cv-test-service NAME", it reports running until told to stop.
// ---------------------------------------------------------------------------
const char kServiceSwitch[] = "--cv-test-service";
char g_serviceName[64];
SERVICE_STATUS_HANDLE g_serviceStatusHandle;
HANDLE g_serviceStop;

void ReportServiceState(DWORD state) {
    SERVICE_STATUS s{};
    s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    s.dwCurrentState = state;
    s.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    s.dwWaitHint = state == SERVICE_STOP_PENDING ? 2000 : 0;
    SetServiceStatus(g_serviceStatusHandle, &s);
}

DWORD WINAPI ServiceControl(DWORD control, DWORD, LPVOID, LPVOID) {
    if (control == SERVICE_CONTROL_STOP) {
        ReportServiceState(SERVICE_STOP_PENDING);
        SetEvent(g_serviceStop);
    }
    return NO_ERROR;
}

void WINAPI ServiceMain(DWORD, LPSTR*) {
    g_serviceStatusHandle = RegisterServiceCtrlHandlerExA(g_serviceName, ServiceControl, nullptr);
    if (!g_serviceStatusHandle) return;
    ReportServiceState(SERVICE_RUNNING);
    WaitForSingleObject(g_serviceStop, 120000);
    Sleep(300);  // a moment in STOP_PENDING, as real services take
    ReportServiceState(SERVICE_STOPPED);
}

// Runs before main when the command line asks for the service; never returns then.
bool ServeIfAsked() {
    const char* at = std::strstr(GetCommandLineA(), kServiceSwitch);
    if (!at) return false;
    std::sscanf(at + sizeof(kServiceSwitch) - 1, " %63s", g_serviceName);
    g_serviceStop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SERVICE_TABLE_ENTRYA table[] = {{g_serviceName, ServiceMain}, {nullptr, nullptr}};
    StartServiceCtrlDispatcherA(table);
    ExitProcess(0);
}
const bool g_servedAsService = ServeIfAsked();

// ---------------------------------------------------------------------------
// Helpers
// ---------------------------------------------------------------------------
using wintest::RunningProgram;
using wintest::ScopedScan;
using wintest::TempFolder;
using wintest::WindowlessPlatform;

std::string Unique(const char* stem) { return stem + std::to_string(GetCurrentProcessId()); }

std::string SampleParent() {
    const std::string drive = wintest::TestDrive();
    return drive.empty() ? std::string() : drive + "\\";
}

// Whether this process's token holds the privilege, and whether it is on.
bool TokenHas(const char* name, bool* enabled) {
    LUID luid{};
    if (!LookupPrivilegeValueA(nullptr, name, &luid)) return false;
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    DWORD size = 0;
    GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
    std::vector<BYTE> buffer(size ? size : 1);
    bool held = false;
    if (GetTokenInformation(token, TokenPrivileges, buffer.data(), size, &size)) {
        auto* privileges = reinterpret_cast<TOKEN_PRIVILEGES*>(buffer.data());
        for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
            const LUID_AND_ATTRIBUTES& p = privileges->Privileges[i];
            if (p.Luid.LowPart == luid.LowPart && p.Luid.HighPart == luid.HighPart) {
                held = true;
                if (enabled) *enabled = (p.Attributes & SE_PRIVILEGE_ENABLED) != 0;
            }
        }
    }
    CloseHandle(token);
    return held;
}

bool ListHas(ProcessEntry* list, DWORD pid, const std::string& path) {
    for (ProcessEntry* e = list; e; e = e->next)
        if (e->processId == pid && _stricmp(e->imagePath, path.c_str()) == 0) return true;
    return false;
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.find_last_of('\\');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

// ---------------------------------------------------------------------------
// Classes and privileges
// ---------------------------------------------------------------------------

TEST(SystemWin, ClassesFollowTheVersionTheSystemReports) {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof(info);
    ASSERT_TRUE(GetVersionExA(&info));
    const int expectedOs = info.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS ? 4
                           : info.dwPlatformId == VER_PLATFORM_WIN32_NT    ? 5
                                                                           : 1;
    int expectedNt = 0;
    if (info.dwPlatformId == VER_PLATFORM_WIN32_NT)
        expectedNt = info.dwMajorVersion <= 4 ? 5 : info.dwMajorVersion == 5 ? 6 : 0;
    EXPECT_EQ(expectedOs, GetOsClass()) << "platform " << info.dwPlatformId;
    EXPECT_EQ(expectedNt, GetNtClass()) << "version " << info.dwMajorVersion << "." << info.dwMinorVersion;
}

TEST(SystemWin, PrivilegesAreEnabledAsTheTokenAllows) {
    for (const char* name : {"SeDebugPrivilege", "SeShutdownPrivilege"}) {
        bool enabled = false;
        const bool held = TokenHas(name, &enabled);
        pf::DWORD error = 0;
        const int result = EnablePrivilege(name, &error);
        if (held) {
            EXPECT_EQ(kPrivilegeEnabled, result) << name;
            EXPECT_TRUE(TokenHas(name, &enabled) && enabled) << name << " is on afterwards";
        } else {
            EXPECT_EQ(kPrivilegeAdjustError, result) << name;
            EXPECT_EQ(static_cast<pf::DWORD>(ERROR_NOT_ALL_ASSIGNED), error) << name;
        }
    }
    // A name the system does not know leaves an error behind the adjustment.
    pf::DWORD error = 0;
    EXPECT_EQ(kPrivilegeAdjustError, EnablePrivilege("SeNoSuchPrivilegeCv", &error));
    EXPECT_NE(0u, error);
}

TEST(SystemWin, RestartTakesTheShutdownPrivilegeThenAsksForARestartProgramsMayRefuse) {
    WindowlessPlatform platform;  // records the request instead of rebooting
    ScopedScan scan(&platform);
    const int result = RestartSystem();
    if (GetOsClass() != 4 && !TokenHas("SeShutdownPrivilege", nullptr)) {
        EXPECT_EQ(0, result);
        EXPECT_TRUE(platform.rebootRequests.empty());
        return;
    }
    EXPECT_EQ(1, result);
    ASSERT_EQ(1u, platform.rebootRequests.size());
    // EWX_REBOOT, with EWX_FORCEIFHUNG where the system has it; never EWX_FORCE.
    EXPECT_EQ(GetOsClass() == 5 && GetNtClass() != 5 ? 0x12u : 0x2u, platform.rebootRequests[0]);
    bool enabled = false;
    if (GetOsClass() != 4) EXPECT_TRUE(TokenHas("SeShutdownPrivilege", &enabled) && enabled);
}

// ---------------------------------------------------------------------------
// Process lists and termination
// ---------------------------------------------------------------------------

TEST(SystemWin, ListsFindThisProgram) {
    const DWORD self = GetCurrentProcessId();
    const std::string path = wintest::SelfPath();

    bool outOfMemory = true;
    ProcessEntry* byModule = ListProcessesByModulePath(false, &outOfMemory);
    EXPECT_FALSE(outOfMemory);
    EXPECT_TRUE(ListHas(byModule, self, path)) << path;
    FreeProcessList(byModule);
    byModule = ListProcessesByModulePath(true);
    EXPECT_TRUE(ListHas(byModule, self, path));
    FreeProcessList(byModule);

    // The snapshot gives the full path on the 9x family, the name on NT (and
    // under Wine): the listing then takes the path from the module list.
    ProcessEntry* bySnapshot = ListProcessesBySnapshot();
    ASSERT_NE(nullptr, bySnapshot);
    EXPECT_TRUE(ListHas(bySnapshot, self, path));
    FreeProcessList(bySnapshot);
}

TEST(SystemWin, LockedFileIsFreedByTheTerminationItsVersionCallsFor) {
    TempFolder dir(SampleParent());
    ASSERT_TRUE(dir.ok());
    const std::string exe = dir / (Unique("cvlock") + ".exe");
    RunningProgram program;
    ASSERT_TRUE(program.StartHeldCopy(exe));
    EXPECT_FALSE(DeleteFileA(exe.c_str())) << "a running program's file is locked";

    const bool perfData = GetOsClass() == 5 && GetNtClass() != 6;
    if (perfData && wintest::UnderWine()) {
        program.End();
        GTEST_SKIP() << "this version ends processes through the performance data, which Wine "
                        "does not provide";
    }
    WindowlessPlatform platform;  // records a "Could not kill process" box
    ScopedScan scan(&platform);
    EXPECT_EQ(1, TerminateProcessesByPath(exe.c_str()));
    EXPECT_TRUE(program.WaitGone(5000));
    EXPECT_TRUE(platform.plainBoxes.empty());
    EXPECT_TRUE(DeleteFileA(exe.c_str())) << "the second attempt, error " << GetLastError();
}

TEST(SystemWin, SnapshotMethodEndsTheProgramOfThatFile) {
    TempFolder dir(SampleParent());
    ASSERT_TRUE(dir.ok());
    const std::string exe = dir / (Unique("cvsnap") + ".exe");
    RunningProgram program;
    ASSERT_TRUE(program.StartHeldCopy(exe));
    // The same name in another folder is another program.
    EXPECT_EQ(0, TerminateBySnapshot(("C:\\elsewhere\\" + BaseName(exe)).c_str()));
    EXPECT_TRUE(program.Running());
    EXPECT_EQ(1, TerminateBySnapshot(exe.c_str()));
    EXPECT_TRUE(program.WaitGone(5000));
    EXPECT_EQ(0, TerminateBySnapshot(exe.c_str())) << "nothing runs that file any more";
}

TEST(SystemWin, ModulePathMethodEndsOnlyTheExactPath) {
    TempFolder dir(SampleParent());
    ASSERT_TRUE(dir.ok());
    const std::string exe = dir / (Unique("cvmod") + ".exe");
    RunningProgram program;
    ASSERT_TRUE(program.StartHeldCopy(exe));
    EXPECT_EQ(1, TerminateByModulePath((exe + ".other").c_str()));
    EXPECT_TRUE(program.Running()) << "another path is not this program";
    std::string upper = exe;
    for (char& c : upper) c = char(toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(1, TerminateByModulePath(upper.c_str()));
    EXPECT_TRUE(program.WaitGone(5000)) << "the same path in other letters is";
}

TEST(SystemWin, PerformanceDataMethodEndsTheProgramOfThatFile) {
    TempFolder dir(SampleParent());
    ASSERT_TRUE(dir.ok());
    const std::string exe = dir / (Unique("cvp") + ".exe");
    RunningProgram program;
    ASSERT_TRUE(program.StartHeldCopy(exe));
    const int result = TerminateByPerfData(exe.c_str());
    if (wintest::UnderWine()) {
        // Wine's performance data has no process object: nothing is listed,
        // nothing ended, and the method says so.
        EXPECT_EQ(0, result);
        EXPECT_TRUE(program.Running());
        return;
    }
    EXPECT_EQ(1, result);
    EXPECT_TRUE(program.WaitGone(5000));
}

// ---------------------------------------------------------------------------
// The memory step
// ---------------------------------------------------------------------------

#if CV_HAVE_SAMPLES
TEST(SystemWin, MemoryCheckEndsARunningInfectionAndRemovesItsFile) {
    if (GetOsClass() != 5 || !LoadLibraryA("psapi.dll"))
        GTEST_SKIP() << "needs an NT system whose processes psapi can list";
    cvsamples::Bytes bytes;
    ASSERT_TRUE(cvsamples::BuildRunnable(cvsamples::BuiltInRecords()[5], sizeof(void*) == 8, &bytes));
    TempFolder dir(SampleParent());
    ASSERT_TRUE(dir.ok());
    const std::string exe = dir / (Unique("cvmem") + ".exe");
    ASSERT_TRUE(wintest::WriteBytes(exe, bytes.data(), bytes.size()));
    RunningProgram program;
    ASSERT_TRUE(program.Start(exe, ""));
    ASSERT_FALSE(DeleteFileA(exe.c_str())) << "the running sample holds its file";

    WindowlessPlatform platform;
    platform.defaultAnswer = pf::kIdCancel;
    ScopedScan scan(&platform);
    int exitCode = -1;
    try {
        RunMemoryCheck();
    } catch (const wintest::ProgramExit& e) {
        exitCode = e.code;
    }
    EXPECT_EQ(-1, exitCode) << "a find in memory does not end the program";
    EXPECT_TRUE(program.WaitGone(5000));
    EXPECT_FALSE(wintest::Exists(exe));
    const std::vector<std::string> expected = {"System Memory    W32/Vendrika.Trojan removed",
                                               exe + "     W32/Vendrika.Trojan removed"};
    EXPECT_EQ(expected, platform.lines);
    EXPECT_EQ(1, g_scan.infectedCount);
    EXPECT_EQ(1, g_scan.removedCount);
    EXPECT_EQ(0, g_scan.scannedCount);
    // The question comes exactly when the service fallback ran.
    EXPECT_EQ(g_scan.memoryRegistryCleaned ? 1u : 0u, platform.questions.size());
    EXPECT_TRUE(platform.rebootRequests.empty());
}

TEST(SystemWin, MemoryCheckLeavesCleanProgramsAlone) {
    if (GetOsClass() != 5 && GetOsClass() != 4) GTEST_SKIP() << "no memory step on this system";
    TempFolder dir(SampleParent());
    ASSERT_TRUE(dir.ok());
    const std::string exe = dir / (Unique("cvclean") + ".exe");
    RunningProgram program;
    ASSERT_TRUE(program.StartHeldCopy(exe));
    WindowlessPlatform platform;
    ScopedScan scan(&platform);
    RunMemoryCheck();  // returns: nothing infected runs
    EXPECT_TRUE(program.Running());
    EXPECT_TRUE(platform.lines.empty());
    EXPECT_FALSE(g_scan.memoryMode);
    EXPECT_EQ(0, g_scan.infectedCount);
}
#endif

// ---------------------------------------------------------------------------
// Services and their keys
// ---------------------------------------------------------------------------

TEST(SystemWin, ARealServiceIsStopped) {
    if (GetOsClass() != 5) GTEST_SKIP() << "services exist on the NT family only";
    const std::string name = Unique("CvTestSvc");
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(nullptr, manager) << GetLastError();
    const std::string command = "\"" + wintest::SelfPath() + "\" " + kServiceSwitch + " " + name;
    SC_HANDLE service = CreateServiceA(manager, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                       SERVICE_ERROR_IGNORE, command.c_str(), nullptr, nullptr,
                                       nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, service) << GetLastError();
    ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
    SERVICE_STATUS status{};
    for (int i = 0; i < 100 && QueryServiceStatus(service, &status) &&
                    status.dwCurrentState != SERVICE_RUNNING;
         ++i)
        Sleep(100);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), status.dwCurrentState);

    EXPECT_EQ(1, StopService(name.c_str(), 0)) << "it can be opened";
    EXPECT_TRUE(QueryServiceStatus(service, &status));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), status.dwCurrentState) << "and was left running";

    EXPECT_EQ(1, StopService(name.c_str(), 1));
    EXPECT_TRUE(QueryServiceStatus(service, &status));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), status.dwCurrentState);
    EXPECT_EQ(0, StopService(name.c_str(), 1)) << "a stopped service refuses the request";
    EXPECT_EQ(0, StopService((name + "Missing").c_str(), 1));

    DeleteService(service);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

TEST(SystemWin, ServiceKeysGoFromBothNumberedControlSets) {
    if (GetOsClass() != 5) GTEST_SKIP() << "the NT family only";
    const std::string name = Unique("CvTestKeys");
    // Wine has no numbered control sets: the test makes what it needs and
    // removes the sets again only if it made them.
    const char* sets[] = {"SYSTEM\\ControlSet001", "SYSTEM\\ControlSet002"};
    bool madeSet[2] = {false, false};
    for (int i = 0; i < 2; ++i) {
        HKEY k = nullptr;
        madeSet[i] = RegOpenKeyExA(HKEY_LOCAL_MACHINE, sets[i], 0, KEY_READ, &k) != ERROR_SUCCESS;
        if (k) RegCloseKey(k);
    }
    auto make = [](const std::string& path) {
        HKEY k = nullptr;
        const bool ok = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                                        KEY_ALL_ACCESS, nullptr, &k, nullptr) == ERROR_SUCCESS;
        if (k) RegCloseKey(k);
        return ok;
    };
    auto exists = [](const std::string& path) {
        HKEY k = nullptr;
        const bool ok = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &k) == ERROR_SUCCESS;
        if (k) RegCloseKey(k);
        return ok;
    };
    const std::string one = std::string(sets[0]) + "\\Services\\" + name;
    const std::string two = std::string(sets[1]) + "\\Services\\" + name;
    ASSERT_TRUE(make(one + "\\Enum") && make(one + "\\Security"));
    ASSERT_TRUE(make(two + "\\Enum") && make(two + "\\Security") && make(two + "\\Parameters"));

    EXPECT_EQ(1, DeleteServiceKeys(name.c_str()));
    EXPECT_FALSE(exists(one)) << "only Enum and Security: the whole key goes";
    EXPECT_TRUE(exists(two + "\\Parameters")) << "a further subkey keeps the key";
    EXPECT_FALSE(exists(two + "\\Enum"));
    EXPECT_FALSE(exists(two + "\\Security"));
    EXPECT_EQ(0, DeleteServiceKeys((name + "None").c_str()));

    RegDeleteKeyA(HKEY_LOCAL_MACHINE, (two + "\\Parameters").c_str());
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, two.c_str());
    for (int i = 0; i < 2; ++i) {
        if (!madeSet[i]) continue;
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, (std::string(sets[i]) + "\\Services").c_str());
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, sets[i]);
    }
}
