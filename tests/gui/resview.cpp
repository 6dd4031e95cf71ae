// resview: checks and previews the program's resources under Windows (here: Wine).
//
//   resview check [EXE]   load every resource of EXE (default: this program, which carries the
//                         same resource script) the way the window code loads it, and compare
//                         names, sizes, bit depths, colours and the two dialog templates with
//                         what the window code relies on. Prints "ok ..." / "FAIL ..." lines and
//                         a summary; exit code 0 only when nothing failed.
//   resview show142 ICONID TEXT  the message box template as the dialog manager sizes it,
//                                with the icon bitmap ICONID and TEXT, not resized; the window
//                                tests compare the skinned box with it
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "resource.h"

namespace {

int g_failures = 0;
int g_checks = 0;
HMODULE g_res = nullptr;

void Ok(bool cond, const char* fmt, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    ++g_checks;
    if (!cond) ++g_failures;
    std::printf("%s %s\n", cond ? "ok" : "FAIL", buf);
}

// ---- reading a bitmap resource's own header (bit depth as stored, not as loaded) ----

const BITMAPINFOHEADER* RawBitmap(LPCSTR name, DWORD* size)
{
    HRSRC r = FindResourceA(g_res, name, MAKEINTRESOURCEA(2) /* RT_BITMAP */);
    if (!r) return nullptr;
    HGLOBAL g = LoadResource(g_res, r);
    if (!g) return nullptr;
    *size = SizeofResource(g_res, r);
    if (*size < sizeof(BITMAPINFOHEADER)) return nullptr;
    return static_cast<const BITMAPINFOHEADER*>(LockResource(g));
}

// Top-down 32-bit copy of a loaded bitmap, pixels as 0x00RRGGBB.
bool Pixels(HBITMAP bmp, int w, int h, std::vector<DWORD>* out)
{
    BITMAPINFO bi;
    std::memset(&bi, 0, sizeof bi);
    bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    out->assign(static_cast<size_t>(w) * static_cast<size_t>(h), 0);
    HDC dc = GetDC(nullptr);
    int lines = GetDIBits(dc, bmp, 0, static_cast<UINT>(h), out->data(), &bi, DIB_RGB_COLORS);
    ReleaseDC(nullptr, dc);
    for (DWORD& p : *out) p &= 0x00FFFFFF;
    return lines == h;
}

const DWORD kBodyBlue = 0xCFE9FE;     // RGB(207, 233, 254) as 0xRRGGBB
const DWORD kHeadingBlue = 0x024DF6;  // RGB(2, 77, 246)
const DWORD kMagenta = 0xFF00FF;

struct NamedBitmap {
    const char* name;
    int width, height;
    bool solidBody;  // the _DISABLE faces of SCAN and DOWNLOAD
};

const NamedBitmap kButtons[] = {
    {"SCAN_FOCUS", 180, 33, false},      {"SCAN_NOTFOCUS", 180, 33, false},
    {"SCAN_DISABLE", 180, 33, true},     {"DOWNLOAD_FOCUS", 180, 33, false},
    {"DOWNLOAD_NOTFOCUS", 180, 33, false}, {"DOWNLOAD_DISABLE", 180, 33, true},
    {"OK_FOCUS", 92, 24, false},         {"OK_NOTFOCUS", 92, 24, false},
    {"CANCEL_FOCUS", 92, 24, false},     {"CANCEL_NOTFOCUS", 92, 24, false},
    {"YES_FOCUS", 92, 24, false},        {"YES_NOTFOCUS", 92, 24, false},
    {"NO_FOCUS", 92, 24, false},         {"NO_NOTFOCUS", 92, 24, false},
    {"X_FOCUS", 21, 21, false},          {"X_NOTFOCUS", 21, 21, false},
    {"DLINK_FOCUS", 313, 43, false},     {"DLINK_NOTFOCUS", 313, 43, false},
    {"ULINK_FOCUS", 244, 28, false},     {"ULINK_NOTFOCUS", 244, 28, false},
    {"QUILLONLOGO_FOCUS", 38, 36, false}, {"QUILLONLOGO_NOTFOCUS", 38, 36, false},
};

HBITMAP LoadSkinBitmap(LPCSTR name)
{
    return static_cast<HBITMAP>(LoadImageA(g_res, name, IMAGE_BITMAP, 0, 0, LR_LOADMAP3DCOLORS));
}

bool SizeOf(HBITMAP b, int* w, int* h)
{
    BITMAP bm;
    if (!b || GetObjectA(b, sizeof bm, &bm) != sizeof bm) return false;
    *w = bm.bmWidth;
    *h = bm.bmHeight;
    return true;
}

void CheckButtons()
{
    for (const NamedBitmap& nb : kButtons) {
        HBITMAP b = LoadSkinBitmap(nb.name);
        int w = 0, h = 0;
        Ok(SizeOf(b, &w, &h) && w == nb.width && h == nb.height, "bitmap %s is %d x %d (got %d x %d)",
           nb.name, nb.width, nb.height, w, h);
        std::vector<DWORD> px;
        if (b && Pixels(b, w, h, &px)) {
            size_t body = 0;
            std::vector<DWORD> distinct;
            for (DWORD p : px) {
                if (p == kBodyBlue) ++body;
                if (distinct.size() < 3 &&
                    std::find(distinct.begin(), distinct.end(), p) == distinct.end())
                    distinct.push_back(p);
            }
            if (nb.solidBody)
                Ok(body == px.size(), "bitmap %s is solid RGB(207, 233, 254) (%u of %u pixels)",
                   nb.name, static_cast<unsigned>(body), static_cast<unsigned>(px.size()));
            else
                Ok(distinct.size() >= 3, "bitmap %s has a picture (more than two colours)", nb.name);
        }
        if (b) DeleteObject(b);
    }
    // Captions are matched without regard to case: the message box's "Cancel".
    HBITMAP c = LoadSkinBitmap("Cancel_FOCUS");
    Ok(c != nullptr, "bitmap Cancel_FOCUS found by a case-blind name");
    if (c) DeleteObject(c);
    // Only SCAN and DOWNLOAD have a disabled face.
    static const char* const kNoDisable[] = {"OK_DISABLE", "CANCEL_DISABLE", "X_DISABLE",
                                             "YES_DISABLE", "NO_DISABLE", "DLINK_DISABLE"};
    for (const char* n : kNoDisable) {
        HBITMAP b = LoadSkinBitmap(n);
        Ok(b == nullptr, "no bitmap %s", n);
        if (b) DeleteObject(b);
    }
}

void CheckBackground()
{
    DWORD size = 0;
    const BITMAPINFOHEADER* raw = RawBitmap(MAKEINTRESOURCEA(IDB_BACKGROUND), &size);
    Ok(raw && raw->biWidth == 527 && raw->biHeight == 338 && raw->biBitCount == 8 &&
           raw->biCompression == BI_RGB,
       "bitmap 156 stored as 527 x 338, 8 bits per pixel (got %ld x %ld, %d bits)",
       raw ? raw->biWidth : 0L, raw ? raw->biHeight : 0L, raw ? raw->biBitCount : 0);
    if (raw && raw->biBitCount == 8 && size >= sizeof(BITMAPINFOHEADER)) {
        // The three standard greys of a colour table are replaced on loading
        // (LR_LOADMAP3DCOLORS); the background must not depend on that.
        DWORD entries = raw->biClrUsed ? raw->biClrUsed : 256;
        if (entries > 256) entries = 256;
        // The colour table follows the header, whose own size field says how long it is.
        bool roomy = raw->biSize >= sizeof(BITMAPINFOHEADER) && raw->biSize <= size &&
                     entries * 4 <= size - raw->biSize;
        int greys = 0;
        if (roomy) {
            const RGBQUAD* pal = reinterpret_cast<const RGBQUAD*>(
                reinterpret_cast<const BYTE*>(raw) + raw->biSize);
            for (DWORD i = 0; i < entries; ++i) {
                const RGBQUAD& q = pal[i];
                if (q.rgbRed == q.rgbGreen && q.rgbGreen == q.rgbBlue &&
                    (q.rgbRed == 128 || q.rgbRed == 192 || q.rgbRed == 223))
                    ++greys;
            }
        }
        Ok(roomy && greys == 0, "bitmap 156 colour table has no 3-D greys (%d found)", greys);
    }
    HBITMAP b = LoadSkinBitmap(MAKEINTRESOURCEA(IDB_BACKGROUND));
    int w = 0, h = 0;
    std::vector<DWORD> px;
    if (!SizeOf(b, &w, &h) || !Pixels(b, w, h, &px)) {
        Ok(false, "bitmap 156 loads");
        return;
    }
    size_t magenta = 0, heading = 0, body = 0, white = 0;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            DWORD p = px[static_cast<size_t>(y) * w + x];
            if (p == kMagenta) ++magenta;
            if (y < 64 && p == kHeadingBlue) ++heading;
            if (y >= 64 && p == kBodyBlue) ++body;
            if (p == 0xFFFFFF) ++white;
        }
    }
    // No magenta: the window region is the full picture.
    Ok(magenta == 0, "bitmap 156 has no magenta pixel (%u)", static_cast<unsigned>(magenta));
    Ok(heading * 2 > static_cast<size_t>(w) * 64, "bitmap 156 heading band is mostly RGB(2, 77, 246)");
    Ok(body * 5 > static_cast<size_t>(w) * (h - 64), "bitmap 156 body shows RGB(207, 233, 254)");
    Ok(white > 20000, "bitmap 156 has a white panel (%u white pixels)", static_cast<unsigned>(white));
    Ok(px[0] == kHeadingBlue || px[5 * w + 5] == kHeadingBlue, "bitmap 156 top-left is heading blue");
    DeleteObject(b);
}

