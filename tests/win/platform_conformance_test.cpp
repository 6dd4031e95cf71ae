// One test body, two machines: the real system and the simulated machine
// the host tests run on. Every case states a behaviour the core relies on
// (error codes, end-of-list answers, text-mode reads ...); where the two
// disagree, the host tests would be testing against a machine that does not
// exist, and a case here fails for the simulated machine only.
#include <gtest/gtest.h>
#include <algorithm>

#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/sim/sim_machine.h"
#include "platform/win32/win32_platform.h"
#include "tests/win/win_test_util.h"

namespace {

const char kKey[] = "Software\\CleanVendrikaConformance";

class Machine {
public:
    virtual ~Machine() = default;
    virtual pf::Platform& os() = 0;
    // An existing, empty folder on a fixed drive.
    virtual std::string root() = 0;
    virtual bool AddFile(const std::string& path, const std::string& content,
                         pf::DWORD attributes) = 0;
    virtual bool AddFolder(const std::string& path) = 0;
    virtual bool Exists(const std::string& path) = 0;
    virtual bool SetString(const char* name, const std::string& text) = 0;  // under kKey
    virtual bool CreateKey(const std::string& subPath) = 0;                 // under kKey
    // A running program started from `path`; its id, 0 when it could not start.
    virtual pf::DWORD StartProgram(const std::string& path) = 0;
    // A service that is installed but not running.
    virtual bool AddStoppedService(const char* name) = 0;
};

class RealMachine : public Machine {
public:
    ~RealMachine() override {
        for (auto it = keys_.rbegin(); it != keys_.rend(); ++it)
            RegDeleteKeyA(HKEY_LOCAL_MACHINE, it->c_str());
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, kKey);
        for (const std::string& name : services_) {
            SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
            SC_HANDLE service = manager ? OpenServiceA(manager, name.c_str(), DELETE) : nullptr;
            if (service) {
                DeleteService(service);
                CloseServiceHandle(service);
            }
            if (manager) CloseServiceHandle(manager);
        }
    }
    bool CreateKey(const std::string& subPath) override {
        std::string path = kKey;
        size_t start = 0;
        // Each level on its own, so that the destructor can remove them deepest first.
        while (start <= subPath.size()) {
            size_t end = subPath.find('\\', start);
            if (end == std::string::npos) end = subPath.size();
            path += "\\" + subPath.substr(start, end - start);
            HKEY k = nullptr;
            if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                nullptr, &k, nullptr) != ERROR_SUCCESS)
                return false;
            RegCloseKey(k);
            keys_.push_back(path);
            start = end + 1;
        }
        return true;
    }
    pf::DWORD StartProgram(const std::string& path) override {
        programs_.emplace_back(new wintest::RunningProgram);
        return programs_.back()->StartHeldCopy(path) ? programs_.back()->id() : 0;
    }
    bool AddStoppedService(const char* name) override {
        SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        if (!manager) return false;
        SC_HANDLE service =
            CreateServiceA(manager, name, name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                           SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                           "C:\\cv-conformance-no-such-program.exe", nullptr, nullptr, nullptr,
                           nullptr, nullptr);
        if (service) {
            services_.push_back(name);
            CloseServiceHandle(service);
        }
        CloseServiceHandle(manager);
        return service != nullptr;
    }
    pf::Platform& os() override { return pf::win32::RealPlatform(); }
    std::string root() override { return folder_.path(); }
    bool AddFile(const std::string& path, const std::string& content,
                 pf::DWORD attributes) override {
        return wintest::WriteText(path, content) && SetFileAttributesA(path.c_str(), attributes);
    }
    bool AddFolder(const std::string& path) override { return wintest::MakeFolder(path); }
    bool Exists(const std::string& path) override { return wintest::Exists(path); }
    bool SetString(const char* name, const std::string& text) override {
        HKEY k = nullptr;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                            nullptr) != ERROR_SUCCESS) {
            return false;
        }
        LONG rc = RegSetValueExA(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                 DWORD(text.size() + 1));
        RegCloseKey(k);
        return rc == ERROR_SUCCESS;
    }

