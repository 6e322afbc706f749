#include "detection/datagram.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace {

ScannerSighting ipv4Sighting(std::array<std::uint8_t, 4> octets, std::uint16_t port) {
  ScannerSighting sighting;
  std::copy(octets.begin(), octets.end(), sighting.address.begin());
  sighting.port = port;
  return sighting;
}

const std::array<std::uint8_t, 16> kScannerIpv6{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0,
                                                0,    0,    0,    0,    0, 0, 0, 0x77};

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