void CheckMessageIcons()
{
    for (int id = IDB_MSG_INFORMATION; id <= IDB_MSG_ERROR; ++id) {
        DWORD size = 0;
        const BITMAPINFOHEADER* raw = RawBitmap(MAKEINTRESOURCEA(id), &size);
        Ok(raw && raw->biWidth == 42 && raw->biHeight == 40 && raw->biBitCount == 24,
           "bitmap %d stored as 42 x 40, 24 bits per pixel", id);
        HBITMAP b = LoadSkinBitmap(MAKEINTRESOURCEA(id));
        int w = 0, h = 0;
        std::vector<DWORD> px;
        if (SizeOf(b, &w, &h) && Pixels(b, w, h, &px)) {
            // Drawn on the box's own light blue: the corners blend into the box.
            Ok(px[0] == kBodyBlue && px[px.size() - 1] == kBodyBlue,
               "bitmap %d corners are RGB(207, 233, 254)", id);
        }
        if (b) DeleteObject(b);
    }
}

void CheckIcon()
{
    HICON big = static_cast<HICON>(LoadImageA(g_res, MAKEINTRESOURCEA(IDR_MAINFRAME), IMAGE_ICON, 32, 32, 0));
    HICON small = static_cast<HICON>(LoadImageA(g_res, MAKEINTRESOURCEA(IDR_MAINFRAME), IMAGE_ICON, 16, 16, 0));
    Ok(big != nullptr && small != nullptr, "icon group 128 gives a 32 x 32 and a 16 x 16 icon");
    HRSRC grp = FindResourceA(g_res, MAKEINTRESOURCEA(IDR_MAINFRAME), MAKEINTRESOURCEA(14));
    int count = 0;
    if (grp) {
        DWORD sz = SizeofResource(g_res, grp);
        const BYTE* p = static_cast<const BYTE*>(LockResource(LoadResource(g_res, grp)));
        if (p && sz >= 6) count = p[4] | (p[5] << 8);
    }
    Ok(count >= 2, "icon group 128 holds several sizes (%d)", count);
    if (big) DestroyIcon(big);
    if (small) DestroyIcon(small);
}

