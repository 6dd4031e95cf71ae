// barewalker: walks every fixed drive (or the given search patterns) with the
// same find calls as the cleaner's folder walk - a file pass and a folder pass
// per folder, depth first - and reads the same PE header bytes of every file
// with the same low-level runtime calls. It shows nothing and removes nothing:
// it is the yardstick the whole program's scan time is measured against.
//
//   barewalker [--list] [--accepted] [--pump] [--notify] [--status] [PATTERN ...]
//     no pattern: every fixed drive from C: to Z:, as "X:\*.*"
//     --list:     also print every file's full path in visiting order
//     --accepted: read the headers only of the files the scan opens: those
//                 whose length (from the find data) a detector accepts
//     --pump:     also take one queued window message twice per entry of the
//                 file pass and once per entry of the folder pass, as the
//                 cleaner's walk does to keep its window alive
//     --notify:   the walk's whole described work per entry: the pumping of
//                 --pump, and for each entry of the file pass its path,
//                 shortened to 60 characters, handed to a window of this
//                 thread by a synchronous notification, which keeps the text
//                 (the window the messages are pumped for)
//     --status:   also show each entry's path, shortened to 60 characters, in
//                 a static control of a visible window, as the cleaner's
//                 status line would if it painted every path (implies a
//                 window to pump for)
// The options add the cleaner's per-entry window work one piece at a time,
// so that the cost of each can be measured against the bare walk; --notify
// is the floor that the whole program's scan is measured against.
// Prints "files N", "pe N", "ms N" (the walk time, without start-up) and
// "cpu N" (the walking thread's own processor time meanwhile, in ms).
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include "engine/walk.h"

namespace {

bool g_list = false;
bool g_accepted = false;
bool g_pump = false;
HWND g_status = nullptr;
HWND g_notified = nullptr;

// The notification and the two texts it travels between, as the cleaner's
// walk and window have them.
const UINT kNotifyStatus = WM_APP + 10;
char g_statusText[260];
char g_shownText[261];

void Pump() {
    if (!g_pump) return;
    MSG msg;
    if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

// The first 29 characters, "..", the last 29: the status line's 60.
void Shorten(const char* path, char* shown) {
    size_t n = strlen(path);
    if (n > 60) {
        memcpy(shown, path, 29);
        shown[29] = shown[30] = '.';
        memcpy(shown + 31, path + n - 29, 29);
        shown[60] = 0;
    } else {
        memcpy(shown, path, n + 1);
    }
}

void ShowStatus(const char* path) {
    if (g_notified) {
        Shorten(path, g_statusText);
        SendMessageA(g_notified, kNotifyStatus, 0, 0);
    }
    if (!g_status) return;
    char shown[64];
    Shorten(path, shown);
    SendMessageA(g_status, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(shown));
}

LRESULT CALLBACK NotifiedProc(HWND window, UINT message, WPARAM wp, LPARAM lp) {
    if (message == kNotifyStatus) {
        memcpy(g_shownText, g_statusText, sizeof g_statusText);
        g_shownText[sizeof g_statusText] = 0;
        return 0;
    }
    return DefWindowProcA(window, message, wp, lp);
}
long g_files = 0;
long g_peFiles = 0;

// Reads n bytes at offset; false on a failed seek or a short read.
bool ReadAt(int fd, long offset, void* buffer, unsigned n) {
    if (_lseek(fd, offset, SEEK_SET) != offset) return false;
    return _read(fd, buffer, n) == static_cast<int>(n);
}

// The header reads of one file, in the scanner's order: length, the PE offset
// at 60, the signature, the file header, 96 bytes of the optional header and
// the section table from PE offset + 248.
void ReadHeaders(const char* path) {
    int fd = _open(path, _O_BINARY | _O_RDONLY, _S_IREAD | _S_IWRITE);
    if (fd == -1) return;
    long length = _filelength(fd);
    unsigned char peOffsetBytes[2];
    unsigned char signature[4];
    unsigned char fileHeader[20];
    unsigned char optionalHeader[96];
    unsigned char sections[20 * 40];
    if (length != -1 && ReadAt(fd, 60, peOffsetBytes, 2)) {
        long peOffset = peOffsetBytes[0] | (peOffsetBytes[1] << 8);
        if (ReadAt(fd, peOffset, signature, 4) && memcmp(signature, "PE\0\0", 4) == 0 &&
            ReadAt(fd, peOffset + 4, fileHeader, 20) &&
            ReadAt(fd, peOffset + 24, optionalHeader, 96)) {
            unsigned sectionCount = fileHeader[2] | (fileHeader[3] << 8);
            memset(sections, 0, sizeof sections);
            if (sectionCount <= 20 && ReadAt(fd, peOffset + 248, sections, sectionCount * 40))
                ++g_peFiles;
        }
    }
    _close(fd);
}

// The part of the pattern up to and including the character before its last
// '.', or false when there is no '.' or the result would not fit.
bool PatternFolder(const char* pattern, char* folder, size_t size) {
    const char* dot = strrchr(pattern, '.');
    if (!dot || dot == pattern) return false;
    size_t keep = static_cast<size_t>(dot - pattern) - 1;
    if (keep + 1 > size) return false;
    memcpy(folder, pattern, keep);
    folder[keep] = 0;
    return true;
}

bool Join(char* out, size_t size, const char* a, const char* b, const char* c) {
    int n = _snprintf(out, size, "%s%s%s", a, b, c);
    return n >= 0 && static_cast<size_t>(n) < size;
}

void Walk(const char* pattern) {
    char folder[MAX_PATH];
    if (!PatternFolder(pattern, folder, sizeof folder)) return;
    char path[MAX_PATH];
    WIN32_FIND_DATAA entry;

    HANDLE find = FindFirstFileA(pattern, &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            Pump();
            if (!Join(path, sizeof path, folder, entry.cFileName, "")) continue;
            ShowStatus(path);
            if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
                ++g_files;
                if (g_list) printf("%s\n", path);
                const uint64_t length = (uint64_t(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
                if (!g_accepted || AnyDetectorAcceptsLength(length)) ReadHeaders(path);
            }
            Pump();
        } while (FindNextFileA(find, &entry));
        FindClose(find);
    }

    find = FindFirstFileA(pattern, &entry);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        Pump();
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
        if (strcmp(entry.cFileName, ".") == 0 || strcmp(entry.cFileName, "..") == 0) continue;
        char child[MAX_PATH];
        if (Join(child, sizeof child, folder, entry.cFileName, "\\*.*")) Walk(child);
    } while (FindNextFileA(find, &entry));
    FindClose(find);
}

// User and kernel time of this thread, in milliseconds.
long long ThreadCpuMs() {
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return 0;
    ULARGE_INTEGER k, u;
    k.LowPart = kernel.dwLowDateTime;
    k.HighPart = kernel.dwHighDateTime;
    u.LowPart = user.dwLowDateTime;
    u.HighPart = user.dwHighDateTime;
    return static_cast<long long>((k.QuadPart + u.QuadPart) / 10000);
}

}  // namespace

