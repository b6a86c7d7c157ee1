// A process for the tests of the process handling: it loads libraries, runs
// a few threads and waits to be ended.
// threat_host READY [load=PATH] [crt] [report=PATH]
//   load=PATH   loads the library PATH (the threat's library stand-in)
//   crt         starts a thread through the run-time library's _beginthreadex
//   report=PATH writes what the tests look for, one "key=value" per line:
//               marker (offset of a marker in the image), routine (the routine
//               the run-time thread runs), plain and plainid (the start and id
//               of a plain thread)
// Sets the event READY once everything runs, then sleeps until it is ended
// (at most 10 minutes).
#include <windows.h>
#include <process.h>

#include <cstdio>
#include <cstring>
#include <string>

// Found by the image signature test: its offset from the image base is reported.
extern "C" __attribute__((used)) const char g_imageMarker[] = "QVIMGMARK";

namespace {

// The routine the run-time library's thread runs.
unsigned __stdcall RunTimeRoutine(void*) {
    for (;;) Sleep(1000);
}

}  // namespace

// A plain thread whose code holds "QSHT" two bytes after its start, where the
// thread signature test looks: a short jump over the text, then the loop.
extern "C" DWORD WINAPI PlainRoutine(void*);
extern "C" DWORD WINAPI PlainLoop(void*) {
    for (;;) Sleep(1000);
}
__asm__(".text\n"
        ".globl _PlainRoutine@4\n"
        "_PlainRoutine@4:\n"
        "\tjmp 1f\n"
        "\t.ascii \"QSHT\"\n"
        "1:\tjmp _PlainLoop@4\n");

namespace {

DWORD WINAPI IdleRoutine(void*) {
    for (;;) Sleep(1000);
}

std::string Option(int argc, char** argv, const char* key) {
    const size_t n = std::strlen(key);
    for (int i = 2; i < argc; ++i)
        if (std::strncmp(argv[i], key, n) == 0 && argv[i][n] == '=') return argv[i] + n + 1;
    return std::string();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    std::string load = Option(argc, argv, "load");
    if (!load.empty() && !LoadLibraryA(load.c_str())) return 3;

    for (int i = 0; i < 2; ++i) CloseHandle(CreateThread(nullptr, 0, IdleRoutine, nullptr, 0, nullptr));
    DWORD plainId = 0;
    CloseHandle(CreateThread(nullptr, 0, PlainRoutine, nullptr, 0, &plainId));

    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "crt") != 0) continue;
        // mingw programs use the system's msvcrt.dll.
        uintptr_t thread = _beginthreadex(nullptr, 0, RunTimeRoutine, nullptr, 0, nullptr);
        if (!thread) return 5;
        CloseHandle(reinterpret_cast<HANDLE>(thread));
    }

    std::string report = Option(argc, argv, "report");
    if (!report.empty()) {
        FILE* f = std::fopen(report.c_str(), "w");
        if (!f) return 6;
        const uintptr_t base = reinterpret_cast<uintptr_t>(GetModuleHandleA(nullptr));
        std::fprintf(f, "marker=%08X\nroutine=%08X\nplain=%08X\nplainid=%08X\n",
                     static_cast<unsigned>(reinterpret_cast<uintptr_t>(g_imageMarker) - base),
                     static_cast<unsigned>(reinterpret_cast<uintptr_t>(&RunTimeRoutine)),
                     static_cast<unsigned>(reinterpret_cast<uintptr_t>(&PlainRoutine)),
                     static_cast<unsigned>(plainId));
        std::fclose(f);
    }

    HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[1]);
    if (ready) {
        SetEvent(ready);
        CloseHandle(ready);
    }
    Sleep(10 * 60 * 1000);
    return 0;
}
