// Files per second of the program's walk (ScanDrives over an /ONLYDIR= tree,
// silent mode) against bare walks under the same Wine, in one run:
//   enumerate  - FindFirstFileW/FindNextFileW only;
//   open+map   - the floor of this design: enumerate, open, map and unmap
//                every file;
//   ScanDrives - the program's walk with its table, path rules, attribute
//                handling, message pump and per-file scan;
//   enumerate+peek - enumeration and one message-queue look per entry, the
//                part of the walk's cost that the message pump takes.
// usage: walk_bench.exe [small files] [rounds]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/TrevaskDlg.h"
#include "app/environment.h"
#include "scan/walk.h"

namespace {

const wchar_t kRoot[] = L"C:\\quorvin\\work\\bench";

void WriteFileOf(const std::wstring& path, size_t bytes) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return;
    std::vector<char> data(bytes);
    for (size_t i = 0; i < bytes; ++i) data[i] = static_cast<char>(i * 131 + 7);
    DWORD put = 0;
    WriteFile(f, data.data(), static_cast<DWORD>(bytes), &put, nullptr);
    CloseHandle(f);
}

// `small` files of 200..4000 bytes in 3 levels of folders, plus 4 files of 4..10 MB.
int MakeTree(int small) {
    CreateDirectoryW(L"C:\\quorvin", nullptr);
    CreateDirectoryW(L"C:\\quorvin\\work", nullptr);
    CreateDirectoryW(kRoot, nullptr);
    int made = 0;
    const int perDir = 50;
    for (int a = 0; made < small; ++a) {
        std::wstring da = std::wstring(kRoot) + L"\\a" + std::to_wstring(a);
        CreateDirectoryW(da.c_str(), nullptr);
        for (int b = 0; b < 20 && made < small; ++b) {
            std::wstring db = da + L"\\b" + std::to_wstring(b);
            CreateDirectoryW(db.c_str(), nullptr);
            for (int f = 0; f < perDir && made < small; ++f, ++made)
                WriteFileOf(db + L"\\file" + std::to_wstring(f) + L".dat", 200 + (made * 37) % 3800);
        }
    }
    for (int i = 0; i < 4; ++i) WriteFileOf(std::wstring(kRoot) + L"\\big" + std::to_wstring(i) + L".bin", (4 + 2 * i) << 20);
    return made + 4;
}

int EnumerateOnly(const std::wstring& dir) {
    WIN32_FIND_DATAW e;
    HANDLE h = FindFirstFileW((dir + L"\\*.*").c_str(), &e);
    if (h == INVALID_HANDLE_VALUE) return 0;
    int n = 0;
    do {
        if (e.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (wcscmp(e.cFileName, L".") && wcscmp(e.cFileName, L"..")) n += EnumerateOnly(dir + L"\\" + e.cFileName);
        } else {
            ++n;
        }
    } while (FindNextFileW(h, &e));
    FindClose(h);
    return n;
}

// Enumeration plus one message-queue look per entry, as the walk's pump does.
int EnumerateAndPeek(const std::wstring& dir) {
    WIN32_FIND_DATAW e;
    HANDLE h = FindFirstFileW((dir + L"\\*.*").c_str(), &e);
    if (h == INVALID_HANDLE_VALUE) return 0;
    int n = 0;
    MSG msg;
    do {
        if (e.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (wcscmp(e.cFileName, L".") && wcscmp(e.cFileName, L"..")) n += EnumerateAndPeek(dir + L"\\" + e.cFileName);
        } else {
            ++n;
        }
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
    } while (FindNextFileW(h, &e));
    FindClose(h);
    return n;
}

volatile unsigned g_sink;

