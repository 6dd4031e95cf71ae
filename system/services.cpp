// Stopping a service of the infection and deleting its registry keys.
#include "system/services.h"

#include <cstring>

#include "platform/crt.h"
#include "platform/platform.h"

namespace {

// Whether the service manager's configuration of the service names `image`.
// Windows keeps it in at most 8 KB.
bool ServiceConfigNames(pf::SC_HANDLE service, const char* image) {
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
    return ImagePathNamesFile(path, image);
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
    if (image && !ServiceConfigNames(service, image)) {
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

// A control set's ImagePath of the service names `image`; a key or value
// that cannot be read names nothing.
bool ControlSetNames(const char* set, const char* name, const char* image) {
    pf::Platform& os = pf::Os();
    char path[512];
    if (!crt::FormatText(path, sizeof(path), "%s%s", set, name)) return false;
    pf::HKEY key = nullptr;
    if (os.RegOpenKeyExA(pf::kHkeyLocalMachine, path, 0, pf::kKeyRead, &key) != 0) return false;
    char value[kImagePathSize + 1];
    std::memset(value, 0, sizeof(value));
    pf::DWORD type = 0;
    pf::DWORD size = kImagePathSize;
    const pf::LONG rc = os.RegQueryValueExA(key, "ImagePath", nullptr, &type,
                                            reinterpret_cast<pf::BYTE*>(value), &size);
    os.RegCloseKey(key);
    if (rc != 0 || (type != pf::kRegSz && type != pf::kRegExpandSz)) return false;
    return ImagePathNamesFile(value, image);  // the spare zero ends any text
}

}  // namespace

int StopService(const char* name, unsigned char stop) {
    return StopServiceChecked(name, stop, nullptr);
}

int StopServiceOfImage(const char* name, const char* image) {
    if (!image || !image[0]) return 0;
    return StopServiceChecked(name, 1, image);
}

// ImagePath forms: "%SystemRoot%\System32\x.exe -k y", "\SystemRoot\System32\
// drivers\x.sys", "System32\drivers\x.sys" (relative to the Windows folder),
// "\??\C:\x.exe", "\"C:\Program Files\x.exe\" /s" and an unquoted path
// followed by its arguments.
bool ImagePathNamesFile(const char* imagePath, const char* image) {
    pf::Platform& os = pf::Os();
    if (!imagePath || !image || !image[0]) return false;
    char expanded[kImagePathSize];
    const pf::DWORD n = os.ExpandEnvironmentStringsA(imagePath, expanded, sizeof(expanded));
    if (n == 0 || n > sizeof(expanded)) return false;
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

int DeleteMachineKey(const char* path) {
    return pf::Os().RegDeleteKeyA(pf::kHkeyLocalMachine, path) == 0 ? 1 : 0;
}

int DeleteServiceKeysOfImage(const char* name, const char* image) {
    if (!name || !name[0] || !image || !image[0]) return 0;
    // Each control set on its own: a set whose ImagePath names another
    // program keeps its keys, so Last Known Good can still repair the service.
    static const char* const kSets[2][3] = {
        {"SYSTEM\\ControlSet001\\Services\\", "SYSTEM\\ControlSet001\\Services\\",
         "SYSTEM\\ControlSet001\\Services\\"},
        {"SYSTEM\\CONTROLSET002\\SERVICES\\", "SYSTEM\\ControlSet002\\Services\\",
         "SYSTEM\\ControlSet002\\Services\\"},
    };
    static const char* const kSuffixes[3] = {"\\Enum", "\\Security", ""};
    char path[512];
    int deleted = 0;
    for (const auto& set : kSets) {
        if (!ControlSetNames(set[2], name, image)) continue;
        for (int i = 0; i < 3; ++i) {
            std::memset(path, 0, sizeof(path));
            if (crt::FormatText(path, sizeof(path), "%s%s%s", set[i], name, kSuffixes[i]) &&
                DeleteMachineKey(path))
                deleted = 1;
        }
    }
    return deleted;
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
