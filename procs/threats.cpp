#include "procs/threats.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "run/dry_run_core.h"
#include "run/run_context.h"
#include "procs/process_match_core.h"
#include "ps/win32/ps_win32.h"
#include "ps/win32/system_functions.h"
#include "platform/fault_guard.h"
#include "win32/unique_handle.h"

namespace {

constexpr char kProcessShown[] = "process: %s";
constexpr char kProcessTerminated[] = "process: %s (terminated)";
constexpr char kProcessSuspended[] = "process: %s (suspended)";
constexpr char kProcessUntouchable[] = "process: %s (WARNING: can't be manipulated)";
constexpr char kThreadTerminated[] = "process: %s, thread: %08X (terminated)";
constexpr char kThreadSuspended[] = "process: %s, thread: %08X (suspended)";
constexpr char kThreadUntouchable[] = "process: %s, thread: %08X (WARNING: can't be manipulated)";

constexpr char kShellImage[] = "explorer.exe";
constexpr char kBrowserImage[] = "iexplore.exe";
constexpr char kInjectedLibrary[] = "vcab.dll";
constexpr char kRunTimePrefix[] = "MSVCR";

constexpr DWORD kProcessAllAccess = 0x1F0FFF;
constexpr DWORD kThreadAllAccess = 0x1F03FF;
constexpr DWORD kProcessQueryRead = 0x410;

// The run's own process is never suspended or ended: that would stop the run.
bool IsOwnProcess(ps_process& process) { return process.id() == dyn_GetCurrentProcessId(); }

bool ReadRemote32(HANDLE process, uint32_t address, uint32_t& value) {
    SIZE_T read = 0;
    return dyn_ReadProcessMemory(process, reinterpret_cast<LPCVOID>(static_cast<uintptr_t>(address)), &value,
                                 sizeof value, &read) &&
           read == sizeof value;
}

// ---- Signatures -------------------------------------------------------------

bool SignatureMatches(const ThreatDefinition& def, const ProcessSignature& signature, ps_process& process,
                      HANDLE handle, uint32_t start, uint8_t* buffer) {
    const int parts = def.maxSignatureParts < kMaxSignatureParts ? def.maxSignatureParts : kMaxSignatureParts;
    bool any = false;   // a signature without parts matches nothing
    for (int j = 0; j < parts && PartInUse(signature.parts[j]); ++j) {
        const SignaturePart& part = signature.parts[j];
        uint32_t address = part.address;
        if (start != 0) {
            address = ThreadRelativeAddress(start, part.address);
        } else if (IsImageRelative(part.address)) {
            ps_owner<ps_module> modules(process.modules());
            if (!modules) return false;
            if (modules->select_main()) address = ImageRelativeAddress(modules->base_address(), part.address);
        }
        SIZE_T read = 0;
        if (!dyn_ReadProcessMemory(handle, reinterpret_cast<LPCVOID>(static_cast<uintptr_t>(address)), buffer,
                                   PartReadLength(part), &read))
            return false;
        if (!PartMatches(part, buffer, read)) return false;
        any = true;
    }
    return any;
}

// ---- The real start of a thread ---------------------------------------------

constexpr uint32_t kNoSlot = 0xFFFFFFFFu;
constexpr size_t kWrapperScanBytes = 256;   // of _beginthread / _beginthreadex
constexpr size_t kFieldScanBytes = 256;     // of a block a stack value points to

using BeginThread = uintptr_t(__cdecl*)(void(__cdecl*)(void*), unsigned, void*);
using BeginThreadEx = uintptr_t(__cdecl*)(void*, unsigned, unsigned(__stdcall*)(void*), void*, unsigned,
                                          unsigned*);

// What the probe thread finds, and how the caller learns that it is done.
// It never holds the probe routine's address, which the probe looks for.
struct StartSlotSearch {
    StartSlotProbe record{kNoSlot, 0, 0};
    HANDLE finished = nullptr;   // set by the probe once the record is filled
    HANDLE probeThread = nullptr;   // the probe's own handle, for the caller to wait on
};

// Committed memory that reads without a fault, remembering the last region
// asked about: the probe asks for thousands of nearby addresses.
class ReadableMemory {
public:
    bool Covers(uintptr_t address, size_t size) {
        uint64_t at = address;
        const uint64_t end = at + size;
        if (end > 0x100000000ull) return false;
        while (at < end) {
            if (!(at >= m_base && at < m_end)) Query(static_cast<uintptr_t>(at));
            if (!m_readable || !(at >= m_base && at < m_end)) return false;
            at = m_end;   // the range may go on in the next region
        }
        return true;
    }

private:
    void Query(uintptr_t address) {
        MEMORY_BASIC_INFORMATION info;
        m_readable = false;
        m_base = m_end = 0;
        if (VirtualQuery(reinterpret_cast<void*>(address), &info, sizeof info) != sizeof info) return;
        constexpr DWORD kReadable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                                    PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
        m_base = reinterpret_cast<uintptr_t>(info.BaseAddress);
        m_end = m_base + info.RegionSize;
        m_readable = info.State == MEM_COMMIT && (info.Protect & (PAGE_NOACCESS | PAGE_GUARD)) == 0 &&
                     (info.Protect & kReadable) != 0;
    }
    uint64_t m_base = 0;
    uint64_t m_end = 0;
    bool m_readable = false;
};

struct BlockScan {
    const uint8_t* block;
    uint32_t wanted;
    int offset;   // -1 when not found
};

void ScanBlock(void* arg) {
    auto* scan = static_cast<BlockScan*>(arg);
    for (size_t i = 0; i < kFieldScanBytes; ++i) {
        uint32_t v;
        std::memcpy(&v, scan->block + i, sizeof v);
        if (v == scan->wanted) {
            scan->offset = static_cast<int>(i);
            return;
        }
    }
}

// One past the highest byte of the own thread's stack (the environment
// block's stack base, fs:[4]).
uintptr_t OwnStackBase() {
    uintptr_t base;
    __asm__ __volatile__("movl %%fs:4, %0" : "=r"(base));
    return base;
}

// Walks the own stack from its top down to lowerBound looking for `routine`:
// on the stack itself (kind 0) or inside a block a stack value points to
// (kind 1). Memory that is not committed and readable is skipped before it is
// touched: under a CPU emulator a fault is not an access violation, so the
// fault guard alone would not save the run.
__attribute__((noinline)) void SearchOwnStack(StartSlotSearch* search, uint32_t routine, uintptr_t lowerBound) {
    const uintptr_t stackBase = OwnStackBase();
    ReadableMemory readable;
    for (uintptr_t a = stackBase - 4; a >= lowerBound; --a) {
        uint32_t v;
        std::memcpy(&v, reinterpret_cast<const void*>(a), sizeof v);
        if (v == routine) {
            search->record = {0, static_cast<uint32_t>(stackBase - 1 - a), 0};
            return;
        }
        if (v == 0 || !readable.Covers(v, kFieldScanBytes + 4)) continue;
        BlockScan scan{reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(v)), routine, -1};
        if (CallCatchingFaults(ScanBlock, &scan) && scan.offset >= 0) {
            search->record = {1, static_cast<uint32_t>(stackBase - 1 - a), static_cast<uint32_t>(scan.offset)};
            return;
        }
    }
}

