#include "tests/support/corpus.h"

#include <pcap/dlt.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace corpus {
namespace {

constexpr std::size_t kFileHeaderLength = 24;
constexpr std::size_t kRecordHeaderLength = 16;
constexpr std::uint32_t kLinkTypeRaw = 101;  // files name raw IP apart from DLT_RAW

std::string readFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    throw std::runtime_error("cannot read " + path.string());
  }
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// A 32-bit field in the byte order the file's magic number shows.
std::uint32_t field(const std::string& bytes, std::size_t offset, bool bigEndian) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    const auto byte = static_cast<std::uint8_t>(bytes[offset + (bigEndian ? i : 3 - i)]);
    value = value << 8 | byte;
  }
  return value;
}

}  // namespace

std::string directory() { return TARVEX_CORPUS_DIR; }

std::vector<std::string> names() {
  std::vector<std::string> found;
  for (const auto& entry : std::filesystem::directory_iterator(directory())) {
    if (entry.path().extension() == ".pcap") {
      found.push_back(entry.path().stem().string());
    }
  }
  std::sort(found.begin(), found.end());
  return found;
}

Capture read(const std::string& name) {
  const std::string bytes = readFile(std::filesystem::path(directory()) / (name + ".pcap"));
  Capture capture;
  if (bytes.size() < kFileHeaderLength) {
    throw std::runtime_error(name + ": no pcap file header");
  }
  const std::uint32_t magic = field(bytes, 0, true);
  const bool bigEndian = magic == 0xA1B2C3D4 || magic == 0xA1B23C4D;
  if (!bigEndian && magic != 0xD4C3B2A1 && magic != 0x4D3CB2A1) {
    throw std::runtime_error(name + ": not a pcap file");
  }
  const std::uint32_t linkType = field(bytes, 20, bigEndian);
  capture.linkType = linkType == kLinkTypeRaw ? DLT_RAW : static_cast<int>(linkType);
  std::size_t offset = kFileHeaderLength;
  while (offset + kRecordHeaderLength <= bytes.size()) {
    const std::size_t length = field(bytes, offset + 8, bigEndian);
    offset += kRecordHeaderLength;
    if (length > bytes.size() - offset) {
      throw std::runtime_error(name + ": a record runs past the end of the file");
    }
    capture.frames.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                                bytes.begin() + static_cast<std::ptrdiff_t>(offset + length));
    offset += length;
  }
  return capture;
}

Bytes frame(const std::string& name, std::size_t index) { return read(name).frames.at(index); }

std::string expectedOutput(const std::string& name) {
  return readFile(std::filesystem::path(directory()) / (name + ".out"));
}

}  // namespace corpus
