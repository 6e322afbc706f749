#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <thread>
#include <vector>

#include "discovery/capture_handle.h"

// Closes capture handles from several threads at once, in the background.
// On Linux each close waits for a kernel grace period (about 25 ms); closes
// made at the same time share it, so thousands of handles close in a blink
// where one after the other they would take a minute.
class ConcurrentRelease {
 public:
  ConcurrentRelease() = default;
  explicit ConcurrentRelease(std::vector<CaptureHandle> handles);
  ConcurrentRelease(ConcurrentRelease&&) noexcept = default;
  ConcurrentRelease& operator=(ConcurrentRelease&& other) noexcept;
  ConcurrentRelease(const ConcurrentRelease&) = delete;
  ConcurrentRelease& operator=(const ConcurrentRelease&) = delete;
  ~ConcurrentRelease() { wait(); }

  // Returns once every handle is closed, closing some itself.
  void wait() noexcept;

 private:
  struct Work {
    std::vector<CaptureHandle> handles;
    std::atomic<std::size_t> next{0};
    void closeRemaining() noexcept;
  };
  std::unique_ptr<Work> work_;
  std::vector<std::thread> closers_;
};

// Closes every handle, several at a time, and returns once all are closed.
void closeConcurrently(std::vector<CaptureHandle> handles);
