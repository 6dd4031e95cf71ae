// Helpers of the vendrika-scan tests: throwaway folder trees, PE samples,
// registry hives made from nothing and filled through hivex, and runs of
// the real program (optionally as an unprivileged user, with a terminal on
// standard error, or interrupted).
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "offline/hive_builder.h"

namespace offline {

struct RunResult {
    int status = -1;  // exit status; 128 + signal when killed
    std::string out;
    std::string err;
    std::vector<std::string> Lines() const;
};

struct RunOptions {
    bool asNobody = false;       // drop root: permissions then apply
    bool terminal = false;       // standard error is a pseudo-terminal
    std::function<bool()> interruptWhen;  // polled while it runs: true sends the signal once
    int interruptSignal = 2;              // SIGINT
    bool closeOutputOnInterrupt = false;  // instead: close the reading end of standard output
    const char* outputTo = nullptr;       // standard output to this file (e.g. /dev/full)
    bool outputOnTerminal = false;        // standard output to the terminal too
    const char* program = nullptr;        // another build of vendrika-scan
    const char* inputFrom = nullptr;      // standard input from this file (else /dev/null)
};

RunResult Scan(const std::vector<std::string>& args, const RunOptions& options = {});

// A folder tree under /tmp that anybody may read and write, removed at the end.
class Tree {
public:
    Tree();
    ~Tree();
    Tree(const Tree&) = delete;
    Tree& operator=(const Tree&) = delete;
    const std::string& Root() const { return root_; }
    std::string Path(const std::string& relative) const { return root_ + "/" + relative; }
    void Folder(const std::string& relative);
    void File(const std::string& relative, const std::string& bytes, unsigned mode = 0666);
    // Every file below the root with its content (links by their target).
    std::map<std::string, std::string> Snapshot() const { return SnapshotOf(root_); }
    static std::map<std::string, std::string> SnapshotOf(const std::string& folder);

private:
    std::string root_;
};

// A volume in an image file under /tmp, made and mounted through FUSE (NTFS
// with mkntfs and ntfs-3g, FAT32 with mkfs.fat and fusefat) for one test.
// Unavailable() says why there is none (not root, no /dev/fuse, a tool
// missing); the test then skips with that text.
class ImageVolume {
public:
    enum Kind { kNtfs, kFat32 };
    explicit ImageVolume(Kind kind);
    ~ImageVolume();
    ImageVolume(const ImageVolume&) = delete;
    ImageVolume& operator=(const ImageVolume&) = delete;
    const std::string& Unavailable() const { return unavailable_; }
    const std::string& Root() const { return mount_; }
    const std::string& Image() const { return image_; }
    std::string Path(const std::string& relative) const { return mount_ + "/" + relative; }
    void File(const std::string& relative, const std::string& bytes);
    // Unmounted (its driver gone, every byte in the image) and back.
    bool Unmount();
    bool Mount(bool readOnly = false);

private:
    Kind kind_;
    std::string folder_, image_, mount_, unavailable_;
    pid_t driver_ = -1;
};

std::string InfectedSample(int record, unsigned seed = 1);
// An empty SOFTWARE hive that names its Windows' folder, as every installed
// one does (SystemRoot "C:\\WINDOWS": the Windows calls its drive C:).
void WriteSoftwareHive(const std::string& path, const std::string& systemRoot = "C:\\WINDOWS");
// The short name `mdir` (mtools) lists for `longName` in a folder of a FAT
// image ("INFECT~1.EXE"), or "".
std::string MdirShortName(const std::string& image, const std::string& folder, const std::string& longName);
// MSDOS.SYS of a 95/98/Me Windows installed as C:\\WINDOWS (at the drive's root).
std::string MsdosSys(const std::string& winDir = "C:\\WINDOWS");
std::string DecoySample(int index);  // same length as record 0's sample, wrong bytes
// A hosts file that the built-in text signature matches.
std::string InfectedHosts();
std::string ReadFile(const std::string& path);

// The text values of a key, or false when the hive or key cannot be read.
bool HiveValues(const std::string& hive, const std::string& keyPath,
                std::map<std::string, std::string>* values);

}  // namespace offline
