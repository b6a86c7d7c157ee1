#include "fix/services.h"

#include <cstdio>

#include "run/dry_run_core.h"
#include "run/run_context.h"
#include "fix/services_core.h"
#include "ps/win32/system_functions.h"

namespace {

bool CloseService(SC_HANDLE h) noexcept { return dyn_CloseServiceHandle(h) != 0; }
using UniqueService = win32::UniqueHandle<NullEmptyPolicy<SC_HANDLE, &CloseService>>;

bool FreeLocal(HLOCAL h) noexcept { return dyn_LocalFree(h) == nullptr; }
using UniqueLocal = win32::UniqueHandle<NullEmptyPolicy<HLOCAL, &FreeLocal>>;

constexpr DWORD kManagerAccess = SC_MANAGER_ENUMERATE_SERVICE | DELETE;   // 0x10004
constexpr char kServiceStopped[] = "service: %s (stopped)";
constexpr char kServiceDeleted[] = "service: %s (deleted)";

// A service line in its dry-run form.
void WouldLine(RemovalRun& run, const char* format, const char* shown) {
    char line[kMessageBufferSize];
    std::snprintf(line, sizeof line, format, shown);
    run.log.Line(UnmadeActionLine(line).c_str());
}

constexpr DWORD kServiceAccess = SERVICE_STOP | DELETE;                   // 0x10020
constexpr DWORD kServiceTypes = SERVICE_WIN32 | SERVICE_DRIVER;           // 0x3B
// A list that keeps growing between the sizing call and the listing is
// asked for again, but not for ever.
constexpr int kListAttempts = 4;

// Every service of the machine, in one block: a sizing call, then the
// listing. When services were added in between, the listing fails with
// ERROR_MORE_DATA and the bytes still missing; it is then asked again from
// the start with the larger block.
bool ListServices(SC_HANDLE manager, UniqueLocal& block, DWORD& count) {
    DWORD needed = 0, resume = 0;
    count = 0;
    if (dyn_EnumServicesStatusA(manager, kServiceTypes, SERVICE_STATE_ALL, nullptr, 0, &needed, &count, &resume))
        return true;
    DWORD size = 0;
    for (int attempt = 0; attempt < kListAttempts; ++attempt) {
        if (GetLastError() != ERROR_MORE_DATA || needed > MAXDWORD - size) return false;
        size += needed;
        block.reset(dyn_LocalAlloc(LMEM_FIXED, size));
        if (!block) return false;
        needed = 0;
        resume = 0;
        count = 0;
        if (dyn_EnumServicesStatusA(manager, kServiceTypes, SERVICE_STATE_ALL,
                                    static_cast<ENUM_SERVICE_STATUSA*>(block.get()), size, &needed, &count, &resume))
            return true;
    }
    return false;
}

}  // namespace

void StopAndRemoveServices(RemovalRun& run, ServicePass pass) {
    const ThreatDefinition& def = *run.def;
    const uint32_t mode = static_cast<uint32_t>(pass);
    if (!def.hasServices || mode == 0) return;
    if (!AnyServiceRuleActs(def.threatServiceTable, def.threatServiceCount, mode)) return;

    UniqueService manager(dyn_OpenSCManagerA(nullptr, nullptr, kManagerAccess));
    if (!manager) {
        if (GetLastError() == ERROR_ACCESS_DENIED) run.log.Line("service: (can't access database, insufficient privileges)");
        return;
    }
    UniqueLocal block;
    DWORD count = 0;
    if (!ListServices(manager.get(), block, count) || !block) return;

    auto* entries = static_cast<ENUM_SERVICE_STATUSA*>(block.get());
    for (DWORD i = 0; i < count; ++i) {
        ENUM_SERVICE_STATUSA& entry = entries[i];
        const ThreatServiceRule* rule = FindServiceRule(def.threatServiceTable, def.threatServiceCount, mode,
                                                        entry.lpServiceName, entry.lpDisplayName);
        if (!rule) continue;
        const uint32_t actions = rule->actions & mode;
        // Every line names the service by its display name.
        const char* shown = entry.lpDisplayName ? entry.lpDisplayName : "";

        UniqueService service(dyn_OpenServiceA(manager.get(), entry.lpServiceName, kServiceAccess));
        if (!service) {
            if (GetLastError() == ERROR_ACCESS_DENIED)
                run.log.Format("service: %s (can't access, insufficient privileges)", shown);
            continue;
        }
        if (run.options.dryRun) {
            // What the enumeration saw running a real run would stop; the
            // service itself is left as it is.
            if ((actions & kServiceStopAction) && entry.ServiceStatus.dwCurrentState != SERVICE_STOPPED) {
                ++run.stats.servicesStopped;
                WouldLine(run, kServiceStopped, shown);
            }
            if (actions & kServiceDeleteAction) {
                ++run.stats.servicesRemoved;
                WouldLine(run, kServiceDeleted, shown);
            }
            continue;
        }
        // The stop is asked for, not waited for.
        if ((actions & kServiceStopAction) &&
            dyn_ControlService(service.get(), SERVICE_CONTROL_STOP, &entry.ServiceStatus)) {
            ++run.stats.servicesStopped;
            run.log.Format(kServiceStopped, shown);
        }
        if (actions & kServiceDeleteAction) {
            if (dyn_DeleteService(service.get())) {
                ++run.stats.servicesRemoved;
                run.log.Format(kServiceDeleted, shown);
            } else if (GetLastError() == ERROR_ACCESS_DENIED) {
                run.log.Format("service: %s (can't delete, insufficient privileges)", shown);
            }
        }
    }
}
