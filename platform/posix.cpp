#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

#include "platform/platform.h"

namespace platform {

namespace {
// Read from several threads and written by a signal handler: only a
// lock-free atomic is safe for both.
std::atomic<bool> stopFlag{false};
std::atomic<int> stopSignal{0};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free);

// The signals that ask the tool to stop.
constexpr std::array<int, 3> kStopRequests = {SIGINT, SIGTERM, SIGHUP};

// How long an orderly stop may take before the process just ends: a device
// open or a library call that never returns would otherwise hold it for good.
constexpr unsigned kStopGraceSeconds = 1;

extern "C" void onStopSignal(int signal) {
  if (!stopFlag.exchange(true)) {
    stopSignal = signal;
    alarm(kStopGraceSeconds);
  }
}

// The orderly stop did not finish in time: the process ends as the stop
// signal would have ended it, so that a shell sees 128+N rather than a clean
// exit.
extern "C" void onStopGraceOver(int /*signal*/) {
  const int signal = stopSignal != 0 ? stopSignal.load() : SIGTERM;
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, nullptr);
  sigset_t pending{};
  sigemptyset(&pending);
  sigaddset(&pending, signal);
  pthread_sigmask(SIG_UNBLOCK, &pending, nullptr);
  raise(signal);
  _exit(128 + signal);
}

void handleSignal(int signal, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a pause or a blocked write must wake up on a stop.
  sigaction(signal, &action, nullptr);
}

bool ignoredAtStart(int signal) {
  struct sigaction current {};
  return sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

// An output descriptor someone else made non-blocking: wait until it takes
// more, a stop at most a fifth of a second late.
void waitUntilWritable(int fd) {
  pollfd wanted{fd, POLLOUT, 0};
  while (!stopRequested() && poll(&wanted, 1, 200) == 0) {
  }
}

// Writes all of text to fd: 0, ECANCELED once a stop is requested (also in
// the middle of a write that waits for a reader), or the failing write's
// errno.
int writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    if (stopRequested()) {
      return ECANCELED;
    }
    const ssize_t written = write(fd, text.data(), text.size());
    if (written >= 0) {
      text.remove_prefix(static_cast<std::size_t>(written));
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      waitUntilWritable(fd);
    } else if (errno != EINTR) {
      return errno;
    }
  }
  return 0;
}
}  // namespace

bool secureStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
      continue;
    }
    // open() takes the lowest free descriptor, which is this one.
    if (open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY) != fd) {
      return false;
    }
  }
  return true;
}

void raiseOpenFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

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
    // Linux names a labelled IPv4 address by its label, which is the
    // interface's name, a colon and more.
    const std::string_view label = entry->ifa_name;
    result.push_back({std::string(label.substr(0, label.find(':'))), inet.sin_addr.s_addr});
  }
  freeifaddrs(list);
  return result;
}

bool prepareCaptureLibrary() { return true; }

// Each open waits for a kernel grace period; opens made at once share it.
bool captureOpensMayOverlap() { return true; }

// A Linux ring counts frames: at a 512-byte snapshot a frame takes about
// 600 bytes and a page holds six, and 18 KiB made a ring of exactly 30
// (16 KiB gave 24, 20 KiB 30, 256 KiB 438), each a datagram of any size.
int backlogCaptureBufferBytes() { return 18 * 1024; }

// Linux rings are made of whole pages; a smaller buffer gives none.
int smallestCaptureBufferBytes() { return static_cast<int>(sysconf(_SC_PAGESIZE)); }

void writeStandardOutput(std::string_view text) {
  const int error = writeAll(STDOUT_FILENO, text);
  if (error != 0 && error != ECANCELED) {
    throw OutputError(std::strerror(error));
  }
}

// Standard output is written unbuffered, so nothing of it waits. A failure
// leaves nowhere to say so.
void writeStandardError(std::string_view text) { writeAll(STDERR_FILENO, text); }

void installStopHandlers() {
  handleSignal(SIGALRM, onStopGraceOver);
  for (const int signal : kStopRequests) {
    if (!ignoredAtStart(signal)) {
      handleSignal(signal, onStopSignal);
    }
  }
}

bool stopRequested() { return stopFlag; }

void requestStop() { stopFlag = true; }

void pauseUnlessStopped(unsigned milliseconds) {
  timespec remaining{static_cast<std::time_t>(milliseconds / 1000),
                     static_cast<long>(milliseconds % 1000) * 1000000L};
  while (!stopRequested() && nanosleep(&remaining, &remaining) == -1 && errno == EINTR) {
  }
}

StopSignalsHeldBack::StopSignalsHeldBack() : saved_{} {
  static_assert(sizeof(sigset_t) <= sizeof saved_);
  sigset_t stops{};
  sigemptyset(&stops);
  for (const int signal : kStopRequests) {
    sigaddset(&stops, signal);
  }
  sigaddset(&stops, SIGALRM);  // the end of a stop that took too long
  pthread_sigmask(SIG_BLOCK, &stops, reinterpret_cast<sigset_t*>(saved_));
}

// A stop that came meanwhile is delivered here, to this thread.
StopSignalsHeldBack::~StopSignalsHeldBack() {
  pthread_sigmask(SIG_SETMASK, reinterpret_cast<const sigset_t*>(saved_), nullptr);
}

void shutdownComplete() {}

}  // namespace platform
