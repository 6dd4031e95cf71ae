// e2e_tool: the end-to-end harness's hands inside the Wine prefix.
//
//   e2e_tool infected REC PATH        a PE file that matches signature record REC
//   e2e_tool decoy REC KIND PATH      the sample builder's decoy KIND of record REC
//                                     (first_only, second_only, size_plus_1, ...)
//   e2e_tool runnable REC PATH        a program that matches record REC and stays alive
//   e2e_tool hosts PATH               a hosts file carrying the worm's text signature,
//                                     the pattern broken by spaces and line breaks
//   e2e_tool attrib PATH FLAGS        FLAGS from r h s a (read-only, hidden, system, archive)
//   e2e_tool start PATH [ARG]         start a program, detached; prints its process id
//   e2e_tool reg KEY NAME sz|expand DATA   set a value under HKEY_LOCAL_MACHINE\KEY
//   e2e_tool batch FILE               each line of FILE is one of the commands above,
//                                     its arguments separated by tabs
//   e2e_tool hold PATH                keep PATH open, readable by others but not deletable
//   e2e_tool lock PATH                keep PATH open with no sharing at all
//   e2e_tool hook MS STOPFILE         install e2e_hook.dll (beside this program) as a window
//                                     hook until STOPFILE exists or MS pass
//   e2e_tool procs                    the program file names of the prefix's processes
//   e2e_tool plainbox CAPTION MS      wait for a plain system message box with CAPTION,
//                                     print its text, press its OK
//   e2e_tool scantime MS              press SCAN of the main window and wait until OK is shown
//                                     and the status line reads "Scanning completed"; prints
//                                     "ms N"
// Exit code 0 on success, 1 on failure or timeout, 2 on a usage error.
#include <windows.h>
#include <tlhelp32.h>

#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "persistence/hosts_file.h"
#include "tools/samplebuilder/samplebuilder.h"
#include "tools/samplebuilder/table_records.h"

namespace {

const char* kTitle = "CleanVendrika Ver 1.0";
const uint32_t kSeed = 20061;

bool WriteBytes(const char* path, const void* data, size_t size) {
    FILE* f = fopen(path, "wb");
    if (!f) return false;
    bool ok = fwrite(data, 1, size, f) == size;
    ok = fclose(f) == 0 && ok;
    return ok;
}

bool RecordArg(const char* text, cvsamples::Record* record) {
    std::vector<cvsamples::Record> table = cvsamples::BuiltInRecords();
    char* end = nullptr;
    long index = strtol(text, &end, 10);
    if (!end || *end || index < 0 || index >= static_cast<long>(table.size())) return false;
    *record = table[static_cast<size_t>(index)];
    return true;
}

int Fail(const char* what, const char* arg) {
    printf("error %s %s\n", what, arg ? arg : "");
    return 1;
}

// The worm's hosts file: "begin", then the pattern cut into pieces by
// spaces, tabs and line breaks, among ordinary host lines.
std::string WormHosts() {
    std::string pattern;
    for (int i = 0; i < TextSignatureTable[0].textPatternLength && i < kTextPatternSize; ++i)
        pattern += static_cast<char>(TextSignatureTable[0].textPattern[i] ^ kTextPatternKey);
    std::string text = "begin 644 hosts\r\n127.0.0.1 localhost\r\n";
    for (size_t i = 0; i < pattern.size(); i += 17) {
        text += pattern.substr(i, 17);
        text += (i / 17) % 2 ? "\r\n" : " \t ";
    }
    text += "\r\n127.0.0.1 www.example.com\r\nend\r\n";
    return text;
}

HWND FindMain() {
    HWND h = nullptr;
    while ((h = FindWindowExA(nullptr, h, nullptr, kTitle)) != nullptr)
        if (GetDlgItem(h, 1055) && GetDlgItem(h, 1052)) return h;
    return nullptr;
}

std::string ControlText(HWND control) {
    wchar_t buffer[512] = {0};
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(control, WM_GETTEXT, 511, reinterpret_cast<LPARAM>(buffer),
                             SMTO_ABORTIFHUNG, 5000, &result))
        return std::string();
    char text[1024] = {0};
    WideCharToMultiByte(CP_ACP, 0, buffer, -1, text, sizeof text - 1, nullptr, nullptr);
    return text;
}

