#include <ifaddrs.h>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <sys/socket.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

#include "platform/platform.h"

namespace platform {

namespace {
volatile std::sig_atomic_t stopFlag = 0;

extern "C" void onStopSignal(int /*signal*/) { stopFlag = 1; }
}  // namespace

std::FILE* openCommandPipe(const std::string& commandLine) {
  return popen(commandLine.c_str(), "r");
}

void closeCommandPipe(std::FILE* pipe) { pclose(pipe); }

// On Linux a buffered capture hands frames over in blocks, and a block is
// held until its last frame is read, one a poll; frames of a burst were then
// lost for good in about one burst in twenty.
int requestImmediateDelivery(pcap* handle) { return pcap_set_immediate_mode(handle, 1); }

std::vector<InterfaceAddress> readInterfaceAddresses() {
  std::vector<InterfaceAddress> result;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) {
    return result;
  }
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) {
      continue;
    }
    sockaddr_in inet{};
    std::memcpy(&inet, entry->ifa_addr, sizeof inet);
    result.push_back({entry->ifa_name, inet.sin_addr.s_addr});
  }
  freeifaddrs(list);
  return result;
}

bool prepareCaptureLibrary() { return true; }

void installStopHandlers() {
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: the pause must wake up when a signal arrives.
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    sigaction(signal, &action, nullptr);
  }
}

bool stopRequested() { return stopFlag != 0; }

void requestStop() { stopFlag = 1; }

void pauseUnlessStopped(unsigned milliseconds) {
  timespec remaining{static_cast<std::time_t>(milliseconds / 1000),
                     static_cast<long>(milliseconds % 1000) * 1000000L};
  while (!stopRequested() && nanosleep(&remaining, &remaining) == -1 && errno == EINTR) {
  }
}

void shutdownComplete() {}

}  // namespace platform
