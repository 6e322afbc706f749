"""Sends every frame of a corpus capture (Ethernet) out of an interface
through an AF_PACKET socket, addressed to the given MAC address; run inside
a namespace."""

import socket
import struct
import sys


def frames(path):
    with open(path, "rb") as capture:
        data = capture.read()
    order = "<" if data[:4] in (b"\xd4\xc3\xb2\xa1", b"\x4d\x3c\xb2\xa1") else ">"
    offset = 24
    while offset + 16 <= len(data):
        length = struct.unpack_from(order + "I", data, offset + 8)[0]
        offset += 16
        yield data[offset:offset + length]
        offset += length


def main():
    path, interface = sys.argv[1], sys.argv[2]
    destination = bytes.fromhex(sys.argv[3].replace(":", ""))
    with socket.socket(socket.AF_PACKET, socket.SOCK_RAW) as sock:
        sock.bind((interface, 0))
        source = sock.getsockname()[4]
        for frame in frames(path):
            sock.send(destination + source + frame[12:])


if __name__ == "__main__":
    main()
