// OpenThread for systems that do not export it: Windows 95 and 98 get a
// handle-table entry made by hand, NT 4 the native call, anything else the
// not-implemented replacement.
#include "ps/win32/open_thread_fallback.h"

#include <winternl.h>

#include "ps/win32/handle_table_core.h"
#include "ps/win32/system_functions.h"

static_assert(sizeof(void*) == 4, "the kernel structures are reached through 32-bit pointers");
static_assert(sizeof(OBJECT_ATTRIBUTES) == 24 && sizeof(OSVERSIONINFOA) == 148);

namespace {

constexpr ULONG kObjInherit = 2;
constexpr DWORD kFirstMeMinorVersion = 90;

HandleTableKernel g_kernel;

// The own process's kernel memory, read and written in place.
class RunningKernel final : public handle_table::KernelView {
public:
    uint32_t Read32(uint32_t address) override { return *At<uint32_t>(address); }
    void Write32(uint32_t address, uint32_t value) override { *At<uint32_t>(address) = value; }
    uint16_t Read16(uint32_t address) override { return *At<uint16_t>(address); }
    void Write16(uint32_t address, uint16_t value) override { *At<uint16_t>(address) = value; }
    uint32_t Reallocate(uint32_t flags, uint32_t table, uint32_t bytes, uint32_t one) override {
        return reinterpret_cast<uintptr_t>(g_kernel.reallocate(flags, reinterpret_cast<void*>(table), bytes, one));
    }

private:
    template <typename T> static volatile T* At(uint32_t address) {
        return reinterpret_cast<volatile T*>(static_cast<uintptr_t>(address));
    }
};

}  // namespace

HANDLE WINAPI OpenThreadMissing(DWORD, BOOL, DWORD) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
}

HANDLE WINAPI OpenThreadNative(DWORD desiredAccess, BOOL inherit, DWORD threadId) {
    OBJECT_ATTRIBUTES attributes = {};
    attributes.Length = sizeof attributes;
    attributes.Attributes = inherit ? kObjInherit : 0;
    CLIENT_ID client = {nullptr, reinterpret_cast<HANDLE>(static_cast<uintptr_t>(threadId))};
    HANDLE thread = nullptr;
    const LONG status = dyn_NtOpenThread(&thread, desiredAccess, &attributes, &client);
    if (status != 0) {
        dyn_SetLastError(dyn_RtlNtStatusToDosError(status));
        return nullptr;
    }
    return thread;
}

HANDLE WINAPI OpenThreadFromHandleTable(DWORD desiredAccess, BOOL inherit, DWORD threadId) {
    // The 9x kernel hands out its object pointers as ids, XORed with a key.
    const uint32_t processDatabase = dyn_GetCurrentProcessId() ^ g_kernel.idKey;
    const uint32_t threadObject = threadId ^ g_kernel.idKey;
    RunningKernel kernel;
    dyn_EnterCriticalSection(&g_kernel.lock);
    const uint32_t handle =
        handle_table::AddThreadHandle(kernel, processDatabase, threadObject, desiredAccess, inherit != FALSE);
    dyn_LeaveCriticalSection(&g_kernel.lock);
    if (!handle) dyn_SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handle));
}

bool PrepareHandleTableEmulation() {
    if (g_kernel.ready) return true;
    const auto* base = reinterpret_cast<const uint8_t*>(dyn_GetModuleHandleA("KERNEL32.DLL"));
    if (!base) return false;
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (directory.VirtualAddress == 0) return false;
    const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + directory.VirtualAddress);
    if (exports->NumberOfFunctions < 9) return false;
    // The ninth entry is the kernel's own routine that grows handle tables.
    const DWORD rva = reinterpret_cast<const DWORD*>(base + exports->AddressOfFunctions)[8];
    if (rva == 0) return false;
    // An entry inside the export directory forwards to another library's
    // function: no routine of this kernel (Wine's KERNEL32 has such entries).
    if (rva >= directory.VirtualAddress && rva - directory.VirtualAddress < directory.Size) return false;
    g_kernel.reallocate = reinterpret_cast<HandleTableReallocator>(const_cast<uint8_t*>(base + rva));
    // The thread information block holds the process database at 0x30.
    uint32_t processDatabase;
    asm volatile("movl %%fs:0x30, %0" : "=r"(processDatabase));
    g_kernel.idKey = dyn_GetCurrentProcessId() ^ processDatabase;
    dyn_InitializeCriticalSection(&g_kernel.lock);
    g_kernel.ready = true;
    return true;
}

const HandleTableKernel& HandleTableKernelState() { return g_kernel; }

void* ChooseOpenThread() {
    try {
        OSVERSIONINFOA version = {};
        version.dwOSVersionInfoSize = sizeof version;
        if (dyn_GetVersionExA(&version)) {
            if (version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS && version.dwMinorVersion < kFirstMeMinorVersion) {
                if (PrepareHandleTableEmulation()) return reinterpret_cast<void*>(&OpenThreadFromHandleTable);
            } else if (version.dwPlatformId == VER_PLATFORM_WIN32_NT && version.dwMajorVersion < 5) {
                return reinterpret_cast<void*>(&OpenThreadNative);
            }
        }
    } catch (_dynamic_dll_exception* missing) {
        // A further missing function: the emulation cannot work here.
        delete missing;
    }
    return reinterpret_cast<void*>(&OpenThreadMissing);
}

void* OpenThreadFallback() {
    static void* const chosen = ChooseOpenThread();
    return chosen;
}
