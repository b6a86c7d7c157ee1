#!/usr/bin/env python3
"""Tests of quorvin-log on logs that real runs of both programs wrote.

The native logs come from runs of fixquorvin over trees of the sample
factory made here. The Windows logs are the ones that tests/wine/
quorvin_log_wine.sh lets FixQuorvin.exe write under Wine (QUORVIN_WINDOWS_LOGS
names their folder); without it, the copies of such logs kept in tests/logs/.

Environment: QUORVIN_LOG (the reader), FIXQUORVIN, WRITE_SAMPLES (the
sample tool); for the install test CMAKE_COMMAND and QUORVIN_BUILD_DIR.
"""

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
READER = os.environ.get("QUORVIN_LOG", os.path.join(ROOT, "tools", "quorvin-log"))

# Every number of a report, and the key the reader gives it.
REPORT_NUMBERS = [
    ("The total number of the scanned files: ", "files_scanned"),
    ("The number of deleted threat files: ", "threat_files_deleted"),
    ("The number of infections: ", "infections"),
    ("The number of repairs: ", "repairs"),
    ("The number of directories deleted: ", "directories_deleted"),
    ("The number of threat processes terminated: ", "processes_terminated"),
    ("The number of threat threads terminated: ", "threads_terminated"),
    ("The number of registry entries fixed: ", "registry_entries_fixed"),
    ("The number of threat services terminated: ", "services_terminated"),
    ("The number of threat services removed: ", "services_removed"),
    ("(would be) repaired: ", "repairs"),
    ("(would be) not repaired, the file is corrupted: ", "repairs_failed"),
    ("(would be) deleted threat files: ", "threat_files_deleted"),
    ("(would be) fixed registry entries: ", "registry_entries_fixed"),
]
REPORT_LEADING_NUMBERS = [
    (" file(s) could not be deleted.", "deletes_pending_restart"),
    (" file(s) could not be replaced after repair.", "replacements_pending_restart"),
    (" file(s) could not be repaired due to corruption during infection.", "repairs_failed"),
]

# What the sample tool says of a sample, and the outcome each kind of run gives it.
OUTCOMES = {
    "infected, repairable": {"real": "repaired", "dry": "would_be_repaired"},
    "infected, not repairable": {"real": "not_repaired_corrupted", "dry": "would_fail_corrupted"},
    "threat file": {"real": "deleted", "dry": "would_be_deleted"},
}


def read(data):
    """Runs the reader on bytes; returns (exit code, document or None, stderr)."""
    p = subprocess.run([READER, "-"], input=data, capture_output=True)
    doc = json.loads(p.stdout) if p.stdout.strip() else None
    return p.returncode, doc, p.stderr.decode("utf-8", "replace")


def read_file(path):
    p = subprocess.run([READER, path], capture_output=True)
    return p.returncode, (json.loads(p.stdout) if p.stdout.strip() else None), p.stderr.decode()


def report_numbers(data):
    """The report's numbers taken from the log's own lines, by the table above."""
    numbers = {}
    for line in re.split(rb"\r\n|\n", data):
        line = line.decode("latin-1")
        for text, key in REPORT_NUMBERS:
            if line.startswith(text) and line[len(text):].isdigit():
                numbers[key] = int(line[len(text):])
        for text, key in REPORT_LEADING_NUMBERS:
            head = line[:-len(text)] if line.endswith(text) else ""
            if head.isdigit():
                numbers[key] = int(head)
    return numbers


# The report's first line, and the outcome the reader must give it.
HEADLINES = [
    (" has not been found on your computer.", "not_found"),
    (" has not been found on your computer, but the scan", "cancelled"),
    ("The W32.Quorvin scan was incomplete: not everything", "incomplete"),
    (" has been successfully removed from your computer!", "successful"),
    ("The W32.Quorvin removal was successful.", "successful"),
    ("The W32.Quorvin removal was unsuccessful", "unsuccessful"),
    (" was found: a real run would ", "found"),
    ("The W32.Quorvin scan was incomplete: ", "incomplete"),
]


def headline_outcome(data):
    for line in re.split(rb"\r\n|\n", data):
        line = line.decode("latin-1")
        for text, outcome in HEADLINES:
            if text in line and line.startswith(("W32.Quorvin", "The W32.Quorvin")):
                return outcome
    return None


