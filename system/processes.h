#pragma once

#include "platform/platform.h"

// One running process: its id and the full path of its program file. Lists
// keep the order in which the system reported the processes; each entry is a
// separate, cleared global memory block.
struct ProcessEntry {
    pf::DWORD processId;
    char imagePath[340];  // at most 259 characters and the terminator are filled
    ProcessEntry* next;
};

// One process seen in the performance data.
constexpr int kPerfTaskNameChars = 16;
struct PerfTaskEntry {
    pf::DWORD processId;  // a reported id of 0 is kept as 0xFFFFFFFE
    char name[kPerfTaskNameChars + 1];  // program name without folder and extension
};
constexpr int kPerfTaskTableSize = 255;
constexpr int kPerfTaskMaxEntries = 254;

// Ends every process that runs the given program file, by the method the
// Windows generation offers. 1: the caller may try the deletion again.
int TerminateProcessesByPath(const char* path);

// The three methods. Snapshot: first process with the same file name.
// Module path: every process with exactly this path (case-blind); always 1
// once the system listed any process. Performance data: every process whose
// instance name is the file's name, except the critical system programs.
int TerminateBySnapshot(const char* path);
int TerminateByModulePath(const char* path);
int TerminateByPerfData(const char* path);

// The process list from the tool-help snapshot (image path from szExeFile).
// Null when no list could be built or it had to be abandoned.
ProcessEntry* ListProcessesBySnapshot();

// The process list from EnumProcesses and GetModuleFileNameExA. With
// `requestPrivilege`, an access-denied open switches on SeDebugPrivilege and
// tries once more. Null when psapi is missing or no process was reported; when
// an entry could not be allocated the partial list is freed, null is returned
// and *outOfMemory (if given) is set.
// *listed (if given) tells whether the system listed any process at all, so
// that a list left empty by unreadable paths is told from no processes.
ProcessEntry* ListProcessesByModulePath(bool requestPrivilege, bool* outOfMemory = nullptr,
                                        bool* listed = nullptr);

// The processes no termination ever ends: the idle and System processes and
// the cleaner's own.
bool IsProcessNeverEnded(pf::DWORD pid);

// Whether `path` is a program the running NT-family Windows cannot run
// without (its System32 folder and the generation's critical set, the one
// the performance-data method keeps): ending its process stops the machine.
// Always false on the 9x family.
bool IsCriticalSystemProgram(const char* path);

// Whether `path` is the cleaner's own program file (as the memory step
// listed its process: g_scan.ownProgramPath), in either its long or its
// short form.
bool IsOwnProgramFile(const char* path);

// An infected file the cleaner never ends, deletes or cleans after: its own
// program file, or a critical program of the system (above). Says so once
// per file (a scan event) and returns true; false for any other file.
bool SpareProtectedProgram(const char* path, const char* detectionName);

// Whether the opened process (with the rights to read its modules on the NT
// family) still runs the program file `imagePath` that a listing showed for
// id `pid`: psapi through this very handle, or on the 9x family a fresh
// snapshot entry with that id and that path. While the handle is open the id
// cannot pass to another process, so what is confirmed is what the handle
// ends.
bool StillRunsImage(pf::HANDLE process, pf::DWORD pid, const char* imagePath);

// Frees every entry of a list.
void FreeProcessList(ProcessEntry* list);

// Reads the process instances of a performance-data block (the bytes the
// system returned, trusted in nothing): up to kPerfTaskMaxEntries entries
// into `table` (cleared first, kPerfTaskTableSize entries). `pidCounterIndex`
// is the title index of the "ID Process" counter. Returns the number of
// entries filled; a malformed block gives fewer or none.
int ReadPerfTasks(const pf::BYTE* block, size_t size, pf::DWORD pidCounterIndex,
                  PerfTaskEntry* table);

// Finds, in the perflib "Counters" text (pairs of index and name, each ended
// by a zero byte), the object number of "process" (as text) and the counter
// index of "id process". The last pair of each name wins. False when either
// is missing.
bool FindProcessCounters(const char* names, size_t size, char* objectNumber,
                         size_t objectNumberSize, pf::DWORD* pidCounterIndex);
