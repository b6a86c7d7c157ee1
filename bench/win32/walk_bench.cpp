// The scan against bare walks under the same Wine, side by side in one run,
// over two trees:
//   small  - generated: many small files of 200..4000 bytes in 3 levels of
//            folders, plus 4 files of 4..10 MB;
//   system - copies of the machine's own programs and libraries
//            (C:\windows\system32 and the programs of C:\windows), mostly PE
//            images, some of several MB.
// Baselines of each tree: enumeration only; the bare open+map walk (open,
// map, touch the first page, unmap, close every file); the bare open+read
// walk (open, read the first 4 KB, close). The scan: ScanDrives over the tree
// as a silent run does it (the dialog object, never shown, is its display).
// Then the whole program on each tree, silent ("/S") and with its dialog
// (Start pressed, until the report box), each less the same run over an
// empty folder (start-up, the other phases, the report).
// usage: walk_bench.exe [small files] [rounds] [heads]
//   heads: also the bare open+read walk with reads of 512 bytes to 64 KB.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/TrevaskDlg.h"
#include "app/environment.h"
#include "scan/walk.h"
#include "support/support.h"
#include "support/ui.h"

namespace {

const wchar_t kWork[] = L"C:\\quorvin\\work";
const wchar_t kSmall[] = L"C:\\quorvin\\work\\bench";
const wchar_t kSystem[] = L"C:\\quorvin\\work\\system";
const wchar_t kEmpty[] = L"C:\\quorvin\\work\\empty";

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
int MakeSmallTree(int small) {
    CreateDirectoryW(kSmall, nullptr);
    int made = 0;
    const int perDir = 50;
    for (int a = 0; made < small; ++a) {
        std::wstring da = std::wstring(kSmall) + L"\\a" + std::to_wstring(a);
        CreateDirectoryW(da.c_str(), nullptr);
        for (int b = 0; b < 20 && made < small; ++b) {
            std::wstring db = da + L"\\b" + std::to_wstring(b);
            CreateDirectoryW(db.c_str(), nullptr);
            for (int f = 0; f < perDir && made < small; ++f, ++made)
                WriteFileOf(db + L"\\file" + std::to_wstring(f) + L".dat", 200 + (made * 37) % 3800);
        }
    }
    for (int i = 0; i < 4; ++i)
        WriteFileOf(std::wstring(kSmall) + L"\\big" + std::to_wstring(i) + L".bin", (4 + 2 * i) << 20);
    return made + 4;
}

// Copies the files of `from` (and, with `deep`, of its folders) to `to`.
int CopyTree(const std::wstring& from, const std::wstring& to, bool deep) {
    CreateDirectoryW(to.c_str(), nullptr);
    WIN32_FIND_DATAW e;
    HANDLE h = FindFirstFileW((from + L"\\*.*").c_str(), &e);
    if (h == INVALID_HANDLE_VALUE) return 0;
    int n = 0;
    do {
        if (!wcscmp(e.cFileName, L".") || !wcscmp(e.cFileName, L"..")) continue;
        std::wstring src = from + L"\\" + e.cFileName, dst = to + L"\\" + e.cFileName;
        if (e.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (deep) n += CopyTree(src, dst, deep);
        } else if (CopyFileW(src.c_str(), dst.c_str(), FALSE)) {
            SetFileAttributesW(dst.c_str(), FILE_ATTRIBUTE_NORMAL);
            ++n;
        }
    } while (FindNextFileW(h, &e));
    FindClose(h);
    return n;
}

int MakeSystemTree() {
    CreateDirectoryW(kSystem, nullptr);
    int n = CopyTree(L"C:\\windows\\system32", std::wstring(kSystem) + L"\\system32", true);
    n += CopyTree(L"C:\\windows", std::wstring(kSystem) + L"\\windows", false);
    n += CopyTree(L"C:\\Program Files", std::wstring(kSystem) + L"\\programs", true);
    return n;
}

// One bare walk: `file` is called with the path of every file.
template <class PerFile>
int Walk(const std::wstring& dir, PerFile& file) {
    WIN32_FIND_DATAW e;
    HANDLE h = FindFirstFileW((dir + L"\\*.*").c_str(), &e);
    if (h == INVALID_HANDLE_VALUE) return 0;
    int n = 0;
    do {
        if (e.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (wcscmp(e.cFileName, L".") && wcscmp(e.cFileName, L"..")) n += Walk(dir + L"\\" + e.cFileName, file);
        } else {
            ++n;
            file(dir + L"\\" + e.cFileName);
        }
    } while (FindNextFileW(h, &e));
    FindClose(h);
    return n;
}

volatile unsigned g_sink;

struct EnumerateOnly {
    void operator()(const std::wstring&) {}
};

// One message-queue look per entry, as the walk's pump does.
struct Peek {
    void operator()(const std::wstring&) {
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
    }
};

// The same look through the queue's status.
struct QueueStatus {
    void operator()(const std::wstring&) { g_status = g_status + GetQueueStatus(QS_ALLINPUT); }
    static inline volatile DWORD g_status = 0;
};

struct OpenAndMap {
    void operator()(const std::wstring& path) {
        HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (f == INVALID_HANDLE_VALUE) return;
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
    }
};

struct OpenAndRead {
    DWORD bytes;
    std::vector<unsigned char> buffer = std::vector<unsigned char>(bytes);
    void operator()(const std::wstring& path) {
        HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (f == INVALID_HANDLE_VALUE) return;
        DWORD got = 0;
        if (ReadFile(f, buffer.data(), bytes, &got, nullptr) && got) g_sink = g_sink + buffer[0];
        CloseHandle(f);
    }
};

double Now() {
    static LARGE_INTEGER freq = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / static_cast<double>(freq.QuadPart);
}

std::string Ansi(const std::wstring& w) { return std::string(w.begin(), w.end()); }

// The whole program, silent: seconds from start to exit.
double SilentRun(const std::wstring& tree) {
    std::string dir = testsupport::NewWorkDir("silent");
    double t0 = Now();
    testsupport::ProcessResult r = testsupport::Run("\"" + testsupport::BinDir() + "\\FixQuorvin.exe\" /S /NOSILENTREBOOT /ONLYDIR=" +
                                      Ansi(tree),
                                  dir, 1800000);
    double t1 = Now();
    return r.finished ? t1 - t0 : -1;
}

// The whole program with its dialog: seconds from Start to the report box.
double InteractiveRun(const std::wstring& tree) {
    const std::string title = "Ostrovel W32.Quorvin Removal Tool 1.0.4";
    std::string dir = testsupport::NewWorkDir("dialog");
    testsupport::Process app;
    if (!app.Start("\"" + testsupport::BinDir() + "\\FixQuorvin.exe\" /ONLYDIR=" + Ansi(tree), dir)) return -1;
    HWND eula = testsupport::ui::WaitForDialog(app.Id(), title + " EULA", 1013, 60000);
    if (!eula) return -1;
    testsupport::ui::Press(eula, IDOK);
    HWND dlg = testsupport::ui::WaitForDialog(app.Id(), title, 1000, 60000);
    if (!dlg) return -1;
    double t0 = Now();
    testsupport::ui::Press(dlg, 1000);
    HWND report = nullptr;
    // Polled rarely: the driver shares the machine with the scan.
    while (!report && Now() - t0 < 1800) {
        Sleep(20);
        std::vector<HWND> boxes = testsupport::ui::MessageBoxes(app.Id(), title);
        report = boxes.empty() ? nullptr : boxes.front();
    }
    double t1 = Now();
    if (!report) return -1;
    testsupport::ui::Press(report, IDOK);
    app.Wait(60000);
    return t1 - t0;
}

INT_PTR CALLBACK PlainProc(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

struct Row {
    std::string tree, baseline;
    double base, scan;
    int baseFiles, scanFiles;
};

}  // namespace

int main(int argc, char** argv) {
    int small = argc > 1 ? std::atoi(argv[1]) : 20000;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    bool heads = argc > 3 && !std::strcmp(argv[3], "heads");
    bool diag = argc > 3 && !std::strcmp(argv[3], "diag");
    testsupport::ui::PrepareDesktop();
    CreateDirectoryW(L"C:\\quorvin", nullptr);
    CreateDirectoryW(kWork, nullptr);
    CreateDirectoryW(kEmpty, nullptr);
    int smallFiles = MakeSmallTree(small);
    int systemFiles = MakeSystemTree();

    // The dialog object (never shown) is the walk's display, as in a silent
    // run of the program: its message pump is part of what is measured.
    TrevaskDlg dlg;
    RemovalRun& run = dlg.run;
    run.options.silentMode = true;
    IdentifyPlatform(run.flags);
    run.flags.maxPathChars = run.flags.isNtFamily ? kMaxPathCharsNt : kMaxPathChars9x;
    if (!LoadApiTable(run.api, run.flags)) return 1;

    std::vector<Row> rows;
    struct Tree {
        const char* name;
        const wchar_t* root;
        int files;
    } trees[] = {{"small", kSmall, smallFiles}, {"system", kSystem, systemFiles}};
    std::vector<std::pair<std::string, DWORD>> reads = {{"open+read 4K", 4096}};
    if (heads)
        for (DWORD b : {512u, 16384u, 65536u}) reads.push_back({"open+read " + std::to_string(b), b});
    for (const Tree& tree : trees) {
        EnumerateOnly enumerate;
        OpenAndMap map;
        Walk(tree.root, enumerate);   // warm the caches once
        Walk(tree.root, map);
        run.options.onlyDirPath = Ansi(tree.root);
        double best[3] = {1e30, 1e30, 1e30};
        std::vector<double> bestRead(reads.size(), 1e30);
        int counted[3] = {};
        for (int r = 0; r < rounds; ++r) {
            double t0 = Now();
            counted[0] = Walk(tree.root, enumerate);
            double t1 = Now();
            best[0] = std::min(best[0], t1 - t0);

            t0 = Now();
            counted[1] = Walk(tree.root, map);
            t1 = Now();
            best[1] = std::min(best[1], t1 - t0);

            for (size_t i = 0; i < reads.size(); ++i) {
                OpenAndRead read{reads[i].second};
                t0 = Now();
                Walk(tree.root, read);
                t1 = Now();
                bestRead[i] = std::min(bestRead[i], t1 - t0);
            }

            run.stats = RemovalStats{};
            t0 = Now();
            ScanDrives(run, dlg);
            t1 = Now();
            counted[2] = static_cast<int>(run.stats.filesScanned);
            best[2] = std::min(best[2], t1 - t0);
        }
        rows.push_back({tree.name, "enumerate only", best[0], best[2], counted[0], counted[2]});
        if (diag) {
            // Where the scan's time goes: the pump's look at the queue, and the
            // walk without it.
            Peek peek;
            QueueStatus status;
            RunProgress quiet;
            double bestPeek = 1e30, bestQuiet = 1e30, bestStatus = 1e30;
            for (int r = 0; r < rounds; ++r) {
                double t0 = Now();
                Walk(tree.root, peek);
                double t1 = Now();
                bestPeek = std::min(bestPeek, t1 - t0);
                t0 = Now();
                Walk(tree.root, status);
                t1 = Now();
                bestStatus = std::min(bestStatus, t1 - t0);
                t0 = Now();
                ScanDrives(run, quiet);
                t1 = Now();
                bestQuiet = std::min(bestQuiet, t1 - t0);
            }
            rows.push_back({tree.name, "enumerate+peek", bestPeek, best[2], counted[0], counted[2]});
            rows.push_back({tree.name, "enumerate+status", bestStatus, best[2], counted[0], counted[2]});
            rows.push_back({tree.name, "scan without pump", bestQuiet, best[2], counted[0], counted[2]});
            // The same scan with the program's dialog shown in this process.
            HMODULE module = LoadLibraryExA((testsupport::BinDir() + "\\FixQuorvin.exe").c_str(), nullptr,
                                            LOAD_LIBRARY_AS_DATAFILE);
            HWND hwnd = module ? CreateDialogParamA(module, MAKEINTRESOURCEA(102), nullptr, PlainProc, 0) : nullptr;
            if (hwnd) {
                ShowWindow(hwnd, SW_SHOW);
                TrevaskDlg shown;
                shown.m_hWnd = hwnd;
                shown.run.flags = run.flags;
                shown.run.options = run.options;
                shown.run.options.silentMode = false;
                LoadApiTable(shown.run.api, shown.run.flags);
                double bestShown = 1e30;
                for (int r = 0; r < rounds; ++r) {
                    double t0 = Now();
                    ScanDrives(shown.run, shown);
                    double t1 = Now();
                    bestShown = std::min(bestShown, t1 - t0);
                }
                rows.push_back({tree.name, "scan, dialog shown", best[2], bestShown, counted[2], counted[2]});
                shown.m_hWnd = nullptr;
                DestroyWindow(hwnd);
            }
        }
        rows.push_back({tree.name, "bare open+map", best[1], best[2], counted[1], counted[2]});
        for (size_t i = 0; i < reads.size(); ++i)
            rows.push_back({tree.name, "bare " + reads[i].first, bestRead[i], best[2], counted[1], counted[2]});
    }

    // The program itself: silent against the dialog, each less its run over an
    // empty folder. One run of each first, for the caches.
    if (!diag) {
        SilentRun(kEmpty);
        InteractiveRun(kEmpty);
    }
    for (const Tree& tree : diag ? std::vector<Tree>{} : std::vector<Tree>(std::begin(trees), std::end(trees))) {
        double silent = 1e30, dialog = 1e30, silentEmpty = 1e30, dialogEmpty = 1e30;
        for (int r = 0; r < rounds; ++r) {
            silentEmpty = std::min(silentEmpty, SilentRun(kEmpty));
            silent = std::min(silent, SilentRun(tree.root));
            dialogEmpty = std::min(dialogEmpty, InteractiveRun(kEmpty));
            dialog = std::min(dialog, InteractiveRun(tree.root));
        }
        std::printf("%s: silent run %.3f s (empty %.3f s), dialog run %.3f s (empty %.3f s)\n", tree.name, silent,
                    silentEmpty, dialog, dialogEmpty);
        rows.push_back({tree.name, "silent run", silent - silentEmpty, dialog - dialogEmpty, tree.files, tree.files});
    }

    std::printf("best of %d rounds, platform %s; the dialog rows: scan = run with the dialog\n", rounds,
                run.flags.isNtFamily ? "NT (wide)" : "9x (ANSI)");
    std::printf("%-7s %-20s %7s %10s %10s %7s\n", "tree", "baseline", "files", "baseline s", "scan s", "ratio");
    for (const Row& r : rows)
        std::printf("%-7s %-20s %7d %10.3f %10.3f %7.2f\n", r.tree.c_str(), r.baseline.c_str(), r.baseFiles, r.base,
                    r.scan, r.scan / r.base);
    return 0;
}
