#!/usr/bin/env python3
"""Tests of quorvin-log on logs that real runs of both programs wrote: fixquorvin over the sample
tool's tree, made here, and FixQuorvin.exe under Wine (the folder QUORVIN_WINDOWS_LOGS names, which
tests/wine/quorvin_log_wine.sh fills; else the copies kept in tests/logs/).

Environment: QUORVIN_LOG (the reader), FIXQUORVIN, WRITE_SAMPLES; for the install test CMAKE_COMMAND
and QUORVIN_BUILD_DIR.
"""

import atexit
import functools
import json
import os
import re
import shutil
import subprocess
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
READER = os.environ.get("QUORVIN_LOG", os.path.join(ROOT, "tools", "quorvin-log"))
KEPT_LOGS = os.path.join(ROOT, "tests", "logs")
NATIVE = os.environ.get("FIXQUORVIN") and os.environ.get("WRITE_SAMPLES")

# Every number of a report (the text before and after it), and the key the reader gives it.
REPORT_NUMBERS = [
    ("The total number of the scanned files: ", "", "files_scanned"),
    ("The number of deleted threat files: ", "", "threat_files_deleted"),
    ("The number of infections: ", "", "infections"),
    ("The number of repairs: ", "", "repairs"),
    ("The number of directories deleted: ", "", "directories_deleted"),
    ("The number of threat processes terminated: ", "", "processes_terminated"),
    ("The number of threat threads terminated: ", "", "threads_terminated"),
    ("The number of registry entries fixed: ", "", "registry_entries_fixed"),
    ("The number of threat services terminated: ", "", "services_terminated"),
    ("The number of threat services removed: ", "", "services_removed"),
    ("(would be) repaired: ", "", "repairs"),
    ("(would be) not repaired, the file is corrupted: ", "", "repairs_failed"),
    ("(would be) deleted threat files: ", "", "threat_files_deleted"),
    ("(would be) fixed registry entries: ", "", "registry_entries_fixed"),
    ("", " file(s) could not be deleted.", "deletes_pending_restart"),
    ("", " file(s) could not be replaced after repair.", "replacements_pending_restart"),
    ("", " file(s) could not be repaired due to corruption during infection.", "repairs_failed"),
    # the native scanner's summary
    ("The number of bytes read: ", "", "bytes_read"),
    ("The time taken in seconds: ", "", "seconds"),
    ("The number of failed repairs: ", "", "repairs_failed"),
    ("The number of files left unreadable: ", "", "files_unreadable"),
]
NATIVE_SUMMARY = {"files_scanned", "bytes_read", "seconds", "infections", "repairs", "repairs_failed",
                  "threat_files_deleted", "files_unreadable"}

# What the sample tool says of a sample, and its outcome in (a real run, a dry run).
OUTCOMES = {
    "infected, repairable": ("repaired", "would_be_repaired"),
    "infected, not repairable": ("not_repaired_corrupted", "would_fail_corrupted"),
    "threat file": ("deleted", "would_be_deleted"),
}


def read(data, path="-"):
    """Runs the reader on bytes (or a file); returns (exit code, document or None, stderr)."""
    p = subprocess.run([READER, path], input=data, capture_output=True)
    return p.returncode, json.loads(p.stdout) if p.stdout.strip() else None, p.stderr.decode("utf-8", "replace")


def kept_log(name, folder=KEPT_LOGS):
    with open(os.path.join(folder, name), "rb") as f:
        return f.read()


def report_numbers(data):
    """The report's numbers taken from the log's own lines, by the table above."""
    numbers = {}
    for line in re.split(rb"\r?\n", data):
        for head, tail, key in REPORT_NUMBERS:
            found = re.fullmatch(re.escape(head) + r"(\d+(\.\d+)?)" + re.escape(tail), line.decode("latin-1"))
            if found:
                numbers[key] = float(found[1]) if found[2] else int(found[1])
    return numbers


def check_report(test, data, doc, repaired_messages):
    """The counters are the report's, and the per-file lines tell the same story."""
    test.assertTrue(report_numbers(data), "the log has no report numbers")
    test.assertEqual(doc["counters"], report_numbers(data))
    test.assertEqual(sum(len(f["detections"]) for f in doc["files"]), doc["counters"].get("infections", 0))
    repairs = sum(m in repaired_messages for f in doc["files"] for m in f["messages"])
    test.assertEqual(repairs, doc["counters"].get("repairs", 0))
    test.assertEqual(doc["unknown"], [])


