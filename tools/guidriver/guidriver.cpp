// guidriver: drives the CleanVendrika window from outside, as a user would, for the window
// tests. Each run does one thing and prints line-oriented results that a shell script can
// grep; the exit code is 0 on success, 1 when a condition was not met (or timed out), 2 on a
// usage error.
//
//   guidriver [-t TITLE] COMMAND ARGS...
//
// The main window is the visible top-level dialog titled TITLE (default
// "CleanVendrika Ver 1.0") that owns the result list 1055. A question box is any other
// top-level dialog (class "#32770") that owns the message text control 1086, so the two are
// told apart even when the question carries the program title as its caption.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char* g_title = "CleanVendrika Ver 1.0";
const int kResultListId = 1055;
const int kBoxTextId = 1086;
const DWORD kPollMs = 40;

// ---- text helpers ----

std::string Utf8(const wchar_t* w)
{
    if (!w || !*w) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return std::string();
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w, -1, &s[0], n, nullptr, nullptr);
    s.resize(static_cast<size_t>(n - 1));
    return s;
}

// Quote for the shell-friendly output: backslashes and quotes escaped, control characters
// (tabs of the statistics lines included) written as \t, \n, \xNN.
std::string Quote(const std::string& s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string WindowText(HWND h)
{
    // WM_GETTEXT is marshalled across processes; ask the length first and bound the buffer.
    LRESULT len = SendMessageW(h, WM_GETTEXTLENGTH, 0, 0);
    if (len < 0) len = 0;
    if (len > 65536) len = 65536;
    std::vector<wchar_t> buf(static_cast<size_t>(len) + 2, L'\0');
    SendMessageW(h, WM_GETTEXT, buf.size(), reinterpret_cast<LPARAM>(buf.data()));
    buf.back() = L'\0';
    return Utf8(buf.data());
}

std::string ClassOf(HWND h)
{
    char buf[128] = {0};
    GetClassNameA(h, buf, sizeof buf);
    return buf;
}

// ---- finding windows ----

struct FindState {
    bool wantBox;         // false: the main window; true: a question box
    const char* caption;  // box caption to match, or null for any
    HWND found;
    int count;
};

bool IsDialogClass(HWND h) { return ClassOf(h) == "#32770"; }

BOOL CALLBACK FindTopLevel(HWND h, LPARAM lp)
{
    FindState* st = reinterpret_cast<FindState*>(lp);
    if (!st->wantBox) {
        char buf[256] = {0};
        GetWindowTextA(h, buf, sizeof buf);
        if (std::strcmp(buf, g_title) != 0) return TRUE;
        if (!GetDlgItem(h, kResultListId)) return TRUE;
        st->count++;
        if (!st->found) st->found = h;
        return TRUE;
    }
    if (!IsDialogClass(h) || !GetDlgItem(h, kBoxTextId) || !IsWindowVisible(h)) return TRUE;
    if (st->caption) {
        char buf[256] = {0};
        GetWindowTextA(h, buf, sizeof buf);
        if (std::strcmp(buf, st->caption) != 0) return TRUE;
    }
    st->count++;
    if (!st->found) st->found = h;
    return TRUE;
}

HWND FindMain(int* count = nullptr)
{
    FindState st = {false, nullptr, nullptr, 0};
    EnumWindows(FindTopLevel, reinterpret_cast<LPARAM>(&st));
    if (count) *count = st.count;
    return st.found;
}

HWND FindBox(const char* caption)
{
    FindState st = {true, caption, nullptr, 0};
    EnumWindows(FindTopLevel, reinterpret_cast<LPARAM>(&st));
    return st.found;
}

struct TitleCount {
    const char* title;
    int n;
};

BOOL CALLBACK CountOne(HWND h, LPARAM lp)
{
    TitleCount* c = reinterpret_cast<TitleCount*>(lp);
    char buf[256] = {0};
    GetWindowTextA(h, buf, sizeof buf);
    if (std::strcmp(buf, c->title) == 0) c->n++;
    return TRUE;
}

int CountTitled(const char* title)
{
    TitleCount c = {title, 0};
    EnumWindows(CountOne, reinterpret_cast<LPARAM>(&c));
    return c.n;
}

// Waits until cond() holds or the timeout runs out; true when it held.
template <class F>
bool WaitFor(DWORD timeoutMs, F cond)
{
    DWORD start = GetTickCount();
    for (;;) {
        if (cond()) return true;
        if (GetTickCount() - start >= timeoutMs) return false;
        Sleep(kPollMs);
    }
}

HWND RequireMain()
{
    HWND h = FindMain();
    if (!h) std::printf("error no window titled %s\n", Quote(g_title).c_str());
    return h;
}

// ---- describing windows ----

void PrintControl(HWND parent, HWND c)
{
    RECT r;
    GetWindowRect(c, &r);
    POINT p = {r.left, r.top};
    ScreenToClient(parent, &p);
    std::printf("control %d class=%s visible=%d enabled=%d rect=%ld,%ld,%ld,%ld text=%s\n",
                GetDlgCtrlID(c), ClassOf(c).c_str(), IsWindowVisible(c) ? 1 : 0,
                IsWindowEnabled(c) ? 1 : 0, p.x, p.y, r.right - r.left, r.bottom - r.top,
                Quote(WindowText(c)).c_str());
}

void PrintWindow(const char* kind, HWND h)
{
    RECT r;
    GetWindowRect(h, &r);
    std::printf("%s 0x%llx visible=%d enabled=%d rect=%ld,%ld,%ld,%ld text=%s\n", kind,
                static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(h)),
                IsWindowVisible(h) ? 1 : 0, IsWindowEnabled(h) ? 1 : 0, r.left, r.top,
                r.right - r.left, r.bottom - r.top, Quote(WindowText(h)).c_str());
    HRGN rgn = CreateRectRgn(0, 0, 0, 0);
    int kind2 = GetWindowRgn(h, rgn);
    if (kind2 == ERROR) {
        std::printf("region none\n");
    } else {
        RECT b;
        GetRgnBox(rgn, &b);
        std::printf("region %ld,%ld,%ld,%ld\n", b.left, b.top, b.right - b.left, b.bottom - b.top);
    }
    DeleteObject(rgn);
    RECT work = {0, 0, 0, 0};
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
    std::printf("workarea %ld,%ld,%ld,%ld\n", work.left, work.top, work.right - work.left,
                work.bottom - work.top);
    std::printf("style 0x%08lx exstyle 0x%08lx\n", static_cast<unsigned long>(GetWindowLongA(h, GWL_STYLE)),
                static_cast<unsigned long>(GetWindowLongA(h, GWL_EXSTYLE)));
    HWND focus = nullptr;
    GUITHREADINFO gti;
    std::memset(&gti, 0, sizeof gti);
    gti.cbSize = sizeof gti;
    if (GetGUIThreadInfo(GetWindowThreadProcessId(h, nullptr), &gti)) focus = gti.hwndFocus;
    std::printf("focus %d\n", focus ? GetDlgCtrlID(focus) : -1);
    POINT cur = {0, 0};
    GetCursorPos(&cur);
    std::printf("cursor %ld,%ld\n", cur.x, cur.y);
}

