"""The Windows build under Wine, whose wpcap.dll hands capture to the host's
libpcap, in namespaces of the test's own.

PowerShell under Wine is an empty stub, so a stand-in powershell.exe (built
with the tests) takes its place in the prefix, where Windows keeps PowerShell,
and Wine is told to run it instead of its own; it logs where it ran from and
each command line it is given.

Stand-ins for wpcap.dll and Packet.dll log every copy that is loaded. Copies
lie beside the .exe and in the working directory, and Wine is told to prefer
such native DLLs to its own, as real Windows has no wpcap of its own.
"""

import os
import shutil
import sys
import tempfile
import unittest

import netns

BUILD = sys.argv[1] if len(sys.argv) > 1 else "build/windows"
EXE = os.path.join(BUILD, "tarvex-finder.exe")
STANDIN = os.path.join(BUILD, "test-tools", "powershell.exe")
DLLS = os.path.join(BUILD, "test-tools", "dll")
POWERSHELL = r"c:\windows\system32\windowspowershell\v1.0\powershell.exe"
# What Windows gives a console program ended by Ctrl+C, as Wine passes it on.
STATUS_CONTROL_C_EXIT = 0xC000013A & 0xFF


def require_wine_build():
    missing = [p for p in (EXE, STANDIN) if not os.path.exists(p)]
    if missing or shutil.which("wine") is None:
        print(f"SKIPPED: needs wine and the Windows build ({', '.join(missing) or 'wine'} missing)")
        sys.exit(netns.SKIP)


def alias_command(ip):
    return f"powershell \"Get-NetIPAddress -IPAddress '{ip}' | %{{$_.InterfaceAlias}};\""