@functools.cache
def native_runs():
    """fixquorvin over the sample tool's tree: the tree, what the tool says of each sample, and
    {run: (log, stdout)} of a dry run, a real one with a quarantine, and one over a clean file."""
    folder = tempfile.mkdtemp(prefix="quorvin-log-test.")
    atexit.register(shutil.rmtree, folder, True)
    tree = os.path.join(folder, "share")
    listing = subprocess.run([os.environ["WRITE_SAMPLES"], tree, "-"], capture_output=True, text=True, check=True)
    kinds = {os.path.join(tree, line[:28].strip()): line[28:].strip() for line in listing.stdout.splitlines()}
    clean = next(path for path, kind in kinds.items() if kind == "clean")
    runs = {"bytes": sum(os.path.getsize(os.path.join(d, n)) for d, _, names in os.walk(tree) for n in names)}
    for name, args in (("dry", ["--dry-run", tree]), ("real", ["--quarantine=" + folder + "/q", tree]),
                       ("clean", [clean])):
        p = subprocess.run([os.environ["FIXQUORVIN"], "--log=" + os.path.join(folder, name), *args], capture_output=True)
        runs[name] = (kept_log(name, folder), p.stdout)
    return tree, kinds, runs


@unittest.skipUnless(NATIVE, "fixquorvin not built")
class NativeRuns(unittest.TestCase):
    def test_dry_run_then_real_run(self):
        _, kinds, runs = native_runs()
        self.assertLessEqual({"threat file", "infected, not repairable"}, set(kinds.values()))
        for name, dry in (("dry", True), ("real", False)):
            with self.subTest(name):
                data, stdout = runs[name]
                self.assertIn(b"\r\n", data)
                code, doc, err = read(data)
                self.assertEqual(code, 0, err)
                # The terminal's LF form reads the same as the log file's CR LF form.
                self.assertEqual(read(stdout)[1], doc)
                self.assertEqual([doc[k] for k in ("program", "version", "complete", "threat_found", "restart")],
                                 ["native", "1.0.4", True, True, "none"])
                self.assertEqual((doc["mode"]["dry_run"], doc["mode"]["silent"]), (dry, False))
                check_report(self, data, doc, {"(dry run) would be repaired" if dry else "File repaired."})
                self.assertEqual({f["path"]: f["outcome"] for f in doc["files"]},
                                 {path: OUTCOMES[kind][dry] for path, kind in kinds.items() if kind != "clean"})
                # The sample that cannot be repaired makes the run (or the real run after a dry one) fail.
                self.assertEqual(doc["counters"]["repairs_failed"], 1)
                self.assertEqual((doc["headline"]["outcome"], doc["headline"].get("would_be_unsuccessful")),
                                 ("found", True) if dry else ("unsuccessful", None))
                # The summary is whole, with the bytes of every file of the tree.
                self.assertLessEqual(NATIVE_SUMMARY, set(doc["counters"]))
                self.assertEqual((doc["counters"]["bytes_read"], doc["counters"]["files_unreadable"]),
                                 (runs["bytes"], 0))
                self.assertIsInstance(doc["counters"]["seconds"], float)
                # A layered sample is one finding with one detection per layer.
                self.assertEqual([len(f["detections"]) for f in doc["files"] if f["path"].endswith("/twice.exe")], [2])

    def test_clean_file(self):
        # The log file's CR LF lines and standard output's LF lines: the summary tells the program in both.
        for name, data in zip(("log", "stdout"), native_runs()[2]["clean"]):
            with self.subTest(name):
                code, doc, err = read(data)
                self.assertEqual(code, 0, err)
                self.assertEqual([doc["program"], doc["headline"]["outcome"], doc["threat_found"], doc["files"]],
                                 ["native", "not_found", False, []])
                self.assertEqual(doc["counters"], report_numbers(data))
                self.assertEqual(set(doc["counters"]), NATIVE_SUMMARY)
                self.assertEqual((doc["counters"]["files_scanned"], doc["unknown"]), (1, []))

    def test_a_tree_that_is_not_there(self):
        # The incomplete headline without a number of folders, then the report's own count.
        folder = tempfile.mkdtemp(prefix="quorvin-log-test.")
        atexit.register(shutil.rmtree, folder, True)
        subprocess.run([os.environ["FIXQUORVIN"], "--dry-run", "--log=" + os.path.join(folder, "log"),
                        os.path.join(folder, "missing")], capture_output=True)
        code, doc, err = read(kept_log("log", folder))
        self.assertEqual(code, 0, err)
        self.assertEqual([doc["headline"]["outcome"], doc["complete"], doc["counters"]["directories_not_scanned"]],
                         ["incomplete", True, 1])

    def test_lines_it_does_not_know_are_kept(self):
        tree, _, runs = native_runs()
        lines = runs["real"][0].split(b"\r\n")
        path = os.path.join(tree, "odd/new.exe").encode()
        lines[1:1] = [b"Something this reader has never seen", path + b": (WARNING: not scanned, a new reason)",
                      b"WARNING: a warning without a path", path + b": a message nobody wrote yet"]
        code, doc, err = read(b"\r\n".join(lines))
        self.assertEqual(code, 0, err)
        self.assertEqual([(u["text"], u["line"], u["kind"]) for u in doc["unknown"]],
                         [("Something this reader has never seen", 2, "unknown"),
                          (path.decode() + ": a message nobody wrote yet", 5, "unknown")])
        self.assertEqual([(w["path"], w["line"]) for w in doc["warnings"]], [(path.decode(), 3), (None, 4)])

    def test_restore(self):
        """A restore of the real run's quarantine, with one repaired file changed since: the
        others restored, that one refused; its dry run; a folder that is no quarantine; cut short."""
        tree, kinds, _ = native_runs()
        folder = os.path.dirname(tree)
        changed = next(path for path, kind in kinds.items() if kind == "infected, repairable")
        with open(changed, "ab") as f:
            f.write(b"changed")
        logs = {}
        for name, args in (("dry", ["--dry-run"]), ("restore", []), ("foreign", [])):
            q = tree if name == "foreign" else folder + "/q"
            subprocess.run([os.environ["FIXQUORVIN"], "--log=" + os.path.join(folder, name), "--restore=" + q, *args],
                           capture_output=True)
            logs[name] = kept_log(name, folder)
        expected = {path: "restored" for path, kind in kinds.items() if kind in ("infected, repairable", "threat file")}
        expected[changed] = "refused"
        for name, outcome, restored in (("dry", "would_be_restored", "would_be_restored"), ("restore", "not_restored", "restored")):
            with self.subTest(name):
                code, doc, err = read(logs[name])
                self.assertEqual(code, 0, err)
                self.assertEqual([doc["program"], doc["complete"], doc["headline"]["outcome"], doc["mode"]["dry_run"]],
                                 ["native", True, outcome, name == "dry"])
                self.assertEqual({f["path"]: f["outcome"] for f in doc["files"]},
                                 {p: restored if o == "restored" else o for p, o in expected.items()})
                self.assertEqual(doc["counters"], {"files_restored": len(expected) - 1, "files_refused": 1,
                                                   "files_not_restored": 0})
                self.assertEqual([w["path"] for w in doc["warnings"]], [changed])
                self.assertEqual(doc["unknown"], [])
        code, doc, _ = read(logs["foreign"])
        self.assertEqual((code, doc["headline"]["outcome"], doc["complete"]), (0, "restore_not_run", True))
        code, doc, _ = read(logs["restore"][:logs["restore"].index(b"The number of the files refused")])
        self.assertEqual((code, doc["complete"]), (3, False))


