#!/usr/bin/env python3
"""Writes the fleet report from the states the stages left on the controller.

usage: fleet_report.py DIR HOSTS-JSON

DIR holds one folder per host with a state per stage (audit.json, clean.json,
restart.json, verify.json, restore.json); HOSTS-JSON maps each group ("windows",
"fileserver") to its inventory hosts, so that a host no stage reached is a
row too. Writes DIR/fleet-report.json and DIR/fleet-report.md and prints the
hosts that were verified not clean, one a line.
"""
import datetime
import json
import os
import sys

# A finding's outcome after a real run (the log reader's names).
REPAIRED = {"repaired", "replaced_at_restart"}
DELETED = {"deleted", "deleted_at_restart", "not_repaired_deleted"}
FAILED = {"not_repaired_corrupted", "not_repaired", "delete_failed", "not_deleted",
          "not_deleted_prefix_not_found", "not_changed_quarantine_failed"}

COLUMNS = [("host", "host"), ("group", "group"), ("reachable", "reachable"), ("ran", "program ran"),
           ("found", "found"), ("repaired", "repaired"), ("failed", "failed"), ("deleted", "deleted"),
           ("waiting_for_restart", "waiting for restart"), ("restarted", "restarted"),
           ("verified_clean", "verified clean"), ("restored", "restored"), ("refused", "refused"),
           ("restore_failed", "restore failed"), ("log", "log"), ("note", "note")]


def load_states(folder):
    states = {}
    for stage in ("audit", "clean", "restart", "verify", "restore"):
        path = os.path.join(folder, stage + ".json")
        try:
            with open(path, encoding="utf-8") as f:
                states[stage] = json.load(f)
        except (OSError, ValueError):
            pass
    return states


def real_run_for_dry(state):
    """A dry run asked for and a real run logged: a program too old for /DRYRUN
    ignores the switch (with a warning) and cleans."""
    return state.get("stage") in ("audit", "verify") and logged(state) and \
        (state["document"].get("mode") or {}).get("dry_run") is False


def program_ran(state):
    """Whether the program ran through: a complete log and no exit code 3."""
    return bool(state.get("reachable")) and state.get("exit_code") not in (None, 3) and logged(state) and \
        not real_run_for_dry(state)


def logged(state):
    """Whether the state holds a complete log: its counts stand even when the
    run as a whole did not go through (exit code 3)."""
    doc = state.get("document") if state else None
    return isinstance(doc, dict) and doc.get("complete") is True


def findings(doc):
    return [f for f in doc.get("files", []) if f.get("detections") or str(f.get("outcome") or "").startswith("would_")]


def outcomes(doc, kinds):
    return sum(1 for f in doc.get("files", []) if f.get("outcome") in kinds)


def newer(a, b):
    """Whether state a was written after state b (a missing b counts as older)."""
    return b is None or str(a.get("time", "")) >= str(b.get("time", ""))


def note_of(state):
    if not state.get("reachable"):
        return "unreachable"
    if state.get("exit_code") is None:
        return "the program did not start" + (": " + state["error"] if state.get("error") else "")
    if not state.get("log"):
        return "no log (exit code %s)" % state.get("exit_code")
    if real_run_for_dry(state):
        return "asked for a dry run, the log is a real run's: the program does not know the dry run"
    if not program_ran(state):
        doc = state.get("document") or {}
        why = doc.get("truncated") or (state.get("error") or "")
        return ("could not run (exit code %s)" % state.get("exit_code")) + (": " + why if why else "")
    return ""


