#!/usr/bin/env python3
"""Writes the capture corpus: each capture through libpcap's own dump
functions, and beside it (NAME.out) what the tool must print for it when an
interface named "corpus" at 192.0.2.1 captures it.

The captures and their .out files are committed; run this only to change the
corpus, then review the difference. Frames a case marks FILTERED must not
pass the capture filter; a sender of None means a report without a scanner
line."""

import ctypes
import ctypes.util
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
FILTERED = object()

DLT_NULL, DLT_EN10MB, DLT_RAW, DLT_LOOP = 0, 1, 12, 108
DLT_LINUX_SLL, DLT_LINUX_SLL2, DLT_IPV4, DLT_IPV6 = 113, 276, 228, 229

SCANNER = bytes([192, 0, 2, 77])
SCANNER6 = bytes.fromhex("20010db8000000000000000000000077")
TOOL = bytes([192, 0, 2, 10])
TOOL6 = bytes.fromhex("20010db8000000000000000000000010")
PEER, FORGED_TARGET = bytes([192, 0, 2, 2]), bytes([192, 0, 2, 1])
PEER6, FORGED_TARGET6 = (bytes.fromhex("20010db8000100000000000000000002"),
                         bytes.fromhex("20010db8000100000000000000000001"))
TOOL_MAC, PEER_MAC = bytes.fromhex("020000000001"), bytes.fromhex("020000000002")


def udp(sport, dport=1119, payload=b"hi"):
    return struct.pack("!HHHH", sport, dport, 8 + len(payload), 0) + payload


def ipv4(transport, source=SCANNER, destination=TOOL, version=4, words=None, options=b"",
         total_length=None, checksum=0, protocol=17, fragment=0):
    words = 5 + len(options) // 4 if words is None else words
    total = 20 + len(options) + len(transport) if total_length is None else total_length
    return struct.pack("!BBHHHBBH4s4s", version << 4 | words, 0, total, 0x4242, fragment, 64,
                       protocol, checksum, source, destination) + options + transport


def ipv6(transport, source=SCANNER6, destination=TOOL6, payload_length=None, next_header=17):
    length = len(transport) if payload_length is None else payload_length
    return struct.pack("!IHBB", 0x60000000, length, next_header, 64) + source + destination + \
        transport


def ethernet(payload, ether_type=0x0800, tags=()):
    frame = TOOL_MAC + PEER_MAC
    for tag_type in tags:
        frame += struct.pack("!HH", tag_type, 100)
    return frame + struct.pack("!H", ether_type) + payload


def loopback(payload, family, byte_order):
    return struct.pack(byte_order + "I", family) + payload


def cooked(payload, protocol, tags, version):
    """Linux cooked v1 or v2 header; each tag's TCI and the next protocol
    follow the header, as the library writes a tag it puts back."""
    inner = b""
    types = list(tags) + [protocol]
    outer = types[0]
    for next_type in types[1:]:
        inner += struct.pack("!HH", 100, next_type)
    if version == 1:
        header = struct.pack("!HHH8sH", 0, 1, 6, PEER_MAC + b"\0\0", outer)
    else:
        header = struct.pack("!HHIHBB8s", outer, 0, 2, 1, 0, 6, PEER_MAC + b"\0\0")
    return header + inner + payload


def plain4(port, **fields):
    return ipv4(udp(port), **fields)


def plain6(port, **fields):
    return ipv6(udp(port), **fields)


def sender(port, v6=False, address=None):
    if v6:
        return f"[2001:db8::77]:{port}" if address is None else f"[{address}]:{port}"
    return f"192.0.2.77:{port}" if address is None else f"{address}:{port}"


