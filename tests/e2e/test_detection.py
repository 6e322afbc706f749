"""Real datagrams from a peer namespace, reported by the real binary through a pipe."""

import re
import sys
import unittest

import netns

TOOL = sys.argv[1] if len(sys.argv) > 1 else "tarvex-finder"
PLAIN_OPEN = sys.argv[2] if len(sys.argv) > 2 else "plain-open"
REPORT = re.compile(r"Found a Tarvex Scanner Packet\n"
                    r"Adapter Name : (?P<alias>[^\n]*)\n"
                    r"Adapter IP Address : (?P<ip>[^\n]*)\n"
                    r"(?:Scanner IP Address : (?P<scanner>[^\n]*)\n)?\n")


class Detection(unittest.TestCase):
    """One tool for the whole class; each test sends from its own source port."""

    @classmethod
    def setUpClass(cls):
        cls.lab = netns.Lab("d")
        cls.addClassCleanup(cls.lab.cleanup)
        lab = cls.lab.__enter__()
        cls.tool_ns, cls.peer = lab.tool_and_peer()
        cls.a, cls.b = lab.iface("a"), lab.iface("b")
        lab.link(cls.tool_ns, cls.a, cls.peer, lab.iface("pa"), v4=[("192.0.2.1/24", "192.0.2.2/24")],
                 v6=[("2001:db8:1::1/64", "2001:db8:1::2/64")])
        # A labelled address is still named by its interface.
        lab.link(cls.tool_ns, cls.b, cls.peer, lab.iface("pb"),
                 v4=[(f"198.51.100.1/24 label {cls.b}:7", "198.51.100.2/24")])
        cls.tool = lab.start_tool(cls.tool_ns, TOOL)
        cls.tool.wait_for_text("Found interfaces : 3\n")
        cls.tool.wait_cycles(1)

    def send(self, *args):
        self.lab.send(self.peer, *args)

    def expect_report(self, text, timeout=10):
        self.tool.wait_for_text(text, timeout)
        # It reached the pipe in its own cycle, not with the next cycle's output.
        end = self.tool.out.rfind(text) + len(text)
        idle = "Didn't receive any packet\n"
        self.tool.wait_for(lambda out: out.find(idle, end) >= 0, 5, "the next idle cycle")
        arrived = self.tool.arrival_times(text)[-1]
        next_idle = next(t for t in self.tool.arrival_times(idle) if t > arrived - 0.001)
        self.assertGreater(next_idle - arrived, 0.5)
        # Whatever else arrived, every report so far is complete.
        self.assertEqual(self.tool.out.count("Found a Tarvex Scanner Packet"),
                         len(REPORT.findall(self.tool.out)))

    def test_plain_datagram(self):
        self.send("192.0.2.2", 50000, "192.0.2.1", 1119)
        self.expect_report(netns.report(self.a, "192.0.2.1", "192.0.2.2:50000"))

    def test_ipv4_options_move_the_port(self):
        self.send("192.0.2.2", 50001, "192.0.2.1", 1119, "--ip-options")
        self.expect_report(netns.report(self.a, "192.0.2.1", "192.0.2.2:50001"))

    def test_ipv6_sender_in_brackets(self):
        self.send("2001:db8:1::2", 50002, "2001:db8:1::1", 1119)
        self.expect_report(netns.report(self.a, "192.0.2.1", "[2001:db8:1::2]:50002"))

    def test_other_ports_are_not_reported(self):
        self.send("192.0.2.2", 50003, "192.0.2.1", 1120)
        self.send("192.0.2.2", 50004, "192.0.2.1", 1119)
        self.expect_report(netns.report(self.a, "192.0.2.1", "192.0.2.2:50004"))
        self.assertNotIn(":50003", self.tool.out)

    def test_two_interfaces_at_once(self):
        self.send("198.51.100.2", 50005, "198.51.100.1", 1119)
        self.send("192.0.2.2", 50005, "192.0.2.1", 1119)
        self.expect_report(netns.report(self.b, "198.51.100.1", "198.51.100.2:50005"))
        self.expect_report(netns.report(self.a, "192.0.2.1", "192.0.2.2:50005"))

    def test_burst_is_reported_one_per_cycle(self):
        arrived_before = self.lab.udp_datagrams_to_closed_ports(self.tool_ns)
        self.send("198.51.100.2", 50006, "198.51.100.1", 1119, "--count", 3)
        self.tool.read_for(0.5)
        # Counted where they arrive, so that a datagram lost on the way is told
        # apart from one the tool missed.
        arrived = self.lab.udp_datagrams_to_closed_ports(self.tool_ns) - arrived_before
        self.assertIn(arrived, (2, 3), "datagrams that reached the tool's namespace")
        self.tool.wait_for(lambda out: out.count("198.51.100.2:50006") == arrived, 15,
                           f"{arrived} reports")
        # Each arrived in a cycle of its own, a second apart.
        times = self.tool.arrival_times(netns.report(self.b, "198.51.100.1", "198.51.100.2:50006"))
        self.assertEqual(len(times), arrived)
        for earlier, later in zip(times, times[1:]):
            self.assertGreater(later - earlier, 0.5)

    def test_rhythm_is_one_cycle_a_second(self):
        self.tool.wait_cycles(1)
        start_idle = self.tool.idle_lines()
        self.tool.read_for(5.5)
        self.assertIn(self.tool.idle_lines() - start_idle, (4, 5, 6))



class Interrupt(unittest.TestCase):
    def test_interrupt_after_a_report_ends_cleanly(self):
        with netns.Lab("i") as lab:
            tool_ns, peer = lab.tool_and_peer()
            a = lab.iface("a")
            lab.link(tool_ns, a, peer, lab.iface("pa"), v4=[("192.0.2.1/24", "192.0.2.2/24")])
            tool = lab.start_tool(tool_ns, TOOL)
            tool.wait_cycles(1)
            lab.send(peer, "192.0.2.2", 50009, "192.0.2.1", 1119)
            tool.wait_for_text(netns.report(a, "192.0.2.1", "192.0.2.2:50009"))
            status, seconds = tool.interrupt()
            plain = netns.plain_open(lab, tool_ns, PLAIN_OPEN)
        self.assertEqual(status, 0)
        self.assertLess(seconds, 3)
        self.assertRegex(tool.out, r"(\n\n|Didn't receive any packet\n)$")
        # Only the filter failures of start-up, as the library reports them.
        self.assertEqual(sorted(tool.err.splitlines()), sorted(plain.err.splitlines()))


if __name__ == "__main__":
    netns.main()
