"""Sends UDP datagrams from a given address and port (run inside a namespace)."""

import argparse
import socket
import time

parser = argparse.ArgumentParser()
parser.add_argument("source")
parser.add_argument("sport", type=int)
parser.add_argument("destination")
parser.add_argument("dport", type=int)
parser.add_argument("--count", type=int, default=1)
parser.add_argument("--interval", type=float, default=0.0)
parser.add_argument("--ip-options", action="store_true",
                    help="add 4 bytes of IPv4 options (header length 6)")
parser.add_argument("--next-port", action="store_true",
                    help="send each datagram from the port after the last one's")
args = parser.parse_args()

family = socket.AF_INET6 if ":" in args.source else socket.AF_INET


def sender(port):
    sock = socket.socket(family, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    if args.ip_options:
        sock.setsockopt(socket.IPPROTO_IP, socket.IP_OPTIONS, bytes([1, 1, 1, 0]))
    sock.bind((args.source, port))
    return sock


sock = sender(args.sport)
for i in range(min(args.count, 100000)):
    if args.next_port and i > 0:
        sock.close()
        sock = sender(args.sport + i)
    sock.sendto(b"tarvex-test", (args.destination, args.dport))
    if args.interval:
        time.sleep(args.interval)
sock.close()
