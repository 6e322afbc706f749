"""After start-up the process holds no right and can send, run and write
nothing: a library preloaded into the tool tries, on the first poll, what
code that took it over would."""

import os
import re
import shutil
import sys
import tempfile

import netns

TOOL = sys.argv[1] if len(sys.argv) > 1 else "tarvex-finder"
PRELOAD = sys.argv[3] if len(sys.argv) > 3 else "attack_preload.so"


class Lockdown(netns.LabTest):
    tag = "k"

    def setUp(self):
        super().setUp()
        # Nothing in either namespace sends by itself once IPv6 is off.
        for namespace in (self.tool_ns, self.peer):
            self.lab.sh(namespace, "sysctl -qw net.ipv6.conf.default.disable_ipv6=1")
        self.a, self.pa = self.lab.iface("a"), self.lab.iface("pa")
        self.lab.link(self.tool_ns, self.a, self.peer, self.pa,
                      v4=[("192.0.2.1/24", "192.0.2.2/24")])
        # Open to the unprivileged user the tool becomes.
        self.scratch = tempfile.mkdtemp(prefix="tarvex-attack-")
        self.addCleanup(shutil.rmtree, self.scratch)
        os.chmod(self.scratch, 0o777)

    def start(self, mode):
        env = dict(os.environ, TARVEX_ATTACK=mode, TARVEX_ATTACK_DIR=self.scratch,
                   TARVEX_ATTACK_PARENT=str(os.getpid()))
        return self.lab.start_tool(self.tool_ns, TOOL, env=env,
                                   prefix=["env", f"LD_PRELOAD={os.path.abspath(PRELOAD)}"])

    def frames_received_by_peer(self):
        return int(self.lab.sh(self.peer, f"cat /sys/class/net/{self.pa}/statistics/rx_packets")
                   .stdout)

    def test_after_startup_nothing_can_be_sent_run_or_written(self):
        tool = self.start("refused")
        tool.wait_for_text("Found interfaces : 2\n")
        received = self.frames_received_by_peer()
        tool.wait_for(lambda _: "attacks done" in tool.err, 10, "the attacks")
        tool.wait_cycles(1)
        actions = re.findall(r"^(refused|ALLOWED): (.*)$", tool.err, re.MULTILINE)
        self.assertGreaterEqual(len(actions), 15, tool.err)
        self.assertEqual([name for verdict, name in actions if verdict != "refused"], [], tool.err)
        self.assertEqual(self.frames_received_by_peer(), received, "frames reached the peer")
        self.assertEqual(os.listdir(self.scratch), [], "files made or programs run")
        with open(f"/proc/{tool.process.pid}/status") as status:
            fields = dict(line.split(":", 1) for line in status.read().splitlines())
        self.assertEqual(int(fields["CapEff"], 16), 0)
        self.assertEqual(int(fields["CapPrm"], 16), 0)
        self.assertEqual(fields["NoNewPrivs"].strip(), "1")
        self.assertEqual(fields["Seccomp"].strip(), "2")
        self.assertNotIn("0", fields["Uid"].split())
        # Still reporting, and still stopping in order.
        self.lab.send(self.peer, "192.0.2.2", 48000, "192.0.2.1", 1119)
        tool.wait_for_text(netns.report(self.a, "192.0.2.1", "192.0.2.2:48000"))
        status, _ = tool.interrupt()
        self.assertEqual(status, 0)

    def test_a_call_outside_the_list_ends_the_tool_naming_it(self):
        tool = self.start("unexpected")
        self.assertEqual(tool.finish(timeout=15), 1)
        self.assertIn("tarvex-finder: system call sysinfo is not allowed after start-up\n", tool.err)
        self.assertNotIn("ALLOWED", tool.err)


if __name__ == "__main__":
    netns.main(paths=3)
