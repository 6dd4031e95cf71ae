// A whole small Windows machine in memory, for tests.
//
// Drives, folders and files with attributes, content and locks; a registry
// tree with typed values; processes with image paths and the files they
// hold; services with states and stop behaviour; a chosen Windows version;
// privileges held or not; a message queue with keys the user "presses";
// scripted answers to questions; a virtual clock that Sleep advances; a log
// of every call; and fault injection: the Nth call of any operation fails,
// once or for good, with a chosen error.
//
// The machine's state is public on purpose: tests plant it directly and
// inspect it afterwards. Paths are compared without regard to letter case,
// as the real file system and registry do, in the machine's ANSI code page:
// in a double-byte one (932, 936, 949, 950) a lead byte and its trail are
// one character, never folded, and a trail byte 0x5C is no backslash.
//
// The operations are implemented per domain in sim_*.cpp files.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace pf::sim {

// Thrown by exit(): unwinds out of the core to the test, which catches it.
struct ProcessExit {
    int code;
};

// --------------------------------------------------------------------------
// Fault injection and the call log
// --------------------------------------------------------------------------
struct Fault {
    std::string op;        // operation name, as logged ("DeleteFileA")
    int nth = 1;           // the Nth call from the time the fault was set (1-based)
    bool persistent = false;  // fail that call and every later one
    DWORD error = 0;       // GetLastError / Win32 result / errno to report (0: the op's usual one)
    int seen = 0;          // calls counted so far (maintained by the machine)
};

struct Call {
    std::string op;   // "DeleteFileA"
    std::string arg;  // the main argument as text (a path, a name, a number)
    bool failedByFault = false;
};

// --------------------------------------------------------------------------
// Files and folders
// --------------------------------------------------------------------------
struct SimFile {
    std::string name;        // the name as created (letter case kept)
    bool isDirectory = false;
    DWORD attributes = kFileAttributeArchive;  // kFileAttributeDirectory for folders
    std::string content;     // file bytes
    bool denyOpen = false;   // _open fails with EACCES (no permission)
    bool denyAccess = false; // _access fails whatever the mode
    bool denyDelete = false; // DeleteFileA fails with ERROR_ACCESS_DENIED for good
    std::vector<std::string> children;  // folder: child names in listing order
    // A junction or folder link: paths through it go on in this folder, as
    // the system follows the reparse point.
    std::string reparseTarget;
};

struct OpenFile {
    std::string path;       // key into files
    int flags = 0;
    int32_t position = 0;
};

struct StreamFile {
    std::string data;       // text-mode view of the file when opened
    size_t position = 0;
};

// --------------------------------------------------------------------------
// Registry
// --------------------------------------------------------------------------
struct RegValue {
    std::string name;
    DWORD type = kRegSz;
    std::string data;        // raw bytes, terminator included for text types
    bool failRead = false;   // RegQueryValueExA fails (ERROR_ACCESS_DENIED)
    bool failDelete = false; // RegDeleteValueA fails (ERROR_ACCESS_DENIED)
};

struct RegKey {
    std::string name;
    std::vector<std::unique_ptr<RegKey>> subkeys;  // in creation order
    std::vector<RegValue> values;                  // in creation order
    bool denyOpen = false;   // RegOpenKeyExA fails with ERROR_ACCESS_DENIED
};

// --------------------------------------------------------------------------
// Processes, services, version, privileges
// --------------------------------------------------------------------------
enum class TerminateBehaviour {
    Dies,            // TerminateProcess succeeds and the process ends
    Refuses,         // TerminateProcess fails with ERROR_ACCESS_DENIED
    DiesThenRefuses  // the first termination ends it; once ended, it can still be
                     // opened but every later TerminateProcess fails (as XP does)
};

struct SimProcess {
    DWORD pid = 0;
    std::string imagePath;     // full Windows path of the program file
    std::string snapshotName;  // szExeFile; empty: full path on 9x, base name on NT
    std::string perfName;      // performance-data instance name; empty: base name without extension
    bool alive = true;
    bool moduleReadable = true;      // GetModuleFileNameExA works for it
    bool needsDebugPrivilege = false;  // opening with 0x410 fails with 5 until SeDebugPrivilege is on
    bool denyOpen = false;           // OpenProcess always fails (ERROR_ACCESS_DENIED)
    // Started through its short (8.3) path: the 9x snapshot then names it so,
    // as the loader saw it.
    bool startedByShortPath = false;
    TerminateBehaviour terminate = TerminateBehaviour::Dies;
    std::vector<std::string> heldFiles;  // files kept open (locked) while alive
    int terminateCalls = 0;          // maintained by the machine
};

