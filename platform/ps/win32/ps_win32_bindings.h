// The bound system functions of the process library and of the code that
// uses it: dyn_<name> for each name, called like the system function.
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
    X(OpenThreadTokenFallback, BOOL, OpenThreadToken, HANDLE, DWORD, BOOL, PHANDLE)                           \
    X(OpenProcessTokenFallback, BOOL, OpenProcessToken, HANDLE, DWORD, PHANDLE)                               \
    X(OpenSCManagerAFallback, SC_HANDLE, OpenSCManagerA, LPCSTR, LPCSTR, DWORD)                               \
    X(nullptr, BOOL, AdjustTokenPrivileges, HANDLE, BOOL, PTOKEN_PRIVILEGES, DWORD, PTOKEN_PRIVILEGES, PDWORD) \
    X(nullptr, BOOL, CloseServiceHandle, SC_HANDLE)                                                            \
    X(nullptr, BOOL, ControlService, SC_HANDLE, DWORD, LPSERVICE_STATUS)                                       \
    X(nullptr, SC_HANDLE, CreateServiceA, SC_HANDLE, LPCSTR, LPCSTR, DWORD, DWORD, DWORD, DWORD, LPCSTR,       \
      LPCSTR, LPDWORD, LPCSTR, LPCSTR, LPCSTR)                                                                 \
    X(nullptr, SC_HANDLE, CreateServiceW, SC_HANDLE, LPCWSTR, LPCWSTR, DWORD, DWORD, DWORD, DWORD, LPCWSTR,    \
      LPCWSTR, LPDWORD, LPCWSTR, LPCWSTR, LPCWSTR)                                                             \
    X(nullptr, BOOL, DeleteService, SC_HANDLE)                                                                 \
    X(nullptr, BOOL, EnumServicesStatusA, SC_HANDLE, DWORD, DWORD, LPENUM_SERVICE_STATUSA, DWORD, LPDWORD,     \
      LPDWORD, LPDWORD)                                                                                        \
    X(nullptr, BOOL, EnumServicesStatusW, SC_HANDLE, DWORD, DWORD, LPENUM_SERVICE_STATUSW, DWORD, LPDWORD,     \
      LPDWORD, LPDWORD)                                                                                        \
    X(nullptr, BOOL, LookupPrivilegeValueA, LPCSTR, LPCSTR, PLUID)                                             \
    X(nullptr, SC_HANDLE, OpenServiceA, SC_HANDLE, LPCSTR, DWORD)                                              \
    X(nullptr, SC_HANDLE, OpenServiceW, SC_HANDLE, LPCWSTR, DWORD)                                             \
    X(nullptr, BOOL, StartServiceA, SC_HANDLE, DWORD, LPCSTR*)                                                 \
    X(nullptr, BOOL, StartServiceW, SC_HANDLE, DWORD, LPCWSTR*)                                                \
    X(nullptr, LONG, RegSetValueExA, HKEY, LPCSTR, DWORD, DWORD, const BYTE*, DWORD)                           \
    X(nullptr, LONG, RegUnLoadKeyA, HKEY, LPCSTR)

