#!/usr/bin/env python3
"""Checks the fleet report against what the fleet test planted.

usage: check_report.py LOG-DIR PLANTED-JSON
       check_report.py --restored LOG-DIR RESTORED-JSON

PLANTED-JSON gives per host the counts the report must show (found, repaired,
failed, deleted) and whether the restart stage restarted it, or "ran": false /
"reachable": false for the hosts where the program cannot run through or that
never answer. Every other column follows from those: a host that was reached
and ran is verified clean exactly when nothing failed, a host that was not
never is, and after the restart stage no host waits for a restart.

With --restored, RESTORED-JSON gives per restored host the number of files
the restore must have put back (none refused, none failed); every other
host's restore cells stay empty, and a restored host is no longer verified
clean.
"""
import json
import os
import sys


def main(log_dir, planted_path):
    planted = json.load(open(planted_path))
    report = json.load(open(os.path.join(log_dir, "fleet-report.json")))
    markdown = open(os.path.join(log_dir, "fleet-report.md")).read().splitlines()
    rows = {r["host"]: r for r in report["hosts"]}
    errors = []

    def expect(host, key, want):
        got = rows[host].get(key)
        if got != want:
            errors.append("%s: %s is %r, planted %r" % (host, key, got, want))

    if sorted(rows) != sorted(planted):
        errors.append("report rows %s, planted hosts %s" % (sorted(rows), sorted(planted)))
    for host, want in planted.items():
        if host not in rows:
            continue
        row = rows[host]
        if want.get("reachable") is False:
            for key in ("reachable", "ran", "found", "repaired", "verified_clean", "log"):
                expect(host, key, {"reachable": False, "ran": False, "verified_clean": False}.get(key))
            if "unreachable" not in (row.get("note") or ""):
                errors.append("%s: the note does not say unreachable: %r" % (host, row.get("note")))
        elif want.get("ran") is False:
            expect(host, "reachable", True)
            expect(host, "ran", False)
            expect(host, "verified_clean", False)
            for key in ("found", "repaired", "failed", "deleted"):
                expect(host, key, want[key])
            if not (row.get("note") or "").startswith("could not run (exit code 3)"):
                errors.append("%s: the note does not say it could not run: %r" % (host, row.get("note")))
        else:
            expect(host, "reachable", True)
            expect(host, "ran", True)
            for key in ("found", "repaired", "failed", "deleted"):
                expect(host, key, want[key])
            expect(host, "verified_clean", want["failed"] == 0)
            expect(host, "waiting_for_restart", False)
            expect(host, "restarted", want.get("restarted", False))
        if want.get("reachable") is not False:
            log = row.get("log") or ""
            if not log.endswith("/verify.log") or not os.path.isfile(log):
                errors.append("%s: the verify log is not kept: %r" % (host, log))
            # The reader read every log, also the one of a run that did not go through.
            with open(os.path.join(log_dir, host, "verify.json")) as f:
                if json.load(f).get("document") is None:
                    errors.append("%s: the verify log was not read" % host)
        if not any(line.startswith("| %s | " % host) for line in markdown):
            errors.append("%s: no row in fleet-report.md" % host)
    not_clean = sorted(h for h, w in planted.items() if w.get("failed") or w.get("ran") is False or "found" not in w)
    totals = report["totals"]
    if totals["hosts"] != len(planted) or totals["unreachable"] != 1 or \
            totals["not_verified_clean"] != len(not_clean):
        errors.append("totals %r" % totals)
    for e in errors:
        print("fleet report:", e)
    print("fleet report: %d rows checked, %d errors" % (len(rows), len(errors)))
    return 1 if errors else 0


def restored(log_dir, restored_json):
    want = json.loads(restored_json)
    report = json.load(open(os.path.join(log_dir, "fleet-report.json")))
    markdown = open(os.path.join(log_dir, "fleet-report.md")).read().splitlines()
    errors = []
    for row in report["hosts"]:
        host = row["host"]
        expected = (want[host], 0, 0) if host in want else (None, None, None)
        got = (row.get("restored"), row.get("refused"), row.get("restore_failed"))
        if got != expected:
            errors.append("%s: restored, refused, failed %r, expected %r" % (host, got, expected))
        if host in want:
            if row.get("verified_clean") is not False or not (row.get("log") or "").endswith("/restore.log"):
                errors.append("%s: after its restore: verified clean %r, log %r" % (host, row.get("verified_clean"),
                                                                                row.get("log")))
            if not any(line.startswith("| %s | " % host) and "| %d | 0 | 0 |" % want[host] in line for line in markdown):
                errors.append("%s: fleet-report.md does not show %d restored" % (host, want[host]))
    if report["totals"].get("restored") != len(want):
        errors.append("totals %r" % report["totals"])
    for e in errors:
        print("fleet report:", e)
    print("fleet report: restore of %d hosts checked, %d errors" % (len(want), len(errors)))
    return 1 if errors else 0


if __name__ == "__main__":
    if sys.argv[1:2] == ["--restored"]:
        sys.exit(restored(*sys.argv[2:]))
    sys.exit(main(*sys.argv[1:]))
