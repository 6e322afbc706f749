#pragma once

// Builders for the test frames: a scanner datagram wrapped in each link layer.

#include <array>
#include <cstdint>
#include <vector>

namespace frames {

using Bytes = std::vector<std::uint8_t>;

inline void putBe16(Bytes& bytes, std::uint16_t value) {
  bytes.push_back(static_cast<std::uint8_t>(value >> 8));
  bytes.push_back(static_cast<std::uint8_t>(value & 0xFF));
}

// Byte by byte: GCC 12 warns falsely about vector range inserts here.
template <typename Range>
void append(Bytes& bytes, const Range& more) {
  for (std::uint8_t byte : more) {
    bytes.push_back(byte);
  }
}

inline Bytes udp(std::uint16_t sourcePort, std::uint16_t destinationPort, const Bytes& payload) {
  Bytes bytes;
  putBe16(bytes, sourcePort);
  putBe16(bytes, destinationPort);
  putBe16(bytes, static_cast<std::uint16_t>(8 + payload.size()));
  putBe16(bytes, 0);
  append(bytes, payload);
  return bytes;
}

struct Ipv4Options {
  std::array<std::uint8_t, 4> source{192, 0, 2, 77};
  std::array<std::uint8_t, 4> destination{192, 0, 2, 10};
  std::uint8_t protocol = 17;
  std::uint8_t version = 4;
  Bytes options;                    // padded to whole words by the caller
  int headerWordsOverride = -1;     // forces the header length field
  std::uint16_t fragmentField = 0;  // flags and fragment offset
};

inline Bytes ipv4(const Bytes& transport, const Ipv4Options& o = {}) {
  const auto words = static_cast<std::uint8_t>(
      o.headerWordsOverride >= 0 ? o.headerWordsOverride : 5 + o.options.size() / 4);
  Bytes bytes{static_cast<std::uint8_t>(o.version << 4 | (words & 0x0F)), 0};
  putBe16(bytes, static_cast<std::uint16_t>(20 + o.options.size() + transport.size()));
  putBe16(bytes, 0x1234);
  putBe16(bytes, o.fragmentField);
  bytes.push_back(64);
  bytes.push_back(o.protocol);
  putBe16(bytes, 0);
  bytes.insert(bytes.end(), o.source.begin(), o.source.end());
  bytes.insert(bytes.end(), o.destination.begin(), o.destination.end());
  bytes.insert(bytes.end(), o.options.begin(), o.options.end());
  append(bytes, transport);
  return bytes;
}

inline Bytes ipv6(const Bytes& transport, const std::array<std::uint8_t, 16>& source,
                  std::uint8_t nextHeader = 17) {
  Bytes bytes{0x60, 0, 0, 0};
  putBe16(bytes, static_cast<std::uint16_t>(transport.size()));
  bytes.push_back(nextHeader);
  bytes.push_back(64);
  append(bytes, source);
  const std::array<std::uint8_t, 16> destination{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0,
                                                 0,    0,    0,    0,    0, 0, 0, 0x10};
  append(bytes, destination);
  append(bytes, transport);
  return bytes;
}

inline Bytes ethernet(const Bytes& network, std::uint16_t etherType,
                      const std::vector<std::uint16_t>& tagTypes = {}) {
  Bytes bytes{0x02, 0, 0, 0, 0, 0x01, 0x02, 0, 0, 0, 0, 0x02};
  for (std::uint16_t tagType : tagTypes) {
    putBe16(bytes, tagType);
    putBe16(bytes, 0x0064);  // VLAN 100
  }
  putBe16(bytes, etherType);
  append(bytes, network);
  return bytes;
}

inline Bytes loopback(const Bytes& network, std::uint32_t family, bool bigEndian) {
  Bytes bytes;
  for (int i = 0; i < 4; ++i) {
    const int shift = bigEndian ? 24 - 8 * i : 8 * i;
    bytes.push_back(static_cast<std::uint8_t>(family >> shift));
  }
  append(bytes, network);
  return bytes;
}

inline Bytes linuxCooked(const Bytes& network, std::uint16_t protocol) {
  Bytes bytes{0, 0, 0, 1, 0, 6, 0x02, 0, 0, 0, 0, 0x01, 0, 0};
  putBe16(bytes, protocol);
  append(bytes, network);
  return bytes;
}

inline Bytes linuxCookedV2(const Bytes& network, std::uint16_t protocol) {
  Bytes bytes{static_cast<std::uint8_t>(protocol >> 8),
              static_cast<std::uint8_t>(protocol & 0xFF),
              0,
              0,
              0,
              0,
              0,
              2,
              0,
              1,
              0,
              6,
              0x02,
              0,
              0,
              0,
              0,
              0x01,
              0,
              0};
  append(bytes, network);
  return bytes;
}

// The plain scanner datagram of most tests: 192.0.2.77:50000 to port 1119.
inline Bytes scannerIpv4() { return ipv4(udp(50000, 1119, {'h', 'i'})); }
inline Bytes scannerEthernet() { return ethernet(scannerIpv4(), 0x0800); }

}  // namespace frames
