#include "persistence/startup_registry.h"

#include <cstring>

#include "engine/scan_context.h"
#include "persistence/hosts_file.h"
#include "platform/crt.h"
#include "system/os_version.h"

const char kRunKeyPath[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char kRunServicesKeyPath[] = "Software\\Microsoft\\Windows\\CurrentVersion\\RunServices";
const char kWow64RunKeyPath[] = "Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Run";
const char kWow64RunServicesKeyPath[] =
    "Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\RunServices";

namespace {

// The longest value name the registry allows, in characters.
constexpr pf::DWORD kValueNameChars = 0x3FFF;
// The name written in the lines about start-up values found by their data.
const char kFamilyName[] = "W32/Vendrika.Trojan";

// Remembers a removed value's name for the later matches. A name too long
// for runValueName is not remembered at all: a cut name could name a
// different value, which must never be deleted.
void RememberValueName(const char* name) {
    if (std::strlen(name) < sizeof g_scan.runValueName) crt::CopyText(g_scan.runValueName, name);
}

// The hosts file's path for this system, or false when this system has
// none the cleaner knows or the folder cannot be named.
bool HostsFilePath(char (&path)[kMaxPath]) {
    const int osClass = GetOsClass();
    pf::UINT length;
    const char* tail;
    if (osClass == 5) {
        length = pf::Os().GetSystemDirectoryA(path, kMaxPath);
        tail = "\\drivers\\etc\\hosts";
    } else if (osClass == 4) {
        length = pf::Os().GetWindowsDirectoryA(path, kMaxPath);
        tail = "\\hosts";
    } else {
        return false;
    }
    // 0 is a failure, kMaxPath or more the size the folder's name would need.
    if (length == 0 || length >= kMaxPath) return false;
    return crt::AppendText(path, tail);
}

}  // namespace

int DeleteRegistryValue(pf::HKEY root, const char* subKey, const char* valueName) {
    pf::HKEY key = nullptr;
    if (pf::Os().RegOpenKeyExA(root, subKey, 0, pf::kKeyAllAccess, &key) != 0) return 0;
    const bool deleted = pf::Os().RegDeleteValueA(key, valueName) == 0;
    const bool closed = pf::Os().RegCloseKey(key) == 0;
    return deleted && closed ? 1 : 0;
}

int ReadRegistryValue(pf::HKEY root, const char* subKey, const char* valueName, char* buffer) {
    buffer[0] = '\0';
    pf::HKEY key = nullptr;
    if (pf::Os().RegOpenKeyExA(root, subKey, 0, pf::kKeyRead, &key) != 0) return 0;
    pf::DWORD type = 0;
    pf::DWORD size = 0;
    bool read = pf::Os().RegQueryValueExA(key, valueName, nullptr, &type, nullptr, &size) == 0 &&
                size <= pf::DWORD(kMaxPath);
    if (read) {
        // Ask with the buffer's own capacity: a value that grew since the
        // size query is refused by the system instead of overrunning.
        size = kMaxPath;
        read = pf::Os().RegQueryValueExA(key, valueName, nullptr, &type,
                                         reinterpret_cast<pf::BYTE*>(buffer), &size) == 0 &&
               size <= pf::DWORD(kMaxPath);
    }
    if (read) {
        // Whatever its type (text, numbers, bytes), the data is used as text:
        // terminate it right after its last byte, or, when it fills the whole
        // buffer, accept it only if it holds a terminator of its own.
        if (size < pf::DWORD(kMaxPath))
            buffer[size] = '\0';
        else if (!std::memchr(buffer, 0, kMaxPath))
            read = false;
    }
    const bool closed = pf::Os().RegCloseKey(key) == 0;
    if (!read || !closed) {
        buffer[0] = '\0';
        return 0;
    }
    return 1;
}

void ScanStartupKey(pf::HKEY root, const char* subKey) {
    pf::HKEY key = nullptr;
    if (pf::Os().RegOpenKeyExA(root, subKey, 0, pf::kKeyRead, &key) != 0) return;
    pf::DWORD valueCount = 0;
    if (pf::Os().RegQueryInfoKeyA(key, nullptr, &valueCount) != 0) valueCount = 0;

    char name[kValueNameChars + 1];
    char data[kMaxPath];
    char expanded[kMaxPath + 1];
    char* const path = g_scan.inspectedPath;
    pf::DWORD deleted = 0;
    for (pf::DWORD i = 0; i < valueCount; ++i) {
        // A deleted value moves every later one down by one position.
        pf::DWORD nameSize = kValueNameChars;
        if (pf::Os().RegEnumValueA(key, i - deleted, name, &nameSize, nullptr, nullptr, nullptr,
                                   nullptr) != 0)
            continue;
        const char* slash = std::strrchr(path, '\\');
        if (!slash) break;
        const char* fileName = slash + 1;
        if (!ReadRegistryValue(root, subKey, name, data)) continue;

        // Compare without regard to letter case; the inspected path stays
        // lower case for the rest of its inspection.
        crt::strlwr(data);
        crt::strlwr(path);
        const pf::DWORD expandedLength =
            pf::Os().ExpandEnvironmentStringsA(data, expanded, sizeof expanded);
        if (expandedLength == 0) continue;
        if (expandedLength > sizeof expanded)
            expanded[0] = '\0';  // did not fit: only the data itself can match
        else
            crt::strlwr(expanded);

        const bool bareName = !std::strchr(data, '\\') || data[0] == '\\';
        const char* commandLine = data[0] == '"' ? data + 1 : data;
        const char* expandedLine = expanded[0] == '"' ? expanded + 1 : expanded;

        // A bare program name is found through the search path, so it can
        // only mean our file when that file lies in a system folder.
        if (fileName[0] && bareName && std::strstr(data, fileName)) {
            if (std::strstr(path, "\\system\\") || std::strstr(path, "\\system32\\")) {
                if (DeleteRegistryValue(root, subKey, name)) {
                    RememberValueName(name);
                    ++deleted;
                    ReportLine("System Registry     %s removed", kFamilyName);
                }
            }
            continue;
        }

        // A full path: the command line begins with the inspected path
        // (arguments may follow it).
        const size_t n = std::strlen(path);
        if (std::strncmp(commandLine, path, n) == 0 || std::strncmp(expandedLine, path, n) == 0) {
            // Remembered even when the deletion fails, so the next match
            // tries again.
            RememberValueName(name);
            if (DeleteRegistryValue(root, subKey, name)) {
                ++deleted;
                ReportLine("System Registry     %s removed", kFamilyName);
            }
        }
    }
    pf::Os().RegCloseKey(key);
}

int CleanPersistence(const char* detectionName) {
    if (!detectionName) detectionName = "";
    char hostsPath[kMaxPath];
    if (HostsFilePath(hostsPath)) CheckTextFile(detectionName, hostsPath);

    // Then the same two keys in the 32-bit view of a 64-bit Windows, where a
    // 32-bit program's values go; other systems have no such keys.
    const char* const startupKeys[] = {kRunKeyPath, kRunServicesKeyPath, kWow64RunKeyPath,
                                       kWow64RunServicesKeyPath};
    if (g_scan.runValueName[0]) {
        for (const char* key : startupKeys)
            if (DeleteRegistryValue(pf::kHkeyLocalMachine, key, g_scan.runValueName))
                ReportLine("System Registry     %s removed", detectionName);
    }

    if (g_scan.inspectedPath[0]) {
        for (const char* key : startupKeys) ScanStartupKey(pf::kHkeyLocalMachine, key);
    }
    return 1;
}