enum class StopBehaviour {
    StopsAtOnce,         // the first status query after the stop shows STOPPED
    PendingThenStopped,  // STOP_PENDING for `pendingPolls` queries, then STOPPED
    StaysPending,        // STOP_PENDING for ever
    PendingThenRunning,  // STOP_PENDING for `pendingPolls` queries, then RUNNING
    RefusesStop          // ControlService fails (ERROR_ACCESS_DENIED)
};

struct SimService {
    std::string name;
    DWORD state = kServiceRunning;
    StopBehaviour stop = StopBehaviour::StopsAtOnce;
    int pendingPolls = 2;
    DWORD processId = 0;  // the process that ends when the service stops (0: none)
    // Its ImagePath as the service manager keeps it (QueryServiceConfigA's
    // lpBinaryPathName): unexpanded, quoted or not, with arguments.
    std::string imagePath;
    DWORD type = 0x10;  // SERVICE_WIN32_OWN_PROCESS; 0x20 shares a host process
    int stopRequests = 0;  // maintained by the machine
    int statusQueries = 0;  // status queries since the last stop request (maintained)
};

// What GetModuleFileNameExA does with a path that does not fit the buffer.
enum class ModuleNameCut {
    Unterminated,  // XP: `size` characters, no terminator, returns `size`
    Terminated     // later systems and Wine: size - 1 characters and a terminator, returns `size`
};

// Windows versions the cleaner tells apart.
enum class WinVersion { Win95, Win98, WinMe, Nt4, Win2000, WinXp, Vista, Win7, Win10 };

struct Question {
    std::string text;
    std::string title;
    UINT flags = 0;
    bool skinned = true;  // false: the plain system MessageBoxA
    DWORD atTime = 0;     // virtual clock when asked
};

// --------------------------------------------------------------------------
// The machine
// --------------------------------------------------------------------------
class SimMachine : public Platform {
public:
    SimMachine();
    ~SimMachine() override;

    // ---- set-up helpers (sim_setup.cpp) ----
    void SetVersion(WinVersion version);   // also sets the facilities of that generation
    void SetDriveType(char letter, UINT type);  // creates the root folder for fixed drives
    // Creates missing parent folders. Returns false when a parent is a file.
    bool AddFolder(const std::string& path, DWORD attributes = kFileAttributeDirectory);
    bool AddFile(const std::string& path, const std::string& content,
                 DWORD attributes = kFileAttributeArchive);
    SimFile* FindFile(const std::string& path);  // null when missing; 8.3 aliases work too
    std::string LongPathOf(const std::string& path);  // the long form of an existing path
    bool Exists(const std::string& path) { return FindFile(path) != nullptr; }
    // A junction at `path` to the folder `target` (which need not exist).
    bool AddJunction(const std::string& path, const std::string& target,
                     DWORD attributes = kFileAttributeDirectory | kFileAttributeReparsePoint);
    std::string ReadFileText(const std::string& path);  // "" when missing
    bool IsLocked(const std::string& path);  // held by a live process

    RegKey* CreateKey(HKEY root, const std::string& path);  // creates missing parents
    RegKey* FindKey(HKEY root, const std::string& path);
    std::string CurrentControlSetAlias(const std::string& path);
    void SetValue(HKEY root, const std::string& key, const std::string& name, DWORD type,
                  const std::string& data);  // data raw; SetString adds the terminator
    void SetString(HKEY root, const std::string& key, const std::string& name,
                   const std::string& text, DWORD type = kRegSz);
    RegValue* FindValue(HKEY root, const std::string& key, const std::string& name);

    SimProcess& AddProcess(const std::string& imagePath);  // gives the next free pid
    SimProcess* FindProcess(DWORD pid);
    SimService& AddService(const std::string& name);
    SimService* FindService(const std::string& name);
    SimService* ServiceOfHandle(SC_HANDLE service, DWORD* access);

    void PressKey(WPARAM key, UINT message = kWmKeyDown);  // queues a message
    // A key as the keyboard sends it: the press, then its release.
    void TypeKey(WPARAM key);
    void PostMessageToQueue(const Msg& msg);
    void AnswerNext(int answer) { answers.push_back(answer); }

    // ---- fault injection and log ----
    void FailCall(const std::string& op, int nth = 1, bool persistent = false, DWORD error = 0);
    void ClearFaults() { faults.clear(); }
    int CountCalls(const std::string& op) const;
    std::vector<std::string> CallNames() const;  // ops in order

