// cvdemo: the cleaner's main job on a small demo machine, in a console.
//
// Plants a few infected programs (one read-only and hidden, one in Program
// Files), harmless look-alikes and start-up values that launch the infected
// programs, on the fixed drive named by the first argument (default D:).
// Then runs the whole scan through the real system: the running processes,
// every fixed drive from C: to Z:, the start-up values, the hosts file. The
// main window is replaced by the console: every line the result list would
// show is printed as it arrives; questions are answered No.
//
//   cvdemo.exe [DRIVE]
#ifndef NOMINMAX
#define NOMINMAX
#endif
#undef UNICODE
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "scan/scan_context.h"
#include "app/window_report.h"
#include "engine/scan_run.h"
#include "platform/win32/win32_platform.h"
#include "tools/samplebuilder/samplebuilder.h"
#include "tools/samplebuilder/table_records.h"

namespace {

const char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char kRunServicesKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\RunServices";

// The real platform with the console standing in for the main window.
class ConsolePlatform : public pf::win32::Win32Platform {
public:
    static pf::HWND Window() { return reinterpret_cast<pf::HWND>(uintptr_t(0x7FFF0020)); }

    pf::LRESULT SendMessageA(pf::HWND window, pf::UINT message, pf::WPARAM wParam,
                             pf::LPARAM lParam) override {
        if (window != Window()) return Win32Platform::SendMessageA(window, message, wParam, lParam);
        if (message == WM_SCAN_ADDLINE) {
            std::printf("  | %s\n", g_scan.reportLine);
            std::fflush(stdout);
        } else if (message == WM_SCAN_STATUS) {
            ++statusUpdates;
        }
        return 0;
    }
    int SkinMessageBox(const char* text, const char* title, pf::UINT) override {
        std::printf("  ? [%s] %s -> No\n", title, OneLine(text).c_str());
        return pf::kIdNo;
    }
    int MessageBoxA(pf::HWND, const char* text, const char* caption, pf::UINT) override {
        std::printf("  ! [%s] %s -> OK\n", caption, OneLine(text).c_str());
        return pf::kIdOk;
    }

    long statusUpdates = 0;

private:
    static std::string OneLine(const char* text) {
        std::string s = text ? text : "";
        for (char& c : s) {
            if (c == '\n' || c == '\r') c = ' ';
        }
        return s;
    }
};

bool MakeFolders(const std::string& path) {
    for (size_t i = 3; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '\\') {
            std::string part = path.substr(0, i);
            if (!CreateDirectoryA(part.c_str(), nullptr) &&
                GetLastError() != ERROR_ALREADY_EXISTS) {
                return false;
            }
        }
    }
    return true;
}

bool Plant(const std::string& path, const cvsamples::Bytes& bytes) {
    size_t slash = path.find_last_of('\\');
    if (slash == std::string::npos || !MakeFolders(path.substr(0, slash))) return false;
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = WriteFile(h, bytes.data(), DWORD(bytes.size()), &written, nullptr);
    CloseHandle(h);
    return ok && written == bytes.size();
}

bool SetStartupValue(const char* key, const char* name, const std::string& command) {
    HKEY k = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                        nullptr) != ERROR_SUCCESS) {
        return false;
    }
    LONG rc = RegSetValueExA(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                             DWORD(command.size() + 1));
    RegCloseKey(k);
    return rc == ERROR_SUCCESS;
}

bool StartupValueExists(const char* key, const char* name) {
    HKEY k = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
    bool exists = RegQueryValueExA(k, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    RegCloseKey(k);
    return exists;
}

struct Planted {
    std::string path;
    bool infected;
};

}  // namespace

