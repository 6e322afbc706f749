// The capture corpus replayed through the real capture library's filter,
// compiled for each capture's link type as the tool compiles it for a
// device's, and through the tool's own decoder and report writer.

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include "detection/datagram.h"
#include "detection/detection_loop.h"
#include "discovery/interface_table.h"
#include "tests/support/corpus.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

using corpus::Bytes;

std::optional<ScannerSighting> decode(const Bytes& frame, int linkType) {
  // An exact-size heap copy, so that AddressSanitizer sees any read past the end.
  auto copy = std::make_unique<std::uint8_t[]>(frame.size());
  std::copy(frame.begin(), frame.end(), copy.get());
  return decodeScannerDatagram(copy.get(), frame.size(), linkType);
}

bool isVlanTag(std::uint16_t type) { return type == 0x8100 || type == 0x88A8; }

// Linux moves a VLAN tag out of the frame before the capture filter runs and
// the library puts it back into the captured bytes, so the filter is run on
// the frame without its tags: the type field at typeOffset takes the tagged
// type, and the tag at tagOffset goes.
Bytes asTheKernelFilterSeesIt(Bytes frame, int linkType) {
  std::size_t typeOffset = 0;
  std::size_t tagOffset = 0;
  switch (linkType) {
    case DLT_EN10MB:
      typeOffset = 12;
      tagOffset = 14;
      break;
    case DLT_LINUX_SLL:
      typeOffset = 14;
      tagOffset = 16;
      break;
    case DLT_LINUX_SLL2:
      typeOffset = 0;
      tagOffset = 20;
      break;
    default:
      return frame;
  }
  const auto at = [&frame](std::size_t offset) {
    return static_cast<std::uint16_t>(frame[offset] << 8 | frame[offset + 1]);
  };
  while (frame.size() >= tagOffset + 4 && isVlanTag(at(typeOffset))) {
    frame[typeOffset] = frame[tagOffset + 2];
    frame[typeOffset + 1] = frame[tagOffset + 3];
    const auto tag = frame.begin() + static_cast<std::ptrdiff_t>(tagOffset);
    frame.erase(tag, tag + 4);
  }
  return frame;
}

// What the tool prints for the capture when an interface named "corpus" at
// 192.0.2.1 captures its frames.
std::string replay(const std::string& name) {
  std::array<char, PCAP_ERRBUF_SIZE> errbuf{};
  const std::string path = corpus::directory() + "/" + name + ".pcap";
  const InterfaceEntry entry{"corpus\n", "192.0.2.1",
                             CaptureHandle(pcap_open_offline(path.c_str(), errbuf.data())),
                             nullptr};
  if (!entry.handle) {
    ADD_FAILURE() << errbuf.data();
    return {};
  }
  bpf_program filter{};
  if (pcap_compile(entry.handle.get(), &filter, kScannerFilter, 0, 0) == -1) {
    ADD_FAILURE() << pcap_geterr(entry.handle.get());
    return {};
  }
  const int linkType = pcap_datalink(entry.handle.get());
  std::string out;
  pcap_pkthdr* header = nullptr;
  const u_char* bytes = nullptr;
  while (pcap_next_ex(entry.handle.get(), &header, &bytes) == 1) {
    const Bytes seen = asTheKernelFilterSeesIt(Bytes(bytes, bytes + header->caplen), linkType);
    pcap_pkthdr seenHeader = *header;
    seenHeader.caplen = seenHeader.len = static_cast<bpf_u_int32>(seen.size());
    if (pcap_offline_filter(&filter, &seenHeader, seen.data()) != 0) {
      out += formatReport(entry, bytes, header->caplen);
    }
  }
  pcap_freecode(&filter);
  return out;
}

TEST(Corpus, EveryCaptureGivesTheOutputKeptWithIt) {
  const auto names = corpus::names();
  ASSERT_GE(names.size(), 9U);
  for (const auto& name : names) {
    EXPECT_EQ(replay(name), corpus::expectedOutput(name)) << name;
  }
}

// Nothing past the source port is read: a frame cut anywhere gives the
// sender of the whole frame or none, and the shortest cut that still gives
// one ends with the port.
TEST(Corpus, CutFramesGiveTheWholeFramesSenderOrNone) {
  for (const auto& name : corpus::names()) {
    const corpus::Capture capture = corpus::read(name);
    for (std::size_t index = 0; index < capture.frames.size(); ++index) {
      const Bytes& frame = capture.frames[index];
      const auto whole = decode(frame, capture.linkType);
      if (!whole) {
        continue;
      }
      std::size_t shortest = frame.size();
      for (std::size_t length = 0; length < frame.size(); ++length) {
        const auto cut = decode(Bytes(frame.begin(), frame.begin() + static_cast<long>(length)),
                                capture.linkType);
        if (cut) {
          EXPECT_EQ(cut, whole) << name << " frame " << index << " cut to " << length;
          shortest = std::min(shortest, length);
        }
      }
      ASSERT_GE(shortest, 2U) << name << " frame " << index;
      EXPECT_EQ(frame[shortest - 2] << 8 | frame[shortest - 1], whole->port)
          << name << " frame " << index;
    }
  }
}

// The capture filter already keeps these away; the decoder does not misread
// them either, should a link or filter let them through.
TEST(DecodeScannerDatagram, RejectsWhatTheFilterKeepsAway) {
  const auto ethernet = corpus::read("ethernet");
  for (std::size_t index : {8U, 9U, 10U}) {  // ARP, TCP, a later fragment
    EXPECT_EQ(decode(ethernet.frames.at(index), DLT_EN10MB), std::nullopt) << index;
  }
  const auto null = corpus::read("null");
  for (std::size_t index : {4U, 5U}) {  // AF_INET6 of Linux and of Windows
    EXPECT_EQ(decode(null.frames.at(index), DLT_NULL), std::nullopt) << index;
  }
  EXPECT_EQ(decode(ethernet.frames.at(0), DLT_IEEE802_11), std::nullopt);
  EXPECT_EQ(decode(corpus::frame("ipv6", 0), DLT_IPV4), std::nullopt);
  EXPECT_EQ(decodeScannerDatagram(nullptr, 0, DLT_EN10MB), std::nullopt);
}

// Inputs that make a naive decoder fail, or once made the fuzzer fail,
// replayed through its own target.
TEST(Corpus, SavedFuzzCrashesRunClean) {
  std::size_t replayed = 0;
  for (const auto& entry : std::filesystem::directory_iterator(TARVEX_FUZZ_CRASHES_DIR)) {
    std::ifstream file(entry.path(), std::ios::binary);
    const std::string input{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    const Bytes bytes(input.begin(), input.end());
    EXPECT_EQ(LLVMFuzzerTestOneInput(bytes.data(), bytes.size()), 0) << entry.path();
    ++replayed;
  }
  EXPECT_GT(replayed, 0U);
}

}  // namespace