    // ---- state (public: tests plant and inspect it) ----
    std::map<char, UINT> driveTypes;                 // missing letter: DRIVE_NO_ROOT_DIR
    std::map<std::string, SimFile> files;            // key: upper-case full path
    std::map<int, OpenFile> openFiles;               // fd -> file
    std::map<uintptr_t, StreamFile> streams;
    std::map<uintptr_t, std::vector<std::string>> finds;  // find handle -> remaining names
    std::map<uintptr_t, std::string> findFolders;        // find handle -> folder path

    RegKey hklm;                                     // HKEY_LOCAL_MACHINE
    std::map<uintptr_t, RegKey*> openKeys;           // handle -> key
    std::map<uintptr_t, DWORD> openKeyAccess;        // handle -> access mask asked for
    std::string perfData;                            // what HKEY_PERFORMANCE_DATA answers
    int perfQueries = 0;

    std::vector<SimProcess> processes;               // in the order the system lists them
    std::map<uintptr_t, DWORD> processHandles;       // handle -> pid
    std::map<uintptr_t, std::vector<SimProcess>> snapshots;  // snapshot handle -> copy
    std::map<uintptr_t, size_t> snapshotCursor;
    std::vector<SimService> services;
    std::map<uintptr_t, std::string> serviceHandles; // handle -> service name ("" = manager)
    std::map<uintptr_t, DWORD> serviceHandleAccess;  // handle -> access mask
    DWORD nextPid = 100;
    DWORD currentProcessId = 77;                     // the cleaner's own id (GetCurrentProcessId)

    OsVersionInfoA version{};
    bool versionQueryFails = false;
    // The ANSI code page (GetACP) in which every "A" call takes and gives
    // names: 1252 (western), or 932 (Japanese), 936 (simplified Chinese),
    // 949 (Korean), 950 (traditional Chinese) with their lead bytes. Another
    // number is one GetCPInfo does not know.
    UINT ansiCodePage = 1252;
    std::set<std::string> modules;                   // loadable libraries, lower case ("psapi.dll")
    std::set<std::string> entryPoints;               // "psapi.dll!EnumProcesses"
    // An administrator's account by default: both privileges held, none enabled.
    std::set<std::string> heldPrivileges{"SeDebugPrivilege", "SeShutdownPrivilege"};
    std::set<std::string> enabledPrivileges;
    bool tokenOpenFails = false;
    // An account without administrator rights (NT family): keys under
    // HKEY_LOCAL_MACHINE cannot be opened for writing nor deleted, the service
    // manager and services cannot be opened for control, and a deletion at
    // the next start cannot be scheduled.
    bool limitedUser = false;
    ModuleNameCut moduleNameCut = ModuleNameCut::Unterminated;  // set by SetVersion
    std::vector<UINT> rebootRequests;                // flags of every ExitWindowsEx
    bool exitWindowsFails = false;
    bool rebootStarted = false;                      // an ExitWindowsEx was accepted
    // What the running programs make of a restart request. Without EWX_FORCE
    // each is asked first; one that refuses stops the restart (the request
    // itself has been accepted: the system does not tell the caller).
    bool programRefusesRestart = false;
    bool restartRefused = false;                     // an accepted restart was stopped so
    bool unsavedWorkLost = false;                    // a forced restart ended programs unasked
    std::map<uintptr_t, std::string> moduleHandles;  // LoadLibraryA handle -> lower-case name
    std::map<uintptr_t, DWORD> processHandleAccess;  // process handle -> access mask
    std::set<uintptr_t> tokenHandles;                // open token handles

    std::string windowsDirectory = "C:\\WINDOWS";
    std::string systemDirectory = "C:\\WINDOWS\\system32";
    std::string tempDirectory = "C:\\WINDOWS\\TEMP\\";
    std::map<std::string, std::string> environment;  // upper-case name -> value
    std::vector<std::string> pendingDeletes;         // MoveFileExA(path, NULL, DELAY_UNTIL_REBOOT)

    std::deque<Msg> messageQueue;
    std::deque<int> answers;                         // scripted answers to questions
    int defaultAnswer = kIdNo;                       // when no answer is scripted
    std::vector<Question> questions;
    // The main window: receives sent and dispatched messages.
    std::function<LRESULT(HWND, UINT, WPARAM, LPARAM)> windowProc;
    // Called at every question, before the answer is taken (a test may act here).
    std::function<void(const Question&)> onQuestion;
    // Called at every Sleep, after the clock moved (a test may act here:
    // another program ends or starts while the caller waits).
    std::function<void(DWORD)> onSleep;

