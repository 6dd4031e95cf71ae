#include "tests/win/scan_harness.h"

#include "tests/win/win_test_util.h"

namespace wintest {

pf::HWND WindowlessPlatform::Window() {
    // Not a real window: a value no window handle of this process has.
    return reinterpret_cast<pf::HWND>(uintptr_t(0x7FFF0010));
}

pf::LRESULT WindowlessPlatform::SendMessageA(pf::HWND window, pf::UINT message,
                                             pf::WPARAM wParam, pf::LPARAM lParam) {
    if (window != Window()) return Win32Platform::SendMessageA(window, message, wParam, lParam);
    if (message == WM_SCAN_ADDLINE) lines.push_back(g_scan.reportLine);
    if (message == WM_SCAN_STATUS) {
        lastStatus = g_scan.statusText;
        ++statusCount;
    }
    return 0;
}

int WindowlessPlatform::MessageBoxA(pf::HWND, const char* text, const char* caption,
                                    pf::UINT flags) {
    plainBoxes.push_back(std::string(text ? text : "") + "|" + (caption ? caption : "") + "|" +
                         std::to_string(flags));
    return pf::kIdOk;
}

int WindowlessPlatform::SkinMessageBox(const char* text, const char* title, pf::UINT flags) {
    questions.push_back(std::string(text ? text : "") + "|" + (title ? title : "") + "|" +
                        std::to_string(flags));
    if (answers.empty()) return defaultAnswer;
    int answer = answers.front();
    answers.pop_front();
    return answer;
}

pf::HANDLE WindowlessPlatform::OpenProcess(pf::DWORD access, pf::BOOL inherit,
                                           pf::DWORD processId) {
    if (refuseTermination && (access & pf::kProcessTerminate)) {
        SetLastError(pf::kErrorAccessDenied);
        return nullptr;
    }
    return Win32Platform::OpenProcess(access, inherit, processId);
}

pf::BOOL WindowlessPlatform::ExitWindowsEx(pf::UINT flags, pf::DWORD) {
    rebootRequests.push_back(flags);
    return 1;
}

void WindowlessPlatform::exit(int code) { throw ProgramExit{code}; }

std::vector<std::string> WindowlessPlatform::LinesWith(const std::string& text) const {
    std::vector<std::string> found;
    for (const std::string& line : lines) {
        if (line.find(text) != std::string::npos) found.push_back(line);
    }
    return found;
}

ScopedScan::ScopedScan(pf::Platform* platform) : previous_(pf::SetPlatform(platform)) {
    ResetScanContextForTest();
    g_scan.mainWindow = WindowlessPlatform::Window();
}

ScopedScan::~ScopedScan() {
    ResetScanContextForTest();
    pf::SetPlatform(previous_);
}

bool UnderWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace wintest