// ---- dialog templates ----

struct ExpectedControl {
    int id;
    const char* cls;
    const char* text;
    DWORD style;  // 0: do not compare
    int x, y, cx, cy;
};

// Reads a sz_Or_Ord field; advances p. Returns false if it runs past the end.
bool ReadSzOrd(const BYTE*& p, const BYTE* end, std::string* out)
{
    if (p + 2 > end) return false;
    WORD first = *reinterpret_cast<const WORD*>(p);
    if (first == 0xFFFF) {
        if (p + 4 > end) return false;
        WORD ord = *reinterpret_cast<const WORD*>(p + 2);
        p += 4;
        // Predefined class atoms.
        switch (ord) {
        case 0x80: *out = "button"; break;
        case 0x81: *out = "edit"; break;
        case 0x82: *out = "static"; break;
        case 0x83: *out = "listbox"; break;
        default: *out = "#" + std::to_string(ord);
        }
        return true;
    }
    std::wstring w;
    for (;;) {
        if (p + 2 > end) return false;
        WORD c = *reinterpret_cast<const WORD*>(p);
        p += 2;
        if (!c) break;
        w += static_cast<wchar_t>(c);
    }
    out->clear();
    for (wchar_t c : w) out->push_back(static_cast<char>(c < 128 ? c : L'?'));
    return true;
}

