// A process for the process library's tests to look at: two worker threads
// started with CreateThread, pages of known protection, and a file that says
// where everything is. It waits until it is ended.
// usage: thread_host.exe <info file>
#include <windows.h>

#include <cstdint>
#include <cstdio>

namespace {

struct worker_info {
    DWORD id;
    void* teb;
    void* stack_base;
    void* stack_limit;
    HANDLE ready;
};

DWORD WINAPI worker_routine(LPVOID parameter) {
    auto* info = static_cast<worker_info*>(parameter);
    auto* tib = reinterpret_cast<NT_TIB*>(NtCurrentTeb());
    info->id = GetCurrentThreadId();
    info->teb = tib->Self;
    info->stack_base = tib->StackBase;
    info->stack_limit = tib->StackLimit;
    SetEvent(info->ready);
    Sleep(INFINITE);
    return 0;
}

void* page(DWORD protect) { return VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, protect); }

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    worker_info workers[2] = {};
    for (worker_info& w : workers) {
        w.ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        CloseHandle(CreateThread(nullptr, 0, &worker_routine, &w, 0, nullptr));
        WaitForSingleObject(w.ready, 10000);
    }
    void* reserved = VirtualAlloc(nullptr, 4096, MEM_RESERVE, PAGE_READWRITE);
    char temp[MAX_PATH + 20];
    std::snprintf(temp, sizeof temp, "%s.tmp", argv[1]);
    FILE* out = std::fopen(temp, "w");
    if (!out) return 3;
    const auto* image = reinterpret_cast<const uint8_t*>(GetModuleHandleA(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(image + dos->e_lfanew);
    const uintptr_t base = reinterpret_cast<uintptr_t>(image);
    std::fprintf(out, "image=%lu\nentry=%lu\nmain_thread=%lu\nroutine=%lu\n", static_cast<unsigned long>(base),
                 static_cast<unsigned long>(base + nt->OptionalHeader.AddressOfEntryPoint),
                 GetCurrentThreadId(), static_cast<unsigned long>(reinterpret_cast<uintptr_t>(&worker_routine)));
    for (int i = 0; i < 2; ++i)
        std::fprintf(out, "worker%d=%lu\nteb%d=%lu\nstack_base%d=%lu\nstack_limit%d=%lu\n", i, workers[i].id, i,
                     static_cast<unsigned long>(reinterpret_cast<uintptr_t>(workers[i].teb)), i,
                     static_cast<unsigned long>(reinterpret_cast<uintptr_t>(workers[i].stack_base)), i,
                     static_cast<unsigned long>(reinterpret_cast<uintptr_t>(workers[i].stack_limit)));
    const struct { const char* name; DWORD protect; } pages[] = {
        {"readonly", PAGE_READONLY},          {"readwrite", PAGE_READWRITE},
        {"execute", PAGE_EXECUTE},            {"execute_read", PAGE_EXECUTE_READ},
        {"execute_readwrite", PAGE_EXECUTE_READWRITE},
        {"noaccess", PAGE_NOACCESS},          {"guard", PAGE_READWRITE | PAGE_GUARD},
    };
    for (const auto& p : pages)
        std::fprintf(out, "%s=%lu\n", p.name, static_cast<unsigned long>(reinterpret_cast<uintptr_t>(page(p.protect))));
    std::fprintf(out, "reserved=%lu\n", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(reserved)));
    std::fclose(out);
    // Whole file or none: the test waits for the name.
    MoveFileA(temp, argv[1]);
    Sleep(INFINITE);
    return 0;
}
