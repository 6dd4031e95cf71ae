// The real platform layer against the real system: each group checks that a
// call reaches the system with its arguments intact and that the answer
// (records, sizes, error codes) comes back in the interface's shape, on
// 32-bit and on 64-bit Windows alike.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/win32/win32_platform.h"
#include "tests/win/win_test_util.h"

using wintest::TempFolder;

namespace {

pf::Platform& Real() { return pf::win32::RealPlatform(); }

const char kTestKey[] = "Software\\CleanVendrikaWinTest";

std::string BaseName(const std::string& path) {
    size_t slash = path.find_last_of('\\');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

TEST(RealPlatform, IsInstalledAtStartAndLastErrorPassesThrough) {
    EXPECT_EQ(&pf::Os(), static_cast<pf::Platform*>(&pf::win32::RealPlatform()));
    Real().SetLastError(4321);
    EXPECT_EQ(4321u, ::GetLastError());
    ::SetLastError(77);
    EXPECT_EQ(77u, Real().GetLastError());
}

TEST(RealPlatform, FindListsNamesAttributesAndSizesThenReportsNoMoreFiles) {
    TempFolder dir;
    ASSERT_TRUE(dir.ok());
    ASSERT_TRUE(wintest::WriteText(dir / "plain.txt", "12345"));
    ASSERT_TRUE(wintest::WriteText(dir / "hidden.exe", std::string(70000, 'x')));
    ASSERT_TRUE(::SetFileAttributesA((dir / "hidden.exe").c_str(),
                                     FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(wintest::MakeFolder(dir / "sub"));

    pf::FindDataA data;
    std::memset(&data, 0xCC, sizeof(data));
    pf::HANDLE find = Real().FindFirstFileA((dir / "*.*").c_str(), &data);
    ASSERT_NE(pf::kInvalidHandleValue, find);
    int files = 0, folders = 0, dots = 0;
    do {
        ASSERT_LT(std::strlen(data.cFileName), sizeof(data.cFileName));
        std::string name = data.cFileName;
        if (name == "." || name == "..") {
            ++dots;
        } else if (name == "sub") {
            EXPECT_TRUE(data.dwFileAttributes & pf::kFileAttributeDirectory);
            ++folders;
        } else if (name == "hidden.exe") {
            EXPECT_TRUE(data.dwFileAttributes & pf::kFileAttributeHidden);
            EXPECT_TRUE(data.dwFileAttributes & pf::kFileAttributeReadonly);
            EXPECT_EQ(70000u, data.nFileSizeLow);
            EXPECT_EQ(0u, data.nFileSizeHigh);
            ++files;
        } else if (name == "plain.txt") {
            EXPECT_EQ(5u, data.nFileSizeLow);
            EXPECT_FALSE(data.dwFileAttributes & pf::kFileAttributeDirectory);
            ++files;
        } else {
            ADD_FAILURE() << "unexpected entry " << name;
        }
    } while (Real().FindNextFileA(find, &data));
    EXPECT_EQ(pf::kErrorNoMoreFiles, Real().GetLastError());
    EXPECT_TRUE(Real().FindClose(find));
    EXPECT_EQ(2, files);
    EXPECT_EQ(1, folders);
    EXPECT_EQ(2, dots);

    EXPECT_EQ(pf::kInvalidHandleValue,
              Real().FindFirstFileA((dir / "missing\\*.*").c_str(), &data));
    EXPECT_EQ(pf::kErrorPathNotFound, Real().GetLastError());
}

TEST(RealPlatform, AttributesDeleteAndDrives) {
    TempFolder dir;
    ASSERT_TRUE(dir.ok());
    std::string file = dir / "locked.bin";
    ASSERT_TRUE(wintest::WriteText(file, "x"));
    ASSERT_TRUE(::SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(Real().DeleteFileA(file.c_str()));
    EXPECT_EQ(pf::kErrorAccessDenied, Real().GetLastError());
    EXPECT_TRUE(Real().SetFileAttributesA(file.c_str(), pf::kFileAttributeArchive));
    EXPECT_TRUE(Real().DeleteFileA(file.c_str()));
    EXPECT_FALSE(wintest::Exists(file));
    EXPECT_FALSE(Real().DeleteFileA(file.c_str()));
    EXPECT_EQ(pf::kErrorFileNotFound, Real().GetLastError());

    EXPECT_EQ(pf::kDriveFixed, Real().GetDriveTypeA("C:\\"));
    std::string drive = wintest::TestDrive();
    if (!drive.empty()) {
        EXPECT_EQ(pf::kDriveFixed, Real().GetDriveTypeA((drive + "\\").c_str()));
    }
}

TEST(RealPlatform, FolderQueriesAndEnvironmentExpansion) {
    char windows[260] = {}, system[260] = {}, temp[260] = {}, expanded[260] = {};
    UINT n = Real().GetWindowsDirectoryA(windows, sizeof(windows));
    ASSERT_GT(n, 0u);
    ASSERT_LT(n, sizeof(windows));
    EXPECT_EQ(n, std::strlen(windows));
    ASSERT_GT(Real().GetSystemDirectoryA(system, sizeof(system)), 0u);
    EXPECT_EQ(0, _strnicmp(system, windows, std::strlen(windows)));
    DWORD t = Real().GetTempPathA(sizeof(temp), temp);
    ASSERT_GT(t, 0u);
    EXPECT_EQ('\\', temp[t - 1]);
    DWORD e = Real().ExpandEnvironmentStringsA("%windir%\\x.exe", expanded, sizeof(expanded));
    ASSERT_GT(e, 0u);
    EXPECT_STRCASEEQ((std::string(windows) + "\\x.exe").c_str(), expanded);

    // Too small a buffer: the needed size comes back, nothing is overrun.
    char tiny[4];
    std::memset(tiny, 'Z', sizeof(tiny));
    UINT needed = Real().GetWindowsDirectoryA(tiny, 2);
    EXPECT_GT(needed, 2u);
    EXPECT_EQ('Z', tiny[2]);
    EXPECT_EQ('Z', tiny[3]);
}

TEST(RealPlatform, LowLevelFileReadsSeeksAndWrites) {
    TempFolder dir;
    ASSERT_TRUE(dir.ok());
    std::string file = dir / "data.bin";
    const char bytes[] = "MZ\r\n\0\x01\x02\x03PE\0\0";
    ASSERT_TRUE(wintest::WriteBytes(file, bytes, sizeof(bytes) - 1));

    EXPECT_EQ(-1, Real()._open((dir / "absent.bin").c_str(), pf::kORdonly | pf::kOBinary,
                               pf::kSIread | pf::kSIwrite));
    int fd = Real()._open(file.c_str(), pf::kORdonly | pf::kOBinary, pf::kSIread | pf::kSIwrite);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(int32_t(sizeof(bytes) - 1), Real()._filelength(fd));
    char got[16] = {};
    // Binary mode: CR LF and the zero byte arrive untouched.
    EXPECT_EQ(8, Real()._read(fd, got, 8));
    EXPECT_EQ(0, std::memcmp(got, bytes, 8));
    EXPECT_EQ(8, Real()._lseek(fd, 8, pf::kSeekSet));
    EXPECT_EQ(4, Real()._read(fd, got, 16));
    EXPECT_EQ(0, std::memcmp(got, "PE\0\0", 4));
    EXPECT_EQ(0, Real()._read(fd, got, 16));  // at the end
    EXPECT_EQ(1000, Real()._lseek(fd, 1000, pf::kSeekSet));
    EXPECT_EQ(0, Real()._read(fd, got, 16));  // beyond the end: nothing
    EXPECT_EQ(-1, Real()._lseek(fd, -5, pf::kSeekSet));
    EXPECT_EQ(0, Real()._close(fd));
    EXPECT_EQ(-1, Real()._close(fd));

    EXPECT_EQ(0, Real()._access(file.c_str(), 0));
    EXPECT_EQ(-1, Real()._access((dir / "absent.bin").c_str(), 0));

    std::string out = dir / "out.ini";
    int w = Real()._open(out.c_str(), pf::kOWronly | pf::kOCreat | pf::kOAppend | pf::kOBinary,
                         pf::kSIread | pf::kSIwrite);
    ASSERT_GE(w, 0);
    EXPECT_EQ(10, Real()._write(w, "[rename]\r\n", 10));
    EXPECT_EQ(0, Real()._close(w));
    std::vector<unsigned char> written = wintest::ReadBytes(out);
    EXPECT_EQ(std::string("[rename]\r\n"), std::string(written.begin(), written.end()));

    // Text-mode streams turn CR LF into LF.
    pf::FILE_STREAM s = Real().fopen(out.c_str(), "r");
    ASSERT_NE(nullptr, s);
    char line[32];
    ASSERT_NE(nullptr, Real().fgets(line, sizeof(line), s));
    EXPECT_STREQ("[rename]\n", line);
    EXPECT_EQ(nullptr, Real().fgets(line, sizeof(line), s));
    EXPECT_EQ(0, Real().fclose(s));
    EXPECT_EQ(nullptr, Real().fopen((dir / "absent.ini").c_str(), "r"));
}

TEST(RealPlatform, CopyMoveAndShortPaths) {
    TempFolder dir;
    ASSERT_TRUE(dir.ok());
    std::string a = dir / "a long file name.txt", b = dir / "b.txt", c = dir / "c.txt";
    ASSERT_TRUE(wintest::WriteText(a, "first"));
    ASSERT_TRUE(wintest::WriteText(b, "second"));
    EXPECT_FALSE(Real().CopyFileA(a.c_str(), b.c_str(), 1));
    EXPECT_TRUE(Real().CopyFileA(a.c_str(), b.c_str(), 0));
    std::vector<unsigned char> copied = wintest::ReadBytes(b);
    EXPECT_EQ("first", std::string(copied.begin(), copied.end()));
    EXPECT_TRUE(Real().MoveFileExA(b.c_str(), c.c_str(), pf::kMovefileReplaceExisting));
    EXPECT_FALSE(wintest::Exists(b));
    EXPECT_TRUE(wintest::Exists(c));

    char shortPath[260] = {};
    DWORD n = Real().GetShortPathNameA(a.c_str(), shortPath, sizeof(shortPath));
    ASSERT_GT(n, 0u);
    ASSERT_LT(n, sizeof(shortPath));
    EXPECT_TRUE(wintest::Exists(shortPath)) << shortPath;
    EXPECT_EQ(0u, Real().GetShortPathNameA((dir / "absent.txt").c_str(), shortPath,
                                           sizeof(shortPath)));
}

TEST(RealPlatform, MemoryVersionAndText) {
    auto* block = static_cast<unsigned char*>(Real().GlobalAlloc(pf::kGptr, 4096));
    ASSERT_NE(nullptr, block);
    for (int i = 0; i < 4096; ++i) ASSERT_EQ(0, block[i]);
    EXPECT_EQ(nullptr, Real().GlobalFree(block));

    pf::OsVersionInfoA v;
    std::memset(&v, 0, sizeof(v));
    v.dwOSVersionInfoSize = sizeof(v);
    ASSERT_TRUE(Real().GetVersionExA(&v));
    OSVERSIONINFOA raw{};
    raw.dwOSVersionInfoSize = sizeof(raw);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    ASSERT_TRUE(::GetVersionExA(&raw));
#pragma GCC diagnostic pop
    EXPECT_EQ(raw.dwPlatformId, v.dwPlatformId);
    EXPECT_EQ(raw.dwMajorVersion, v.dwMajorVersion);
    EXPECT_EQ(raw.dwMinorVersion, v.dwMinorVersion);
    v.dwOSVersionInfoSize = 100;  // a size the system does not know
    EXPECT_FALSE(Real().GetVersionExA(&v));

    const pf::WCHAR wide[] = {'P', 'E', 'R', 'F', 0};
    char narrow[8];
    std::memset(narrow, 'Z', sizeof(narrow));
    EXPECT_EQ(5, Real().WideCharToMultiByte(pf::kCpAcp, 0, wide, -1, narrow, sizeof(narrow),
                                            nullptr, nullptr));
    EXPECT_STREQ("PERF", narrow);
    EXPECT_EQ(0, Real().WideCharToMultiByte(pf::kCpAcp, 0, wide, -1, narrow, 2, nullptr,
                                            nullptr));
    EXPECT_EQ(pf::kErrorInsufficientBuffer, Real().GetLastError());
}

TEST(RealPlatform, PrivilegesAreLookedUpAndAdjusted) {
    pf::HANDLE token = nullptr;
    ASSERT_TRUE(Real().OpenProcessToken(Real().GetCurrentProcess(),
                                        pf::kTokenAdjustPrivileges | pf::kTokenQuery, &token));
    ASSERT_NE(nullptr, token);
    pf::Luid luid{0, 0};
    ASSERT_TRUE(Real().LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &luid));
    LUID raw{};
    ASSERT_TRUE(::LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &raw));
    EXPECT_EQ(raw.LowPart, luid.LowPart);
    EXPECT_EQ(raw.HighPart, luid.HighPart);
    EXPECT_FALSE(Real().LookupPrivilegeValueA(nullptr, "SeNoSuchPrivilege", &luid));

    pf::TokenPrivileges request{};
    request.PrivilegeCount = 1;
    request.Privileges[0].luid = {raw.LowPart, raw.HighPart};
    request.Privileges[0].Attributes = pf::kSePrivilegeEnabled;
    EXPECT_TRUE(Real().AdjustTokenPrivileges(token, 0, &request, 0, nullptr, nullptr));
    // Either enabled, or held by nobody: both are answers a real system gives.
    DWORD error = Real().GetLastError();
    EXPECT_TRUE(error == 0 || error == pf::kErrorNotAllAssigned) << error;
    EXPECT_TRUE(Real().CloseHandle(token));
}

TEST(RealPlatform, RegistryValuesAreListedReadAndDeleted) {
    // Predefined keys travel zero-extended through the interface and are
    // widened the system's way on 64-bit Windows (Wine accepts either form).
    pf::HKEY software = nullptr;
    ASSERT_EQ(0, Real().RegOpenKeyExA(pf::kHkeyLocalMachine, "Software", 0, pf::kKeyRead,
                                      &software));
    EXPECT_EQ(0, Real().RegCloseKey(software));

    HKEY raw = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, kTestKey, 0, nullptr, 0,
                                            KEY_ALL_ACCESS, nullptr, &raw, nullptr));
    const char text[] = "%windir%\\evil.exe -s";
    const DWORD number = 0x12345678;
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(raw, "alpha", 0, REG_EXPAND_SZ,
                                            reinterpret_cast<const BYTE*>(text), sizeof(text)));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(raw, "beta", 0, REG_DWORD,
                                            reinterpret_cast<const BYTE*>(&number), 4));
    RegCloseKey(raw);

    pf::HKEY key = nullptr;
    ASSERT_EQ(0, Real().RegOpenKeyExA(pf::kHkeyLocalMachine, kTestKey, 0, pf::kKeyAllAccess,
                                      &key));
    pf::DWORD subKeys = 99, values = 99;
    EXPECT_EQ(0, Real().RegQueryInfoKeyA(key, &subKeys, &values));
    EXPECT_EQ(0u, subKeys);
    EXPECT_EQ(2u, values);
    EXPECT_EQ(0, Real().RegQueryInfoKeyA(key, nullptr, &values));

    // Size query with no buffer, then the read; a too-small buffer says so.
    pf::DWORD type = 0, size = 0;
    EXPECT_EQ(0, Real().RegQueryValueExA(key, "alpha", nullptr, &type, nullptr, &size));
    EXPECT_EQ(pf::kRegExpandSz, type);
    EXPECT_EQ(sizeof(text), size);
    pf::BYTE buffer[64] = {};
    size = sizeof(buffer);
    EXPECT_EQ(0, Real().RegQueryValueExA(key, "alpha", nullptr, &type, buffer, &size));
    EXPECT_STREQ(text, reinterpret_cast<char*>(buffer));
    size = 4;
    EXPECT_EQ(long(pf::kErrorMoreData),
              long(Real().RegQueryValueExA(key, "alpha", nullptr, &type, buffer, &size)));
    EXPECT_EQ(long(pf::kErrorFileNotFound),
              long(Real().RegQueryValueExA(key, "gamma", nullptr, &type, buffer, &size)));

    std::vector<std::string> names;
    for (pf::DWORD i = 0;; ++i) {
        char name[128];
        pf::DWORD nameSize = sizeof(name), dataSize = sizeof(buffer);
        LONG rc = Real().RegEnumValueA(key, i, name, &nameSize, nullptr, &type, buffer, &dataSize);
        if (rc == long(pf::kErrorNoMoreItems)) break;
        ASSERT_EQ(0, rc);
        EXPECT_EQ(std::strlen(name), nameSize);
        if (std::string(name) == "beta") {
            EXPECT_EQ(pf::kRegDword, type);
            EXPECT_EQ(4u, dataSize);
            pf::DWORD got;
            std::memcpy(&got, buffer, 4);
            EXPECT_EQ(number, got);
        }
        names.push_back(name);
    }
    EXPECT_EQ(2u, names.size());

    EXPECT_EQ(0, Real().RegDeleteValueA(key, "alpha"));
    EXPECT_EQ(long(pf::kErrorFileNotFound), long(Real().RegDeleteValueA(key, "alpha")));
    EXPECT_EQ(0, Real().RegCloseKey(key));
    EXPECT_EQ(0, Real().RegDeleteKeyA(pf::kHkeyLocalMachine, kTestKey));
    EXPECT_NE(0, Real().RegOpenKeyExA(pf::kHkeyLocalMachine, kTestKey, 0, pf::kKeyRead, &key));
}

