#include "discovery/open_capture.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>

#include "platform/platform.h"

namespace {

// The failure, or nullopt once the filter is installed.
std::optional<StartupEvent> installScannerFilter(pcap_t* handle) {
  bpf_program program{};
  if (pcap_compile(handle, &program, kScannerFilter, 0, 0) == -1) {
    return StartupEvent{StartupEvent::Kind::filterNotCompiled, {}, pcap_geterr(handle)};
  }
  std::optional<StartupEvent> failure;
  if (pcap_setfilter(handle, &program) == -1) {
    failure = StartupEvent{StartupEvent::Kind::filterNotInstalled, {}, pcap_geterr(handle)};
  }
  pcap_freecode(&program);
  return failure;
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

// Opens a device as pcap_open_live does, message for message, but with the
// kernel buffer given: at one frame per interface per second the library's
// default (2 MiB on Linux) only costs memory and start-up time, and keeps
// minutes of old datagrams. Frames are delivered one by one where the
// platform needs it asked for.
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

}  // namespace

CaptureHandle openScannerCapture(const pcap_if_t& device, int bufferBytes, StartupEvent& event) {
  event = {StartupEvent::Kind::opened, device.name, {}};
  std::array<char, PCAP_ERRBUF_SIZE> errbuf{};
  CaptureHandle handle = openLive(device.name, bufferBytes, errbuf.data());
  if (!handle) {
    event = {StartupEvent::Kind::openFailed, device.name, errbuf.data()};
    return nullptr;
  }
  if (auto failure = installScannerFilter(handle.get())) {
    event = std::move(*failure);
    event.device = device.name;
    return nullptr;
  }
  // Reads must return at once, and a read timeout is no documented way to
  // make them; non-blocking mode is.
  if (pcap_setnonblock(handle.get(), 1, errbuf.data()) == -1) {
    event = {StartupEvent::Kind::notNonBlocking, device.name, errbuf.data()};
    return nullptr;
  }
  return handle;
}

bool isNetworkInterface(const pcap_if_t& device) {
  return (device.flags & PCAP_IF_CONNECTION_STATUS) != PCAP_IF_CONNECTION_STATUS_NOT_APPLICABLE;
}

bool isLeftAlone(const pcap_if_t& device) {
  const std::string_view name = localDeviceName(device.name);
  return name == "nfqueue" || name.starts_with("nfqueue:") || name == "dbus-system" ||
         name == "dbus-session" || name.starts_with("dbus://");
}
