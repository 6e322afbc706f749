// Stands in for Npcap's wpcap.dll and Packet.dll in the DLL-search tests.
// Loaded, it appends its own path to the file TARVEX_DLL_LOG names, so that
// a test sees every copy that was loaded, from wherever. Built as wpcap.dll
// it imports Packet.dll, as Npcap's does, and fails enumeration with a
// message of its own; its other calls are never reached.

#include <windows.h>

#include <cstring>

namespace {

void logLoad(HINSTANCE self) {
  char log[MAX_PATH] = "";
  char path[MAX_PATH] = "";
  const DWORD logLength = GetEnvironmentVariableA("TARVEX_DLL_LOG", log, MAX_PATH);
  const DWORD pathLength = GetModuleFileNameA(self, path, MAX_PATH - 1);
  if (logLength == 0 || logLength >= MAX_PATH || pathLength == 0) {
    return;
  }
  path[pathLength] = '\n';
  HANDLE file = CreateFileA(log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(file, path, pathLength + 1, &written, nullptr);
    CloseHandle(file);
  }
}

}  // namespace

extern "C" {

#ifdef TARVEX_STANDIN_WPCAP
__declspec(dllimport) const char* PacketGetVersion();

int pcap_findalldevs_ex(const char* /*source*/, void* /*auth*/, void** /*devices*/, char* errbuf) {
  std::strcpy(errbuf, PacketGetVersion());
  return -1;
}

// Every other capture call the tool resolves.
int unexpectedCall() { return -1; }
#else
__declspec(dllexport) const char* PacketGetVersion() { return "pretend Npcap"; }
#endif

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID /*reserved*/) {
  if (reason == DLL_PROCESS_ATTACH) {
    logLoad(self);
  }
  return TRUE;
}

}  // extern "C"