class BadInput(unittest.TestCase):
    """Logs that are no logs, and logs cut short: exit 3 and a clear message."""

    WINDOWS = kept_log("windows-silent-removed.log")
    TITLE = WINDOWS[:WINDOWS.index(b"\r\n") + 2]

    def test_not_a_log(self):
        for name, data in (("empty", b""), ("binary", bytes(range(256)) * 4), ("png", b"\x89PNG\r\n\x1a\n\0\0\0\rIHDR"),
                           ("text", b"hello\nworld\n"), ("no title line", self.WINDOWS[len(self.TITLE):]),
                           ("another product", self.WINDOWS.replace(b"Ostrovel W32.Quorvin", b"Ostrovel W32.Other", 1))):
            with self.subTest(name):
                code, doc, err = read(data)
                self.assertEqual((code, doc), (3, None))
                self.assertIn("not a log of FixQuorvin.exe or fixquorvin", err)

    def test_truncated(self):
        cut = lambda data, text, more=0: data[:data.index(text) + more]
        win = self.WINDOWS
        cases = [
            ("before the report", cut(win, b"W32.Quorvin has been successfully"), "no report"),
            ("inside the counters", cut(win, b"The number of threat processes"), "last counter"),
            ("in the middle of a line", cut(win, b"The number of infections", 10), "no line end"),
            ("title only", self.TITLE, "no report"),
            ("the rights report without its second line",
             self.TITLE + b"You do not have Administrator rights to run the tool.\r\n", "after its first line"),
        ]
        if NATIVE:
            dry = native_runs()[2]["dry"][0]
            cases += [("dry run without its closing line", cut(dry, b"\r\nDry run:"), "closing line"),
                      ("native report without counters", cut(dry, b"The total number"), "no counters"),
                      ("native summary cut short", cut(native_runs()[2]["real"][0], b"The number of files left"),
                       "last counter")]
        for name, data, reason in cases:
            with self.subTest(name):
                code, doc, err = read(data)
                self.assertEqual(code, 3)
                self.assertIn("truncated: ", err)
                self.assertIn(reason, err)
                # What was read is still printed, marked as incomplete.
                self.assertFalse(doc["complete"])
                self.assertIn(reason, doc["truncated"])

    def test_a_missing_file_is_a_usage_error(self):
        code, _, err = read(None, os.path.join(KEPT_LOGS, "no-such.log"))
        self.assertEqual(code, 2)
        self.assertIn("cannot read", err)


