#include "app/removal_run.h"

#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "app/environment.h"
#include "run/dry_run_core.h"
#include "run/log.h"
#include "run/report_core.h"
#include "fix/accounts.h"
#include "ps/win32/dynamic_dll.h"
#include "fix/com_cleanup.h"
#include "fix/registry.h"
#include "fix/services.h"
#include "fix/shares.h"
#include "procs/shell.h"
#include "procs/threats.h"
#include "scan/delete.h"
#include "scan/restore.h"
#include "run/path_rules_core.h"
#include "scan/walk.h"

namespace {

const char kSystemRestoreKey[] = "SYSTEM\\CurrentControlSet\\Services\\VxD\\VxDMon";
const char kSystemRestoreValue[] = "SystemRestore";
const char kFunctionMissing[] = "The removal was stopped: the system function %s could not be found.";
const char kDebugPrivilegeNotHeld[] =
    "WARNING: the debug privilege is not held; processes of other users may not be stopped";
const char kLogNotCreatedGiven[] = "WARNING: the log file given with /LOG= could not be created: %s";
const char kLogNotCreated[] = "WARNING: the log file could not be created: %s";
const char kUnknownSwitch[] = "WARNING: unknown switch \"%s\" ignored";
const char kUnknownArgument[] = "WARNING: unknown argument \"%s\" ignored";

const char* BootModeText(uint32_t mode) {
    switch (mode) {
        case 0: return " must be executed from NORMAL boot mode only.\n";
        case 1: return " must be executed from SAFE boot mode only.\n";
        case 2: return " must be executed from SAFE WITH NETWORK boot mode only.\n";
        default: return nullptr;
    }
}

UINT IconStyle(ReportIcon icon) {
    switch (icon) {
        case ReportIcon::Stop: return MB_ICONSTOP;
        case ReportIcon::Exclamation: return MB_ICONEXCLAMATION;
        default: return MB_ICONINFORMATION;
    }
}

bool SystemRestoreValue(bool& on) {
    char value[1024] = {};
    if (!ReadRegistryString(HKEY_LOCAL_MACHINE, kSystemRestoreKey, kSystemRestoreValue, value)) return false;
    value[sizeof value - 1] = '\0';
    on = SystemRestoreOn(value);
    return true;
}

// A writable copy of a share password of at least 9 characters.
std::vector<char> PasswordBuffer(const std::string& text) {
    std::vector<char> buffer(std::max<size_t>(9, text.size() + 1), '\0');
    std::memcpy(buffer.data(), text.c_str(), text.size());
    return buffer;
}

// Runs one step of the run. A system function without a replacement that
// this Windows lacks ends the step where it stands: what was done is kept,
// the line that names the function goes into the log and the report, and the
// run goes on to its end. False when the step was stopped.
template <typename Step>
bool StopOnMissingFunction(RemovalRun& run, Step&& step) {
    try {
        step();
        return true;
    } catch (_dynamic_dll_exception* missing) {
        char line[kMessageBufferSize];
        std::snprintf(line, sizeof line, kFunctionMissing, missing && missing->name ? missing->name : "");
        delete missing;
        run.log.Format("\r\n%s\r\n", line);
        run.log.reportText += line;
        run.log.reportText += '\n';
        run.flags.runStopped = true;
        return false;
    }
}

// Everything between the rights check and the report: services, running
// code, registry, files and the clean-up that follows a detection.
void CleanMachine(RemovalRun& run, RunProgress& progress) {
    const ThreatDefinition& def = *run.def;
    const RunOptions& options = run.options;
    RunLog& log = run.log;

    StopThreatServices(run);
    if (run.stats.servicesStopped) log.Empty();
    SuspendInjectedShellProcesses(run);
    if (NeutraliseThreatProcesses(run, progress)) log.Empty();
    RemoveThreatServices(run);
    if (run.stats.servicesRemoved) log.Empty();

    if (options.registryFixEnabled && def.registryPassBeforeScan) {
        RunRegistryPass(run);
        if (run.stats.registryEntriesFixed) log.Empty();
    }
    run.detectedFiles.RemoveAll();
    run.failedDeletes.RemoveAll();
    if (!run.options.noFileScan) {
        ScanDrives(run, progress);
        DeleteThreatFiles(run);
    }
    // The COM, group, account and share passes have no dry form: a dry run
    // leaves them out (this build's definition lists nothing for them).
    if (run.detectedFiles.GetCount() != 0) {
        ClassIdList found;
        if (!options.dryRun)
            for (const char* const* key = def.clsidCleanupKeys; key && *key; ++key)
                CleanupClsidReferences(run, *key, found);
        size_t count = run.detectedFiles.GetCount();
        for (size_t i = 0; i < count; ++i) {
            WStrList::Position at = run.detectedFiles.FindIndex(i);
            if (!at) break;
            const void* path = run.detectedFiles.GetAt(at);
            if (run.flags.isNtFamily) path = pathrules::SkipLongPrefix(static_cast<const wchar_t*>(path));
            for (const char* const* key = def.valueDataCleanupKeys; key && *key && !options.dryRun; ++key)
                DeleteValuesByData(run, *key, path);
            DeleteDetectionDirectories(run, run.detectedFiles.GetAt(at));
        }
    }
    DeleteThreatDirectories(run, def.directoryTables[0], nullptr);
    if (run.flags.isWin9xFamily && def.restartShellEnabled && !options.dryRun) RestartShell();

    if (ThreatCountsAsFound(run.stats, static_cast<uint32_t>(run.failedDeletes.GetCount()))) {
        run.flags.threatFound = true;
        log.Empty();
    }
    if (run.flags.threatFound) {
        if (options.registryFixEnabled && def.registryPassAfterDetection) {
            RunRegistryPass(run);
            if (run.stats.registryEntriesFixed) log.Empty();
        }
        DeleteThreatDirectories(run, def.directoryTables[1], nullptr);
        if (run.flags.isNtFamily && !options.dryRun) {
            RemoveGroupMembers(run);
            DisableAccounts(run);
            if (options.fixShares || options.deleteAdminShares) SecureSharesNt(run);
        }
        if (run.flags.isWin9xFamily && !options.dryRun && (options.fixShares || options.deleteAdminShares)) {
            std::vector<char> rw = PasswordBuffer(options.readWritePassword);
            std::vector<char> ro = PasswordBuffer(options.readOnlyPassword);
            SecureShares9x(run, rw.data(), ro.data());
        }
    }
    if (run.failedDeletes.GetCount() != 0) RetryFailedDeletes(run);
}

}  // namespace

