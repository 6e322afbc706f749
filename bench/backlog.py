#!/usr/bin/env python3
"""How far the reports fall behind when datagrams come faster than one per
interface per second: three interfaces, each sent RATE datagrams a second for
SECONDS, each datagram from the next source port, so that every report names
the datagram it stands for.

Run by hand as root after a build:  bench/backlog.py [build/default] [seconds] [rate]
Prints, per interface, the datagrams sent and reported, whether the reports
kept the sending order, and how long before the end the last reported one
was sent (the backlog).
"""

import os
import re
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import netns  # noqa: E402

BUILD = sys.argv[1] if len(sys.argv) > 1 else "build/default"
SECONDS = int(sys.argv[2]) if len(sys.argv) > 2 else 60
RATE = int(sys.argv[3]) if len(sys.argv) > 3 else 5
FIRST_PORT = 20000
NETWORKS = ["192.0.2", "198.51.100", "203.0.113"]


def main():
    netns.require_root()
    with netns.Lab("k") as lab:
        tool_ns, peer = lab.tool_and_peer()
        for i, net in enumerate(NETWORKS):
            lab.link(tool_ns, lab.iface(f"a{i}"), peer, lab.iface(f"p{i}"),
                     v4=[(f"{net}.1/24", f"{net}.2/24")])
        tool = lab.start_tool(tool_ns, os.path.join(BUILD, "tarvex-finder"))
        tool.wait_for_text("Found interfaces : 4\n")
        tool.wait_cycles(1)
        started = time.monotonic()
        for net in NETWORKS:
            lab.send_in_background(peer, f"{net}.2", FIRST_PORT, f"{net}.1", 1119, "--count",
                                   SECONDS * RATE, "--interval", 1 / RATE, "--next-port")
        tool.read_for(SECONDS)
        ended = time.monotonic() - started
        tool.interrupt(timeout=10)
    print(f"{SECONDS} s at {RATE} datagrams a second on each of {len(NETWORKS)} interfaces")
    print(f"{'interface':>12} {'sent':>6} {'reported':>9} {'in order':>9} {'backlog s':>10}")
    for net in NETWORKS:
        ports = [int(p) for p in re.findall(rf"Scanner IP Address : {re.escape(net)}\.2:(\d+)\n",
                                            tool.out)]
        indexes = [port - FIRST_PORT for port in ports]
        backlog = ended - indexes[-1] / RATE if indexes else float("nan")
        print(f"{net + '.1':>12} {SECONDS * RATE:6d} {len(indexes):9d} "
              f"{str(indexes == sorted(set(indexes))):>9} {backlog:10.1f}")


if __name__ == "__main__":
    main()
