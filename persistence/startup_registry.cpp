#include "persistence/startup_registry.h"

#include <cstring>

#include "scan/scan_context.h"
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

// Deletes a value found to launch an infected file and tells what happened.
bool DeleteStartupValue(const scan::StartupValue& value) {
    pf::LONG error = 0;
    if (DeleteRegistryValue(value.root, value.key, value.valueName, &error)) {
        scan::Events().StartupValueRemoved(value);
        return true;
    }
    scan::Events().StartupValueLeft(value, error);
    return false;
}

// Remembers a removed value's name, with the infected file it named, for
// the later matches. A name too long for runValueName is not remembered at
// all: a cut name could name a different value, which must never be deleted.
void RememberValueName(const char* name, const char* path) {
    if (std::strlen(name) >= sizeof g_scan.runValueName ||
        std::strlen(path) >= sizeof g_scan.runValuePath)
        return;
    crt::CopyText(g_scan.runValueName, name);
    crt::CopyText(g_scan.runValuePath, path);
}

// Whether the file lies in a folder called System or System32.
bool InSystemFolder(const char* path, const crt::LeadBytes& leads) {
    for (const char* p = crt::FindChar(path, '\\', leads); p;
         p = crt::FindChar(p + 1, '\\', leads))
        if (crt::CompareNames(p, "\\system\\", 8, leads) == 0 ||
            crt::CompareNames(p, "\\system32\\", 10, leads) == 0)
            return true;
    return false;
}

// The program a command line without any backslash starts, as the system
// finds it by name: the text inside its leading quotes, or up to its first
// blank. "\"x.exe\" /s" -> "x.exe".
void ProgramNameOf(const char* command, const char** name, size_t* length) {
    const char* start = command;
    const char* end;
    if (*start == '"') {
        ++start;
        end = std::strchr(start, '"');
        if (!end) end = start + std::strlen(start);
    } else {
        end = start;
        while (*end && *end != ' ' && *end != '\t') ++end;
    }
    *name = start;
    *length = size_t(end - start);
}

// How a start-up command names the file at `path`; names are compared in
// the system's ANSI code page (`leads`).
enum class Naming { None, BareName, FullPath };
Naming HowCommandNames(const char* command, const char* path, const crt::LeadBytes& leads) {
    const char* slash = crt::FindLastChar(path, '\\', leads);
    if (!slash) return Naming::None;
    const char* fileName = slash + 1;

    // Only a command without any backslash is a bare program name. It is
    // found through the search path, so it can only mean our file when that
    // file lies in a system folder, and only when it is the file's whole
    // name: "systray.exe" does not start "tray.exe".
    if (!crt::FindChar(command, '\\', leads)) {
        const char* program;
        size_t length;
        ProgramNameOf(command, &program, &length);
        if (fileName[0] && length == std::strlen(fileName) &&
            crt::CompareNames(program, fileName, length, leads) == 0)
            return InSystemFolder(path, leads) ? Naming::BareName : Naming::None;
        return Naming::None;
    }

    // A path: the command line begins with it, and it ends there, at its
    // closing quote or at a blank (arguments may follow). A network path
    // (\\server\share\x.exe) never names a file of this machine; a rooted
    // one (\Tools\x.exe) names one on the drive of the Windows folder.
    bool quoted = false;
    const char* program = crt::ProgramOf(command, &quoted);
    char rooted[kMaxPath + 3];
    if (program[0] == '\\') {
        if (program[1] == '\\') return Naming::None;
        char windows[kMaxPath];
        const pf::UINT w = pf::Os().GetWindowsDirectoryA(windows, sizeof windows);
        if (w < 2 || w >= sizeof windows || windows[1] != ':') return Naming::None;
        windows[2] = '\0';
        if (!crt::FormatText(rooted, sizeof rooted, "%s%s", windows, program)) return Naming::None;
        program = rooted;
    }
    return crt::ProgramIsFile(program, quoted, path, leads) ? Naming::FullPath : Naming::None;
}

// How a value (its data and the data's expansion, empty when that did not
// fit) names the file: either may.
Naming HowValueNames(const char* data, const char* expanded, const char* path,
                     const crt::LeadBytes& leads) {
    const Naming byData = HowCommandNames(data, path, leads);
    const Naming byExpansion = expanded[0] ? HowCommandNames(expanded, path, leads) : Naming::None;
    if (byData == Naming::FullPath || byExpansion == Naming::FullPath) return Naming::FullPath;
    if (byData == Naming::BareName || byExpansion == Naming::BareName) return Naming::BareName;
    return Naming::None;
}

// Reads a value's command line with its expansion (empty when it did not
// fit). False when the value cannot be read or expanded.
bool ReadCommand(pf::HKEY root, const char* subKey, const char* name, char (&data)[kMaxPath],
                 char (&expanded)[kMaxPath + 1]) {
    if (!ReadRegistryValue(root, subKey, name, data)) return false;
    const pf::DWORD expandedLength =
        pf::Os().ExpandEnvironmentStringsA(data, expanded, sizeof expanded);
    if (expandedLength == 0) return false;
    if (expandedLength > sizeof expanded)
        expanded[0] = '\0';  // did not fit: only the data itself can match
    return true;
}

