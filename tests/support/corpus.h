#pragma once

// The capture corpus (tests/corpus): captures kept with the output the tool
// must give for them. Read here without the capture library, so that tests
// linked against the fake one can use its frames too.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace corpus {

using Bytes = std::vector<std::uint8_t>;

struct Capture {
  int linkType = -1;  // a DLT_ value, as pcap_datalink gives it
  std::vector<Bytes> frames;
};

// The folder, and the name of every capture in it ("ethernet" for
// ethernet.pcap), sorted.
std::string directory();
std::vector<std::string> names();

// A capture by name. Throws std::runtime_error when it cannot be read.
Capture read(const std::string& name);

// One frame of a capture, by its place in the file.
Bytes frame(const std::string& name, std::size_t index);

// What the tool must print for the capture (NAME.out).
std::string expectedOutput(const std::string& name);

}  // namespace corpus
