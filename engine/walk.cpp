// The folder walk: files first, then subfolders depth first, one window
// message pumped between entries so the window stays alive and the user can
// stop the scan.
#include "engine/walk.h"

#include <cstring>

#include "engine/inspect.h"
#include "scan/scan_context.h"
#include "scan/scan_events.h"
#include "platform/crt.h"

namespace {
constexpr const char* kProgramTitle = "CleanVendrika Ver 1.0";
// A pattern this short can only be a drive root ("C:\*.*").
constexpr size_t kDriveRootPatternMax = 6;

// Closes the search on every way out of a pass.
class FindHandle {
public:
    explicit FindHandle(pf::HANDLE handle) : handle_(handle) {}
    ~FindHandle() { Close(); }
    FindHandle(const FindHandle&) = delete;
    FindHandle& operator=(const FindHandle&) = delete;
    bool Valid() const { return handle_ != pf::kInvalidHandleValue; }
    pf::HANDLE Get() const { return handle_; }
    void Close() {
        if (Valid()) pf::Os().FindClose(handle_);
        handle_ = pf::kInvalidHandleValue;
    }

private:
    pf::HANDLE handle_;
};

// Length of the folder part of a pattern: everything before the character
// that precedes its last "." ("C:\dir\*.*" -> "C:\dir\"). -1 without a ".".
int FolderPartLength(const char* pattern) {
    const char* dot = std::strrchr(pattern, '.');
    if (!dot) return -1;
    return dot == pattern ? 0 : int(dot - pattern) - 1;
}

// prefix (its first prefixLength characters) + name + suffix into dst.
// False, with nothing promised about dst, when the result would not fit.
bool BuildPath(char (&dst)[kMaxPath], const char* prefix, int prefixLength, const char* name,
               const char* suffix) {
    const size_t nameLength = std::strlen(name);
    const size_t suffixLength = std::strlen(suffix);
    if (size_t(prefixLength) + nameLength + suffixLength >= sizeof dst) return false;
    std::memcpy(dst, prefix, size_t(prefixLength));
    std::memcpy(dst + prefixLength, name, nameLength);
    std::memcpy(dst + prefixLength + nameLength, suffix, suffixLength + 1);
    return true;
}

void RememberProgramFiles(const char* pattern) {
    crt::CopyText(g_scan.programFilesPattern, pattern);
    char* colon = std::strchr(g_scan.programFilesPattern, ':');
    if (!colon) return;
    colon[1] = '\0';
    crt::AppendText(g_scan.programFilesPattern, "\\Program Files");
    if (pf::Os()._access(g_scan.programFilesPattern, 0) == 0) {
        g_scan.programFilesPending = true;
        crt::AppendText(g_scan.programFilesPattern, "\\*.*");
    }
}

bool IsDotEntry(const char* name) {
    return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

}  // namespace

const DetectorEntry DetectorTable[] = {
    {scan::kFamilyName, InspectFile, SignatureLengthAccepted},
    {nullptr, nullptr, nullptr},
};

namespace {
const DetectorEntry* g_detectors = DetectorTable;
}  // namespace

const DetectorEntry* Detectors() { return g_detectors; }
void SetDetectors(const DetectorEntry* table) { g_detectors = table ? table : DetectorTable; }

bool AnyDetectorAcceptsLength(uint64_t length) {
    for (const DetectorEntry* d = g_detectors; d->name; ++d)
        if (d->canMatchLength(length)) return true;
    return false;
}

void ShortenPathForDisplay(const char* src, char* dst, int width) {
    const int half = width / 2 - 1;
    const size_t length = std::strlen(src);
    if (half > 0 && length > size_t(width)) {
        std::memcpy(dst, src, size_t(half));
        for (int i = half; i < width - half; ++i) dst[i] = '.';
        std::memcpy(dst + width - half, src + length - size_t(half), size_t(half));
        dst[width] = '\0';
    } else {
        std::memmove(dst, src, length + 1);
    }
}

void PumpScanMessages() {
    pf::Msg msg;
    if (!pf::Os().PeekMessageA(&msg, nullptr, 0, 0, pf::kPmRemove)) return;
    if (msg.message == pf::kWmKeyDown && (msg.wParam & 0xFFFF) == pf::kVkEscape) {
        // A press of Escape asks; the message itself is consumed either way.
        // Its release, and every other message that happens to carry the
        // code 27, must not: the release of the Escape that answered the
        // question would ask it again.
        const int answer = pf::Os().SkinMessageBox("Terminate the Scan now?", kProgramTitle,
                                                   pf::kMbYesNo | pf::kMbIconQuestion);
        if (answer == pf::kIdNo) return;
        g_scan.cancelled = true;
        return;
    }
    if (msg.message == pf::kWmQuit || msg.message == pf::kWmDestroy) {
        g_scan.cancelled = true;
        return;
    }
    pf::Os().TranslateMessage(&msg);
    pf::Os().DispatchMessageA(&msg);
}

int32_t WalkFolder(const char* pattern) {
    g_scan.foundInMemory = false;
    if (std::strlen(pattern) <= kDriveRootPatternMax) RememberProgramFiles(pattern);

    pf::FindDataA data;
    char fullPath[kMaxPath];

    // Files of this folder.
    {
        FindHandle find(pf::Os().FindFirstFileA(pattern, &data));
        if (find.Valid()) {
            do {
                PumpScanMessages();
                if (g_scan.cancelled) return 0;
                data.cFileName[sizeof data.cFileName - 1] = '\0';
                bool fits;
                if (g_scan.memoryMode) {
                    fits = crt::CopyText(fullPath, pattern);
                } else {
                    const int folderLength = FolderPartLength(pattern);
                    if (folderLength < 0) return -1;
                    fits = BuildPath(fullPath, pattern, folderLength, data.cFileName, "");
                }
                // A path longer than the system's limit cannot be opened by
                // name anyway; such an entry is passed over, not cut short.
                if (fits) {
                    scan::Events().Scanning(fullPath);
                    if (!(data.dwFileAttributes & pf::kFileAttributeDirectory)) {
                        if (!g_scan.memoryMode) ++g_scan.scannedCount;
                        // A file no detector can match by its length is not
                        // opened at all; the file handed back for removal
                        // was matched already.
                        const uint64_t length = uint64_t(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
                        for (const DetectorEntry* d = g_detectors; d->name; ++d)
                            if ((g_scan.memoryRemoval || d->canMatchLength(length)) &&
                                d->inspect(d->name, fullPath))
                                break;
                    }
                }
                PumpScanMessages();
                if (g_scan.cancelled) return 0;
            } while (pf::Os().FindNextFileA(find.Get(), &data));
        }
    }

    // In memory mode the pattern is one program file: there is no folder to
    // go into, and "C:\tools\a.exe" would otherwise name "C:\tools\a\".
    if (g_scan.memoryMode) return g_scan.scannedCount;

    // Subfolders, depth first. The folder pattern is the pattern with
    // everything after its last "." replaced by "*".
    char folderPattern[kMaxPath];
    {
        const char* dot = std::strrchr(pattern, '.');
        const int keep = dot ? int(dot - pattern) + 1 : int(std::strlen(pattern));
        if (!BuildPath(folderPattern, pattern, keep, "*", "")) return g_scan.scannedCount;
    }
    FindHandle find(pf::Os().FindFirstFileA(folderPattern, &data));
    if (!find.Valid()) return g_scan.scannedCount;
    do {
        PumpScanMessages();
        if (g_scan.cancelled) return 0;
        data.cFileName[sizeof data.cFileName - 1] = '\0';
        if (!(data.dwFileAttributes & pf::kFileAttributeDirectory) || IsDotEntry(data.cFileName))
            continue;
        // A junction or folder link leads to a folder that is walked where it
        // stands; one that leads back up would be walked again at every level.
        if (data.dwFileAttributes & pf::kFileAttributeReparsePoint) continue;
        const int folderLength = FolderPartLength(pattern);
        if (folderLength < 0) return -1;
        char childPattern[kMaxPath];
        if (!BuildPath(childPattern, pattern, folderLength, data.cFileName, "\\*.*")) continue;
        if (std::strstr(childPattern, "\\Program Files\\")) g_scan.programFilesVisited = true;
        if (WalkFolder(childPattern) == -1) return -1;
    } while (pf::Os().FindNextFileA(find.Get(), &data));
    return g_scan.scannedCount;
}
