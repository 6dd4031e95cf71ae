// The platform over mounted Windows volumes on a POSIX system (the offline
// front end's platform).
//
// Each folder given to AddDrive is one fixed drive (the first C:, then D:,
// ...). Windows paths ("C:\Windows\System32") map onto the files below those
// folders; a name whose letter case differs from the one on disk is found
// the way Windows finds it, without regard to case. Symbolic links are never
// followed, devices, sockets and pipes never opened. Nothing of the volume
// runs: there are no processes, services or libraries, no question is shown
// (every question is answered No; OfflinePlatform answers those calls) and
// waits return at once.
//
// The registry is the SOFTWARE and SYSTEM hives of the NT-family Windows on
// the volume (SetWindows), reached as HKEY_LOCAL_MACHINE\Software and
// HKEY_LOCAL_MACHINE\SYSTEM through hivex. Changes are kept in memory and
// written once, by CommitRegistry: each changed hive goes to a new file
// beside the old one, which replaces it only once complete and flushed; a
// hive that cannot be opened or written stays byte for byte as it was. A
// removing run holds a lock on the hives' folder from its first look at a
// hive to its end (LockRegistry): a second run is refused.
//
// Speed: a listing is read once with getdents and one fstatat per entry; the
// folder pass that follows a file pass reuses it.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/offline_platform.h"

struct stat;

namespace pf::posix {

// What a file being deleted is renamed with, after its own name: a file of
// that name on a volume was left by a run killed in the middle of a
// deletion.
constexpr const char kDeletingMark[] = ".vendrika-deleting-";

// What a new hive is named, after the hive's own name, until it replaces
// the hive: one left was never put in place.
constexpr const char kNewHiveMark[] = ".vendrika-new";

// What a file being put back is named, after its own name, until it is
// complete (where the file system cannot make a file without a name).
constexpr const char kRestoringMark[] = ".vendrika-restoring-";

// Room for a Windows path built by the walk (260) with margin.
constexpr size_t kPathBuffer = 520;

struct ValueIndex;  // a key's values, read once (posix_internal.h)

// What the platform has to tell its front end: what it could not read,
// examine or write (what the scan did comes from the scan's events).
// A file of the volume about to be changed (SetKeepChanges): its mode (the
// read-only attribute taken off) or its deletion.
struct FileChange {
    const char* windowsPath;
    const std::string& root;      // its drive's folder, as named
    const std::string& relative;  // its path below that folder, names as on disk, '/' between them
    int fd;                       // the file, opened read-only without following links
    const struct stat& st;        // its identity, mode, owner and times
    bool deletion;
    // A replacement: the file (fd -1 when there is none yet) is about to be
    // replaced whole by newFd, complete and flushed beside it; `kind` says
    // what it is ("hive", "wininit") and `changes` what the new one lacks.
    int newFd = -1;
    const char* kind = nullptr;
    const std::vector<std::string>* changes = nullptr;
};

class Events {
public:
    virtual ~Events() = default;
    // Before a change of SetKeepChanges: the listener keeps what it needs
    // of the file. False (errno set, the listener having said why): the
    // change is not made.
    virtual bool BeforeChange(const FileChange& change) { (void)change; return true; }
    // After a replacement that BeforeChange kept: whether it was made.
    virtual void AfterReplacement(const char* windowsPath, bool made) { (void)windowsPath, (void)made; }
    // A folder or file that could not be read, a path too long for the
    // scan, a hive that could not be opened or written (POSIX path or text).
    virtual void Problem(const std::string& what, const std::string& why) = 0;
    // A folder left out on purpose (SetOneFileSystem): not a problem, but
    // never passed over in silence.
    virtual void NotScanned(const std::string& what, const std::string& why) {}
};

// The Windows found on a drive: family (4: 95/98/Me, 5: NT), version and
// where it keeps its folders (Windows paths with the names as on disk).
struct WindowsInstall {
    int family = 0;  // 0: none
    DWORD major = 0, minor = 0;
    std::string windowsDir;   // "C:\WINDOWS"
    std::string systemDir;    // "C:\WINDOWS\system32"
    std::string softwareHive; // POSIX path of the SOFTWARE hive (NT family), may be empty
    char drive = 0;
    // The letter that Windows gives its own drive (SystemRoot; on 95/98/Me
    // MSDOS.SYS's WinDir); 0 when it cannot be told.
    char ownLetter = 0;
};

class PosixPlatform : public OfflinePlatform {
public:
    PosixPlatform();
    ~PosixPlatform() override;

