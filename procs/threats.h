// The threat's running code: injected shell processes, threat processes and threads.
#pragma once
#include <cstdint>

struct RemovalRun;
class RunProgress;
class ps_process;
class ps_thread;
class ps_module;

// Suspends every thread of an "explorer.exe" or "iexplore.exe" that has the
// threat's library loaded; nothing is logged or counted.
void SuspendInjectedShellProcesses(RemovalRun& run);
// The two passes over the threat's processes and threads: the first suspends,
// the second (only after the first found something) ends and logs. The own
// process is shown but never handled. True when it ran to the end, false when
// no process list could be obtained.
bool NeutraliseThreatProcesses(RemovalRun& run, RunProgress& progress);

// True when a signature of the definition matches the process (start 0) or
// the thread whose real start routine is `start`.
bool MatchProcessSignature(const RemovalRun& run, ps_process& process, uint32_t start);
bool SuspendProcessThreads(ps_process& process);
bool SuspendThreadById(uint32_t threadId);
bool TerminateProcessById(uint32_t processId);
bool TerminateThreadById(uint32_t threadId);
// The routine a thread really runs (through a run-time library's thread
// wrapper); its reported start address when that cannot be found.
uint32_t FindRealThreadStart(ps_thread* thread, ps_module* modules);
enum class PrivilegeChange {
    Changed,   // enabled (or disabled) as asked
    NotHeld,   // every call succeeded, but the token does not hold the privilege: nothing changed
    Failed,    // a call failed
};
// Enables (or disables) one privilege of the own process token.
PrivilegeChange ChangePrivilege(const char* privilege, bool enable);
// True when every call succeeded, also for a privilege the token does not
// hold (ChangePrivilege tells that case apart).
bool EnablePrivilege(const char* privilege, bool enable);