// The probe's entry: its own frame is the lower bound, so that the argument it
// passes on (its own address) is never mistaken for the wrapper's copy.
void StartSearch(StartSlotSearch* search, uint32_t routine, uintptr_t lowerBound) {
    HANDLE self = nullptr;
    if (DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, SYNCHRONIZE, FALSE, 0))
        search->probeThread = self;
    SearchOwnStack(search, routine, lowerBound);
}

void __cdecl LocateStartSlot(void* arg) {
    auto* search = static_cast<StartSlotSearch*>(arg);
    StartSearch(search, reinterpret_cast<uint32_t>(&LocateStartSlot),
                reinterpret_cast<uintptr_t>(__builtin_frame_address(0)));
    // Not a tail call: the frame must stay where the bound was taken.
    HANDLE finished = search->finished;
    __asm__ __volatile__("" ::: "memory");
    SetEvent(finished);
}

unsigned __stdcall LocateStartSlotEx(void* arg) {
    auto* search = static_cast<StartSlotSearch*>(arg);
    StartSearch(search, reinterpret_cast<uint32_t>(&LocateStartSlotEx),
                reinterpret_cast<uintptr_t>(__builtin_frame_address(0)));
    __asm__ __volatile__("" ::: "memory");
    return 0;
}

// True when the first bytes of a wrapper's code hold `target` (the address of
// the thread routine it hands to the system).
bool CodeHolds(FARPROC code, uint32_t target) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(code);
    ReadableMemory readable;
    if (!readable.Covers(reinterpret_cast<uintptr_t>(bytes), kWrapperScanBytes + 3)) return false;
    for (size_t i = 0; i < kWrapperScanBytes; ++i) {
        uint32_t v;
        std::memcpy(&v, bytes + i, sizeof v);
        if (v == target) return true;
    }
    return false;
}