    // Adds a folder as a fixed drive: `letter`, or the next free one from
    // C:. False (with the reason) when it is not a readable folder or the
    // letter is taken.
    bool AddDrive(const std::string& folder, std::string* why, char letter = 0);
    // The POSIX folder of a drive letter, or "".
    std::string DriveRoot(char letter) const;
    int DriveCount() const { return int(drives_.size()); }
    char DriveLetter(int index) const { return drives_[size_t(index)].letter; }

    // Looks for a Windows on a drive (its folders named as on disk, its
    // version read from its SOFTWARE hive); family 0 when there is none.
    static WindowsInstall FindWindows(PosixPlatform& platform, char letter);
    // Every Windows on the drive (a volume can hold more than one), the one
    // FindWindows gives first.
    static std::vector<WindowsInstall> FindEveryWindows(PosixPlatform& platform, char letter);
    void SetWindows(const WindowsInstall& install) {
        windows_ = install;
        programFilesRead_ = false;
    }
    // Replaces the 95/98/Me Windows' wininit.ini (an empty text when there
    // is none) by what `edit` makes of its bytes: written to a new file in
    // the Windows folder, flushed and renamed over it (posix_fat.cpp). False,
    // with the reason, when it could not be written; it is then as it was.
    bool RewriteWininit(const std::function<std::string(const std::string&)>& edit, std::string* why);
    const WindowsInstall& Windows() const { return windows_; }

    // Report-only: every call that would change a file or the registry
    // fails with ERROR_ACCESS_DENIED (EACCES), as on a read-only volume. A
    // key may still be opened for writing; a value whose deletion is refused
    // there is told as ValueWouldBeRemoved.
    void SetReadOnly(bool readOnly) { readOnly_ = readOnly; }
    bool ReadOnly() const { return readOnly_; }
    void SetEvents(Events* events) { events_ = events; }
    // Each change to a file (its mode, its deletion) is first offered to
    // Events::BeforeChange, and made only when that keeps it.
    void SetKeepChanges(bool on) { keepChanges_ = on; }
    // Folders on another file system than their drive's folder (a mount
    // point below it) are not listed, each told as NotScanned.
    void SetOneFileSystem(bool on) { oneFileSystem_ = on; }

    // Where the access times of a drive's files change as they are read,
    // whatever the scanner asks (a FUSE driver such as ntfs-3g, mounted
    // writable without noatime), why, with the remedy; "" elsewhere.
    std::string AccessTimesNotKept(char letter) const;

    // Resolves a Windows path to the POSIX one (letter case as on disk).
    // When the last component is missing, it is kept as written if
    // `lastMayBeMissing`. False when a component cannot be found, names a
    // symbolic link, or the drive is unknown; errno tells why. For display
    // and look-ups only: every change goes through Locate.
    bool Resolve(const char* windowsPath, std::string* posixPath, bool lastMayBeMissing = false);
    // Windows path to POSIX path for display; the path as given when it
    // cannot be resolved.
    std::string Display(const char* windowsPath);

    // A file the scan found infected (a Windows path). In a report-only
    // run nothing on the volume changes, so the same file (by its identity:
    // the hosts file met at every detection, a file reached through two
    // overlapping PATHs) is not opened again: one detection per file.
    void MarkFound(const char* windowsPath);

    // How many files were opened (for the benchmark and tests).
    long filesOpened = 0;
    // The system's error (errno) of the last change to a file that failed:
    // the cause beside the Win32 error the core is given.
    int LastChangeErrno() const { return changeErrno_; }

    // ---- Platform ----
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

    void* GlobalAlloc(UINT flags, size_t bytes) override;
    void* GlobalFree(void* block) override;
    DWORD GetLastError() override { return lastError_; }
    void SetLastError(DWORD error) override { lastError_ = error; }
    void Sleep(DWORD milliseconds) override;
    DWORD GetTickCount() override;
    void exit(int code) override;

    BOOL GetVersionExA(OsVersionInfoA* info) override;
    // No process of the volume runs, so this id never meets one in a process list.
    DWORD GetCurrentProcessId() override;

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