const BYTE* Align4(const BYTE* p, const BYTE* base)
{
    size_t off = static_cast<size_t>(p - base);
    return base + ((off + 3) & ~static_cast<size_t>(3));
}

std::string Lower(std::string s)
{
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

void CheckDialog(int id, bool extended, DWORD style, int cx, int cy, const char* caption,
                 const ExpectedControl* want, size_t nwant)
{
    HRSRC r = FindResourceA(g_res, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(5));
    if (!r) {
        Ok(false, "dialog %d exists", id);
        return;
    }
    DWORD size = SizeofResource(g_res, r);
    const BYTE* base = static_cast<const BYTE*>(LockResource(LoadResource(g_res, r)));
    const BYTE* end = base + size;
    const BYTE* p = base;
    bool isEx = size >= 4 && reinterpret_cast<const WORD*>(base)[1] == 0xFFFF;
    Ok(isEx == extended, "dialog %d is %s template", id, extended ? "an extended" : "a classic");
    DWORD gotStyle;
    WORD n;
    short gx, gy, gcx, gcy;
    if (isEx) {
        if (size < 26) return;
        gotStyle = *reinterpret_cast<const DWORD*>(base + 12);
        n = *reinterpret_cast<const WORD*>(base + 16);
        gx = *reinterpret_cast<const short*>(base + 18);
        gy = *reinterpret_cast<const short*>(base + 20);
        gcx = *reinterpret_cast<const short*>(base + 22);
        gcy = *reinterpret_cast<const short*>(base + 24);
        p = base + 26;
    } else {
        if (size < 18) return;
        gotStyle = *reinterpret_cast<const DWORD*>(base);
        n = *reinterpret_cast<const WORD*>(base + 8);
        gx = *reinterpret_cast<const short*>(base + 10);
        gy = *reinterpret_cast<const short*>(base + 12);
        gcx = *reinterpret_cast<const short*>(base + 14);
        gcy = *reinterpret_cast<const short*>(base + 16);
        p = base + 18;
    }
    Ok(gotStyle == style, "dialog %d style 0x%08lx (got 0x%08lx)", id, static_cast<unsigned long>(style),
       static_cast<unsigned long>(gotStyle));
    Ok(gx == 0 && gy == 0 && gcx == cx && gcy == cy, "dialog %d at 0, 0, %d x %d (got %d, %d, %d x %d)",
       id, cx, cy, gx, gy, gcx, gcy);
    std::string menu, cls, title, face;
    if (!ReadSzOrd(p, end, &menu) || !ReadSzOrd(p, end, &cls) || !ReadSzOrd(p, end, &title)) {
        Ok(false, "dialog %d header readable", id);
        return;
    }
    Ok(title == caption, "dialog %d caption \"%s\" (got \"%s\")", id, caption, title.c_str());
    WORD points = 0;
    if (p + 2 <= end) points = *reinterpret_cast<const WORD*>(p);
    p += isEx ? 6 : 2;
    if (p > end || !ReadSzOrd(p, end, &face)) {
        Ok(false, "dialog %d font readable", id);
        return;
    }
    Ok(points == 8 && face == "MS Sans Serif", "dialog %d font MS Sans Serif 8 (got %s %d)", id,
       face.c_str(), points);
    Ok(n == nwant, "dialog %d has %u controls (got %u)", id, static_cast<unsigned>(nwant), n);
    for (WORD i = 0; i < n && i < nwant; ++i) {
        p = Align4(p, base);
        DWORD cstyle, cexstyle;
        short x, y, w, h;
        DWORD cid;
        if (isEx) {
            if (p + 24 > end) break;
            cexstyle = *reinterpret_cast<const DWORD*>(p + 4);
            cstyle = *reinterpret_cast<const DWORD*>(p + 8);
            x = *reinterpret_cast<const short*>(p + 12);
            y = *reinterpret_cast<const short*>(p + 14);
            w = *reinterpret_cast<const short*>(p + 16);
            h = *reinterpret_cast<const short*>(p + 18);
            cid = *reinterpret_cast<const DWORD*>(p + 20);
            p += 24;
        } else {
            if (p + 18 > end) break;
            cstyle = *reinterpret_cast<const DWORD*>(p);
            cexstyle = *reinterpret_cast<const DWORD*>(p + 4);
            x = *reinterpret_cast<const short*>(p + 8);
            y = *reinterpret_cast<const short*>(p + 10);
            w = *reinterpret_cast<const short*>(p + 12);
            h = *reinterpret_cast<const short*>(p + 14);
            cid = *reinterpret_cast<const WORD*>(p + 16);
            p += 18;
        }
        std::string ccls, ctext;
        if (!ReadSzOrd(p, end, &ccls) || !ReadSzOrd(p, end, &ctext) || p + 2 > end) break;
        WORD extra = *reinterpret_cast<const WORD*>(p);
        p += 2;
        if (extra > end - p) break;
        p += extra;
        const ExpectedControl& e = want[i];
        bool same = static_cast<int>(cid) == e.id && Lower(ccls) == e.cls && ctext == e.text &&
                    (e.style == 0 || cstyle == e.style) && x == e.x && y == e.y && w == e.cx &&
                    h == e.cy;
        Ok(same, "dialog %d control #%u: id %d %s \"%s\" style 0x%08lx at %d,%d %dx%d (got %lu %s \"%s\" "
                 "0x%08lx at %d,%d %dx%d ex 0x%lx)",
           id, i + 1, e.id, e.cls, e.text, static_cast<unsigned long>(e.style), e.x, e.y, e.cx, e.cy,
           static_cast<unsigned long>(cid), ccls.c_str(), ctext.c_str(),
           static_cast<unsigned long>(cstyle), x, y, w, h, static_cast<unsigned long>(cexstyle));
        if (e.id == IDC_RESULTLIST)
            Ok(cexstyle & WS_EX_TRANSPARENT, "result list has the transparent extended style");
    }
}

// Owner-drawn push button with a tab stop, visible or hidden; flat group box; statics in a
// new group; the list box unsorted, tabs expanded, both scroll bars, free height.
const DWORD kBtn = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_OWNERDRAW;
const DWORD kBtnHidden = WS_CHILD | WS_TABSTOP | BS_OWNERDRAW;
const DWORD kGroup = WS_CHILD | WS_VISIBLE | BS_GROUPBOX | BS_FLAT;
const DWORD kLeft = WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT;
const DWORD kCenter = WS_CHILD | WS_VISIBLE | WS_GROUP | SS_CENTER;
const DWORD kList = WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | WS_HSCROLL |
                    LBS_USETABSTOPS | LBS_NOINTEGRALHEIGHT;

const ExpectedControl kMain[] = {
    {1070, "button", "OK", kBtn, 128, 177, 50, 14},
    {2, "button", "CANCEL", kBtn, 128, 177, 50, 14},
    {1052, "button", "SCAN", kBtn, 11, 40, 76, 16},
    {1053, "button", "DOWNLOAD", kBtn, 189, 40, 97, 16},
    {1054, "button", "X", kBtn, 290, 3, 10, 10},
    {1064, "button", "", kGroup, 16, 81, 276, 29},
    {1065, "static", "Static", kLeft, 18, 93, 264, 11},
    {1076, "static", "Progress", kLeft, 16, 70, 268, 11},
    {1068, "static", "Title", kCenter, 31, 25, 244, 11},
    {1075, "static", "Product notice", kCenter, 6, 136, 292, 10},
    {1072, "static", "Maker notice", kCenter, 6, 103, 292, 11},
    {1074, "static", "Static", kCenter, 9, 71, 290, 14},
    {1077, "button", "DLINK", kBtn, 61, 133, 85, 7},
    {1080, "button", "ULINK", kBtn, 77, 177, 54, 6},
    {1085, "button", "QUILLONLOGO", kBtn, 277, 174, 38, 10},
    {1034, "button", "", kGroup, 16, 111, 276, 58},
    {1055, "listbox", "", kList, 17, 117, 273, 51},
};

const ExpectedControl kBox[] = {
    {1, "button", "OK", 0x4001000B, 24, 38, 50, 14},
    {2, "button", "Cancel", 0x4001000B, 102, 38, 50, 14},
    {1085, "static", "", 0x5000000E, 15, 0, 25, 24},
    {1086, "static", " Are you sure you want to continue ", 0x50020000, 49, 5, 135, 19},
    {3, "button", "OK", 0x5001000B, 63, 38, 50, 14},
    {6, "button", "YES", 0x4001000B, 24, 26, 50, 14},
    {7, "button", "NO", 0x4001000B, 100, 26, 50, 14},
};

void CheckVersion(const char* path)
{
    char self[MAX_PATH] = {0};
    if (!path) {
        GetModuleFileNameA(nullptr, self, sizeof self - 1);
        path = self;
    }
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(path, &handle);
    std::vector<BYTE> data(size ? size : 1);
    bool have = size && GetFileVersionInfoA(path, 0, size, data.data());
    Ok(have, "version resource present");
    if (!have) return;
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT len = 0;
    bool fx = VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &len) && fixed &&
              len >= sizeof(VS_FIXEDFILEINFO);
    Ok(fx && fixed->dwFileVersionMS == 0x00010000 && fixed->dwProductVersionMS == 0x00010000,
       "file and product version 1.0");
    static const char* const kKeys[] = {"ProductName", "FileDescription", "CompanyName", "ProductVersion"};
    for (const char* k : kKeys) {
        char q[128];
        std::snprintf(q, sizeof q, "\\StringFileInfo\\040904B0\\%s", k);
        char* v = nullptr;
        UINT vl = 0;
        bool found = VerQueryValueA(data.data(), q, reinterpret_cast<void**>(&v), &vl) && v && vl > 1;
        Ok(found, "version %s = \"%s\"", k, found ? v : "");
    }
}