RunEnd RunRemoval(RemovalRun& run, RunProgress& progress) {
    const ThreatDefinition& def = *run.def;
    UINT boxStyle = MB_ICONINFORMATION;
    bool rightsMissing = false;

    // Boot mode.
    if (!CheckBootMode(def.requiredBootMode)) {
        const char* text = BootModeText(def.requiredBootMode);
        if (!run.options.silentMode && text)
            progress.ShowBox((GetProductTitle() + text).c_str(), GetAppName().c_str(), MB_ICONEXCLAMATION);
        RestartDecision(run, progress);
        SetExitCode(run, true);
        FinishRun(run);
        return RunEnd::Finished;
    }

    // One run per process.
    if (run.runInProgress) return RunEnd::AlreadyRunning;
    run.runInProgress = true;

    // The log.
    progress.SetStatusText("creating log file");
    const char* logPath = run.options.logPath.c_str();
    bool logMissing = false;
    if (OpenLogFile(run.log, logPath)) {
        run.log.Line(GetProductTitle().c_str());
    } else {
        run.log.reportText = "The log file could not be created.\n";
        // Nobody reads a silent run's report but in its log: one is kept
        // elsewhere, and says which path could not be used.
        if (run.options.silentMode && !OpenFallbackLog(run.log, logPath, def.logFileName).empty()) {
            run.log.Line(GetProductTitle().c_str());
            run.log.Format(run.options.logPathGiven ? kLogNotCreatedGiven : kLogNotCreated, logPath);
        } else {
            logMissing = true;
        }
    }
    for (const std::string& token : run.options.ignoredTokens)
        run.log.Format(token[0] == '/' || token[0] == '"' ? kUnknownSwitch : kUnknownArgument, token.c_str());

    // Platform.
    progress.SetStatusText("identifying platforms");
    IdentifyPlatform(run.flags);
    run.flags.maxPathChars = run.flags.isNtFamily ? kMaxPathCharsNt : kMaxPathChars9x;

    // File and registry functions.
    if (!LoadApiTable(run.api, run.flags)) {
        run.log.Report("\r\nLoading APIs fails.");
        RestartDecision(run, progress);
        SetExitCode(run, true);
        FinishRun(run);
        return RunEnd::Finished;
    }

    // Windows ME System Restore.
    progress.SetStatusText("checking system restore");
    if (!run.options.silentMode && def.systemRestoreCheck && run.flags.isWinMe) {
        bool on = false;
        if (SystemRestoreValue(on) && on) {
            run.systemRestoreWasEnabled = true;
            if (progress.ShowBox(kSystemRestoreEnabledWarning, GetAppName().c_str(), MB_OKCANCEL) == IDCANCEL) {
                RestartDecision(run, progress);
                SetExitCode(run, true);
                FinishRun(run);
                return RunEnd::Finished;
            }
        }
    }

    // Rights (NT family).
    if (run.flags.isNtFamily) {
        progress.SetStatusText("verifying privileges");
        Rights rights = Rights::Refused;
        if (StopOnMissingFunction(run, [&] { rights = CheckAdministratorRights(true); })) {
            if (rights == Rights::Refused) {
                run.log.Report("You do not have Administrator rights to run the tool.");
                run.log.Report("Please contact your Network Administrator for more information.");
                boxStyle = MB_ICONSTOP;
                rightsMissing = true;
            } else if (rights == Rights::AdministratorWithoutDebugPrivilege) {
                run.log.Line(kDebugPrivilegeNotHeld);
            }
        }
    }

    // /RESTORE= puts back what an earlier run kept, and does nothing else.
    const bool restoring = !rightsMissing && !run.options.restoreDir.empty();
    if (restoring) {
        RestoreFromQuarantine(run);
    } else if (!rightsMissing && !run.flags.runStopped) {
        StopOnMissingFunction(run, [&] { CleanMachine(run, progress); });
    }

    // Report.
    progress.SetStatusText("Procedure completed.");
    if (!rightsMissing && !restoring && run.options.dryRun) {
        DryRunReportInputs in;
        in.stats = &run.stats;
        in.threatName = def.threatName;
        in.notCleaned = run.stats.repairsFailed + run.stats.deleteFailed + run.stats.registryEntriesNotFixed;
        in.incomplete = run.flags.cancelRequested || run.flags.runStopped || run.flags.treeScan != TreeScan::Scanned;
        ComposeDryRunReport(in, run.log);
        const bool found = ReportFindsSomething(run.stats) || run.stats.registryEntriesFixed != 0;
        boxStyle = found || in.incomplete ? MB_ICONEXCLAMATION : MB_ICONINFORMATION;
    } else if (!rightsMissing && !restoring) {
        ReportInputs in;
        in.stats = &run.stats;
        in.threatName = def.threatName;
        in.cancelRequested = run.flags.cancelRequested || run.flags.runStopped;
        in.runStopped = run.flags.runStopped;
        in.systemRestoreWasEnabled = run.systemRestoreWasEnabled;
        in.isNt4 = run.flags.isNt4;
        in.hasServices = def.hasServices;
        in.scanThreadStarts = def.scanThreadStarts;
        in.sharesReported = run.options.fixShares || run.options.deleteAdminShares;
        in.sharesFound = run.sharesFound;
        in.sharesSecured = run.sharesSecured;
        in.treeScan = run.flags.treeScan;
        boxStyle = IconStyle(ComposeReport(in, run.log));
    }
    EndRun(run, progress, boxStyle);
    RestartDecision(run, progress);
    SetExitCode(run, rightsMissing || logMissing || run.flags.runStopped);
    if (run.options.dryRun) {
        run.log.Empty();
        run.log.Line(kDryRunClosingText);
    }
    FinishRun(run);
    return RunEnd::Finished;
}