class LineForms(unittest.TestCase):
    """The other line forms of the Windows program, read inside a log of a real run."""

    LONG = "C:\\" + "\\".join(["d" * 200] * 9) + "\\long.exe"
    CASES = [
        # line, section, the fields the entry must have
        ("process: iexplore.exe (suspended)", "processes", {"name": "iexplore.exe", "outcome": "suspended"}),
        ("process: explorer.exe, thread: 0000002A (terminated)", "processes",
         {"name": "explorer.exe", "thread": "0000002A", "outcome": "terminated"}),
        ("process: file_holder.exe (terminaed)", "processes", {"name": "file_holder.exe", "outcome": "terminated"}),
        ("process: C:\\Program Files (x86)\\a.exe", "processes",
         {"name": "C:\\Program Files (x86)\\a.exe", "outcome": "found"}),
        ("process: x.exe (WARNING: can't be manipulated)", "processes", {"outcome": "not_manipulated"}),
        ("service: Quorvin Helper (stopped)", "services", {"name": "Quorvin Helper", "outcome": "stopped"}),
        ("service: (can't access database, insufficient privileges)", "services",
         {"name": "", "outcome": "database_access_denied"}),
        ('The member "EVIL" was removed from the local group "Administrators".', "accounts",
         {"kind": "group_member_removed", "member": "EVIL", "group": "Administrators"}),
        ('The account "EVIL" has been disabled.', "accounts", {"kind": "account_disabled", "account": "EVIL"}),
        ("registry: HKEY_USERS\\S-1-5-21-7\\Software\\Q: Val (value deleted)", "registry",
         {"key": "HKEY_USERS\\S-1-5-21-7\\Software\\Q", "value": "Val", "outcome": "value_deleted"}),
        ("registry: HKLM\\Software\\Q (key deleted)", "registry",
         {"key": "HKLM\\Software\\Q", "value": None, "outcome": "key_deleted"}),
        ("registry: HKLM\\Software\\Q: (Default value was cleared)", "registry",
         {"value": "(Default)", "outcome": "default_cleared"}),
        ("registry: HKLM\\Software\\Q: Start (value set to 0x00000004 (4))", "registry",
         {"value": "Start", "outcome": "value_set", "data": "0x00000004 (4)"}),
        ("registry: HKLM\\Software\\Q: Shell (WARNING: could not be fixed)", "registry",
         {"value": "Shell", "outcome": "not_fixed"}),
        ("registry: HKLM\\Software\\Q: Runonce (dry run) would be deleted", "registry",
         {"key": "HKLM\\Software\\Q", "value": "Runonce", "outcome": "would_be_deleted"}),
        ("registry: HKLM\\Software\\Q: (Default) (dry run) would be cleared", "registry",
         {"value": "(Default)", "outcome": "would_be_cleared"}),
        ('registry: HKLM\\Software\\Q: Shell (dry run) would be set to "explorer.exe"', "registry",
         {"value": "Shell", "outcome": "would_be_set", "data": '"explorer.exe"'}),
        ("registry: HKLM\\Software\\Q: Runonce (WARNING: not deleted, the hive could not be written)", "registry",
         {"value": "Runonce", "outcome": "not_deleted"}),
        ("COM Server: C:\\x\\a.dll (unregistered)", "com_servers", {"path": "C:\\x\\a.dll", "outcome": "unregistered"}),
        ("directory C:\\WINDOWS\\qv: (will be deleted on next reboot)", "directories",
         {"path": "C:\\WINDOWS\\qv", "outcome": "deleted_at_restart"}),
        ("directory C:\\missing: (WARNING: not scanned, not found)", "directories",
         {"path": "C:\\missing", "outcome": "not_scanned_not_found"}),
        # The Windows program's dry-run forms of its process, service and directory lines.
        ("process: qvthreat.exe (dry run) would be terminated", "processes",
         {"name": "qvthreat.exe", "thread": None, "outcome": "would_be_terminated"}),
        ("process: explorer.exe, thread: 0000002A (dry run) would be terminated", "processes",
         {"name": "explorer.exe", "thread": "0000002A", "outcome": "would_be_terminated"}),
        ("service: Quorvin Helper (dry run) would be stopped", "services",
         {"name": "Quorvin Helper", "outcome": "would_be_stopped"}),
        ("service: Quorvin Helper (dry run) would be deleted", "services",
         {"name": "Quorvin Helper", "outcome": "would_be_deleted"}),
        ("directory C:\\WINDOWS\\qv: (dry run) would be deleted", "directories",
         {"path": "C:\\WINDOWS\\qv", "outcome": "would_be_deleted"}),
    ]
    FILES = [
        # lines of one file, the finding they make
        (["C:\\x\\cut.exe: infected with W32.Quorvin!inf", "C:\\x\\cut.exe: (can't repair) (deleted)"],
         {"path": "C:\\x\\cut.exe", "outcome": "not_repaired_deleted"}),
        (["C:\\x\\vcab.dll: infected with W32.Quorvin", "Delete failed"],
         {"path": "C:\\x\\vcab.dll", "outcome": "delete_failed"}),
        (["C:\\x\\held.exe: infected with W32.Quorvin!inf", "C:\\x\\held.exe: will be repaired at the next reboot"],
         {"path": "C:\\x\\held.exe", "outcome": "replaced_at_restart"}),
        # A head over 1792 characters: the message follows on a line of its own.
        ([LONG + ": ", "    infected with W32.Quorvin!inf", LONG + ": ", "    File repaired."],
         {"path": LONG, "outcome": "repaired", "detections": ["W32.Quorvin!inf"]}),
    ]
    WARNINGS = [
        ("C:\\x\\locked.exe: WARNING: file cannot be opened for scanning", "C:\\x\\locked.exe"),
        ("C:\\x\\" + "a" * 250 + "\\b.exe: (WARNING: not scanned, path too long)", "C:\\x\\" + "a" * 250 + "\\b.exe"),
        ('WARNING: unknown switch "/FOO" ignored', None),
        ("WARNING: the log file given with /LOG= could not be created: C:\\ro\\q.log", "C:\\ro\\q.log"),
    ]

    def read_with(self, added, closing=b""):
        log = BadInput.WINDOWS
        title = len(BadInput.TITLE)
        code, doc, err = read(log[:title] + "".join(line + "\r\n" for line in added).encode("latin-1") + log[title:]
                              + closing)
        self.assertEqual(code, 0, err)
        self.assertEqual((doc["unknown"], doc["program"]), ([], "windows"))
        return doc

    def test_line_forms(self):
        real = [case for case in self.CASES if "(dry run)" not in case[0]]
        dry = [case for case in self.CASES if "(dry run)" in case[0]]
        added = [line for line, _, _ in real] + [line for lines, _ in self.FILES for line in lines]
        added += [line for line, _ in self.WARNINGS]
        doc = self.read_with(added + ["The scanning procedure was cancelled."])
        self.assertEqual((doc["mode"]["dry_run"], doc["cancelled"]), (False, True))
        # A log with "(dry run)" lines is a dry run's, which ends with its closing line.
        dry_doc = self.read_with([line for line, _, _ in dry], b"\r\nDry run: nothing was changed.\r\n")
        self.assertTrue(dry_doc["mode"]["dry_run"])
        expected = [("text", line, d[section], fields) for cases, d in ((real, doc), (dry, dry_doc))
                    for line, section, fields in cases]
        expected += [("path", fields["path"], doc["files"], fields) for _, fields in self.FILES]
        for by, key, entries, fields in expected:
            with self.subTest(key[:80]):
                entry = [e for e in entries if e.get(by) == key]
                self.assertEqual(len(entry), 1)
                self.assertEqual({k: entry[0].get(k) for k in fields}, fields)
        warned = [(w["text"], w["path"]) for w in doc["warnings"]]
        for warning in self.WARNINGS:
            self.assertIn(warning, warned)
        # Every line that says WARNING is a warning, wherever else it belongs.
        self.assertEqual(len(warned), len([line for line in added if "WARNING" in line]))


