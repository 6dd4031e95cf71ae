// Placeholder: the simulated registry. Replaced by the real model.
#include "platform/sim/sim_machine.h"

namespace pf::sim {
RegKey* SimMachine::CreateKey(HKEY, const std::string&) { return nullptr; }
RegKey* SimMachine::FindKey(HKEY, const std::string&) { return nullptr; }
void SimMachine::SetValue(HKEY, const std::string&, const std::string&, DWORD, const std::string&) {}
void SimMachine::SetString(HKEY, const std::string&, const std::string&, const std::string&, DWORD) {}
RegValue* SimMachine::FindValue(HKEY, const std::string&, const std::string&) { return nullptr; }
LONG SimMachine::RegOpenKeyExA(HKEY, const char*, DWORD, DWORD, HKEY*) { return 2; }
LONG SimMachine::RegQueryValueExA(HKEY, const char*, DWORD*, DWORD*, BYTE*, DWORD*) { return 2; }
LONG SimMachine::RegQueryInfoKeyA(HKEY, DWORD*, DWORD*) { return 6; }
LONG SimMachine::RegEnumValueA(HKEY, DWORD, char*, DWORD*, DWORD*, DWORD*, BYTE*, DWORD*) { return 259; }
LONG SimMachine::RegDeleteValueA(HKEY, const char*) { return 2; }
LONG SimMachine::RegDeleteKeyA(HKEY, const char*) { return 2; }
LONG SimMachine::RegCloseKey(HKEY) { return 6; }
}  // namespace pf::sim
