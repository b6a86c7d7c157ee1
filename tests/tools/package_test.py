#!/usr/bin/env python3
"""The Debian package of the native scanner: its file list and control fields, and that the programs
it holds run from where dpkg-deb unpacks them (nothing is installed into the system).

Environment: FIXQUORVIN_DEB (a package to check, such as `make package` builds), else CPACK_COMMAND
and QUORVIN_BUILD_DIR (a package is built here from that build's rules, into a temporary folder).
"""

import glob
import os
import re
import shutil
import subprocess
import tempfile
import unittest

FILES = ["./usr/bin/fixquorvin", "./usr/bin/quorvin-log", "./usr/share/man/man1/fixquorvin.1"]


def run(*args, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, **kwargs)


class Package(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="fixquorvin-package.")
        cls.deb = os.environ.get("FIXQUORVIN_DEB")
        if not cls.deb:
            p = run(os.environ["CPACK_COMMAND"], "-G", "DEB", "--config",
                    os.path.join(os.environ["QUORVIN_BUILD_DIR"], "CPackConfig.cmake"), "-B", cls.folder)
            debs = glob.glob(os.path.join(cls.folder, "*.deb"))
            assert p.returncode == 0 and len(debs) == 1, p.stdout + p.stderr
            cls.deb = debs[0]
        cls.root = os.path.join(cls.folder, "root")
        subprocess.run(["dpkg-deb", "-x", cls.deb, cls.root], check=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder, True)

    def field(self, name):
        p = run("dpkg-deb", "-f", self.deb, name)
        self.assertEqual(p.returncode, 0, p.stderr)
        return p.stdout.strip()

    def test_file_list(self):
        p = run("dpkg-deb", "-c", self.deb)
        self.assertEqual(p.returncode, 0, p.stderr)
        entries = [line.split() for line in p.stdout.splitlines()]
        files = {e[5]: (e[0], e[1]) for e in entries if not e[0].startswith("d")}
        self.assertEqual(sorted(files), FILES)
        self.assertEqual(files["./usr/bin/fixquorvin"], ("-rwxr-xr-x", "root/root"))
        self.assertEqual(files["./usr/bin/quorvin-log"], ("-rwxr-xr-x", "root/root"))
        self.assertEqual(files["./usr/share/man/man1/fixquorvin.1"], ("-rw-r--r--", "root/root"))
        # Only the folders that lead to them.
        folders = {e[5] for e in entries if e[0].startswith("d")}
        self.assertEqual(folders, {"./usr/", "./usr/bin/", "./usr/share/", "./usr/share/man/",
                                   "./usr/share/man/man1/"})

    def test_control_fields(self):
        version = run(os.path.join(self.root, "usr/bin/fixquorvin"), "--version").stdout
        self.assertEqual(self.field("Version"), re.search(r" (\d+\.\d+\.\d+)$", version.strip())[1])
        arch = run("dpkg", "--print-architecture").stdout.strip()
        self.assertEqual([self.field(f) for f in ("Package", "Section", "Architecture")], ["fixquorvin", "utils", arch])
        self.assertTrue(self.field("Maintainer").startswith("Ostrovel <"))
        synopsis, *long = self.field("Description").splitlines()
        self.assertIn("W32.Quorvin", synopsis)
        self.assertTrue(long and synopsis.strip() not in (line.strip() for line in long), long)
        depends = {d.split()[0] for d in self.field("Depends").split(", ")}
        self.assertLessEqual({"libc6", "libhivex0", "python3"}, depends)

    def test_unpacked_programs_run(self):
        for program, text in (("fixquorvin", "Usage: fixquorvin"), ("quorvin-log", "usage: quorvin-log")):
            with self.subTest(program):
                p = run(os.path.join(self.root, "usr/bin", program), "--help")
                self.assertEqual((p.returncode, text in p.stdout), (0, True), p.stderr)


if __name__ == "__main__":
    unittest.main()