TEST(RealPlatform, PerformanceDataKeyAnswersWithADataBlock) {
    // The key is another predefined handle; its answer starts with the
    // UTF-16 signature "PERF" (Wine's block has no objects in it).
    std::vector<pf::BYTE> block(65536);
    LONG rc = 0;
    pf::DWORD size = 0;
    for (int attempt = 0; attempt < 10; ++attempt) {
        size = pf::DWORD(block.size());
        rc = Real().RegQueryValueExA(pf::kHkeyPerformanceData, "Global", nullptr, nullptr,
                                     block.data(), &size);
        if (rc != long(pf::kErrorMoreData)) break;
        block.resize(block.size() * 2);
    }
    ASSERT_EQ(0, rc);
    ASSERT_GE(size, 8u);
    ASSERT_LE(size, block.size());
    EXPECT_EQ(0, std::memcmp(block.data(), "P\0E\0R\0F\0", 8));
    EXPECT_EQ(0, Real().RegCloseKey(pf::kHkeyPerformanceData));
}

TEST(RealPlatform, OptionalEntryPointsAreFoundByName) {
    pf::HMODULE kernel = Real().LoadLibraryA("Kernel32.dll");
    ASSERT_NE(nullptr, kernel);
    EXPECT_NE(nullptr, Real().GetProcAddress(kernel, "CreateToolhelp32Snapshot"));
    EXPECT_NE(nullptr, Real().GetProcAddress(kernel, "Process32First"));
    EXPECT_EQ(nullptr, Real().GetProcAddress(kernel, "NoSuchEntryPoint"));
    pf::HMODULE psapi = Real().LoadLibraryA("psapi.dll");
    ASSERT_NE(nullptr, psapi);
    EXPECT_NE(nullptr, Real().GetProcAddress(psapi, "EnumProcesses"));
    EXPECT_NE(nullptr, Real().GetProcAddress(psapi, "GetModuleFileNameExA"));
    EXPECT_EQ(nullptr, Real().LoadLibraryA("no-such-library-cv.dll"));
}