int Check(const char* exe)
{
    if (exe) {
        g_res = LoadLibraryExA(exe, nullptr, LOAD_LIBRARY_AS_DATAFILE);
        if (!g_res) {
            std::printf("FAIL cannot open %s\n", exe);
            return 1;
        }
    } else {
        g_res = GetModuleHandleA(nullptr);
    }
    CheckButtons();
    CheckBackground();
    CheckMessageIcons();
    CheckIcon();
    CheckDialog(IDD_CLEANVENDRIKA_DIALOG, true, WS_POPUP | WS_BORDER | DS_SETFONT, 349, 209, "", kMain,
                sizeof kMain / sizeof kMain[0]);
    CheckDialog(IDD_SKINMSGBOX, false, 0x80C800C0, 187, 54, "Dialog", kBox, sizeof kBox / sizeof kBox[0]);
    CheckVersion(exe);
    std::printf("%d checks, %d failed\n", g_checks, g_failures);
    return g_failures ? 1 : 0;
}

// ---- previews ----

HBRUSH g_body = nullptr;
int g_iconId = IDB_MSG_WARNING;

// Draws an owner-drawn button with the bitmap named after its caption.
void DrawSkinButton(const DRAWITEMSTRUCT* dis)
{
    char cap[64] = {0};
    GetWindowTextA(dis->hwndItem, cap, sizeof cap - 16);
    char name[96];
    const char* suffix = (dis->itemState & ODS_DISABLED) ? "_DISABLE"
                         : (dis->itemState & ODS_FOCUS)  ? "_FOCUS"
                                                         : "_NOTFOCUS";
    std::snprintf(name, sizeof name, "%s%s", cap, suffix);
    HBITMAP b = LoadSkinBitmap(name);
    if (!b) return;
    HDC mem = CreateCompatibleDC(dis->hDC);
    HGDIOBJ old = SelectObject(mem, b);
    BitBlt(dis->hDC, dis->rcItem.left, dis->rcItem.top, dis->rcItem.right - dis->rcItem.left,
           dis->rcItem.bottom - dis->rcItem.top, mem, 0, 0, SRCCOPY);
    SelectObject(mem, old);
    DeleteDC(mem);
    DeleteObject(b);
}

