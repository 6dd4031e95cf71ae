// Stopping a service of the infection and deleting its registry keys.
#include "system/services.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/crt.h"
#include "platform/platform.h"
#include "scan/scan_events.h"
#include "system/processes.h"

namespace {

constexpr pf::DWORD kServiceWin32ShareProcess = 0x20;

// A text value (REG_SZ or REG_EXPAND_SZ) of a machine key, ended within
// `size`; false when the key or value cannot be read or is of another type.
bool ReadMachineText(const std::string& keyPath, const char* name, char* out, pf::DWORD size,
                     bool* expandable = nullptr) {
    pf::Platform& os = pf::Os();
    pf::HKEY key = nullptr;
    if (os.RegOpenKeyExA(pf::kHkeyLocalMachine, keyPath.c_str(), 0, pf::kKeyRead, &key) != 0) return false;
    std::memset(out, 0, size);
    pf::DWORD type = 0;
    pf::DWORD length = size - 1;  // the spare zero ends any text
    const pf::LONG rc = os.RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<pf::BYTE*>(out), &length);
    os.RegCloseKey(key);
    if (expandable) *expandable = type == pf::kRegExpandSz;
    return rc == 0 && (type == pf::kRegSz || type == pf::kRegExpandSz);
}

// The ServiceDll of a service hosted in a shared process: in the key's
// Parameters (XP and later) or in the key itself (2000).
bool ReadServiceDll(const std::string& serviceKey, char* out, pf::DWORD size, bool* expandable) {
    return (ReadMachineText(serviceKey + "\\Parameters", "ServiceDll", out, size, expandable) && out[0]) ||
           (ReadMachineText(serviceKey, "ServiceDll", out, size, expandable) && out[0]);
}

// Whether a ServiceDll names `image`: a library path, loaded whole (no
// arguments, no quotes), after its environment strings where it is
// REG_EXPAND_SZ.
bool ServiceDllNamesFile(const char* serviceDll, bool expand, const char* image) {
    char expanded[kImagePathSize];
    if (expand) {
        const pf::DWORD n = pf::Os().ExpandEnvironmentStringsA(serviceDll, expanded, sizeof(expanded));
        if (n == 0 || n > sizeof(expanded)) return false;
    } else if (!crt::CopyText(expanded, serviceDll)) {
        return false;
    }
    expanded[sizeof(expanded) - 1] = '\0';
    return crt::SameName(expanded, image, pf::AnsiLeadBytes());
}

// A service's text value and whether the service manager expands it.
struct ServiceText {
    const char* text;
    bool expand;
};

// Whether a service runs `image` as its own program. A shared host (svchost
// -k, services.exe, lsass.exe) runs many services: its ImagePath condemns
// none of them, and a hosted service's own image is its ServiceDll.
bool ServiceRunsFile(pf::DWORD type, ServiceText imagePath, ServiceText serviceDll, const char* image) {
    if (serviceDll.text && serviceDll.text[0]) return ServiceDllNamesFile(serviceDll.text, serviceDll.expand, image);
    if (type & kServiceWin32ShareProcess) return false;
    return ImagePathNamesFile(imagePath.text, image, imagePath.expand);
}

// Services are never stopped or removed for a program of Windows itself that
// the worm replaced: the services it hosts are the system's own.
bool ServicesMayGoFor(const char* image) { return image && image[0] && !IsCriticalSystemProgram(image); }

// Whether the service manager's configuration of the service names `image`.
// Windows keeps it in at most 8 KB.
bool ServiceConfigNames(pf::SC_HANDLE service, const char* name, const char* image) {
    union {
        pf::ServiceConfig config;
        char bytes[8192];
    } buffer;
    std::memset(&buffer, 0, sizeof(buffer));
    pf::DWORD needed = 0;
    if (!pf::Os().QueryServiceConfigA(service, &buffer.config, sizeof(buffer), &needed))
        return false;
    const char* path = buffer.config.lpBinaryPathName;
    // The text must lie inside the buffer and end there.
    if (!path || path < buffer.bytes || path >= buffer.bytes + sizeof(buffer) ||
        !std::memchr(path, '\0', size_t(buffer.bytes + sizeof(buffer) - path)))
        return false;
    const std::string key = std::string("SYSTEM\\CurrentControlSet\\Services\\") + name;
    char serviceDll[kImagePathSize + 1];
    bool dllExpands = false;
    const bool hosted = ReadServiceDll(key, serviceDll, sizeof serviceDll, &dllExpands);
    // The configuration does not tell the ImagePath's type; the registry
    // value it comes from does (where it cannot be read: expanded).
    char stored[kImagePathSize + 1];
    bool storedExpands = false;
    const bool expands = !ReadMachineText(key, "ImagePath", stored, sizeof stored, &storedExpands) ||
                         std::strcmp(stored, path) != 0 || storedExpands;
    return ServiceRunsFile(buffer.config.dwServiceType, {path, expands}, {hosted ? serviceDll : nullptr, dllExpands},
                           image);
}

