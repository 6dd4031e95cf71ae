// The simulated machine's drives, folders and files, the kernel32 file
// calls and the C runtime's low-level and stream file calls over them.
//
// Semantics follow Windows (and Wine where Windows is vague): names compare
// without regard to letter case, folders list "." and ".." first except at a
// drive root, "*.*" matches names without a dot, a file that is running or
// held open by a live process cannot be deleted, and the runtime calls set
// errno-like `lastErrno` the way MSVCRT does.
#include <algorithm>
#include <climits>
#include <cstring>

#include "platform/crt.h"
#include "platform/sim/sim_machine.h"

namespace pf::sim {
namespace {

constexpr int kEEXIST = 17;
constexpr DWORD kErrorFileExists = 80;
constexpr DWORD kErrorAlreadyExists = 183;
constexpr int kFirstFd = 3;
constexpr int kMaxOpenFiles = 512;
constexpr char kCtrlZ = 0x1A;

// Where the first backslash at or after `start` (where a character begins)
// is, and the last one; npos when there is none. A trail byte 0x5C of a
// double-byte character is none.
size_t NextBackslash(const std::string& p, size_t start, const crt::LeadBytes& leads) {
    if (start >= p.size()) return std::string::npos;
    const char* found = crt::FindChar(p.c_str() + start, '\\', leads);
    return found ? size_t(found - p.c_str()) : std::string::npos;
}

size_t LastBackslash(const std::string& p, const crt::LeadBytes& leads) {
    const char* found = crt::FindLastChar(p.c_str(), '\\', leads);
    return found ? size_t(found - p.c_str()) : std::string::npos;
}

// "C:/a\b\" -> "C:\a\b"; a drive root keeps its backslash ("C:\").
std::string Normalize(const char* path, const crt::LeadBytes& leads) {
    std::string p = path ? path : "";
    std::replace(p.begin(), p.end(), '/', '\\');  // 0x2F is never a trail byte
    if (p.size() == 2 && p[1] == ':') p += '\\';
    while (p.size() > 3 && LastBackslash(p, leads) == p.size() - 1) p.pop_back();
    return p;
}

bool IsRootPath(const std::string& p) { return p.size() == 3 && p[1] == ':' && p[2] == '\\'; }

std::string LastComponent(const std::string& p, const crt::LeadBytes& leads) {
    if (IsRootPath(p)) return p;
    const size_t slash = LastBackslash(p, leads);
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

bool SameText(const std::string& a, const std::string& b, const crt::LeadBytes& leads) {
    return a.size() == b.size() && crt::CompareNames(a.c_str(), b.c_str(), a.size(), leads) == 0;
}

// Windows matches "*.*" (and any mask ending in ".*") also against names
// that have no dot at all.
bool MaskMatches(const std::string& mask, const std::string& name) {
    if (crt::WildMatch(mask.c_str(), name.c_str())) return true;
    if (mask.size() >= 2 && mask.compare(mask.size() - 2, 2, ".*") == 0 &&
        name.find('.') == std::string::npos)
        return crt::WildMatch(mask.c_str(), (name + ".").c_str());
    return false;
}

bool HasWildcards(const std::string& s) { return s.find_first_of("*?") != std::string::npos; }

// MSVCRT text mode on read: CR LF becomes LF, Ctrl-Z ends the text.
std::string TextView(const std::string& raw) {
    std::string out;
    out.reserve(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == kCtrlZ) break;
        if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
        out += raw[i];
    }
    return out;
}

// Lengths are in bytes, as FAT counts them; a double-byte character is
// valid whatever its trail byte.
bool IsValid83Part(const std::string& s, size_t maxLen, const crt::LeadBytes& leads) {
    if (s.empty() || s.size() > maxLen) return false;
    for (size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (leads.IsLead((unsigned char)c)) {
            ++i;
            continue;
        }
        if (c == ' ' || c == '.' || c == '+' || c == ',' || c == ';' || c == '=' || c == '[' ||
            c == ']')
            return false;
    }
    return true;
}

// A plausible 8.3 alias: valid short names stay as they are; others become
// the first six usable characters, "~1" and at most three of the extension.
std::string ShortComponent(const std::string& name, const crt::LeadBytes& leads) {
    if (name == "." || name == "..") return name;
    const size_t dot = name.find_last_of('.');  // 0x2E is never a trail byte
    const std::string base = dot == std::string::npos ? name : name.substr(0, dot);
    const std::string ext = dot == std::string::npos ? std::string() : name.substr(dot + 1);
    if (IsValid83Part(base, 8, leads) && (ext.empty() || IsValid83Part(ext, 3, leads)) &&
        std::count(name.begin(), name.end(), '.') <= 1)
        return name;
    auto usable = [&leads](const std::string& s, size_t n) {
        std::string out;
        for (size_t i = 0; i < s.size(); ++i) {
            char c = s[i];
            if (leads.IsLead((unsigned char)c) && i + 1 < s.size()) {
                // A double-byte character is kept whole, or not at all.
                if (out.size() + 2 > n) break;
                out += c;
                out += s[++i];
                continue;
            }
            if (out.size() == n) break;
            if (c == ' ' || c == '.') continue;
            if (c == '+' || c == ',' || c == ';' || c == '=' || c == '[' || c == ']') c = '_';
            out += crt::ToUpper(c);
        }
        return out;
    };
    std::string alias = usable(base, 6) + "~1";
    const std::string shortExt = usable(ext, 3);
    if (!shortExt.empty()) alias += "." + shortExt;
    return alias;
}

// Win32 "copy a text into a caller's buffer" convention: the length without
// terminator when it fits, otherwise the size needed including it.
DWORD CopyOut(const std::string& text, char* buffer, DWORD size) {
    if (buffer && size > text.size()) {
        std::memcpy(buffer, text.c_str(), text.size() + 1);
        return DWORD(text.size());
    }
    return DWORD(text.size() + 1);
}

}  // namespace

// Takes an entry out of the tree without any of the checks of DeleteFileA.
static void RemoveEntry(SimMachine& machine, const std::string& path) {
    const std::string normal = machine.LongPathOf(path);
    SimFile* file = machine.FindFile(normal);
    if (!file) return;
    if (SimFile* parent = machine.FindFile(machine.Parent(normal))) {
        auto& kids = parent->children;
        for (auto it = kids.begin(); it != kids.end(); ++it) {
            if (SameText(*it, file->name, machine.Leads())) {
                kids.erase(it);
                break;
            }
        }
    }
    machine.files.erase(machine.Key(normal));
}

// ---------------------------------------------------------------------------
// Set-up helpers
// ---------------------------------------------------------------------------
void SimMachine::SetDriveType(char letter, UINT type) {
    letter = crt::ToUpper(letter);
    driveTypes[letter] = type;
    if (type != kDriveNoRootDir && type != kDriveUnknown)
        AddFolder(std::string(1, letter) + ":\\");
}

bool SimMachine::AddFolder(const std::string& rawPath, DWORD attributes) {
    const std::string path = LongPathOf(rawPath);
    if (path.empty()) return false;
    if (SimFile* existing = FindFile(path)) return existing->isDirectory;
    SimFile folder;
    folder.name = LastComponent(path, Leads());
    folder.isDirectory = true;
    folder.attributes = attributes | kFileAttributeDirectory;
    if (!IsRootPath(path)) {
        const std::string parent = Parent(path);
        if (parent.empty() || parent == path || !AddFolder(parent)) return false;
        FindFile(parent)->children.push_back(folder.name);
    }
    files[Key(path)] = std::move(folder);
    return true;
}

bool SimMachine::AddJunction(const std::string& rawPath, const std::string& target,
                             DWORD attributes) {
    const std::string path = LongPathOf(rawPath);
    if (Exists(path) || !AddFolder(path, attributes | kFileAttributeReparsePoint)) return false;
    FindFile(path)->reparseTarget = target;
    return true;
}

bool SimMachine::AddFile(const std::string& rawPath, const std::string& content,
                         DWORD attributes) {
    const std::string path = LongPathOf(rawPath);
    if (path.empty() || IsRootPath(path)) return false;
    if (SimFile* existing = FindFile(path)) {
        if (existing->isDirectory) return false;
        existing->content = content;
        existing->attributes = attributes & ~kFileAttributeDirectory;
        return true;
    }
    const std::string parent = Parent(path);
    if (parent.empty() || !AddFolder(parent)) return false;
    SimFile file;
    file.name = LastComponent(path, Leads());
    file.content = content;
    file.attributes = attributes & ~kFileAttributeDirectory;
    FindFile(parent)->children.push_back(file.name);
    files[Key(path)] = std::move(file);
    return true;
}

// A path names its file by long names, by 8.3 aliases, or by a mix of both,
// as on Windows. The long form of as much of the path as exists, followed by
// the rest as it was written. A path that goes on through a junction goes on
// in the junction's target; the junction itself is named by its own path.
std::string SimMachine::LongPathOf(const std::string& path) {
    const crt::LeadBytes leads = Leads();
    std::string normal = Normalize(path.c_str(), leads);
    if (files.count(Key(normal))) return normal;
    if (normal.size() < 3 || normal[1] != ':' || normal[2] != '\\') return normal;
    std::string resolved = normal.substr(0, 3);
    resolved[0] = crt::ToUpper(resolved[0]);
    size_t start = 3;
    // The system gives up on a path after so many reparse points.
    int hops = 0;
    constexpr int kMaxReparseHops = 63;
    while (start < normal.size()) {
        size_t end = NextBackslash(normal, start, leads);
        if (end == std::string::npos) end = normal.size();
        const std::string part = normal.substr(start, end - start);
        auto folder = files.find(Key(resolved));
        const std::string* found = nullptr;
        if (folder != files.end() && folder->second.isDirectory) {
            for (const std::string& child : folder->second.children)
                if (SameText(child, part, leads) ||
                    SameText(ShortComponent(child, leads), part, leads)) {
                    found = &child;
                    break;
                }
        }
        if (!found) {
            resolved += (IsRootPath(resolved) ? "" : "\\") + normal.substr(start);
            return resolved;
        }
        resolved += (IsRootPath(resolved) ? "" : "\\") + *found;
        start = end + 1;
        auto link = files.find(Key(resolved));
        if (start < normal.size() && link != files.end() && !link->second.reparseTarget.empty() &&
            hops < kMaxReparseHops) {
            ++hops;
            // Start again from the target with the rest of the path.
            const std::string target = Normalize(link->second.reparseTarget.c_str(), leads);
            normal = target + (IsRootPath(target) ? "" : "\\") + normal.substr(start);
            if (normal.size() < 3 || normal[1] != ':' || normal[2] != '\\') return normal;
            resolved = normal.substr(0, 3);
            resolved[0] = crt::ToUpper(resolved[0]);
            start = 3;
        }
    }
    return resolved;
}

SimFile* SimMachine::FindFile(const std::string& path) {
    auto it = files.find(Key(LongPathOf(path)));
    return it == files.end() ? nullptr : &it->second;
}

std::string SimMachine::ReadFileText(const std::string& path) {
    SimFile* f = FindFile(path);
    return f && !f->isDirectory ? f->content : std::string();
}

bool SimMachine::IsLocked(const std::string& path) {
    const std::string key = Key(LongPathOf(path));
    for (const SimProcess& p : processes) {
        if (!p.alive) continue;
        if (Key(LongPathOf(p.imagePath)) == key) return true;
        for (const std::string& held : p.heldFiles)
            if (Key(LongPathOf(held)) == key) return true;
    }
    return false;
}

// ---------------------------------------------------------------------------
// Folder listing
// ---------------------------------------------------------------------------
namespace {
void FillFindData(FindDataA* data, const std::string& name, const SimFile* file,
                  const crt::LeadBytes& leads) {
    std::memset(data, 0, sizeof *data);
    data->dwFileAttributes = file ? file->attributes : kFileAttributeDirectory;
    if (file && !file->isDirectory) {
        const uint64_t size = file->content.size();
        data->nFileSizeLow = DWORD(size);
        data->nFileSizeHigh = DWORD(size >> 32);
    }
    crt::CopyText(data->cFileName, name.c_str());
    const std::string alias = ShortComponent(name, leads);
    if (alias != name) crt::CopyText(data->cAlternateFileName, alias.c_str());
}
}  // namespace

HANDLE SimMachine::FindFirstFileA(const char* pattern, FindDataA* data) {
    if (const Fault* f = Enter("FindFirstFileA", pattern ? pattern : "")) {
        lastError = f->error ? f->error : kErrorFileNotFound;
        return kInvalidHandleValue;
    }
    std::string p = pattern ? pattern : "";
    std::replace(p.begin(), p.end(), '/', '\\');
    const crt::LeadBytes leads = Leads();
    const size_t slash = LastBackslash(p, leads);
    if (!data || slash == std::string::npos) {
        lastError = kErrorPathNotFound;
        return kInvalidHandleValue;
    }
    const std::string folderPath = Normalize(p.substr(0, slash + 1).c_str(), leads);
    const std::string mask = p.substr(slash + 1);
    SimFile* folder = FindFile(folderPath);
    // Listing a junction lists its target; the entries keep the junction's path.
    for (int hops = 0; folder && !folder->reparseTarget.empty() && hops < 63; ++hops)
        folder = FindFile(folder->reparseTarget);
    if (!folder || !folder->isDirectory) {
        lastError = kErrorPathNotFound;
        return kInvalidHandleValue;
    }
    std::vector<std::string> names;
    if (!mask.empty()) {
        if (!IsRootPath(folderPath)) {
            for (const char* dots : {".", ".."})
                if (MaskMatches(mask, dots)) names.push_back(dots);
        }
        for (const std::string& child : folder->children) {
            // An exact name finds its file by the long name or the 8.3 alias.
            const bool match = HasWildcards(mask)
                                   ? MaskMatches(mask, child)
                                   : SameText(mask, child, leads) ||
                                         SameText(mask, ShortComponent(child, leads), leads);
            if (match) names.push_back(child);
        }
    }
    if (names.empty()) {
        lastError = kErrorFileNotFound;
        return kInvalidHandleValue;
    }
    const std::string first = names.front();
    names.erase(names.begin());
    const uintptr_t handle = NewHandle();
    finds[handle] = std::move(names);
    findFolders[handle] = folderPath;
    const bool isDots = first == "." || first == "..";
    const std::string childPath = folderPath + (IsRootPath(folderPath) ? "" : "\\") + first;
    FillFindData(data, first, isDots ? folder : FindFile(childPath), leads);
    return reinterpret_cast<HANDLE>(handle);
}

BOOL SimMachine::FindNextFileA(HANDLE find, FindDataA* data) {
    const uintptr_t handle = reinterpret_cast<uintptr_t>(find);
    if (const Fault* f = Enter("FindNextFileA")) {
        lastError = f->error ? f->error : kErrorNoMoreFiles;
        return 0;
    }
    auto it = finds.find(handle);
    if (it == finds.end() || !data) {
        lastError = kErrorInvalidHandle;
        return 0;
    }
    const std::string& folderPath = findFolders[handle];
    std::vector<std::string>& remaining = it->second;
    while (!remaining.empty()) {
        const std::string name = remaining.front();
        remaining.erase(remaining.begin());
        if (name == "." || name == "..") {
            FillFindData(data, name, FindFile(folderPath), Leads());
            return 1;
        }
        // An entry deleted since the search began is no longer listed.
        const SimFile* file =
            FindFile(folderPath + (IsRootPath(folderPath) ? "" : "\\") + name);
        if (!file) continue;
        FillFindData(data, name, file, Leads());
        return 1;
    }
    lastError = kErrorNoMoreFiles;
    return 0;
}

BOOL SimMachine::FindClose(HANDLE find) {
    const uintptr_t handle = reinterpret_cast<uintptr_t>(find);
    const Fault* f = Enter("FindClose");
    const bool known = finds.erase(handle) > 0;
    findFolders.erase(handle);
    if (f || !known) {
        lastError = f && f->error ? f->error : kErrorInvalidHandle;
        return 0;
    }
    return 1;
}

UINT SimMachine::GetDriveTypeA(const char* root) {
    if (Enter("GetDriveTypeA", root ? root : "")) return kDriveUnknown;
    if (!root || !root[0] || root[1] != ':') return kDriveNoRootDir;
    if (root[2] != '\0' && !(root[2] == '\\' && root[3] == '\0')) return kDriveNoRootDir;
    auto it = driveTypes.find(crt::ToUpper(root[0]));
    return it == driveTypes.end() ? kDriveNoRootDir : it->second;
}

// ---------------------------------------------------------------------------
// Attributes, deletion, moving, copying
// ---------------------------------------------------------------------------
BOOL SimMachine::SetFileAttributesA(const char* path, DWORD attributes) {
    if (const Fault* f = Enter("SetFileAttributesA", path ? path : "")) {
        lastError = f->error ? f->error : kErrorAccessDenied;
        return 0;
    }
    SimFile* file = path ? FindFile(path) : nullptr;
    if (!file) {
        const std::string parent = path ? Parent(Normalize(path, Leads())) : std::string();
        lastError = FindFile(parent) ? kErrorFileNotFound : kErrorPathNotFound;
        return 0;
    }
    // FILE_ATTRIBUTE_NORMAL stands for "no attributes"; the folder bit cannot
    // be changed through this call.
    attributes &= ~kFileAttributeDirectory;
    if (attributes == 0) attributes = 0x80;
    file->attributes = attributes | (file->isDirectory ? kFileAttributeDirectory : 0);
    return 1;
}

BOOL SimMachine::DeleteFileA(const char* path) {
    if (const Fault* f = Enter("DeleteFileA", path ? path : "")) {
        lastError = f->error ? f->error : kErrorAccessDenied;
        return 0;
    }
    const std::string normal = LongPathOf(Normalize(path, Leads()));
    SimFile* file = FindFile(normal);
    if (!file) {
        lastError = FindFile(Parent(normal)) ? kErrorFileNotFound : kErrorPathNotFound;
        return 0;
    }
    if (file->isDirectory || (file->attributes & kFileAttributeReadonly) || file->denyDelete ||
        IsLocked(normal)) {
        lastError = kErrorAccessDenied;
        return 0;
    }
    const std::string key = Key(normal);
    for (const auto& open : openFiles) {
        if (open.second.path == key) {
            lastError = kErrorSharingViolation;
            return 0;
        }
    }
    RemoveEntry(*this, normal);
    return 1;
}

BOOL SimMachine::MoveFileExA(const char* existing, const char* newName, DWORD flags) {
    if (const Fault* f = Enter("MoveFileExA", existing ? existing : "")) {
        lastError = f->error ? f->error : kErrorAccessDenied;
        return 0;
    }
    if (!existing) {
        lastError = kErrorInvalidParameter;
        return 0;
    }
    if (flags & kMovefileDelayUntilReboot) {
        // The 95/98/Me family has no MoveFileExA at all (wininit.ini stands in
        // for it); on the NT family the request goes into the machine's
        // registry, which a limited account may not write.
        if (version.dwPlatformId != kVerPlatformWin32Nt) {
            lastError = 120;  // ERROR_CALL_NOT_IMPLEMENTED
            return 0;
        }
        if (limitedUser) {
            lastError = kErrorAccessDenied;
            return 0;
        }
        // Only the scheduled deletion is modelled; like Wine, it is recorded
        // without checking that the file exists.
        if (newName && newName[0]) {
            lastError = kErrorInvalidParameter;
            return 0;
        }
        pendingDeletes.push_back(existing);
        return 1;
    }
    SimFile* file = FindFile(existing);
    if (!file) {
        lastError = kErrorFileNotFound;
        return 0;
    }
    if (!newName || file->isDirectory) {
        lastError = kErrorAccessDenied;  // deleting or moving folders is not modelled
        return 0;
    }
    if (SimFile* target = FindFile(newName)) {
        if (!(flags & kMovefileReplaceExisting)) {
            lastError = kErrorAlreadyExists;
            return 0;
        }
        if (target->isDirectory || (target->attributes & kFileAttributeReadonly) ||
            IsLocked(newName)) {
            lastError = kErrorAccessDenied;
            return 0;
        }
    }
    if (IsLocked(existing)) {
        lastError = kErrorSharingViolation;
        return 0;
    }
    if (!FindFile(Parent(Normalize(newName, Leads())))) {
        lastError = kErrorPathNotFound;
        return 0;
    }
    SimFile moved = *file;
    RemoveEntry(*this, Normalize(existing, Leads()));
    RemoveEntry(*this, Normalize(newName, Leads()));
    const std::string target = Normalize(newName, Leads());
    moved.name = LastComponent(target, Leads());
    FindFile(Parent(target))->children.push_back(moved.name);
    files[Key(target)] = std::move(moved);
    return 1;
}

BOOL SimMachine::CopyFileA(const char* existing, const char* newName, BOOL failIfExists) {
    if (const Fault* f = Enter("CopyFileA", existing ? existing : "")) {
        lastError = f->error ? f->error : kErrorAccessDenied;
        return 0;
    }
    SimFile* source = existing ? FindFile(existing) : nullptr;
    if (!source || !newName) {
        lastError = kErrorFileNotFound;
        return 0;
    }
    if (source->isDirectory || source->denyOpen) {
        lastError = kErrorAccessDenied;
        return 0;
    }
    if (SimFile* target = FindFile(newName)) {
        if (failIfExists) {
            lastError = kErrorFileExists;
            return 0;
        }
        // The NT family also refuses to replace a hidden or system file with
        // one that lacks those attributes.
        const DWORD guarded = kFileAttributeHidden | kFileAttributeSystem;
        const bool nt = version.dwPlatformId == kVerPlatformWin32Nt;
        if (target->isDirectory || (target->attributes & kFileAttributeReadonly) ||
            IsLocked(newName) ||
            (nt && (target->attributes & guarded & ~source->attributes))) {
            lastError = kErrorAccessDenied;
            return 0;
        }
    }
    SimFile* parent = FindFile(Parent(Normalize(newName, Leads())));
    if (!parent || !parent->isDirectory) {
        lastError = kErrorPathNotFound;
        return 0;
    }
    const std::string content = source->content;
    const DWORD attributes = source->attributes;
    AddFile(newName, content, attributes);
    return 1;
}

DWORD SimMachine::GetShortPathNameA(const char* longPath, char* shortPath, DWORD size) {
    if (const Fault* f = Enter("GetShortPathNameA", longPath ? longPath : "")) {
        lastError = f->error ? f->error : kErrorFileNotFound;
        return 0;
    }
    const std::string normal = Normalize(longPath, Leads());
    if (!longPath || !FindFile(normal)) {
        lastError = longPath && FindFile(Parent(normal)) ? kErrorFileNotFound
                                                         : kErrorPathNotFound;
        return 0;
    }
    return CopyOut(ShortFormOf(normal), shortPath, size);
}

std::string SimMachine::ShortFormOf(const std::string& path) const {
    const crt::LeadBytes leads = Leads();
    const std::string normal = Normalize(path.c_str(), leads);
    std::string out;
    size_t start = 0;
    if (normal.size() >= 3 && normal[1] == ':') {
        out = normal.substr(0, 3);
        start = 3;
    }
    while (start < normal.size()) {
        size_t end = NextBackslash(normal, start, leads);
        if (end == std::string::npos) end = normal.size();
        if (!out.empty() && LastBackslash(out, leads) != out.size() - 1) out += '\\';
        out += ShortComponent(normal.substr(start, end - start), leads);
        start = end + 1;
    }
    return out;
}

UINT SimMachine::GetWindowsDirectoryA(char* buffer, UINT size) {
    if (const Fault* f = Enter("GetWindowsDirectoryA")) {
        lastError = f->error ? f->error : kErrorAccessDenied;
        return 0;
    }
    return CopyOut(windowsDirectory, buffer, size);
}

UINT SimMachine::GetSystemDirectoryA(char* buffer, UINT size) {
    if (const Fault* f = Enter("GetSystemDirectoryA")) {
        lastError = f->error ? f->error : kErrorAccessDenied;
        return 0;
    }
    return CopyOut(systemDirectory, buffer, size);
}

DWORD SimMachine::GetTempPathA(DWORD size, char* buffer) {
    if (const Fault* f = Enter("GetTempPathA")) {
        lastError = f->error ? f->error : kErrorAccessDenied;
        return 0;
    }
    return CopyOut(tempDirectory, buffer, size);
}

DWORD SimMachine::ExpandEnvironmentStringsA(const char* src, char* dst, DWORD size) {
    if (const Fault* f = Enter("ExpandEnvironmentStringsA", src ? src : "")) {
        lastError = f->error ? f->error : kErrorInvalidParameter;
        return 0;
    }
    const std::string in = src ? src : "";
    std::string out;
    size_t i = 0;
    while (i < in.size()) {
        const size_t open = in.find('%', i);
        if (open == std::string::npos) {
            out += in.substr(i);
            break;
        }
        const size_t close = in.find('%', open + 1);
        if (close == std::string::npos) {
            out += in.substr(i);
            break;
        }
        out += in.substr(i, open - i);
        const std::string name = Key(in.substr(open + 1, close - open - 1));
        auto it = environment.find(name);
        if (it != environment.end()) {
            out += it->second;
            i = close + 1;
        } else if (name == "WINDIR" || name == "SYSTEMROOT") {
            out += windowsDirectory;
            i = close + 1;
        } else {
            // An unknown variable stays as written; its closing % may open
            // the next one.
            out += in.substr(open, close - open);
            i = close;
        }
    }
    const DWORD needed = DWORD(out.size() + 1);
    if (dst && size >= needed) std::memcpy(dst, out.c_str(), needed);
    return needed;
}

// ---------------------------------------------------------------------------
// C runtime low-level files
// ---------------------------------------------------------------------------
int SimMachine::_open(const char* path, int flags, int mode) {
    if (const Fault* f = Enter("_open", path ? path : "")) {
        lastErrno = f->error ? int(f->error) : kEACCES;
        return -1;
    }
    if (!path) {
        lastErrno = kEINVAL;
        return -1;
    }
    const std::string normal = LongPathOf(Normalize(path, Leads()));
    const bool writing = (flags & (kOWronly | kORdwr)) != 0;
    SimFile* file = FindFile(normal);
    if (file && (flags & kOCreat) && (flags & kOExcl)) {
        lastErrno = kEEXIST;
        return -1;
    }
    if (!file) {
        SimFile* parent = FindFile(Parent(normal));
        if (!(flags & kOCreat) || !parent || !parent->isDirectory) {
            lastErrno = kENOENT;
            return -1;
        }
    } else if (file->isDirectory || file->denyOpen ||
               (writing && ((file->attributes & kFileAttributeReadonly) || IsLocked(normal)))) {
        lastErrno = kEACCES;
        return -1;
    }
    int fd = kFirstFd;
    while (openFiles.count(fd)) ++fd;
    if (fd >= kFirstFd + kMaxOpenFiles) {
        lastErrno = kEMFILE;
        return -1;
    }
    if (!file) {
        // A file created without write permission is read-only from then on.
        const DWORD attributes = (mode & kSIwrite) ? kFileAttributeArchive
                                                   : kFileAttributeArchive | kFileAttributeReadonly;
        AddFile(normal, std::string(), attributes);
    } else if (writing && (flags & kOTrunc)) {
        file->content.clear();
    }
    OpenFile open;
    open.path = Key(normal);
    open.flags = flags;
    open.position = 0;
    openFiles[fd] = open;
    return fd;
}

int32_t SimMachine::_lseek(int fd, int32_t offset, int origin) {
    if (const Fault* f = Enter("_lseek", std::to_string(offset))) {
        lastErrno = f->error ? int(f->error) : kEINVAL;
        return -1;
    }
    auto it = openFiles.find(fd);
    auto file = it == openFiles.end() ? files.end() : files.find(it->second.path);
    if (file == files.end()) {
        lastErrno = kEBADF;
        return -1;
    }
    int64_t base;
    switch (origin) {
        case kSeekSet: base = 0; break;
        case kSeekCur: base = it->second.position; break;
        case kSeekEnd: base = int64_t(file->second.content.size()); break;
        default: lastErrno = kEINVAL; return -1;
    }
    const int64_t target = base + offset;
    if (target < 0 || target > INT32_MAX) {
        lastErrno = kEINVAL;
        return -1;
    }
    it->second.position = int32_t(target);
    return it->second.position;
}

int SimMachine::_read(int fd, void* buffer, unsigned count) {
    if (const Fault* f = Enter("_read", std::to_string(count))) {
        lastErrno = f->error ? int(f->error) : kEBADF;
        return -1;
    }
    auto it = openFiles.find(fd);
    auto file = it == openFiles.end() ? files.end() : files.find(it->second.path);
    if (file == files.end() || (it->second.flags & kOWronly)) {
        lastErrno = kEBADF;
        return -1;
    }
    if (!buffer) {
        lastErrno = kEINVAL;
        return -1;
    }
    const std::string& content = file->second.content;
    size_t pos = size_t(it->second.position);
    unsigned char* out = static_cast<unsigned char*>(buffer);
    size_t n = 0;
    if (it->second.flags & kOBinary) {
        if (pos < content.size()) {
            n = std::min<size_t>(count, content.size() - pos);
            std::memcpy(out, content.data() + pos, n);
            pos += n;
        }
    } else {
        while (n < count && pos < content.size()) {
            const char c = content[pos];
            if (c == kCtrlZ) break;
            ++pos;
            if (c == '\r' && pos < content.size() && content[pos] == '\n') continue;
            out[n++] = static_cast<unsigned char>(c);
        }
    }
    it->second.position = int32_t(std::min<size_t>(pos, INT32_MAX));
    return int(std::min<size_t>(n, INT_MAX));
}

int SimMachine::_write(int fd, const void* buffer, unsigned count) {
    if (const Fault* f = Enter("_write", std::to_string(count))) {
        lastErrno = f->error ? int(f->error) : kENOSPC;
        return -1;
    }
    auto it = openFiles.find(fd);
    auto file = it == openFiles.end() ? files.end() : files.find(it->second.path);
    if (file == files.end() || !(it->second.flags & (kOWronly | kORdwr))) {
        lastErrno = kEBADF;
        return -1;
    }
    if (!buffer && count) {
        lastErrno = kEINVAL;
        return -1;
    }
    std::string data(static_cast<const char*>(buffer), count);
    if (!(it->second.flags & kOBinary)) {
        std::string crlf;
        for (char c : data) {
            if (c == '\n') crlf += '\r';
            crlf += c;
        }
        data.swap(crlf);
    }
    std::string& content = file->second.content;
    if (it->second.flags & kOAppend) it->second.position = int32_t(content.size());
    const size_t pos = size_t(it->second.position);
    if (pos > content.size()) content.resize(pos, '\0');  // writing past the end fills with zeros
    content.replace(pos, std::min(data.size(), content.size() - pos), data);
    it->second.position = int32_t(pos + data.size());
    return int(count);
}

int32_t SimMachine::_filelength(int fd) {
    if (const Fault* f = Enter("_filelength", std::to_string(fd))) {
        lastErrno = f->error ? int(f->error) : kEBADF;
        return -1;
    }
    auto it = openFiles.find(fd);
    auto file = it == openFiles.end() ? files.end() : files.find(it->second.path);
    if (file == files.end()) {
        lastErrno = kEBADF;
        return -1;
    }
    return int32_t(std::min<size_t>(file->second.content.size(), INT32_MAX));
}

int SimMachine::_close(int fd) {
    const Fault* f = Enter("_close", std::to_string(fd));
    const bool known = openFiles.erase(fd) > 0;
    if (f || !known) {
        lastErrno = f && f->error ? int(f->error) : kEBADF;
        return -1;
    }
    return 0;
}

int SimMachine::_access(const char* path, int mode) {
    if (const Fault* f = Enter("_access", path ? path : "")) {
        lastErrno = f->error ? int(f->error) : kEACCES;
        return -1;
    }
    SimFile* file = path ? FindFile(path) : nullptr;
    if (!file) {
        lastErrno = kENOENT;
        return -1;
    }
    if (file->denyAccess || ((mode & 2) && !file->isDirectory &&
                             (file->attributes & kFileAttributeReadonly))) {
        lastErrno = kEACCES;
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// C runtime streams: reading only ("r", "rt", "rb")
// ---------------------------------------------------------------------------
FILE_STREAM SimMachine::fopen(const char* path, const char* mode) {
    if (const Fault* f = Enter("fopen", path ? path : "")) {
        lastErrno = f->error ? int(f->error) : kEACCES;
        return nullptr;
    }
    if (!path || !mode || mode[0] != 'r' || std::strchr(mode, '+')) {
        lastErrno = kEINVAL;
        return nullptr;
    }
    SimFile* file = FindFile(path);
    if (!file) {
        lastErrno = kENOENT;
        return nullptr;
    }
    if (file->isDirectory || file->denyOpen) {
        lastErrno = kEACCES;
        return nullptr;
    }
    StreamFile stream;
    stream.data = std::strchr(mode, 'b') ? file->content : TextView(file->content);
    const uintptr_t handle = NewHandle();
    streams[handle] = std::move(stream);
    return reinterpret_cast<FILE_STREAM>(handle);
}

char* SimMachine::fgets(char* buffer, int size, FILE_STREAM stream) {
    if (const Fault* f = Enter("fgets")) {
        lastErrno = f->error ? int(f->error) : kEBADF;
        return nullptr;
    }
    auto it = streams.find(reinterpret_cast<uintptr_t>(stream));
    if (it == streams.end() || !buffer || size <= 0) {
        lastErrno = kEINVAL;
        return nullptr;
    }
    StreamFile& s = it->second;
    if (size == 1) {
        buffer[0] = '\0';
        return buffer;
    }
    if (s.position >= s.data.size()) return nullptr;
    int n = 0;
    while (n < size - 1 && s.position < s.data.size()) {
        const char c = s.data[s.position++];
        buffer[n++] = c;
        if (c == '\n') break;
    }
    buffer[n] = '\0';
    return buffer;
}

int SimMachine::fclose(FILE_STREAM stream) {
    const Fault* f = Enter("fclose");
    const bool known = streams.erase(reinterpret_cast<uintptr_t>(stream)) > 0;
    if (f || !known) {
        lastErrno = f && f->error ? int(f->error) : kEBADF;
        return -1;
    }
    return 0;
}

}  // namespace pf::sim