    BOOL GetCPInfo(UINT codePage, CpInfo* info) override;
    int WideCharToMultiByte(UINT codePage, DWORD flags, const WCHAR* wide, int wideCount,
                            char* out, int outSize, const char* defaultChar,
                            BOOL* usedDefault) override;
    // The windowing calls are OfflinePlatform's: the front end decides what
    // the window would have shown; alone, lines and status texts go nowhere
    // and nothing is queued.

    // The registry (posix_registry.cpp). Reads the version of an NT-family
    // Windows from its SOFTWARE hive; false when the hive cannot be read.
    // `systemRoot`, when given, gets the SystemRoot value ("D:\\WINDOWS").
    // The hive is reached from the drive folder `root` without following a
    // link.
    static bool ReadNtVersion(const std::string& root, const std::string& hivePath, DWORD* major,
                              DWORD* minor, std::string* systemRoot = nullptr);
    // For a removing run: takes the lock on the folder of the Windows' hives
    // before anything is changed. False, with the reason, when another run
    // holds it or it cannot be locked; true when there is no hive or its
    // folder cannot be opened (the hive is then reported when first used).
    bool LockRegistry(std::string* why);
    // New hives left beside the Windows' hives by a run killed while it
    // wrote them (never put in place: the hives are as they were), as POSIX
    // paths. With `remove` (a removing run holding the lock) each is
    // deleted, a link itself and never what it points to; `removed` tells
    // which went.
    std::vector<std::string> HiveLeftovers(bool remove, std::vector<bool>* removed);
    // The POSIX path of the hive holding HKEY_LOCAL_MACHINE\subKey, once
    // it is open ("" before, or for a key the volume does not hold).
    std::string HiveFileOf(const char* subKey) const;
    // Whether the changes made to that hive were written by CommitRegistry.
    bool HiveWritten(const char* subKey) const;
    // Writes each changed hive once (at the end of the run or at its
    // interruption). False when one could not be written: it was reported
    // and stays as it was.
    bool CommitRegistry();
    // How many times a hive was written (for the benchmark and tests).
    long hiveWrites = 0;

private:
    struct Drive {
        char letter;
        std::string root;  // no trailing slash ("/" stays "/")
        int fd;            // the folder, opened once as the user named it
        uint64_t device;   // its file system (st_dev)
    };
    // A Windows path opened down to its folder: that folder (each component
    // opened relative to the one before, from the drive's folder, never
    // through a link) and the last name as on disk ("" for the drive's root).
    struct Located {
        int dirFd = -1;
        std::string name;
        std::string posix;
        Located() = default;
        Located(const Located&) = delete;
        Located& operator=(const Located&) = delete;
        ~Located();
        int Release();  // the folder's descriptor, no longer closed here
    };
    struct Entry;
    struct Listing;
    struct OpenSlot;
    struct Stream;
    struct Hive;

    const Drive* DriveOf(const char* windowsPath) const;
    bool Locate(const char* windowsPath, Located* place, bool lastMayBeMissing = false);
    // The folder and name a change to `path` goes through: the entry just
    // listed, or the path located. False (lastError_ set) when neither.
    bool PlaceOf(const char* path, Located* place, int* dirFd, const char** name,
                 bool lastMayBeMissing = false);
    Listing* NewListing();
    void ReleaseListing(Listing* listing);
    bool FillListing(Listing* listing, int dirFd);
    std::string PosixPathIn(const Listing& listing, const char* name) const;
    bool NextEntry(Listing* listing, FindDataA* data);
    void Report(const std::string& what, const std::string& why);
    bool IsLastEntry(const char* windowsPath) const;
    int OpenLastEntryAt(int flags);
    void Changed() { ++generation_; }
    // The files last opened for reading (the inspection of a file comes
    // right before its removal): a change to one of them goes ahead only
    // while its name still holds the very file read.
    void Inspected(const char* windowsPath, const struct stat& st);
    void ForgetInspected(const char* windowsPath);
    bool ReplacedSinceInspected(const char* windowsPath, const struct stat& st);
    int NewSlot();
    void ReadFailed(OpenSlot* slot, int error);
    OpenSlot* Slot(int fd);
    Hive* OpenHive(int which);
    size_t KeyNode(const char* subKey, int* which, Hive** hive);  // a hivex node, 0 for none
    // The values of a key node, read once per run (problems told then).
    const ValueIndex& ValuesOf(Hive& hive, size_t node, const std::string& keyPath);
    void CloseHive();
    bool CommitHive(Hive& hive);
    bool CreateNewHive(Hive& hive, std::string* why);
    void DropNewHive(Hive& hive);
    int RegistryFolder(std::string* why);
    const std::string& ProgramFilesDir(const std::string& systemDrive);
    // Offers the file at dirFd/name (checked to be `st`) to BeforeChange;
    // false (lastError_ and changeErrno_ set) when it was not kept.
    bool KeptBeforeChange(const char* windowsPath, int dirFd, const char* name, const struct stat& st,
                          bool deletion);
    // Offers a file of the Windows about to be replaced whole (a hive,
    // WININIT.INI) to BeforeChange: the file at posixPath as read through
    // oldFd (-1: there is none), the new one through newFd. False when it
    // was not kept (told); `windowsPath` gets its Windows path.
    bool KeptBeforeReplacement(const std::string& posixPath, int oldFd, int newFd, const char* kind,
                               const std::vector<std::string>* changes, std::string* windowsPath);
    // Its drive's folder and the path below it, for a POSIX path on a drive.
    bool BelowDrive(const Drive* drive, const std::string& posix, std::string* root, std::string* relative) const;