#define PS_KERNEL32_FUNCTIONS(X)                                                                               \
    X(CreateToolhelp32SnapshotFallback, HANDLE, CreateToolhelp32Snapshot, DWORD, DWORD)                       \
    X(OpenThreadFallback, HANDLE, OpenThread, DWORD, BOOL, DWORD)                                             \
    X(nullptr, BOOL, Heap32First, LPHEAPENTRY32, DWORD, ULONG_PTR)                                             \
    X(nullptr, BOOL, Heap32ListFirst, HANDLE, LPHEAPLIST32)                                                    \
    X(nullptr, BOOL, Heap32ListNext, HANDLE, LPHEAPLIST32)                                                     \
    X(nullptr, BOOL, Heap32Next, LPHEAPENTRY32)                                                                \
    X(nullptr, BOOL, Module32First, HANDLE, LPMODULEENTRY32)                                                   \
    X(nullptr, BOOL, Module32Next, HANDLE, LPMODULEENTRY32)                                                    \
    X(nullptr, BOOL, Process32First, HANDLE, LPPROCESSENTRY32)                                                 \
    X(nullptr, BOOL, Process32Next, HANDLE, LPPROCESSENTRY32)                                                  \
    X(nullptr, BOOL, Thread32First, HANDLE, LPTHREADENTRY32)                                                   \
    X(nullptr, BOOL, Thread32Next, HANDLE, LPTHREADENTRY32)                                                    \
    X(nullptr, BOOL, CloseHandle, HANDLE)                                                                      \
    X(nullptr, HANDLE, CreateFileA, LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE)         \
    X(nullptr, HANDLE, CreateFileMappingA, HANDLE, LPSECURITY_ATTRIBUTES, DWORD, DWORD, DWORD, LPCSTR)         \
    X(nullptr, HANDLE, CreateFileMappingW, HANDLE, LPSECURITY_ATTRIBUTES, DWORD, DWORD, DWORD, LPCWSTR)        \
    X(nullptr, HANDLE, CreateFileW, LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE)        \
    X(nullptr, BOOL, DeviceIoControl, HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED)      \
    X(nullptr, void, EnterCriticalSection, LPCRITICAL_SECTION)                                                 \
    X(nullptr, HRSRC, FindResourceA, HMODULE, LPCSTR, LPCSTR)                                                  \
    X(nullptr, HRSRC, FindResourceW, HMODULE, LPCWSTR, LPCWSTR)                                                \
    X(nullptr, BOOL, FreeLibrary, HMODULE)                                                                     \
    X(nullptr, BOOL, FreeResource, HGLOBAL)                                                                    \
    X(nullptr, HANDLE, GetCurrentProcess)                                                                      \
    X(nullptr, DWORD, GetCurrentProcessId)                                                                     \
    X(nullptr, HANDLE, GetCurrentThread)                                                                       \
    X(nullptr, DWORD, GetCurrentThreadId)                                                                      \
    X(nullptr, DWORD, GetLastError)                                                                            \
    X(nullptr, HMODULE, GetModuleHandleA, LPCSTR)                                                              \
    X(nullptr, HMODULE, GetModuleHandleW, LPCWSTR)                                                             \
    X(nullptr, UINT, GetTempFileNameA, LPCSTR, LPCSTR, UINT, LPSTR)                                            \
    X(nullptr, UINT, GetTempFileNameW, LPCWSTR, LPCWSTR, UINT, LPWSTR)                                         \
    X(nullptr, DWORD, GetTempPathA, DWORD, LPSTR)                                                              \
    X(nullptr, DWORD, GetTempPathW, DWORD, LPWSTR)                                                             \
    X(nullptr, BOOL, GetThreadContext, HANDLE, LPCONTEXT)                                                      \
    X(nullptr, BOOL, GetThreadSelectorEntry, HANDLE, DWORD, LPLDT_ENTRY)                                       \
    X(nullptr, BOOL, GetVersionExA, LPOSVERSIONINFOA)                                                          \
    X(nullptr, BOOL, GetVersionExW, LPOSVERSIONINFOW)                                                          \
    X(nullptr, void, InitializeCriticalSection, LPCRITICAL_SECTION)                                            \
    X(nullptr, void, LeaveCriticalSection, LPCRITICAL_SECTION)                                                 \
    X(nullptr, HMODULE, LoadLibraryA, LPCSTR)                                                                  \
    X(nullptr, HGLOBAL, LoadResource, HMODULE, HRSRC)                                                          \
    X(nullptr, HLOCAL, LocalAlloc, UINT, SIZE_T)                                                               \
    X(nullptr, HLOCAL, LocalFree, HLOCAL)                                                                      \
    X(nullptr, LPVOID, LockResource, HGLOBAL)                                                                  \
    X(nullptr, LPVOID, MapViewOfFile, HANDLE, DWORD, DWORD, DWORD, SIZE_T)                                     \
    X(nullptr, HANDLE, OpenProcess, DWORD, BOOL, DWORD)                                                        \
    X(nullptr, BOOL, ReadFile, HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED)                                   \
    X(nullptr, BOOL, ReadProcessMemory, HANDLE, LPCVOID, LPVOID, SIZE_T, SIZE_T*)                              \
    X(nullptr, DWORD, ResumeThread, HANDLE)                                                                    \
    X(nullptr, void, SetLastError, DWORD)                                                                      \
    X(nullptr, DWORD, SizeofResource, HMODULE, HRSRC)                                                          \
    X(nullptr, DWORD, SuspendThread, HANDLE)                                                                   \
    X(nullptr, BOOL, TerminateProcess, HANDLE, UINT)                                                           \
    X(nullptr, BOOL, TerminateThread, HANDLE, DWORD)                                                           \
    X(nullptr, BOOL, UnmapViewOfFile, LPCVOID)                                                                 \
    X(nullptr, SIZE_T, VirtualQueryEx, HANDLE, LPCVOID, PMEMORY_BASIC_INFORMATION, SIZE_T)                     \
    X(nullptr, DWORD, WaitForSingleObject, HANDLE, DWORD)                                                      \
    X(nullptr, BOOL, WriteFile, HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED)                                 \
    X(nullptr, BOOL, WriteProcessMemory, HANDLE, LPVOID, LPCVOID, SIZE_T, SIZE_T*)

// The native API, with its structures passed as plain pointers; results are NTSTATUS values.
#define PS_NTDLL_FUNCTIONS(X)                                                                                  \
    X(nullptr, LONG, NtClose, HANDLE)                                                                          \
    X(nullptr, LONG, NtOpenProcess, PHANDLE, ACCESS_MASK, PVOID, PVOID)                                        \
    X(nullptr, LONG, NtOpenSection, PHANDLE, ACCESS_MASK, PVOID)                                               \
    X(nullptr, LONG, NtOpenThread, PHANDLE, ACCESS_MASK, PVOID, PVOID)                                         \
    X(nullptr, LONG, NtQueryInformationProcess, HANDLE, ULONG, PVOID, ULONG, PULONG)                           \
    X(nullptr, LONG, NtQueryInformationThread, HANDLE, ULONG, PVOID, ULONG, PULONG)                            \
    X(nullptr, LONG, NtQuerySystemInformation, ULONG, PVOID, ULONG, PULONG)                                    \
    X(nullptr, LONG, NtQueryVirtualMemory, HANDLE, PVOID, ULONG, PVOID, SIZE_T, PSIZE_T)                       \
    X(nullptr, LONG, NtReadVirtualMemory, HANDLE, PVOID, PVOID, SIZE_T, PSIZE_T)                               \
    X(nullptr, LONG, NtSetSystemInformation, ULONG, PVOID, ULONG)                                              \
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
void* OpenThreadTokenFallback();
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
constexpr int kAdvapi32BoundNames = 19;
constexpr int kKernel32BoundNames = 60;
constexpr int kNtdllBoundNames = 11;
constexpr int kUser32BoundNames = 1;