private:
    wintest::TempFolder folder_;
    std::vector<std::string> keys_;
    std::vector<std::string> services_;
    std::vector<std::unique_ptr<wintest::RunningProgram>> programs_;
};

class SimulatedMachine : public Machine {
public:
    SimulatedMachine() {
        sim_.SetDriveType('C', pf::kDriveFixed);
        sim_.AddFolder("C:\\conformance");
    }
    pf::Platform& os() override { return sim_; }
    std::string root() override { return "C:\\conformance"; }
    bool AddFile(const std::string& path, const std::string& content,
                 pf::DWORD attributes) override {
        return sim_.AddFile(path, content, attributes);
    }
    bool AddFolder(const std::string& path) override { return sim_.AddFolder(path); }
    bool Exists(const std::string& path) override { return sim_.Exists(path); }
    bool SetString(const char* name, const std::string& text) override {
        sim_.SetString(pf::kHkeyLocalMachine, kKey, name, text);
        return true;
    }
    bool CreateKey(const std::string& subPath) override {
        return sim_.CreateKey(pf::kHkeyLocalMachine, std::string(kKey) + "\\" + subPath) != nullptr;
    }
    pf::DWORD StartProgram(const std::string& path) override {
        if (!sim_.AddFile(path, "MZ", pf::kFileAttributeArchive)) return 0;
        return sim_.AddProcess(path).pid;
    }
    bool AddStoppedService(const char* name) override {
        pf::sim::SimService& service = sim_.AddService(name);
        service.state = pf::kServiceStopped;
        service.imagePath = "C:\\cv-conformance-no-such-program.exe";
        return true;
    }

private:
    pf::sim::SimMachine sim_;
};

class Conformance : public testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        if (std::string(GetParam()) == "real") {
            machine_.reset(new RealMachine);
        } else {
            machine_.reset(new SimulatedMachine);
        }
        root_ = machine_->root();
        ASSERT_FALSE(root_.empty());
    }
    pf::Platform& os() { return machine_->os(); }
    std::string at(const std::string& name) const { return root_ + "\\" + name; }

    std::unique_ptr<Machine> machine_;
    std::string root_;
};

TEST_P(Conformance, ListingGivesDotsFilesAndFoldersThenNoMoreFiles) {
    ASSERT_TRUE(machine_->AddFile(at("a.exe"), "abc", pf::kFileAttributeArchive));
    ASSERT_TRUE(machine_->AddFile(at("h.dll"), "", pf::kFileAttributeHidden |
                                                       pf::kFileAttributeReadonly));
    ASSERT_TRUE(machine_->AddFolder(at("sub")));

    pf::FindDataA d;
    pf::HANDLE h = os().FindFirstFileA(at("*.*").c_str(), &d);
    ASSERT_NE(pf::kInvalidHandleValue, h);
    std::set<std::string> names;
    do {
        names.insert(d.cFileName);
        const std::string n = d.cFileName;
        const bool folder = (d.dwFileAttributes & pf::kFileAttributeDirectory) != 0;
        EXPECT_EQ(n == "sub" || n == "." || n == "..", folder) << n;
        if (n == "a.exe") {
            EXPECT_EQ(3u, d.nFileSizeLow);
        }
        if (n == "h.dll") {
            EXPECT_TRUE(d.dwFileAttributes & pf::kFileAttributeHidden);
            EXPECT_TRUE(d.dwFileAttributes & pf::kFileAttributeReadonly);
        }
    } while (os().FindNextFileA(h, &d));
    EXPECT_EQ(pf::kErrorNoMoreFiles, os().GetLastError());
    EXPECT_TRUE(os().FindClose(h));
    EXPECT_EQ((std::set<std::string>{".", "..", "a.exe", "h.dll", "sub"}), names);

    // An exact path (how running programs are inspected) gives that entry only.
    h = os().FindFirstFileA(at("a.exe").c_str(), &d);
    ASSERT_NE(pf::kInvalidHandleValue, h);
    EXPECT_STREQ("a.exe", d.cFileName);
    EXPECT_FALSE(os().FindNextFileA(h, &d));
    os().FindClose(h);

    EXPECT_EQ(pf::kInvalidHandleValue, os().FindFirstFileA(at("none\\*.*").c_str(), &d));
    EXPECT_EQ(pf::kErrorPathNotFound, os().GetLastError());
    EXPECT_EQ(pf::kInvalidHandleValue, os().FindFirstFileA(at("none.exe").c_str(), &d));
    EXPECT_EQ(pf::kErrorFileNotFound, os().GetLastError());
}

