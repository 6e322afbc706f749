#pragma once

#include <pcap/pcap.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "discovery/alias_lookup.h"

struct CaptureHandleCloser {
  void operator()(pcap_t* handle) const noexcept { pcap_close(handle); }
};
using CaptureHandle = std::unique_ptr<pcap_t, CaptureHandleCloser>;

struct DeviceListFreer {
  void operator()(pcap_if_t* devices) const noexcept { pcap_freealldevs(devices); }
};
using DeviceList = std::unique_ptr<pcap_if_t, DeviceListFreer>;

// One watched interface.
struct InterfaceEntry {
  std::string alias;                  // the alias lookup's answer, untrimmed
  std::string ipAddress;              // the device's first IPv4 address, dotted-decimal
  CaptureHandle handle;               // opened with the scanner filter installed
  const pcap_if_t* device = nullptr;  // borrowed from InterfaceTable::devices
};

// The watched interfaces in device-list order.
struct InterfaceTable {
  DeviceList devices;  // declared first, so that it outlives the entries
  std::vector<InterfaceEntry> entries;
  // Handles of devices that opened but have no IPv4 address. They are never
  // read; closing one waits for the kernel (tens of ms on Linux), so they are
  // kept until the tool stops and closed together with the rest.
  std::vector<CaptureHandle> unusedHandles;

  [[nodiscard]] std::size_t count() const { return entries.size(); }
};

inline constexpr const char* kEnumerationSource = "rpcap://";
inline constexpr const char* kScannerFilter = "udp dst port 1119";
inline constexpr int kSnapshotLength = 512;
inline constexpr int kPromiscuous = 0;
// Reads never wait, since every handle is made non-blocking. Npcap's driver
// takes -1 as "return at once"; libpcap documents a timeout that is not
// positive as undefined, and BPF systems reject one, so there it is positive.
#ifdef _WIN32
inline constexpr int kReadTimeoutMs = -1;
#else
inline constexpr int kReadTimeoutMs = 1000;
#endif
inline constexpr int kCaptureBufferBytes = 256 * 1024;

// The capture devices cannot be listed; what() is the library's reason.
class EnumerationError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What start-up has to tell about one device.
struct StartupEvent {
  enum class Kind {
    opened,              // opened and filtered
    openFailed,          // detail: the failure as pcap_open_live words it
    filterNotCompiled,   // detail: the library's reason
    filterNotInstalled,  // detail: the library's reason
    notNonBlocking,      // detail: the library's reason
  };
  Kind kind = Kind::opened;
  std::string device;  // the name the device is listed by
  std::string detail;
};

// The one owner of start-up's output: handed one event per device, in
// device-list order, on the thread that builds the table.
using StartupOutput = std::function<void(const StartupEvent&)>;

// Opens every capture device with the scanner filter and names each usable
// one, several at a time, reporting each device to output in list order.
// Throws EnumerationError when the devices cannot be listed, and
// CommandStartError when a lookup cannot start (after reporting that
// device). Stops early, reporting nothing more, once a stop is requested.
InterfaceTable buildInterfaceTable(const StartupOutput& output);
InterfaceTable buildInterfaceTable(const AliasLookup& lookupAlias, const StartupOutput& output);

// Closes every handle of the table at once and frees its device list.
void releaseInterfaceTable(InterfaceTable& table);
