#pragma once

// Opening one capture device for scanner datagrams, as pcap_open_live would.

#include <pcap/pcap.h>

#include <string>

#include "discovery/capture_handle.h"

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

// A handle that never blocks a read, filtered for scanner datagrams, with a
// kernel buffer of bufferBytes; null, with the failure in event, when the
// device cannot be used.
CaptureHandle openScannerCapture(const pcap_if_t& device, int bufferBytes, StartupEvent& event);

// Netfilter devices, buses, USB and Bluetooth monitors are listed as
// capture devices but are no network interface.
bool isNetworkInterface(const pcap_if_t& device);

// Devices that opening would take something from the host, and that can
// never be watched. A netfilter queue ("nfqueue", "nfqueue:N"): opening one
// binds the queue, and the kernel then hands the host's queued packets to
// the tool, which never gives a verdict on them. A D-Bus bus ("dbus-system",
// "dbus-session", "dbus://..."): opening one connects to the bus as an
// eavesdropper, waits for good on a bus that does not answer, and always
// ends in a filter failure (the filter has no meaning on D-Bus); the
// library then leaves the connection open, and the bus daemon queues every
// message for it.
bool isLeftAlone(const pcap_if_t& device);