bool ProbeThroughBeginThread(BeginThread beginThread, StartSlotSearch& search) {
    win32::UniqueKernelHandle finished(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!finished) return false;
    search.finished = finished.get();
    if (beginThread(LocateStartSlot, 0, &search) == 0xFFFFFFFFu) return false;
    // The thread closes the handle _beginthread returned when it ends, so the
    // wait is on the probe's own signal and then on its own handle.
    WaitForSingleObject(finished.get(), INFINITE);
    win32::UniqueKernelHandle probe(search.probeThread);
    if (probe) WaitForSingleObject(probe.get(), INFINITE);
    return true;
}

bool ProbeThroughBeginThreadEx(BeginThreadEx beginThreadEx, StartSlotSearch& search) {
    unsigned id = 0;
    win32::UniqueKernelHandle thread(
        reinterpret_cast<HANDLE>(beginThreadEx(nullptr, 0, LocateStartSlotEx, &search, 0, &id)));
    if (!thread) return false;
    WaitForSingleObject(thread.get(), INFINITE);
    win32::UniqueKernelHandle probe(search.probeThread);
    return true;
}

// Learns, on a probe thread started through the own copy of the run-time
// library, where that library's wrapper keeps the routine it runs. False when
// no wrapper of the library starts threads at wrapperOffset, or no slot was
// found.
bool ProbeStartSlot(const char* libraryPath, uint32_t wrapperOffset, StartSlotProbe& probe) {
    UniqueBoundModule copy(dyn_LoadLibraryA(libraryPath));
    if (!copy) return false;
    const uint32_t target = wrapperOffset + reinterpret_cast<uint32_t>(copy.get());
    StartSlotSearch search;
    bool ran = false;
    FARPROC beginThread = GetProcAddress(copy.get(), "_beginthread");
    if (!beginThread) return false;
    if (CodeHolds(beginThread, target)) {
        ran = ProbeThroughBeginThread(reinterpret_cast<BeginThread>(beginThread), search);
    } else if (FARPROC beginThreadEx = GetProcAddress(copy.get(), "_beginthreadex");
               beginThreadEx && CodeHolds(beginThreadEx, target)) {
        ran = ProbeThroughBeginThreadEx(reinterpret_cast<BeginThreadEx>(beginThreadEx), search);
    }
    if (!ran || search.record.kind == kNoSlot) return false;
    probe = search.record;
    return true;
}

// ---- The two passes ---------------------------------------------------------

bool NamedThreatProcess(const ThreatDefinition& def, const char* name) {
    if (!def.threatProcessNames) return false;
    for (const char* const* n = def.threatProcessNames; *n; ++n)
        if (EqualsIgnoringCase(name, *n)) return true;
    return false;
}

// Whether any signature may be tried on a thread's start routine; without
// one, finding the real starts (a probe thread per wrapper) is wasted work.
bool HasThreadSignatures(const ThreatDefinition& def) {
    for (int i = 0; i < def.processSignatureCount; ++i)
        if (!def.processSignatures[i].processOnly) return true;
    return false;
}

// A dry run neither suspends nor ends anything: the termination pass says
// what it would do and counts it.
void WouldTerminate(RemovalRun& run, uint32_t& count, const char* line) {
    ++count;
    run.log.Line(UnmadeActionLine(line).c_str());
}

void HandleThreatProcess(RemovalRun& run, ps_process& process, const std::string& name, bool terminate) {
    if (run.options.dryRun) {
        char line[kMessageBufferSize];
        std::snprintf(line, sizeof line, kProcessTerminated, name.c_str());
        if (terminate) WouldTerminate(run, run.stats.processesTerminated, line);
        return;
    }
    if (terminate && TerminateProcessById(process.id())) {
        ++run.stats.processesTerminated;
        run.log.Format(kProcessTerminated, name.c_str());
        return;
    }
    const bool suspended = SuspendProcessThreads(process);
    if (!terminate) return;
    ++run.stats.processesNotTerminated;
    run.log.Format(suspended ? kProcessSuspended : kProcessUntouchable, name.c_str());
}

// Rule 2 for the threads of a clean process; true when a threat thread was found.
bool HandleThreatThreads(RemovalRun& run, ps_process& process, const std::string& name, bool terminate) {
    ps_owner<ps_thread> threads(process.threads());
    if (!threads) return false;
    ps_owner<ps_module> modules(process.modules());
    bool found = false;
    do {
        const uint32_t start = FindRealThreadStart(threads.get(), modules.get());
        if (start == 0 || !MatchProcessSignature(run, process, start)) continue;
        found = true;
        const uint32_t id = threads->id();
        if (run.options.dryRun) {
            char line[kMessageBufferSize];
            std::snprintf(line, sizeof line, kThreadTerminated, name.c_str(), id);
            if (terminate) WouldTerminate(run, run.stats.threadsTerminated, line);
            continue;
        }
        if (terminate && TerminateThreadById(id)) {
            ++run.stats.threadsTerminated;
            run.log.Format(kThreadTerminated, name.c_str(), id);
            continue;
        }
        const bool suspended = SuspendThreadById(id);
        if (!terminate) continue;
        ++run.stats.threadsNotTerminated;
        run.log.Format(suspended ? kThreadSuspended : kThreadUntouchable, name.c_str(), id);
    } while (threads->next());
    return found;
}

}  // namespace