    std::vector<Drive> drives_;
    WindowsInstall windows_;
    bool readOnly_ = false;
    bool keepChanges_ = false;
    bool oneFileSystem_ = false;
    Events* events_ = nullptr;
    DWORD lastError_ = 0;
    int changeErrno_ = 0;
    int crtErrno_ = 0;

    std::vector<std::unique_ptr<Listing>> listingPool_;
    std::vector<Listing*> openListings_;
    Listing* cached_ = nullptr;  // the last closed whole-folder listing
    uint64_t generation_ = 0;
    std::string lastReportedFolder_;
    std::string lastUnfitFolder_;  // whose unusable names were reported
    unsigned long deletions_ = 0;   // names of the cleaner's own for deletions

    // The entry handed out last: its Windows path, folder and size.
    char lastPath_[kPathBuffer];
    size_t lastPathLength_ = 0;
    int lastDirFd_ = -1;
    const char* lastName_ = nullptr;
    bool lastIsFile_ = false;

    std::vector<OpenSlot> slots_;
    std::vector<std::unique_ptr<Stream>> streams_;
    std::unique_ptr<Hive> hives_[2];  // SOFTWARE, SYSTEM
    bool hiveFailed_[2] = {false, false};
    int registryFd_ = -1;  // the hives' folder, opened without following links
    bool registryLocked_ = false;
    std::set<std::pair<uint64_t, uint64_t>> found_;  // device and inode of each file found
    struct InspectedFile {
        std::string windowsPath;
        uint64_t device = 0, inode = 0;
    };
    InspectedFile inspected_[8];
    size_t inspectedNext_ = 0;
    std::vector<uintptr_t> openKeys_;
    std::unordered_map<std::string, size_t> keyNodes_;  // key path to hivex node, until a change
    uint64_t keyNodesGeneration_ = 0;
    std::string programFiles_;  // %ProgramFiles%, read once
    bool programFilesRead_ = false;
};

// Opens the entry `name` of the open folder dirFd (AT_FDCWD: a path) only
// when it is a regular file, checked before anything is opened: the entry
// is held with O_PATH (no link followed, no device, pipe or socket opened),
// checked, then opened through that hold, so that whatever is put at the
// name meanwhile is never opened. `flags` are open(2)'s: the access,
// O_TRUNC, O_APPEND, O_CREAT (a new file made where there is none) and
// O_EXCL. The file's identity in `st` when given. -1 with errno: EINVAL
// for an entry that is not a regular file.
int OpenRegularFileAt(int dirFd, const char* name, int flags, unsigned mode = 0,
                      struct stat* st = nullptr);

// Opens the folder `relative` ('/' between names, "" for the folder
// itself) below `root`: the root as named, every name below it without
// following a link. -1 with errno.
int OpenFolderBelow(const std::string& root, const std::string& relative);
// renameat2 with RENAME_NOREPLACE, or where the file system lacks it a
// rename onto a name checked to be free; -1 with errno (EEXIST: taken).
int RenameNoReplace(int fromDir, const char* from, int toDir, const char* to);
// A file's NTFS attributes as ntfs-3g (or the kernel's ntfs3) shows them:
// the attribute's name and bytes; false where the file system has none.
bool ReadNtfsAttributes(int fd, std::string* name, std::string* bytes);

}  // namespace pf::posix