TEST_P(Conformance, ReadOnlyFilesResistDeletionUntilTheirAttributesAreReset) {
    const std::string f = at("guarded.exe");
    ASSERT_TRUE(machine_->AddFile(f, "MZ", pf::kFileAttributeReadonly | pf::kFileAttributeHidden |
                                               pf::kFileAttributeSystem));
    EXPECT_FALSE(os().DeleteFileA(f.c_str()));
    EXPECT_EQ(pf::kErrorAccessDenied, os().GetLastError());
    EXPECT_TRUE(machine_->Exists(f));
    EXPECT_TRUE(os().SetFileAttributesA(f.c_str(), pf::kFileAttributeArchive));
    EXPECT_TRUE(os().DeleteFileA(f.c_str()));
    EXPECT_FALSE(machine_->Exists(f));
    EXPECT_FALSE(os().DeleteFileA(f.c_str()));
    EXPECT_EQ(pf::kErrorFileNotFound, os().GetLastError());
    EXPECT_FALSE(os().SetFileAttributesA(f.c_str(), pf::kFileAttributeArchive));
    EXPECT_EQ(pf::kErrorFileNotFound, os().GetLastError());
    EXPECT_EQ(pf::kDriveFixed, os().GetDriveTypeA("C:\\"));
}

TEST_P(Conformance, LowLevelReadsStopAtTheEndAndRefuseNegativeSeeks) {
    const std::string f = at("data.bin");
    ASSERT_TRUE(machine_->AddFile(f, std::string("MZ\r\n\0\x01PE\0\0", 10),
                                  pf::kFileAttributeArchive));
    const int flags = pf::kORdonly | pf::kOBinary, mode = pf::kSIread | pf::kSIwrite;
    EXPECT_EQ(-1, os()._open(at("none.bin").c_str(), flags, mode));
    int fd = os()._open(f.c_str(), flags, mode);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(10, os()._filelength(fd));
    char buf[32];
    EXPECT_EQ(6, os()._read(fd, buf, 6));
    EXPECT_EQ(0, std::memcmp(buf, "MZ\r\n\0\x01", 6));
    EXPECT_EQ(4, os()._read(fd, buf, 32));
    EXPECT_EQ(0, os()._read(fd, buf, 32));
    EXPECT_EQ(500, os()._lseek(fd, 500, pf::kSeekSet));
    EXPECT_EQ(0, os()._read(fd, buf, 32));
    EXPECT_EQ(-1, os()._lseek(fd, -1, pf::kSeekSet));
    EXPECT_EQ(2, os()._lseek(fd, 2, pf::kSeekSet));
    EXPECT_EQ(2, os()._read(fd, buf, 2));
    EXPECT_EQ(0, std::memcmp(buf, "\r\n", 2));
    EXPECT_EQ(0, os()._close(fd));
    EXPECT_EQ(-1, os()._close(fd));
    EXPECT_EQ(0, os()._access(f.c_str(), 0));
    EXPECT_EQ(-1, os()._access(at("none.bin").c_str(), 0));
    EXPECT_EQ(0, os()._access(root_.c_str(), 0)) << "folders exist too";
}

