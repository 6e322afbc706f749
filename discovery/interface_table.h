#pragma once

#include <pcap/pcap.h>

#include <cstddef>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "discovery/alias_lookup.h"
#include "discovery/capture_handle.h"
#include "discovery/concurrent_release.h"
#include "discovery/open_capture.h"

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
  // Handles of devices that opened but are not watched (no IPv4 address, or
  // opened while a stop was on its way). They are never read.
  std::vector<CaptureHandle> unwatchedHandles;
  ConcurrentRelease unwatchedRelease;

  [[nodiscard]] std::size_t count() const { return entries.size(); }
};

// The capture devices cannot be listed; what() is the library's reason.
class EnumerationError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The one owner of start-up's output: handed one event per device, in
// device-list order, on the thread that builds the table.
using StartupOutput = std::function<void(const StartupEvent&)>;

// Opens every capture device but those left alone (netfilter queues, D-Bus
// buses) with the scanner filter and names each usable one, several at a
// time, reporting each device to output in list order. Throws
// EnumerationError when the devices cannot be listed, and CommandStartError
// when a lookup cannot start (after reporting that device). Stops early,
// reporting nothing more, once a stop is requested.
InterfaceTable buildInterfaceTable(const StartupOutput& output);
InterfaceTable buildInterfaceTable(const AliasLookup& lookupAlias, const StartupOutput& output);

// Starts closing, in the background, every handle the table will not read,
// so that polling need not wait for it.
void releaseUnwatchedHandles(InterfaceTable& table);

// Closes every handle of the table at once and frees its device list.
void releaseInterfaceTable(InterfaceTable& table);
