#include "tests/win/win_test_util.h"

#include <cstdio>
#include <cstdlib>

namespace wintest {

std::string TestDrive() {
    const char* drive = std::getenv("CV_TEST_DRIVE");
    if (!drive || !drive[0]) return std::string();
    std::string root = std::string(drive).substr(0, 2) + "\\";
    if (GetDriveTypeA(root.c_str()) != DRIVE_FIXED) return std::string();
    return root.substr(0, 2);
}

TempFolder::TempFolder(const std::string& parent) {
    std::string base = parent;
    if (base.empty()) {
        char temp[MAX_PATH] = {};
        DWORD n = GetTempPathA(sizeof(temp), temp);
        if (n == 0 || n >= sizeof(temp)) return;
        base = temp;
    }
    if (!base.empty() && base.back() == '\\') base.pop_back();
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[64];
        std::snprintf(name, sizeof(name), "\\cvtest-%lu-%u", GetCurrentProcessId(), ++counter);
        std::string candidate = base + name;
        if (CreateDirectoryA(candidate.c_str(), nullptr)) {
            path_ = candidate;
            return;
        }
    }
}

TempFolder::~TempFolder() {
    if (!path_.empty()) RemoveTree(path_);
}

void RemoveTree(const std::string& path) {
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((path + "\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::string name = data.cFileName;
            if (name == "." || name == "..") continue;
            std::string child = path + "\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(child);
            } else {
                SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(child.c_str());
            }
        } while (FindNextFileA(find, &data));
        FindClose(find);
    }
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryA(path.c_str());
}

bool MakeFolder(const std::string& path) { return CreateDirectoryA(path.c_str(), nullptr) != 0; }

bool WriteBytes(const std::string& path, const void* data, size_t size) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = size == 0 || WriteFile(h, data, static_cast<DWORD>(size), &written, nullptr);
    CloseHandle(h);
    return ok && written == size;
}

bool WriteText(const std::string& path, const std::string& text) {
    return WriteBytes(path, text.data(), text.size());
}

bool Exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<unsigned char> ReadBytes(const std::string& path) {
    std::vector<unsigned char> bytes;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return bytes;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(h, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
    CloseHandle(h);
    return bytes;
}

std::string SelfPath() {
    char path[MAX_PATH] = {};
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof(path));
    return n > 0 && n < sizeof(path) ? std::string(path) : std::string();
}

RunningProgram::~RunningProgram() { End(); }

bool RunningProgram::Start(const std::string& exe, const std::string& arguments) {
    End();
    std::string command = "\"" + exe + "\" " + arguments;
    std::vector<char> line(command.begin(), command.end());
    line.push_back('\0');
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    if (!CreateProcessA(exe.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info_)) {
        info_ = PROCESS_INFORMATION{};
        return false;
    }
    // Give the loader time to map the image (which is what locks the file).
    WaitForInputIdle(info_.hProcess, 2000);
    Sleep(300);
    return Running();
}

bool RunningProgram::StartHeldCopy(const std::string& path, unsigned ms) {
    if (!CopyFileA(SelfPath().c_str(), path.c_str(), FALSE)) return false;
    return Start(path, "--hold-ms=" + std::to_string(ms));
}

bool RunningProgram::Running() const {
    return info_.hProcess && WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT;
}

bool RunningProgram::WaitGone(unsigned ms) const {
    return !info_.hProcess || WaitForSingleObject(info_.hProcess, ms) == WAIT_OBJECT_0;
}

void RunningProgram::End() {
    if (info_.hProcess) {
        if (Running()) TerminateProcess(info_.hProcess, 1);
        WaitForSingleObject(info_.hProcess, 5000);
        CloseHandle(info_.hProcess);
    }
    if (info_.hThread) CloseHandle(info_.hThread);
    info_ = PROCESS_INFORMATION{};
}

}  // namespace wintest
