// Whether the maker's full antivirus product is installed: only whether its
// registry value can be read counts, not what it holds.
#pragma once

#include <cstddef>

namespace app {

constexpr const char* kProductKey = "Software\\Quillon\\Wardenix 2000";
constexpr const char* kProductValue = "Installed Folder";
constexpr size_t kProductBufferSize = 300;

// Reads HKEY_LOCAL_MACHINE\keyPath, value `valueName`, into `buffer` (never
// past bufferSize bytes). A value that exists but is longer than the buffer
// still counts as installed; its text is then cut.
bool IsProductInstalled(const char* keyPath, const char* valueName, char* buffer,
                        size_t bufferSize);

}  // namespace app