BOOL CALLBACK PrintChild(HWND c, LPARAM lp)
{
    if (GetParent(c) == reinterpret_cast<HWND>(lp)) PrintControl(reinterpret_cast<HWND>(lp), c);
    return TRUE;
}

// ---- acting ----

// A click as the button itself would take it: posted, so that a click that opens a modal
// box does not block us.
void Click(HWND ctl) { PostMessageA(ctl, BM_CLICK, 0, 0); }

// The window that has the keyboard focus in the target's thread, or the target itself.
HWND FocusOf(HWND top)
{
    GUITHREADINFO gti;
    std::memset(&gti, 0, sizeof gti);
    gti.cbSize = sizeof gti;
    if (GetGUIThreadInfo(GetWindowThreadProcessId(top, nullptr), &gti) && gti.hwndFocus)
        return gti.hwndFocus;
    return IsWindow(top) ? top : nullptr;
}

// A key played as a keyboard does: the press goes to the window that has the keyboard focus
// in the target's thread, where the dialog's message loop (or the scan's message pump) picks
// it up; the release follows a typical key-press time later, to whichever window has the
// focus by then (the press may have closed a question, and its release then reaches the
// window below).
bool PressKey(HWND top, const char* name)
{
    WPARAM vk;
    if (!_stricmp(name, "esc") || !_stricmp(name, "escape")) vk = VK_ESCAPE;
    else if (!_stricmp(name, "enter") || !_stricmp(name, "return")) vk = VK_RETURN;
    else if (!_stricmp(name, "tab")) vk = VK_TAB;
    else if (!_stricmp(name, "space")) vk = VK_SPACE;
    else return false;
    const DWORD thread = GetWindowThreadProcessId(top, nullptr);
    const UINT scan = MapVirtualKeyA(static_cast<UINT>(vk), 0);
    const LPARAM down = 1 | (static_cast<LPARAM>(scan) << 16);
    PostMessageA(FocusOf(top), WM_KEYDOWN, vk, down);
    Sleep(120);
    // The release goes to the focus of the same thread, whichever window holds it now.
    GUITHREADINFO gti;
    std::memset(&gti, 0, sizeof gti);
    gti.cbSize = sizeof gti;
    HWND up = nullptr;
    if (GetGUIThreadInfo(thread, &gti)) up = gti.hwndFocus ? gti.hwndFocus : gti.hwndActive;
    if (!up && IsWindow(top)) up = top;
    if (up) PostMessageA(up, WM_KEYUP, vk, down | (3u << 30));
    return true;
}

