#!/usr/bin/env python3
"""The Debian package: its file list and control fields, and that its programs run from where dpkg-deb
unpacks them (nothing is installed). FIXQUORVIN_DEB names a package to check; else one is built with
CPACK_COMMAND from the rules of QUORVIN_BUILD_DIR."""

import glob
import os
import subprocess
import tempfile
import unittest


def run(*args):
    return subprocess.run(args, capture_output=True, text=True)


class Package(unittest.TestCase):
    def test_package(self):
        folder = tempfile.TemporaryDirectory(prefix="fixquorvin-package.")
        self.addCleanup(folder.cleanup)
        deb = os.environ.get("FIXQUORVIN_DEB")
        if not deb:
            run(os.environ["CPACK_COMMAND"], "-G", "DEB", "--config",
                os.path.join(os.environ["QUORVIN_BUILD_DIR"], "CPackConfig.cmake"), "-B", folder.name)
            deb, = glob.glob(os.path.join(folder.name, "*.deb"))
        entries = [line.split() for line in run("dpkg-deb", "-c", deb).stdout.splitlines()]
        self.assertEqual(sorted((e[5], e[0], e[1]) for e in entries if e[0][0] == "-"),
                         [("./usr/bin/fixquorvin", "-rwxr-xr-x", "root/root"),
                          ("./usr/bin/quorvin-log", "-rwxr-xr-x", "root/root"),
                          ("./usr/share/man/man1/fixquorvin.1", "-rw-r--r--", "root/root")])
        root = os.path.join(folder.name, "root")
        subprocess.run(["dpkg-deb", "-x", deb, root], check=True)
        bindir = os.path.join(root, "usr/bin")
        for program, text in (("fixquorvin", "Usage: fixquorvin"), ("quorvin-log", "usage: quorvin-log")):
            p = run(os.path.join(bindir, program), "--help")
            self.assertEqual((p.returncode, text in p.stdout), (0, True), program + ": " + p.stderr)

        field = lambda name: run("dpkg-deb", "-f", deb, name).stdout.strip()
        version = run(os.path.join(bindir, "fixquorvin"), "--version").stdout.split()[-1]
        self.assertEqual([field(f) for f in ("Package", "Version", "Section", "Architecture")],
                         ["fixquorvin", version, "utils", run("dpkg", "--print-architecture").stdout.strip()])
        self.assertTrue(field("Maintainer").startswith("Ostrovel <"))
        self.assertLessEqual({"libc6", "libhivex0", "python3"}, {d.split()[0] for d in field("Depends").split(", ")})
        synopsis, *long = field("Description").splitlines()
        self.assertTrue("W32.Quorvin" in synopsis and long and synopsis not in (line.strip() for line in long), long)


if __name__ == "__main__":
    unittest.main()