bool SuspendProcessThreads(ps_process& process) {
    ps_owner<ps_thread> threads(process.threads());
    if (!threads) return false;
    bool all = true;
    do {
        win32::UniqueKernelHandle thread(dyn_OpenThread(kThreadAllAccess, FALSE, threads->id()));
        if (!thread || dyn_SuspendThread(thread.get()) == 0xFFFFFFFFu) all = false;
    } while (threads->next());
    return all;
}

void SuspendInjectedShellProcesses(RemovalRun& run) {
    if (run.options.dryRun) return;
    ps_owner<ps_process> processes(create_process_list(0));
    if (!processes) return;
    do {
        const char* name = processes->name();
        if (!EqualsIgnoringCase(name, kShellImage) && !EqualsIgnoringCase(name, kBrowserImage)) continue;
        if (IsOwnProcess(*processes)) continue;
        ps_owner<ps_module> modules(processes->modules());
        if (!modules) continue;
        do {
            if (EqualsIgnoringCase(modules->name(), kInjectedLibrary)) {
                SuspendProcessThreads(*processes);
                break;
            }
        } while (modules->next());
    } while (processes->next());
}

bool NeutraliseThreatProcesses(RemovalRun& run, RunProgress& progress) {
    const ThreatDefinition& def = *run.def;
    const bool scanThreads = def.scanThreadStarts && HasThreadSignatures(def);
    bool found = false;
    for (int pass = 1;; pass = 2) {
        const bool terminate = pass == 2;
        ps_owner<ps_process> processes(create_process_list(0));
        if (!processes) return false;
        do {
            const std::string name = processes->name();
            char shown[kMessageBufferSize];
            std::snprintf(shown, sizeof shown, kProcessShown, name.c_str());
            progress.SetStatusText(shown);
            if (IsOwnProcess(*processes)) continue;
            const uint32_t id = processes->id();
            if (NamedThreatProcess(def, name.c_str()) || (id != 0 && MatchProcessSignature(run, *processes, 0))) {
                found = true;
                HandleThreatProcess(run, *processes, name, terminate);
            } else if (scanThreads && id != 0) {
                if (HandleThreatThreads(run, *processes, name, terminate)) found = true;
            }
        } while (processes->next());
        processes.reset();
        if (!found) return true;
        Sleep(0);
        if (terminate) return true;
    }
}

bool MatchProcessSignature(const RemovalRun& run, ps_process& process, uint32_t start) {
    const ThreatDefinition& def = *run.def;
    if (def.processSignatureCount == 0 || !def.processSignatures) return false;
    win32::UniqueKernelHandle handle(dyn_OpenProcess(kProcessAllAccess, FALSE, process.id()));
    if (!handle) return false;
    uint8_t buffer[kSignatureBufferSize];
    for (int i = 0; i < def.processSignatureCount; ++i) {
        const ProcessSignature& signature = def.processSignatures[i];
        if (start != 0 && signature.processOnly) continue;
        if (SignatureMatches(def, signature, process, handle.get(), start, buffer)) return true;
    }
    return false;
}

uint32_t FindRealThreadStart(ps_thread* thread, ps_module* modules) {
    if (!thread) return 0;
    const uint32_t reported = thread->start_address();
    if (!modules || reported == 0) return reported;
    const ps_stack_info* stack = thread->stack_info();
    if (!stack) return reported;
    const uint32_t stackTop = stack->stack_top;
    if (!modules->find_by_address(reported) || !StartsWithIgnoringCase(modules->name(), kRunTimePrefix))
        return reported;
    const char* libraryPath = modules->path();
    if (!libraryPath) return reported;
    StartSlotProbe probe;
    if (!ProbeStartSlot(libraryPath, reported - modules->base_address(), probe)) return reported;

    win32::UniqueKernelHandle process(dyn_OpenProcess(kProcessQueryRead, FALSE, thread->owner_id()));
    if (!process) return reported;
    uint32_t value = 0;
    if (!ReadRemote32(process.get(), stackTop - probe.stackOffset, value)) return reported;
    if (probe.kind == 1 && !ReadRemote32(process.get(), value + probe.fieldOffset, value)) return reported;
    return value;
}