class Checks:
    def assertCountersAreTheReport(self, data, doc):
        expected = report_numbers(data)
        self.assertTrue(expected, "the log has no report numbers")
        self.assertEqual(doc["counters"], expected)

    def assertFindingsAddUp(self, doc, repaired_outcomes):
        """The per-file lines and the report's counters tell the same story."""
        detections = sum(len(f["detections"]) for f in doc["files"])
        self.assertEqual(detections, doc["counters"].get("infections", 0))
        repairs = sum(sum(1 for m in f["messages"] if m in repaired_outcomes) for f in doc["files"])
        self.assertEqual(repairs, doc["counters"].get("repairs", 0))
        self.assertEqual(doc["unknown"], [])


def fixquorvin(*args):
    return subprocess.run([os.environ["FIXQUORVIN"], *args], capture_output=True)


@unittest.skipUnless(os.environ.get("FIXQUORVIN") and os.environ.get("WRITE_SAMPLES"), "fixquorvin not built")
class NativeRuns(unittest.TestCase, Checks):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="quorvin-log-test.")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.tree = os.path.join(self.dir, "share")
        listing = subprocess.run([os.environ["WRITE_SAMPLES"], self.tree, "-"], capture_output=True,
                                 text=True, check=True).stdout
        self.expect = {}
        for line in listing.splitlines():
            name, kind = line[:28].strip(), line[28:].strip()
            self.expect[os.path.join(self.tree, name)] = kind
        self.assertIn("threat file", self.expect.values())
        self.assertIn("infected, not repairable", self.expect.values())

    def run_scan(self, kind, *options):
        log = os.path.join(self.dir, kind + ".log")
        run = fixquorvin(*options, "--log=" + log, self.tree)
        with open(log, "rb") as f:
            data = f.read()
        self.assertIn(b"\r\n", data)
        return data, run.stdout

    def assertRunIsRead(self, data, kind):
        code, doc, err = read(data)
        self.assertEqual(code, 0, err)
        self.assertEqual(doc["program"], "native")
        self.assertEqual(doc["version"], "1.0.4")
        self.assertTrue(doc["complete"])
        self.assertEqual(doc["mode"]["dry_run"], kind == "dry")
        self.assertFalse(doc["mode"]["silent"])
        self.assertTrue(doc["threat_found"])
        self.assertEqual(doc["restart"], "none")
        self.assertCountersAreTheReport(data, doc)
        outcomes = {f["path"]: f["outcome"] for f in doc["files"]}
        wanted = {path: OUTCOMES[k][kind] for path, k in self.expect.items() if k != "clean"}
        self.assertEqual(outcomes, wanted)
        repaired = {"File repaired."} if kind == "real" else {"(dry run) would be repaired"}
        self.assertFindingsAddUp(doc, repaired)
        return doc

    def test_dry_run_then_real_run(self):
        for kind, options in (("dry", ["--dry-run"]), ("real", ["--quarantine=" + os.path.join(self.dir, "q")])):
            with self.subTest(kind=kind):
                data, stdout = self.run_scan(kind, *options)
                doc = self.assertRunIsRead(data, kind)
                # The terminal's LF form reads the same as the log file's CR LF form.
                _, from_stdout, _ = read(stdout)
                self.assertEqual(from_stdout, doc)
                self.assertEqual(doc["headline"]["outcome"], headline_outcome(data))
                # The sample that cannot be repaired makes the run (or the real run after a dry one) fail.
                self.assertTrue(doc["headline"]["outcome"] == "unsuccessful" or
                                doc["headline"].get("would_be_unsuccessful"))
                self.assertEqual(doc["counters"]["repairs_failed"], 1)
        # A layered sample is one finding with one detection per layer.
        twice = [f for f in doc["files"] if f["path"].endswith("/twice.exe")]
        self.assertEqual(len(twice), 1)
        self.assertEqual(len(twice[0]["detections"]), 2)

    def test_clean_tree(self):
        clean = os.path.join(self.dir, "clean")
        os.makedirs(clean)
        for path, kind in self.expect.items():
            if kind == "clean":
                shutil.copy(path, clean)
        run = fixquorvin(clean)
        self.assertEqual(run.returncode, 0)
        code, doc, err = read(run.stdout)
        self.assertEqual(code, 0, err)
        self.assertEqual(doc["program"], "native")
        self.assertEqual(doc["headline"]["outcome"], headline_outcome(run.stdout))
        self.assertEqual(doc["headline"]["outcome"], "not_found")
        self.assertFalse(doc["threat_found"])
        self.assertEqual(doc["files"], [])
        self.assertEqual(doc["counters"], report_numbers(run.stdout))

    def test_lines_it_does_not_know_are_kept(self):
        data, _ = self.run_scan("real")
        lines = data.split(b"\r\n")
        path = os.path.join(self.tree, "odd/new.exe").encode()
        lines[1:1] = [b"Something this reader has never seen", path + b": (WARNING: not scanned, a new reason)",
                      b"WARNING: a warning without a path", path + b": a message nobody wrote yet"]
        code, doc, err = read(b"\r\n".join(lines))
        self.assertEqual(code, 0, err)
        self.assertEqual([u["text"] for u in doc["unknown"]],
                         ["Something this reader has never seen", path.decode() + ": a message nobody wrote yet"])
        self.assertEqual([u["line"] for u in doc["unknown"]], [2, 5])
        self.assertTrue(all(u["kind"] == "unknown" for u in doc["unknown"]))
        self.assertEqual([(w["path"], w["line"]) for w in doc["warnings"]], [(path.decode(), 3), (None, 4)])