// A plain system message box: a dialog of class #32770 with the caption and
// an OK button, without the skinned box's text control 1086.
struct BoxSearch {
    const char* caption;
    HWND found;
};

BOOL CALLBACK FindPlainBox(HWND h, LPARAM lParam) {
    BoxSearch* search = reinterpret_cast<BoxSearch*>(lParam);
    char cls[64] = {0}, caption[512] = {0};
    GetClassNameA(h, cls, sizeof cls);
    GetWindowTextA(h, caption, sizeof caption);
    if (strcmp(cls, "#32770") == 0 && IsWindowVisible(h) && !GetDlgItem(h, 1086) &&
        _stricmp(caption, search->caption) == 0) {
        search->found = h;
        return FALSE;
    }
    return TRUE;
}

int Plant(int argc, char** argv) {
    const std::string cmd = argv[1];
    cvsamples::Record record;
    if (cmd == "infected" && argc == 4) {
        if (!RecordArg(argv[2], &record)) return 2;
        cvsamples::Bytes bytes;
        if (!cvsamples::BuildInfected(record, kSeed + static_cast<uint32_t>(atoi(argv[2])), &bytes))
            return Fail("cannot build", argv[2]);
        return WriteBytes(argv[3], bytes.data(), bytes.size()) ? 0 : Fail("cannot write", argv[3]);
    }
    if (cmd == "runnable" && argc == 4) {
        if (!RecordArg(argv[2], &record)) return 2;
        cvsamples::Bytes bytes;
        if (!cvsamples::BuildRunnable(record, sizeof(void*) == 8, &bytes))
            return Fail("cannot build runnable", argv[2]);
        return WriteBytes(argv[3], bytes.data(), bytes.size()) ? 0 : Fail("cannot write", argv[3]);
    }
    if (cmd == "decoy" && argc == 5) {
        if (!RecordArg(argv[2], &record)) return 2;
        std::string suffix = std::string("_") + argv[3] + ".exe";
        for (const cvsamples::Sample& s : cvsamples::BuildDecoys(record, atoi(argv[2]), kSeed)) {
            if (s.name.size() > suffix.size() &&
                s.name.compare(s.name.size() - suffix.size(), suffix.size(), suffix) == 0)
                return WriteBytes(argv[4], s.bytes.data(), s.bytes.size())
                           ? 0
                           : Fail("cannot write", argv[4]);
        }
        return Fail("no decoy", argv[3]);
    }
    if (cmd == "hosts" && argc == 3) {
        std::string text = WormHosts();
        return WriteBytes(argv[2], text.data(), text.size()) ? 0 : Fail("cannot write", argv[2]);
    }
    if (cmd == "attrib" && argc == 4) {
        DWORD attributes = 0;
        for (const char* f = argv[3]; *f; ++f) {
            if (*f == 'r') attributes |= FILE_ATTRIBUTE_READONLY;
            else if (*f == 'h') attributes |= FILE_ATTRIBUTE_HIDDEN;
            else if (*f == 's') attributes |= FILE_ATTRIBUTE_SYSTEM;
            else if (*f == 'a') attributes |= FILE_ATTRIBUTE_ARCHIVE;
            else return 2;
        }
        return SetFileAttributesA(argv[2], attributes ? attributes : FILE_ATTRIBUTE_NORMAL)
                   ? 0
                   : Fail("cannot set attributes", argv[2]);
    }
    if (cmd == "reg" && argc == 6) {
        HKEY key;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, argv[2], 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                            nullptr) != ERROR_SUCCESS)
            return Fail("cannot create key", argv[2]);
        DWORD type = strcmp(argv[4], "expand") == 0 ? REG_EXPAND_SZ : REG_SZ;
        LONG rc = RegSetValueExA(key, argv[3], 0, type, reinterpret_cast<const BYTE*>(argv[5]),
                                 static_cast<DWORD>(strlen(argv[5]) + 1));
        RegCloseKey(key);
        return rc == ERROR_SUCCESS ? 0 : Fail("cannot set value", argv[3]);
    }
    return 2;
}

