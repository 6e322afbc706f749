// Stands in for powershell.exe where the real one is missing (Wine): appends
// where it was run from and its command line, a tab between them, to the
// file TARVEX_STANDIN_LOG names, waits TARVEX_STANDIN_DELAY_MS if set, and
// answers the interface-alias query with the friendly name of every adapter
// holding the address.

// Winsock before the rest of the Windows headers.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <fcntl.h>
#include <io.h>
#include <iphlpapi.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void record(const char* commandLine) {
  const char* path = std::getenv("TARVEX_STANDIN_LOG");
  char self[MAX_PATH] = "";
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  if (std::FILE* log = std::fopen(path != nullptr ? path : "powershell-calls.log", "ab")) {
    std::fprintf(log, "%s\t%s\n", self, commandLine);
    std::fclose(log);
  }
}

void answerSlowlyIfAsked() {
  if (const char* delay = std::getenv("TARVEX_STANDIN_DELAY_MS")) {
    Sleep(static_cast<DWORD>(std::strtoul(delay, nullptr, 10)));
  }
}

bool addressIn(const std::string& commandLine, in_addr& address) {
  const std::string marker = "-IPAddress '";
  const auto start = commandLine.find(marker);
  if (start == std::string::npos) {
    return false;
  }
  const auto first = start + marker.size();
  const auto end = commandLine.find('\'', first);
  const std::string text = commandLine.substr(first, end - first);
  return inet_pton(AF_INET, text.c_str(), &address) == 1;
}

std::vector<std::string> aliasesOf(const in_addr& wanted) {
  ULONG size = 16 * 1024;
  std::vector<unsigned char> buffer(size);
  ULONG status = ERROR_BUFFER_OVERFLOW;
  for (int attempt = 0; attempt < 3 && status == ERROR_BUFFER_OVERFLOW; ++attempt) {
    buffer.resize(size);
    status = GetAdaptersAddresses(AF_INET, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST, nullptr,
                                  reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
  }
  std::vector<std::string> aliases;
  if (status != NO_ERROR) {
    return aliases;
  }
  for (auto* adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); adapter != nullptr;
       adapter = adapter->Next) {
    for (auto* unicast = adapter->FirstUnicastAddress; unicast != nullptr;
         unicast = unicast->Next) {
      sockaddr_in inet{};
      std::memcpy(&inet, unicast->Address.lpSockaddr, sizeof inet);
      if (inet.sin_addr.s_addr == wanted.s_addr) {
        char name[512] = "";
        WideCharToMultiByte(CP_ACP, 0, adapter->FriendlyName, -1, name, sizeof name, nullptr,
                            nullptr);
        aliases.emplace_back(name);
        break;
      }
    }
  }
  return aliases;
}

}  // namespace

int main() {
  const char* commandLine = GetCommandLineA();
  record(commandLine);
  answerSlowlyIfAsked();
  in_addr wanted{};
  const auto aliases =
      addressIn(commandLine, wanted) ? aliasesOf(wanted) : std::vector<std::string>{};
  if (aliases.empty()) {
    std::fputs("Get-NetIPAddress : No matching MSFT_NetIPAddress objects found\n", stderr);
    return 1;
  }
  // Line ends as PowerShell writes them.
  _setmode(_fileno(stdout), _O_BINARY);
  for (const auto& alias : aliases) {
    std::printf("%s\r\n", alias.c_str());
  }
  return 0;
}