int OpenAndMap(const std::wstring& dir) {
    WIN32_FIND_DATAW e;
    HANDLE h = FindFirstFileW((dir + L"\\*.*").c_str(), &e);
    if (h == INVALID_HANDLE_VALUE) return 0;
    int n = 0;
    do {
        std::wstring path = dir + L"\\" + e.cFileName;
        if (e.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (wcscmp(e.cFileName, L".") && wcscmp(e.cFileName, L"..")) n += OpenAndMap(path);
            continue;
        }
        ++n;
        HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (f == INVALID_HANDLE_VALUE) continue;
        DWORD size = GetFileSize(f, nullptr);
        HANDLE m = size ? CreateFileMappingW(f, nullptr, PAGE_READONLY, 0, 0, nullptr) : nullptr;
        if (m) {
            const unsigned char* view = static_cast<const unsigned char*>(MapViewOfFile(m, FILE_MAP_READ, 0, 0, 0));
            if (view) {
                g_sink = g_sink + view[0];   // touch the first page, as detection does
                UnmapViewOfFile(view);
            }
            CloseHandle(m);
        }
        CloseHandle(f);
    } while (FindNextFileW(h, &e));
    FindClose(h);
    return n;
}

double Seconds(LARGE_INTEGER a, LARGE_INTEGER b, LARGE_INTEGER freq) {
    return static_cast<double>(b.QuadPart - a.QuadPart) / static_cast<double>(freq.QuadPart);
}

}  // namespace

int main(int argc, char** argv) {
    int small = argc > 1 ? std::atoi(argv[1]) : 20000;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    int files = MakeTree(small);

    // The dialog object (never shown) is the walk's display, as in a silent
    // run of the program: its message pump is part of what is measured.
    TrevaskDlg dlg;
    RemovalRun& run = dlg.run;
    run.flags.silentMode = true;
    IdentifyPlatform(run.flags);
    run.flags.maxPathChars = run.flags.isNtFamily ? kMaxPathCharsNt : kMaxPathChars9x;
    if (!LoadApiTable(run.api, run.flags)) return 1;
    run.flags.onlyDirPath = std::string(kRoot, kRoot + wcslen(kRoot));

    LARGE_INTEGER freq, t0, t1;
    QueryPerformanceFrequency(&freq);
    EnumerateOnly(kRoot);   // warm the caches once
    double best[4] = {1e30, 1e30, 1e30, 1e30};
    int counted[4] = {};
    for (int r = 0; r < rounds; ++r) {
        QueryPerformanceCounter(&t0);
        counted[0] = EnumerateOnly(kRoot);
        QueryPerformanceCounter(&t1);
        best[0] = std::min(best[0], Seconds(t0, t1, freq));

        QueryPerformanceCounter(&t0);
        counted[1] = OpenAndMap(kRoot);
        QueryPerformanceCounter(&t1);
        best[1] = std::min(best[1], Seconds(t0, t1, freq));

        run.stats = RemovalStats{};
        QueryPerformanceCounter(&t0);
        ScanDrives(run, dlg);
        QueryPerformanceCounter(&t1);
        counted[2] = static_cast<int>(run.stats.filesScanned);
        best[2] = std::min(best[2], Seconds(t0, t1, freq));

        QueryPerformanceCounter(&t0);
        counted[3] = EnumerateAndPeek(kRoot);
        QueryPerformanceCounter(&t1);
        best[3] = std::min(best[3], Seconds(t0, t1, freq));
    }
    const char* names[4] = {"enumerate only", "bare open+map", "ScanDrives", "enumerate+peek"};
    std::printf("tree: %d files (%d small, 4 of 4-10 MB), best of %d rounds, platform %s\n", files, small, rounds,
                run.flags.isNtFamily ? "NT (wide)" : "9x (ANSI)");
    for (int i = 0; i < 4; ++i)
        std::printf("%-15s %6d files  %8.3f s  %9.0f files/s\n", names[i], counted[i], best[i], counted[i] / best[i]);
    std::printf("ratio ScanDrives / bare open+map: %.2f\n", best[2] / best[1]);
    std::printf("ratio ScanDrives / enumerate only: %.2f\n", best[2] / best[0]);
    return 0;
}
