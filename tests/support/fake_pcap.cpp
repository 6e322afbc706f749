#include "tests/support/fake_pcap.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pcap/pcap.h>

#include <cstring>
#include <deque>
#include <map>
#include <mutex>

struct pcap {
  fakepcap::Device device;
  bool activated = false;
  std::string error;
  pcap_pkthdr header{};
  std::vector<std::uint8_t> current;
};

namespace fakepcap {
namespace {

struct State {
  std::vector<Device> devices;
  std::string enumerationError;
  std::map<std::string, std::deque<std::vector<std::uint8_t>>> frames;
  Counters counters;
};

State& state() {
  static State instance;
  return instance;
}

// The tool opens and closes handles from several threads at once.
std::unique_lock<std::mutex> lockState() {
  static std::mutex mutex;
  return std::unique_lock<std::mutex>(mutex);
}

sockaddr* makeSocketAddress(const Address& address) {
  if (address.family == 0) {
    return nullptr;
  }
  auto* storage = new sockaddr_storage{};
  if (address.family == AF_INET) {
    auto* inet = reinterpret_cast<sockaddr_in*>(storage);
    inet->sin_family = AF_INET;
    inet_pton(AF_INET, address.text.c_str(), &inet->sin_addr);
  } else {
    auto* inet6 = reinterpret_cast<sockaddr_in6*>(storage);
    inet6->sin6_family = AF_INET6;
    inet_pton(AF_INET6, address.text.c_str(), &inet6->sin6_addr);
  }
  return reinterpret_cast<sockaddr*>(storage);
}

pcap_if_t* buildDeviceList() {
  pcap_if_t* head = nullptr;
  pcap_if_t** tail = &head;
  for (const Device& device : state().devices) {
    auto* entry = new pcap_if_t{};
    entry->name = strdup(device.name.c_str());
    pcap_addr_t** addressTail = &entry->addresses;
    for (const Address& address : device.addresses) {
      auto* item = new pcap_addr_t{};
      item->addr = makeSocketAddress(address);
      *addressTail = item;
      addressTail = &item->next;
    }
    *tail = entry;
    tail = &entry->next;
  }
  return head;
}

int enumerate(pcap_if_t** devices, char* errbuf) {
  ++state().counters.enumerations;
  if (!state().enumerationError.empty()) {
    std::snprintf(errbuf, PCAP_ERRBUF_SIZE, "%s", state().enumerationError.c_str());
    return -1;
  }
  *devices = buildDeviceList();
  if (*devices != nullptr) {
    ++state().counters.listsLive;
  }
  return 0;
}

}  // namespace

Address ipv4(const std::string& text) { return {AF_INET, text}; }
Address ipv6(const std::string& text) { return {AF_INET6, text}; }
Address withoutSocketAddress() { return {0, {}}; }

void reset() {
  const auto lock = lockState();
  state() = State{};
}
void setDevices(std::vector<Device> devices) { state().devices = std::move(devices); }
void failEnumeration(const std::string& message) { state().enumerationError = message; }
void queueFrame(const std::string& deviceName, std::vector<std::uint8_t> frame) {
  state().frames[deviceName].push_back(std::move(frame));
}
const Counters& counters() { return state().counters; }
std::string openedOn(const pcap* handle) { return handle->device.name; }

}  // namespace fakepcap

using fakepcap::lockState;
using fakepcap::state;