void PrintList(HWND main)
{
    HWND list = GetDlgItem(main, kResultListId);
    if (!list) {
        std::printf("error no result list\n");
        return;
    }
    LRESULT n = SendMessageW(list, LB_GETCOUNT, 0, 0);
    LRESULT sel = SendMessageW(list, LB_GETCURSEL, 0, 0);
    LRESULT ext = SendMessageW(list, LB_GETHORIZONTALEXTENT, 0, 0);
    std::printf("count %ld\nselected %ld\nextent %ld\n", static_cast<long>(n), static_cast<long>(sel),
                static_cast<long>(ext));
    for (LRESULT i = 0; i < n; ++i) {
        LRESULT len = SendMessageW(list, LB_GETTEXTLEN, static_cast<WPARAM>(i), 0);
        if (len < 0) len = 0;
        if (len > 65536) len = 65536;
        // Wine may report the ANSI length of a string it returns as UTF-16; leave room.
        std::vector<wchar_t> buf(static_cast<size_t>(len) * 2 + 16, L'\0');
        SendMessageW(list, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(buf.data()));
        buf.back() = L'\0';
        std::printf("line %ld %s\n", static_cast<long>(i), Quote(Utf8(buf.data())).c_str());
    }
}

bool ListContains(HWND main, const char* needle)
{
    HWND list = GetDlgItem(main, kResultListId);
    if (!list) return false;
    LRESULT n = SendMessageW(list, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < n; ++i) {
        LRESULT len = SendMessageW(list, LB_GETTEXTLEN, static_cast<WPARAM>(i), 0);
        if (len < 0 || len > 65536) continue;
        std::vector<wchar_t> buf(static_cast<size_t>(len) * 2 + 16, L'\0');
        SendMessageW(list, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(buf.data()));
        buf.back() = L'\0';
        if (Utf8(buf.data()).find(needle) != std::string::npos) return true;
    }
    return false;
}

void PrintBox(HWND box)
{
    PrintWindow("box", box);
    EnumChildWindows(box, PrintChild, reinterpret_cast<LPARAM>(box));
    std::printf("message %s\n", Quote(WindowText(GetDlgItem(box, kBoxTextId))).c_str());
    std::printf("buttons");
    static const int ids[] = {3, 1, 2, 6, 7};
    for (int id : ids) {
        HWND b = GetDlgItem(box, id);
        if (b && IsWindowVisible(b)) std::printf(" %d", id);
    }
    std::printf("\n");
}


