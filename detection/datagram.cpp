#include "detection/datagram.h"

#include <pcap/dlt.h>

#include <algorithm>
#include <cstdio>

namespace {

// Every read of captured bytes goes through here, checked against the
// captured length.
class CapturedBytes {
 public:
  CapturedBytes(const std::uint8_t* bytes, std::size_t length) : bytes_(bytes), length_(length) {}

  [[nodiscard]] bool has(std::size_t offset, std::size_t count) const {
    return bytes_ != nullptr && offset <= length_ && count <= length_ - offset;
  }
  [[nodiscard]] std::optional<std::uint8_t> u8(std::size_t offset) const {
    if (!has(offset, 1)) {
      return std::nullopt;
    }
    return bytes_[offset];
  }
  [[nodiscard]] std::optional<std::uint16_t> be16(std::size_t offset) const {
    if (!has(offset, 2)) {
      return std::nullopt;
    }
    return static_cast<std::uint16_t>(bytes_[offset] << 8 | bytes_[offset + 1]);
  }
  [[nodiscard]] std::optional<std::uint32_t> be32(std::size_t offset) const {
    if (!has(offset, 4)) {
      return std::nullopt;
    }
    return static_cast<std::uint32_t>(bytes_[offset]) << 24 |
           static_cast<std::uint32_t>(bytes_[offset + 1]) << 16 |
           static_cast<std::uint32_t>(bytes_[offset + 2]) << 8 | bytes_[offset + 3];
  }
  // Copies count bytes into out; false (out untouched) when they were not captured.
  bool copy(std::size_t offset, std::size_t count, std::uint8_t* out) const {
    if (!has(offset, count)) {
      return false;
    }
    for (std::size_t i = 0; i < count; ++i) {
      out[i] = bytes_[offset + i];
    }
    return true;
  }