TEST_P(Conformance, AppendedBytesReadBackAsTextLines) {
    const std::string f = at("wininit.ini");
    const int flags = pf::kOWronly | pf::kOCreat | pf::kOAppend | pf::kOBinary;
    int fd = os()._open(f.c_str(), flags, pf::kSIread | pf::kSIwrite);
    ASSERT_GE(fd, 0);
    const char text[] = "[rename]\r\nNUL=C:\\A\\VERY\\LONG\\PATH.EXE\r\nlast";
    EXPECT_EQ(int(sizeof(text) - 1), os()._write(fd, text, sizeof(text) - 1));
    EXPECT_EQ(0, os()._close(fd));
    fd = os()._open(f.c_str(), flags, pf::kSIread | pf::kSIwrite);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(2, os()._write(fd, "\r\n", 2));  // appended after "last"
    EXPECT_EQ(0, os()._close(fd));

    pf::FILE_STREAM s = os().fopen(f.c_str(), "r");
    ASSERT_NE(nullptr, s);
    char line[16];
    ASSERT_NE(nullptr, os().fgets(line, sizeof(line), s));
    EXPECT_STREQ("[rename]\n", line);  // CR LF becomes LF in text mode
    ASSERT_NE(nullptr, os().fgets(line, sizeof(line), s));
    EXPECT_STREQ("NUL=C:\\A\\VERY\\L", line);  // a long line comes in pieces
    ASSERT_NE(nullptr, os().fgets(line, sizeof(line), s));
    EXPECT_STREQ("ONG\\PATH.EXE\n", line);
    ASSERT_NE(nullptr, os().fgets(line, sizeof(line), s));
    EXPECT_STREQ("last\n", line);
    EXPECT_EQ(nullptr, os().fgets(line, sizeof(line), s));
    EXPECT_EQ(0, os().fclose(s));
    EXPECT_EQ(nullptr, os().fopen(at("none.ini").c_str(), "r"));
}

TEST_P(Conformance, RegistryAnswersSizesEndsAndMissingNames) {
    pf::HKEY key = nullptr;
    EXPECT_EQ(long(pf::kErrorFileNotFound),
              long(os().RegOpenKeyExA(pf::kHkeyLocalMachine, kKey, 0, pf::kKeyRead, &key)));
    ASSERT_TRUE(machine_->SetString("first", "C:\\x.exe"));
    ASSERT_TRUE(machine_->SetString("second", ""));
    ASSERT_EQ(0, os().RegOpenKeyExA(pf::kHkeyLocalMachine, kKey, 0, pf::kKeyAllAccess, &key));

    pf::DWORD subKeys = 7, values = 7;
    EXPECT_EQ(0, os().RegQueryInfoKeyA(key, &subKeys, &values));
    EXPECT_EQ(0u, subKeys);
    EXPECT_EQ(2u, values);

    pf::DWORD type = 0, size = 0;
    EXPECT_EQ(0, os().RegQueryValueExA(key, "first", nullptr, &type, nullptr, &size));
    EXPECT_EQ(9u, size);  // the terminator counts
    EXPECT_EQ(pf::kRegSz, type);
    pf::BYTE data[16];
    size = 3;
    EXPECT_EQ(long(pf::kErrorMoreData),
              long(os().RegQueryValueExA(key, "first", nullptr, &type, data, &size)));
    EXPECT_EQ(9u, size) << "the needed size comes back";
    size = sizeof(data);
    EXPECT_EQ(0, os().RegQueryValueExA(key, "FIRST", nullptr, &type, data, &size))
        << "value names ignore letter case";
    EXPECT_STREQ("C:\\x.exe", reinterpret_cast<char*>(data));

    char name[64];
    pf::DWORD nameSize = sizeof(name);
    EXPECT_EQ(long(pf::kErrorNoMoreItems),
              long(os().RegEnumValueA(key, 2, name, &nameSize, nullptr, nullptr, nullptr,
                                      nullptr)));
    nameSize = 3;  // too short for "second"
    EXPECT_EQ(long(pf::kErrorMoreData),
              long(os().RegEnumValueA(key, 1, name, &nameSize, nullptr, nullptr, nullptr,
                                      nullptr)));

    EXPECT_EQ(0, os().RegDeleteValueA(key, "first"));
    EXPECT_EQ(long(pf::kErrorFileNotFound), long(os().RegDeleteValueA(key, "first")));
    nameSize = sizeof(name);
    EXPECT_EQ(0, os().RegEnumValueA(key, 0, name, &nameSize, nullptr, nullptr, nullptr, nullptr));
    EXPECT_STREQ("second", name) << "the next value moves up after a deletion";
    EXPECT_EQ(6u, nameSize);
    EXPECT_EQ(0, os().RegCloseKey(key));
}