// Real mouse input, as the user's hand gives it: absolute moves over the whole screen.
void MouseTo(int x, int y, DWORD flags)
{
    INPUT in;
    std::memset(&in, 0, sizeof in);
    in.type = INPUT_MOUSE;
    int cx = GetSystemMetrics(SM_CXSCREEN), cy = GetSystemMetrics(SM_CYSCREEN);
    if (cx < 2) cx = 2;
    if (cy < 2) cy = 2;
    in.mi.dx = static_cast<LONG>((static_cast<long long>(x) * 65535) / (cx - 1));
    in.mi.dy = static_cast<LONG>((static_cast<long long>(y) * 65535) / (cy - 1));
    in.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE | flags;
    SendInput(1, &in, sizeof in);
    Sleep(60);
}

void Drag(HWND main, int x, int y, int dx, int dy)
{
    POINT p = {x, y};
    ClientToScreen(main, &p);
    MouseTo(p.x, p.y, 0);
    MouseTo(p.x, p.y, MOUSEEVENTF_LEFTDOWN);
    const int steps = 8;
    for (int i = 1; i <= steps; ++i) MouseTo(p.x + dx * i / steps, p.y + dy * i / steps, 0);
    MouseTo(p.x + dx, p.y + dy, MOUSEEVENTF_LEFTUP);
    Sleep(300);
}

// 32-bit top-down pixels (0x00RRGGBB) of a bitmap, or of a screen area when bmp is null.
bool ReadPixels(HBITMAP bmp, int x, int y, int w, int h, std::vector<DWORD>* out)
{
    HDC screen = GetDC(nullptr);
    HBITMAP owned = nullptr;
    if (!bmp) {
        HDC mem = CreateCompatibleDC(screen);
        owned = CreateCompatibleBitmap(screen, w, h);
        HGDIOBJ old = SelectObject(mem, owned);
        BitBlt(mem, 0, 0, w, h, screen, x, y, SRCCOPY);
        SelectObject(mem, old);
        DeleteDC(mem);
        bmp = owned;
    }
    BITMAPINFO bi;
    std::memset(&bi, 0, sizeof bi);
    bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    out->assign(static_cast<size_t>(w) * static_cast<size_t>(h), 0);
    int lines = GetDIBits(screen, bmp, 0, static_cast<UINT>(h), out->data(), &bi, DIB_RGB_COLORS);
    ReleaseDC(nullptr, screen);
    if (owned) DeleteObject(owned);
    for (DWORD& p : *out) p &= 0x00FFFFFF;
    return lines == h;
}

// Compares what a control shows on screen with a named bitmap of the program that owns the
// window ("#153" names a numbered one); prints how many pixels agree.
int Shows(HWND main, HWND ctl, int id, const char* name)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(main, &pid);
    char exe[MAX_PATH] = {0};
    DWORD len = sizeof exe - 1;
    HANDLE proc = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    bool named = proc && QueryFullProcessImageNameA(proc, 0, exe, &len);
    if (proc) CloseHandle(proc);
    HMODULE m = named ? LoadLibraryExA(exe, nullptr, LOAD_LIBRARY_AS_DATAFILE) : nullptr;
    HBITMAP b = m ? static_cast<HBITMAP>(LoadImageA(m, name, IMAGE_BITMAP, 0, 0, LR_LOADMAP3DCOLORS)) : nullptr;
    BITMAP bm;
    if (!b || GetObjectA(b, sizeof bm, &bm) != sizeof bm) {
        std::printf("error no bitmap %s in %s\n", name, exe);
        if (m) FreeLibrary(m);
        return 1;
    }
    RECT r;
    GetWindowRect(ctl, &r);
    int w = bm.bmWidth < r.right - r.left ? bm.bmWidth : r.right - r.left;
    int h = bm.bmHeight < r.bottom - r.top ? bm.bmHeight : r.bottom - r.top;
    std::vector<DWORD> want, got, full;
    bool ok = w > 0 && h > 0 && ReadPixels(b, 0, 0, bm.bmWidth, bm.bmHeight, &full) &&
              ReadPixels(nullptr, r.left, r.top, w, h, &got);
    size_t same = 0, total = 0;
    if (ok) {
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                ++total;
                if (full[static_cast<size_t>(y) * bm.bmWidth + x] == got[static_cast<size_t>(y) * w + x]) ++same;
            }
    }
    DeleteObject(b);
    FreeLibrary(m);
    std::printf("shows %d %s match=%u of %u\n", id, name, static_cast<unsigned>(same),
                static_cast<unsigned>(total));
    return ok && total > 0 && same == total ? 0 : 1;
}

