"""Start-up against the real capture library, in namespaces of the test's own."""

import re
import sys
import unittest

import netns

TOOL = sys.argv[1] if len(sys.argv) > 1 else "tarvex-finder"
PLAIN_OPEN = sys.argv[2] if len(sys.argv) > 2 else "plain-open"
OPEN_FAILED = re.compile(r"^pcap_open_live\(\) failed due to \[(.*)\]$")


class StartUp(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.lab = netns.Lab("s")
        cls.addClassCleanup(cls.lab.cleanup)
        lab = cls.lab.__enter__()
        cls.tool_ns, peer = lab.tool_and_peer()
        i = lab.iface
        cls.names = {k: i(k) for k in "abcd"}
        lab.link(cls.tool_ns, i("a"), peer, i("pa"), v4=[("192.0.2.1/24", "192.0.2.2/24")])
        lab.link(cls.tool_ns, i("b"), peer, i("pb"),
                 v4=[("198.51.100.1/24", "198.51.100.2/24"), ("198.51.100.3/24", "198.51.100.4/24")])
        lab.link(cls.tool_ns, i("c"), peer, i("pc"), v6=[("2001:db8:3::1/64", "2001:db8:3::2/64")])
        lab.link(cls.tool_ns, i("d"), peer, i("pd"), v4=[("203.0.113.1/24", "203.0.113.2/24")],
                 up=False)
        tool = lab.start_tool(cls.tool_ns, TOOL)
        tool.wait_for_text("Found interfaces : ")
        tool.wait_cycles(1)
        cls.status, _ = tool.interrupt()
        cls.out, cls.err = tool.out, tool.err
        cls.plain = netns.plain_open(lab, cls.tool_ns, PLAIN_OPEN)

    def startup_lines(self):
        return netns.startup_part(self.out).splitlines()

    def test_counts_the_interfaces_with_ipv4(self):
        # lo, the one-address and the two-address interface; the IPv6-only
        # one opens but has no entry, the down one cannot be opened.
        self.assertIn("\nFound interfaces : 3\n", "\n" + self.out)
        self.assertEqual(self.status, 0)

    def test_startup_lines_are_fetching_or_open_failures(self):
        lines = self.startup_lines()
        self.assertTrue(lines)
        for line in lines:
            self.assertTrue(line == "Fetching interfaces..." or OPEN_FAILED.match(line), line)
        fetching = lines.count("Fetching interfaces...")
        # Our own three with IPv4 and the IPv6-only one, at least.
        self.assertGreaterEqual(fetching, 4)

    def test_down_interface_is_reported_on_stdout(self):
        failures = [OPEN_FAILED.match(line).group(1) for line in netns.open_failures(self.out)]
        self.assertIn(f"{self.names['d']}: That device is not up", failures)
        self.assertNotIn("pcap_open_live", self.err)

    def test_open_failures_read_as_pcap_open_live_puts_them(self):
        # The list order may change as links come up; each message may not.
        self.assertEqual(sorted(netns.open_failures(self.out)),
                         sorted(netns.open_failures(self.plain.out)))

    def test_filter_failures_go_to_stderr_as_the_library_reports_them(self):
        # Debian's libpcap lists an nflog device, which cannot be filtered.
        self.assertIn("Couldn't parse filter udp dst port 1119: ", self.err)
        self.assertEqual(sorted(self.err.splitlines()), sorted(self.plain.err.splitlines()))
        self.assertNotIn("Couldn't", self.out)


class ManyDevices(unittest.TestCase):
    def test_output_is_that_of_opening_one_device_at_a_time(self):
        # Forty veth pairs, every third end down, so that open failures
        # interleave with the devices that open; nflog and nfqueue cannot take
        # the filter.
        lab = netns.Lab("m")
        self.addCleanup(lab.cleanup)
        tool_ns = lab.namespace("tool")
        lab.veth_pairs(tool_ns, "m", 40, ipv4=True)
        for i in range(0, 40, 3):
            lab.sh(tool_ns, f"ip link set {lab.iface(f'm{i}')} down")
        tool = lab.start_tool(tool_ns, TOOL)
        tool.wait_for_text("Found interfaces : ", timeout=60)
        tool.wait_cycles(1)
        self.assertEqual(tool.interrupt()[0], 0)
        plain = netns.plain_open(lab, tool_ns, PLAIN_OPEN)
        self.assertGreater(len(netns.open_failures(tool.out)), 10)
        self.assertEqual(netns.startup_part(tool.out), netns.startup_part(plain.out))
        self.assertIn("Couldn't parse filter", tool.err)
        self.assertEqual(tool.err, plain.err)


class WithoutCaptureRights(unittest.TestCase):
    def test_every_device_fails_to_open_and_the_loop_still_runs(self):
        with netns.Lab("u") as lab:
            tool_ns, peer = lab.tool_and_peer()
            lab.link(tool_ns, lab.iface("a"), peer, lab.iface("pa"),
                     v4=[("192.0.2.1/24", "192.0.2.2/24")])
            tool = lab.start_tool(tool_ns, TOOL, user=65534)
            tool.wait_for_text("Found interfaces : 0\n")
            tool.wait_cycles(2)
            status, seconds = tool.interrupt()
            plain = netns.plain_open(lab, tool_ns, PLAIN_OPEN, user=65534)
        self.assertEqual(sorted(netns.open_failures(tool.out)), sorted(netns.open_failures(plain.out)))
        self.assertEqual(status, 0)
        self.assertLess(seconds, 3)
        head, found, rest = tool.out.partition("Found interfaces : 0\n")
        lines = head.splitlines()
        self.assertTrue(lines)
        for line in lines:
            self.assertRegex(line, OPEN_FAILED)
        self.assertTrue(any(lab.iface("a") in line for line in lines), head)
        self.assertRegex(rest, r"^(Didn't receive any packet\n){2,}$")


if __name__ == "__main__":
    netns.main()
