// Stopping a service of the infection and deleting its registry keys.
#include "system/services.h"

#include <cstring>

#include "platform/crt.h"
#include "platform/platform.h"

int StopService(const char* name, unsigned char stop) {
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

int DeleteMachineKey(const char* path) {
    return pf::Os().RegDeleteKeyA(pf::kHkeyLocalMachine, path) == 0 ? 1 : 0;
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