TEST_P(Conformance, KeyHandlesAllowOnlyTheRightsAskedFor) {
    ASSERT_TRUE(machine_->SetString("value", "C:\\x.exe"));
    pf::HKEY key = nullptr;
    ASSERT_EQ(0, os().RegOpenKeyExA(pf::kHkeyLocalMachine, kKey, 0, pf::kKeyRead, &key));
    pf::DWORD size = 0;
    EXPECT_EQ(0, os().RegQueryValueExA(key, "value", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(long(pf::kErrorAccessDenied), long(os().RegDeleteValueA(key, "value")))
        << "a key opened for reading cannot lose a value";
    EXPECT_EQ(0, os().RegCloseKey(key));

    const pf::DWORD setValueOnly = 0x0002;  // KEY_SET_VALUE
    ASSERT_EQ(0, os().RegOpenKeyExA(pf::kHkeyLocalMachine, kKey, 0, setValueOnly, &key));
    EXPECT_EQ(long(pf::kErrorAccessDenied),
              long(os().RegQueryValueExA(key, "value", nullptr, nullptr, nullptr, &size)));
    EXPECT_EQ(0, os().RegDeleteValueA(key, "value"));
    EXPECT_EQ(0, os().RegCloseKey(key));
}

TEST_P(Conformance, NtDeletesNoKeyThatHasSubkeys) {
    ASSERT_TRUE(machine_->CreateKey("svc\\Enum"));
    const std::string svc = std::string(kKey) + "\\svc";
    EXPECT_EQ(long(pf::kErrorAccessDenied),
              long(os().RegDeleteKeyA(pf::kHkeyLocalMachine, svc.c_str())));
    EXPECT_EQ(0, os().RegDeleteKeyA(pf::kHkeyLocalMachine, (svc + "\\Enum").c_str()));
    EXPECT_EQ(0, os().RegDeleteKeyA(pf::kHkeyLocalMachine, svc.c_str()));
    EXPECT_EQ(long(pf::kErrorFileNotFound),
              long(os().RegDeleteKeyA(pf::kHkeyLocalMachine, svc.c_str())));
}

// Subkeys are listed by index until ERROR_NO_MORE_ITEMS; a name that does
// not fit the buffer (its terminator included) is ERROR_MORE_DATA; a key
// opened only to set values cannot list its subkeys.
TEST_P(Conformance, SubkeysAreListedByIndexUntilNoMoreItems) {
    ASSERT_TRUE(machine_->CreateKey("Services\\alpha"));
    ASSERT_TRUE(machine_->CreateKey("Services\\beta"));
    const std::string services = std::string(kKey) + "\\Services";
    pf::HKEY key = nullptr;
    ASSERT_EQ(0, os().RegOpenKeyExA(pf::kHkeyLocalMachine, services.c_str(), 0, pf::kKeyRead, &key));
    std::vector<std::string> names;
    char name[64];
    pf::DWORD size = sizeof name;
    for (pf::DWORD i = 0; os().RegEnumKeyExA(key, i, name, &size) == 0; ++i, size = sizeof name) {
        EXPECT_EQ(std::strlen(name), size_t(size));
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"alpha", "beta"}));
    size = sizeof name;
    EXPECT_EQ(long(pf::kErrorNoMoreItems), long(os().RegEnumKeyExA(key, 2, name, &size)));
    size = 5;  // "alpha" needs 6 with its terminator
    const pf::LONG small = os().RegEnumKeyExA(key, 0, name, &size);
    EXPECT_TRUE(small == pf::LONG(pf::kErrorMoreData)) << small;
    EXPECT_EQ(0, os().RegCloseKey(key));
    const pf::DWORD setValueOnly = 0x0002;  // KEY_SET_VALUE
    ASSERT_EQ(0, os().RegOpenKeyExA(pf::kHkeyLocalMachine, services.c_str(), 0, setValueOnly, &key));
    size = sizeof name;
    EXPECT_EQ(long(pf::kErrorAccessDenied), long(os().RegEnumKeyExA(key, 0, name, &size)));
    EXPECT_EQ(0, os().RegCloseKey(key));
}

