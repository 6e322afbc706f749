"""Sends hand-made Ethernet frames through an AF_PACKET socket (run inside a
namespace): scanner datagrams that a sender can forge to pass the capture
filter with headers the decoder must not trust."""

import socket
import struct
import sys

SOURCE = bytes([192, 0, 2, 2])
DESTINATION = bytes([192, 0, 2, 1])


def ipv4(transport, version=4, words=5, options=b"", total_length=None, checksum=0):
    header_length = 20 + len(options)
    if total_length is None:
        total_length = header_length + len(transport)
    header = struct.pack("!BBHHHBBH4s4s", version << 4 | words, 0, total_length, 0x4242, 0, 64,
                         17, checksum, SOURCE, DESTINATION)
    return header + options + transport


def udp(sport, dport=1119, payload=b"forged"):
    return struct.pack("!HHHH", sport, dport, 8 + len(payload), 0) + payload


def ethernet(destination_mac, source_mac, payload, tags=()):
    frame = destination_mac + source_mac
    for tpid, vid in tags:
        frame += struct.pack("!HH", tpid, vid)
    return frame + struct.pack("!H", 0x0800) + payload


def forged_frames():
    """(name, IPv4 packet, 802.1Q tags); the comments say how each passes
    the filter, which finds the destination port 4 * IHL + 2 bytes in."""
    return [
        # IHL 0: the filter reads the total length field as the port.
        ("ihl0", ipv4(udp(44001), words=0, total_length=1119), ()),
        # IHL 2: the filter reads the checksum field as the port.
        ("ihl2", ipv4(udp(44002), words=2, checksum=1119), ()),
        # The filter does not look at the version.
        ("version5", ipv4(udp(44003), version=5), ()),
        # Cut off right after the ports, the length fields claiming more.
        ("cut", ipv4(udp(44004))[:20 + 4], ()),
        # 40 bytes of options (IHL 15).
        ("options40", ipv4(udp(44005), words=15, options=b"\x01" * 40), ()),
        # A VLAN tag: the kernel moves it aside, the filter matches, the
        # library puts it back into the captured bytes.
        ("vlan", ipv4(udp(44006)), ((0x8100, 100),)),
    ]


def main():
    interface, destination_mac = sys.argv[1], bytes.fromhex(sys.argv[2].replace(":", ""))
    with socket.socket(socket.AF_PACKET, socket.SOCK_RAW) as sock:
        sock.bind((interface, 0))
        source_mac = sock.getsockname()[4]
        for _name, packet, tags in forged_frames():
            sock.send(ethernet(destination_mac, source_mac, packet, tags))


if __name__ == "__main__":
    main()