int Usage()
{
    std::fprintf(stderr,
                 "usage: guidriver [-t TITLE] COMMAND ARGS\n"
                 "  wait-window [MS]             main window visible with its controls\n"
                 "  wait-gone [MS]               no main window any more\n"
                 "  count-title TITLE            number of top-level windows with the title\n"
                 "  window                       main window rect, region, work area, style\n"
                 "  controls                     every control: id, class, state, rect, text\n"
                 "  state ID                     one control\n"
                 "  text ID                      one control's text\n"
                 "  click ID                     post BM_CLICK to a control\n"
                 "  clicks ID...                 post BM_CLICK to each control, all at once\n"
                 "  command ID                   post WM_COMMAND(BN_CLICKED, ID) to the window\n"
                 "  key esc|enter|tab|space      post a key press to the focused control\n"
                 "  sysclose                     post the system close command\n"
                 "  list                         result list: count, selection, extent, lines\n"
                 "  wait-state ID COND [MS]      COND: visible hidden enabled disabled\n"
                 "  wait-text ID TEXT [MS]       control text contains TEXT\n"
                 "  wait-list TEXT [MS]          a result list line contains TEXT\n"
                 "  wait-box [CAPTION] [MS]      a question box is up; prints it\n"
                 "  box-click ID [CAPTION]       post BM_CLICK to a button of the box\n"
                 "  box-key esc|enter [CAPTION]  post a key press to the box\n"
                 "  box-close [CAPTION]          post the system close command to the box\n"
                 "  wait-no-box [MS]             no question box is up\n"
                 "  park-mouse                   move the pointer to the screen's bottom-right corner\n"
                 "  drag X Y DX DY               press the left button at client point X,Y of the\n"
                 "                               window, move by DX,DY, release (real input)\n"
                 "  hover X Y                    move the pointer to client point X,Y (real input)\n"
                 "  shows ID NAME                does control ID show bitmap NAME of the program's\n"
                 "                               resources on screen, pixel for pixel? (#N: numbered)\n"
                 "  box-shows ID NAME [CAPTION]  the same for a control of the question box\n");
    return 2;
}

DWORD MsArg(int argc, char** argv, int i, DWORD def)
{
    if (i >= argc) return def;
    char* end = nullptr;
    unsigned long v = std::strtoul(argv[i], &end, 10);
    return (end && *end == '\0') ? static_cast<DWORD>(v) : def;
}

