#include "support/ui.h"

#include <cstring>

#include "support/support.h"

namespace testsupport::ui {

namespace {
void SetString(const char* key, const char* name, const char* value) {
    HKEY k;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &k, nullptr) != ERROR_SUCCESS)
        return;
    RegSetValueExA(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), static_cast<DWORD>(std::strlen(value) + 1));
    RegCloseKey(k);
}
}  // namespace

void PrepareDesktop() {
    SetString("Software\\Wine\\X11 Driver", "Decorated", "N");
    SetString("Software\\Wine\\Fonts\\Replacements", "Times New Roman", "Liberation Serif");
}

std::string Text(HWND hwnd) {
    wchar_t wide[4096] = {};
    int n = InternalGetWindowText(hwnd, wide, 4096);
    if (n <= 0) return std::string();
    char text[8192] = {};
    WideCharToMultiByte(CP_ACP, 0, wide, n, text, sizeof text - 1, nullptr, nullptr);
    return text;
}

std::string ItemText(HWND dialog, int id) {
    HWND item = GetDlgItem(dialog, id);
    return item ? Text(item) : std::string();
}

bool ItemEnabled(HWND dialog, int id) {
    HWND item = GetDlgItem(dialog, id);
    return item && IsWindowEnabled(item);
}

bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs, DWORD stepMs) {
    DWORD start = GetTickCount();
    for (;;) {
        if (done()) return true;
        if (GetTickCount() - start > timeoutMs) return false;
        Sleep(stepMs);
    }
}

namespace {

struct Search {
    DWORD pid;
    const std::string* caption;
    int childId;
    std::vector<HWND> found;
};

BOOL CALLBACK SearchProc(HWND hwnd, LPARAM lp) {
    auto* s = reinterpret_cast<Search*>(lp);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid != s->pid || !IsWindowVisible(hwnd)) return TRUE;
    char cls[64] = {};
    GetClassNameA(hwnd, cls, sizeof cls);
    if (std::strcmp(cls, "#32770") != 0 || Text(hwnd) != *s->caption) return TRUE;
    if (s->childId && !GetDlgItem(hwnd, s->childId)) return TRUE;
    s->found.push_back(hwnd);
    return TRUE;
}

std::vector<HWND> FindDialogs(DWORD pid, const std::string& caption, int childId) {
    Search s{pid, &caption, childId, {}};
    EnumWindows(SearchProc, reinterpret_cast<LPARAM>(&s));
    return s.found;
}

// Message boxes carry their text in a static control with this id.
constexpr int kMessageBoxTextId = 0xFFFF;

}  // namespace

HWND WaitForDialog(DWORD processId, const std::string& caption, int childId, DWORD timeoutMs) {
    HWND found = nullptr;
    WaitUntil(
        [&] {
            std::vector<HWND> all = FindDialogs(processId, caption, childId);
            found = all.empty() ? nullptr : all.front();
            return found != nullptr;
        },
        timeoutMs, 50);
    return found;
}

HWND WaitForMessageBox(DWORD processId, const std::string& caption, DWORD timeoutMs) {
    return WaitForDialog(processId, caption, kMessageBoxTextId, timeoutMs);
}

std::vector<HWND> MessageBoxes(DWORD processId, const std::string& caption) {
    return FindDialogs(processId, caption, kMessageBoxTextId);
}

bool WaitGone(HWND hwnd, DWORD timeoutMs) {
    return WaitUntil([&] { return !IsWindow(hwnd) || !IsWindowVisible(hwnd); }, timeoutMs, 20);
}

std::string MessageBoxText(HWND box) { return ItemText(box, kMessageBoxTextId); }

void Press(HWND dialog, int id) {
    HWND button = GetDlgItem(dialog, id);
    if (button) PostMessageA(button, BM_CLICK, 0, 0);
    else PostMessageA(dialog, WM_COMMAND, id, 0);
}

