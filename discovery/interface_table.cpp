#include "discovery/interface_table.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <optional>
#include <system_error>
#include <thread>

#include "platform/platform.h"

namespace {

constexpr std::size_t kMaxClosingThreads = 64;

int enumerateCaptureDevices(pcap_if_t** devices, char* errbuf) {
#ifdef TARVEX_HAVE_PCAP_FINDALLDEVS_EX
  return pcap_findalldevs_ex(kEnumerationSource, nullptr, devices, errbuf);
#else
  return pcap_findalldevs(devices, errbuf);
#endif
}

DeviceList enumerateDevices() {
  std::array<char, PCAP_ERRBUF_SIZE> errbuf{};
  pcap_if_t* devices = nullptr;
  if (enumerateCaptureDevices(&devices, errbuf.data()) == -1) {
    throw EnumerationError(errbuf.data());
  }
  return DeviceList(devices);
}

bool installScannerFilter(pcap_t* handle) {
  bpf_program program{};
  if (pcap_compile(handle, &program, kScannerFilter, 0, 0) == -1) {
    platform::writeStandardError(std::string("Couldn't parse filter ") + kScannerFilter + ": " +
                                 pcap_geterr(handle) + "\n");
    return false;
  }
  const bool installed = pcap_setfilter(handle, &program) != -1;
  if (!installed) {
    platform::writeStandardError(std::string("Couldn't install filter ") + kScannerFilter + ": " +
                                 pcap_geterr(handle) + "\n");
  }
  pcap_freecode(&program);
  return installed;
}

// The device name to open: enumeration through "rpcap://" names local
// devices with that prefix, which opening does not take.
const char* localDeviceName(const char* name) {
  const std::size_t prefix = std::strlen(kEnumerationSource);
  const bool local = std::strncmp(name, kEnumerationSource, prefix) == 0 &&
                     std::strchr(name + prefix, '/') == nullptr;
  return local ? name + prefix : name;
}

// Each setting in turn, as pcap_open_live makes them, then activation: the
// first failing status, or activation's (a warning, > 0, is no failure).
int configureAndActivate(pcap_t* handle, int bufferBytes) {
  if (const int status = pcap_set_snaplen(handle, kSnapshotLength); status < 0) {
    return status;
  }
  if (const int status = pcap_set_promisc(handle, kPromiscuous); status < 0) {
    return status;
  }
  if (const int status = pcap_set_timeout(handle, kReadTimeoutMs); status < 0) {
    return status;
  }
  if (const int status = pcap_set_buffer_size(handle, bufferBytes); status < 0) {
    return status;
  }
  if (const int status = platform::requestImmediateDelivery(handle); status < 0) {
    return status;
  }
  return pcap_activate(handle);
}

// pcap_open_live's message for a failed open, in its current form (libpcap
// 1.10.4, Npcap 1.74): an empty detail is left out. The detail is cut so that
// the device name always fits.
void describeOpenFailure(char* errbuf, const char* device, int status, const char* detail) {
  const bool withDetail = detail[0] != '\0' && (status == PCAP_ERROR_NO_SUCH_DEVICE ||
                                                status == PCAP_ERROR_PERM_DENIED ||
                                                status == PCAP_ERROR_PROMISC_PERM_DENIED);
  if (status == PCAP_ERROR) {
    std::snprintf(errbuf, PCAP_ERRBUF_SIZE, "%s: %.*s", device, PCAP_ERRBUF_SIZE - 3, detail);
  } else if (withDetail) {
    std::snprintf(errbuf, PCAP_ERRBUF_SIZE, "%s: %s (%.*s)", device, pcap_statustostr(status),
                  PCAP_ERRBUF_SIZE - 6, detail);
  } else {
    std::snprintf(errbuf, PCAP_ERRBUF_SIZE, "%s: %s", device, pcap_statustostr(status));
  }
}

// Opens a device as pcap_open_live does, message for message, but with a
// small kernel buffer: at one frame per interface per second the library's
// default (2 MiB on Linux) only costs memory and start-up time. Frames are
// delivered one by one where the platform needs it asked for.
CaptureHandle openLive(const char* name, int bufferBytes, char* errbuf) {
  const char* device = localDeviceName(name);
  CaptureHandle handle(pcap_create(device, errbuf));
  if (!handle) {
    return nullptr;
  }
  const int status = configureAndActivate(handle.get(), bufferBytes);
  if (status < 0) {
    describeOpenFailure(errbuf, device, status, pcap_geterr(handle.get()));
    return nullptr;
  }
  return handle;
}

// A handle that never blocks a read, filtered for scanner datagrams; null
// (the failure reported) when the device cannot be used.
CaptureHandle openScannerCapture(const pcap_if_t& device, int bufferBytes) {
  std::array<char, PCAP_ERRBUF_SIZE> errbuf{};
  CaptureHandle handle = openLive(device.name, bufferBytes, errbuf.data());
  if (!handle) {
    platform::writeStandardOutput("pcap_open_live() failed due to [" + std::string(errbuf.data()) +
                                  "]\n");
    return nullptr;
  }
  if (!installScannerFilter(handle.get())) {
    return nullptr;
  }
  // A negative read timeout is not a documented way to make reads return at
  // once; non-blocking mode is.
  if (pcap_setnonblock(handle.get(), 1, errbuf.data()) == -1) {
    platform::writeStandardError(std::string("Couldn't make ") + device.name +
                                 " non-blocking: " + errbuf.data() + "\n");
    return nullptr;
  }
  return handle;
}

// On Linux each close waits for a kernel grace period (about 25 ms); closes
// made at the same time share it, so hundreds of handles close in a blink.
void closeConcurrently(std::vector<CaptureHandle>& handles) {
  std::atomic<std::size_t> next{0};
  const auto closeRemaining = [&handles, &next] {
    for (std::size_t i = next++; i < handles.size(); i = next++) {
      handles[i].reset();
    }
  };
  std::vector<std::thread> closers;
  try {
    while (closers.size() + 1 < std::min(handles.size(), kMaxClosingThreads)) {
      closers.emplace_back(closeRemaining);
    }
  } catch (const std::system_error&) {
    // Fewer threads only make the stop slower.
  }
  closeRemaining();
  for (std::thread& closer : closers) {
    closer.join();
  }
}

std::optional<std::string> firstIpv4Address(const pcap_if_t& device) {
  for (const pcap_addr* entry = device.addresses; entry != nullptr; entry = entry->next) {
    if (entry->addr == nullptr || entry->addr->sa_family != AF_INET) {
      continue;
    }
    sockaddr_in inet{};
    std::memcpy(&inet, entry->addr, sizeof inet);
    std::array<char, kIpv4TextBufferSize> text{};
    if (inet_ntop(AF_INET, &inet.sin_addr, text.data(), text.size()) == nullptr) {
      return std::nullopt;
    }
    return std::string(text.data());
  }
  return std::nullopt;
}

}  // namespace