TEST(RealPlatform, ProcessListsFindThisProgram) {
    const DWORD self = GetCurrentProcessId();
    const std::string selfName = BaseName(wintest::SelfPath());

    // Snapshot: the 296-byte record comes back whole on either pointer size.
    pf::HANDLE snap = Real().CreateToolhelp32Snapshot(pf::kTh32csSnapprocess, 0);
    ASSERT_NE(pf::kInvalidHandleValue, snap);
    pf::ProcessEntry32 entry;
    std::memset(&entry, 0, sizeof(entry));
    entry.dwSize = sizeof(entry);
    ASSERT_TRUE(Real().Process32First(snap, &entry));
    int count = 0;
    bool foundSelf = false;
    do {
        ++count;
        ASSERT_LT(std::strlen(entry.szExeFile), sizeof(entry.szExeFile));
        EXPECT_EQ(sizeof(entry), entry.dwSize);
        if (entry.th32ProcessID == self) {
            foundSelf = true;
            EXPECT_STRCASEEQ(selfName.c_str(), BaseName(entry.szExeFile).c_str());
        }
    } while (Real().Process32Next(snap, &entry));
    EXPECT_TRUE(Real().CloseHandle(snap));
    EXPECT_TRUE(foundSelf);
    EXPECT_GE(count, 2);

    // A record that claims too small a size is refused by the system.
    snap = Real().CreateToolhelp32Snapshot(pf::kTh32csSnapprocess, 0);
    entry.dwSize = 100;
    EXPECT_FALSE(Real().Process32First(snap, &entry));
    Real().CloseHandle(snap);

    // psapi: ids, then the full module path of this program.
    std::vector<pf::DWORD> ids(1024, 0);
    pf::DWORD bytes = 0;
    ASSERT_TRUE(Real().EnumProcesses(ids.data(), 4096, &bytes));
    ASSERT_GT(bytes, 0u);
    ASSERT_EQ(0u, bytes % 4);
    bool listed = false;
    for (pf::DWORD i = 0; i < bytes / 4; ++i) listed = listed || ids[i] == self;
    EXPECT_TRUE(listed);
    pf::HANDLE me = Real().OpenProcess(pf::kProcessQueryInformation | pf::kProcessVmRead, 0, self);
    ASSERT_NE(nullptr, me);
    char path[260] = {};
    pf::DWORD n = Real().GetModuleFileNameExA(me, nullptr, path, sizeof(path));
    EXPECT_GT(n, 0u);
    EXPECT_STRCASEEQ(wintest::SelfPath().c_str(), path);
    Real().CloseHandle(me);
}

