#include "discovery/interface_table.h"

#include <array>

#include "discovery/startup_pool.h"
#include "platform/platform.h"

namespace {

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

// The devices to open, in list order.
std::vector<const pcap_if_t*> devicesToOpen(const pcap_if_t* list) {
  std::vector<const pcap_if_t*> devices;
  for (const pcap_if_t* device = list; device != nullptr; device = device->next) {
    if (!isLeftAlone(*device)) {
      devices.push_back(device);
    }
  }
  return devices;
}

}  // namespace

InterfaceTable buildInterfaceTable(const StartupOutput& output) {
  return buildInterfaceTable(makeStartupAliasLookup(), output);
}

InterfaceTable buildInterfaceTable(const AliasLookup& lookupAlias, const StartupOutput& output) {
  InterfaceTable table;
  table.devices = enumerateDevices();
  const std::vector<const pcap_if_t*> devices = devicesToOpen(table.devices.get());
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
      table.unwatchedHandles.push_back(std::move(started.handle));
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
  // Opened while a stop was on its way.
  for (CaptureHandle& handle : pool.finish()) {
    table.unwatchedHandles.push_back(std::move(handle));
  }
  return table;
}

void releaseUnwatchedHandles(InterfaceTable& table) {
  table.unwatchedRelease = ConcurrentRelease(std::move(table.unwatchedHandles));
  table.unwatchedHandles.clear();
}

void releaseInterfaceTable(InterfaceTable& table) {
  std::vector<CaptureHandle> handles = std::move(table.unwatchedHandles);
  table.unwatchedHandles.clear();
  for (InterfaceEntry& entry : table.entries) {
    handles.push_back(std::move(entry.handle));
  }
  table.entries.clear();
  // The unwatched ones close alongside, where they have not yet.
  ConcurrentRelease watched(std::move(handles));
  table.unwatchedRelease.wait();
  watched.wait();
  table.devices.reset();
}
