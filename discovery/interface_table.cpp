#include "discovery/interface_table.h"

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
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "platform/platform.h"

namespace {

constexpr std::size_t kMaxClosingThreads = 64;
constexpr std::size_t kMaxStartupThreads = 16;

int enumerateCaptureDevices(pcap_if_t** devices, char* errbuf) {
#ifdef TARVEX_HAVE_PCAP_FINDALLDEVS_EX
  return pcap_findalldevs_ex(kEnumerationSource, nullptr, devices, errbuf);
#else
  return pcap_findalldevs(devices, errbuf);
#endif
}

DeviceList enumerateDevices() {
  std::array<char, PCAP_ERRBUF_SIZE> errbuf{};
  pcap_if_t* devices = nullptr;
  if (enumerateCaptureDevices(&devices, errbuf.data()) == -1) {
    throw EnumerationError(errbuf.data());
  }
  return DeviceList(devices);
}

// The failure, or nullopt once the filter is installed.
std::optional<StartupEvent> installScannerFilter(pcap_t* handle) {
  bpf_program program{};
  if (pcap_compile(handle, &program, kScannerFilter, 0, 0) == -1) {
    return StartupEvent{StartupEvent::Kind::filterNotCompiled, {}, pcap_geterr(handle)};
  }
  std::optional<StartupEvent> failure;
  if (pcap_setfilter(handle, &program) == -1) {
    failure = StartupEvent{StartupEvent::Kind::filterNotInstalled, {}, pcap_geterr(handle)};
  }
  pcap_freecode(&program);
  return failure;
}

// The device name to open: enumeration through "rpcap://" names local
// devices with that prefix, which opening does not take.
const char* localDeviceName(const char* name) {
  const std::size_t prefix = std::strlen(kEnumerationSource);
  const bool local = std::strncmp(name, kEnumerationSource, prefix) == 0 &&
                     std::strchr(name + prefix, '/') == nullptr;
  return local ? name + prefix : name;
}

// Each setting in turn, as pcap_open_live makes them, then activation: the
// first failing status, or activation's (a warning, > 0, is no failure).
int configureAndActivate(pcap_t* handle, int bufferBytes) {
  if (const int status = pcap_set_snaplen(handle, kSnapshotLength); status < 0) {
    return status;
  }
  if (const int status = pcap_set_promisc(handle, kPromiscuous); status < 0) {
    return status;
  }
  if (const int status = pcap_set_timeout(handle, kReadTimeoutMs); status < 0) {
    return status;
  }
  if (const int status = pcap_set_buffer_size(handle, bufferBytes); status < 0) {
    return status;
  }
  if (const int status = platform::requestImmediateDelivery(handle); status < 0) {
    return status;
  }
  return pcap_activate(handle);
}

// pcap_open_live's message for a failed open, in its current form (libpcap
// 1.10.4, Npcap 1.74): an empty detail is left out. The detail is cut so that
// the device name always fits.
void describeOpenFailure(char* errbuf, const char* device, int status, const char* detail) {
  const bool withDetail = detail[0] != '\0' && (status == PCAP_ERROR_NO_SUCH_DEVICE ||
                                                status == PCAP_ERROR_PERM_DENIED ||
                                                status == PCAP_ERROR_PROMISC_PERM_DENIED);
  if (status == PCAP_ERROR) {
    std::snprintf(errbuf, PCAP_ERRBUF_SIZE, "%s: %.*s", device, PCAP_ERRBUF_SIZE - 3, detail);
  } else if (withDetail) {
    std::snprintf(errbuf, PCAP_ERRBUF_SIZE, "%s: %s (%.*s)", device, pcap_statustostr(status),
                  PCAP_ERRBUF_SIZE - 6, detail);
  } else {
    std::snprintf(errbuf, PCAP_ERRBUF_SIZE, "%s: %s", device, pcap_statustostr(status));
  }
}

// Opens a device as pcap_open_live does, message for message, but with a
// small kernel buffer: at one frame per interface per second the library's
// default (2 MiB on Linux) only costs memory and start-up time. Frames are
// delivered one by one where the platform needs it asked for.
CaptureHandle openLive(const char* name, int bufferBytes, char* errbuf) {
  const char* device = localDeviceName(name);
  CaptureHandle handle(pcap_create(device, errbuf));
  if (!handle) {
    return nullptr;
  }
  const int status = configureAndActivate(handle.get(), bufferBytes);
  if (status < 0) {
    describeOpenFailure(errbuf, device, status, pcap_geterr(handle.get()));
    return nullptr;
  }
  return handle;
}

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

// What start-up makes of one device, ready to be reported and tabled.
struct DeviceStartup {
  StartupEvent event;
  CaptureHandle handle;  // null unless the event says it opened
  std::optional<std::string> ipAddress;
  std::string alias;
  std::exception_ptr lookupFailure;
};

// A handle that never blocks a read, filtered for scanner datagrams; null,
// with the failure in event, when the device cannot be used.
CaptureHandle openScannerCapture(const pcap_if_t& device, int bufferBytes, StartupEvent& event) {
  event = {StartupEvent::Kind::opened, device.name, {}};
  std::array<char, PCAP_ERRBUF_SIZE> errbuf{};
  CaptureHandle handle = openLive(device.name, bufferBytes, errbuf.data());
  if (!handle) {
    event = {StartupEvent::Kind::openFailed, device.name, errbuf.data()};
    return nullptr;
  }
  if (auto failure = installScannerFilter(handle.get())) {
    event = std::move(*failure);
    event.device = device.name;
    return nullptr;
  }
  // Reads must return at once, and a read timeout is no documented way to
  // make them; non-blocking mode is.
  if (pcap_setnonblock(handle.get(), 1, errbuf.data()) == -1) {
    event = {StartupEvent::Kind::notNonBlocking, device.name, errbuf.data()};
    return nullptr;
  }
  return handle;
}

// Devices that are no network interface (netfilter queues, buses, USB and
// Bluetooth monitors). The library's netfilter code shares one sequence
// number across handles, and opening nflog and nfqueue at the same time hung
// for good, so these are opened one at a time.
bool isNetworkInterface(const pcap_if_t& device) {
  return (device.flags & PCAP_IF_CONNECTION_STATUS) != PCAP_IF_CONNECTION_STATUS_NOT_APPLICABLE;
}

// Opens a device with the scanner filter, filling in started's event,
// handle and address.
void openDevice(const pcap_if_t& device, std::mutex& oneAtATime, DeviceStartup& started) {
  started.ipAddress = firstIpv4Address(device);
  // A device without IPv4 is never read, so it needs no room for frames.
  const int bufferBytes =
      started.ipAddress ? kCaptureBufferBytes : platform::smallestCaptureBufferBytes();
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

// Starts the devices of a list from a few threads: opening a capture waits
// for the kernel (a grace period on Linux) and a lookup for a child process,
// and the waits overlap. Each device is taken in list order, once opened and
// again once looked up.
class StartupPool {
 public:
  enum class Stage { waiting, opened, done };

  StartupPool(std::vector<const pcap_if_t*> devices, const AliasLookup& lookupAlias)
      : devices_(std::move(devices)),
        lookupAlias_(lookupAlias),
        results_(devices_.size()),
        stages_(devices_.size(), Stage::waiting) {
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

  StartupPool(const StartupPool&) = delete;
  StartupPool& operator=(const StartupPool&) = delete;

  ~StartupPool() { finish(); }

  // The device's result once it has reached the stage: after opened, its
  // event, handle and address; after done, its alias too. An empty result
  // when a stop left the device unstarted.
  DeviceStartup& await(std::size_t index, Stage stage) {
    // Without threads the caller does the work. With them it only waits, so
    // that it reports each device as soon as it opened.
    while (workers_.empty() && !reached(index, stage) && startNext()) {
    }
    std::unique_lock<std::mutex> lock(mutex_);
    progressed_.wait(lock, [this, index, stage] { return stages_[index] >= stage; });
    return results_[index];
  }

  // Stops starting devices, waits for those under way, and hands over every
  // handle opened that was not taken.
  std::vector<CaptureHandle> finish() {
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

 private:
  bool reached(std::size_t index, Stage stage) {
    const std::lock_guard<std::mutex> lock(mutex_);
    return stages_[index] >= stage;
  }

  void advance(std::size_t index, Stage stage) {
    const std::lock_guard<std::mutex> lock(mutex_);
    stages_[index] = stage;
    progressed_.notify_all();
  }

  // Starts the next device nobody has taken; false when there is none, or
  // once a stop is requested.
  bool startNext() {
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

// On Linux each close waits for a kernel grace period (about 25 ms); closes
// made at the same time share it, so hundreds of handles close in a blink.
void closeConcurrently(std::vector<CaptureHandle>& handles) {
  std::atomic<std::size_t> next{0};
  const auto closeRemaining = [&handles, &next] {
    for (std::size_t i = next++; i < handles.size(); i = next++) {
      handles[i].reset();
    }
  };
  std::vector<std::thread> closers;
  try {
    while (closers.size() + 1 < std::min(handles.size(), kMaxClosingThreads)) {
      closers.emplace_back(closeRemaining);
    }
  } catch (const std::system_error&) {
    // Fewer threads only make the stop slower.
  }
  closeRemaining();
  for (std::thread& closer : closers) {
    closer.join();
  }
}

}  // namespace

InterfaceTable buildInterfaceTable(const StartupOutput& output) {
  return buildInterfaceTable(makeStartupAliasLookup(), output);
}

InterfaceTable buildInterfaceTable(const AliasLookup& lookupAlias, const StartupOutput& output) {
  InterfaceTable table;
  table.devices = enumerateDevices();
  std::vector<const pcap_if_t*> devices;
  for (const pcap_if_t* device = table.devices.get(); device != nullptr; device = device->next) {
    devices.push_back(device);
  }
  StartupPool pool(devices, lookupAlias);
  for (std::size_t index = 0; index < devices.size(); ++index) {
    DeviceStartup& started = pool.await(index, StartupPool::Stage::opened);
    if (platform::stopRequested()) {
      break;
    }
    output(started.event);
    if (!started.handle || platform::stopRequested()) {
      continue;
    }
    if (!started.ipAddress) {
      table.unusedHandles.push_back(std::move(started.handle));
      continue;
    }
    pool.await(index, StartupPool::Stage::done);
    if (started.lookupFailure) {
      std::rethrow_exception(started.lookupFailure);
    }
    if (platform::stopRequested()) {
      break;
    }
    table.entries.push_back({std::move(started.alias), std::move(*started.ipAddress),
                             std::move(started.handle), devices[index]});
  }
  // Opened while a stop was on its way: closed with the rest.
  for (CaptureHandle& handle : pool.finish()) {
    table.unusedHandles.push_back(std::move(handle));
  }
  return table;
}

void releaseInterfaceTable(InterfaceTable& table) {
  std::vector<CaptureHandle> handles = std::move(table.unusedHandles);
  for (InterfaceEntry& entry : table.entries) {
    handles.push_back(std::move(entry.handle));
  }
  table.entries.clear();
  closeConcurrently(handles);
  table.devices.reset();
}