class BadInput(unittest.TestCase):
    """Logs that are no logs, and logs cut short: exit 3 and a clear message."""

    @classmethod
    def setUpClass(cls):
        cls.logs = {}
        for name in os.listdir(os.path.join(ROOT, "tests", "logs")):
            if name.endswith(".log"):
                with open(os.path.join(ROOT, "tests", "logs", name), "rb") as f:
                    cls.logs[name] = f.read()
        if os.environ.get("FIXQUORVIN") and os.environ.get("WRITE_SAMPLES"):
            with tempfile.TemporaryDirectory(prefix="quorvin-log-test.") as d:
                subprocess.run([os.environ["WRITE_SAMPLES"], d + "/share", "-"], capture_output=True, check=True)
                fixquorvin("--dry-run", "--log=" + d + "/dry.log", d + "/share")
                with open(d + "/dry.log", "rb") as f:
                    cls.logs["native-dry-run.log"] = f.read()

    def test_not_a_log(self):
        log = self.logs["windows-silent-removed.log"]
        cases = [
            ("empty", b""),
            ("binary", bytes(range(256)) * 4),
            ("png", b"\x89PNG\r\n\x1a\n\0\0\0\rIHDR"),
            ("text", b"hello\nworld\n"),
            ("no title line", log[log.index(b"\r\n") + 2:]),
            ("another product", log.replace(b"Ostrovel W32.Quorvin", b"Ostrovel W32.Other", 1)),
        ]
        for name, data in cases:
            with self.subTest(name):
                code, doc, err = read(data)
                self.assertEqual(code, 3)
                self.assertIsNone(doc)
                self.assertIn("not a log of FixQuorvin.exe or fixquorvin", err)

    def test_truncated(self):
        win = self.logs["windows-silent-removed.log"]
        at = lambda data, text: data.index(text)
        cases = [
            ("before the report", win[:at(win, b"W32.Quorvin has been successfully")], "no report"),
            ("inside the counters", win[:at(win, b"The number of threat processes")], "last counter"),
            ("in the middle of a line", win[:at(win, b"The number of infections") + 10], "no line end"),
            ("title only", win[:at(win, b"\r\n") + 2], "no report"),
        ]
        dry = self.logs.get("native-dry-run.log")
        if dry:
            cases += [("dry run without its closing line", dry[:at(dry, b"\r\nDry run:")], "closing line"),
                      ("native report without counters", dry[:at(dry, b"The total number")], "no counters")]
        for name, data, reason in cases:
            with self.subTest(name):
                code, doc, err = read(data)
                self.assertEqual(code, 3)
                self.assertIn("truncated", err)
                self.assertIn(reason, err)
                # What was read is still printed, marked as incomplete.
                self.assertFalse(doc["complete"])
                self.assertIn(reason, doc["truncated"])

    def test_a_missing_file_is_a_usage_error(self):
        code, doc, err = read_file(os.path.join(ROOT, "tests", "logs", "no-such.log"))
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
        with open(os.path.join(ROOT, "tests", "logs", "windows-silent-removed.log"), "rb") as f:
            log = f.read()
        title = log.index(b"\r\n") + 2
        code, doc, err = read(log[:title] + "\r\n".join(added).encode("latin-1") + b"\r\n" + log[title:] + closing)
        self.assertEqual(code, 0, err)
        self.assertEqual(doc["unknown"], [])
        self.assertEqual(doc["program"], "windows")
        return doc

    def test_line_forms(self):
        real = [case for case in self.CASES if "(dry run)" not in case[0]]
        dry = [case for case in self.CASES if "(dry run)" in case[0]]
        added = [line for line, _, _ in real] + [l for lines, _ in self.FILES for l in lines]
        added += [line for line, _ in self.WARNINGS] + ["The scanning procedure was cancelled."]
        doc = self.read_with(added)
        self.assertFalse(doc["mode"]["dry_run"])
        # A log with "(dry run)" lines is a dry run's, which ends with its closing line.
        dry_doc = self.read_with([line for line, _, _ in dry], b"\r\nDry run: nothing was changed.\r\n")
        self.assertTrue(dry_doc["mode"]["dry_run"])
        for cases, d in ((real, doc), (dry, dry_doc)):
            for line, section, fields in cases:
                with self.subTest(line):
                    entry = [e for e in d[section] if e["text"] == line]
                    self.assertEqual(len(entry), 1)
                    self.assertEqual({k: entry[0].get(k) for k in fields}, fields)
        for lines, fields in self.FILES:
            with self.subTest(lines[0]):
                entry = [f for f in doc["files"] if f["path"] == fields["path"]]
                self.assertEqual(len(entry), 1)
                self.assertEqual({k: entry[0].get(k) for k in fields}, fields)
        warned = [(w["text"], w["path"]) for w in doc["warnings"]]
        for line, path in self.WARNINGS:
            self.assertIn((line, path), warned)
        # Every line that says WARNING is a warning, wherever else it belongs.
        self.assertEqual(len(warned), len([l for l in added if "WARNING" in l]))
        self.assertTrue(doc["cancelled"])


