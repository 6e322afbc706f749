#!/usr/bin/env python3
"""Start-up time, peak memory and idle CPU of tarvex-finder beside the plain
pcap_open_live program, in namespaces with 1, 16 and 64 veth pairs.

Run by hand as root after a build:  bench/startup.py [build/default] [runs]
Prints medians; the targets are start-up <= 0.6x and peak memory <= 0.25x of
the plain program's, and idle CPU <= 5 ms a polling cycle.
"""

import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import netns  # noqa: E402

BUILD = sys.argv[1] if len(sys.argv) > 1 else "build/default"
RUNS = int(sys.argv[2]) if len(sys.argv) > 2 else 5
TOOL = os.path.join(BUILD, "tarvex-finder")
PLAIN = os.path.join(BUILD, "tests", "e2e", "plain-open")


def peak_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def cpu_seconds(pid):
    # Time on CPU in nanoseconds, finer than the clock ticks of /proc/PID/stat.
    with open(f"/proc/{pid}/schedstat") as schedstat:
        return int(schedstat.read().split()[0]) / 1e9


def measure(lab, namespace, command, idle_cycles):
    """Start-up seconds, peak KiB and idle CPU seconds a cycle of one run."""
    started = time.monotonic()
    process = netns.Tool(["ip", "netns", "exec", namespace, *command])
    lab.processes.append(process.process)
    process.wait_for_text("Found interfaces : ", timeout=120)
    startup = time.monotonic() - started
    idle = None
    if idle_cycles:
        process.wait_cycles(1)
        before = cpu_seconds(process.process.pid)
        process.wait_cycles(idle_cycles)
        idle = (cpu_seconds(process.process.pid) - before) / idle_cycles
    else:
        process.read_for(0.3)
    peak = peak_kib(process.process.pid)
    process.interrupt(timeout=20)
    return startup, peak, idle


def main():
    netns.require_root()
    print(f"{'pairs':>5} {'program':>14} {'start-up ms':>12} {'peak MiB':>9} {'idle ms/cycle':>14}")
    for pairs in (1, 16, 64):
        with netns.Lab(f"b{pairs}") as lab:
            # Both ends of every pair in the tool's namespace, one end with
            # IPv4: 2 * pairs + 1 devices, pairs + 1 of them with IPv4.
            tool_ns = lab.namespace("tool")
            for i in range(pairs):
                left, right = lab.iface(f"t{i}"), lab.iface(f"p{i}")
                lab.veth(tool_ns, left, tool_ns, right)
                lab.sh(tool_ns, f"ip addr add 198.51.100.{2 * i + 1}/31 dev {left} && "
                                f"ip link set {left} up && ip link set {right} up")
            rows = {}
            for name, command, cycles in (("tarvex-finder", [TOOL], 5),
                                          ("plain open", [PLAIN, "--wait"], 0)):
                samples = [measure(lab, tool_ns, command, cycles) for _ in range(RUNS)]
                startup = statistics.median(s[0] for s in samples) * 1000
                peak = statistics.median(s[1] for s in samples) / 1024
                idle = (statistics.median(s[2] for s in samples) * 1000 if cycles else None)
                rows[name] = (startup, peak)
                idle_text = f"{idle:14.3f}" if idle is not None else f"{'-':>14}"
                print(f"{pairs:>5} {name:>14} {startup:12.1f} {peak:9.1f} {idle_text}")
            tool, plain = rows["tarvex-finder"], rows["plain open"]
            print(f"{pairs:>5} {'ratio':>14} {tool[0] / plain[0]:12.2f} {tool[1] / plain[1]:9.2f}")


if __name__ == "__main__":
    main()
