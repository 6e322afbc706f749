// Preloaded into the tool by the end-to-end tests: on the first poll it acts
// as code that had taken the process over would, prints one line per action
// on standard error ("refused: NAME" or "ALLOWED: NAME"), then lets the poll
// go on. TARVEX_ATTACK_DIR names a folder for the files it tries to make;
// with TARVEX_ATTACK=unexpected it instead makes one call the tool never
// makes. TARVEX_ATTACK_PARENT is the pid of the process that started it.

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <sched.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/sysinfo.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

extern char** environ;

namespace {

void say(const std::string& line) {
  const std::string text = line + "\n";
  if (write(STDERR_FILENO, text.data(), text.size()) < 0) {
    std::abort();
  }
}

// An action succeeded when it returned anything but -1.
void attempt(const char* name, long result) {
  say(std::string(result == -1 ? "refused: " : "ALLOWED: ") + name +
      (result == -1 ? std::string(" (") + std::strerror(errno) + ")" : ""));
}

// A broadcast Ethernet frame carrying an IPv4 UDP datagram to port 9.
std::array<unsigned char, 60> forgedFrame() {
  std::array<unsigned char, 60> frame{};
  std::memset(frame.data(), 0xff, 6);
  frame[12] = 0x08;
  frame[14] = 0x45;
  frame[23] = IPPROTO_UDP;
  frame[37] = 9;
  return frame;
}

void attack(pcap_t* handle) {
  const std::string dir =
      std::getenv("TARVEX_ATTACK_DIR") ? std::getenv("TARVEX_ATTACK_DIR") : "/tmp";
  const int capture = pcap_fileno(handle);
  const auto frame = forgedFrame();
  attempt("write to the capture socket", write(capture, frame.data(), frame.size()));
  sockaddr_ll link{};
  link.sll_family = AF_PACKET;
  link.sll_ifindex = 1;
  attempt("send through the capture socket",
          sendto(capture, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr*>(&link),
                 sizeof link));
  attempt("inject with the capture library", pcap_inject(handle, frame.data(), frame.size()));
  attempt("open a UDP socket", socket(AF_INET, SOCK_DGRAM, 0));
  attempt("connect the capture socket",
          connect(capture, reinterpret_cast<sockaddr*>(&link), sizeof link));
  attempt("create a file", open((dir + "/created").c_str(), O_WRONLY | O_CREAT, 0600));
  attempt("open a file for writing", open("/dev/null", O_WRONLY));
  const pid_t child = fork();
  if (child == 0) {
    _exit(0);
  }
  attempt("fork", child);
  const std::string marker = "touch " + dir + "/ran";
  char* const argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"),
                        const_cast<char*>(marker.c_str()), nullptr};
  pid_t spawned = -1;
  const int spawnError = posix_spawn(&spawned, "/bin/sh", nullptr, nullptr, argv, environ);
  errno = spawnError;
  attempt("spawn a program", spawnError == 0 ? spawned : -1);
  attempt("replace the process with a program", execve("/bin/sh", argv, environ));
  const pid_t parent = static_cast<pid_t>(std::atoi(std::getenv("TARVEX_ATTACK_PARENT")));
  attempt("attach to the parent with ptrace", ptrace(PTRACE_ATTACH, parent, nullptr, nullptr));
  attempt("signal the parent", kill(parent, 0));
  attempt("take root back", setuid(0));
  void* page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  attempt("make memory executable", mprotect(page, 4096, PROT_READ | PROT_EXEC));
  attempt("map executable memory", mmap(nullptr, 4096, PROT_READ | PROT_WRITE | PROT_EXEC,
                                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) == MAP_FAILED
                                       ? -1
                                       : 0);
  say("attacks done");
}

}  // namespace

extern "C" int pcap_next_ex(pcap_t* handle, pcap_pkthdr** header, const u_char** data) {
  using Next = int (*)(pcap_t*, pcap_pkthdr**, const u_char**);
  static const auto next = reinterpret_cast<Next>(dlsym(RTLD_NEXT, "pcap_next_ex"));
  static std::atomic<bool> attacked{false};
  if (!attacked.exchange(true)) {
    const char* mode = std::getenv("TARVEX_ATTACK");
    if (mode != nullptr && std::strcmp(mode, "unexpected") == 0) {
      struct sysinfo system {};
      sysinfo(&system);
      say("ALLOWED: sysinfo");
    } else {
      attack(handle);
    }
  }
  return next(handle, header, data);
}
