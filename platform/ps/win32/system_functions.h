// The system functions the program binds at run time (dynamic_dll.h), by
// library: dyn_<name> for each name, called like the system function. A name
// is bound here only where code calls it.
#pragma once
#include <windows.h>
#include <tlhelp32.h>

#include "ps/win32/dynamic_dll.h"
#include "win32/unique_handle.h"

extern dynamic_dll advapi32_dll;   // "ADVAPI32.DLL"
extern dynamic_dll kernel32_dll;   // "KERNEL32.DLL"
extern dynamic_dll ntdll_dll;      // "NTDLL.DLL"
extern dynamic_dll user32_dll;     // "USER32.DLL"

// X(fallback provider or nullptr, result, name, parameter types...)
#define PS_ADVAPI32_FUNCTIONS(X)                                                                               \
    X(GetTokenInformationFallback, BOOL, GetTokenInformation, HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD,   \
      PDWORD)                                                                                                  \
    X(OpenProcessTokenFallback, BOOL, OpenProcessToken, HANDLE, DWORD, PHANDLE)                               \
    X(OpenSCManagerAFallback, SC_HANDLE, OpenSCManagerA, LPCSTR, LPCSTR, DWORD)                               \
    X(nullptr, BOOL, AdjustTokenPrivileges, HANDLE, BOOL, PTOKEN_PRIVILEGES, DWORD, PTOKEN_PRIVILEGES, PDWORD) \
    X(nullptr, BOOL, CloseServiceHandle, SC_HANDLE)                                                            \
    X(nullptr, BOOL, ControlService, SC_HANDLE, DWORD, LPSERVICE_STATUS)                                       \
    X(nullptr, BOOL, DeleteService, SC_HANDLE)                                                                 \
    X(nullptr, BOOL, EnumServicesStatusA, SC_HANDLE, DWORD, DWORD, LPENUM_SERVICE_STATUSA, DWORD, LPDWORD,     \
      LPDWORD, LPDWORD)                                                                                        \
    X(nullptr, BOOL, LookupPrivilegeValueA, LPCSTR, LPCSTR, PLUID)                                             \
    X(nullptr, SC_HANDLE, OpenServiceA, SC_HANDLE, LPCSTR, DWORD)                                              \
    X(nullptr, LONG, RegSetValueExA, HKEY, LPCSTR, DWORD, DWORD, const BYTE*, DWORD)                           \
    X(nullptr, LONG, RegUnLoadKeyA, HKEY, LPCSTR)

#define PS_KERNEL32_FUNCTIONS(X)                                                                               \
    X(CreateToolhelp32SnapshotFallback, HANDLE, CreateToolhelp32Snapshot, DWORD, DWORD)                       \
    X(OpenThreadFallback, HANDLE, OpenThread, DWORD, BOOL, DWORD)                                             \
    X(nullptr, BOOL, Module32First, HANDLE, LPMODULEENTRY32)                                                   \
    X(nullptr, BOOL, Module32Next, HANDLE, LPMODULEENTRY32)                                                    \
    X(nullptr, BOOL, Process32First, HANDLE, LPPROCESSENTRY32)                                                 \
    X(nullptr, BOOL, Process32Next, HANDLE, LPPROCESSENTRY32)                                                  \
    X(nullptr, BOOL, Thread32First, HANDLE, LPTHREADENTRY32)                                                   \
    X(nullptr, BOOL, Thread32Next, HANDLE, LPTHREADENTRY32)                                                    \
    X(nullptr, BOOL, CloseHandle, HANDLE)                                                                      \
    X(nullptr, void, EnterCriticalSection, LPCRITICAL_SECTION)                                                 \
    X(nullptr, BOOL, FreeLibrary, HMODULE)                                                                     \
    X(nullptr, HANDLE, GetCurrentProcess)                                                                      \
    X(nullptr, DWORD, GetCurrentProcessId)                                                                     \
    X(nullptr, DWORD, GetLastError)                                                                            \
    X(nullptr, HMODULE, GetModuleHandleA, LPCSTR)                                                              \
    X(nullptr, BOOL, GetThreadContext, HANDLE, LPCONTEXT)                                                      \
    X(nullptr, BOOL, GetThreadSelectorEntry, HANDLE, DWORD, LPLDT_ENTRY)                                       \
    X(nullptr, BOOL, GetVersionExA, LPOSVERSIONINFOA)                                                          \
    X(nullptr, void, InitializeCriticalSection, LPCRITICAL_SECTION)                                            \
    X(nullptr, void, LeaveCriticalSection, LPCRITICAL_SECTION)                                                 \
    X(nullptr, HMODULE, LoadLibraryA, LPCSTR)                                                                  \
    X(nullptr, HLOCAL, LocalAlloc, UINT, SIZE_T)                                                               \
    X(nullptr, HLOCAL, LocalFree, HLOCAL)                                                                      \
    X(nullptr, LPVOID, MapViewOfFile, HANDLE, DWORD, DWORD, DWORD, SIZE_T)                                     \
    X(nullptr, HANDLE, OpenProcess, DWORD, BOOL, DWORD)                                                        \
    X(nullptr, BOOL, ReadProcessMemory, HANDLE, LPCVOID, LPVOID, SIZE_T, SIZE_T*)                              \
    X(nullptr, DWORD, ResumeThread, HANDLE)                                                                    \
    X(nullptr, void, SetLastError, DWORD)                                                                      \
    X(nullptr, DWORD, SuspendThread, HANDLE)                                                                   \
    X(nullptr, BOOL, TerminateProcess, HANDLE, UINT)                                                           \
    X(nullptr, BOOL, TerminateThread, HANDLE, DWORD)                                                           \
    X(nullptr, SIZE_T, VirtualQueryEx, HANDLE, LPCVOID, PMEMORY_BASIC_INFORMATION, SIZE_T)                     \
    X(nullptr, DWORD, WaitForSingleObject, HANDLE, DWORD)