class ShortReports(unittest.TestCase):
    """Runs that end before a report of counters: each such report is whole."""

    TITLE = b"Ostrovel W32.Quorvin Removal Tool 1.0.4\r\n"
    SILENT = [b"", b"The tool was executed in silent mode.", b""]
    CASES = [
        # what the run wrote after the title (the loading failure ends before the silent-mode line)
        ("rights refused", [b"You do not have Administrator rights to run the tool.",
                            b"Please contact your Network Administrator for more information."] + SILENT,
         "rights_refused"),
        ("functions missing", [b"", b"Loading APIs fails."], "stopped"),
        ("an /ONLYDIR= tree that is not there",
         [b"directory C:\\NOPE: (WARNING: not scanned, not found)",
          b"No file was scanned: the folder given with /ONLYDIR= does not exist."] + SILENT, "not_scanned"),
    ]

    def test_short_reports(self):
        for name, lines, outcome in self.CASES:
            with self.subTest(name):
                code, doc, err = read(self.TITLE + b"\r\n".join(lines) + b"\r\n")
                self.assertEqual(code, 0, err)
                self.assertTrue(doc["complete"])
                self.assertEqual(doc["headline"]["outcome"], outcome)
                self.assertEqual(doc["unknown"], [])
                self.assertEqual(doc["program"], "windows")
        # Without its second line the rights report is cut short.
        code, doc, err = read(self.TITLE + self.CASES[0][1][0] + b"\r\n")
        self.assertEqual(code, 3)
        self.assertIn("truncated", err)


