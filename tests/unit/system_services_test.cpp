// Stopping a service and deleting its keys, on the simulated machine.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/sim/sim_machine.h"
#include "system/services.h"
#include "tests/unit/system_support.h"

using pf::sim::SimMachine;
using pf::sim::StopBehaviour;

namespace {

class ServiceTest : public ::testing::Test {
protected:
    ServiceTest() : guard_(machine) {}
    ~ServiceTest() override { EXPECT_TRUE(machine.serviceHandles.empty()); }

    pf::sim::SimService& Service(StopBehaviour how, int pendingPolls = 2) {
        pf::sim::SimService& s = machine.AddService("wormsvc");
        s.stop = how;
        s.pendingPolls = pendingPolls;
        return s;
    }
    void PlantKey(const std::string& path) { ASSERT_NE(machine.CreateKey(pf::kHkeyLocalMachine, path), nullptr); }
    bool HasKey(const std::string& path) { return machine.FindKey(pf::kHkeyLocalMachine, path) != nullptr; }

    SimMachine machine;

private:
    pf::sim::ScopedSimMachine guard_;
};

// ---------------------------------------------------------------------------
// StopService
// ---------------------------------------------------------------------------

TEST_F(ServiceTest, AServiceThatStopsAtOnceNeedsNoWait) {
    Service(StopBehaviour::StopsAtOnce);
    EXPECT_EQ(StopService("WORMSVC", 1), 1);
    EXPECT_EQ(machine.FindService("wormsvc")->state, pf::kServiceStopped);
    EXPECT_TRUE(machine.sleeps.empty());
    EXPECT_EQ(systest::FirstArg(machine, "OpenSCManagerA"), std::to_string(0xF003F));
    EXPECT_EQ(systest::FirstArg(machine, "OpenServiceA"), "WORMSVC");
    EXPECT_EQ(systest::FirstArg(machine, "ControlService"), "1");
    EXPECT_EQ(machine.CountCalls("QueryServiceStatus"), 1);
    EXPECT_EQ(machine.CountCalls("CloseServiceHandle"), 2);
}

TEST_F(ServiceTest, StopPendingIsPolledOnceASecond) {
    Service(StopBehaviour::PendingThenStopped, 3);
    EXPECT_EQ(StopService("wormsvc", 1), 1);
    EXPECT_EQ(machine.sleeps, (std::vector<pf::DWORD>{1000, 1000, 1000}));
    EXPECT_EQ(machine.CountCalls("QueryServiceStatus"), 4);
}

TEST_F(ServiceTest, AServiceThatFallsBackToRunningIsNotStopped) {
    Service(StopBehaviour::PendingThenRunning, 2);
    EXPECT_EQ(StopService("wormsvc", 1), 0);
    EXPECT_EQ(machine.sleeps.size(), 2u);
    EXPECT_EQ(machine.FindService("wormsvc")->state, pf::kServiceRunning);
}

TEST_F(ServiceTest, AServiceThatStaysPendingIsGivenUpOnAfterThirtySeconds) {
    Service(StopBehaviour::StaysPending);
    EXPECT_EQ(StopService("wormsvc", 1), 0);
    EXPECT_EQ(machine.clock, 30000u);
    EXPECT_EQ(machine.sleeps.size(), size_t(kStopPollLimit));
    EXPECT_EQ(machine.CountCalls("QueryServiceStatus"), kStopPollLimit + 1);

    // One that stops on the last poll before the limit still counts as stopped.
    machine.services.clear();
    machine.sleeps.clear();
    Service(StopBehaviour::PendingThenStopped, kStopPollLimit);
    EXPECT_EQ(StopService("wormsvc", 1), 1);
    EXPECT_EQ(machine.sleeps.size(), size_t(kStopPollLimit));
}

TEST_F(ServiceTest, AFailedQueryEndsThePollWithTheLastStateSeen) {
    Service(StopBehaviour::PendingThenStopped, 5);
    machine.FailCall("QueryServiceStatus", 3);
    EXPECT_EQ(StopService("wormsvc", 1), 0);  // still stop-pending when the query failed
    EXPECT_EQ(machine.sleeps.size(), 2u);

    // The very first query fails: the state ControlService returned decides.
    machine.services.clear();
    machine.sleeps.clear();
    Service(StopBehaviour::StopsAtOnce);
    machine.FailCall("QueryServiceStatus");
    EXPECT_EQ(StopService("wormsvc", 1), 0);  // it answered STOP_PENDING
    EXPECT_TRUE(machine.sleeps.empty());
}

TEST_F(ServiceTest, RefusalsAndMissingServices) {
    Service(StopBehaviour::RefusesStop);
    EXPECT_EQ(StopService("wormsvc", 1), 0);
    EXPECT_EQ(machine.CountCalls("QueryServiceStatus"), 0);

    EXPECT_EQ(StopService("noservice", 1), 0);
    EXPECT_EQ(machine.CountCalls("CloseServiceHandle"), 2 + 1);  // the manager of the second call

    machine.FailCall("OpenSCManagerA");
    EXPECT_EQ(StopService("wormsvc", 1), 0);
    EXPECT_EQ(machine.CountCalls("OpenServiceA"), 2);

    // An already stopped service refuses the stop request.
    machine.services.clear();
    Service(StopBehaviour::StopsAtOnce).state = pf::kServiceStopped;
    EXPECT_EQ(StopService("wormsvc", 1), 0);
}

TEST_F(ServiceTest, WithoutTheStopFlagOnlyOpeningCounts) {
    Service(StopBehaviour::StopsAtOnce);
    EXPECT_EQ(StopService("wormsvc", 0), 1);
    EXPECT_EQ(machine.CountCalls("ControlService"), 0);
    EXPECT_EQ(machine.FindService("wormsvc")->state, pf::kServiceRunning);
    EXPECT_EQ(StopService("other", 0), 0);
}

TEST_F(ServiceTest, StoppingTheServiceEndsItsProcess) {
    pf::sim::SimProcess& p = machine.AddProcess("C:\\WINDOWS\\system32\\wormsvc.exe");
    const pf::DWORD pid = p.pid;
    Service(StopBehaviour::PendingThenStopped, 1).processId = pid;
    EXPECT_EQ(StopService("wormsvc", 1), 1);
    EXPECT_FALSE(machine.FindProcess(pid)->alive);
}

// ---------------------------------------------------------------------------
// Key deletion
// ---------------------------------------------------------------------------

TEST_F(ServiceTest, SixDeletionsInOrderEachAttempted) {
    EXPECT_EQ(DeleteServiceKeys("foo"), 0);  // none of the keys exists
    EXPECT_EQ(systest::ArgsOf(machine, "RegDeleteKeyA"),
              (std::vector<std::string>{
                  "SYSTEM\\ControlSet001\\Services\\foo\\Enum",
                  "SYSTEM\\ControlSet001\\Services\\foo\\Security",
                  "SYSTEM\\ControlSet001\\Services\\foo",
                  "SYSTEM\\CONTROLSET002\\SERVICES\\foo\\Enum",
                  "SYSTEM\\ControlSet002\\Services\\foo\\Security",
                  "SYSTEM\\ControlSet002\\Services\\foo",
              }));
}

TEST_F(ServiceTest, KeysWithOnlyEnumAndSecurityGoCompletely) {
    for (const char* set : {"SYSTEM\\ControlSet001\\Services\\foo", "SYSTEM\\ControlSet002\\Services\\foo"}) {
        PlantKey(std::string(set) + "\\Enum");
        PlantKey(std::string(set) + "\\Security");
    }
    PlantKey("SYSTEM\\ControlSet001\\Services\\keep");
    EXPECT_EQ(DeleteServiceKeys("foo"), 1);
    EXPECT_FALSE(HasKey("SYSTEM\\ControlSet001\\Services\\foo"));
    EXPECT_FALSE(HasKey("SYSTEM\\ControlSet002\\Services\\foo"));
    EXPECT_TRUE(HasKey("SYSTEM\\ControlSet001\\Services\\keep"));
}

TEST_F(ServiceTest, AFurtherSubkeyKeepsTheServiceKey) {
    PlantKey("SYSTEM\\ControlSet001\\Services\\foo\\Enum");
    PlantKey("SYSTEM\\ControlSet001\\Services\\foo\\Security");
    PlantKey("SYSTEM\\ControlSet001\\Services\\foo\\Parameters");
    PlantKey("SYSTEM\\ControlSet002\\Services\\foo");
    EXPECT_EQ(DeleteServiceKeys("foo"), 1);
    EXPECT_TRUE(HasKey("SYSTEM\\ControlSet001\\Services\\foo\\Parameters"));
    EXPECT_FALSE(HasKey("SYSTEM\\ControlSet001\\Services\\foo\\Enum"));
    EXPECT_FALSE(HasKey("SYSTEM\\ControlSet001\\Services\\foo\\Security"));
    EXPECT_FALSE(HasKey("SYSTEM\\ControlSet002\\Services\\foo"));

    // Only one deletion working is enough for 1; a failure does not stop the rest.
    PlantKey("SYSTEM\\ControlSet002\\Services\\bar");
    machine.FailCall("RegDeleteKeyA", 1);
    EXPECT_EQ(DeleteServiceKeys("bar"), 1);
    EXPECT_FALSE(HasKey("SYSTEM\\ControlSet002\\Services\\bar"));
}

// A service is the worm's only when its ImagePath, as Windows reads it,
// names the infected file; a name in common is not enough.
TEST_F(ServiceTest, OnlyAnImagePathNamingTheFileMakesAServiceTheWorms) {
    machine.windowsDirectory = "C:\\WINDOWS";
    const std::string file = "C:\\WINDOWS\\system32\\alg.exe";
    struct Case {
        const char* imagePath;
        bool names;
    };
    const Case cases[] = {
        {"C:\\WINDOWS\\system32\\alg.exe", true},
        {"c:\\windows\\SYSTEM32\\ALG.EXE", true},
        {"%SystemRoot%\\System32\\alg.exe", true},
        {"%windir%\\system32\\alg.exe -k netsvcs", true},
        {"\\SystemRoot\\system32\\alg.exe", true},
        {"system32\\alg.exe", true},  // relative to the Windows folder, as for drivers
        {"\\??\\C:\\WINDOWS\\system32\\alg.exe", true},
        {"\"C:\\WINDOWS\\system32\\alg.exe\" /service", true},
        {"  \"%SystemRoot%\\system32\\alg.exe\"", true},
        {"C:\\Data\\alg.exe", false},  // the same name in another folder
        {"%SystemRoot%\\alg.exe", false},
        {"C:\\WINDOWS\\system32\\alg.exe.bak", false},
        {"C:\\WINDOWS\\system32\\alg.exex", false},
        {"\"C:\\WINDOWS\\system32\\alg.exe /s\"", false},  // quoted: all of it is the path
        {"\"C:\\WINDOWS\\system32\\alg.exe", false},        // a quote never closed
        {"\\Device\\HarddiskVolume1\\WINDOWS\\system32\\alg.exe", false},
        {"alg.exe", false},
        {"", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ImagePathNamesFile(c.imagePath, file.c_str()), c.names) << c.imagePath;
        // Both uses follow it: the service manager's configuration for the
        // stop, each control set's own value for its keys.
        machine.services.clear();
        machine.hklm.subkeys.clear();
        Service(StopBehaviour::StopsAtOnce).imagePath = c.imagePath;
        for (const char* set : {"SYSTEM\\ControlSet001\\Services\\wormsvc", "SYSTEM\\ControlSet002\\Services\\wormsvc"}) {
            PlantKey(std::string(set) + "\\Enum");
            machine.SetString(pf::kHkeyLocalMachine, set, "ImagePath", c.imagePath, pf::kRegExpandSz);
        }
        EXPECT_EQ(StopServiceOfImage("wormsvc", file.c_str()), c.names ? 1 : 0) << c.imagePath;
        EXPECT_EQ(machine.FindService("wormsvc")->stopRequests, c.names ? 1 : 0) << c.imagePath;
        EXPECT_EQ(DeleteServiceKeysOfImage("wormsvc", file.c_str()), c.names ? 1 : 0) << c.imagePath;
        EXPECT_EQ(HasKey("SYSTEM\\ControlSet001\\Services\\wormsvc"), !c.names) << c.imagePath;
        EXPECT_EQ(HasKey("SYSTEM\\ControlSet002\\Services\\wormsvc"), !c.names) << c.imagePath;
    }
    // Each control set answers for itself: Last Known Good keeps the real one.
    machine.hklm.subkeys.clear();
    machine.SetString(pf::kHkeyLocalMachine, "SYSTEM\\ControlSet001\\Services\\alg", "ImagePath", file);
    machine.SetString(pf::kHkeyLocalMachine, "SYSTEM\\ControlSet002\\Services\\alg", "ImagePath",
                      "C:\\Other\\alg.exe");
    EXPECT_EQ(DeleteServiceKeysOfImage("alg", file.c_str()), 1);
    EXPECT_FALSE(HasKey("SYSTEM\\ControlSet001\\Services\\alg"));
    EXPECT_TRUE(HasKey("SYSTEM\\ControlSet002\\Services\\alg"));
    // No ImagePath, one of another type, or a key that cannot be read: nothing goes.
    machine.SetValue(pf::kHkeyLocalMachine, "SYSTEM\\ControlSet002\\Services\\alg", "ImagePath", pf::kRegBinary, file);
    EXPECT_EQ(DeleteServiceKeysOfImage("alg", file.c_str()), 0);
    machine.SetString(pf::kHkeyLocalMachine, "SYSTEM\\ControlSet002\\Services\\alg", "ImagePath", file);
    machine.FindKey(pf::kHkeyLocalMachine, "SYSTEM\\ControlSet002\\Services\\alg")->denyOpen = true;
    EXPECT_EQ(DeleteServiceKeysOfImage("alg", file.c_str()), 0);
    EXPECT_TRUE(HasKey("SYSTEM\\ControlSet002\\Services\\alg"));

    // After a Last Known Good start the system runs the third set or a later
    // one: every set there is is cleaned, and the keys count as removed only
    // when the set Select\Current names lost them.
    struct Sets {
        unsigned current;
        const char* naming[4];  // ImagePath of the service in ControlSet001..004
        int result;
    } rows[] = {
        {3, {file.c_str(), file.c_str(), file.c_str(), nullptr}, 1},
        {3, {file.c_str(), file.c_str(), "C:\\Other\\alg.exe", nullptr}, 0},  // the running set is another's
        {4, {nullptr, nullptr, nullptr, file.c_str()}, 1},
    };
    for (const Sets& row : rows) {
        machine.hklm.subkeys.clear();
        const std::string current(reinterpret_cast<const char*>(&row.current), 4);
        machine.SetValue(pf::kHkeyLocalMachine, "SYSTEM\\Select", "Current", pf::kRegDword, current);
        for (int i = 0; i < 4; ++i)
            if (row.naming[i])
                machine.SetString(pf::kHkeyLocalMachine,
                                  "SYSTEM\\ControlSet00" + std::to_string(i + 1) + "\\Services\\alg", "ImagePath",
                                  row.naming[i]);
        EXPECT_EQ(DeleteServiceKeysOfImage("alg", file.c_str()), row.result) << row.current;
        for (int i = 0; i < 4; ++i)
            if (row.naming[i])
                EXPECT_EQ(HasKey("SYSTEM\\ControlSet00" + std::to_string(i + 1) + "\\Services\\alg"),
                          row.naming[i] != file.c_str())
                    << row.current << " set " << i + 1;
    }
}

// A shared host (svchost -k, services.exe) runs many services: its ImagePath
// makes none of them the worm's; a hosted service is the worm's when its
// ServiceDll is the file. For svchost.exe of Windows itself nothing goes.
TEST_F(ServiceTest, ASharedHostNamesNoneOfTheServicesItHosts) {
    machine.SetVersion(pf::sim::WinVersion::WinXp);
    machine.windowsDirectory = "C:\\WINDOWS";
    machine.systemDirectory = "C:\\WINDOWS\\system32";
    const char* const kSvchost = "%SystemRoot%\\system32\\svchost.exe -k netsvcs";
    enum Dll { kNone, kParameters, kInKey };  // where ServiceDll is: XP and later, 2000
    struct Case {
        pf::DWORD type;
        const char* imagePath;
        Dll where;
        const char* serviceDll;
        const char* file;  // the infected file
        bool worms;
    } cases[] = {
        {0x20, kSvchost, kParameters, "%SystemRoot%\\system32\\wormsvc.dll", "C:\\WINDOWS\\system32\\wormsvc.dll", true},
        {0x20, kSvchost, kInKey, "C:\\WINDOWS\\system32\\wormsvc.dll", "c:\\windows\\system32\\WORMSVC.DLL", true},
        {0x120, kSvchost, kParameters, "C:\\WINDOWS\\system32\\wormsvc.dll", "C:\\WINDOWS\\system32\\wormsvc.dll", true},
        {0x20, kSvchost, kParameters, "%SystemRoot%\\system32\\rpcss.dll", "C:\\WINDOWS\\system32\\svchost.exe", false},
        {0x20, kSvchost, kNone, "", "C:\\WINDOWS\\system32\\svchost.exe", false},
        {0x20, "C:\\Tools\\host.exe -k g", kParameters, "C:\\Tools\\one.dll", "C:\\Tools\\host.exe", false},
        {0x20, "C:\\Tools\\host.exe", kNone, "", "C:\\Tools\\host.exe", false},  // a host like services.exe
        {0x10, "C:\\Tools\\host.exe -k g", kParameters, "C:\\Tools\\one.dll", "C:\\Tools\\host.exe", false},
        {0x10, "C:\\Tools\\host.exe -k g", kParameters, "C:\\Tools\\one.dll", "C:\\Tools\\one.dll", true},
        {0x20, kSvchost, kParameters, "C:\\Program Files\\x.dll", "C:\\Program", false},  // loaded whole
        {0x10, "C:\\Tools\\worm.exe", kNone, "", "C:\\Tools\\worm.exe", true},
        // A program of Windows itself, however its service is configured.
        {0x10, kSvchost, kNone, "", "C:\\WINDOWS\\system32\\svchost.exe", false},
        {0x10, "%SystemRoot%\\system32\\lsass.exe", kNone, "", "C:\\WINDOWS\\system32\\lsass.exe", false},
    };
    const std::string sets[] = {"SYSTEM\\ControlSet001\\Services\\wormsvc", "SYSTEM\\ControlSet002\\Services\\wormsvc",
                                "SYSTEM\\CurrentControlSet\\Services\\wormsvc"};
    for (const Case& c : cases) {
        const std::string what = std::string(c.imagePath) + " / " + c.serviceDll + " / " + c.file;
        for (int use = 0; use < 3; ++use) {
            machine.services.clear();
            machine.hklm.subkeys.clear();
            pf::sim::SimService& service = Service(StopBehaviour::StopsAtOnce);
            service.imagePath = c.imagePath;
            service.type = c.type;
            for (const std::string& key : sets) {
                machine.SetString(pf::kHkeyLocalMachine, key, "ImagePath", c.imagePath, pf::kRegExpandSz);
                const std::string type(reinterpret_cast<const char*>(&c.type), 4);
                machine.SetValue(pf::kHkeyLocalMachine, key, "Type", pf::kRegDword, type);
                if (c.where != kNone)
                    machine.SetString(pf::kHkeyLocalMachine, c.where == kParameters ? key + "\\Parameters" : key,
                                      "ServiceDll", c.serviceDll, pf::kRegExpandSz);
            }
            if (use == 0) {
                EXPECT_EQ(StopServiceOfImage("wormsvc", c.file), c.worms ? 1 : 0) << what;
                EXPECT_EQ(machine.FindService("wormsvc")->stopRequests, c.worms ? 1 : 0) << what;
            } else if (use == 1) {
                EXPECT_EQ(DeleteServiceKeysOfImage("wormsvc", c.file), c.worms ? 1 : 0) << what;
            } else {
                EXPECT_EQ(RemoveServicesOfImage(c.file), c.worms ? 2 : 0) << what;
            }
            if (use > 0)
                for (int i = 0; i < 2; ++i) EXPECT_EQ(HasKey(sets[i]), !c.worms) << what << " use " << use;
        }
    }
}

// The service manager expands the environment strings of an ImagePath only
// when it is REG_EXPAND_SZ; a REG_SZ one holding "%SystemRoot%" is run as
// written and starts no file of the Windows folder: the service is not
// stopped and its keys stay. The kernel's own forms (\SystemRoot\,
// relative) need no expansion.
TEST_F(ServiceTest, OnlyAnExpandableImagePathIsExpanded) {
    machine.windowsDirectory = "C:\\WINDOWS";
    const std::string file = "C:\\WINDOWS\\system32\\alg.exe";
    const struct {
        const char* imagePath;
        pf::DWORD type;
        bool names;
    } cases[] = {
        {"%SystemRoot%\\system32\\alg.exe", pf::kRegExpandSz, true},
        {"%SystemRoot%\\system32\\alg.exe", pf::kRegSz, false},
        {"%windir%\\system32\\alg.exe -k x", pf::kRegSz, false},
        {"\\SystemRoot\\system32\\alg.exe", pf::kRegSz, true},
        {"system32\\alg.exe", pf::kRegSz, true},
    };
    for (const auto& c : cases) {
        machine.hklm.subkeys.clear();
        machine.services.clear();
        Service(StopBehaviour::StopsAtOnce).imagePath = c.imagePath;
        machine.SetString(pf::kHkeyLocalMachine, "SYSTEM\\ControlSet001\\Services\\wormsvc", "ImagePath",
                          c.imagePath, c.type);
        EXPECT_EQ(StopServiceOfImage("wormsvc", file.c_str()), c.names ? 1 : 0) << c.imagePath << c.type;
        EXPECT_EQ(DeleteServiceKeysOfImage("wormsvc", file.c_str()), c.names ? 1 : 0) << c.imagePath << c.type;
        EXPECT_EQ(HasKey("SYSTEM\\ControlSet001\\Services\\wormsvc"), !c.names) << c.imagePath << c.type;
    }
}

TEST_F(ServiceTest, ANameTooLongForTheKeyBufferDeletesNothing) {
    const std::string name(600, 'n');
    PlantKey("SYSTEM\\ControlSet001\\Services\\" + name.substr(0, 400));
    EXPECT_EQ(DeleteServiceKeys(name.c_str()), 0);
    EXPECT_EQ(machine.CountCalls("RegDeleteKeyA"), 0);
    EXPECT_TRUE(HasKey("SYSTEM\\ControlSet001\\Services\\" + name.substr(0, 400)));
}

// The simulated manager refuses what Windows refuses: a stop without
// SERVICE_STOP, a status query without SERVICE_QUERY_STATUS, and to a limited
// account anything beyond looking.
TEST_F(ServiceTest, HandlesCarryOnlyTheRightsAskedFor) {
    struct Case {
        bool limited;
        pf::DWORD managerAccess, serviceAccess;
        bool managerOpens, serviceOpens, stops, queries;
    };
    const pf::DWORD queryStatus = 0x4, stop = 0x20, connect = 0x1;
    const Case cases[] = {
        {false, pf::kScManagerAllAccess, pf::kScManagerAllAccess, true, true, true, true},
        {false, connect, stop, true, true, true, false},
        {false, connect, queryStatus, true, true, false, true},
        {false, connect, 0x10000000 /* GENERIC_ALL */, true, true, true, true},
        {true, pf::kScManagerAllAccess, 0, false, false, false, false},
        {true, connect, stop, true, false, false, false},
        {true, connect, queryStatus, true, true, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.managerAccess) + " " + std::to_string(c.serviceAccess) +
                     (c.limited ? " limited" : ""));
        machine.services.clear();
        machine.limitedUser = c.limited;
        Service(StopBehaviour::StopsAtOnce);
        pf::SC_HANDLE manager = machine.OpenSCManagerA(nullptr, nullptr, c.managerAccess);
        EXPECT_EQ(manager != nullptr, c.managerOpens);
        if (!manager) {
            EXPECT_EQ(machine.GetLastError(), pf::kErrorAccessDenied);
            continue;
        }
        pf::SC_HANDLE service = machine.OpenServiceA(manager, "wormsvc", c.serviceAccess);
        EXPECT_EQ(service != nullptr, c.serviceOpens);
        if (service) {
            pf::ServiceStatus status{};
            EXPECT_EQ(machine.QueryServiceStatus(service, &status) != 0, c.queries);
            EXPECT_EQ(machine.ControlService(service, pf::kServiceControlStop, &status) != 0, c.stops);
            if (!c.stops) EXPECT_EQ(machine.GetLastError(), pf::kErrorAccessDenied);
            EXPECT_EQ(machine.FindService("wormsvc")->stopRequests, c.stops ? 1 : 0);
            machine.CloseServiceHandle(service);
        }
        machine.CloseServiceHandle(manager);
    }
    // Through StopService a limited account stops nothing.
    machine.services.clear();
    Service(StopBehaviour::StopsAtOnce);
    EXPECT_EQ(StopService("wormsvc", 1), 0);
    EXPECT_EQ(machine.FindService("wormsvc")->state, pf::kServiceRunning);
}