class UnderWine(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.lab = netns.Lab("w")
        cls.addClassCleanup(cls.lab.cleanup)
        cls.scratch = tempfile.mkdtemp(prefix="tarvex-wine-")
        cls.addClassCleanup(shutil.rmtree, cls.scratch, ignore_errors=True)
        lab = cls.lab.__enter__()
        cls.tool_ns, cls.peer = lab.tool_and_peer()
        cls.a = lab.iface("a")
        lab.link(cls.tool_ns, cls.a, cls.peer, lab.iface("pa"), v4=[("192.0.2.1/24", "192.0.2.2/24")])
        cls.run_dir = cls.folder_with_planted_dlls("run")
        shutil.copy(EXE, cls.run_dir)
        cls.log = os.path.join(cls.scratch, "powershell-calls.log")
        cls.dll_log = os.path.join(cls.scratch, "dll-loads.log")
        # The prefix's server sees the network of the namespace it starts in.
        cls.env = dict(os.environ, WINEPREFIX=os.path.join(cls.scratch, "prefix"), WINEDEBUG="-all",
                       WINEDLLOVERRIDES="powershell.exe=n;wpcap=n,b;packet=n,b",
                       TARVEX_STANDIN_LOG=windows_path(cls.log),
                       TARVEX_DLL_LOG=windows_path(cls.dll_log))
        # One server and its services for the whole class; the tools go first.
        cls.addClassCleanup(netns.stop_wine, cls.tool_ns, cls.env)
        cls.addClassCleanup(lambda: [netns.stop_process(p) for p in cls.lab.processes])
        cls.system32 = netns.start_wine(cls.tool_ns, cls.env, STANDIN)

    @classmethod
    def folder_with_planted_dlls(cls, name):
        folder = os.path.join(cls.scratch, name)
        os.mkdir(folder)
        for dll in ("wpcap.dll", "Packet.dll"):
            shutil.copy(os.path.join(DLLS, dll), folder)
        return folder

    def start(self, env=None, cwd=None):
        return self.lab.start_tool(self.tool_ns, os.path.join(self.run_dir, "tarvex-finder.exe"),
                                   env=env or self.env,
                                   cwd=cwd or self.run_dir, prefix=["wine"], eol="\r\n")

    def setUp(self):
        for log in (self.log, self.dll_log):
            if os.path.exists(log):
                os.remove(log)
        # Whatever a test does, no DLL is ever taken from the folders the tool
        # was started from or in.
        self.addCleanup(lambda: self.assertEqual(self.loaded_dlls(), []))

    def loaded_dlls(self, clear=False):
        """Every stand-in DLL loaded since the last look, lower-cased."""
        if not os.path.exists(self.dll_log):
            return []
        with open(self.dll_log, encoding="ascii") as loads:
            loaded = loads.read().lower().splitlines()
        if clear:
            os.remove(self.dll_log)
        return loaded

    def powershell_calls(self):
        """(where the stand-in ran from, lower-cased; its command line)."""
        with open(self.log, encoding="ascii") as calls:
            return [(line.split("\t")[0].lower(), line.split("\t")[1])
                    for line in calls.read().splitlines()]

    def test_reports_real_datagrams_byte_for_byte(self):
        tool = self.start()
        tool.wait_for_text("Found interfaces : ", timeout=60)
        tool.wait_cycles(1)
        self.lab.send(self.peer, "192.0.2.2", 50000, "192.0.2.1", 1119)
        expected = netns.report(self.a, "192.0.2.1", "192.0.2.2:50000", eol="\r\n")
        tool.wait_for_text(expected, timeout=15)
        status, seconds = tool.interrupt(timeout=10)

        # The two adapters of the namespace, each opened, filtered and named.
        self.assertTrue(tool.out.startswith("Fetching interfaces...\r\n" * 2 +
                                            "Found interfaces : 2\r\n"), tool.out[:300])
        self.assertEqual(sorted(self.powershell_calls()),
                         sorted([(POWERSHELL, alias_command("192.0.2.1")),
                                 (POWERSHELL, alias_command("127.0.0.1"))]))
        self.assertEqual(tool.out.count("Found a Tarvex Scanner Packet"), 1)
        self.assertEqual(tool.err, "")
        self.assertEqual(status, 0)
        self.assertLess(seconds, 5)

    def test_powershell_planted_in_the_working_directory_never_runs(self):
        planted = self.folder_with_planted_dlls("planted")
        shutil.copy(STANDIN, planted)
        with open(os.path.join(planted, "powershell.bat"), "w") as batch:
            batch.write('@echo off\r\necho ran> "%~dp0bat-ran.txt"\r\necho Planted\r\n')
        tool = self.start(cwd=planted)
        tool.wait_for_text("Found interfaces : 2\r\n", timeout=60)
        tool.interrupt(timeout=10)
        self.assertEqual({where for where, _ in self.powershell_calls()}, {POWERSHELL})
        self.assertFalse(os.path.exists(os.path.join(planted, "bat-ran.txt")))
        self.assertNotIn("Planted", tool.out)

    def test_ctrl_c_during_a_slow_lookup_ends_the_tool_at_once(self):
        idle = self.start()
        idle.wait_cycles(1, timeout=60)
        idle_status, idle_seconds = idle.interrupt(timeout=10)
        self.assertEqual(idle_status, 0)
        tool = self.start(env=dict(self.env, TARVEX_STANDIN_DELAY_MS="4000"))
        tool.wait_for_text("Fetching interfaces...\r\n", timeout=60)
        tool.read_for(0.5)  # into the first lookup
        status, seconds = tool.interrupt(timeout=15)
        print(f"stop: {idle_seconds:.2f} s polling, {seconds:.2f} s in a lookup", file=sys.stderr)
        self.assertEqual(status, STATUS_CONTROL_C_EXIT, tool.out)
        self.assertLess(seconds, idle_seconds + 0.5)
        self.assertNotIn("Found interfaces", tool.out)

    def test_slow_lookups_overlap_and_change_no_byte(self):
        # Two interfaces whose lookups take 2 s each: 4 s one after the other.
        tool = self.start(env=dict(self.env, TARVEX_STANDIN_DELAY_MS="2000"))
        tool.wait_for_text("Found interfaces : 2\r\n", timeout=60)
        fetched = tool.arrival_times("Fetching interfaces...\r\n")[0]
        counted = tool.arrival_times("Found interfaces : ")[0]
        self.assertEqual(tool.interrupt(timeout=10)[0], 0)
        self.assertTrue(tool.out.startswith("Fetching interfaces...\r\n" * 2 +
                                            "Found interfaces : 2\r\n"), tool.out[:300])
        self.assertEqual(len(self.powershell_calls()), 2)
        self.assertLess(counted - fetched, 3.5)

    def test_npcap_is_taken_from_its_own_folder(self):
        npcap = os.path.join(self.system32, "Npcap")
        self.addCleanup(shutil.rmtree, npcap)
        shutil.copytree(DLLS, npcap)
        tool = self.start(cwd=self.folder_with_planted_dlls("npcap-cwd"))
        self.assertEqual(tool.finish(timeout=60), 1)
        self.assertEqual(tool.err, "Error in pcap_findalldevs_ex: pretend Npcap\r\n")
        self.assertEqual(self.loaded_dlls(clear=True),
                         [r"c:\windows\system32\npcap\packet.dll",
                          r"c:\windows\system32\npcap\wpcap.dll"])

    def test_without_the_capture_driver(self):
        tool = self.start(env=dict(self.env, WINEDLLOVERRIDES="wpcap=d"))
        status = tool.finish(timeout=60)
        self.assertEqual(status, 1)
        self.assertEqual(tool.out, "")
        self.assertEqual(tool.err.count("\n"), 1)
        self.assertRegex(tool.err, r"^tarvex-finder needs Npcap: wpcap\.dll could not be loaded\..*\r\n$")


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


if __name__ == "__main__":
    netns.require_root()
    require_wine_build()
    unittest.main(argv=[sys.argv[0]] + sys.argv[2:], verbosity=2)
