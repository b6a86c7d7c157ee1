#include "ps/win32/system_functions.h"

constinit dynamic_dll advapi32_dll("ADVAPI32.DLL");
constinit dynamic_dll kernel32_dll("KERNEL32.DLL");
constinit dynamic_dll ntdll_dll("NTDLL.DLL");
constinit dynamic_dll user32_dll("USER32.DLL");

#define PS_DEFINE_ADVAPI32(fallback, ret, name, ...) \
    PS_DEFINE_DYNAMIC(advapi32_dll, fallback, ret, name __VA_OPT__(, ) __VA_ARGS__);
#define PS_DEFINE_KERNEL32(fallback, ret, name, ...) \
    PS_DEFINE_DYNAMIC(kernel32_dll, fallback, ret, name __VA_OPT__(, ) __VA_ARGS__);
#define PS_DEFINE_NTDLL(fallback, ret, name, ...) \
    PS_DEFINE_DYNAMIC(ntdll_dll, fallback, ret, name __VA_OPT__(, ) __VA_ARGS__);
PS_ADVAPI32_FUNCTIONS(PS_DEFINE_ADVAPI32)
PS_KERNEL32_FUNCTIONS(PS_DEFINE_KERNEL32)
PS_NTDLL_FUNCTIONS(PS_DEFINE_NTDLL)
#define PS_DEFINE_USER32(fallback, ret, name, ...) \
    PS_DEFINE_DYNAMIC(user32_dll, fallback, ret, name __VA_OPT__(, ) __VA_ARGS__);
PS_USER32_FUNCTIONS(PS_DEFINE_USER32)

#define PS_COUNT_ONE(fallback, ret, name, ...) +1
static_assert(0 PS_ADVAPI32_FUNCTIONS(PS_COUNT_ONE) == kAdvapi32BoundNames);
static_assert(0 PS_KERNEL32_FUNCTIONS(PS_COUNT_ONE) == kKernel32BoundNames);
static_assert(0 PS_NTDLL_FUNCTIONS(PS_COUNT_ONE) == kNtdllBoundNames);
static_assert(0 PS_USER32_FUNCTIONS(PS_COUNT_ONE) == kUser32BoundNames);

void ResetDynamicFunctions() {
#define PS_RESET_ONE(fallback, ret, name, ...) dyn_##name.reset();
    PS_ADVAPI32_FUNCTIONS(PS_RESET_ONE)
    PS_KERNEL32_FUNCTIONS(PS_RESET_ONE)
    PS_NTDLL_FUNCTIONS(PS_RESET_ONE)
    PS_USER32_FUNCTIONS(PS_RESET_ONE)
#undef PS_RESET_ONE
}

// Replacements for functions a system does not export: they fail the way
// the function fails, with "call not implemented" as the last error.
namespace {

BOOL WINAPI GetTokenInformationMissing(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

BOOL WINAPI OpenProcessTokenMissing(HANDLE, DWORD, PHANDLE token) {
    if (token) *token = INVALID_HANDLE_VALUE;
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

SC_HANDLE WINAPI OpenSCManagerAMissing(LPCSTR, LPCSTR, DWORD) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
}

HANDLE WINAPI CreateToolhelp32SnapshotMissing(DWORD, DWORD) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return INVALID_HANDLE_VALUE;
}

}  // namespace

void* GetTokenInformationFallback() { return reinterpret_cast<void*>(&GetTokenInformationMissing); }
void* OpenProcessTokenFallback() { return reinterpret_cast<void*>(&OpenProcessTokenMissing); }
void* OpenSCManagerAFallback() { return reinterpret_cast<void*>(&OpenSCManagerAMissing); }
void* CreateToolhelp32SnapshotFallback() { return reinterpret_cast<void*>(&CreateToolhelp32SnapshotMissing); }
