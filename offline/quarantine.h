// The quarantine of vendrika-scan --remove --quarantine DIR: every file it
// deletes (and a file whose mode it changes), and every registry hive and
// WININIT.INI it rewrites, is first kept in DIR, on the rescue system, and
// can be put back exactly with --restore DIR.
//
// DIR (mode 0700) holds one manifest and one item per file kept. An item
// ("00000001.item", mode 0600) is the file's bytes after a fixed header and
// through a stream transform, so that it is no program, bears no name of the
// volume and matches no scanner's signature. The manifest ("manifest") is
// one JSON object per line, appended: each line is written whole with one
// write and flushed; a line that was cut short (a run killed while writing
// it) is passed over by the reader. Lines:
//   {"type":"item","id":N,...}      a file kept: where it was (Windows path,
//       path on the mount, its drive's folder and the path below it as
//       exact bytes), size, SHA-256, mode, owner, times, identity, NTFS
//       attributes; written, with the item flushed before it, before the
//       file is changed
//       (a hive or WININIT.INI about to be replaced whole: its old bytes,
//       none when there was no file, and the new file's SHA-256)
//   {"type":"outcome","id":N,"action":"removed"|"not_removed"|"replaced"|"not_replaced"}
//   {"type":"restoring","id":N,"dev":D,"ino":I}  a file made to put it back
//   {"type":"restored","id":N}
// Names from the volume are data in the manifest, never file names in DIR.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/posix_platform.h"

namespace offline {

struct QuarantineItem {
    long id = 0;
    std::string kind;  // "file", "hosts", "hive", "wininit"
    std::string detection, windowsPath, posixPath;
    std::string root, relative;  // the drive's folder as named; the path below it
    std::string sha256;          // of the original bytes, hexadecimal
    uint64_t size = 0, dev = 0, ino = 0;
    unsigned mode = 0, uid = 0, gid = 0;
    int64_t atime = 0, atimeNs = 0, mtime = 0, mtimeNs = 0;
    std::string ntfsName, ntfsBytes;  // its NTFS attributes xattr, where there was one
    // A file replaced whole (kind "hive", "wininit"): the bytes kept are the
    // old file's (none: `absent`), the new file's hash tells whether it is
    // still the one this run wrote; `changes` what the new one lacks.
    bool replacement = false, absent = false;
    std::string newSha256, changes;
    uint64_t newSize = 0;
    // "removed", "not_removed", "replaced", "not_replaced", "" (never told)
    std::string outcome;
    bool restored = false;
    std::vector<std::pair<uint64_t, uint64_t>> restoring;  // files made to put it back
    bool moved = false;  // its drive is mounted elsewhere now (Restore)
};

struct Manifest {
    std::vector<QuarantineItem> items;
    long unreadableLines = 0;  // neither whole objects nor cut short at the end
    bool cutShort = false;     // its last line was cut short
};

// Opens a quarantine folder (never through a link); -1 with errno.
int OpenQuarantineFolder(const std::string& dir);
// Reads the manifest of an opened quarantine folder. False, with the
// reason, when it cannot be read (a missing manifest is an empty one).
bool ReadManifest(int dirFd, Manifest* manifest, std::string* why);

// Whether DIR (existing or to be made) lies inside, or is, one of `paths`:
// by the identity of DIR's folder and of each folder above it. `which` is
// the index of the path.
bool InsideAnyPath(const std::string& dir, const std::vector<std::string>& paths, size_t* which);

class Quarantine {
public:
    Quarantine() = default;
    ~Quarantine();
    Quarantine(const Quarantine&) = delete;
    Quarantine& operator=(const Quarantine&) = delete;

    // For keeping: DIR is made (0700) when missing, else must be a folder
    // of this user (given mode 0700). False, with the reason.
    bool Open(const std::string& dir, std::string* why);
    // Keeps the file about to be changed: its item flushed, then its line
    // in the manifest. False, with errno and the reason, when it could not
    // be (then nothing of it is left in DIR). A file kept already in this
    // run, with the same bytes, is not kept again.
    bool Keep(const pf::posix::FileChange& change, const std::string& kind, const std::string& detection,
              std::string* why);
    // What became of the change of the file kept last at `windowsPath`.
    // False, with the reason, when that could not be written.
    bool Outcome(const std::string& windowsPath, bool changed, std::string* why);
    int Kept() const { return kept_; }

private:
    bool Append(const std::string& line, std::string* why);

    int dirFd_ = -1;
    int manifestFd_ = -1;
    long nextId_ = 1;
    int kept_ = 0;
    std::vector<QuarantineItem> items_;  // this run's
    std::vector<long> waiting_;          // ids whose outcome is not yet told
};

// What became of one item in a restore.
struct RestoreResult {
    QuarantineItem item;
    // "restored", "already_restored", "place_taken", "not_restored"
    std::string action;
    std::string message;
};

// A drive mounted elsewhere since the run: its letter and its folder now.
struct MovedDrive {
    char letter;
    std::string root;
};

// Puts back every item of DIR (or those of `ids`) at its place, as it was;
// an item of a drive in `moved` below that drive's folder now, where a file
// is known by its bytes alone (a mount gives its files other identities).
// False, with the reason, when DIR or its manifest cannot be read; each
// item's result in `results` (an id that DIR does not hold: "not_restored").
bool Restore(const std::string& dir, const std::vector<long>& ids, const std::vector<MovedDrive>& moved,
             std::vector<RestoreResult>* results, std::string* why);

}  // namespace offline
