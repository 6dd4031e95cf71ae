#include "app/product_check.h"

#include "platform/platform.h"

namespace app {

bool IsProductInstalled(const char* keyPath, const char* valueName, char* buffer,
                        size_t bufferSize) {
    pf::Platform& os = pf::Os();
    pf::HKEY key = nullptr;
    if (os.RegOpenKeyExA(pf::kHkeyLocalMachine, keyPath, 0, pf::kKeyRead, &key) !=
        static_cast<pf::LONG>(pf::kErrorSuccess))
        return false;
    pf::DWORD type = pf::kRegSz;
    pf::DWORD size = 0;
    if (os.RegQueryValueExA(key, valueName, nullptr, &type, nullptr, &size) !=
        static_cast<pf::LONG>(pf::kErrorSuccess)) {
        os.RegCloseKey(key);
        return false;
    }
    // Never hand the system a size larger than the buffer: a long value
    // would otherwise be written past its end.
    if (!buffer || bufferSize == 0) {
        os.RegCloseKey(key);
        return false;
    }
    pf::DWORD readSize = size < bufferSize ? size : static_cast<pf::DWORD>(bufferSize);
    const pf::LONG read = os.RegQueryValueExA(key, valueName, nullptr, &type,
                                              reinterpret_cast<pf::BYTE*>(buffer), &readSize);
    buffer[bufferSize - 1] = '\0';
    if (read != static_cast<pf::LONG>(pf::kErrorSuccess) &&
        read != static_cast<pf::LONG>(pf::kErrorMoreData)) {
        os.RegCloseKey(key);
        return false;
    }
    return os.RegCloseKey(key) == static_cast<pf::LONG>(pf::kErrorSuccess);
}

}  // namespace app