extern "C" {

int pcap_findalldevs(pcap_if_t** devices, char* errbuf) {
  const auto lock = lockState();
  return fakepcap::enumerate(devices, errbuf);
}

int pcap_findalldevs_ex(const char* source, pcap_rmtauth* /*auth*/, pcap_if_t** devices,
                        char* errbuf) {
  const auto lock = lockState();
  state().counters.enumerationSources.emplace_back(source);
  return fakepcap::enumerate(devices, errbuf);
}

void pcap_freealldevs(pcap_if_t* devices) {
  const auto lock = lockState();
  if (devices != nullptr) {
    --state().counters.listsLive;
  }
  while (devices != nullptr) {
    pcap_if_t* next = devices->next;
    for (pcap_addr_t* address = devices->addresses; address != nullptr;) {
      pcap_addr_t* following = address->next;
      delete reinterpret_cast<sockaddr_storage*>(address->addr);
      delete address;
      address = following;
    }
    std::free(devices->name);
    delete devices;
    devices = next;
  }
}

pcap_t* pcap_create(const char* name, char* errbuf) {
  const auto lock = lockState();
  state().counters.openedNames.emplace_back(name);
  for (const fakepcap::Device& device : state().devices) {
    const std::string local = "rpcap://" + std::string(name);
    if (device.name != name && device.name != local) {
      continue;
    }
    ++state().counters.handlesLive;
    auto* handle = new pcap{};
    handle->device = device;
    return handle;
  }
  std::snprintf(errbuf, PCAP_ERRBUF_SIZE, "%s: no such device in the fake", name);
  return nullptr;
}

int pcap_set_snaplen(pcap_t* /*handle*/, int snaplen) { return snaplen == 512 ? 0 : -1; }
int pcap_set_promisc(pcap_t* /*handle*/, int promisc) { return promisc == 0 ? 0 : -1; }
// Npcap's driver takes -1 as "return at once"; BPF systems reject a read
// timeout that is not positive.
int pcap_set_timeout(pcap_t* /*handle*/, int timeout) {
#ifdef _WIN32
  return timeout == -1 ? 0 : PCAP_ERROR;
#else
  return timeout > 0 ? 0 : PCAP_ERROR;
#endif
}

int pcap_set_buffer_size(pcap_t* handle, int size) {
  if (handle->activated) {
    return PCAP_ERROR_ACTIVATED;
  }
  const auto lock = lockState();
  state().counters.bufferSizes[handle->device.name] = size;
  return 0;
}

int pcap_set_immediate_mode(pcap_t* handle, int immediate) {
  if (handle->activated) {
    return PCAP_ERROR_ACTIVATED;
  }
  const auto lock = lockState();
  state().counters.immediateMode[handle->device.name] = immediate != 0;
  return 0;
}

int pcap_activate(pcap_t* handle) {
  handle->activated = true;
  if (handle->device.activateStatus < 0) {
    handle->error = handle->device.openError;
  }
  return handle->device.activateStatus;
}

const char* pcap_statustostr(int status) {
  thread_local std::string text;
  text = "status " + std::to_string(status);
  return text.c_str();
}

void pcap_close(pcap_t* handle) {
  const auto lock = lockState();
  --state().counters.handlesLive;
  delete handle;
}

int pcap_compile(pcap_t* handle, bpf_program* program, const char* filter, int /*optimize*/,
                 bpf_u_int32 /*netmask*/) {
  const auto lock = lockState();
  state().counters.compiledFilters.emplace_back(filter);
  if (!handle->device.compileError.empty()) {
    handle->error = handle->device.compileError;
    return -1;
  }
  ++state().counters.programsLive;
  program->bf_len = 1;
  program->bf_insns = new bpf_insn{};
  return 0;
}

void pcap_freecode(bpf_program* program) {
  const auto lock = lockState();
  if (program->bf_insns != nullptr) {
    --state().counters.programsLive;
    delete program->bf_insns;
    program->bf_insns = nullptr;
  }
}

int pcap_setfilter(pcap_t* handle, bpf_program* /*program*/) {
  if (!handle->device.installError.empty()) {
    handle->error = handle->device.installError;
    return -1;
  }
  return 0;
}

char* pcap_geterr(pcap_t* handle) { return handle->error.data(); }

int pcap_setnonblock(pcap_t* handle, int nonblock, char* /*errbuf*/) {
  const auto lock = lockState();
  state().counters.nonblocking[handle->device.name] = nonblock != 0;
  return 0;
}

int pcap_datalink(pcap_t* handle) { return handle->device.linkType; }

int pcap_next_ex(pcap_t* handle, pcap_pkthdr** header, const u_char** data) {
  const auto lock = lockState();
  auto& queue = state().frames[handle->device.name];
  if (queue.empty()) {
    return 0;
  }
  handle->current = std::move(queue.front());
  queue.pop_front();
  handle->header = {};
  handle->header.caplen = static_cast<bpf_u_int32>(handle->current.size());
  handle->header.len = handle->header.caplen;
  *header = &handle->header;
  *data = handle->current.data();
  return 1;
}

}  // extern "C"
