"""Test hosts in network namespaces of the test's own, and the tool run in them.

Namespaces and interfaces carry the test's process id; everything made is
deleted on exit, whatever happens, and no process is left running.
"""

import os
import queue
import shutil
import signal
import subprocess
import sys
import threading
import time
import unittest

SKIP = 77  # CTest's SKIP_RETURN_CODE for these tests
HERE = os.path.dirname(os.path.abspath(__file__))


def require_root():
    """Skips the calling test program unless a namespace can be made and
    entered here (a chroot may allow the one but not the other)."""
    if os.geteuid() != 0:
        print("SKIPPED: network namespace tests need root")
        sys.exit(SKIP)
    probe = f"tvx{os.getpid()}probe"
    try:
        entered = all(subprocess.run(command, capture_output=True, timeout=30).returncode == 0
                      for command in (["ip", "netns", "add", probe],
                                      ["ip", "netns", "exec", probe, "true"]))
    finally:
        subprocess.run(["ip", "netns", "del", probe], capture_output=True, timeout=30)
    if not entered:
        print("SKIPPED: network namespaces cannot be made and entered here")
        sys.exit(SKIP)


def run(*args, check=True):
    result = subprocess.run(list(args), capture_output=True, text=True, timeout=30)
    if check and result.returncode != 0:
        raise RuntimeError(f"{' '.join(args)} failed: {result.stderr.strip()}")
    return result