namespace {

bool WriteBmp(const std::string& path, int width, int height, const std::vector<uint8_t>& bottomUpRows) {
    BITMAPFILEHEADER file = {};
    BITMAPINFOHEADER info = {};
    info.biSize = sizeof info;
    info.biWidth = width;
    info.biHeight = height;
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    info.biSizeImage = static_cast<DWORD>(bottomUpRows.size());
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info;
    file.bfSize = file.bfOffBits + info.biSizeImage;
    std::vector<uint8_t> bytes(file.bfSize);
    std::memcpy(bytes.data(), &file, sizeof file);
    std::memcpy(bytes.data() + sizeof file, &info, sizeof info);
    std::memcpy(bytes.data() + file.bfOffBits, bottomUpRows.data(), bottomUpRows.size());
    return WriteBytes(path, bytes);
}

}  // namespace

bool CaptureScreen(const RECT& area, std::vector<uint8_t>& rows, int& stride) {
    int w = area.right - area.left, h = area.bottom - area.top;
    if (w <= 0 || h <= 0) return false;
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = h;   // bottom-up, as BMP files store it
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 24;
    void* bits = nullptr;
    HBITMAP dib = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    bool ok = false;
    if (dib && bits) {
        HGDIOBJ old = SelectObject(mem, dib);
        ok = BitBlt(mem, 0, 0, w, h, screen, area.left, area.top, SRCCOPY) != 0;
        GdiFlush();
        stride = (w * 3 + 3) & ~3;
        rows.assign(static_cast<uint8_t*>(bits), static_cast<uint8_t*>(bits) + static_cast<size_t>(stride) * h);
        SelectObject(mem, old);
    }
    if (dib) DeleteObject(dib);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
    return ok;
}

bool SaveScreenshot(const std::vector<HWND>& windows, const std::string& bmpPath) {
    Sleep(400);
    RECT area = {};
    bool any = false;
    for (HWND w : windows) {
        RECT r;
        if (!w || !GetWindowRect(w, &r)) continue;
        if (!any) area = r;
        else UnionRect(&area, &area, &r);
        any = true;
    }
    if (!any) return false;
    std::vector<uint8_t> rows;
    int stride = 0;
    if (!CaptureScreen(area, rows, stride)) return false;
    return WriteBmp(bmpPath, area.right - area.left, area.bottom - area.top, rows);
}

namespace {
struct FindData {
    DWORD pid;
    const std::string* caption;
    const std::string* className;
    HWND found;
};

BOOL CALLBACK FindProc(HWND hwnd, LPARAM lp) {
    auto* d = reinterpret_cast<FindData*>(lp);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid != d->pid || !IsWindowVisible(hwnd)) return TRUE;
    if (!d->caption->empty() && TextByMessage(hwnd) != *d->caption) return TRUE;
    if (!d->className->empty()) {
        char cls[256] = {};
        GetClassNameA(hwnd, cls, sizeof cls);
        if (*d->className != cls) return TRUE;
    }
    d->found = hwnd;
    return FALSE;
}
}  // namespace

HWND WaitForWindow(DWORD processId, const std::string& caption, const std::string& className, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        FindData d = {processId, &caption, &className, nullptr};
        EnumWindows(FindProc, reinterpret_cast<LPARAM>(&d));
        if (d.found) return d.found;
        if (GetTickCount() - start > timeoutMs) return nullptr;
        Sleep(100);
    }
}

std::string TextByMessage(HWND hwnd) {
    char text[8192] = {};
    // WM_GETTEXT works across processes for window text.
    SendMessageTimeoutA(hwnd, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000, nullptr);
    return text;
}

namespace {
BOOL CALLBACK StaticProc(HWND hwnd, LPARAM lp) {
    char cls[64] = {};
    GetClassNameA(hwnd, cls, sizeof cls);
    if (lstrcmpiA(cls, "Static") == 0) {
        std::string t = TextByMessage(hwnd);
        if (!t.empty()) reinterpret_cast<std::vector<std::string>*>(lp)->push_back(t);
    }
    return TRUE;
}
}  // namespace

std::vector<std::string> StaticTexts(HWND dialog) {
    std::vector<std::string> texts;
    EnumChildWindows(dialog, StaticProc, reinterpret_cast<LPARAM>(&texts));
    return texts;
}