    DWORD clock = 0;                                 // virtual milliseconds
    std::vector<DWORD> sleeps;                       // every Sleep, in order
    DWORD lastError = 0;
    int lastErrno = 0;
    std::vector<Fault> faults;
    std::vector<Call> log;
    // The rights every open asked for, in order: "OpenProcess 0x410",
    // "RegOpenKeyExA 0x20019 <path>", "OpenSCManagerA 0xf003f",
    // "OpenServiceA 0xf003f <name>", "OpenProcessToken 0x28".
    std::vector<std::string> rightsAsked;
    bool logEnabled = true;
    size_t liveAllocations = 0;                      // GlobalAlloc minus GlobalFree

    // ---- Platform ----
    // Files and folders (sim_files.cpp)
    HANDLE FindFirstFileA(const char* pattern, FindDataA* data) override;
    BOOL FindNextFileA(HANDLE find, FindDataA* data) override;
    BOOL FindClose(HANDLE find) override;
    UINT GetDriveTypeA(const char* root) override;
    BOOL SetFileAttributesA(const char* path, DWORD attributes) override;
    BOOL DeleteFileA(const char* path) override;
    BOOL MoveFileExA(const char* existing, const char* newName, DWORD flags) override;
    BOOL CopyFileA(const char* existing, const char* newName, BOOL failIfExists) override;
    DWORD GetShortPathNameA(const char* longPath, char* shortPath, DWORD size) override;
    UINT GetWindowsDirectoryA(char* buffer, UINT size) override;
    UINT GetSystemDirectoryA(char* buffer, UINT size) override;
    DWORD GetTempPathA(DWORD size, char* buffer) override;
    DWORD ExpandEnvironmentStringsA(const char* src, char* dst, DWORD size) override;
    int _open(const char* path, int flags, int mode) override;
    int32_t _lseek(int fd, int32_t offset, int origin) override;
    int _read(int fd, void* buffer, unsigned count) override;
    int _write(int fd, const void* buffer, unsigned count) override;
    int32_t _filelength(int fd) override;
    int _close(int fd) override;
    int _access(const char* path, int mode) override;
    FILE_STREAM fopen(const char* path, const char* mode) override;
    char* fgets(char* buffer, int size, FILE_STREAM stream) override;
    int fclose(FILE_STREAM stream) override;

    // Process-wide (sim_machine.cpp)
    void* GlobalAlloc(UINT flags, size_t bytes) override;
    void* GlobalFree(void* block) override;
    DWORD GetLastError() override { return lastError; }
    void SetLastError(DWORD error) override { lastError = error; }
    void Sleep(DWORD milliseconds) override;
    DWORD GetTickCount() override { return clock; }
    void exit(int code) override;