 private:
  const std::uint8_t* bytes_;
  std::size_t length_;
};

enum class Network { ipv4, ipv6, byVersion };

struct NetworkStart {
  Network network;
  std::size_t offset;
};

// Link layers.
constexpr std::size_t kEthernetTypeOffset = 12;
constexpr std::size_t kEthernetHeaderLength = 14;
constexpr std::size_t kSllProtocolOffset = 14;
constexpr std::size_t kSllHeaderLength = 16;
constexpr std::size_t kSll2ProtocolOffset = 0;
constexpr std::size_t kSll2HeaderLength = 20;
constexpr std::size_t kLoopbackHeaderLength = 4;
constexpr std::size_t kVlanTagLength = 4;  // tag control information, then the next type
constexpr std::size_t kVlanNextTypeOffset = 2;

constexpr std::uint16_t kEtherTypeIpv4 = 0x0800;
constexpr std::uint16_t kEtherTypeIpv6 = 0x86DD;
constexpr std::uint16_t kEtherTypeVlan = 0x8100;          // 802.1Q
constexpr std::uint16_t kEtherTypeProviderVlan = 0x88A8;  // 802.1ad
constexpr std::uint16_t kEtherTypeOldQinQ = 0x9100;       // before 802.1ad

// BSD loopback address families: exactly those the capture library's own
// filter admits, so every frame it passes is decoded.
constexpr std::uint32_t kLoopbackInet = 2;           // every system
constexpr std::uint32_t kLoopbackInet6Bsd = 24;      // NetBSD, OpenBSD, BSD/OS; Npcap's loopback
constexpr std::uint32_t kLoopbackInet6FreeBsd = 28;  // FreeBSD, DragonFly BSD
constexpr std::uint32_t kLoopbackInet6Darwin = 30;   // macOS, iOS

// IPv4 header fields.
constexpr std::size_t kIpv4VersionAndLength = 0;
constexpr std::size_t kIpv4TotalLength = 2;
constexpr std::size_t kIpv4Fragment = 6;
constexpr std::size_t kIpv4Protocol = 9;
constexpr std::size_t kIpv4Source = 12;
constexpr std::size_t kIpv4MinimumHeaderLength = 20;
constexpr std::uint16_t kIpv4FragmentOffsetMask = 0x1FFF;

// IPv6 header fields.
constexpr std::size_t kIpv6PayloadLength = 4;
constexpr std::size_t kIpv6NextHeader = 6;
constexpr std::size_t kIpv6Source = 8;
constexpr std::size_t kIpv6HeaderLength = 40;

constexpr std::uint8_t kProtocolUdp = 17;
constexpr std::size_t kUdpPortsLength = 4;  // source port, then destination port

std::optional<NetworkStart> fromEtherType(std::optional<std::uint16_t> type, std::size_t offset) {
  if (type == kEtherTypeIpv4) {
    return NetworkStart{Network::ipv4, offset};
  }
  if (type == kEtherTypeIpv6) {
    return NetworkStart{Network::ipv6, offset};
  }
  return std::nullopt;
}

bool isVlanTag(std::uint16_t type) {
  return type == kEtherTypeVlan || type == kEtherTypeProviderVlan || type == kEtherTypeOldQinQ;
}

// The type field at typeOffset names what starts at payloadOffset; VLAN tags
// that the library put back into the captured bytes are stepped over.
std::optional<NetworkStart> afterTypeField(const CapturedBytes& frame, std::size_t typeOffset,
                                           std::size_t payloadOffset) {
  auto type = frame.be16(typeOffset);
  while (type && isVlanTag(*type)) {
    typeOffset = payloadOffset + kVlanNextTypeOffset;
    payloadOffset += kVlanTagLength;
    type = frame.be16(typeOffset);
  }
  return fromEtherType(type, payloadOffset);
}

// BSD loopback: the sender's address family, in the capturing host's byte
// order, before the IP header.
std::optional<NetworkStart> afterLoopbackFamily(const CapturedBytes& frame, bool hostOrder) {
  auto family = frame.be32(0);
  if (!family) {
    return std::nullopt;
  }
  std::uint32_t value = *family;
  if (hostOrder && (value & 0xFFFF0000U) != 0) {
    value = (value >> 24) | ((value >> 8) & 0xFF00U) | ((value << 8) & 0xFF0000U) | (value << 24);
  }
  switch (value) {
    case kLoopbackInet:
      return NetworkStart{Network::ipv4, kLoopbackHeaderLength};
    case kLoopbackInet6Bsd:
    case kLoopbackInet6FreeBsd:
    case kLoopbackInet6Darwin:
      return NetworkStart{Network::ipv6, kLoopbackHeaderLength};
    default:
      return std::nullopt;
  }
}

// The one place that knows link layers.
std::optional<NetworkStart> locateNetworkLayer(const CapturedBytes& frame, int linkType) {
  switch (linkType) {
    case DLT_EN10MB:
      return afterTypeField(frame, kEthernetTypeOffset, kEthernetHeaderLength);
    case DLT_NULL:
      return afterLoopbackFamily(frame, true);
    case DLT_LOOP:
      return afterLoopbackFamily(frame, false);
    case DLT_LINUX_SLL:
      return afterTypeField(frame, kSllProtocolOffset, kSllHeaderLength);
    case DLT_LINUX_SLL2:
      return afterTypeField(frame, kSll2ProtocolOffset, kSll2HeaderLength);
    case DLT_RAW:
      return NetworkStart{Network::byVersion, 0};
    case DLT_IPV4:
      return NetworkStart{Network::ipv4, 0};
    case DLT_IPV6:
      return NetworkStart{Network::ipv6, 0};
    default:
      return std::nullopt;
  }
}

// The datagram's own lengths bound it: ports past its end would be read
// from padding or trailer bytes.
std::optional<ScannerSighting> decodeIpv4(const CapturedBytes& frame, std::size_t ip) {
  const auto versionAndLength = frame.u8(ip + kIpv4VersionAndLength);
  if (!versionAndLength || (*versionAndLength >> 4) != 4) {
    return std::nullopt;
  }
  const std::size_t headerLength = 4U * (*versionAndLength & 0x0FU);
  const auto totalLength = frame.be16(ip + kIpv4TotalLength);
  const auto fragment = frame.be16(ip + kIpv4Fragment);
  const auto protocol = frame.u8(ip + kIpv4Protocol);
  // A later fragment carries no UDP header where the ports would be.
  if (headerLength < kIpv4MinimumHeaderLength || !frame.has(ip, headerLength) || !totalLength ||
      *totalLength < headerLength + kUdpPortsLength || !fragment ||
      (*fragment & kIpv4FragmentOffsetMask) != 0 || protocol != kProtocolUdp) {
    return std::nullopt;
  }
  ScannerSighting sighting;
  const auto port = frame.be16(ip + headerLength);
  if (!port || !frame.copy(ip + kIpv4Source, 4, sighting.address.data())) {
    return std::nullopt;
  }
  sighting.port = *port;
  return sighting;
}

std::optional<ScannerSighting> decodeIpv6(const CapturedBytes& frame, std::size_t ip) {
  const auto version = frame.u8(ip);
  const auto payloadLength = frame.be16(ip + kIpv6PayloadLength);
  if (!version || (*version >> 4) != 6 || !payloadLength || *payloadLength < kUdpPortsLength ||
      frame.u8(ip + kIpv6NextHeader) != kProtocolUdp) {
    return std::nullopt;
  }
  ScannerSighting sighting;
  sighting.family = AddressFamily::ipv6;
  const auto port = frame.be16(ip + kIpv6HeaderLength);
  if (!port || !frame.copy(ip + kIpv6Source, 16, sighting.address.data())) {
    return std::nullopt;
  }
  sighting.port = *port;
  return sighting;
}

}  // namespace