TEST_F(ServiceTest, AnEmptyNameAddressesNothing) {
    Service(StopBehaviour::StopsAtOnce);
    PlantKey("SYSTEM\\ControlSet001\\Services\\Enum");
    PlantKey("SYSTEM\\ControlSet002\\Services\\Security");
    for (const char* name : {"", static_cast<const char*>(nullptr)}) {
        EXPECT_EQ(StopService(name, 1), 0);
        EXPECT_EQ(StopService(name, 0), 0);
        EXPECT_EQ(DeleteServiceKeys(name), 0);
    }
    EXPECT_EQ(machine.CountCalls("OpenSCManagerA"), 0);
    EXPECT_EQ(machine.CountCalls("RegDeleteKeyA"), 0);
    EXPECT_TRUE(HasKey("SYSTEM\\ControlSet001\\Services\\Enum"));
    EXPECT_TRUE(HasKey("SYSTEM\\ControlSet002\\Services\\Security"));
}

TEST_F(ServiceTest, DeleteMachineKeyIsOneOnSuccessOnly) {
    PlantKey("SOFTWARE\\Worm\\Sub");
    EXPECT_EQ(DeleteMachineKey("SOFTWARE\\Worm"), 0);  // has a subkey
    EXPECT_EQ(DeleteMachineKey("SOFTWARE\\Worm\\Sub"), 1);
    EXPECT_EQ(DeleteMachineKey("SOFTWARE\\Worm"), 1);
    EXPECT_EQ(DeleteMachineKey("SOFTWARE\\Worm"), 0);
}

}  // namespace
