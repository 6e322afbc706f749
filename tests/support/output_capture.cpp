#include "tests/support/output_capture.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <stdexcept>

namespace {

int makeTempFile() {
  char name[] = "/tmp/tarvex-capture-XXXXXX";
  const int fd = mkstemp(name);
  if (fd < 0) {
    throw std::runtime_error("mkstemp failed");
  }
  unlink(name);
  return fd;
}

std::string readAll(int fd) {
  std::string text;
  lseek(fd, 0, SEEK_SET);
  char buffer[4096];
  ssize_t got = 0;
  while ((got = read(fd, buffer, sizeof buffer)) > 0) {
    text.append(buffer, static_cast<std::size_t>(got));
  }
  return text;
}

void flushEverything() {
  std::cout.flush();
  std::cerr.flush();
  std::fflush(stdout);
  std::fflush(stderr);
}

}  // namespace

OutputCapture::OutputCapture() : outFile_(makeTempFile()), errFile_(makeTempFile()) {
  flushEverything();
  savedOut_ = dup(STDOUT_FILENO);
  savedErr_ = dup(STDERR_FILENO);
  dup2(outFile_, STDOUT_FILENO);
  dup2(errFile_, STDERR_FILENO);
}

OutputCapture::~OutputCapture() {
  if (!finished_) {
    finish();
  }
  close(outFile_);
  close(errFile_);
}

OutputCapture::Result OutputCapture::finish() {
  flushEverything();
  dup2(savedOut_, STDOUT_FILENO);
  dup2(savedErr_, STDERR_FILENO);
  close(savedOut_);
  close(savedErr_);
  finished_ = true;
  return {readAll(outFile_), readAll(errFile_)};
}

ChildResult runInChild(const std::function<void()>& body) {
  const int outFile = makeTempFile();
  const int errFile = makeTempFile();
  flushEverything();
  const pid_t child = fork();
  if (child == 0) {
    dup2(outFile, STDOUT_FILENO);
    dup2(errFile, STDERR_FILENO);
    body();
    flushEverything();
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ChildResult result;
  result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = readAll(outFile);
  result.err = readAll(errFile);
  close(outFile);
  close(errFile);
  return result;
}