class ShortReports(unittest.TestCase):
    """Runs that end before a report of counters: each such report is whole."""

    SILENT = b"\r\nThe tool was executed in silent mode.\r\n\r\n"
    CASES = [
        # what the run wrote after the title (the loading failure ends before the silent-mode line)
        ("rights refused", b"You do not have Administrator rights to run the tool.\r\n"
         b"Please contact your Network Administrator for more information.\r\n" + SILENT, "rights_refused"),
        ("functions missing", b"\r\nLoading APIs fails.\r\n", "stopped"),
        ("an /ONLYDIR= tree that is not there", b"directory C:\\NOPE: (WARNING: not scanned, not found)\r\n"
         b"No file was scanned: the folder given with /ONLYDIR= does not exist.\r\n" + SILENT, "not_scanned"),
    ]

    def test_short_reports(self):
        for name, lines, outcome in self.CASES:
            with self.subTest(name):
                code, doc, err = read(BadInput.TITLE + lines)
                self.assertEqual(code, 0, err)
                self.assertEqual([doc["complete"], doc["headline"]["outcome"], doc["unknown"], doc["program"]],
                                 [True, outcome, [], "windows"])


class WindowsLogs(unittest.TestCase):
    """Logs of FixQuorvin.exe /S /NOSILENTREBOOT under Wine (tests/wine/quorvin_log_wine.sh)."""

    def read_log(self, name, dry_run=False):
        data = kept_log(name, os.environ.get("QUORVIN_WINDOWS_LOGS") or KEPT_LOGS)
        code, doc, err = read(data)
        self.assertEqual(code, 0, err)
        self.assertEqual([doc["program"], doc["version"], doc["mode"]["silent"], doc["mode"]["dry_run"]],
                         ["windows", "1.0.4", True, dry_run])
        return data, doc

    def outcomes(self, doc):
        return {f["path"].rsplit("\\", 1)[-1].lower(): f["outcome"] for f in doc["files"]}

    def test_removed(self):
        data, doc = self.read_log("windows-silent-removed.log")
        check_report(self, data, doc, {"File repaired."})
        self.assertEqual((doc["headline"]["outcome"], doc["restart"]), ("successful", "none"))
        self.assertEqual(self.outcomes(doc), {"hello-infected.exe": "repaired", "hello-twolayer.exe": "repaired",
                                              "setup-dropper.exe": "deleted", "vcab.dll": "deleted"})
        self.assertEqual([(r["value"], r["outcome"]) for r in doc["registry"]], [("Runonce", "value_deleted")])
        self.assertTrue(doc["registry"][0]["key"].endswith("\\CurrentVersion\\Run"))

    def test_dry_run_before_the_removal(self):
        data, doc = self.read_log("windows-silent-dryrun.log", dry_run=True)
        check_report(self, data, doc, {"(dry run) would be repaired"})
        self.assertEqual((doc["headline"]["outcome"], doc["restart"]), ("found", "none"))
        self.assertEqual(self.outcomes(doc), {"hello-infected.exe": "would_be_repaired",
                                              "hello-twolayer.exe": "would_be_repaired",
                                              "setup-dropper.exe": "would_be_deleted",
                                              "vcab.dll": "would_be_deleted"})
        self.assertEqual([(r["value"], r["outcome"]) for r in doc["registry"]], [("Runonce", "would_be_deleted")])
        # It counts what the real run that follows it does (which also scans the dry run's log).
        _, real = self.read_log("windows-silent-removed.log")
        found = {k: v for k, v in real["counters"].items() if v and k != "files_scanned"}
        self.assertEqual({k: v for k, v in doc["counters"].items() if k != "files_scanned"}, found)
        self.assertEqual(doc["counters"]["files_scanned"] + 1, real["counters"]["files_scanned"])
        logs = os.environ.get("QUORVIN_WINDOWS_LOGS")
        if logs:
            with open(os.path.join(logs, "windows-silent-dryrun.log.code")) as f:
                self.assertEqual(f.read().strip(), "1")

    def test_locked_threat_file_waits_for_the_restart(self):
        data, doc = self.read_log("windows-silent-restart.log")
        check_report(self, data, doc, {"File repaired."})
        self.assertEqual((doc["headline"]["outcome"], doc["restart"]), ("successful", "pending"))
        self.assertEqual(doc["counters"]["deletes_pending_restart"], 1)
        self.assertEqual(self.outcomes(doc)["vcab.dll"], "deleted_at_restart")

    def test_restore(self):
        _, doc = self.read_log("windows-silent-restore.log")
        self.assertEqual([doc["headline"]["outcome"], doc["complete"], doc["unknown"]], ["restored", True, []])
        self.assertEqual(self.outcomes(doc), {"hello-infected.exe": "restored", "hello-twolayer.exe": "restored",
                                              "setup-dropper.exe": "restored", "vcab.dll": "restored"})
        self.assertEqual(doc["counters"], {"files_restored": 4, "files_refused": 0, "files_not_restored": 0})

    @unittest.skipUnless(os.environ.get("QUORVIN_WINDOWS_LOGS"), "only the Wine test keeps this log")
    def test_nothing_scanned_nothing_found(self):
        _, doc = self.read_log("windows-silent-clean.log")
        self.assertEqual([doc[k] for k in ("threat_found", "counters", "files", "unknown")], [False, {}, [], []])
        self.assertEqual((doc["headline"]["outcome"], doc["mode"]["file_scan"]), ("not_found", False))