int main(int argc, char** argv) {
    int first = 1;
    bool status = false;
    bool notify = false;
    for (; first < argc && strncmp(argv[first], "--", 2) == 0; ++first) {
        if (strcmp(argv[first], "--list") == 0) g_list = true;
        else if (strcmp(argv[first], "--accepted") == 0) g_accepted = true;
        else if (strcmp(argv[first], "--pump") == 0) g_pump = true;
        else if (strcmp(argv[first], "--notify") == 0) notify = g_pump = true;
        else if (strcmp(argv[first], "--status") == 0) status = g_pump = true;
    }
    if (notify) {
        WNDCLASSA type = {};
        type.lpfnWndProc = NotifiedProc;
        type.hInstance = GetModuleHandleA(nullptr);
        type.lpszClassName = "BarewalkerNotified";
        g_notified = RegisterClassA(&type)
                         ? CreateWindowExA(0, type.lpszClassName, "barewalker", WS_OVERLAPPEDWINDOW,
                                           0, 0, 600, 200, nullptr, nullptr, type.hInstance, nullptr)
                         : nullptr;
        if (!g_notified) {
            fprintf(stderr, "no window for --notify\n");
            return 1;
        }
        Pump();
    }
    if (status) {
        HWND window = CreateWindowExA(0, "STATIC", "barewalker", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                      0, 0, 600, 200, nullptr, nullptr, nullptr, nullptr);
        g_status = CreateWindowExA(0, "STATIC", "", WS_CHILD | WS_VISIBLE, 10, 10, 560, 20, window,
                                   nullptr, nullptr, nullptr);
        if (!g_status) {
            fprintf(stderr, "no window for --status\n");
            return 1;
        }
        Pump();
    }
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    const long long cpuStart = ThreadCpuMs();
    QueryPerformanceCounter(&start);
    if (first < argc) {
        for (int i = first; i < argc; ++i) Walk(argv[i]);
    } else {
        for (int drive = 2; drive <= 25; ++drive) {
            char root[] = "C:\\";
            root[0] = static_cast<char>('A' + drive);
            if (GetDriveTypeA(root) != DRIVE_FIXED) continue;
            char pattern[] = "C:\\*.*";
            pattern[0] = root[0];
            Walk(pattern);
        }
    }
    QueryPerformanceCounter(&end);
    const long long cpu = ThreadCpuMs() - cpuStart;
    long long ms = (end.QuadPart - start.QuadPart) * 1000 / frequency.QuadPart;
    printf("files %ld\npe %ld\nms %lld\ncpu %lld\n", g_files, g_peFiles, ms, cpu);
    if (g_notified) printf("last %s\n", g_shownText);
    return 0;
}
