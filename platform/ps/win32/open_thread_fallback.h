// OpenThread for systems that do not export it. OpenThreadFallback (declared
// with the bindings) chooses once; the pieces are here for the tests, which
// run on a system that exports OpenThread under every reported version.
#pragma once
#include <windows.h>

#include <cstdint>

// Sets "call not implemented" and returns a null handle.
HANDLE WINAPI OpenThreadMissing(DWORD desiredAccess, BOOL inherit, DWORD threadId);
// NT 4: the native NtOpenThread, its status turned into the last error.
HANDLE WINAPI OpenThreadNative(DWORD desiredAccess, BOOL inherit, DWORD threadId);
// 9x: an entry made by hand in the process's handle table. Only after
// PrepareHandleTableEmulation succeeded, and only on the 9x kernel.
HANDLE WINAPI OpenThreadFromHandleTable(DWORD desiredAccess, BOOL inherit, DWORD threadId);

// The choice for the running system, made anew on every call: one of the
// three above.
void* ChooseOpenThread();

// What the 9x emulation takes from the running kernel.
using HandleTableReallocator = void*(WINAPI*)(DWORD flags, void* table, DWORD bytes, DWORD one);
struct HandleTableKernel {
    bool ready = false;
    uint32_t idKey = 0;                          // process id XOR process database
    HandleTableReallocator reallocate = nullptr; // the ninth export of KERNEL32
    CRITICAL_SECTION lock{};
};
// Fills the kernel's part once; false when KERNEL32's ninth export is no
// routine of its own.
bool PrepareHandleTableEmulation();
const HandleTableKernel& HandleTableKernelState();
