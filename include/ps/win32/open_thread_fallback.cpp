// OpenThread for systems that do not export it.
#include "ps/win32/ps_win32_bindings.h"

namespace {

HANDLE WINAPI OpenThreadMissing(DWORD, BOOL, DWORD) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
}

}  // namespace

void* OpenThreadFallback() { return reinterpret_cast<void*>(&OpenThreadMissing); }