// Stops the service; with `image`, only when its configuration names that
// program file.
int StopServiceChecked(const char* name, unsigned char stop, const char* image) {
    // No name, no service: nothing is opened.
    if (!name || !name[0]) return 0;
    pf::Platform& os = pf::Os();
    pf::SC_HANDLE manager = os.OpenSCManagerA(nullptr, nullptr, pf::kScManagerAllAccess);
    if (!manager) return 0;
    // 0xF003F holds SERVICE_STOP and SERVICE_QUERY_STATUS.
    pf::SC_HANDLE service = os.OpenServiceA(manager, name, pf::kScManagerAllAccess);
    if (!service) {
        os.CloseServiceHandle(manager);
        return 0;
    }

    // Another program's service keeps running, whatever its name.
    if (image && !ServiceConfigNames(service, name, image)) {
        os.CloseServiceHandle(service);
        os.CloseServiceHandle(manager);
        return 0;
    }

    int result = 1;
    if (stop == 1) {
        pf::ServiceStatus status;
        std::memset(&status, 0, sizeof(status));
        if (!os.ControlService(service, pf::kServiceControlStop, &status)) {
            result = 0;
        } else {
            // Poll once a second while the service is stopping. The window is
            // not pumped meanwhile, so a service that never finishes is given
            // up on rather than freezing the program.
            int polls = 0;
            while (os.QueryServiceStatus(service, &status) &&
                   status.dwCurrentState == pf::kServiceStopPending && polls < kStopPollLimit) {
                os.Sleep(1000);
                ++polls;
            }
            result = status.dwCurrentState == pf::kServiceStopped ? 1 : 0;
        }
    }
    os.CloseServiceHandle(service);
    os.CloseServiceHandle(manager);
    return result;
}

// A control set's key of the service runs `image` (its ImagePath, its Type
// and its ServiceDll); a key or value that cannot be read names nothing.
bool ControlSetNames(const char* set, const char* name, const char* image) {
    const std::string key = std::string(set) + name;
    char imagePath[kImagePathSize + 1];
    bool imageExpands = false;
    if (!ReadMachineText(key, "ImagePath", imagePath, sizeof imagePath, &imageExpands)) return false;
    pf::Platform& os = pf::Os();
    pf::DWORD type = 0;
    pf::HKEY handle = nullptr;
    if (os.RegOpenKeyExA(pf::kHkeyLocalMachine, key.c_str(), 0, pf::kKeyRead, &handle) == 0) {
        pf::DWORD valueType = 0, size = sizeof type;
        if (os.RegQueryValueExA(handle, "Type", nullptr, &valueType, reinterpret_cast<pf::BYTE*>(&type), &size) != 0 ||
            valueType != pf::kRegDword || size != sizeof type)
            type = 0;
        os.RegCloseKey(handle);
    }
    char serviceDll[kImagePathSize + 1];
    bool dllExpands = false;
    const bool hosted = ReadServiceDll(key, serviceDll, sizeof serviceDll, &dllExpands);
    return ServiceRunsFile(type, {imagePath, imageExpands}, {hosted ? serviceDll : nullptr, dllExpands}, image);
}

}  // namespace

int StopService(const char* name, unsigned char stop) {
    return StopServiceChecked(name, stop, nullptr);
}

int StopServiceOfImage(const char* name, const char* image) {
    if (!ServicesMayGoFor(image)) return 0;
    if (!StopServiceChecked(name, 1, image)) return 0;
    scan::Events().ServiceStopped({name, image, nullptr});
    return 1;
}