@unittest.skipUnless(os.environ.get("CMAKE_COMMAND") and os.environ.get("QUORVIN_BUILD_DIR"), "no build folder")
class Install(unittest.TestCase):
    def test_install_into_destdir(self):
        dest = tempfile.mkdtemp(prefix="quorvin-install.")
        self.addCleanup(shutil.rmtree, dest, True)
        subprocess.run([os.environ["CMAKE_COMMAND"], "--install", os.environ["QUORVIN_BUILD_DIR"], "--prefix",
                        "/opt/quorvin"], env=dict(os.environ, DESTDIR=dest), check=True, capture_output=True)
        files = sorted(os.path.relpath(os.path.join(d, n), dest) for d, _, names in os.walk(dest) for n in names)
        self.assertEqual(files, ["opt/quorvin/bin/fixquorvin", "opt/quorvin/bin/quorvin-log",
                                 "opt/quorvin/share/man/man1/fixquorvin.1"])
        for program, text in (("fixquorvin", "Usage: fixquorvin"), ("quorvin-log", "usage: quorvin-log")):
            with self.subTest(program):
                p = subprocess.run([os.path.join(dest, "opt/quorvin/bin", program), "--help"], capture_output=True,
                                   text=True)
                self.assertEqual((p.returncode, text in p.stdout), (0, True))
        if shutil.which("groff"):
            p = subprocess.run(["groff", "-man", "-Tutf8", "-ww", "-z", os.path.join(dest, files[2])],
                               capture_output=True, text=True)
            self.assertEqual((p.returncode, p.stderr), (0, ""))


if __name__ == "__main__":
    unittest.main()
