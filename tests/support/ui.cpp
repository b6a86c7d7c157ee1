#include "support/ui.h"

#include <cstring>

#include "support/support.h"

namespace qt::ui {

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

}  // namespace qt::ui