TEST_P(Conformance, ProcessHandlesAllowOnlyTheRightsAskedFor) {
    const std::string path = at("held.exe");
    const pf::DWORD pid = machine_->StartProgram(path);
    ASSERT_NE(0u, pid);
    EXPECT_NE(pid, os().GetCurrentProcessId());

    // Asked for its path only: it cannot be ended through that handle.
    pf::HANDLE query = os().OpenProcess(pf::kProcessQueryInformation | pf::kProcessVmRead, 0, pid);
    ASSERT_NE(nullptr, query);
    EXPECT_FALSE(os().TerminateProcess(query, 0));
    EXPECT_EQ(pf::kErrorAccessDenied, os().GetLastError());

    // A path that does not fit comes back cut, and the length says so: the
    // buffer's size (whether or not the system then terminates it).
    char whole[260] = {};
    const pf::DWORD length = os().GetModuleFileNameExA(query, nullptr, whole, sizeof(whole));
    ASSERT_EQ(path.size(), size_t(length));
    EXPECT_EQ(0, _stricmp(path.c_str(), whole));
    char cut[12];
    std::memset(cut, 'z', sizeof(cut));
    EXPECT_EQ(pf::DWORD(sizeof(cut) - 2),
              os().GetModuleFileNameExA(query, nullptr, cut, sizeof(cut) - 2));
    EXPECT_EQ(0, _strnicmp(path.c_str(), cut, sizeof(cut) - 3));
    EXPECT_EQ('z', cut[sizeof(cut) - 2]) << "nothing is written past the buffer";
    EXPECT_TRUE(os().CloseHandle(query));

    // Its module list begins with its program, by the whole path, where the
    // process snapshot may give the file name only.
    pf::HANDLE modules = os().CreateToolhelp32Snapshot(pf::kTh32csSnapmodule, pid);
    ASSERT_NE(pf::kInvalidHandleValue, modules);
    pf::ModuleEntry32 module{};
    module.dwSize = sizeof(module);
    ASSERT_TRUE(os().Module32First(modules, &module));
    EXPECT_EQ(0, _stricmp(path.c_str(), module.szExePath)) << module.szExePath;
    EXPECT_TRUE(os().CloseHandle(modules));

    pf::HANDLE end = os().OpenProcess(pf::kProcessTerminate | pf::kProcessQueryInformation, 0, pid);
    ASSERT_NE(nullptr, end);
    EXPECT_TRUE(os().TerminateProcess(end, 0));
    EXPECT_TRUE(os().CloseHandle(end));
}

