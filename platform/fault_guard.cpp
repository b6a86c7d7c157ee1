#include "platform/fault_guard.h"

#include <windows.h>

// mingw has no __try. On x86 the structured exception chain is a list of
// records on the stack, headed at fs:[0], available on every Windows of the
// 9x and NT families (vectored handlers are not). The guard pushes its own
// record; its handler jumps back to the guard's resume point.

#if defined(__i386__)

namespace {

struct GuardFrame {
    EXCEPTION_REGISTRATION_RECORD record;   // first: the system passes its address to the handler
    void* resume[5];                        // __builtin_setjmp buffer
    bool anyException;                      // every warning or error, not memory faults only
};

EXCEPTION_DISPOSITION NTAPI OnFault(EXCEPTION_RECORD* record, void* establisher, CONTEXT*, void*) {
    if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) return ExceptionContinueSearch;
    auto* frame = static_cast<GuardFrame*>(establisher);
    DWORD code = record->ExceptionCode;
    bool caught = frame->anyException ? (code & 0x80000000u) != 0
                                      : code == EXCEPTION_ACCESS_VIOLATION || code == EXCEPTION_IN_PAGE_ERROR;
    if (!caught) return ExceptionContinueSearch;
    __builtin_longjmp(frame->resume, 1);
}

EXCEPTION_REGISTRATION_RECORD* ChainHead() {
    EXCEPTION_REGISTRATION_RECORD* head;
    __asm__ __volatile__("movl %%fs:0, %0" : "=r"(head));
    return head;
}

void SetChainHead(EXCEPTION_REGISTRATION_RECORD* head) {
    __asm__ __volatile__("movl %0, %%fs:0" : : "r"(head) : "memory");
}

__attribute__((noinline)) bool CallGuardedFrame(void (*fn)(void*), void* arg, bool anyException) {
    GuardFrame frame;
    frame.anyException = anyException;
    frame.record.Next = ChainHead();
    frame.record.Handler = OnFault;
    if (__builtin_setjmp(frame.resume) != 0) {
        // Back from the handler: the dispatcher's own records lie below the
        // restored stack pointer, so the chain continues where it did before.
        SetChainHead(frame.record.Next);
        return false;
    }
    SetChainHead(&frame.record);
    try {
        fn(arg);
    } catch (...) {
        // A C++ exception unwinds past this frame: take our record out first.
        SetChainHead(frame.record.Next);
        throw;
    }
    SetChainHead(frame.record.Next);
    return true;
}

}  // namespace

bool CallCatchingFaults(void (*fn)(void*), void* arg) { return CallGuardedFrame(fn, arg, false); }
bool CallCatchingExceptions(void (*fn)(void*), void* arg) { return CallGuardedFrame(fn, arg, true); }

#else

bool CallCatchingFaults(void (*fn)(void*), void* arg) {
    fn(arg);
    return true;
}
bool CallCatchingExceptions(void (*fn)(void*), void* arg) { return CallCatchingFaults(fn, arg); }

#endif