bool IntArg(const char* s, int* out)
{
    char* end = nullptr;
    long v = std::strtol(s, &end, 10);
    if (!end || *end != '\0') return false;
    *out = static_cast<int>(v);
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    int i = 1;
    if (i + 1 < argc && std::strcmp(argv[i], "-t") == 0) {
        g_title = argv[i + 1];
        i += 2;
    }
    if (i >= argc) return Usage();
    const std::string cmd = argv[i++];

    if (cmd == "wait-window") {
        DWORD ms = MsArg(argc, argv, i, 10000);
        HWND h = nullptr;
        bool ok = WaitFor(ms, [&] {
            h = FindMain();
            return h && IsWindowVisible(h) && GetDlgItem(h, kResultListId) && GetDlgItem(h, 1052);
        });
        if (!ok) {
            std::printf("timeout waiting for window %s\n", Quote(g_title).c_str());
            return 1;
        }
        PrintWindow("window", h);
        return 0;
    }
    if (cmd == "wait-gone") {
        DWORD ms = MsArg(argc, argv, i, 10000);
        if (!WaitFor(ms, [] { return FindMain() == nullptr; })) {
            std::printf("timeout window still there\n");
            return 1;
        }
        std::printf("gone\n");
        return 0;
    }
    if (cmd == "park-mouse") {
        // Keeps the pointer off the window, so no button is highlighted by hovering. A window
        // of our own first: under Wine only a thread with a display connection moves the real
        // X pointer; otherwise the next X event would put the pointer back where it was.
        HWND own = CreateWindowExA(WS_EX_TOOLWINDOW, "STATIC", "", WS_POPUP, 0, 0, 1, 1, nullptr,
                                   nullptr, GetModuleHandleA(nullptr), nullptr);
        int x = GetSystemMetrics(SM_CXSCREEN) - 1, y = GetSystemMetrics(SM_CYSCREEN) - 1;
        bool ok = SetCursorPos(x, y) != FALSE;
        MouseTo(x, y, 0);
        if (own) DestroyWindow(own);
        std::printf("mouse %d,%d\n", x, y);
        return ok ? 0 : 1;
    }
    if (cmd == "count-title") {
        if (i >= argc) return Usage();
        std::printf("count %d\n", CountTitled(argv[i]));
        return 0;
    }
    if (cmd == "wait-box" || cmd == "wait-no-box") {
        const char* caption = nullptr;
        DWORD ms = 10000;
        if (cmd == "wait-box" && i < argc) {
            int dummy;
            if (IntArg(argv[i], &dummy)) {
                ms = MsArg(argc, argv, i, ms);
            } else {
                caption = argv[i];
                ms = MsArg(argc, argv, i + 1, ms);
            }
        } else {
            ms = MsArg(argc, argv, i, ms);
        }
        if (cmd == "wait-no-box") {
            if (!WaitFor(ms, [] { return FindBox(nullptr) == nullptr; })) {
                std::printf("timeout box still up\n");
                return 1;
            }
            std::printf("no box\n");
            return 0;
        }
        HWND box = nullptr;
        if (!WaitFor(ms, [&] { return (box = FindBox(caption)) != nullptr; })) {
            std::printf("timeout waiting for a question box\n");
            return 1;
        }
        // The box is found once visible; give its set-up a moment to place the buttons.
        Sleep(150);
        PrintBox(box);
        return 0;
    }
    if (cmd == "box-shows") {
        int id;
        if (i + 1 >= argc || !IntArg(argv[i], &id)) return Usage();
        HWND box = FindBox(i + 2 < argc ? argv[i + 2] : nullptr);
        HWND ctl = box ? GetDlgItem(box, id) : nullptr;
        if (!ctl) {
            std::printf("error no question box with control %d\n", id);
            return 1;
        }
        return Shows(box, ctl, id, argv[i + 1]);
    }
    if (cmd == "box-click" || cmd == "box-key" || cmd == "box-close") {
        const char* arg = nullptr;
        if (cmd != "box-close") {
            if (i >= argc) return Usage();
            arg = argv[i++];
        }
        const char* caption = i < argc ? argv[i] : nullptr;
        HWND box = FindBox(caption);
        if (!box) {
            std::printf("error no question box\n");
            return 1;
        }
        if (cmd == "box-click") {
            int id;
            if (!IntArg(arg, &id)) return Usage();
            HWND b = GetDlgItem(box, id);
            if (!b) {
                std::printf("error box has no control %d\n", id);
                return 1;
            }
            Click(b);
        } else if (cmd == "box-key") {
            if (!PressKey(box, arg)) return Usage();
        } else {
            PostMessageA(box, WM_SYSCOMMAND, SC_CLOSE, 0);
        }
        std::printf("done\n");
        return 0;
    }

    // The remaining commands act on the main window.
    HWND main = RequireMain();
    if (!main) return 1;
    if (cmd == "window") {
        PrintWindow("window", main);
        return 0;
    }
    if (cmd == "controls") {
        EnumChildWindows(main, PrintChild, reinterpret_cast<LPARAM>(main));
        return 0;
    }
    if (cmd == "list") {
        PrintList(main);
        return 0;
    }
    if (cmd == "sysclose") {
        PostMessageA(main, WM_SYSCOMMAND, SC_CLOSE, 0);
        std::printf("done\n");
        return 0;
    }
    if (cmd == "key") {
        if (i >= argc || !PressKey(main, argv[i])) return Usage();
        std::printf("done\n");
        return 0;
    }
    if (cmd == "hover") {
        int x, y;
        if (i + 1 >= argc || !IntArg(argv[i], &x) || !IntArg(argv[i + 1], &y)) return Usage();
        POINT p = {x, y};
        ClientToScreen(main, &p);
        MouseTo(p.x - 2, p.y - 2, 0);  // two events, so the window sees a move
        MouseTo(p.x, p.y, 0);
        Sleep(200);
        PrintWindow("window", main);
        return 0;
    }
    if (cmd == "drag") {
        int v[4];
        for (int k = 0; k < 4; ++k)
            if (i + k >= argc || !IntArg(argv[i + k], &v[k])) return Usage();
        Drag(main, v[0], v[1], v[2], v[3]);
        PrintWindow("window", main);
        return 0;
    }
    if (cmd == "wait-list") {
        if (i >= argc) return Usage();
        const char* needle = argv[i];
        DWORD ms = MsArg(argc, argv, i + 1, 10000);
        if (!WaitFor(ms, [&] { return ListContains(main, needle); })) {
            std::printf("timeout no line contains %s\n", Quote(needle).c_str());
            return 1;
        }
        std::printf("found\n");
        return 0;
    }

    if (cmd == "clicks") {
        // Quicker than any user: the clicks are queued together, so the second is handled
        // right after the first.
        std::vector<HWND> targets;
        for (; i < argc; ++i) {
            int each;
            if (!IntArg(argv[i], &each)) return Usage();
            HWND c = GetDlgItem(main, each);
            if (!c) {
                std::printf("error no control %d\n", each);
                return 1;
            }
            targets.push_back(c);
        }
        if (targets.empty()) return Usage();
        for (HWND c : targets) Click(c);
        std::printf("done\n");
        return 0;
    }

    int id;
    if (i >= argc || !IntArg(argv[i], &id)) return Usage();
    ++i;
    HWND ctl = GetDlgItem(main, id);
    if (!ctl) {
        std::printf("error no control %d\n", id);
        return 1;
    }
    if (cmd == "state") {
        PrintControl(main, ctl);
        return 0;
    }
    if (cmd == "shows") {
        if (i >= argc) return Usage();
        return Shows(main, ctl, id, argv[i]);
    }
    if (cmd == "text") {
        std::printf("text %d %s\n", id, Quote(WindowText(ctl)).c_str());
        return 0;
    }
    if (cmd == "click") {
        Click(ctl);
        std::printf("done\n");
        return 0;
    }
    if (cmd == "command") {
        PostMessageA(main, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(ctl));
        std::printf("done\n");
        return 0;
    }
    if (cmd == "wait-state") {
        if (i >= argc) return Usage();
        std::string cond = argv[i];
        DWORD ms = MsArg(argc, argv, i + 1, 10000);
        auto holds = [&] {
            if (cond == "visible") return IsWindowVisible(ctl) != FALSE;
            if (cond == "hidden") return IsWindowVisible(ctl) == FALSE;
            if (cond == "enabled") return IsWindowEnabled(ctl) != FALSE;
            if (cond == "disabled") return IsWindowEnabled(ctl) == FALSE;
            return false;
        };
        if (cond != "visible" && cond != "hidden" && cond != "enabled" && cond != "disabled")
            return Usage();
        if (!WaitFor(ms, holds)) {
            std::printf("timeout control %d not %s\n", id, cond.c_str());
            PrintControl(main, ctl);
            return 1;
        }
        PrintControl(main, ctl);
        return 0;
    }
    if (cmd == "wait-text") {
        if (i >= argc) return Usage();
        std::string needle = argv[i];
        DWORD ms = MsArg(argc, argv, i + 1, 10000);
        if (!WaitFor(ms, [&] { return WindowText(ctl).find(needle) != std::string::npos; })) {
            std::printf("timeout control %d text %s lacks %s\n", id, Quote(WindowText(ctl)).c_str(),
                        Quote(needle).c_str());
            return 1;
        }
        std::printf("text %d %s\n", id, Quote(WindowText(ctl)).c_str());
        return 0;
    }
    return Usage();
}