// The native API, with its structures passed as plain pointers; results are NTSTATUS values.
#define PS_NTDLL_FUNCTIONS(X)                                                                                  \
    X(nullptr, LONG, NtClose, HANDLE)                                                                          \
    X(nullptr, LONG, NtOpenProcess, PHANDLE, ACCESS_MASK, PVOID, PVOID)                                        \
    X(nullptr, LONG, NtOpenThread, PHANDLE, ACCESS_MASK, PVOID, PVOID)                                         \
    X(nullptr, LONG, NtQueryInformationProcess, HANDLE, ULONG, PVOID, ULONG, PULONG)                           \
    X(nullptr, LONG, NtQueryInformationThread, HANDLE, ULONG, PVOID, ULONG, PULONG)                            \
    X(nullptr, LONG, NtQuerySystemInformation, ULONG, PVOID, ULONG, PULONG)                                    \
    X(nullptr, LONG, NtReadVirtualMemory, HANDLE, PVOID, PVOID, SIZE_T, PSIZE_T)                               \
    X(nullptr, ULONG, RtlNtStatusToDosError, LONG)

#define PS_USER32_FUNCTIONS(X) X(nullptr, int, GetSystemMetrics, int)

#define PS_DECLARE_ONE(fallback, ret, name, ...) PS_DECLARE_DYNAMIC(ret, name __VA_OPT__(, ) __VA_ARGS__);
PS_ADVAPI32_FUNCTIONS(PS_DECLARE_ONE)
PS_KERNEL32_FUNCTIONS(PS_DECLARE_ONE)
PS_NTDLL_FUNCTIONS(PS_DECLARE_ONE)
PS_USER32_FUNCTIONS(PS_DECLARE_ONE)
#undef PS_DECLARE_ONE

// Fallback providers (every other name has none).
void* GetTokenInformationFallback();
void* OpenProcessTokenFallback();
void* OpenSCManagerAFallback();
void* CreateToolhelp32SnapshotFallback();
// Chosen once by platform: the 9x handle-table emulation, the NT 4 native
// emulation, or the not-implemented replacement.
void* OpenThreadFallback();

// Kernel handles opened through the bound functions are closed through the
// bound CloseHandle. Null is the failure value (not INVALID_HANDLE_VALUE).
inline bool CloseBoundHandle(HANDLE h) noexcept { return dyn_CloseHandle(h) != 0; }
using UniqueBoundHandle = win32::UniqueHandle<NullEmptyPolicy<HANDLE, &CloseBoundHandle>>;

// Libraries loaded through the bound LoadLibraryA are freed through the bound FreeLibrary.
inline bool FreeBoundModule(HMODULE m) noexcept { return dyn_FreeLibrary(m) != 0; }
using UniqueBoundModule = win32::UniqueHandle<NullEmptyPolicy<HMODULE, &FreeBoundModule>>;

// Every bound function's slot back to unresolved (tests).
void ResetDynamicFunctions();
// The number of bound names per library (tests).
constexpr int kAdvapi32BoundNames = 12;
constexpr int kKernel32BoundNames = 33;
constexpr int kNtdllBoundNames = 8;
constexpr int kUser32BoundNames = 1;
