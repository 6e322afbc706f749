"""The .deb installs a tool that starts: unpacked into a scratch root, run in a namespace."""

import glob
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import netns

BUILD = sys.argv[1] if len(sys.argv) > 1 else "build/default"


class DebianPackage(unittest.TestCase):
    def test_unpacked_binary_starts_up(self):
        scratch = tempfile.mkdtemp(prefix="tarvex-package-")
        try:
            subprocess.run(["cpack", "-G", "DEB", "-B", scratch,
                            "--config", os.path.join(BUILD, "CPackConfig.cmake")],
                           check=True, capture_output=True, timeout=240)
            (deb,) = glob.glob(os.path.join(scratch, "*.deb"))
            depends = subprocess.run(["dpkg-deb", "-f", deb, "Depends"], capture_output=True,
                                     text=True, check=True).stdout
            self.assertIn("libpcap0.8", depends)
            root = os.path.join(scratch, "root")
            subprocess.run(["dpkg", "-x", deb, root], check=True)
            binary = os.path.join(root, "usr", "bin", "tarvex-finder")
            self.assertTrue(os.access(binary, os.X_OK))
            self.assertTrue(os.path.exists(os.path.join(root, "usr/share/doc/tarvex-finder/README.md")))
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
        finally:
            shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    netns.main()