class WindowsLogs(unittest.TestCase, Checks):
    """Logs of FixQuorvin.exe /S /NOSILENTREBOOT under Wine (tests/wine/quorvin_log_wine.sh)."""

    def log(self, name):
        folder = os.environ.get("QUORVIN_WINDOWS_LOGS") or os.path.join(ROOT, "tests", "logs")
        with open(os.path.join(folder, name), "rb") as f:
            data = f.read()
        code, doc, err = read(data)
        self.assertEqual(code, 0, err)
        self.assertEqual(doc["program"], "windows")
        self.assertEqual(doc["version"], "1.0.4")
        self.assertTrue(doc["mode"]["silent"])
        self.assertFalse(doc["mode"]["dry_run"])
        return data, doc

    def outcomes(self, doc):
        return {f["path"].rsplit("\\", 1)[-1].lower(): f["outcome"] for f in doc["files"]}

    def test_removed(self):
        data, doc = self.log("windows-silent-removed.log")
        self.assertCountersAreTheReport(data, doc)
        self.assertFindingsAddUp(doc, {"File repaired."})
        self.assertEqual(doc["headline"]["outcome"], "successful")
        self.assertEqual(doc["restart"], "none")
        self.assertEqual(self.outcomes(doc), {"hello-infected.exe": "repaired", "hello-twolayer.exe": "repaired",
                                              "setup-dropper.exe": "deleted", "vcab.dll": "deleted"})
        self.assertGreater(doc["counters"]["files_scanned"], 100)
        self.assertEqual([(r["value"], r["outcome"]) for r in doc["registry"]], [("Runonce", "value_deleted")])
        self.assertTrue(doc["registry"][0]["key"].endswith("\\CurrentVersion\\Run"))

    def test_locked_threat_file_waits_for_the_restart(self):
        data, doc = self.log("windows-silent-restart.log")
        self.assertCountersAreTheReport(data, doc)
        self.assertFindingsAddUp(doc, {"File repaired."})
        self.assertEqual(doc["headline"]["outcome"], "successful")
        self.assertEqual(doc["restart"], "pending")
        self.assertEqual(doc["counters"]["deletes_pending_restart"], 1)
        self.assertEqual(self.outcomes(doc)["vcab.dll"], "deleted_at_restart")

    @unittest.skipUnless(os.environ.get("QUORVIN_WINDOWS_LOGS"), "only the Wine test keeps this log")
    def test_nothing_scanned_nothing_found(self):
        data, doc = self.log("windows-silent-clean.log")
        self.assertEqual(doc["headline"]["outcome"], "not_found")
        self.assertFalse(doc["threat_found"])
        self.assertFalse(doc["mode"]["file_scan"])
        self.assertEqual(doc["counters"], {})
        self.assertEqual(doc["files"], [])
        self.assertEqual(doc["unknown"], [])


@unittest.skipUnless(os.environ.get("CMAKE_COMMAND") and os.environ.get("QUORVIN_BUILD_DIR"), "no build folder")
class Install(unittest.TestCase):
    def test_install_into_destdir(self):
        dest = tempfile.mkdtemp(prefix="quorvin-install.")
        self.addCleanup(shutil.rmtree, dest, True)
        env = dict(os.environ, DESTDIR=dest)
        subprocess.run([os.environ["CMAKE_COMMAND"], "--install", os.environ["QUORVIN_BUILD_DIR"],
                        "--prefix", "/opt/quorvin"], env=env, check=True, capture_output=True)
        files = sorted(os.path.relpath(os.path.join(d, n), dest) for d, _, names in os.walk(dest) for n in names)
        self.assertEqual(files, ["opt/quorvin/bin/fixquorvin", "opt/quorvin/bin/quorvin-log",
                                 "opt/quorvin/share/man/man1/fixquorvin.1"])
        for program, text in (("fixquorvin", "Usage: fixquorvin"), ("quorvin-log", "usage: quorvin-log")):
            with self.subTest(program):
                p = subprocess.run([os.path.join(dest, "opt/quorvin/bin", program), "--help"], capture_output=True,
                                   text=True)
                self.assertEqual(p.returncode, 0)
                self.assertIn(text, p.stdout)
        if shutil.which("groff"):
            p = subprocess.run(["groff", "-man", "-Tutf8", "-ww", "-z",
                                os.path.join(dest, "opt/quorvin/share/man/man1/fixquorvin.1")],
                               capture_output=True, text=True)
            self.assertEqual(p.returncode, 0)
            self.assertEqual(p.stderr, "")


if __name__ == "__main__":
    unittest.main()