    // Version, tokens, privileges, libraries, processes, services, shutdown,
    // text (sim_system.cpp)
    BOOL GetVersionExA(OsVersionInfoA* info) override;
    HANDLE GetCurrentProcess() override;
    DWORD GetCurrentProcessId() override;
    BOOL OpenProcessToken(HANDLE process, DWORD access, HANDLE* token) override;
    BOOL LookupPrivilegeValueA(const char* systemName, const char* name, Luid* luid) override;
    BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, TokenPrivileges* newState,
                               DWORD bufferLength, TokenPrivileges* previousState,
                               DWORD* returnLength) override;
    BOOL CloseHandle(HANDLE handle) override;
    HMODULE LoadLibraryA(const char* name) override;
    FARPROC GetProcAddress(HMODULE module, const char* name) override;
    HANDLE CreateToolhelp32Snapshot(DWORD flags, DWORD processId) override;
    BOOL Process32First(HANDLE snapshot, ProcessEntry32* entry) override;
    BOOL Process32Next(HANDLE snapshot, ProcessEntry32* entry) override;
    BOOL EnumProcesses(DWORD* ids, DWORD bytes, DWORD* bytesReturned) override;
    DWORD GetModuleFileNameExA(HANDLE process, HMODULE module, char* buffer, DWORD size) override;
    HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD processId) override;
    BOOL TerminateProcess(HANDLE process, UINT exitCode) override;
    SC_HANDLE OpenSCManagerA(const char* machine, const char* database, DWORD access) override;
    SC_HANDLE OpenServiceA(SC_HANDLE manager, const char* name, DWORD access) override;
    BOOL ControlService(SC_HANDLE service, DWORD control, ServiceStatus* status) override;
    BOOL QueryServiceStatus(SC_HANDLE service, ServiceStatus* status) override;
    BOOL CloseServiceHandle(SC_HANDLE handle) override;
    BOOL ExitWindowsEx(UINT flags, DWORD reserved) override;
    BOOL GetCPInfo(UINT codePage, CpInfo* info) override;
    int WideCharToMultiByte(UINT codePage, DWORD flags, const WCHAR* wide, int wideCount,
                            char* out, int outSize, const char* defaultChar,
                            BOOL* usedDefault) override;

    // Registry (sim_registry.cpp)
    LONG RegOpenKeyExA(HKEY root, const char* subKey, DWORD options, DWORD access,
                       HKEY* result) override;
    LONG RegQueryValueExA(HKEY key, const char* valueName, DWORD* reserved, DWORD* type,
                          BYTE* data, DWORD* dataSize) override;
    LONG RegQueryInfoKeyA(HKEY key, DWORD* subKeys, DWORD* values) override;
    LONG RegEnumValueA(HKEY key, DWORD index, char* name, DWORD* nameSize, DWORD* reserved,
                       DWORD* type, BYTE* data, DWORD* dataSize) override;
    LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* nameSize) override;
    LONG RegDeleteValueA(HKEY key, const char* valueName) override;
    LONG RegDeleteKeyA(HKEY root, const char* subKey) override;
    LONG RegCloseKey(HKEY key) override;

    // Windowing (sim_ui.cpp)
    BOOL PeekMessageA(Msg* msg, HWND window, UINT filterMin, UINT filterMax,
                      UINT removeFlags) override;
    BOOL TranslateMessage(const Msg* msg) override;
    LRESULT DispatchMessageA(const Msg* msg) override;
    LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;
    int MessageBoxA(HWND owner, const char* text, const char* caption, UINT flags) override;
    int SkinMessageBox(const char* text, const char* title, UINT flags) override;

    // Process objects, module snapshots, critical processes, service
    // configuration (sim_system.cpp)
    BOOL Module32First(HANDLE snapshot, ModuleEntry32* entry) override;
    BOOL QueryServiceConfigA(SC_HANDLE service, ServiceConfig* config, DWORD bufferSize,
                             DWORD* bytesNeeded) override;
    // Module snapshot handle -> the module paths of its process, main module first.
    std::map<uintptr_t, std::vector<std::string>> snapshotModules;
    // An id is free again once its process has ended and no handle to it is
    // open; the next process started may then take it. Tests put here the
    // program such a process runs: the next OpenProcess of that id finds it.
    std::map<DWORD, std::string> idReusedBy;
    // Ending a process of the generation's critical set stops the machine
    // (a bug check, or the shutdown that follows the loss of RPC or the
    // session manager).
    bool systemStopped = false;
    std::string systemStopCause;  // the image whose end stopped it
    bool IsCriticalImage(const std::string& imagePath) const;
    // At OpenProcess (that id) and at every process listing (each id): an
    // idReusedBy entry takes its id once it is free.
    void ReuseFreedId(DWORD pid);
    void ReuseFreedIds();

    // ---- helpers for the implementations ----
    // Logs the call and returns the matching fault, or null.
    const Fault* Enter(const char* op, const std::string& arg = std::string());
    uintptr_t NewHandle();  // a fresh, never-reused handle value
    // The lead bytes of the ANSI code page (none for a single-byte one or
    // one the machine does not know).
    crt::LeadBytes Leads() const;
    std::string Key(const std::string& path) const;  // upper-cased lookup key
    std::string Parent(const std::string& path) const;  // "C:\A\B" -> "C:\A"; "C:\A" -> "C:\"
    // The 8.3 form of a path, as GetShortPathNameA gives it (whether or not
    // the file exists).
    std::string ShortFormOf(const std::string& path) const;
    void FillProcessEntry(const SimProcess& p, ProcessEntry32* entry);  // one snapshot record

private:
    uintptr_t nextHandle_ = 0x1000;
};

// Installs a machine as the platform for the lifetime of the guard.
class ScopedSimMachine {
public:
    explicit ScopedSimMachine(SimMachine& machine) : previous_(SetPlatform(&machine)) {}
    ~ScopedSimMachine() { SetPlatform(previous_); }
    ScopedSimMachine(const ScopedSimMachine&) = delete;
    ScopedSimMachine& operator=(const ScopedSimMachine&) = delete;

private:
    Platform* previous_;
};

}  // namespace pf::sim
