#include "platform/syscall_filter_linux.h"

#include <fcntl.h>
#include <linux/if_packet.h>
#include <sched.h>
#include <seccomp.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <utility>

namespace platform {

namespace {

// Names of the calls, resolved before the filter is in place: the handler
// of a refused call may not allocate.
constexpr int kNamedCalls = 512;
std::array<const char*, kNamedCalls> callNames{};

void writeToStandardError(const char* text) {
  std::size_t left = std::strlen(text);
  while (left > 0) {
    const ssize_t written = write(STDERR_FILENO, text, left);
    if (written <= 0) {
      return;
    }
    text += written;
    left -= static_cast<std::size_t>(written);
  }
}

// A call outside the list: a new library or C runtime that needs it must
// show at once, not as a tool that silently stops reporting.
extern "C" void onUnexpectedCall(int /*signal*/, siginfo_t* info, void* /*context*/) {
  const int number = info->si_syscall;
  const char* name = number >= 0 && number < kNamedCalls ? callNames[number] : nullptr;
  char digits[16] = {};
  if (name == nullptr) {
    int length = 0;
    unsigned value = static_cast<unsigned>(number);
    do {
      digits[length++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0 && length < 15);
    for (int i = 0; i < length / 2; ++i) {
      std::swap(digits[i], digits[length - 1 - i]);
    }
    name = digits;
  }
  writeToStandardError("tarvex-finder: system call ");
  writeToStandardError(name);
  writeToStandardError(" is not allowed after start-up\n");
  _exit(1);
}

struct FilterReleaser {
  void operator()(void* filter) const noexcept { seccomp_release(filter); }
};
using Filter = std::unique_ptr<void, FilterReleaser>;

class Rules {
 public:
  explicit Rules(scmp_filter_ctx filter) : filter_(filter) {}

  void allow(std::initializer_list<int> calls) { add(SCMP_ACT_ALLOW, calls); }
  void refuse(std::initializer_list<int> calls) { add(SCMP_ACT_ERRNO(EPERM), calls); }

  void add(std::uint32_t action, std::initializer_list<int> calls) {
    for (const int call : calls) {
      check(seccomp_rule_add(filter_, action, call, 0));
    }
  }
  void add(std::uint32_t action, int call, scmp_arg_cmp condition) {
    check(seccomp_rule_add(filter_, action, call, 1, condition));
  }
  void add(std::uint32_t action, int call, scmp_arg_cmp first, scmp_arg_cmp second) {
    check(seccomp_rule_add(filter_, action, call, 2, first, second));
  }

  [[nodiscard]] int failure() const { return failure_; }

 private:
  void check(int status) {
    if (status < 0 && failure_ == 0) {
      failure_ = -status;
    }
  }
  scmp_filter_ctx filter_;
  int failure_ = 0;
};

void allowWhatTheToolNeeds(Rules& rules) {
  rules.allow({// polling and the capture library's reads, and its checks of an
               // interface that went down or away
               SCMP_SYS(read), SCMP_SYS(poll), SCMP_SYS(ppoll), SCMP_SYS(getsockopt),
               SCMP_SYS(getsockname), SCMP_SYS(uname),
               // pausing, time and signals
               SCMP_SYS(nanosleep), SCMP_SYS(clock_nanosleep), SCMP_SYS(clock_gettime),
               SCMP_SYS(gettimeofday), SCMP_SYS(rt_sigreturn), SCMP_SYS(rt_sigaction),
               SCMP_SYS(rt_sigprocmask), SCMP_SYS(restart_syscall), SCMP_SYS(alarm),
               SCMP_SYS(setitimer), SCMP_SYS(getpid), SCMP_SYS(gettid),
               // memory, threads and the orderly stop
               SCMP_SYS(brk), SCMP_SYS(munmap), SCMP_SYS(mremap), SCMP_SYS(madvise),
               SCMP_SYS(futex), SCMP_SYS(set_robust_list), SCMP_SYS(rseq), SCMP_SYS(sched_yield),
               SCMP_SYS(getrandom), SCMP_SYS(close), SCMP_SYS(exit), SCMP_SYS(exit_group)});
  // Reports and messages, on the standard streams only.
  for (const int call : {SCMP_SYS(write), SCMP_SYS(writev)}) {
    rules.add(SCMP_ACT_ALLOW, call, SCMP_A0(SCMP_CMP_EQ, STDOUT_FILENO));
    rules.add(SCMP_ACT_ALLOW, call, SCMP_A0(SCMP_CMP_EQ, STDERR_FILENO));
    rules.add(SCMP_ACT_ERRNO(EPERM), call, SCMP_A0(SCMP_CMP_EQ, STDIN_FILENO));
    rules.add(SCMP_ACT_ERRNO(EPERM), call, SCMP_A0(SCMP_CMP_GT, STDERR_FILENO));
  }
  // Memory for threads and buffers, never executable.
  for (const int call : {SCMP_SYS(mmap), SCMP_SYS(mprotect)}) {
    rules.add(SCMP_ACT_ALLOW, call, SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0));
    rules.add(SCMP_ACT_ERRNO(EPERM), call, SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, PROT_EXEC));
  }
  // Threads for the concurrent close, never a new process. Without clone3
  // the C library falls back to clone, whose flags the filter can see.
  rules.add(SCMP_ACT_ALLOW, SCMP_SYS(clone),
            SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, CLONE_THREAD));
  rules.add(SCMP_ACT_ERRNO(EPERM), SCMP_SYS(clone), SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, 0));
  rules.add(SCMP_ACT_ERRNO(ENOSYS), {SCMP_SYS(clone3)});
  // Signals to the tool itself only (raise, and the end of a forced stop).
  rules.add(SCMP_ACT_ALLOW, SCMP_SYS(tgkill),
            SCMP_A0(SCMP_CMP_EQ, static_cast<scmp_datum_t>(getpid())));
  // Closing a capture takes its ring down; no other socket option may be set
  // (one could make an interface promiscuous).
  rules.add(SCMP_ACT_ALLOW, SCMP_SYS(setsockopt), SCMP_A1(SCMP_CMP_EQ, SOL_PACKET),
            SCMP_A2(SCMP_CMP_EQ, PACKET_RX_RING));
  // Whether an interface is up again; no other request (one could push
  // keystrokes into the terminal the tool writes to).
  rules.add(SCMP_ACT_ALLOW, SCMP_SYS(ioctl), SCMP_A1(SCMP_CMP_EQ, SIOCGIFFLAGS));
  // Files may be read, never written or created.
  constexpr scmp_datum_t kWriting = O_ACCMODE | O_CREAT | O_TRUNC | O_APPEND | __O_TMPFILE;
  rules.add(SCMP_ACT_ALLOW, SCMP_SYS(openat), SCMP_A2(SCMP_CMP_MASKED_EQ, kWriting, 0));
  rules.add(SCMP_ACT_ALLOW, SCMP_SYS(open), SCMP_A1(SCMP_CMP_MASKED_EQ, kWriting, 0));
  for (const scmp_datum_t flag : {O_WRONLY, O_RDWR, O_CREAT, O_TRUNC, O_APPEND, __O_TMPFILE}) {
    rules.add(SCMP_ACT_ERRNO(EPERM), SCMP_SYS(openat), SCMP_A2(SCMP_CMP_MASKED_EQ, flag, flag));
    rules.add(SCMP_ACT_ERRNO(EPERM), SCMP_SYS(open), SCMP_A1(SCMP_CMP_MASKED_EQ, flag, flag));
  }
}