int main(int argc, char** argv) {
    std::string drive = argc > 1 ? std::string(argv[1]).substr(0, 2) : "D:";
    if (GetDriveTypeA((drive + "\\").c_str()) != DRIVE_FIXED) {
        std::fprintf(stderr, "%s is not a fixed drive\n", drive.c_str());
        return 2;
    }
    const std::vector<cvsamples::Record> table = cvsamples::BuiltInRecords();
    if (table.size() < 30) {
        std::fprintf(stderr, "the signature table is incomplete\n");
        return 2;
    }

    // --- the demo machine ---
    std::vector<Planted> planted;
    struct Infection {
        int record;
        const char* path;
    };
    const Infection infections[] = {
        {0, "\\Downloads\\setup.exe"},
        {10, "\\Games\\Arcade\\game.exe"},
        {28, "\\Program Files\\Tools\\tool.exe"},
        {60, "\\Documents\\invoice.pdf.exe"},
    };
    for (const Infection& inf : infections) {
        cvsamples::Bytes bytes;
        std::string path = drive + inf.path;
        if (!cvsamples::BuildInfected(table[inf.record], 1 + inf.record, &bytes) ||
            !Plant(path, bytes)) {
            std::fprintf(stderr, "cannot plant %s\n", path.c_str());
            return 1;
        }
        planted.push_back({path, true});
    }
    // The game hides itself and is read-only.
    SetFileAttributesA((drive + infections[1].path).c_str(),
                       FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    // Look-alikes: the right length but the wrong bytes, and so on.
    const std::vector<cvsamples::Sample> decoys = cvsamples::BuildDecoys(table[0], 0, 7);
    for (size_t i = 0; i < decoys.size() && i < 3; ++i) {
        std::string path = drive + "\\Documents\\look-alike-" + std::to_string(i + 1) + ".exe";
        if (!Plant(path, decoys[i].bytes)) return 1;
        planted.push_back({path, false});
    }
    const std::string text = "Dear customer, please find the invoice attached.\r\n";
    std::string letter = drive + "\\Documents\\letter.txt";
    Plant(letter, cvsamples::Bytes(text.begin(), text.end()));
    planted.push_back({letter, false});

    // Start-up values that launch the infection, and one innocent value.
    SetStartupValue(kRunKey, "DemoUpdater", "\"" + drive + infections[0].path + "\" /silent");
    SetStartupValue(kRunServicesKey, "DemoArcade", drive + infections[1].path);
    SetStartupValue(kRunKey, "DemoNotepad", "notepad.exe");

    std::printf("CleanVendrika demo: %zu files planted under %s, 3 start-up values\n",
                planted.size(), drive.c_str());
    for (const Planted& p : planted) {
        std::printf("    %-9s %s\n", p.infected ? "infected" : "clean", p.path.c_str());
    }
    std::printf("\nScanning the running processes and every fixed drive from C: to Z:\n");
    std::fflush(stdout);

    // --- the scan, exactly as the SCAN button starts it ---
    ConsolePlatform platform;
    pf::SetPlatform(&platform);
    g_scan.mainWindow = ConsolePlatform::Window();
    std::snprintf(g_scan.targetPath, sizeof g_scan.targetPath, "!:");
    g_scan.cancelled = false;
    const DWORD started = GetTickCount();
    {
        app::ScopedWindowReport report;  // the window's lines, to the console
        RunScan();
    }
    const DWORD elapsed = GetTickCount() - started;
    std::printf("  status: %s\n", g_scan.statusText);
    std::printf("\nScan took %.1f s (%ld status updates)\n", elapsed / 1000.0,
                platform.statusUpdates);

    // --- what is left on the machine ---
    int wrong = 0;
    std::printf("\nAfterwards:\n");
    for (const Planted& p : planted) {
        bool exists = GetFileAttributesA(p.path.c_str()) != INVALID_FILE_ATTRIBUTES;
        bool right = exists != p.infected;
        wrong += right ? 0 : 1;
        std::printf("    %-8s %-9s %s\n", exists ? "present" : "deleted",
                    right ? "(right)" : "(WRONG)", p.path.c_str());
    }
    const struct {
        const char* key;
        const char* name;
        bool infected;
    } values[] = {{kRunKey, "DemoUpdater", true},
                  {kRunServicesKey, "DemoArcade", true},
                  {kRunKey, "DemoNotepad", false}};
    for (const auto& v : values) {
        bool exists = StartupValueExists(v.key, v.name);
        bool right = exists != v.infected;
        wrong += right ? 0 : 1;
        std::printf("    %-8s %-9s start-up value %s\n", exists ? "present" : "deleted",
                    right ? "(right)" : "(WRONG)", v.name);
    }
    return wrong == 0 ? 0 : 1;
}
