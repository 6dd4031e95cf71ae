#include "persistence/delayed_delete.h"

#include <cstring>

#include "scan/scan_context.h"
#include "scan/scan_events.h"
#include "platform/crt.h"
#include "platform/platform.h"
#include "system/os_version.h"

namespace {

constexpr int kIniPathSize = 350;
// One read from wininit.ini: up to 647 characters and the terminator.
constexpr int kLineSize = 648;
const char kRenameHeader[] = "[rename]";
constexpr size_t kRenameHeaderLength = sizeof kRenameHeader - 1;
// The new content is written here in full before it replaces wininit.ini.
const char kNewContentName[] = "wininit.$$$";

bool WriteAll(int fd, const void* bytes, size_t count) {
    if (count == 0) return true;
    return pf::Os()._write(fd, bytes, static_cast<unsigned>(count)) == static_cast<int>(count);
}

bool WriteText(int fd, const char* text) { return WriteAll(fd, text, std::strlen(text)); }

bool WriteEntry(int fd, const char* key, const char* value) {
    return WriteText(fd, key) && WriteText(fd, "=") && WriteText(fd, value) &&
           WriteText(fd, "\r\n");
}

// No wininit.ini yet: a new one with the section and the entry. A file left
// incomplete by a failed write is removed again; O_EXCL makes sure it is
// the one just created.
bool CreateWininit(const char* iniPath, const char* key, const char* value) {
    const int fd = pf::Os()._open(
        iniPath, pf::kOWronly | pf::kOCreat | pf::kOAppend | pf::kOBinary | pf::kOExcl,
        pf::kSIread | pf::kSIwrite);
    if (fd == -1) return false;
    const bool written = WriteText(fd, "[rename]\r\n") && WriteEntry(fd, key, value);
    const bool closed = pf::Os()._close(fd) == 0;
    if (written && closed) return true;
    pf::Os().DeleteFileA(iniPath);
    return false;
}

// The length of what the last fgets stored: the buffer was filled with a
// non-zero byte beforehand, so the terminator is its last zero byte, even
// when the line itself holds zero bytes.
int PieceLength(const char* buffer) {
    for (int i = kLineSize - 1; i >= 0; --i)
        if (buffer[i] == '\0') return i;
    return 0;
}

// The end-of-file mark of DOS text files. The start-up reader stops there,
// so an entry must stand before it; what follows is kept as it is.
constexpr char kEndOfFileMark = 0x1A;

// Reads the whole copy (`copyLength` bytes) into a block of its own; null
// when it cannot be read whole. A read that fails half-way looks like the
// end of the file to fgets: the byte count tells the two apart.
char* ReadWhole(const char* copyPath, int32_t copyLength) {
    pf::FILE_STREAM in = pf::Os().fopen(copyPath, "rb");
    if (!in) return nullptr;
    char* text = static_cast<char*>(pf::Os().GlobalAlloc(0, size_t(copyLength) + 1));
    if (!text) {
        pf::Os().fclose(in);
        return nullptr;
    }
    char piece[kLineSize];
    int64_t consumed = 0;
    for (;;) {
        std::memset(piece, 0x7F, sizeof piece);
        if (!pf::Os().fgets(piece, kLineSize, in)) break;
        const int length = PieceLength(piece);
        if (consumed + length > copyLength) {  // grew since it was measured
            consumed = -1;
            break;
        }
        std::memcpy(text + consumed, piece, size_t(length));
        consumed += length;
    }
    pf::Os().fclose(in);
    if (consumed != copyLength) {
        pf::Os().GlobalFree(text);
        return nullptr;
    }
    return text;
}

// Writes the copy's bytes to the open file `out` with the entry in its place.
bool CopyWithEntry(const char* copyPath, int32_t copyLength, int out, const char* key,
                   const char* value) {
    char* text = ReadWhole(copyPath, copyLength);
    if (!text) return false;
    const RenameEntryPlace place = PlaceRenameEntry(text, size_t(copyLength));
    const bool ok = WriteAll(out, text, place.at) && (!place.lineEndFirst || WriteText(out, "\r\n")) &&
                    (!place.headerFirst || WriteText(out, "[rename]\r\n")) && WriteEntry(out, key, value) &&
                    WriteAll(out, text + place.at, size_t(copyLength) - place.at);
    pf::Os().GlobalFree(text);
    return ok;
}

// wininit.ini exists: its lines and the entry are written to a new file,
// which replaces wininit.ini only once it is complete. Any failure before
// that leaves wininit.ini as it was. A copy of the earlier content stays in
// the temporary folder.
bool RewriteWininit(const char* iniPath, const char* key, const char* value) {
    char tempFolder[kMaxPath];
    const pf::DWORD tempLength = pf::Os().GetTempPathA(kMaxPath, tempFolder);
    if (tempLength == 0 || tempLength >= pf::DWORD(kMaxPath)) return false;
    char copyPath[kMaxPath];
    char newPath[kMaxPath];
    if (!crt::CopyText(copyPath, tempFolder) || !crt::AppendText(copyPath, "wininit.ini") ||
        !crt::CopyText(newPath, tempFolder) || !crt::AppendText(newPath, kNewContentName))
        return false;

    // Read from a checked copy, never from an older one left by an earlier run.
    // A copy keeps the attributes of its source: one made of a read-only
    // wininit.ini would refuse every later copy unless made writable first.
    pf::Os().SetFileAttributesA(copyPath, pf::kFileAttributeArchive);
    if (!pf::Os().CopyFileA(iniPath, copyPath, 0)) return false;
    const int copyFd = pf::Os()._open(copyPath, pf::kORdonly | pf::kOBinary, 0);
    if (copyFd == -1) return false;
    const int32_t copyLength = pf::Os()._filelength(copyFd);
    pf::Os()._close(copyFd);
    if (copyLength < 0) return false;

    const int out = pf::Os()._open(newPath, pf::kOWronly | pf::kOCreat | pf::kOTrunc | pf::kOBinary,
                                   pf::kSIread | pf::kSIwrite);
    if (out == -1) return false;
    const bool written = CopyWithEntry(copyPath, copyLength, out, key, value);
    const bool closed = pf::Os()._close(out) == 0;
    const bool replaced = written && closed && pf::Os().CopyFileA(newPath, iniPath, 0);
    pf::Os().DeleteFileA(newPath);
    return replaced;
}

WininitEntryWriter g_wininitWriter = nullptr;

}  // namespace

