#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

enum class AddressFamily : std::uint8_t { ipv4, ipv6 };

// Where a scanner datagram came from.
struct ScannerSighting {
  AddressFamily family = AddressFamily::ipv4;
  std::array<std::uint8_t, 16> address{};  // wire order; IPv4 uses the first 4
  std::uint16_t port = 0;                  // UDP source port, host order

  bool operator==(const ScannerSighting&) const = default;
};

// Decodes one captured frame of the given link type (a pcap DLT_ value).
// Reads nothing at or past capturedLength; nullopt when the frame is not a
// complete enough IPv4 or IPv6 UDP datagram to name its sender.
std::optional<ScannerSighting> decodeScannerDatagram(const std::uint8_t* frame,
                                                     std::size_t capturedLength, int linkType);

// "Scanner IP Address : 192.0.2.77:50000\n\n", or "[2001:db8::77]:50000"
// for IPv6: the last line of a report and the blank line after it.
std::string formatScannerLine(const ScannerSighting& sighting);

// RFC 5952 text of an IPv6 address.
std::string formatIpv6(const std::array<std::uint8_t, 16>& address);
