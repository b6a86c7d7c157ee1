// Stand-in library for the binding tests: a function whose result depends on
// every argument and its order, a count of the calls that reached it, and a
// ninth export.
#include <windows.h>

#include <cstring>

namespace {
LONG g_calls = 0;
}

extern "C" {

// 64-bit arguments and results travel in two words; a binding that shifted
// or dropped one gets a different value.
ULONGLONG WINAPI Mix(DWORD a, ULONGLONG b, WORD c, LPCSTR text, DWORD* length) {
    InterlockedIncrement(&g_calls);
    if (length) *length = a + static_cast<DWORD>(std::strlen(text));
    return b * 3 + (static_cast<ULONGLONG>(a) << 20) + c;
}

LONG WINAPI Calls() { return g_calls; }

// Exported ninth, where the 9x kernel has its handle-table routine, so that
// the library can stand in for KERNEL32 when that routine is looked for.
void* WINAPI Reallocate(DWORD, void*, DWORD, DWORD) { return nullptr; }

}  // extern "C"
