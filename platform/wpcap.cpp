// wpcap.dll, loaded by the tool itself rather than by the loader: the tool
// decides where it may come from, and no import table has to be patched at
// run time (newer MinGW linkers make it read-only). The capture calls the
// rest of the tool makes are defined here and go through one table filled
// when the library is loaded.

// Winsock before the rest of the Windows headers.
#include <winsock2.h>

#include <pcap/pcap.h>
#include <windows.h>

#include <string>

#include "platform/platform.h"

namespace platform {

namespace {

struct CaptureLibrary {
  decltype(&pcap_findalldevs_ex) findalldevs_ex = nullptr;
  decltype(&pcap_freealldevs) freealldevs = nullptr;
  decltype(&pcap_create) create = nullptr;
  decltype(&pcap_set_snaplen) set_snaplen = nullptr;
  decltype(&pcap_set_promisc) set_promisc = nullptr;
  decltype(&pcap_set_timeout) set_timeout = nullptr;
  decltype(&pcap_set_buffer_size) set_buffer_size = nullptr;
  decltype(&pcap_activate) activate = nullptr;
  decltype(&pcap_statustostr) statustostr = nullptr;
  decltype(&pcap_geterr) geterr = nullptr;
  decltype(&pcap_compile) compile = nullptr;
  decltype(&pcap_setfilter) setfilter = nullptr;
  decltype(&pcap_freecode) freecode = nullptr;
  decltype(&pcap_setnonblock) setnonblock = nullptr;
  decltype(&pcap_next_ex) next_ex = nullptr;
  decltype(&pcap_datalink) datalink = nullptr;
  decltype(&pcap_close) close = nullptr;
};

CaptureLibrary wpcap;

template <typename Function>
bool resolve(HMODULE dll, const char* name, Function& slot) {
  // Through a plain function pointer, the one cast that is well defined for
  // any function type.
  slot = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(dll, name)));
  return slot != nullptr;
}

bool resolveAll(HMODULE dll) {
  CaptureLibrary& w = wpcap;
  return resolve(dll, "pcap_findalldevs_ex", w.findalldevs_ex) &&
         resolve(dll, "pcap_freealldevs", w.freealldevs) && resolve(dll, "pcap_create", w.create) &&
         resolve(dll, "pcap_set_snaplen", w.set_snaplen) &&
         resolve(dll, "pcap_set_promisc", w.set_promisc) &&
         resolve(dll, "pcap_set_timeout", w.set_timeout) &&
         resolve(dll, "pcap_set_buffer_size", w.set_buffer_size) &&
         resolve(dll, "pcap_activate", w.activate) &&
         resolve(dll, "pcap_statustostr", w.statustostr) && resolve(dll, "pcap_geterr", w.geterr) &&
         resolve(dll, "pcap_compile", w.compile) && resolve(dll, "pcap_setfilter", w.setfilter) &&
         resolve(dll, "pcap_freecode", w.freecode) &&
         resolve(dll, "pcap_setnonblock", w.setnonblock) &&
         resolve(dll, "pcap_next_ex", w.next_ex) && resolve(dll, "pcap_datalink", w.datalink) &&
         resolve(dll, "pcap_close", w.close);
}

}  // namespace

bool prepareCaptureLibrary() {
  // Before anything loads a DLL: from here on the loader looks in System32
  // and the folders added below, never in the .exe's folder or the working
  // directory, where anyone may have left a wpcap.dll or Packet.dll.
  if (SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_USER_DIRS) == 0) {
    return false;
  }
  // Npcap keeps wpcap.dll and Packet.dll in its own folder, searched before
  // System32, where Npcap's WinPcap-compatible mode (and Wine) put them. A
  // host without that folder still has System32.
  const std::string system = systemDirectory();
  if (!system.empty()) {
    const std::string npcap = system + "\\Npcap";
    AddDllDirectory(std::wstring(npcap.begin(), npcap.end()).c_str());
  }
  HMODULE dll = LoadLibraryExA("wpcap.dll", nullptr,
                               LOAD_LIBRARY_SEARCH_USER_DIRS | LOAD_LIBRARY_SEARCH_SYSTEM32);
  return dll != nullptr && resolveAll(dll);
}

}  // namespace platform

// The capture library's interface, as the rest of the tool calls it.
extern "C" {

int pcap_findalldevs_ex(const char* source, pcap_rmtauth* auth, pcap_if_t** devices, char* errbuf) {
  return platform::wpcap.findalldevs_ex(source, auth, devices, errbuf);
}
void pcap_freealldevs(pcap_if_t* devices) { platform::wpcap.freealldevs(devices); }
pcap_t* pcap_create(const char* device, char* errbuf) {
  return platform::wpcap.create(device, errbuf);
}
int pcap_set_snaplen(pcap_t* handle, int length) {
  return platform::wpcap.set_snaplen(handle, length);
}
int pcap_set_promisc(pcap_t* handle, int on) { return platform::wpcap.set_promisc(handle, on); }
int pcap_set_timeout(pcap_t* handle, int milliseconds) {
  return platform::wpcap.set_timeout(handle, milliseconds);
}
int pcap_set_buffer_size(pcap_t* handle, int bytes) {
  return platform::wpcap.set_buffer_size(handle, bytes);
}
int pcap_activate(pcap_t* handle) { return platform::wpcap.activate(handle); }
const char* pcap_statustostr(int status) { return platform::wpcap.statustostr(status); }
char* pcap_geterr(pcap_t* handle) { return platform::wpcap.geterr(handle); }
int pcap_compile(pcap_t* handle, bpf_program* program, const char* expression, int optimize,
                 bpf_u_int32 netmask) {
  return platform::wpcap.compile(handle, program, expression, optimize, netmask);
}
int pcap_setfilter(pcap_t* handle, bpf_program* program) {
  return platform::wpcap.setfilter(handle, program);
}
void pcap_freecode(bpf_program* program) { platform::wpcap.freecode(program); }
int pcap_setnonblock(pcap_t* handle, int on, char* errbuf) {
  return platform::wpcap.setnonblock(handle, on, errbuf);
}
int pcap_next_ex(pcap_t* handle, pcap_pkthdr** header, const u_char** bytes) {
  return platform::wpcap.next_ex(handle, header, bytes);
}
int pcap_datalink(pcap_t* handle) { return platform::wpcap.datalink(handle); }
void pcap_close(pcap_t* handle) { platform::wpcap.close(handle); }

}  // extern "C"
