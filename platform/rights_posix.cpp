#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/platform.h"

#ifdef __linux__
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include "platform/syscall_filter_linux.h"
#endif

namespace platform {

namespace {

// The account the package makes for the tool, so that no other program
// shares its uid; without it, nobody's.
constexpr const char* kToolAccount = "_tarvex-finder";
constexpr uid_t kNobody = 65534;

struct Identity {
  uid_t uid = kNobody;
  gid_t gid = kNobody;
};

Identity unprivilegedIdentity() {
  Identity identity;
  if (const passwd* account = getpwnam(kToolAccount);
      account != nullptr && account->pw_uid != 0 && account->pw_gid != 0) {
    identity = {account->pw_uid, account->pw_gid};
  }
  return identity;
}

bool runsAsRoot() {
  uid_t real = 0;
  uid_t effective = 0;
  uid_t saved = 0;
  return getresuid(&real, &effective, &saved) != 0 || real == 0 || effective == 0 || saved == 0;
}

// Groups first, then the group, then the user: once the uid is given up,
// the other two could not be.
std::string giveUpRoot() {
  const Identity identity = unprivilegedIdentity();
  if (setgroups(0, nullptr) != 0 || setresgid(identity.gid, identity.gid, identity.gid) != 0 ||
      setresuid(identity.uid, identity.uid, identity.uid) != 0) {
    return std::strerror(errno);
  }
  if (runsAsRoot() || setuid(0) == 0) {
    return "root could be taken back";
  }
  return {};
}

#ifdef __linux__
// Needs CAP_SETPCAP, so it goes first, and only where the process may.
void dropBoundingSet() {
  for (int capability = 0; prctl(PR_CAPBSET_READ, capability, 0, 0, 0) >= 0; ++capability) {
    prctl(PR_CAPBSET_DROP, capability, 0, 0, 0);
  }
}

// Every set of the thread, which also covers a binary that carries
// cap_net_raw; then no program it could run may gain any.
std::string clearCapabilities() {
  if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL) {
    return std::strerror(errno);
  }
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capset, &header, none) != 0) {
    return std::strerror(errno);
  }
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    return std::strerror(errno);
  }
  return {};
}
#endif

}  // namespace

void giveUpRights() {
#ifdef __linux__
  dropBoundingSet();
#endif
  if (runsAsRoot()) {
    if (std::string failure = giveUpRoot(); !failure.empty()) {
      throw RightsError("Couldn't give up root: " + failure);
    }
  }
#ifdef __linux__
  if (std::string failure = clearCapabilities(); !failure.empty()) {
    throw RightsError("Couldn't give up capabilities: " + failure);
  }
#ifdef TARVEX_SYSCALL_FILTER
  if (std::string failure = installSyscallFilter(); !failure.empty()) {
    throw RightsError("Couldn't install the system call filter: " + failure);
  }
#endif
#endif
}

}  // namespace platform