class Lab:
    """Namespaces joined by veth pairs; a context manager that removes them."""

    def __init__(self, tag):
        self.prefix = f"tvx{os.getpid()}{tag}"
        self.namespaces = []
        self.processes = []

    def __enter__(self):
        for sig in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
            signal.signal(sig, self._interrupted)
        return self

    def __exit__(self, *exc):
        self.cleanup()
        return False

    def _interrupted(self, signum, _frame):
        self.cleanup()
        sys.exit(128 + signum)

    def cleanup(self):
        for process in self.processes:
            stop_process(process)
        self.processes = []
        for name in reversed(self.namespaces):
            run("ip", "netns", "del", name, check=False)
        self.namespaces = []

    def namespace(self, role):
        name = f"{self.prefix}-{role}"
        run("ip", "netns", "add", name)
        self.namespaces.append(name)
        self.sh(name, "ip link set lo up")
        return name

    def tool_and_peer(self):
        """The namespace the tool runs in and the one its datagrams come from."""
        return self.namespace("tool"), self.namespace("peer")

    def sh(self, namespace, command):
        return run("ip", "netns", "exec", namespace, "sh", "-c", command)

    def udp_datagrams_to_closed_ports(self, namespace):
        """The kernel's count of UDP datagrams that arrived in namespace for a
        port nobody listens on: what reached the interfaces there."""
        rows = [line.split() for line in self.sh(namespace, "cat /proc/net/snmp").stdout.splitlines()
                if line.startswith("Udp:")]
        return int(rows[1][rows[0].index("NoPorts")])

    def veth(self, left_ns, left, right_ns, right):
        run("ip", "link", "add", left, "netns", left_ns, "type", "veth", "peer", "name", right,
            "netns", right_ns)

    def veth_pairs(self, namespace, tag, count, ipv4=False):
        """count veth pairs with both ends in namespace, up, made in one batch;
        with ipv4 the first end of pair i holds 198.51.100.(2i+1)/31, the
        addresses repeating after 128 pairs (each on its own interface)."""
        lines = []
        for i in range(count):
            left, right = self.iface(f"{tag}{i}"), self.iface(f"{tag}p{i}")
            lines += [f"link add {left} type veth peer name {right}",
                      f"link set {left} up", f"link set {right} up"]
            if ipv4:
                lines.append(f"address add 198.51.100.{2 * (i % 128) + 1}/31 dev {left}")
        subprocess.run(["ip", "-n", namespace, "-batch", "-"], input="\n".join(lines) + "\n",
                       text=True, check=True, capture_output=True, timeout=120)

    def link(self, ns_a, name_a, ns_b, name_b, v4=(), v6=(), up=True):
        """A veth pair; v4/v6 list (address on a, address on b) pairs with prefix lengths."""
        self.veth(ns_a, name_a, ns_b, name_b)
        for a, b in v4:
            self.sh(ns_a, f"ip addr add {a} dev {name_a}")
            self.sh(ns_b, f"ip addr add {b} dev {name_b}")
        for a, b in v6:
            self.sh(ns_a, f"ip addr add {a} dev {name_a} nodad")
            self.sh(ns_b, f"ip addr add {b} dev {name_b} nodad")
        self.sh(ns_b, f"ip link set {name_b} up")
        if up:
            self.sh(ns_a, f"ip link set {name_a} up")

    def iface(self, tag):
        # Interface names must stay under 16 characters.
        return f"tv{os.getpid() % 100000}{tag}"

    def start_tool(self, namespace, tool, user=None, env=None, cwd=None, prefix=(), eol="\n",
                   ignore=(), stdout=subprocess.PIPE, args=()):
        """The tool, with SIGINT at its default even when this test was started
        as a background job (which ignores it, and the tool keeps what it is
        given), and with the signals named in ignore ignored."""
        command = ["ip", "netns", "exec", namespace, "env", "--default-signal=INT",
                   *[f"--ignore-signal={name}" for name in ignore]]
        if user is not None:
            command += ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups",
                        "--inh-caps=-all"]
        command += list(prefix)
        command += [tool, *args]
        process = Tool(command, env=env, cwd=cwd, eol=eol, stdout=stdout)
        self.processes.append(process.process)
        return process

    def send(self, namespace, *args):
        run(*self._sender(namespace, args))

    def send_in_background(self, namespace, *args):
        """Starts send_datagram.py; the process is stopped at clean-up."""
        sender = subprocess.Popen(self._sender(namespace, args), stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        self.processes.append(sender)
        return sender

    def receive_in_background(self, namespace, address, port, count):
        """A UDP receiver, bound when this returns, that prints how many of
        count datagrams it got within 10 s; stopped at clean-up."""
        code = ("import socket\n"
                "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
                f"s.bind(({address!r}, {port}))\n"
                "s.settimeout(10)\n"
                "print('ready', flush=True)\n"
                "got = 0\n"
                "try:\n"
                f"    while got < {count}:\n"
                "        s.recv(2048)\n"
                "        got += 1\n"
                "except OSError:\n"
                "    pass\n"
                "print(got, flush=True)\n")
        receiver = subprocess.Popen(["ip", "netns", "exec", namespace, sys.executable, "-c", code],
                                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.processes.append(receiver)
        receiver.stdout.readline()
        return receiver

    @staticmethod
    def _sender(namespace, args):
        return ["ip", "netns", "exec", namespace, sys.executable,
                os.path.join(HERE, "send_datagram.py"), *[str(a) for a in args]]


class LabTest(unittest.TestCase):
    """Each test with a lab of its own (tagged by the class's tag), removed
    whatever happens: the tool's namespace tool_ns and its peer's."""

    tag = "t"

    def setUp(self):
        self.lab = Lab(self.tag)
        self.addCleanup(self.lab.cleanup)
        self.lab.__enter__()
        self.tool_ns, self.peer = self.lab.tool_and_peer()


def start_wine(namespace, env, powershell):
    """Makes the Wine prefix env names and starts its server and services in
    namespace, whose network the prefix then sees; returns the prefix's
    System32. They start before the tool: services started by the tool's run
    inherit its stderr, and Wine's device service can crash into it when the
    server shuts down. PowerShell under Wine is an empty stub, so the
    powershell stand-in takes its place (env must tell Wine to prefer it)."""
    os.mkdir(env["WINEPREFIX"])
    quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["ip", "netns", "exec", namespace, "wineserver", "-p"], env=env, timeout=60,
                   check=True, **quiet)
    subprocess.run(["ip", "netns", "exec", namespace, "wineboot", "-i"], env=env, timeout=300,
                   check=True, **quiet)
    system32 = os.path.join(env["WINEPREFIX"], "drive_c", "windows", "system32")
    shutil.copy(powershell, os.path.join(system32, "WindowsPowerShell", "v1.0", "powershell.exe"))
    return system32


def stop_wine(namespace, env):
    for flag in ("-k", "-w"):
        subprocess.run(["ip", "netns", "exec", namespace, "wineserver", flag], env=env,
                       capture_output=True, timeout=60)


def stop_process(process):
    if process.poll() is None:
        process.kill()
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            pass


class Tool:
    """The tool with its standard output read line by line through a pipe."""

    def __init__(self, command, env=None, cwd=None, eol="\n", stdout=subprocess.PIPE):
        """stdout other than a pipe (a file, a descriptor) is not read."""
        self.idle = "Didn't receive any packet" + eol
        self.process = subprocess.Popen(command, stdout=stdout, stderr=subprocess.PIPE,
                                        stdin=subprocess.DEVNULL, env=env, cwd=cwd)
        self.out = ""
        self.err = ""
        self._arrivals = []  # (time, length of out after the chunk)
        self._chunks = queue.Queue()
        streams = [(self.process.stdout, "out"), (self.process.stderr, "err")]
        self._readers = [threading.Thread(target=self._pump, args=stream)
                         for stream in streams if stream[0] is not None]
        for reader in self._readers:
            reader.daemon = True
            reader.start()

    def _pump(self, stream, which):
        # Stamped here, not when the test gets round to it: a test busy sending
        # would otherwise see late arrivals.
        while True:
            chunk = os.read(stream.fileno(), 65536)
            if not chunk:
                self._chunks.put((which, None, time.monotonic()))
                return
            self._chunks.put((which, chunk.decode("utf-8", "replace"), time.monotonic()))

    def _drain(self, timeout):
        try:
            which, text, arrived = self._chunks.get(timeout=timeout)
        except queue.Empty:
            return
        if text is not None:
            setattr(self, which, getattr(self, which) + text)
            if which == "out":
                self._arrivals.append((arrived, len(self.out)))

    def read_for(self, seconds):
        """Collects whatever arrives during the next seconds."""
        deadline = time.monotonic() + seconds
        while (remaining := deadline - time.monotonic()) > 0:
            self._drain(min(remaining, 0.2))

    def arrival_times(self, text):
        """When each occurrence of text in stdout arrived."""
        times = []
        position = self.out.find(text)
        while position >= 0:
            end = position + len(text)
            times.append(next(t for t, length in self._arrivals if length >= end))
            position = self.out.find(text, end)
        return times

    def wait_for(self, predicate, timeout, what):
        """Reads output until predicate(out) holds; fails after timeout seconds."""
        deadline = time.monotonic() + timeout
        while not predicate(self.out):
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise AssertionError(f"timed out waiting for {what}; stdout so far:\n{self.out}"
                                     f"\nstderr:\n{self.err}")
            self._drain(min(remaining, 0.2))

    def wait_for_text(self, text, timeout=15):
        self.wait_for(lambda out: text in out, timeout, repr(text))

    def idle_lines(self):
        return self.out.count(self.idle)

    def wait_cycles(self, cycles, timeout=None):
        target = self.idle_lines() + cycles
        self.wait_for(lambda out: out.count(self.idle) >= target,
                      timeout or cycles * 2 + 5, f"{cycles} idle cycles")

    def interrupt(self, timeout=5):
        """Sends SIGINT; returns the exit status and the time it took to exit."""
        started = time.monotonic()
        self.process.send_signal(signal.SIGINT)
        status = self.process.wait(timeout=timeout)
        elapsed = time.monotonic() - started
        self._collect_rest()
        return status, elapsed

    def _collect_rest(self):
        for reader in self._readers:
            reader.join(timeout=5)
        while not self._chunks.empty():
            self._drain(0)
        for stream in (self.process.stdout, self.process.stderr):
            if stream is not None:
                stream.close()

    def finish(self, timeout=10):
        status = self.process.wait(timeout=timeout)
        self._collect_rest()
        return status


def report(alias, ip, scanner, eol="\n"):
    """One complete detection report, as the tool writes it."""
    return (f"Found a Tarvex Scanner Packet{eol}Adapter Name : {alias}{eol}"
            f"Adapter IP Address : {ip}{eol}Scanner IP Address : {scanner}{eol}{eol}")


def startup_part(out):
    head, _, _ = out.partition("Found interfaces : ")
    return head


def main(paths=2):
    """Runs the calling module's tests; the first paths arguments name the
    programs it runs (the tool's and plain-open's first), the rest tests."""
    require_root()
    unittest.main(argv=[sys.argv[0]] + sys.argv[1 + paths:], verbosity=2)


def open_failures(out):
    return [line for line in startup_part(out).splitlines()
            if line.startswith("pcap_open_live() failed due to [")]


def plain_open(lab, namespace, plain_open_path, user=None):
    """plain-open run to its end in the namespace: what pcap_open_live and
    the filter calls themselves report there."""
    process = lab.start_tool(namespace, plain_open_path, user=user)
    process.wait_for_text("Found interfaces : ")
    process.finish()
    return process