// Runs one command per line of the file, arguments separated by tabs.
int Batch(const char* file) {
    FILE* f = fopen(file, "rb");
    if (!f) return Fail("cannot open", file);
    char line[2048];
    int failures = 0;
    while (fgets(line, sizeof line, f)) {
        line[strcspn(line, "\r\n")] = 0;
        if (!line[0]) continue;
        std::vector<char*> args;
        args.push_back(const_cast<char*>("e2e_tool"));
        for (char* field = line;;) {
            args.push_back(field);
            char* tab = strchr(field, '\t');
            if (!tab) break;
            *tab = 0;
            field = tab + 1;
        }
        args.push_back(nullptr);
        int rc = Plant(static_cast<int>(args.size()) - 1, args.data());
        if (rc != 0) {
            printf("failed: %s %s\n", args[1], args.size() > 3 ? args[2] : "");
            ++failures;
        }
    }
    fclose(f);
    return failures ? 1 : 0;
}

int Start(const char* path, const char* arg) {
    char commandLine[1024];
    _snprintf(commandLine, sizeof commandLine, "\"%s\"%s%s", path, arg ? " " : "", arg ? arg : "");
    commandLine[sizeof commandLine - 1] = 0;
    STARTUPINFOA si;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    if (!CreateProcessA(path, commandLine, nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                        nullptr, &si, &pi))
        return Fail("cannot start", path);
    printf("pid %lu\n", static_cast<unsigned long>(pi.dwProcessId));
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return 0;
}

int Hold(const char* path, DWORD share) {
    HANDLE h = CreateFileA(path, GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return Fail("cannot open", path);
    printf("holding %s\n", path);
    fflush(stdout);
    for (;;) Sleep(60000);
}

int Hook(DWORD ms, const char* stopFile) {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    char* slash = n > 0 && n < sizeof path ? strrchr(path, '\\') : nullptr;
    if (!slash || static_cast<size_t>(slash - path) + 16 > sizeof path) return Fail("no path", "");
    strcpy(slash + 1, "e2e_hook.dll");
    HMODULE dll = LoadLibraryA(path);
    if (!dll) return Fail("cannot load", "e2e_hook.dll");
    HOOKPROC proc = reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(GetProcAddress(dll, "CallWndProc")));
    HHOOK hook = proc ? SetWindowsHookExA(WH_CALLWNDPROC, proc, dll, 0) : nullptr;
    if (!hook) return Fail("cannot hook", "WH_CALLWNDPROC");
    printf("hooked\n");
    fflush(stdout);
    DWORD start = GetTickCount();
    while (GetTickCount() - start < ms && _access(stopFile, 0) != 0) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
        Sleep(20);
    }
    UnhookWindowsHookEx(hook);
    return 0;
}

int Processes() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return Fail("no snapshot", "");
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
        printf("process %lu %s\n", static_cast<unsigned long>(entry.th32ProcessID), entry.szExeFile);
    CloseHandle(snapshot);
    return 0;
}

