// Helpers of the Windows-side tests: folders and files they make and remove
// themselves, and programs they start and end. Written against the raw
// system so that they do not depend on the layer under test.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#undef UNICODE
#undef _UNICODE
#include <windows.h>

#include <string>
#include <vector>

namespace wintest {

// A fixed drive other than C: named by CV_TEST_DRIVE (e.g. "D:"), or empty.
std::string TestDrive();

// Creates a new, empty folder under `parent` (default: the temporary
// folder); removes it with everything in it when destroyed.
class TempFolder {
public:
    explicit TempFolder(const std::string& parent = std::string());
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& path() const { return path_; }
    bool ok() const { return !path_.empty(); }
    // Full path of `relative` inside the folder.
    std::string operator/(const std::string& relative) const { return path_ + "\\" + relative; }

private:
    std::string path_;
};

// Deletes a folder tree, clearing read-only attributes on the way.
void RemoveTree(const std::string& path);
bool MakeFolder(const std::string& path);
bool WriteBytes(const std::string& path, const void* data, size_t size);
bool WriteText(const std::string& path, const std::string& text);
bool Exists(const std::string& path);
std::vector<unsigned char> ReadBytes(const std::string& path);

// This test program's own path.
std::string SelfPath();

// A program started with CreateProcess; ended and closed when destroyed.
class RunningProgram {
public:
    RunningProgram() = default;
    ~RunningProgram();
    RunningProgram(const RunningProgram&) = delete;
    RunningProgram& operator=(const RunningProgram&) = delete;

    // Starts `exe` with `arguments`; waits until it has started running.
    bool Start(const std::string& exe, const std::string& arguments);
    // Starts a copy of this program placed at `path` that stays alive for
    // `ms` milliseconds.
    bool StartHeldCopy(const std::string& path, unsigned ms = 60000);
    bool Running() const;
    void End();
    // Waits until the process has gone (up to `ms`).
    bool WaitGone(unsigned ms) const;
    DWORD id() const { return info_.dwProcessId; }

private:
    PROCESS_INFORMATION info_{};
};

}  // namespace wintest
