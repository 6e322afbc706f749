#!/usr/bin/env python3
"""Start-up, first polling cycle, stop, peak memory and idle CPU of
tarvex-finder beside plain-open (pcap_open_live with the library's defaults),
in namespaces with 1, 16, 64 and 2,048 veth pairs (one end of each with
IPv4; 4,097 devices with lo at 2,048) and on a container host (256
interfaces without IPv4, 2 with). plain-open runs once at 2,048 pairs, where
a run takes minutes.

Then, where the Windows build (build/windows) and Wine are there, the
Windows start-up under Wine with nine interfaces, with the PowerShell
stand-in answering at once and after 1 s a lookup.

Run by hand as root after a build:  bench/startup.py [build/default] [runs]
Prints medians over the runs, measured with the kernel's ordinary RCU grace
periods (see ordinary_grace_periods), and whether each target is met: at 64
pairs peak memory at most 0.10 times plain-open's and start-up at most 0.25
times; at 2,048 pairs both at most 0.010 times and the stop within 0.5 s; on the container host start-up at most 0.2 times plain-open's, the
first cycle within 1.5 s of the count line and the stop within 1.5 s of
SIGINT; idle CPU at most 5 ms a cycle; under Wine, 1-second lookups adding
at most 1.5 s to start-up.
"""

import contextlib
import os
import shutil
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import netns  # noqa: E402

BUILD = sys.argv[1] if len(sys.argv) > 1 else "build/default"
RUNS = int(sys.argv[2]) if len(sys.argv) > 2 else 5
TOOL = os.path.join(BUILD, "tarvex-finder")
PLAIN = os.path.join(BUILD, "tests", "e2e", "plain-open")
IDLE_CYCLES = 5


RCU_EXPEDITED = "/sys/kernel/rcu_expedited"


@contextlib.contextmanager
def ordinary_grace_periods():
    """Releasing a capture socket waits for an RCU grace period: about 25 ms
    on most hosts, next to nothing on a kernel set to expedite them (as some
    VMs are). Costs that scale with it are measured the usual way, and the
    setting is put back afterwards."""
    try:
        with open(RCU_EXPEDITED) as setting:
            before = setting.read().strip()
        with open(RCU_EXPEDITED, "w") as setting:
            setting.write("0")
    except OSError:
        print(f"note: {RCU_EXPEDITED} cannot be set; grace periods stay as they are")
        yield
        return
    try:
        yield
    finally:
        with open(RCU_EXPEDITED, "w") as setting:
            setting.write(before)


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


def measure(lab, namespace, command, polls):
    """One run: seconds to the count line, from it to the first cycle, from
    SIGINT to exit; peak KiB; idle CPU seconds a cycle (None for plain-open,
    which does not poll)."""
    started = time.monotonic()
    process = lab.start_tool(namespace, command[0], args=command[1:])
    process.wait_for_text("Found interfaces : ", timeout=900)
    counted = process.arrival_times("Found interfaces : ")[0]
    first_cycle = idle = None
    if polls:
        process.wait_cycles(1)
        first_cycle = process.arrival_times(process.idle)[0] - counted
        before = cpu_seconds(process.process.pid)
        process.wait_cycles(IDLE_CYCLES)
        idle = (cpu_seconds(process.process.pid) - before) / IDLE_CYCLES
    else:
        process.read_for(0.3)
    peak = peak_kib(process.process.pid)
    _, stop = process.interrupt(timeout=900)
    return counted - started, first_cycle, stop, peak, idle


def median(samples, index, scale):
    values = [s[index] for s in samples]
    return None if values[0] is None else statistics.median(values) * scale


def cell(value, width, digits=1):
    return f"{'-':>{width}}" if value is None else f"{value:{width}.{digits}f}"


def compare(label, lab, namespace, plain_runs=None):
    """plain_runs: fewer runs of plain-open, where one takes minutes."""
    rows = {}
    for name, command, polls, runs in (("tarvex-finder", [TOOL], True, RUNS),
                                       ("plain-open", [PLAIN, "--wait"], False,
                                        plain_runs or RUNS)):
        samples = [measure(lab, namespace, command, polls) for _ in range(runs)]
        row = (median(samples, 0, 1000), median(samples, 1, 1000), median(samples, 2, 1000),
               median(samples, 3, 1 / 1024), median(samples, 4, 1000))
        rows[name] = row
        print(f"{label:>10} {name:>14} {cell(row[0], 12)} {cell(row[1], 13)} {cell(row[2], 9)} "
              f"{cell(row[3], 9)} {cell(row[4], 14, 3)}", flush=True)
    tool, plain = rows["tarvex-finder"], rows["plain-open"]
    print(f"{label:>10} {'ratio':>14} {tool[0] / plain[0]:12.2f} {'':>13} "
          f"{tool[2] / plain[2]:9.2f} {tool[3] / plain[3]:9.2f}", flush=True)
    return tool, plain


