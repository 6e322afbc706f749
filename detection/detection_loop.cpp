#include "detection/detection_loop.h"

#include <string>

#include "detection/datagram.h"
#include "platform/platform.h"

namespace {

struct CapturedFrame {
  const std::uint8_t* bytes;
  std::size_t length;
};

// Any result but a frame (none waiting, a read error, a dead interface)
// counts as no frame: an adapter that is unplugged or disabled fails every
// poll until it comes back, and a message a second would drown the reports.
std::optional<CapturedFrame> readOneFrame(pcap_t* handle) {
  pcap_pkthdr* header = nullptr;
  const u_char* bytes = nullptr;
  if (pcap_next_ex(handle, &header, &bytes) != 1 || header == nullptr || bytes == nullptr) {
    return std::nullopt;
  }
  return CapturedFrame{bytes, header->caplen};
}

}  // namespace

std::string formatReport(const InterfaceEntry& entry, const std::uint8_t* frame,
                         std::size_t length) {
  // The alias brings its own line end.
  std::string report = "Found a Tarvex Scanner Packet\nAdapter Name : " + entry.alias +
                       "Adapter IP Address : " + entry.ipAddress + "\n";
  const auto sighting = decodeScannerDatagram(frame, length, pcap_datalink(entry.handle.get()));
  report += sighting ? formatScannerLine(*sighting) : "\n";
  return report;
}

bool pollInterfacesOnce(const InterfaceTable& table, const CycleOutput& output) {
  bool sawFrame = false;
  for (const InterfaceEntry& entry : table.entries) {
    if (platform::stopRequested()) {
      return sawFrame;
    }
    if (const auto frame = readOneFrame(entry.handle.get())) {
      sawFrame = true;
      // In one piece, so that a pipe never sees half a report.
      output(formatReport(entry, frame->bytes, frame->length));
    }
  }
  if (!sawFrame) {
    output("Didn't receive any packet\n");
  }
  return sawFrame;
}

void detectionLoop(const InterfaceTable& table) {
  while (!platform::stopRequested()) {
    pollInterfacesOnce(table, platform::writeStandardOutput);
    platform::pauseUnlessStopped(kPollingPauseMs);
  }
}