TEST(RealPlatform, RunningProgramFileIsLockedUntilItsProcessEnds) {
    TempFolder dir;
    ASSERT_TRUE(dir.ok());
    std::string exe = dir / "held.exe";
    wintest::RunningProgram program;
    ASSERT_TRUE(program.StartHeldCopy(exe));
    EXPECT_FALSE(Real().DeleteFileA(exe.c_str()));
    EXPECT_EQ(pf::kErrorAccessDenied, Real().GetLastError());

    pf::HANDLE process =
        Real().OpenProcess(pf::kProcessTerminate | pf::kProcessQueryInformation, 0, program.id());
    ASSERT_NE(nullptr, process);
    EXPECT_TRUE(Real().TerminateProcess(process, 0));
    EXPECT_TRUE(Real().CloseHandle(process));
    ASSERT_TRUE(program.WaitGone(5000));
    EXPECT_TRUE(Real().DeleteFileA(exe.c_str()));
    EXPECT_EQ(nullptr, Real().OpenProcess(pf::kProcessTerminate, 0, 0xFFFFFFF0u));
}

TEST(RealPlatform, ServiceManagerAnswersForUnknownServices) {
    pf::SC_HANDLE manager = Real().OpenSCManagerA(nullptr, nullptr, pf::kScManagerAllAccess);
    ASSERT_NE(nullptr, manager);
    EXPECT_EQ(nullptr, Real().OpenServiceA(manager, "CleanVendrikaNoSuchService",
                                           pf::kServiceAllAccess));
    EXPECT_EQ(pf::kErrorServiceDoesNotExist, Real().GetLastError());
    EXPECT_TRUE(Real().CloseServiceHandle(manager));
}

