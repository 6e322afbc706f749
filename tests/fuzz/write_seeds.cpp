// Writes the fuzzer's seed corpus: the test frames in every link type.

#include <cstdio>
#include <string>

#include "tests/fuzz/link_types.h"
#include "tests/support/frames.h"

namespace {

int indexOf(int linkType) {
  for (std::size_t i = 0; i < fuzz::kLinkTypes.size(); ++i) {
    if (fuzz::kLinkTypes[i] == linkType) {
      return static_cast<int>(i);
    }
  }
  return 0;
}

void write(const std::string& folder, const std::string& name, int linkType,
           const frames::Bytes& frame) {
  const std::string path = folder + "/" + name;
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    std::perror(path.c_str());
    std::exit(1);
  }
  std::fputc(indexOf(linkType), file);
  std::fwrite(frame.data(), 1, frame.size(), file);
  std::fclose(file);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  const std::string folder = argv[1];
  const frames::Bytes ip = frames::scannerIpv4();
  frames::Ipv4Options options;
  options.options.assign(40, 0x01);
  const frames::Bytes withOptions = frames::ipv4(frames::udp(50000, 1119, {}), options);
  const std::array<std::uint8_t, 16> source{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0,
                                            0,    0,    0,    0,    0, 0, 0, 0x77};
  const frames::Bytes ip6 = frames::ipv6(frames::udp(50000, 1119, {}), source);
  write(folder, "ethernet", DLT_EN10MB, frames::ethernet(ip, 0x0800));
  write(folder, "ethernet-options", DLT_EN10MB, frames::ethernet(withOptions, 0x0800));
  write(folder, "ethernet-vlan", DLT_EN10MB, frames::ethernet(ip, 0x0800, {0x88A8, 0x8100}));
  write(folder, "ethernet-ipv6", DLT_EN10MB, frames::ethernet(ip6, 0x86DD));
  write(folder, "null", DLT_NULL, frames::loopback(ip, 2, false));
  write(folder, "null-ipv6", DLT_NULL, frames::loopback(ip6, 24, true));
  write(folder, "loop", DLT_LOOP, frames::loopback(ip, 2, true));
  write(folder, "sll", DLT_LINUX_SLL, frames::linuxCooked(ip, 0x0800));
  write(folder, "sll2", DLT_LINUX_SLL2, frames::linuxCookedV2(ip6, 0x86DD));
  write(folder, "raw", DLT_RAW, ip);
  write(folder, "raw-ipv6", DLT_RAW, ip6);
  write(folder, "ipv4", DLT_IPV4, withOptions);
  write(folder, "ipv6", DLT_IPV6, ip6);
  return 0;
}
