#pragma once

#include <functional>
#include <string>

// Redirects the process's standard output and error (the file descriptors,
// so printf and iostreams alike) into files until finish().
class OutputCapture {
 public:
  OutputCapture();
  ~OutputCapture();
  OutputCapture(const OutputCapture&) = delete;
  OutputCapture& operator=(const OutputCapture&) = delete;

  struct Result {
    std::string out;
    std::string err;
  };
  Result finish();

 private:
  int savedOut_ = -1;
  int savedErr_ = -1;
  int outFile_ = -1;
  int errFile_ = -1;
  bool finished_ = false;
};

struct ChildResult {
  int exitStatus = -1;  // -1 when the child did not exit normally
  std::string out;
  std::string err;
};

// Runs body in a forked child with its output captured; the child exits 0
// when body returns.
ChildResult runInChild(const std::function<void()>& body);