// ImagePath forms: "%SystemRoot%\System32\x.exe -k y",
// "\SystemRoot\System32\drivers\x.sys", "System32\drivers\x.sys" (relative to the Windows folder),
// "\??\C:\x.exe", "\"C:\Program Files\x.exe\" /s" and an unquoted path
// followed by its arguments.
bool ImagePathNamesFile(const char* imagePath, const char* image, bool expand) {
    pf::Platform& os = pf::Os();
    if (!imagePath || !image || !image[0]) return false;
    char expanded[kImagePathSize];
    if (expand) {
        const pf::DWORD n = os.ExpandEnvironmentStringsA(imagePath, expanded, sizeof(expanded));
        if (n == 0 || n > sizeof(expanded)) return false;
    } else if (!crt::CopyText(expanded, imagePath)) {
        return false;
    }
    expanded[sizeof(expanded) - 1] = '\0';

    const crt::LeadBytes leads = pf::AnsiLeadBytes();
    bool quoted = false;
    const char* program = crt::ProgramOf(expanded, &quoted);
    // Room for the Windows folder before a relative path with its arguments.
    char full[kImagePathSize + kImagePathSize];
    if (crt::CompareNames(program, "\\??\\", 4, leads) == 0) {
        program += 4;
    } else if (crt::CompareNames(program, "\\SystemRoot\\", 12, leads) == 0 ||
               (program[0] != '\\' && program[0] != '\0' && program[1] != ':')) {
        const char* rest = program[0] == '\\' ? program + 12 : program;
        char windows[kImagePathSize];
        const pf::UINT w = os.GetWindowsDirectoryA(windows, sizeof(windows));
        if (w == 0 || w >= sizeof(windows)) return false;
        if (!crt::FormatText(full, sizeof(full), "%s\\%s", windows, rest)) return false;
        program = full;
    }
    // Quoted, all up to the closing quote is the path; unquoted, the program
    // ends at a blank, and what follows is its arguments.
    return crt::ProgramIsFile(program, quoted, image, leads);
}

namespace {

constexpr size_t kKeyPathLimit = 2048;  // a tree deeper than this is not followed

// "ControlSet" and three digits: a numbered control set.
bool IsNumberedControlSet(const char* name) {
    if (std::strlen(name) != 13 || crt::strnicmp(name, "ControlSet", 10) != 0) return false;
    for (int i = 10; i < 13; ++i)
        if (name[i] < '0' || name[i] > '9') return false;
    return true;
}

// The names of a machine key's subkeys; false when it cannot be listed.
bool SubkeysOf(const std::string& path, std::vector<std::string>* names) {
    pf::Platform& os = pf::Os();
    pf::HKEY key = nullptr;
    if (os.RegOpenKeyExA(pf::kHkeyLocalMachine, path.c_str(), 0, pf::kKeyRead, &key) != 0) return false;
    char name[256];  // the longest key name the registry allows is 255
    pf::LONG rc = 0;
    for (pf::DWORD i = 0; rc == 0; ++i) {
        pf::DWORD size = sizeof name;
        rc = os.RegEnumKeyExA(key, i, name, &size);
        if (rc == 0) names->emplace_back(name, size);
    }
    os.RegCloseKey(key);
    return rc == pf::LONG(pf::kErrorNoMoreItems);
}

// Deletes a machine key and everything below it, deepest first: the NT
// family refuses to delete a key that still has subkeys. The first error.
pf::LONG DeleteKeyTree(const std::string& path) {
    if (path.size() > kKeyPathLimit) return pf::LONG(pf::kErrorAccessDenied);
    std::vector<std::string> children;
    pf::LONG first = SubkeysOf(path, &children) ? 0 : pf::LONG(pf::kErrorAccessDenied);
    for (const std::string& child : children) {
        const pf::LONG rc = DeleteKeyTree(path + "\\" + child);
        if (first == 0) first = rc;
    }
    const pf::LONG rc = pf::Os().RegDeleteKeyA(pf::kHkeyLocalMachine, path.c_str());
    return first != 0 ? first : rc;
}

// The control set the system starts with (SYSTEM\\Select, value Current);
// 0 when it cannot be read.
int CurrentControlSet() {
    pf::Platform& os = pf::Os();
    pf::HKEY key = nullptr;
    if (os.RegOpenKeyExA(pf::kHkeyLocalMachine, "SYSTEM\\Select", 0, pf::kKeyRead, &key) != 0) return 0;
    pf::DWORD value = 0, type = 0, size = sizeof value;
    const pf::LONG rc =
        os.RegQueryValueExA(key, "Current", nullptr, &type, reinterpret_cast<pf::BYTE*>(&value), &size);
    os.RegCloseKey(key);
    return rc == 0 && type == pf::kRegDword && size == sizeof value && value < 1000 ? int(value) : 0;
}

}  // namespace