INT_PTR CALLBACK BoxProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp)
{
    switch (msg) {
    case WM_INITDIALOG: {
        const char* text = reinterpret_cast<const char*>(lp);
        UINT flags = static_cast<UINT>(GetWindowLongPtrA(dlg, GWLP_USERDATA));
        (void)flags;
        SetDlgItemTextA(dlg, IDC_MB_TEXT, text);
        SetWindowTextA(dlg, "CleanVendrika Ver 1.0");
        return TRUE;
    }
    case WM_PAINT: {
        PAINTSTRUCT ps;
        BeginPaint(dlg, &ps);
        HWND icon = GetDlgItem(dlg, IDC_MB_ICON);
        HBITMAP b = LoadSkinBitmap(MAKEINTRESOURCEA(g_iconId));
        if (b) {
            RECT r;
            GetClientRect(icon, &r);
            HDC dc = GetDC(icon);
            HDC mem = CreateCompatibleDC(dc);
            HGDIOBJ old = SelectObject(mem, b);
            BitBlt(dc, 0, 0, r.right, r.bottom, mem, 0, 0, SRCCOPY);
            SelectObject(mem, old);
            DeleteDC(mem);
            ReleaseDC(icon, dc);
            DeleteObject(b);
        }
        EndPaint(dlg, &ps);
        return TRUE;
    }
    case WM_DRAWITEM:
        DrawSkinButton(reinterpret_cast<const DRAWITEMSTRUCT*>(lp));
        return TRUE;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORDLG:
        SetBkMode(reinterpret_cast<HDC>(wp), TRANSPARENT);
        return reinterpret_cast<INT_PTR>(g_body);
    case WM_COMMAND:
        EndDialog(dlg, LOWORD(wp));
        return TRUE;
    }
    return FALSE;
}

}  // namespace

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc >= 2 && std::strcmp(argv[1], "check") == 0) return Check(argc >= 3 ? argv[2] : nullptr);
    g_res = GetModuleHandleA(nullptr);
    g_body = CreateSolidBrush(RGB(207, 233, 254));
    if (argc >= 4 && std::strcmp(argv[1], "show142") == 0) {
        g_iconId = std::atoi(argv[2]);
        INT_PTR r = DialogBoxParamA(g_res, MAKEINTRESOURCEA(IDD_SKINMSGBOX), nullptr, BoxProc,
                                    reinterpret_cast<LPARAM>(argv[3]));
        std::printf("result %ld\n", static_cast<long>(r));
        return 0;
    }
    std::fprintf(stderr, "usage: resview check [EXE] | show142 ICONID TEXT\n");
    return 2;
}