void SetExitCode(RemovalRun& run, bool notDone) {
    ExitInputs in;
    in.stats = &run.stats;
    in.notDone = notDone;
    in.incomplete = run.flags.cancelRequested || run.flags.treeScan != TreeScan::Scanned;
    in.restartPending = run.flags.rebootNeeded;
    run.exitCode = DecideExitCode(in);
}

void EndRun(RemovalRun& run, RunProgress& progress, UINT boxStyle) {
    const ThreatDefinition& def = *run.def;
    const RunFlags& flags = run.flags;
    if (run.options.silentMode) {
        run.log.Line("\r\nThe tool was executed in silent mode.\r\n");
    } else {
        if (flags.cancelRequested || flags.runStopped) boxStyle = MB_ICONEXCLAMATION;
        progress.ShowBox(run.log.reportText.c_str(), GetProductTitle().c_str(), boxStyle);
    }

    if (!run.options.silentMode && def.systemRestoreCheck && flags.isWinMe) {
        bool on = false;
        if (SystemRestoreValue(on) && !on)
            progress.ShowBox(kSystemRestoreDisabledNotice, GetAppName().c_str(), MB_ICONINFORMATION);
    }
    if (run.options.noFileScan) run.log.Line("\r\nNo files were scanned by the tool...");

    bool configured = def.vulnerableFilePath && def.vulnerableFilePath[0] && def.vulnerableBeforeTimestamp;
    bool vulnerable = false;
    if (configured && def.vulnerabilityMessage) {
        if (run.options.noVulnerabilityCheck)
            run.log.Line("The vulnerability assessment has been skipped.");
        else
            vulnerable = CheckVulnerableFile(def);
    }
    if (def.vulnerabilityMessage && ((configured && vulnerable) || (!configured && !run.options.silentMode))) {
        if (def.vulnerabilityOpenTarget) {
            if (progress.ShowBox(def.vulnerabilityMessage, GetProductTitle().c_str(), MB_YESNO | MB_ICONEXCLAMATION) ==
                IDYES)
                ShellExecuteA(GetActiveWindow(), "open", def.vulnerabilityOpenTarget, nullptr, nullptr, SW_SHOWNORMAL);
        } else {
            progress.ShowBox(def.vulnerabilityMessage, GetProductTitle().c_str(), MB_OK | MB_ICONEXCLAMATION);
        }
    }
}

void RestartDecision(RemovalRun& run, RunProgress& progress) {
    if (!run.flags.rebootNeeded) return;
    progress.SetStatusText("confirming system reboot");
    bool ok;
    if (run.options.silentMode)
        ok = !run.options.noSilentReboot;
    else
        ok = progress.ShowBox(kRebootQuestion, GetProductTitle().c_str(), MB_OKCANCEL | MB_ICONEXCLAMATION) == IDOK;
    if (ok) {
        progress.SetStatusText("initiating shutdown");
        run.log.Line("\r\nThe tool initiated a system reboot.\r\n");
        run.log.Flush();
        // The request's answer is not checked either: it is made whatever
        // became of the privilege.
        if (run.flags.isNtFamily) StopOnMissingFunction(run, [] { EnableShutdownPrivilege(true); });
        RequestSystemRestart();
    } else {
        run.log.Line("\r\nThe system requires a reboot but was not rebooted.");
        run.log.Line("To clean up all remnants of the threat from the system it must be rebooted.\r\n");
    }
}

void FinishRun(RemovalRun& run) { run.log.Close(); }