TEST_P(Conformance, ServiceHandlesAllowOnlyTheRightsAskedFor) {
    const char name[] = "CleanVendrikaConformanceSvc";
    ASSERT_TRUE(machine_->AddStoppedService(name));
    pf::SC_HANDLE manager = os().OpenSCManagerA(nullptr, nullptr, pf::kScManagerAllAccess);
    ASSERT_NE(nullptr, manager);
    const pf::DWORD queryStatus = 0x0004, stop = 0x0020;  // SERVICE_QUERY_STATUS, SERVICE_STOP
    pf::ServiceStatus status{};

    pf::SC_HANDLE service = os().OpenServiceA(manager, name, queryStatus);
    ASSERT_NE(nullptr, service);
    EXPECT_FALSE(os().ControlService(service, pf::kServiceControlStop, &status));
    EXPECT_EQ(pf::kErrorAccessDenied, os().GetLastError()) << "no stop without SERVICE_STOP";
    EXPECT_TRUE(os().QueryServiceStatus(service, &status));
    EXPECT_EQ(pf::kServiceStopped, status.dwCurrentState);
    EXPECT_TRUE(os().CloseServiceHandle(service));

    service = os().OpenServiceA(manager, name, stop);
    ASSERT_NE(nullptr, service);
    EXPECT_FALSE(os().QueryServiceStatus(service, &status));
    EXPECT_EQ(pf::kErrorAccessDenied, os().GetLastError()) << "no status without the right";
    EXPECT_FALSE(os().ControlService(service, pf::kServiceControlStop, &status));
    EXPECT_EQ(pf::kErrorServiceNotActive, os().GetLastError());
    EXPECT_FALSE(os().QueryServiceConfigA(service, nullptr, 0, nullptr));
    EXPECT_TRUE(os().CloseServiceHandle(service));

    // Its configuration: the ImagePath as installed, in a buffer whose size
    // a first call tells.
    const pf::DWORD queryConfig = 0x0001;  // SERVICE_QUERY_CONFIG
    service = os().OpenServiceA(manager, name, queryConfig);
    ASSERT_NE(nullptr, service);
    pf::DWORD needed = 0;
    EXPECT_FALSE(os().QueryServiceConfigA(service, nullptr, 0, &needed));
    EXPECT_EQ(pf::kErrorInsufficientBuffer, os().GetLastError());
    EXPECT_GT(needed, pf::DWORD(sizeof(pf::ServiceConfig)));
    std::vector<pf::ServiceConfig> buffer(needed / sizeof(pf::ServiceConfig) + 1);
    ASSERT_TRUE(os().QueryServiceConfigA(service, buffer.data(),
                                         pf::DWORD(buffer.size() * sizeof(buffer[0])), &needed));
    ASSERT_NE(nullptr, buffer[0].lpBinaryPathName);
    EXPECT_STREQ("C:\\cv-conformance-no-such-program.exe", buffer[0].lpBinaryPathName);
    EXPECT_TRUE(os().CloseServiceHandle(service));
    EXPECT_TRUE(os().CloseServiceHandle(manager));
}

// Each double-byte code page tells its lead bytes, a single-byte one none;
// the machine's own ANSI code page answers too, an unknown one is refused.
TEST_P(Conformance, CodePagesTellTheirLeadBytes) {
    const struct {
        pf::UINT number;
        pf::UINT maxCharSize;
        std::vector<int> leads;  // up to the first pair of zeros
    } pages[] = {{932, 2, {0x81, 0x9F, 0xE0, 0xFC, 0, 0}}, {936, 2, {0x81, 0xFE, 0, 0}},
                 {949, 2, {0x81, 0xFE, 0, 0}},            {950, 2, {0x81, 0xFE, 0, 0}},
                 {1252, 1, {0, 0}}};
    for (const auto& page : pages) {
        pf::CpInfo info;
        std::memset(&info, 0xEE, sizeof(info));
        ASSERT_TRUE(os().GetCPInfo(page.number, &info)) << page.number;
        EXPECT_EQ(page.maxCharSize, info.MaxCharSize) << page.number;
        EXPECT_EQ(page.leads, std::vector<int>(info.LeadByte, info.LeadByte + page.leads.size()))
            << page.number;
        EXPECT_EQ('?', info.DefaultChar[0]) << page.number;
    }
    pf::CpInfo info;
    EXPECT_TRUE(os().GetCPInfo(pf::kCpAcp, &info));
    EXPECT_FALSE(os().GetCPInfo(12345, &info));
    EXPECT_EQ(pf::kErrorInvalidParameter, os().GetLastError());
}

INSTANTIATE_TEST_SUITE_P(RealAndSimulated, Conformance, testing::Values("real", "simulated"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param);
                         });

}  // namespace