def target(what, value, limit, unit=""):
    print(f"target: {what} {value:.3f}{unit} <= {limit}{unit}: "
          f"{'met' if value <= limit else 'NOT MET'}")


def wine_startup(lookup_ms):
    """Median seconds from exec to the count line of the Windows build under
    Wine, with nine veth interfaces and lookups taking lookup_ms each, and
    the count of interfaces it named."""
    windows = os.path.join(os.path.dirname(os.path.abspath(BUILD)), "windows")
    exe = os.path.join(windows, "tarvex-finder.exe")
    standin = os.path.join(windows, "test-tools", "powershell.exe")
    with netns.Lab(f"w{lookup_ms}") as lab, tempfile.TemporaryDirectory() as scratch:
        tool_ns = lab.namespace("tool")
        lab.veth_pairs(tool_ns, "w", 9, ipv4=True)
        env = dict(os.environ, WINEPREFIX=os.path.join(scratch, "prefix"), WINEDEBUG="-all",
                   WINEDLLOVERRIDES="powershell.exe=n", TARVEX_STANDIN_DELAY_MS=str(lookup_ms),
                   TARVEX_STANDIN_LOG=os.devnull)
        try:
            netns.start_wine(tool_ns, env, standin)
            samples = []
            for _ in range(RUNS):
                started = time.monotonic()
                tool = lab.start_tool(tool_ns, exe, env=env, prefix=["wine"], eol="\r\n")
                tool.wait_for_text("Found interfaces : ", timeout=120)
                samples.append(tool.arrival_times("Found interfaces : ")[0] - started)
                tool.interrupt(timeout=10)
                named = int(tool.out.split("Found interfaces : ")[1].split()[0])
        finally:
            netns.stop_wine(tool_ns, env)
    return statistics.median(samples), named


def main():
    netns.require_root()
    print(f"{'host':>10} {'program':>14} {'start-up ms':>12} {'1st cycle ms':>13} "
          f"{'stop ms':>9} {'peak MiB':>9} {'idle ms/cycle':>14}")
    with ordinary_grace_periods():
        for pairs in (1, 16, 64):
            with netns.Lab(f"b{pairs}") as lab:
                # 2 * pairs + 1 devices, pairs + 1 of them (lo too) with IPv4.
                tool_ns = lab.namespace("tool")
                lab.veth_pairs(tool_ns, "t", pairs, ipv4=True)
                tool, plain = compare(f"{pairs} pairs", lab, tool_ns)
        pairs_tool, pairs_plain = tool, plain
        with netns.Lab("bc") as lab:
            # 256 devices without IPv4; lo and one veth end with it.
            tool_ns, peer = lab.tool_and_peer()
            lab.veth_pairs(tool_ns, "c", 128)
            lab.link(tool_ns, lab.iface("a"), peer, lab.iface("pa"),
                     v4=[("192.0.2.1/24", "192.0.2.2/24")])
            host_tool, host_plain = compare("container", lab, tool_ns)
        with netns.Lab("bl") as lab:
            # 4,097 devices: 2,048 pairs, one end of each with IPv4, and lo.
            tool_ns = lab.namespace("tool")
            lab.veth_pairs(tool_ns, "l", 2048, ipv4=True)
            large_tool, large_plain = compare("2048 pairs", lab, tool_ns, plain_runs=1)
    target("64 pairs start-up, times plain-open's", pairs_tool[0] / pairs_plain[0], 0.25)
    target("64 pairs peak memory, times plain-open's", pairs_tool[3] / pairs_plain[3], 0.10)
    target("container start-up, times plain-open's", host_tool[0] / host_plain[0], 0.2)
    target("container first cycle", host_tool[1], 1500, " ms")
    target("container stop", host_tool[2], 1500, " ms")
    target("2048 pairs start-up, times plain-open's", large_tool[0] / large_plain[0], 0.010)
    target("2048 pairs peak memory, times plain-open's", large_tool[3] / large_plain[3], 0.010)
    target("2048 pairs stop", large_tool[2], 500, " ms")
    target("idle CPU a cycle", max(pairs_tool[4], host_tool[4]), 5, " ms")
    if shutil.which("wine") is None:
        print("Windows start-up under Wine: not measured (no wine)")
        return
    (fast, named), (slow, _) = wine_startup(0), wine_startup(1000)
    print(f"under Wine, {named} interfaces named: start-up {fast * 1000:.0f} ms with immediate "
          f"lookups, {slow * 1000:.0f} ms with 1-second lookups")
    target("time 1-second lookups add under Wine", slow - fast, 1.5, " s")

if __name__ == "__main__":
    main()
