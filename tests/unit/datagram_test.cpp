#include "detection/datagram.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <pcap/dlt.h>

#include <memory>
#include <random>

#include "tests/support/frames.h"

namespace {

using frames::Bytes;

std::optional<ScannerSighting> decode(const Bytes& frame, int linkType) {
  // An exact-size heap copy, so that AddressSanitizer sees any read past the end.
  auto copy = std::make_unique<std::uint8_t[]>(frame.size());
  std::copy(frame.begin(), frame.end(), copy.get());
  return decodeScannerDatagram(copy.get(), frame.size(), linkType);
}

ScannerSighting ipv4Sighting(std::array<std::uint8_t, 4> octets, std::uint16_t port) {
  ScannerSighting sighting;
  std::copy(octets.begin(), octets.end(), sighting.address.begin());
  sighting.port = port;
  return sighting;
}

const std::array<std::uint8_t, 16> kScannerIpv6{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0,
                                                0,    0,    0,    0,    0, 0, 0, 0x77};

struct Wrapped {
  const char* name;
  Bytes frame;
  int linkType;
};

std::vector<Wrapped> scannerInEveryLinkType() {
  const Bytes ip = frames::scannerIpv4();
  return {
      {"ethernet", frames::ethernet(ip, 0x0800), DLT_EN10MB},
      {"ethernet, 802.1Q", frames::ethernet(ip, 0x0800, {0x8100}), DLT_EN10MB},
      {"ethernet, 802.1ad + 802.1Q", frames::ethernet(ip, 0x0800, {0x88A8, 0x8100}), DLT_EN10MB},
      {"null, little-endian", frames::loopback(ip, 2, false), DLT_NULL},
      {"null, big-endian", frames::loopback(ip, 2, true), DLT_NULL},
      {"loop", frames::loopback(ip, 2, true), DLT_LOOP},
      {"linux cooked", frames::linuxCooked(ip, 0x0800), DLT_LINUX_SLL},
      {"linux cooked v2", frames::linuxCookedV2(ip, 0x0800), DLT_LINUX_SLL2},
      {"raw", ip, DLT_RAW},
      {"ipv4", ip, DLT_IPV4},
  };
}

TEST(DecodeScannerDatagram, EveryLinkTypeYieldsTheSameSighting) {
  for (const auto& wrapped : scannerInEveryLinkType()) {
    EXPECT_EQ(decode(wrapped.frame, wrapped.linkType), ipv4Sighting({192, 0, 2, 77}, 50000))
        << wrapped.name;
  }
}

TEST(DecodeScannerDatagram, PlainEthernetReadsTheDocumentedOffsets) {
  Bytes frame = frames::scannerEthernet();
  ASSERT_EQ(frame[14], 0x45);
  frame[26] = 203;
  frame[27] = 0;
  frame[28] = 113;
  frame[29] = 255;
  frame[34] = 0x12;
  frame[35] = 0x34;
  EXPECT_EQ(decode(frame, DLT_EN10MB), ipv4Sighting({203, 0, 113, 255}, 0x1234));
}

TEST(DecodeScannerDatagram, OptionsMoveThePortButNotTheAddress) {
  for (std::size_t optionBytes : {4U, 8U, 40U}) {
    frames::Ipv4Options options;
    options.options.assign(optionBytes, 0x01);  // NOPs
    const Bytes frame =
        frames::ethernet(frames::ipv4(frames::udp(40001, 1119, {}), options), 0x0800);
    const std::size_t portOffset = 14 + 20 + optionBytes;
    ASSERT_EQ(frame[portOffset] << 8 | frame[portOffset + 1], 40001);
    EXPECT_EQ(decode(frame, DLT_EN10MB), ipv4Sighting({192, 0, 2, 77}, 40001)) << optionBytes;
  }
}

TEST(DecodeScannerDatagram, IPv6NamesTheFullSourceAddress) {
  const Bytes ip = frames::ipv6(frames::udp(50000, 1119, {}), kScannerIpv6);
  ScannerSighting expected;
  expected.family = AddressFamily::ipv6;
  expected.address = kScannerIpv6;
  expected.port = 50000;
  EXPECT_EQ(decode(frames::ethernet(ip, 0x86DD), DLT_EN10MB), expected);
  EXPECT_EQ(decode(frames::ethernet(ip, 0x86DD, {0x8100}), DLT_EN10MB), expected);
  EXPECT_EQ(decode(frames::loopback(ip, 24, false), DLT_NULL), expected);
  EXPECT_EQ(decode(frames::loopback(ip, 30, true), DLT_NULL), expected);
  EXPECT_EQ(decode(frames::loopback(ip, 28, false), DLT_NULL), expected);
  EXPECT_EQ(decode(frames::linuxCookedV2(ip, 0x86DD), DLT_LINUX_SLL2), expected);
  EXPECT_EQ(decode(ip, DLT_RAW), expected);
  EXPECT_EQ(decode(ip, DLT_IPV6), expected);
  EXPECT_EQ(decode(ip, DLT_IPV4), std::nullopt);
}

TEST(DecodeScannerDatagram, RejectsWhatIsNotAnIpv4UdpHeader) {
  const Bytes payload = frames::udp(50000, 1119, {});
  const auto reject = [&](frames::Ipv4Options options, const char* why) {
    EXPECT_EQ(decode(frames::ethernet(frames::ipv4(payload, options), 0x0800), DLT_EN10MB),
              std::nullopt)
        << why;
  };
  frames::Ipv4Options o;
  o.version = 6;
  reject(o, "version 6 under the IPv4 ether type");
  o = {};
  o.version = 5;
  reject(o, "version 5");
  for (int words : {0, 3, 4}) {
    o = {};
    o.headerWordsOverride = words;
    reject(o, "header under 20 bytes");
  }
  o = {};
  o.protocol = 6;
  reject(o, "TCP");
  o = {};
  o.fragmentField = 0x00B9;
  reject(o, "later fragment");
  o = {};
  o.headerWordsOverride = 15;
  reject(o, "header longer than the frame");
}

TEST(DecodeScannerDatagram, RejectsUnknownFramesAndLinks) {
  EXPECT_EQ(decode(frames::ethernet(frames::scannerIpv4(), 0x0806), DLT_EN10MB), std::nullopt);
  EXPECT_EQ(decode(frames::loopback(frames::scannerIpv4(), 7, false), DLT_NULL), std::nullopt);
  EXPECT_EQ(decode(frames::scannerEthernet(), DLT_IEEE802_11), std::nullopt);
  EXPECT_EQ(
      decode(frames::ethernet(frames::ipv6(frames::udp(1, 1119, {}), kScannerIpv6, 6), 0x86DD),
             DLT_EN10MB),
      std::nullopt);
  EXPECT_EQ(decodeScannerDatagram(nullptr, 0, DLT_EN10MB), std::nullopt);
}

TEST(DecodeScannerDatagram, EveryPrefixIsRejectedOrDecodedRight) {
  auto cases = scannerInEveryLinkType();
  cases.push_back(
      {"ipv6",
       frames::ethernet(frames::ipv6(frames::udp(50000, 1119, {'h', 'i'}), kScannerIpv6), 0x86DD),
       DLT_EN10MB});
  frames::Ipv4Options fifteenWords;
  fifteenWords.options.assign(40, 0x01);
  cases.push_back(
      {"ihl 15",
       frames::ethernet(frames::ipv4(frames::udp(50000, 1119, {'h', 'i'}), fifteenWords), 0x0800),
       DLT_EN10MB});
  for (const auto& wrapped : cases) {
    const auto whole = decode(wrapped.frame, wrapped.linkType);
    ASSERT_TRUE(whole) << wrapped.name;
    std::size_t shortestDecoded = wrapped.frame.size();
    for (std::size_t length = 0; length < wrapped.frame.size(); ++length) {
      const Bytes prefix(wrapped.frame.begin(), wrapped.frame.begin() + static_cast<long>(length));
      const auto result = decode(prefix, wrapped.linkType);
      if (result) {
        EXPECT_EQ(result, whole) << wrapped.name << " cut to " << length;
        shortestDecoded = std::min(shortestDecoded, length);
      }
    }
    // Decoding needs the source port and no more: every frame here ends in
    // a 10-byte UDP datagram.
    EXPECT_EQ(shortestDecoded, wrapped.frame.size() - 8) << wrapped.name;
  }
}

TEST(ScannerLine, PrintsOctetsAndSourcePortInDecimal) {
  EXPECT_EQ(formatScannerLine(ipv4Sighting({192, 0, 2, 77}, 50000)),
            "Scanner IP Address : 192.0.2.77:50000\n\n");
  EXPECT_EQ(formatScannerLine(ipv4Sighting({0, 255, 0, 255}, 0)),
            "Scanner IP Address : 0.255.0.255:0\n\n");
  EXPECT_EQ(formatScannerLine(ipv4Sighting({255, 255, 255, 255}, 65535)),
            "Scanner IP Address : 255.255.255.255:65535\n\n");
}

TEST(ScannerLine, PrintsIpv6InBrackets) {
  ScannerSighting sighting;
  sighting.family = AddressFamily::ipv6;
  sighting.address = kScannerIpv6;
  sighting.port = 50000;
  EXPECT_EQ(formatScannerLine(sighting), "Scanner IP Address : [2001:db8::77]:50000\n\n");
}

std::array<std::uint8_t, 16> parseIpv6(const char* text) {
  std::array<std::uint8_t, 16> address{};
  EXPECT_EQ(inet_pton(AF_INET6, text, address.data()), 1) << text;
  return address;
}

TEST(FormatIpv6, FollowsRfc5952) {
  for (const char* text :
       {"::", "::1", "fe80::", "2001:db8::1", "2001:db8:0:1:1:1:1:1", "2001:0:0:1::1",
        "2001:db8::1:0:0:1", "2001:db8:aaaa:bbbb:cccc:dddd:eeee:ffff", "1::", "::ffff:192.0.2.1",
        "2001:db8::ffff:0:1"}) {
    EXPECT_EQ(formatIpv6(parseIpv6(text)), text);
  }
  EXPECT_EQ(formatIpv6(parseIpv6("2001:0DB8:0000:0000:0000:0000:0000:0077")), "2001:db8::77");
}

TEST(FormatIpv6, AgreesWithTheSystemOnRandomAddresses) {
  std::mt19937 random(1119);
  for (int i = 0; i < 5000; ++i) {
    std::array<std::uint8_t, 16> address{};
    for (std::size_t group = 0; group < 8; ++group) {
      // Mostly zero groups, so that runs of every length occur.
      const unsigned value = random() % 3 == 0 ? random() % 0x10000 : 0;
      address[2 * group] = static_cast<std::uint8_t>(value >> 8);
      address[2 * group + 1] = static_cast<std::uint8_t>(value);
    }
    // The C library writes ::a.b.c.d for IPv4-compatible addresses, a form
    // RFC 5952 does not ask for.
    if (std::all_of(address.begin(), address.begin() + 12, [](auto b) { return b == 0; })) {
      continue;
    }
    char system[INET6_ADDRSTRLEN];
    ASSERT_NE(inet_ntop(AF_INET6, address.data(), system, sizeof system), nullptr);
    EXPECT_EQ(formatIpv6(address), system);
  }
}

}  // namespace
