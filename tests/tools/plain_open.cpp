// The plain way to open every capture device, one at a time: pcap_open_live
// with the library's defaults, then the scanner filter, saying so for each
// device in the tool's words. The tests compare the tool's start-up output
// with this program's, and the benchmark its cost.
// With --wait it stays up (handles open) until SIGINT or SIGTERM.

#include <pcap/pcap.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {
volatile std::sig_atomic_t stop = 0;
extern "C" void onSignal(int /*signal*/) { stop = 1; }
}  // namespace

int main(int argc, char** argv) {
  const bool wait = argc > 1 && std::strcmp(argv[1], "--wait") == 0;
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);
  char errbuf[PCAP_ERRBUF_SIZE];
  pcap_if_t* devices = nullptr;
  if (pcap_findalldevs(&devices, errbuf) == -1) {
    std::fprintf(stderr, "Error in pcap_findalldevs: %s\n", errbuf);
    return 1;
  }
  std::vector<pcap_t*> handles;
  for (pcap_if_t* device = devices; device != nullptr; device = device->next) {
    // Netfilter queues and D-Bus buses are left alone, as the tool leaves
    // them: opening one would take from the host.
    if (std::strncmp(device->name, "nfqueue", 7) == 0 ||
        std::strncmp(device->name, "dbus", 4) == 0) {
      continue;
    }
    pcap_t* handle = pcap_open_live(device->name, 512, 0, -1, errbuf);
    if (handle == nullptr) {
      std::printf("pcap_open_live() failed due to [%s]\n", errbuf);
      continue;
    }
    bpf_program program{};
    if (pcap_compile(handle, &program, "udp dst port 1119", 0, 0) == -1) {
      std::fprintf(stderr, "Couldn't parse filter udp dst port 1119: %s\n", pcap_geterr(handle));
      pcap_close(handle);
      continue;
    }
    const bool installed = pcap_setfilter(handle, &program) != -1;
    if (!installed) {
      std::fprintf(stderr, "Couldn't install filter udp dst port 1119: %s\n", pcap_geterr(handle));
    }
    pcap_freecode(&program);
    if (!installed) {
      pcap_close(handle);
      continue;
    }
    std::printf("Fetching interfaces...\n");
    handles.push_back(handle);
  }
  std::printf("Found interfaces : %zu\n", handles.size());
  std::fflush(stdout);
  while (wait && !stop) {
    pause();
  }
  for (pcap_t* handle : handles) {
    pcap_close(handle);
  }
  pcap_freealldevs(devices);
  return 0;
}
