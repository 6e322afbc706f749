"""The Linux packages: a .deb that lintian passes and whose unpacked tool starts
in a namespace, a .tar.gz with the tool, its manual page and the README; and
scripts/package itself, run twice, making the same bytes with their sums.

The second argument picks the part: "package", "lintian" (skipped, saying
so, without lintian), "package_script" or "windows_package_script" (in two
clones of the checkout, so they package what is committed; the Windows one
skipped, saying so, without MinGW)."""

import glob
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time
import unittest

import netns

BUILD = sys.argv[1] if len(sys.argv) > 1 else "build/default"
PART = sys.argv[2] if len(sys.argv) > 2 else "package"
SOURCE = os.path.abspath(os.path.join(netns.HERE, "..", ".."))


class Packages(unittest.TestCase):
    """The .deb and .tar.gz, made by cpack from the build."""

    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="tarvex-package-")
        subprocess.run(["cpack", "-G", "DEB;TGZ", "-B", cls.scratch,
                        "--config", os.path.join(BUILD, "CPackConfig.cmake")],
                       check=True, capture_output=True, timeout=240)
        (cls.deb,) = glob.glob(os.path.join(cls.scratch, "*.deb"))
        (cls.tarball,) = glob.glob(os.path.join(cls.scratch, "*.tar.gz"))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch, ignore_errors=True)

class LinuxPackages(Packages):
    def test_manual_page_renders_without_warnings(self):
        result = subprocess.run(["groff", "-man", "-ww", "-z",
                                 os.path.join(SOURCE, "tarvex-finder.1")],
                                capture_output=True, text=True, timeout=60)
        self.assertEqual((result.returncode, result.stderr), (0, ""))

    def test_tarball_holds_the_tool_its_manual_page_and_the_readme(self):
        with tarfile.open(self.tarball) as tarball:
            files = sorted(m.name.split("/", 1)[1] for m in tarball.getmembers() if m.isfile())
        self.assertEqual(files, ["bin/tarvex-finder", "share/doc/tarvex-finder/README.md",
                                 "share/man/man1/tarvex-finder.1.gz"])

    def test_unpacked_binary_starts_up(self):
        root = os.path.join(self.scratch, "root")
        subprocess.run(["dpkg", "-x", self.deb, root], check=True)
        binary = os.path.join(root, "usr", "bin", "tarvex-finder")
        with netns.Lab("p") as lab:
            tool_ns, peer = lab.tool_and_peer()
            lab.link(tool_ns, lab.iface("a"), peer, lab.iface("pa"),
                     v4=[("192.0.2.1/24", "192.0.2.2/24")])
            tool = lab.start_tool(tool_ns, binary)
            # lo and the veth interface.
            tool.wait_for_text("Found interfaces : 2\n")
            tool.wait_cycles(1)
            status, _ = tool.interrupt()
        self.assertEqual(status, 0)


class Lintian(Packages):
    def test_lintian_finds_no_error_or_warning(self):
        result = subprocess.run(["lintian", "--fail-on", "error,warning", self.deb],
                                capture_output=True, text=True, timeout=240)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)


class PackageScript(unittest.TestCase):
    """Base: scripts/package in two clones at different depths, with different
    umasks and time zones, a few seconds apart."""

    def package(self, where, umask, zone, *args):
        clone = os.path.join(self.scratch, where)
        subprocess.run(["git", "clone", "-q", SOURCE, clone], check=True, timeout=60)
        script = f"umask {umask} && scripts/package {' '.join(args)}"
        result = subprocess.run(["sh", "-c", script], cwd=clone, capture_output=True, text=True,
                                env=dict(os.environ, TZ=zone), timeout=900)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        return clone

    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="tarvex-script-")
        self.addCleanup(shutil.rmtree, self.scratch, ignore_errors=True)

    def assert_same_verified_packages(self, folder, *args):
        first = self.package("one", "002", "UTC", *args)
        time.sleep(2)
        second = self.package(os.path.join("two", "deeper"), "077", "Asia/Tokyo", *args)
        sums = []
        for clone in (first, second):
            packages = os.path.join(clone, folder)
            check = subprocess.run(["sha256sum", "-c", "SHA256SUMS"], cwd=packages,
                                   capture_output=True, text=True, timeout=60)
            self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
            with open(os.path.join(packages, "SHA256SUMS")) as listed:
                sums.append(listed.read())
        self.assertEqual(sums[0], sums[1])
        return sums[0]



class LinuxPackageScript(PackageScript):
    def test_linux_packages_are_made_the_same_twice(self):
        sums = self.assert_same_verified_packages("build/package")
        self.assertRegex(sums, r"  tarvex-finder_[0-9.]+_amd64\.deb\n")
        self.assertRegex(sums, r"  tarvex-finder-[0-9.]+-Linux\.tar\.gz\n")



class WindowsPackageScript(PackageScript):
    def test_windows_zip_is_made_the_same_twice(self):
        sums = self.assert_same_verified_packages("build/package-windows", "windows")
        self.assertRegex(sums, r"  tarvex-finder-[0-9.]+-win64\.zip\n")


if __name__ == "__main__":
    if PART == "lintian" and shutil.which("lintian") is None:
        print("SKIPPED: lintian is not installed")
        sys.exit(netns.SKIP)
    if PART.endswith("package_script") and not os.path.isdir(os.path.join(SOURCE, ".git")):
        print("SKIPPED: scripts/package is tested in clones of a git checkout")
        sys.exit(netns.SKIP)
    if PART == "windows_package_script" and shutil.which("x86_64-w64-mingw32-g++-posix") is None:
        print("SKIPPED: no MinGW cross compiler")
        sys.exit(netns.SKIP)
    tests = {"package": LinuxPackages, "lintian": Lintian, "package_script": LinuxPackageScript,
             "windows_package_script": WindowsPackageScript}[PART]
    netns.require_root()
    suite = unittest.defaultTestLoader.loadTestsFromTestCase(tests)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    sys.exit(0 if result.wasSuccessful() else 1)