def row(host, group, states):
    r = {key: None for key, _ in COLUMNS}
    r.update(host=host, group=group)
    if not states:
        r["note"] = "no stage has run on this host"
        return r
    runs = [s for k, s in states.items() if k != "restart"]
    latest = max(states.values(), key=lambda s: str(s.get("time", "")))
    r["reachable"] = bool(latest.get("reachable"))
    latest_run = max(runs, key=lambda s: str(s.get("time", ""))) if runs else None
    if latest_run is not None:
        r["ran"] = program_ran(latest_run)
        r["log"] = latest_run.get("log")
        r["note"] = note_of(latest_run) or None

    audit, clean, restart, verify = (states.get(k) for k in ("audit", "clean", "restart", "verify"))
    seen = audit if logged(audit) else clean
    if logged(seen):
        doc = seen["document"]
        r["found"] = len(findings(doc)) + len(doc.get("registry") or [])
    if logged(clean):
        doc = clean["document"]
        r["repaired"] = outcomes(doc, REPAIRED)
        r["failed"] = outcomes(doc, FAILED)
        r["deleted"] = outcomes(doc, DELETED)
        needs = doc.get("restart") == "pending" or clean.get("exit_code") == 4
        restarted = restart is not None and bool(restart.get("restarted")) and newer(restart, clean)
        r["waiting_for_restart"] = needs and not restarted
        r["restarted"] = restarted if needs else False
    if verify is not None and newer(verify, clean):
        doc = verify.get("document") or {}
        r["verified_clean"] = program_ran(verify) and verify.get("exit_code") == 0 and \
            (doc.get("headline") or {}).get("outcome") == "not_found" and not findings(doc)
    restore = states.get("restore")
    if logged(restore):
        counters = restore["document"].get("counters") or {}
        r["restored"] = counters.get("files_restored", 0)
        r["refused"] = counters.get("files_refused", 0)
        r["restore_failed"] = counters.get("files_not_restored", 0)
        # The originals are the threat's files: a host they were put back on
        # is no longer the host the verify stage found clean.
        if r["restored"] and r["verified_clean"] and newer(restore, verify):
            r["verified_clean"] = False
            r["note"] = "files restored after the verify stage"
    return r


def cell(value):
    if value is None:
        return ""
    if value is True:
        return "yes"
    if value is False:
        return "no"
    return str(value).replace("|", "\\|")


def main(argv):
    if len(argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    folder, groups = argv[1], json.loads(argv[2])
    rows = []
    for group in ("windows", "fileserver"):
        for host in sorted(groups.get(group) or []):
            rows.append(row(host, group, load_states(os.path.join(folder, host))))
    report = {
        "generated": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
        "hosts": rows,
        "totals": {
            "hosts": len(rows),
            "unreachable": sum(1 for r in rows if r["reachable"] is False),
            "could_not_run": sum(1 for r in rows if r["reachable"] and r["ran"] is False),
            "found": sum(1 for r in rows if r["found"]),
            "waiting_for_restart": sum(1 for r in rows if r["waiting_for_restart"]),
            "verified_clean": sum(1 for r in rows if r["verified_clean"] is True),
            "not_verified_clean": sum(1 for r in rows if r["verified_clean"] is False),
            "restored": sum(1 for r in rows if r["restored"] is not None),
        },
    }
    tmp = os.path.join(folder, ".fleet-report.json.tmp")
    with open(tmp, "w", encoding="utf-8") as f:
        json.dump(report, f, indent=2)
        f.write("\n")
    os.replace(tmp, os.path.join(folder, "fleet-report.json"))
    lines = ["# Fleet report (%s)" % report["generated"], "",
             "| " + " | ".join(title for _, title in COLUMNS) + " |",
             "|" + "---|" * len(COLUMNS)]
    lines += ["| " + " | ".join(cell(r[key]) for key, _ in COLUMNS) + " |" for r in rows]
    lines += ["", ", ".join("%s: %d" % (k.replace("_", " "), v) for k, v in report["totals"].items())]
    tmp = os.path.join(folder, ".fleet-report.md.tmp")
    with open(tmp, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")
    os.replace(tmp, os.path.join(folder, "fleet-report.md"))
    for r in rows:
        if r["verified_clean"] is False:
            print(r["host"])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
