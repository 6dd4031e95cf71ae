// Placeholder: simulated version, privileges, processes and services.
// Replaced by the real model.
#include "platform/sim/sim_machine.h"

namespace pf::sim {
void SimMachine::SetVersion(WinVersion) {}
SimProcess& SimMachine::AddProcess(const std::string& imagePath) {
    processes.emplace_back();
    processes.back().pid = nextPid++;
    processes.back().imagePath = imagePath;
    return processes.back();
}
SimProcess* SimMachine::FindProcess(DWORD) { return nullptr; }
SimService& SimMachine::AddService(const std::string& name) {
    services.emplace_back();
    services.back().name = name;
    return services.back();
}
SimService* SimMachine::FindService(const std::string&) { return nullptr; }
BOOL SimMachine::GetVersionExA(OsVersionInfoA*) { return 0; }
HANDLE SimMachine::GetCurrentProcess() { return reinterpret_cast<HANDLE>(~uintptr_t(0)); }
BOOL SimMachine::OpenProcessToken(HANDLE, DWORD, HANDLE*) { return 0; }
BOOL SimMachine::LookupPrivilegeValueA(const char*, const char*, Luid*) { return 0; }
BOOL SimMachine::AdjustTokenPrivileges(HANDLE, BOOL, TokenPrivileges*, DWORD, TokenPrivileges*, DWORD*) { return 0; }
BOOL SimMachine::CloseHandle(HANDLE) { return 0; }
HMODULE SimMachine::LoadLibraryA(const char*) { return nullptr; }
FARPROC SimMachine::GetProcAddress(HMODULE, const char*) { return nullptr; }
HANDLE SimMachine::CreateToolhelp32Snapshot(DWORD, DWORD) { return kInvalidHandleValue; }
BOOL SimMachine::Process32First(HANDLE, ProcessEntry32*) { return 0; }
BOOL SimMachine::Process32Next(HANDLE, ProcessEntry32*) { return 0; }
BOOL SimMachine::EnumProcesses(DWORD*, DWORD, DWORD*) { return 0; }
DWORD SimMachine::GetModuleFileNameExA(HANDLE, HMODULE, char*, DWORD) { return 0; }
HANDLE SimMachine::OpenProcess(DWORD, BOOL, DWORD) { return nullptr; }
BOOL SimMachine::TerminateProcess(HANDLE, UINT) { return 0; }
SC_HANDLE SimMachine::OpenSCManagerA(const char*, const char*, DWORD) { return nullptr; }
SC_HANDLE SimMachine::OpenServiceA(SC_HANDLE, const char*, DWORD) { return nullptr; }
BOOL SimMachine::ControlService(SC_HANDLE, DWORD, ServiceStatus*) { return 0; }
BOOL SimMachine::QueryServiceStatus(SC_HANDLE, ServiceStatus*) { return 0; }
BOOL SimMachine::CloseServiceHandle(SC_HANDLE) { return 0; }
BOOL SimMachine::ExitWindowsEx(UINT, DWORD) { return 0; }
int SimMachine::WideCharToMultiByte(UINT, DWORD, const WCHAR*, int, char*, int, const char*, BOOL*) { return 0; }
}  // namespace pf::sim
