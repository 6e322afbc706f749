#include "discovery/startup_pool.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <algorithm>
#include <array>
#include <cstring>
#include <system_error>

#include "platform/platform.h"

namespace {

// At 4,097 devices, with ordinary grace periods, 64 openers reached the
// count line in about 1.7 s, 32 in 2.4 s and 16 in 3.4 s; 128 and 256 did
// no better, as the two cores, not the kernel's waits, then set the pace.
constexpr std::size_t kMaxStartupThreads = 64;

std::optional<std::string> firstIpv4Address(const pcap_if_t& device) {
  for (const pcap_addr* entry = device.addresses; entry != nullptr; entry = entry->next) {
    if (entry->addr == nullptr || entry->addr->sa_family != AF_INET) {
      continue;
    }
    sockaddr_in inet{};
    std::memcpy(&inet, entry->addr, sizeof inet);
    std::array<char, kIpv4TextBufferSize> text{};
    if (inet_ntop(AF_INET, &inet.sin_addr, text.data(), text.size()) == nullptr) {
      return std::nullopt;
    }
    return std::string(text.data());
  }
  return std::nullopt;
}

// Opens a device with the scanner filter, filling in started's event,
// handle and address. The library's netfilter code shares one sequence
// number across handles, and opening nflog and nfqueue at the same time hung
// for good, so devices that are no network interface are opened one at a
// time.
void openDevice(const pcap_if_t& device, std::mutex& oneAtATime, DeviceStartup& started) {
  started.ipAddress = firstIpv4Address(device);
  // A device without IPv4 is never read, so it needs no room for frames.
  const int bufferBytes = started.ipAddress ? platform::backlogCaptureBufferBytes()
                                            : platform::smallestCaptureBufferBytes();
  std::unique_lock<std::mutex> lock(oneAtATime, std::defer_lock);
  if (!isNetworkInterface(device) || !platform::captureOpensMayOverlap()) {
    lock.lock();
  }
  started.handle = openScannerCapture(device, bufferBytes, started.event);
}

// Fills in started's alias, or the failure to look it up.
void lookUpAlias(const AliasLookup& lookupAlias, const std::string& ipAddress,
                 DeviceStartup& started) {
  try {
    started.alias = lookupAlias(ipAddress);
  } catch (const CommandStartError&) {
    started.lookupFailure = std::current_exception();
  }
}

}  // namespace

StartupPool::StartupPool(std::vector<const pcap_if_t*> devices, const AliasLookup& lookupAlias)
    : devices_(std::move(devices)),
      lookupAlias_(lookupAlias),
      results_(devices_.size()),
      stages_(devices_.size(), Stage::waiting) {
  const platform::StopSignalsHeldBack stopsGoToTheCaller;
  try {
    while (workers_.size() < std::min(devices_.size(), kMaxStartupThreads)) {
      workers_.emplace_back([this] {
        while (startNext()) {
        }
      });
    }
  } catch (const std::system_error&) {
    // Fewer threads only make start-up slower.
  }
}

DeviceStartup& StartupPool::await(std::size_t index, Stage stage) {
  // Without threads the caller does the work. With them it only waits, so
  // that it reports each device as soon as it opened.
  while (workers_.empty() && !reached(index, stage) && startNext()) {
  }
  std::unique_lock<std::mutex> lock(mutex_);
  progressed_.wait(lock, [this, index, stage] { return stages_[index] >= stage; });
  return results_[index];
}

std::vector<CaptureHandle> StartupPool::finish() {
  next_ = devices_.size();
  for (std::thread& worker : workers_) {
    worker.join();
  }
  workers_.clear();
  std::vector<CaptureHandle> handles;
  for (DeviceStartup& result : results_) {
    if (result.handle) {
      handles.push_back(std::move(result.handle));
    }
  }
  return handles;
}

bool StartupPool::reached(std::size_t index, Stage stage) {
  const std::lock_guard<std::mutex> lock(mutex_);
  return stages_[index] >= stage;
}

void StartupPool::advance(std::size_t index, Stage stage) {
  const std::lock_guard<std::mutex> lock(mutex_);
  stages_[index] = stage;
  progressed_.notify_all();
}

// Starts the next device nobody has taken; false when there is none, or once
// a stop is requested.
bool StartupPool::startNext() {
  const std::size_t index = next_++;
  if (index >= devices_.size()) {
    return false;
  }
  const bool stopping = platform::stopRequested();
  if (!stopping) {
    DeviceStartup& started = results_[index];
    openDevice(*devices_[index], oneAtATime_, started);
    // Once opened, the caller may take the handle: decide before.
    const bool named = started.handle && started.ipAddress;
    const std::string ipAddress = named ? *started.ipAddress : std::string();
    advance(index, Stage::opened);
    if (named && !platform::stopRequested()) {
      lookUpAlias(lookupAlias_, ipAddress, started);
    }
  }
  advance(index, Stage::done);
  return !stopping;
}
