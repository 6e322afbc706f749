// libFuzzer target over the datagram decoder. The first input byte picks the
// link type, the rest is the captured frame.

#include <pcap/dlt.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "detection/datagram.h"
#include "tests/fuzz/link_types.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  const int linkType = fuzz::kLinkTypes[data[0] % fuzz::kLinkTypes.size()];
  const std::size_t length = size - 1;
  // An exact-size copy, so that any read past the end is caught.
  auto frame = std::make_unique<std::uint8_t[]>(length);
  std::copy(data + 1, data + size, frame.get());
  const auto sighting = decodeScannerDatagram(frame.get(), length, linkType);
  if (sighting) {
    // What is reported must be printable and well formed.
    const std::string line = formatScannerLine(*sighting);
    if (line.rfind("Scanner IP Address : ", 0) != 0 || line.size() < 4 ||
        line.compare(line.size() - 2, 2, "\n\n") != 0) {
      std::abort();
    }
  }
  return 0;
}
