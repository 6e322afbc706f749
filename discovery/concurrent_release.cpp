#include "discovery/concurrent_release.h"

#include <algorithm>
#include <system_error>

#include "platform/platform.h"

namespace {

// At 4,097 devices, with ordinary grace periods, 256 closers released the
// 2,049 watched handles in 0.27 s; 64 took 0.8 s, and 1,024 took 0.45 s,
// spending the two cores on threads rather than closes.
constexpr std::size_t kMaxClosingThreads = 256;

}  // namespace

void ConcurrentRelease::Work::closeRemaining() noexcept {
  for (std::size_t i = next++; i < handles.size(); i = next++) {
    handles[i].reset();
  }
}

ConcurrentRelease::ConcurrentRelease(std::vector<CaptureHandle> handles)
    : work_(std::make_unique<Work>()) {
  work_->handles = std::move(handles);
  Work* work = work_.get();
  const platform::StopSignalsHeldBack stopsGoToTheCaller;
  try {
    while (closers_.size() < std::min(work->handles.size(), kMaxClosingThreads)) {
      closers_.emplace_back([work] { work->closeRemaining(); });
    }
  } catch (const std::system_error&) {
    // Fewer threads only make the release slower; wait() closes the rest.
  }
}

ConcurrentRelease& ConcurrentRelease::operator=(ConcurrentRelease&& other) noexcept {
  if (this != &other) {
    wait();
    work_ = std::move(other.work_);
    closers_ = std::move(other.closers_);
  }
  return *this;
}

void ConcurrentRelease::wait() noexcept {
  if (work_) {
    work_->closeRemaining();
  }
  for (std::thread& closer : closers_) {
    closer.join();
  }
  closers_.clear();
  work_.reset();
}

void closeConcurrently(std::vector<CaptureHandle> handles) {
  ConcurrentRelease(std::move(handles)).wait();
}
