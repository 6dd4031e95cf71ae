// The simulated registry answers as the Win32 registry calls do.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/sim/sim_machine.h"

using namespace pf;
using pf::sim::SimMachine;
using pf::sim::WinVersion;

namespace {

const char kRun[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

HKEY Open(SimMachine& m, const char* path, LONG* result = nullptr) {
    HKEY key = nullptr;
    const LONG r = m.RegOpenKeyExA(kHkeyLocalMachine, path, 0, kKeyRead, &key);
    if (result) *result = r;
    return r == 0 ? key : nullptr;
}

}  // namespace

TEST(SimRegistry, OpensCaseBlindAndReportsMissingOrDeniedKeys) {
    SimMachine m;
    m.CreateKey(kHkeyLocalMachine, kRun);
    LONG r = -1;
    HKEY k = Open(m, "SOFTWARE\\microsoft\\WINDOWS\\currentversion\\run", &r);
    ASSERT_EQ(r, 0);
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(m.RegCloseKey(k), 0);
    EXPECT_EQ(m.RegCloseKey(k), static_cast<LONG>(kErrorInvalidHandle));  // closed twice

    Open(m, "Software\\Missing", &r);
    EXPECT_EQ(r, static_cast<LONG>(kErrorFileNotFound));

    m.FindKey(kHkeyLocalMachine, kRun)->denyOpen = true;
    Open(m, kRun, &r);
    EXPECT_EQ(r, static_cast<LONG>(kErrorAccessDenied));

    m.FailCall("RegOpenKeyExA", 1, false, 1234);
    Open(m, "Software", &r);
    EXPECT_EQ(r, 1234);
    EXPECT_EQ(m.CountCalls("RegOpenKeyExA"), 4);
    EXPECT_TRUE(m.openKeys.empty());
}

TEST(SimRegistry, QueryValueSizesBuffersAndFailures) {
    SimMachine m;
    m.SetString(kHkeyLocalMachine, kRun, "Agent", "C:\\x.exe");
    m.SetValue(kHkeyLocalMachine, kRun, "Bin", kRegBinary, std::string("\x01\x02\x03", 3));
    HKEY k = Open(m, kRun);
    ASSERT_NE(k, nullptr);

    DWORD size = 0, type = 0;
    EXPECT_EQ(m.RegQueryValueExA(k, "AGENT", nullptr, &type, nullptr, &size), 0);
    EXPECT_EQ(size, 9u);  // terminator included
    EXPECT_EQ(type, kRegSz);

    char buf[16];
    std::memset(buf, 'z', sizeof buf);
    size = 4;
    EXPECT_EQ(m.RegQueryValueExA(k, "Agent", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size),
              static_cast<LONG>(kErrorMoreData));
    EXPECT_EQ(size, 9u);
    EXPECT_EQ(buf[0], 'z');  // nothing written on a short buffer

    size = sizeof buf;
    EXPECT_EQ(m.RegQueryValueExA(k, "Agent", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size),
              0);
    EXPECT_STREQ(buf, "C:\\x.exe");
    EXPECT_EQ(buf[9], 'z');  // and nothing past the data

    size = sizeof buf;
    EXPECT_EQ(m.RegQueryValueExA(k, "Bin", nullptr, &type, reinterpret_cast<BYTE*>(buf), &size), 0);
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(type, kRegBinary);

    EXPECT_EQ(m.RegQueryValueExA(k, "None", nullptr, nullptr, nullptr, &size),
              static_cast<LONG>(kErrorFileNotFound));
    m.FindValue(kHkeyLocalMachine, kRun, "Agent")->failRead = true;
    EXPECT_EQ(m.RegQueryValueExA(k, "Agent", nullptr, nullptr, nullptr, &size),
              static_cast<LONG>(kErrorAccessDenied));
    EXPECT_EQ(m.RegCloseKey(k), 0);
    EXPECT_EQ(m.RegQueryValueExA(k, "Bin", nullptr, nullptr, nullptr, &size),
              static_cast<LONG>(kErrorInvalidHandle));
}

TEST(SimRegistry, EnumeratesValuesWithWin32NameSizes) {
    SimMachine m;
    m.SetString(kHkeyLocalMachine, kRun, "First", "a");
    m.SetString(kHkeyLocalMachine, kRun, "Second", "b");
    HKEY k = Open(m, kRun);
    DWORD subKeys = 99, values = 99;
    EXPECT_EQ(m.RegQueryInfoKeyA(k, &subKeys, &values), 0);
    EXPECT_EQ(subKeys, 0u);
    EXPECT_EQ(values, 2u);

    char name[8];
    DWORD size = sizeof name;
    EXPECT_EQ(m.RegEnumValueA(k, 1, name, &size, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_STREQ(name, "Second");
    EXPECT_EQ(size, 6u);  // characters, without the terminator

    size = 6;  // "Second" needs 7 with its terminator
    EXPECT_EQ(m.RegEnumValueA(k, 1, name, &size, nullptr, nullptr, nullptr, nullptr),
              static_cast<LONG>(kErrorMoreData));
    size = sizeof name;
    EXPECT_EQ(m.RegEnumValueA(k, 2, name, &size, nullptr, nullptr, nullptr, nullptr),
              static_cast<LONG>(kErrorNoMoreItems));

    // Deleting a value needs a handle opened for it; then the ones after it
    // shift down by one.
    EXPECT_EQ(m.RegDeleteValueA(k, "first"), static_cast<LONG>(kErrorAccessDenied));
    m.RegCloseKey(k);
    ASSERT_EQ(m.RegOpenKeyExA(kHkeyLocalMachine, kRun, 0, kKeyAllAccess, &k), 0);
    EXPECT_EQ(m.RegDeleteValueA(k, "first"), 0);
    size = sizeof name;
    EXPECT_EQ(m.RegEnumValueA(k, 0, name, &size, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_STREQ(name, "Second");
    EXPECT_EQ(m.RegDeleteValueA(k, "first"), static_cast<LONG>(kErrorFileNotFound));
    m.FindValue(kHkeyLocalMachine, kRun, "Second")->failDelete = true;
    EXPECT_EQ(m.RegDeleteValueA(k, "Second"), static_cast<LONG>(kErrorAccessDenied));
    EXPECT_NE(m.FindValue(kHkeyLocalMachine, kRun, "Second"), nullptr);
    m.RegCloseKey(k);
}

TEST(SimRegistry, DeleteKeyRefusesKeysWithSubkeysAndOrphansOpenHandles) {
    SimMachine m;
    m.CreateKey(kHkeyLocalMachine, "SYSTEM\\ControlSet001\\Services\\evil\\Enum");
    EXPECT_EQ(m.RegDeleteKeyA(kHkeyLocalMachine, "SYSTEM\\ControlSet001\\Services\\evil"),
              static_cast<LONG>(kErrorAccessDenied));
    HKEY h = Open(m, "SYSTEM\\ControlSet001\\Services\\evil\\Enum");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(m.RegDeleteKeyA(kHkeyLocalMachine, "system\\controlset001\\services\\EVIL\\enum"), 0);
    EXPECT_EQ(m.RegDeleteKeyA(kHkeyLocalMachine, "SYSTEM\\ControlSet001\\Services\\evil"), 0);
    EXPECT_EQ(m.FindKey(kHkeyLocalMachine, "SYSTEM\\ControlSet001\\Services\\evil"), nullptr);
    EXPECT_EQ(m.RegDeleteKeyA(kHkeyLocalMachine, "SYSTEM\\ControlSet001\\Services\\evil"),
              static_cast<LONG>(kErrorFileNotFound));
    // The handle outlives its key without touching freed memory.
    DWORD values = 0;
    EXPECT_NE(m.RegQueryInfoKeyA(h, nullptr, &values), 0);
    EXPECT_EQ(m.RegCloseKey(h), 0);
}

TEST(SimRegistry, PerformanceDataAnswersItsBlockAndCountsQueries) {
    SimMachine m;
    m.perfData = std::string(100, 'P');
    BYTE small[10];
    DWORD size = sizeof small;
    EXPECT_EQ(m.RegQueryValueExA(kHkeyPerformanceData, "230", nullptr, nullptr, small, &size),
              static_cast<LONG>(kErrorMoreData));
    BYTE big[200];
    size = sizeof big;
    EXPECT_EQ(m.RegQueryValueExA(kHkeyPerformanceData, "Global", nullptr, nullptr, big, &size), 0);
    EXPECT_EQ(size, 100u);
    EXPECT_EQ(big[99], 'P');
    EXPECT_EQ(m.perfQueries, 2);
    EXPECT_EQ(m.RegCloseKey(kHkeyPerformanceData), 0);
}

// What the NT family refuses and the 95/98/Me registry, which has no
// security, allows.
TEST(SimRegistry, AccessRightsOfHandlesAndAccounts) {
    struct Case {
        WinVersion version;
        bool limited;
        DWORD access;
        LONG open, query, remove;  // RegOpenKeyExA, RegQueryValueExA, RegDeleteValueA
    };
    const LONG denied = static_cast<LONG>(kErrorAccessDenied);
    const Case cases[] = {
        {WinVersion::WinXp, false, kKeyRead, 0, 0, denied},
        {WinVersion::WinXp, false, kKeyAllAccess, 0, 0, 0},
        {WinVersion::WinXp, false, 0x2 /* KEY_SET_VALUE */, 0, denied, 0},
        {WinVersion::WinXp, false, 0x80000000u /* GENERIC_READ */, 0, 0, denied},
        {WinVersion::WinXp, false, 0x10000000u /* GENERIC_ALL */, 0, 0, 0},
        {WinVersion::WinXp, true, kKeyRead, 0, 0, denied},
        {WinVersion::WinXp, true, kKeyAllAccess, denied, 0, 0},
        {WinVersion::Nt4, true, 0x2, denied, 0, 0},
        {WinVersion::Win98, false, kKeyRead, 0, 0, 0},
        {WinVersion::Win98, true, kKeyAllAccess, 0, 0, 0},
        {WinVersion::Win95, false, 0x2, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(int(c.version)) + (c.limited ? " limited " : " admin ") +
                     std::to_string(c.access));
        SimMachine m;
        m.SetVersion(c.version);
        m.limitedUser = c.limited;
        m.SetString(kHkeyLocalMachine, kRun, "Agent", "C:\\x.exe");
        HKEY k = nullptr;
        ASSERT_EQ(m.RegOpenKeyExA(kHkeyLocalMachine, kRun, 0, c.access, &k), c.open);
        if (c.open != 0) {
            EXPECT_EQ(k, nullptr);
            continue;
        }
        DWORD size = 0;
        EXPECT_EQ(m.RegQueryValueExA(k, "Agent", nullptr, nullptr, nullptr, &size), c.query);
        EXPECT_EQ(m.RegDeleteValueA(k, "Agent"), c.remove);
        EXPECT_EQ(m.FindValue(kHkeyLocalMachine, kRun, "Agent") == nullptr, c.remove == 0);
        EXPECT_EQ(m.RegCloseKey(k), 0);
        EXPECT_TRUE(m.openKeyAccess.empty());
    }
}

TEST(SimRegistry, NinetyFiveFamilyDeletesWholeTreesNtRefusesThem) {
    for (WinVersion v : {WinVersion::Win95, WinVersion::Win98, WinVersion::WinMe, WinVersion::Nt4,
                         WinVersion::WinXp}) {
        SCOPED_TRACE(int(v));
        SimMachine m;
        m.SetVersion(v);
        const bool nt = v == WinVersion::Nt4 || v == WinVersion::WinXp;
        m.CreateKey(kHkeyLocalMachine, "SYSTEM\\Svc\\evil\\Enum\\Root");
        HKEY inside = Open(m, "SYSTEM\\Svc\\evil\\Enum\\Root");
        ASSERT_NE(inside, nullptr);
        EXPECT_EQ(m.RegDeleteKeyA(kHkeyLocalMachine, "SYSTEM\\Svc\\evil"),
                  nt ? static_cast<LONG>(kErrorAccessDenied) : 0);
        EXPECT_EQ(m.FindKey(kHkeyLocalMachine, "SYSTEM\\Svc\\evil") != nullptr, nt);
        // A handle inside a deleted tree names a deleted key.
        DWORD values = 0;
        EXPECT_EQ(m.RegQueryInfoKeyA(inside, nullptr, &values) == 0, nt);
        EXPECT_EQ(m.RegCloseKey(inside), 0);
        // A limited account may delete no machine key on NT.
        m.limitedUser = true;
        EXPECT_EQ(m.RegDeleteKeyA(kHkeyLocalMachine, "SYSTEM\\Svc\\evil\\Enum\\Root"),
                  nt ? static_cast<LONG>(kErrorAccessDenied) : static_cast<LONG>(kErrorFileNotFound));
    }
}