# Each capture: (link type, [(what the frame is, frame, expected sender)]).
CAPTURES = {
    "ethernet": (DLT_EN10MB, [
        ("plain", ethernet(plain4(50000)), sender(50000)),
        ("4 bytes of options", ethernet(ipv4(udp(40004), options=b"\x01" * 4)), sender(40004)),
        ("40 bytes of options", ethernet(ipv4(udp(40040), options=b"\x01" * 40)), sender(40040)),
        ("802.1Q tag", ethernet(plain4(50001), tags=(0x8100,)), sender(50001)),
        ("802.1ad and 802.1Q tags", ethernet(plain4(50002), tags=(0x88A8, 0x8100)),
         sender(50002)),
        ("IPv6", ethernet(plain6(50006), 0x86DD), sender(50006, v6=True)),
        ("IPv6, 802.1Q tag", ethernet(plain6(50007), 0x86DD, tags=(0x8100,)),
         sender(50007, v6=True)),
        ("other port", ethernet(ipv4(udp(50008, 1120))), FILTERED),
        ("ARP", ethernet(bytes(28), 0x0806), FILTERED),
        ("TCP to the port", ethernet(ipv4(udp(50009), protocol=6)), FILTERED),
        ("later fragment", ethernet(ipv4(udp(50010), fragment=0x00B9)), FILTERED),
    ]),
    # Headers a sender can forge so that the frame still passes the filter,
    # which finds the destination port 4 * IHL + 2 bytes into the IPv4
    # header. Sent for real by the end-to-end tests, from 192.0.2.2.
    "forged": (DLT_EN10MB, [
        ("IHL 0: the filter reads the total length as the port",
         ethernet(ipv4(udp(44001), PEER, FORGED_TARGET, words=0, total_length=1119)), None),
        ("IHL 2: the filter reads the checksum as the port",
         ethernet(ipv4(udp(44002), PEER, FORGED_TARGET, words=2, checksum=1119)), None),
        ("version 5", ethernet(ipv4(udp(44003), PEER, FORGED_TARGET, version=5)), None),
        ("version 6 under the IPv4 type",
         ethernet(ipv4(udp(44007), PEER, FORGED_TARGET, version=6)), None),
        ("cut off after the ports", ethernet(ipv4(udp(44004), PEER, FORGED_TARGET)[:24]),
         sender(44004, address="192.0.2.2")),
        ("IHL 15", ethernet(ipv4(udp(44005), PEER, FORGED_TARGET, options=b"\x01" * 40)),
         sender(44005, address="192.0.2.2")),
        ("802.1Q tag", ethernet(ipv4(udp(44006), PEER, FORGED_TARGET), tags=(0x8100,)),
         sender(44006, address="192.0.2.2")),
        ("total length 12, shorter than the header",
         ethernet(ipv4(udp(45013), PEER, FORGED_TARGET, total_length=12)), None),
        ("total length 22, ending before the ports",
         ethernet(ipv4(udp(45022), PEER, FORGED_TARGET, total_length=22)), None),
        ("IPv6 payload length 2, shorter than the ports",
         ethernet(ipv6(udp(45030), PEER6, FORGED_TARGET6, payload_length=2), 0x86DD), None),
    ]),
    # The family is in the byte order of the host that captured: this
    # corpus's is little-endian.
    "null": (DLT_NULL, [
        ("IPv4", loopback(plain4(51000), 2, "<"), sender(51000)),
        ("IPv6, NetBSD, OpenBSD, Npcap", loopback(plain6(51024), 24, "<"),
         sender(51024, v6=True)),
        ("IPv6, FreeBSD", loopback(plain6(51028), 28, "<"), sender(51028, v6=True)),
        ("IPv6, macOS", loopback(plain6(51030), 30, "<"), sender(51030, v6=True)),
        ("Linux's AF_INET6", loopback(plain6(51010), 10, "<"), FILTERED),
        ("Windows' AF_INET6", loopback(plain6(51023), 23, "<"), FILTERED),
    ]),
    "loop": (DLT_LOOP, [
        ("IPv4", loopback(plain4(52000), 2, ">"), sender(52000)),
        ("IPv6, OpenBSD", loopback(plain6(52024), 24, ">"), sender(52024, v6=True)),
    ]),
    "sll": (DLT_LINUX_SLL, [
        ("IPv4", cooked(plain4(53000), 0x0800, (), 1), sender(53000)),
        ("IPv6", cooked(plain6(53006), 0x86DD, (), 1), sender(53006, v6=True)),
        ("802.1Q tag", cooked(plain4(53001), 0x0800, (0x8100,), 1), sender(53001)),
        ("802.1ad and 802.1Q tags", cooked(plain4(53002), 0x0800, (0x88A8, 0x8100), 1),
         sender(53002)),
    ]),
    "sll2": (DLT_LINUX_SLL2, [
        ("IPv4", cooked(plain4(54000), 0x0800, (), 2), sender(54000)),
        ("IPv6", cooked(plain6(54006), 0x86DD, (), 2), sender(54006, v6=True)),
        ("802.1Q tag", cooked(plain6(54001), 0x86DD, (0x8100,), 2), sender(54001, v6=True)),
    ]),
    "raw": (DLT_RAW, [
        ("IPv4", plain4(55000), sender(55000)),
        ("IPv6", plain6(55006), sender(55006, v6=True)),
    ]),
    "ipv4": (DLT_IPV4, [
        ("IPv4", plain4(56000), sender(56000)),
        ("40 bytes of options", ipv4(udp(56040), options=b"\x01" * 40), sender(56040)),
    ]),
    "ipv6": (DLT_IPV6, [
        ("IPv6", plain6(57006), sender(57006, v6=True)),
    ]),
}


class PcapHeader(ctypes.Structure):
    _fields_ = [("tv_sec", ctypes.c_long), ("tv_usec", ctypes.c_long),
                ("caplen", ctypes.c_uint32), ("len", ctypes.c_uint32)]


def report(scanner):
    head = "Found a Tarvex Scanner Packet\nAdapter Name : corpus\nAdapter IP Address : 192.0.2.1\n"
    return head + (f"Scanner IP Address : {scanner}\n\n" if scanner else "\n")


def main():
    pcap = ctypes.CDLL(ctypes.util.find_library("pcap"))
    pcap.pcap_open_dead.restype = ctypes.c_void_p
    pcap.pcap_open_dead.argtypes = [ctypes.c_int, ctypes.c_int]
    pcap.pcap_dump_open.restype = ctypes.c_void_p
    pcap.pcap_dump_open.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
    pcap.pcap_dump.argtypes = [ctypes.c_void_p, ctypes.POINTER(PcapHeader), ctypes.c_char_p]
    pcap.pcap_dump_close.argtypes = [ctypes.c_void_p]
    pcap.pcap_close.argtypes = [ctypes.c_void_p]
    for name, (link_type, cases) in CAPTURES.items():
        dead = pcap.pcap_open_dead(link_type, 65535)
        dumper = pcap.pcap_dump_open(dead, os.path.join(HERE, f"{name}.pcap").encode())
        expected = ""
        for number, (_what, frame, scanner) in enumerate(cases):
            header = PcapHeader(1765000000 + number, 0, len(frame), len(frame))
            pcap.pcap_dump(dumper, ctypes.byref(header), frame)
            if scanner is not FILTERED:
                expected += report(scanner)
        pcap.pcap_dump_close(dumper)
        pcap.pcap_close(dead)
        with open(os.path.join(HERE, f"{name}.out"), "w") as out:
            out.write(expected)


if __name__ == "__main__":
    main()
