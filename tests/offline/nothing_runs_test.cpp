// The core's steps for a running Windows (memory, ending processes, services,
// privileges, restart, questions) over a volume of which nothing runs: each
// gives up at its first call, as on a system without the facility, opens
// nothing (so closes nothing), and every question gets the careful answer.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "scan/scan_context.h"
#include "platform/posix/posix_platform.h"
#include "system/memory_check.h"
#include "system/os_version.h"
#include "system/processes.h"
#include "system/restart.h"
#include "system/services.h"
#include "tests/offline/offline_support.h"

namespace {

// The POSIX platform, noting the calls that would show that something was
// opened, asked or told.
class Watched : public pf::posix::PosixPlatform {
public:
    std::vector<std::string> seen;
    pf::BOOL CloseHandle(pf::HANDLE handle) override {
        seen.push_back("CloseHandle");
        return PosixPlatform::CloseHandle(handle);
    }
    pf::BOOL CloseServiceHandle(pf::SC_HANDLE handle) override {
        seen.push_back("CloseServiceHandle");
        return PosixPlatform::CloseServiceHandle(handle);
    }
    pf::LRESULT SendMessageA(pf::HWND window, pf::UINT message, pf::WPARAM w, pf::LPARAM l) override {
        seen.push_back("SendMessageA " + std::to_string(message));
        return PosixPlatform::SendMessageA(window, message, w, l);
    }
    int MessageBoxA(pf::HWND owner, const char* text, const char* caption, pf::UINT flags) override {
        const int answer = PosixPlatform::MessageBoxA(owner, text, caption, flags);
        seen.push_back(std::string("MessageBoxA ") + text + " -> " + std::to_string(answer));
        return answer;
    }
};

}  // namespace

TEST(NothingRuns, RunningSystemStepsGiveUpAtOnce) {
    const char kFile[] = "C:\\Downloads\\setup.exe";
    struct Volume {
        const char* what;
        std::function<void(offline::Tree&)> plant;
        int osClass;
        // TerminateProcessesByPath's notice: not on 2000/XP, whose caller
        // decides by its second deletion.
        bool killNotice;
    } volumes[] = {
        {"XP", [](offline::Tree& t) {
             t.Folder("WINDOWS/system32/config");
             offline::WriteEmptyHive(t.Path("WINDOWS/system32/config/SYSTEM"));
             offline::WriteSoftwareHive(t.Path("WINDOWS/system32/config/SOFTWARE"));
             offline::SetHiveValues(t.Path("WINDOWS/system32/config/SOFTWARE"),
                                    "Microsoft\\Windows NT\\CurrentVersion", {{"CurrentVersion", "5.1"}});
         }, 5, false},
        {"NT 4.0", [](offline::Tree& t) {
             t.Folder("WINNT/system32/config");
             offline::WriteEmptyHive(t.Path("WINNT/system32/config/SYSTEM"));
             offline::WriteSoftwareHive(t.Path("WINNT/system32/config/SOFTWARE"), "C:\\WINNT");
             offline::SetHiveValues(t.Path("WINNT/system32/config/SOFTWARE"),
                                    "Microsoft\\Windows NT\\CurrentVersion", {{"CurrentVersion", "4.0"}});
         }, 5, true},
        {"98", [](offline::Tree& t) { t.File("WINDOWS/SYSTEM.DAT", "CREG"); }, 4, true},
    };
    for (const Volume& v : volumes) {
        SCOPED_TRACE(v.what);
        offline::Tree tree;
        v.plant(tree);
        tree.File("Downloads/setup.exe", offline::InfectedSample(0));
        Watched platform;
        std::string why;
        ASSERT_TRUE(platform.AddDrive(tree.Root(), &why)) << why;
        platform.SetWindows(pf::posix::PosixPlatform::FindWindows(platform, 'C'));
        pf::SetPlatform(&platform);
        ResetScanContextForTest();
        g_scan.mainWindow = reinterpret_cast<pf::HWND>(uintptr_t(0xC1EA));

        EXPECT_EQ(GetOsClass(), v.osClass);
        EXPECT_EQ(EnablePrivilege("SeDebugPrivilege"), kPrivilegeNoToken);
        EXPECT_EQ(RestartSystem(), 0);
        EXPECT_EQ(StopServiceOfImage("setup", kFile), 0);
        EXPECT_EQ(StopService("setup", 1), 0);
        EXPECT_EQ(ListProcessesBySnapshot(), nullptr);
        bool outOfMemory = true, listed = true;
        EXPECT_EQ(ListProcessesByModulePath(true, &outOfMemory, &listed), nullptr);
        EXPECT_FALSE(outOfMemory);
        EXPECT_FALSE(listed);
        EXPECT_EQ(TerminateProcessesByPath(kFile), 0);
        // The memory step finds no process, so nothing in memory.
        RunMemoryCheck();
        EXPECT_EQ(g_scan.infectedCount, 0u);
        EXPECT_FALSE(g_scan.memoryRegistryCleaned);

        // Nobody answers: nothing is restarted or cut short on that.
        pf::Platform& os = pf::Os();
        EXPECT_EQ(os.SkinMessageBox("Restart now?", "t", pf::kMbYesNo | pf::kMbIconQuestion), pf::kIdNo);
        EXPECT_EQ(os.SkinMessageBox("Restart the computer now?", "t", pf::kMbOkCancel | pf::kMbIconAsterisk),
                  pf::kIdCancel);
        EXPECT_EQ(os.SkinMessageBox("Terminate the Scan now?", "t", pf::kMbYesNoCancel), pf::kIdNo);
        pf::Msg msg{};
        EXPECT_EQ(os.PeekMessageA(&msg, nullptr, 0, 0, pf::kPmRemove), 0);
        pf::SetPlatform(nullptr);
        ResetScanContextForTest();

        std::vector<std::string> expected;
        if (v.killNotice) expected.push_back("MessageBoxA Could not kill process -> 1");
        EXPECT_EQ(platform.seen, expected);
        EXPECT_TRUE(tree.Snapshot().count("Downloads/setup.exe"));
    }
}
