// Writes the fuzzer's seed corpus from the capture corpus: every frame, with
// the first byte naming its capture's link type as the fuzz target reads it.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/fuzz/link_types.h"
#include "tests/support/corpus.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  for (const std::string& name : corpus::names()) {
    const corpus::Capture capture = corpus::read(name);
    const auto known =
        std::find(fuzz::kLinkTypes.begin(), fuzz::kLinkTypes.end(), capture.linkType);
    if (known == fuzz::kLinkTypes.end()) {
      std::fprintf(stderr, "%s: link type %d is not fuzzed\n", name.c_str(), capture.linkType);
      return 1;
    }
    for (std::size_t index = 0; index < capture.frames.size(); ++index) {
      const std::string path = std::string(argv[1]) + "/" + name + "-" + std::to_string(index);
      std::FILE* file = std::fopen(path.c_str(), "wb");
      if (file == nullptr) {
        std::perror(path.c_str());
        return 1;
      }
      std::fputc(static_cast<int>(known - fuzz::kLinkTypes.begin()), file);
      std::fwrite(capture.frames[index].data(), 1, capture.frames[index].size(), file);
      std::fclose(file);
    }
  }
  return 0;
}