void SetWininitEntryWriter(WininitEntryWriter writer) { g_wininitWriter = writer; }

RenameEntryPlace PlaceRenameEntry(const char* text, size_t length) {
    const char* mark = static_cast<const char*>(std::memchr(text, kEndOfFileMark, length));
    const size_t textEnd = mark ? size_t(mark - text) : length;
    bool seen = false;
    for (size_t line = 0; line < textEnd;) {
        const char* lf = static_cast<const char*>(std::memchr(text + line, '\n', textEnd - line));
        const size_t next = lf ? size_t(lf - text) + 1 : textEnd;
        // Only a line's start can be a header.
        if (text[line] == '[') {
            if (seen) return {line, false, false};
            seen = textEnd - line >= kRenameHeaderLength &&
                   crt::strnicmp(text + line, kRenameHeader, kRenameHeaderLength) == 0;
        }
        line = next;
    }
    return {textEnd, textEnd > 0 && text[textEnd - 1] != '\n', !seen};
}

bool AddWininitRenameEntry(const char* key, const char* value) {
    if (!key || !value) return false;
    char iniPath[kIniPathSize];
    const pf::UINT length = pf::Os().GetWindowsDirectoryA(iniPath, kIniPathSize);
    if (length == 0 || length >= pf::UINT(kIniPathSize)) return false;
    if (!crt::AppendText(iniPath, "\\wininit.ini")) return false;
    if (pf::Os()._access(iniPath, 0) != 0) return CreateWininit(iniPath, key, value);
    return RewriteWininit(iniPath, key, value);
}

int ScheduleDeleteOnReboot(const char* path) {
    if (!path) return 0;
    switch (GetOsClass()) {
        case 4: {
            // The 95/98/Me family processes wininit.ini in real mode, where
            // only short names are understood. A path without a short form
            // (no 8.3 names on its volume) is written as it is.
            char shortPath[kMaxPath];
            const pf::DWORD length = pf::Os().GetShortPathNameA(path, shortPath, kMaxPath);
            const char* entry = (length == 0 || length >= pf::DWORD(kMaxPath)) ? path : shortPath;
            const bool written = g_wininitWriter ? g_wininitWriter("NUL", entry)
                                                 : AddWininitRenameEntry("NUL", entry);
            if (!written) return 0;
            scan::Events().DeletionScheduled(path, scan::Scheduled::kWininit, entry);
            return 1;
        }
        case 5:
            // A request the system refused (a limited account) deletes
            // nothing at the restart, so it is not reported as pending.
            if (!pf::Os().MoveFileExA(path, nullptr, pf::kMovefileDelayUntilReboot)) return 0;
            scan::Events().DeletionScheduled(path, scan::Scheduled::kMoveFileEx, path);
            return 1;
        default:
            return 0;
    }
}