TEST(RealPlatform, QueuedMessagesKeepEveryFieldAndTheSkinnedBoxIsReplaceable) {
    // lParam carries a value wider than 32 bits on 64-bit Windows.
    const LPARAM lp = sizeof(LPARAM) > 4 ? LPARAM(0x123456789ALL) : LPARAM(0x12345678);
    ASSERT_TRUE(PostThreadMessageA(GetCurrentThreadId(), WM_KEYDOWN, VK_ESCAPE, lp));
    pf::Msg msg{};
    ASSERT_TRUE(Real().PeekMessageA(&msg, nullptr, 0, 0, pf::kPmRemove));
    EXPECT_EQ(pf::kWmKeyDown, msg.message);
    EXPECT_EQ(pf::kVkEscape, msg.wParam);
    EXPECT_EQ(lp, msg.lParam);
    EXPECT_EQ(nullptr, msg.hwnd);
    EXPECT_FALSE(Real().PeekMessageA(&msg, nullptr, 0, 0, pf::kPmRemove));

    static std::string seen;
    pf::win32::SetSkinMessageBoxHandler([](const char* text, const char* title, unsigned flags) {
        seen = std::string(text) + "|" + title + "|" + std::to_string(flags);
        return pf::kIdNo;
    });
    EXPECT_EQ(pf::kIdNo, Real().SkinMessageBox("Terminate the Scan now?", "CleanVendrika Ver 1.0",
                                               0x24));
    EXPECT_EQ("Terminate the Scan now?|CleanVendrika Ver 1.0|36", seen);
    pf::win32::SetSkinMessageBoxHandler(nullptr);
}
