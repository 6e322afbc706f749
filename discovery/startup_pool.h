#pragma once

#include <pcap/pcap.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "discovery/alias_lookup.h"
#include "discovery/open_capture.h"

// What start-up makes of one device, ready to be reported and tabled.
struct DeviceStartup {
  StartupEvent event;
  CaptureHandle handle;  // null unless the event says it opened
  std::optional<std::string> ipAddress;
  std::string alias;
  std::exception_ptr lookupFailure;
};

// Starts the devices of a list from a few threads: opening a capture waits
// for the kernel (a grace period on Linux) and a lookup for a child process,
// and the waits overlap. Each device is taken in list order, once opened and
// again once looked up.
class StartupPool {
 public:
  enum class Stage { waiting, opened, done };

  StartupPool(std::vector<const pcap_if_t*> devices, const AliasLookup& lookupAlias);
  StartupPool(const StartupPool&) = delete;
  StartupPool& operator=(const StartupPool&) = delete;
  ~StartupPool() { finish(); }

  // The device's result once it has reached the stage: after opened, its
  // event, handle and address; after done, its alias too. An empty result
  // when a stop left the device unstarted.
  DeviceStartup& await(std::size_t index, Stage stage);

  // Stops starting devices, waits for those under way, and hands over every
  // handle opened that was not taken.
  std::vector<CaptureHandle> finish();

 private:
  bool reached(std::size_t index, Stage stage);
  void advance(std::size_t index, Stage stage);
  bool startNext();

  const std::vector<const pcap_if_t*> devices_;
  const AliasLookup& lookupAlias_;
  std::mutex oneAtATime_;
  std::mutex mutex_;
  std::condition_variable progressed_;
  // Each written by the thread that took the device, read by the caller once
  // the stage says so.
  std::vector<DeviceStartup> results_;
  std::vector<Stage> stages_;
  std::atomic<std::size_t> next_{0};
  std::vector<std::thread> workers_;
};
