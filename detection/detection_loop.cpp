#include "detection/detection_loop.h"

#include <cstdio>
#include <iostream>

#include "detection/datagram.h"
#include "platform/platform.h"

namespace {

struct CapturedFrame {
  const std::uint8_t* bytes;
  std::size_t length;
};

// Any result but a frame (none waiting, a read error, a dead interface)
// counts as no frame.
std::optional<CapturedFrame> readOneFrame(pcap_t* handle) {
  pcap_pkthdr* header = nullptr;
  const u_char* bytes = nullptr;
  if (pcap_next_ex(handle, &header, &bytes) != 1 || header == nullptr || bytes == nullptr) {
    return std::nullopt;
  }
  return CapturedFrame{bytes, header->caplen};
}

void writeReport(const InterfaceEntry& entry, const CapturedFrame& frame) {
  std::cout << "Found a Tarvex Scanner Packet" << std::endl;
  // The alias brings its own line end.
  std::cout << "Adapter Name : " << entry.alias;
  std::cout << "Adapter IP Address : " << entry.ipAddress << std::endl;
  const auto sighting =
      decodeScannerDatagram(frame.bytes, frame.length, pcap_datalink(entry.handle.get()));
  if (sighting) {
    writeScannerLine(*sighting);
  } else {
    std::fputs("\n", stdout);
  }
  std::fflush(stdout);
}

}  // namespace

bool pollInterfacesOnce(const InterfaceTable& table) {
  bool sawFrame = false;
  for (const InterfaceEntry& entry : table.entries) {
    if (const auto frame = readOneFrame(entry.handle.get())) {
      sawFrame = true;
      writeReport(entry, *frame);
    }
  }
  if (!sawFrame) {
    std::cout << "Didn't receive any packet" << std::endl;
  }
  std::fflush(stdout);
  return sawFrame;
}

void detectionLoop(const InterfaceTable& table) {
  while (!platform::stopRequested()) {
    pollInterfacesOnce(table);
    platform::pauseUnlessStopped(kPollingPauseMs);
  }
}