// What code that took the process over would want, refused so that the
// tool goes on reporting.
void refuseWhatAnAttackerWants(Rules& rules) {
  rules.refuse({// running programs and making processes
                SCMP_SYS(execve), SCMP_SYS(execveat), SCMP_SYS(fork), SCMP_SYS(vfork),
                // sending and connecting
                SCMP_SYS(socket), SCMP_SYS(socketpair), SCMP_SYS(connect), SCMP_SYS(bind),
                SCMP_SYS(listen), SCMP_SYS(accept), SCMP_SYS(accept4), SCMP_SYS(sendto),
                SCMP_SYS(sendmsg), SCMP_SYS(sendmmsg), SCMP_SYS(shutdown), SCMP_SYS(io_uring_setup),
                // writing files
                SCMP_SYS(pwrite64), SCMP_SYS(pwritev), SCMP_SYS(pwritev2), SCMP_SYS(creat),
                SCMP_SYS(openat2), SCMP_SYS(truncate), SCMP_SYS(ftruncate), SCMP_SYS(unlink),
                SCMP_SYS(unlinkat), SCMP_SYS(rename), SCMP_SYS(renameat), SCMP_SYS(renameat2),
                SCMP_SYS(mkdir), SCMP_SYS(mkdirat), SCMP_SYS(rmdir), SCMP_SYS(link),
                SCMP_SYS(linkat), SCMP_SYS(symlink), SCMP_SYS(symlinkat), SCMP_SYS(chmod),
                SCMP_SYS(fchmod), SCMP_SYS(fchmodat), SCMP_SYS(chown), SCMP_SYS(fchown),
                SCMP_SYS(fchownat), SCMP_SYS(lchown), SCMP_SYS(mknod), SCMP_SYS(mknodat),
                SCMP_SYS(memfd_create),
                // other processes
                SCMP_SYS(ptrace), SCMP_SYS(process_vm_writev), SCMP_SYS(process_vm_readv),
                SCMP_SYS(kill), SCMP_SYS(tkill), SCMP_SYS(pidfd_open), SCMP_SYS(pidfd_send_signal),
                // identity and rights
                SCMP_SYS(setuid), SCMP_SYS(setgid), SCMP_SYS(setreuid), SCMP_SYS(setregid),
                SCMP_SYS(setresuid), SCMP_SYS(setresgid), SCMP_SYS(setgroups), SCMP_SYS(setfsuid),
                SCMP_SYS(setfsgid), SCMP_SYS(capset), SCMP_SYS(prctl),
                // the system
                SCMP_SYS(mount), SCMP_SYS(umount2), SCMP_SYS(chroot), SCMP_SYS(pivot_root),
                SCMP_SYS(unshare), SCMP_SYS(setns), SCMP_SYS(bpf), SCMP_SYS(perf_event_open),
                SCMP_SYS(init_module), SCMP_SYS(finit_module), SCMP_SYS(delete_module),
                SCMP_SYS(kexec_load), SCMP_SYS(reboot), SCMP_SYS(swapon), SCMP_SYS(swapoff),
                SCMP_SYS(sethostname), SCMP_SYS(setdomainname)});
  rules.add(SCMP_ACT_ERRNO(EPERM), SCMP_SYS(tgkill),
            SCMP_A0(SCMP_CMP_NE, static_cast<scmp_datum_t>(getpid())));
  rules.add(SCMP_ACT_ERRNO(EPERM), SCMP_SYS(setsockopt), SCMP_A1(SCMP_CMP_NE, SOL_PACKET));
  rules.add(SCMP_ACT_ERRNO(EPERM), SCMP_SYS(setsockopt), SCMP_A2(SCMP_CMP_NE, PACKET_RX_RING));
}

