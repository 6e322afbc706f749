"""The edges of a long-running process: standard streams closed, blocked or
failing, stop requests at any moment, ignored signals, many interfaces."""

import fcntl
import os
import shutil
import signal
import socket
import sys
import tempfile
import time

import netns

TOOL = sys.argv[1] if len(sys.argv) > 1 else "tarvex-finder"


class Edges(netns.LabTest):
    tag = "e"

    def watch_one_link(self):
        self.lab.link(self.tool_ns, self.lab.iface("a"), self.peer, self.lab.iface("pa"),
                      v4=[("192.0.2.1/24", "192.0.2.2/24")])

    def start(self, **options):
        return self.lab.start_tool(self.tool_ns, TOOL, **options)

    def assert_stops_within(self, tool, seconds):
        """An orderly stop: one the watchdog forced ends as the signal would
        have (-SIGINT here), not with 0."""
        ended, took = tool.interrupt(timeout=10)
        self.assertEqual(ended, 0)
        self.assertLess(took, seconds)

    def frames_sent(self):
        counters = self.lab.sh(self.tool_ns, "cat /sys/class/net/*/statistics/tx_packets").stdout
        return sum(int(count) for count in counters.split())

    def test_closed_stdin_and_stdout_send_no_frame(self):
        # Nothing in the namespace sends by itself once IPv6 is off.
        self.lab.sh(self.tool_ns, "sysctl -qw net.ipv6.conf.default.disable_ipv6=1")
        self.watch_one_link()
        # Once the link is up it is listed first, and its socket would be the
        # first to take a closed descriptor.
        self.lab.sh(self.tool_ns, f"for i in $(seq 50); do grep -q up "
                                  f"/sys/class/net/{self.lab.iface('a')}/operstate && break; "
                                  f"sleep 0.1; done")
        before = self.frames_sent()
        tool = self.start(prefix=["sh", "-c", 'exec "$0" <&- >&-'])
        tool.read_for(3.5)
        self.assertIsNone(tool.process.poll(), tool.err)
        self.assertEqual(self.frames_sent(), before)
        self.assert_stops_within(tool, 2)

    def test_a_bus_that_never_answers_is_left_alone(self):
        # A session bus that accepts but never answers: opening libpcap's
        # dbus-session device would wait for it for good.
        bus_dir = tempfile.mkdtemp(prefix="tarvex-bus-")
        self.addCleanup(shutil.rmtree, bus_dir)
        bus = socket.socket(socket.AF_UNIX)
        self.addCleanup(bus.close)
        bus.bind(os.path.join(bus_dir, "bus"))
        bus.listen(8)
        env = dict(os.environ, DBUS_SESSION_BUS_ADDRESS=f"unix:path={bus_dir}/bus")
        tool = self.start(env=env)
        tool.wait_cycles(1)
        self.assertNotIn("dbus", tool.out + tool.err)
        self.assert_stops_within(tool, 2)

    def test_stop_while_stdout_is_a_full_pipe(self):
        reader, writer = os.pipe()
        self.addCleanup(os.close, reader)
        fcntl.fcntl(writer, fcntl.F_SETFL, os.O_NONBLOCK)
        try:
            while True:
                os.write(writer, b"x" * 4096)
        except BlockingIOError:
            pass
        fcntl.fcntl(writer, fcntl.F_SETFL, 0)
        tool = self.start(stdout=writer)
        os.close(writer)
        tool.read_for(1.5)
        self.assert_stops_within(tool, 2)

    def test_signal_ignored_at_start_stays_ignored(self):
        self.watch_one_link()
        tool = self.start(ignore=["HUP"])
        tool.wait_cycles(1)
        tool.process.send_signal(signal.SIGHUP)
        tool.wait_cycles(2)
        self.assert_stops_within(tool, 2)

    def test_unwritable_stdout_ends_the_tool_with_a_message(self):
        with open("/dev/full", "wb") as full:
            tool = self.start(stdout=full)
        self.assertEqual(tool.finish(timeout=10), 1)
        self.assertEqual(tool.err, "Couldn't write to standard output: No space left on device\n")

    def test_low_open_file_limit_loses_no_interface(self):
        # Eighty devices without IPv4 listed before the one with it, a
        # descriptor each, under a soft limit of 64.
        self.lab.veth_pairs(self.tool_ns, "n", 40)
        self.watch_one_link()
        tool = self.start(prefix=["prlimit", "--nofile=64:4096"])
        tool.wait_for_text("Found interfaces : ", timeout=30)
        tool.wait_cycles(1)
        self.assert_stops_within(tool, 2)
        self.assertNotIn("Too many open files", tool.out)
        self.assertIn("Found interfaces : 2\n", tool.out)  # lo and ours

    def test_netfilter_queue_is_left_to_the_host(self):
        # Bound by a reader that never gives a verdict, the queue would hold
        # these datagrams; unbound, --queue-bypass lets them through.
        self.watch_one_link()
        self.lab.sh(self.tool_ns, "iptables -A INPUT -p udp --dport 9999 "
                                  "-j NFQUEUE --queue-num 0 --queue-bypass")
        tool = self.start()
        tool.wait_cycles(1)
        receiver = self.lab.receive_in_background(self.tool_ns, "192.0.2.1", 9999, count=5)
        self.lab.send(self.peer, "192.0.2.2", 47000, "192.0.2.1", 9999, "--count", 5,
                      "--interval", 0.05)
        self.assertEqual(receiver.communicate(timeout=30)[0].strip(), "5")
        self.assert_stops_within(tool, 2)

    def test_device_without_ipv4_is_let_go_after_startup(self):
        unwatched = self.lab.iface("a")
        self.lab.link(self.tool_ns, unwatched, self.peer, self.lab.iface("pa"),
                      v6=[("2001:db8:5::1/64", "2001:db8:5::2/64")])
        index = self.lab.sh(self.tool_ns, f"cat /sys/class/net/{unwatched}/ifindex").stdout.strip()
        tool = self.start()
        tool.wait_for_text("Found interfaces : 1\n")
        tool.read_for(2)
        # The interface index of every packet socket in the namespace.
        sockets = self.lab.sh(self.tool_ns, "cat /proc/net/packet").stdout.splitlines()[1:]
        self.assertEqual(len(sockets), 1, "one capture socket: lo's")
        self.assertNotIn(index, [line.split()[4] for line in sockets])
        self.assert_stops_within(tool, 2)

    def test_hundreds_of_interfaces_poll_and_stop_at_once(self):
        # A hundred watched interfaces and a hundred without IPv4, each taking
        # a grace period to release.
        self.lab.veth_pairs(self.tool_ns, "m", 100, ipv4=True)
        tool = self.start()
        tool.wait_for_text("Found interfaces : 101\n", timeout=60)
        tool.wait_cycles(1)
        counted = tool.arrival_times("Found interfaces : ")[0]
        self.assertLess(tool.arrival_times(tool.idle)[0] - counted, 1.5)
        self.assert_stops_within(tool, 1.5)


if __name__ == "__main__":
    netns.main()
