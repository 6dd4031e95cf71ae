#pragma once

#include "platform/platform.h"
#include "scan/scan_events.h"

// The machine-wide start-up keys whose values may launch an infected file.
extern const char kRunKeyPath[];          // Software\Microsoft\Windows\CurrentVersion\Run
extern const char kRunServicesKeyPath[];  // ...\RunServices
// The same keys in the 32-bit view of a 64-bit Windows (Software\Wow6432Node\...).
extern const char kWow64RunKeyPath[];
extern const char kWow64RunServicesKeyPath[];

// After every match: checks the hosts file and removes the start-up values
// that launch the inspected file. Returns 1.
int CleanPersistence(const char* detectionName);

// Deletes the values of one key whose command line launches
// g_scan.inspectedPath (found by `detectionName`); remembers the last one in
// g_scan.runValueName.
void ScanStartupKey(pf::HKEY root, const char* subKey, const char* detectionName = scan::kFamilyName);

// 1 when the key opened, the value was deleted and the key closed, else 0
// (with the registry's error in `error`, when given).
int DeleteRegistryValue(pf::HKEY root, const char* subKey, const char* valueName,
                        pf::LONG* error = nullptr);

// Reads a value as NUL-terminated text into buffer (kMaxPath bytes). 1 when
// the key opened, the value was read whole and the key closed; data that
// does not fit with its terminator counts as unreadable (0).
int ReadRegistryValue(pf::HKEY root, const char* subKey, const char* valueName, char* buffer);