void nameTheCalls() {
  for (int number = 0; number < kNamedCalls; ++number) {
    callNames[number] = seccomp_syscall_resolve_num_arch(SCMP_ARCH_NATIVE, number);
  }
}

bool trapUnexpectedCalls() {
  struct sigaction action {};
  action.sa_sigaction = onUnexpectedCall;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  return sigaction(SIGSYS, &action, nullptr) == 0;
}

}  // namespace

std::string installSyscallFilter() {
  nameTheCalls();
  if (!trapUnexpectedCalls()) {
    return std::strerror(errno);
  }
  const Filter filter(seccomp_init(SCMP_ACT_TRAP));
  if (!filter) {
    return "the filter could not be made";
  }
  // Every thread, also those the C library or the capture library started.
  if (seccomp_attr_set(filter.get(), SCMP_FLTATR_CTL_TSYNC, 1) < 0) {
    return "threads cannot be filtered together";
  }
  Rules rules(filter.get());
  allowWhatTheToolNeeds(rules);
  refuseWhatAnAttackerWants(rules);
  if (rules.failure() != 0) {
    return std::strerror(rules.failure());
  }
  if (const int status = seccomp_load(filter.get()); status < 0) {
    return std::strerror(-status);
  }
  return {};
}

}  // namespace platform
