#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/platform.h"

// Room for the dotted-decimal text of an IPv4 address: the Windows sockets
// library's INET_ADDRSTRLEN, kept on every host so that both builds work
// alike. 16 would do (255.255.255.255 and its NUL); glibc's is 16.
inline constexpr std::size_t kIpv4TextBufferSize = 22;

// Turns an interface's IPv4 address into the alias the system names it by:
// each alias followed by a line feed, or empty text when none is known.
using AliasLookup = std::function<std::string(const std::string& ipAddress)>;

// The alias command could not be started; what() says "popen() failed!".
class CommandStartError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Everything the command line writes to its standard output. Throws
// CommandStartError when it cannot be started.
std::string runCommandCapture(const std::string& commandLine);

// The PowerShell command that prints the alias of the interface holding
// the address; nullopt unless the address is plain dotted-decimal IPv4, so
// that nothing else ever reaches the command interpreter.
std::optional<std::string> aliasCommandFor(const std::string& ipAddress);

// The names of the interfaces in the list that hold the address, each once
// and followed by a line feed, in the list's order.
std::string aliasesHolding(const std::vector<platform::InterfaceAddress>& interfaces,
                           const std::string& ipAddress);

// One lookup, as the host answers it.
std::string lookupInterfaceAlias(const std::string& ipAddress);

// The lookup used during start-up, safe to call from several threads at
// once; on POSIX hosts it reads the system's interface list once, when made,
// and answers every address from it.
AliasLookup makeStartupAliasLookup();