std::optional<ScannerSighting> decodeScannerDatagram(const std::uint8_t* frame,
                                                     std::size_t capturedLength, int linkType) {
  const CapturedBytes bytes(frame, capturedLength);
  const auto start = locateNetworkLayer(bytes, linkType);
  if (!start) {
    return std::nullopt;
  }
  Network network = start->network;
  if (network == Network::byVersion) {
    const auto version = bytes.u8(start->offset);
    if (!version) {
      return std::nullopt;
    }
    network = (*version >> 4) == 6 ? Network::ipv6 : Network::ipv4;
  }
  return network == Network::ipv4 ? decodeIpv4(bytes, start->offset)
                                  : decodeIpv6(bytes, start->offset);
}

// By hand, after RFC 5952, so that a report reads the same on every host:
// inet_ntop's text differs between C libraries (glibc, for one, writes
// IPv4-compatible addresses as ::a.b.c.d).
std::string formatIpv6(const std::array<std::uint8_t, 16>& address) {
  const bool ipv4Mapped = std::all_of(address.begin(), address.begin() + 10,
                                      [](std::uint8_t byte) { return byte == 0; }) &&
                          address[10] == 0xFF && address[11] == 0xFF;
  if (ipv4Mapped) {
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "::ffff:%u.%u.%u.%u",
                  static_cast<unsigned>(address[12]), static_cast<unsigned>(address[13]),
                  static_cast<unsigned>(address[14]), static_cast<unsigned>(address[15]));
    return text.data();
  }
  std::array<unsigned, 8> groups{};
  for (std::size_t i = 0; i < groups.size(); ++i) {
    groups[i] = static_cast<unsigned>(address[2 * i] << 8 | address[2 * i + 1]);
  }
  // The longest run of two or more zero groups, the first of equals, becomes "::".
  std::size_t bestStart = groups.size();
  std::size_t bestLength = 1;
  for (std::size_t i = 0; i < groups.size();) {
    std::size_t j = i;
    while (j < groups.size() && groups[j] == 0) {
      ++j;
    }
    if (j - i > bestLength) {
      bestStart = i;
      bestLength = j - i;
    }
    i = j == i ? i + 1 : j;
  }
  std::string text;
  std::array<char, 8> group{};
  for (std::size_t i = 0; i < groups.size(); ++i) {
    if (i == bestStart) {
      text += "::";
      i += bestLength - 1;
      continue;
    }
    if (!text.empty() && text.back() != ':') {
      text += ':';
    }
    std::snprintf(group.data(), group.size(), "%x", groups[i]);
    text += group.data();
  }
  return text;
}

std::string formatScannerLine(const ScannerSighting& sighting) {
  std::array<char, 96> line{};
  if (sighting.family == AddressFamily::ipv6) {
    std::snprintf(line.data(), line.size(), "Scanner IP Address : [%s]:%u\n\n",
                  formatIpv6(sighting.address).c_str(), static_cast<unsigned>(sighting.port));
  } else {
    const auto& a = sighting.address;
    std::snprintf(line.data(), line.size(), "Scanner IP Address : %u.%u.%u.%u:%u\n\n",
                  static_cast<unsigned>(a[0]), static_cast<unsigned>(a[1]),
                  static_cast<unsigned>(a[2]), static_cast<unsigned>(a[3]),
                  static_cast<unsigned>(sighting.port));
  }
  return line.data();
}
