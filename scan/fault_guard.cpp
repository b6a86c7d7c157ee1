#include "scan/fault_guard.h"

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
};

EXCEPTION_DISPOSITION NTAPI OnFault(EXCEPTION_RECORD* record, void* establisher, CONTEXT*, void*) {
    if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) return ExceptionContinueSearch;
    if (record->ExceptionCode != EXCEPTION_ACCESS_VIOLATION && record->ExceptionCode != EXCEPTION_IN_PAGE_ERROR)
        return ExceptionContinueSearch;
    __builtin_longjmp(static_cast<GuardFrame*>(establisher)->resume, 1);
}

EXCEPTION_REGISTRATION_RECORD* ChainHead() {
    EXCEPTION_REGISTRATION_RECORD* head;
    __asm__ __volatile__("movl %%fs:0, %0" : "=r"(head));
    return head;
}

void SetChainHead(EXCEPTION_REGISTRATION_RECORD* head) {
    __asm__ __volatile__("movl %0, %%fs:0" : : "r"(head) : "memory");
}

}  // namespace

__attribute__((noinline)) bool CallCatchingFaults(void (*fn)(void*), void* arg) {
    GuardFrame frame;
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

#else

bool CallCatchingFaults(void (*fn)(void*), void* arg) {
    fn(arg);
    return true;
}

#endif