InterfaceTable buildInterfaceTable() { return buildInterfaceTable(makeStartupAliasLookup()); }

InterfaceTable buildInterfaceTable(const AliasLookup& lookupAlias) {
  InterfaceTable table;
  table.devices = enumerateDevices();
  for (const pcap_if_t* device = table.devices.get();
       device != nullptr && !platform::stopRequested(); device = device->next) {
    auto ipAddress = firstIpv4Address(*device);
    // A device without IPv4 is never read, so it needs no room for frames.
    CaptureHandle handle = openScannerCapture(
        *device, ipAddress ? kCaptureBufferBytes : platform::smallestCaptureBufferBytes());
    if (!handle) {
      continue;
    }
    platform::writeStandardOutput("Fetching interfaces...\n");
    if (platform::stopRequested()) {
      break;
    }
    if (!ipAddress) {
      table.unusedHandles.push_back(std::move(handle));
      continue;
    }
    std::string alias = lookupAlias(*ipAddress);
    table.entries.push_back({std::move(alias), std::move(*ipAddress), std::move(handle), device});
  }
  return table;
}

void releaseInterfaceTable(InterfaceTable& table) {
  std::vector<CaptureHandle> handles = std::move(table.unusedHandles);
  for (InterfaceEntry& entry : table.entries) {
    handles.push_back(std::move(entry.handle));
  }
  table.entries.clear();
  closeConcurrently(handles);
  table.devices.reset();
}