namespace {

// Pixels that differ between the screen rows and our drawing of `icon` on `background`.
int IconDifference(HICON icon, const std::vector<uint8_t>& screen, int stride, int size, COLORREF background) {
    HDC ref = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(ref);
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = size;
    bi.bmiHeader.biHeight = size;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 24;
    void* bits = nullptr;
    HBITMAP dib = CreateDIBSection(ref, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    int diff = size * size;
    if (dib && bits) {
        HGDIOBJ old = SelectObject(mem, dib);
        RECT all = {0, 0, size, size};
        HBRUSH brush = CreateSolidBrush(background);
        FillRect(mem, &all, brush);
        DeleteObject(brush);
        DrawIconEx(mem, 0, 0, icon, size, size, 0, nullptr, DI_NORMAL);
        GdiFlush();
        const uint8_t* ours = static_cast<const uint8_t*>(bits);
        diff = 0;
        for (int y = 0; y < size; ++y)
            for (int x = 0; x < size; ++x) {
                const uint8_t* a = ours + y * stride + x * 3;
                const uint8_t* b = screen.data() + y * stride + x * 3;
                if (std::abs(a[0] - b[0]) > 8 || std::abs(a[1] - b[1]) > 8 || std::abs(a[2] - b[2]) > 8) ++diff;
            }
        SelectObject(mem, old);
    }
    if (dib) DeleteObject(dib);
    DeleteDC(mem);
    ReleaseDC(nullptr, ref);
    return diff;
}

UINT MatchIcon(HWND iconControl) {
    RECT r;
    if (!GetWindowRect(iconControl, &r)) return 0;
    int size = GetSystemMetrics(SM_CXICON);
    // One column left of the icon is the box's background.
    RECT area = {r.left - 1, r.top, r.left + size, r.top + size};
    std::vector<uint8_t> rows;
    int wideStride = 0;
    if (!ui::CaptureScreen(area, rows, wideStride)) return 0;
    const uint8_t* bg = rows.data() + static_cast<size_t>(size - 1) * wideStride;   // top row, first column
    COLORREF background = RGB(bg[2], bg[1], bg[0]);
    // Drop the background column so that the rows line up with our drawing.
    int stride = (size * 3 + 3) & ~3;
    std::vector<uint8_t> screen(static_cast<size_t>(stride) * size);
    for (int y = 0; y < size; ++y) std::memcpy(&screen[y * stride], &rows[y * wideStride + 3], size * 3);

    struct { LPCSTR id; UINT style; } icons[] = {{IDI_INFORMATION, MB_ICONINFORMATION},
                                                 {IDI_EXCLAMATION, MB_ICONEXCLAMATION},
                                                 {IDI_HAND, MB_ICONSTOP},
                                                 {IDI_QUESTION, MB_ICONQUESTION}};
    UINT best = 0;
    int bestDiff = size * size, second = size * size;
    for (auto& i : icons) {
        int d = IconDifference(LoadIconA(nullptr, i.id), screen, stride, size, background);
        if (d < bestDiff) {
            second = bestDiff;
            bestDiff = d;
            best = i.style;
        } else if (d < second) {
            second = d;
        }
    }
    // A clear match: nearly identical, and far closer than any other icon.
    if (bestDiff * 20 <= size * size && bestDiff * 4 < second) return best;
    return 0;
}

}  // namespace

UINT MessageBoxIcon(HWND box) {
    // Icon handles are private to the process that loaded them, so the handle
    // the box holds says nothing here: compare what the box shows on screen
    // with our own drawing of each system icon.
    HWND icon = GetDlgItem(box, 0x440);   // id Windows and Wine give the message box icon
    if (!icon || !IsWindowVisible(icon)) return 0;
    UINT found = 0;
    // The box may not have painted yet.
    for (int i = 0; i < 20 && !found; ++i) {
        if (i) Sleep(100);
        found = MatchIcon(icon);
    }
    return found;
}

}  // namespace testsupport::ui
