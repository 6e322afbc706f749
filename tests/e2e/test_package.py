"""The Linux packages: a .deb that lintian passes and whose unpacked tool starts
in a namespace, a .tar.gz with the tool, its manual page and the README."""

import glob
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
import unittest

import netns

BUILD = sys.argv[1] if len(sys.argv) > 1 else "build/default"
SOURCE = os.path.join(netns.HERE, "..", "..")


class LinuxPackages(unittest.TestCase):
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

    def test_lintian_finds_no_error_or_warning(self):
        if shutil.which("lintian") is None:
            self.skipTest("lintian is not installed")
        result = subprocess.run(["lintian", "--fail-on", "error,warning", self.deb],
                                capture_output=True, text=True, timeout=240)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

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


if __name__ == "__main__":
    netns.main()