// The remembered value goes from a key only while it still launches a file
// this scan found infected: the one it named when it was removed, or the one
// being inspected now. The same name may since have been given to another
// program's value, which stays.
bool DeleteRememberedValue(const char* subKey, const char* inspected, const char* detectionName) {
    char data[kMaxPath];
    char expanded[kMaxPath + 1];
    if (!ReadCommand(pf::kHkeyLocalMachine, subKey, g_scan.runValueName, data, expanded))
        return false;
    const crt::LeadBytes leads = pf::AnsiLeadBytes();
    const bool byOld = HowValueNames(data, expanded, g_scan.runValuePath, leads) != Naming::None;
    const bool named = byOld || (inspected[0] && HowValueNames(data, expanded, inspected, leads) != Naming::None);
    return named && DeleteStartupValue({pf::kHkeyLocalMachine, subKey, g_scan.runValueName, data,
                                        byOld ? g_scan.runValuePath : inspected, detectionName,
                                        scan::Naming::kRememberedName});
}

// The hosts file's path for this system, or false when this system has
// none the cleaner knows or the folder cannot be named.
bool HostsFilePath(char (&path)[kMaxPath]) {
    bool inSystemFolder = false;
    const char* tail = HostsFileTail(GetOsClass(), &inSystemFolder);
    if (!tail) return false;
    const pf::UINT length = inSystemFolder ? pf::Os().GetSystemDirectoryA(path, kMaxPath)
                                           : pf::Os().GetWindowsDirectoryA(path, kMaxPath);
    // 0 is a failure, kMaxPath or more the size the folder's name would need.
    if (length == 0 || length >= kMaxPath) return false;
    return crt::AppendText(path, tail);
}

}  // namespace

int DeleteRegistryValue(pf::HKEY root, const char* subKey, const char* valueName, pf::LONG* error) {
    pf::LONG unused;
    if (!error) error = &unused;
    pf::HKEY key = nullptr;
    *error = pf::Os().RegOpenKeyExA(root, subKey, 0, pf::kKeyAllAccess, &key);
    if (*error != 0) return 0;
    *error = pf::Os().RegDeleteValueA(key, valueName);
    const pf::LONG closed = pf::Os().RegCloseKey(key);
    if (*error == 0) *error = closed;
    return *error == 0 ? 1 : 0;
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

void ScanStartupKey(pf::HKEY root, const char* subKey, const char* detectionName) {
    pf::HKEY key = nullptr;
    if (pf::Os().RegOpenKeyExA(root, subKey, 0, pf::kKeyRead, &key) != 0) return;
    pf::DWORD valueCount = 0;
    if (pf::Os().RegQueryInfoKeyA(key, nullptr, &valueCount) != 0) valueCount = 0;

    char name[kValueNameChars + 1];
    char data[kMaxPath];
    char expanded[kMaxPath + 1];
    const char* const path = g_scan.inspectedPath;
    const crt::LeadBytes leads = pf::AnsiLeadBytes();
    pf::DWORD deleted = 0;
    for (pf::DWORD i = 0; i < valueCount; ++i) {
        // A deleted value moves every later one down by one position.
        pf::DWORD nameSize = kValueNameChars;
        if (pf::Os().RegEnumValueA(key, i - deleted, name, &nameSize, nullptr, nullptr, nullptr,
                                   nullptr) != 0)
            continue;
        if (!crt::FindChar(path, '\\', leads)) break;
        if (!ReadCommand(root, subKey, name, data, expanded)) continue;

        // Nothing is folded: lower case is another name where a trail byte
        // is a letter.
        switch (HowValueNames(data, expanded, path, leads)) {
            case Naming::BareName:
                if (DeleteStartupValue({root, subKey, name, data, path, detectionName,
                                        scan::Naming::kBareName})) {
                    RememberValueName(name, path);
                    ++deleted;
                }
                break;
            case Naming::FullPath:
                // Remembered even when the deletion fails, so the next match
                // tries again.
                RememberValueName(name, path);
                if (DeleteStartupValue({root, subKey, name, data, path, detectionName,
                                        scan::Naming::kFullPath}))
                    ++deleted;
                break;
            case Naming::None:
                break;
        }
    }
    pf::Os().RegCloseKey(key);
}

int CleanPersistence(const char* detectionName) {
    if (!detectionName) detectionName = "";
    char hostsPath[kMaxPath];
    if (HostsFilePath(hostsPath)) CheckTextFile(detectionName, hostsPath);

    // The two start-up keys, then the same two in the 32-bit view of a 64-bit
    // Windows, where a 32-bit program's values go; other systems have none.
    const char* const startupKeys[] = {kRunKeyPath, kRunServicesKeyPath, kWow64RunKeyPath,
                                       kWow64RunServicesKeyPath};
    if (g_scan.runValueName[0]) {
        for (const char* key : startupKeys) DeleteRememberedValue(key, g_scan.inspectedPath, detectionName);
    }

    if (g_scan.inspectedPath[0]) {
        for (const char* key : startupKeys) ScanStartupKey(pf::kHkeyLocalMachine, key, detectionName);
    }
    return 1;
}
