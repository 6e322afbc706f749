#include "discovery/alias_lookup.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#endif

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace {

constexpr int kReadBufferSize = 128;

std::optional<std::uint32_t> parseDottedDecimal(const std::string& text) {
  in_addr address{};
  if (inet_pton(AF_INET, text.c_str(), &address) != 1) {
    return std::nullopt;
  }
  // inet_pton is lenient on some hosts (leading zeros); only the canonical
  // form it would write back is accepted.
  std::array<char, kIpv4TextBufferSize> canonical{};
  if (inet_ntop(AF_INET, &address, canonical.data(), canonical.size()) == nullptr ||
      text != canonical.data()) {
    return std::nullopt;
  }
  std::uint32_t value = 0;
  std::memcpy(&value, &address, sizeof value);
  return value;
}

}  // namespace

std::string runCommandCapture(const std::string& commandLine) {
  std::string result;
  std::FILE* pipe = platform::openCommandPipe(commandLine);
  if (pipe == nullptr) {
    throw CommandStartError("popen() failed!");
  }
  std::array<char, kReadBufferSize> buffer{};
  while (std::fgets(buffer.data(), kReadBufferSize, pipe) != nullptr) {
    result += buffer.data();
  }
  platform::closeCommandPipe(pipe);
  return result;
}

std::optional<std::string> aliasCommandFor(const std::string& ipAddress) {
  if (!parseDottedDecimal(ipAddress)) {
    return std::nullopt;
  }
  return "powershell \"Get-NetIPAddress -IPAddress '" + ipAddress + "' | %{$_.InterfaceAlias};\"";
}

std::string aliasesHolding(const std::vector<platform::InterfaceAddress>& interfaces,
                           const std::string& ipAddress) {
  const auto wanted = parseDottedDecimal(ipAddress);
  std::string result;
  if (!wanted) {
    return result;
  }
  std::vector<std::string_view> named;
  for (const auto& entry : interfaces) {
    if (entry.address == *wanted &&
        std::find(named.begin(), named.end(), entry.name) == named.end()) {
      named.push_back(entry.name);
      result += entry.name;
      result += '\n';
    }
  }
  return result;
}

std::string lookupInterfaceAlias(const std::string& ipAddress) {
#ifdef _WIN32
  const auto command = aliasCommandFor(ipAddress);
  return command ? runCommandCapture(*command) : std::string();
#else
  return aliasesHolding(platform::readInterfaceAddresses(), ipAddress);
#endif
}

AliasLookup makeStartupAliasLookup() {
#ifdef _WIN32
  return lookupInterfaceAlias;
#else
  auto interfaces = std::make_shared<const std::vector<platform::InterfaceAddress> >(
      platform::readInterfaceAddresses());
  return
      [interfaces](const std::string& ipAddress) { return aliasesHolding(*interfaces, ipAddress); };
#endif
}