int PlainBox(const char* caption, DWORD ms) {
    DWORD start = GetTickCount();
    BoxSearch search = {caption, nullptr};
    while (GetTickCount() - start < ms) {
        search.found = nullptr;
        EnumWindows(FindPlainBox, reinterpret_cast<LPARAM>(&search));
        if (search.found) break;
        Sleep(40);
    }
    if (!search.found) return Fail("no plain box", caption);
    Sleep(150);
    std::string text = ControlText(GetDlgItem(search.found, 0xFFFF));
    printf("plainbox \"%s\" text \"%s\"\n", caption, text.c_str());
    PostMessageA(search.found, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    return 0;
}

// User and kernel time of a thread, in milliseconds; -1 when unknown.
long long ThreadCpuMs(HANDLE thread) {
    FILETIME created, exited, kernel, user;
    if (!thread || !GetThreadTimes(thread, &created, &exited, &kernel, &user)) return -1;
    ULARGE_INTEGER k, u;
    k.LowPart = kernel.dwLowDateTime;
    k.HighPart = kernel.dwHighDateTime;
    u.LowPart = user.dwLowDateTime;
    u.HighPart = user.dwHighDateTime;
    return static_cast<long long>((k.QuadPart + u.QuadPart) / 10000);
}

int ScanTime(DWORD ms) {
    HWND main = FindMain();
    if (!main) return Fail("no main window", kTitle);
    HWND status = GetDlgItem(main, 1065);
    // The window's thread runs the scan; its own processor time is printed
    // beside the elapsed time, as a figure a loaded machine disturbs less.
    HANDLE thread = OpenThread(THREAD_QUERY_INFORMATION, FALSE,
                               GetWindowThreadProcessId(main, nullptr));
    const long long cpuStart = ThreadCpuMs(thread);
    LARGE_INTEGER frequency, start, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    HWND ok = GetDlgItem(main, 1070);
    PostMessageA(GetDlgItem(main, 1052), BM_CLICK, 0, 0);
    for (;;) {
        Sleep(5);
        QueryPerformanceCounter(&now);
        long long elapsed = (now.QuadPart - start.QuadPart) * 1000 / frequency.QuadPart;
        // OK appears when the run has returned (the finished state). Its
        // visibility is read without a message to the window, so waiting
        // does not take time from the scanning thread; the status line is
        // read once OK is up (or at the time limit).
        if (!IsWindowVisible(ok) && elapsed <= static_cast<long long>(ms)) continue;
        std::string text = ControlText(status);
        if (text == "Scanning completed" || text == "Scanning terminated") {
            const long long cpuEnd = ThreadCpuMs(thread);
            if (thread) CloseHandle(thread);
            printf("status %s\nms %lld\n", text.c_str(), elapsed);
            if (cpuStart >= 0 && cpuEnd >= 0) printf("cpu %lld\n", cpuEnd - cpuStart);
            return text == "Scanning completed" ? 0 : 1;
        }
        if (elapsed > static_cast<long long>(ms)) return Fail("timeout", text.c_str());
    }
}

int Usage() {
    fprintf(stderr, "usage: e2e_tool infected|decoy|runnable|hosts|attrib|start|hold|hook|"
                    "plainbox|scantime ...\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc < 2) return Usage();
    const std::string cmd = argv[1];
    if (cmd == "start" && (argc == 3 || argc == 4)) return Start(argv[2], argc == 4 ? argv[3] : nullptr);
    if (cmd == "hold" && argc == 3) return Hold(argv[2], FILE_SHARE_READ);
    if (cmd == "lock" && argc == 3) return Hold(argv[2], 0);
    if (cmd == "batch" && argc == 3) return Batch(argv[2]);
    if (cmd == "hook" && argc == 4) return Hook(strtoul(argv[2], nullptr, 10), argv[3]);
    if (cmd == "procs" && argc == 2) return Processes();
    if (cmd == "plainbox" && argc == 4) return PlainBox(argv[2], strtoul(argv[3], nullptr, 10));
    if (cmd == "scantime" && argc == 3) return ScanTime(strtoul(argv[2], nullptr, 10));
    int rc = Plant(argc, argv);
    return rc == 2 ? Usage() : rc;
}
