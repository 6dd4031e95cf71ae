// Placeholder: the simulated file system. Replaced by the real model.
#include "platform/sim/sim_machine.h"

namespace pf::sim {
void SimMachine::SetDriveType(char letter, UINT type) { driveTypes[letter] = type; }
bool SimMachine::AddFolder(const std::string&, DWORD) { return false; }
bool SimMachine::AddFile(const std::string&, const std::string&, DWORD) { return false; }
SimFile* SimMachine::FindFile(const std::string&) { return nullptr; }
std::string SimMachine::ReadFileText(const std::string&) { return {}; }
bool SimMachine::IsLocked(const std::string&) { return false; }
HANDLE SimMachine::FindFirstFileA(const char*, FindDataA*) { return kInvalidHandleValue; }
BOOL SimMachine::FindNextFileA(HANDLE, FindDataA*) { return 0; }
BOOL SimMachine::FindClose(HANDLE) { return 0; }
UINT SimMachine::GetDriveTypeA(const char*) { return kDriveNoRootDir; }
BOOL SimMachine::SetFileAttributesA(const char*, DWORD) { return 0; }
BOOL SimMachine::DeleteFileA(const char*) { return 0; }
BOOL SimMachine::MoveFileExA(const char*, const char*, DWORD) { return 0; }
BOOL SimMachine::CopyFileA(const char*, const char*, BOOL) { return 0; }
DWORD SimMachine::GetShortPathNameA(const char*, char*, DWORD) { return 0; }
UINT SimMachine::GetWindowsDirectoryA(char*, UINT) { return 0; }
UINT SimMachine::GetSystemDirectoryA(char*, UINT) { return 0; }
DWORD SimMachine::GetTempPathA(DWORD, char*) { return 0; }
DWORD SimMachine::ExpandEnvironmentStringsA(const char*, char*, DWORD) { return 0; }
int SimMachine::_open(const char*, int, int) { return -1; }
int32_t SimMachine::_lseek(int, int32_t, int) { return -1; }
int SimMachine::_read(int, void*, unsigned) { return -1; }
int SimMachine::_write(int, const void*, unsigned) { return -1; }
int32_t SimMachine::_filelength(int) { return -1; }
int SimMachine::_close(int) { return -1; }
int SimMachine::_access(const char*, int) { return -1; }
FILE_STREAM SimMachine::fopen(const char*, const char*) { return nullptr; }
char* SimMachine::fgets(char*, int, FILE_STREAM) { return nullptr; }
int SimMachine::fclose(FILE_STREAM) { return -1; }
}  // namespace pf::sim