int RemoveServicesOfImage(const char* image) {
    if (!ServicesMayGoFor(image)) return 0;
    std::vector<std::string> sets;
    if (!SubkeysOf("SYSTEM", &sets)) return 0;
    int found = 0;
    for (const std::string& set : sets) {
        if (!IsNumberedControlSet(set.c_str())) continue;
        const std::string services = "SYSTEM\\" + set + "\\Services\\";
        std::vector<std::string> names;
        SubkeysOf(services.substr(0, services.size() - 1), &names);
        for (const std::string& name : names) {
            if (!ControlSetNames(services.c_str(), name.c_str(), image)) continue;
            ++found;
            const scan::Service service{name.c_str(), image, set.c_str()};
            const pf::LONG rc = DeleteKeyTree(services + name);
            if (rc == 0)
                scan::Events().ServiceKeysRemoved(service);
            else
                scan::Events().ServiceKeysLeft(service, rc);
        }
    }
    return found;
}

int DeleteMachineKey(const char* path) {
    return pf::Os().RegDeleteKeyA(pf::kHkeyLocalMachine, path) == 0 ? 1 : 0;
}

int DeleteServiceKeysOfImage(const char* name, const char* image) {
    if (!name || !name[0] || !ServicesMayGoFor(image)) return 0;
    // Every numbered control set there is: after a Last Known Good start the
    // current one can be the third or a later one. Each set on its own: a
    // set whose ImagePath names another program keeps its keys, so Last
    // Known Good can still repair the service.
    std::vector<std::string> sets;
    SubkeysOf("SYSTEM", &sets);
    const int current = CurrentControlSet();
    bool currentCleaned = false, allCleaned = true, any = false;
    for (const std::string& set : sets) {
        if (!IsNumberedControlSet(set.c_str())) continue;
        const std::string services = "SYSTEM\\" + set + "\\Services\\";
        if (!ControlSetNames(services.c_str(), name, image)) continue;
        any = true;
        // The whole key, deepest first (Enum, Security, a hosted service's
        // Parameters): the service key is cleaned only when it is gone.
        const std::string key = services + name;
        const bool gone = key.size() < 512 && DeleteKeyTree(key) == 0;
        if (gone) scan::Events().ServiceKeysRemoved({name, image, set.c_str()});
        allCleaned = allCleaned && gone;
        if (gone && std::atoi(set.c_str() + 10) == current) currentCleaned = true;
    }
    // The keys count as removed when the set the system starts with lost
    // them; where that set cannot be told, when every set that named the
    // file did.
    return any && (current > 0 ? currentCleaned : allCleaned) ? 1 : 0;
}

int DeleteServiceKeys(const char* name) {
    // Without a name the paths would be "...\Services\" and its subkeys.
    if (!name || !name[0]) return 0;
    // Subkeys first: RegDeleteKeyA on the NT family refuses a key that still
    // has subkeys. Both spellings of the second set name the same key.
    static const char* const kKeys[6][2] = {
        {"SYSTEM\\ControlSet001\\Services\\", "\\Enum"},
        {"SYSTEM\\ControlSet001\\Services\\", "\\Security"},
        {"SYSTEM\\ControlSet001\\Services\\", ""},
        {"SYSTEM\\CONTROLSET002\\SERVICES\\", "\\Enum"},
        {"SYSTEM\\ControlSet002\\Services\\", "\\Security"},
        {"SYSTEM\\ControlSet002\\Services\\", ""},
    };
    char path[512];
    std::memset(path, 0, sizeof(path));
    int deleted = 0;
    for (const auto& key : kKeys) {
        // A name too long for the buffer addresses no key: that deletion fails.
        if (crt::FormatText(path, sizeof(path), "%s%s%s", key[0], name, key[1]) &&
            DeleteMachineKey(path))
            deleted = 1;
    }
    return deleted;
}
