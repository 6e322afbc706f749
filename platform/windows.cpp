// Winsock before the rest of the Windows headers.
#include <winsock2.h>

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace platform {

namespace {
volatile LONG stopFlag = 0;
// Alias lookups under way: start-up waits for PowerShell there and cannot
// see a stop.
volatile LONG lookupsRunning = 0;
HANDLE stopEvent = nullptr;
HANDLE doneEvent = nullptr;

// How long an orderly stop may take before the process just ends.
constexpr DWORD kStopGraceMs = 1000;

BOOL WINAPI onConsoleControl(DWORD /*type*/) {
  requestStop();
  // The main thread stops at its next check and says when it has released
  // everything. One waiting for a lookup holds nothing that needs releasing,
  // and after a close, logoff or shutdown event Windows ends the process as
  // soon as this returns.
  if (InterlockedCompareExchange(&lookupsRunning, 0, 0) != 0 ||
      WaitForSingleObject(doneEvent, kStopGraceMs) != WAIT_OBJECT_0) {
    // Not ExitProcess: the main thread may hold the C runtime's locks. The
    // status is the one Windows gives a console program ended by Ctrl+C.
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  }
  return TRUE;
}

// cmd.exe looks for a command in the current directory before PATH, so the
// lookups run from the system directory, which only administrators can
// write to: a powershell.exe, .com, .bat or .cmd planted where the tool was
// started (a downloads folder) never runs with its rights. The tool opens no
// files, so nothing else depends on its working directory.
bool enterSystemDirectory() {
  const std::string system = systemDirectory();
  return !system.empty() && SetCurrentDirectoryA(system.c_str()) != 0;
}
}  // namespace

std::string systemDirectory() {
  char system[MAX_PATH];
  const UINT length = GetSystemDirectoryA(system, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    return {};
  }
  return std::string(system, length);
}

std::FILE* openCommandPipe(const std::string& commandLine) {
  static const bool inSystemDirectory = enterSystemDirectory();
  if (!inSystemDirectory) {
    return nullptr;
  }
  InterlockedIncrement(&lookupsRunning);
  std::FILE* pipe = _popen(commandLine.c_str(), "r");
  if (pipe == nullptr) {
    InterlockedDecrement(&lookupsRunning);
  }
  return pipe;
}

void closeCommandPipe(std::FILE* pipe) {
  _pclose(pipe);
  InterlockedDecrement(&lookupsRunning);
}

// A non-blocking read already returns what the driver holds, and not every
// wpcap.dll exports pcap_set_immediate_mode, so it is not called.
int requestImmediateDelivery(pcap* /*handle*/) { return 0; }

// Aliases come from the PowerShell command on Windows.
std::vector<InterfaceAddress> readInterfaceAddresses() { return {}; }

// Capture handles on Windows are no C runtime descriptors, so none can take
// the place of a closed standard stream.
bool secureStandardDescriptors() { return true; }

// Npcap's documentation does not promise that opens may overlap; they are
// quick, and the lookups after them (a PowerShell each) still do.
bool captureOpensMayOverlap() { return false; }

// Windows sets no per-process limit on open capture handles.
void raiseOpenFileLimit() {}

// Npcap's buffer counts bytes: each datagram takes its captured bytes (at
// most the 512-byte snapshot) and a header of about 20. 4 KiB holds 30
// datagrams of about 110 bytes on the wire, but only 7 of 512 bytes or more.
int backlogCaptureBufferBytes() { return 4096; }

// Npcap takes any kernel buffer size; one page is as small as any.
int smallestCaptureBufferBytes() { return 4096; }

void writeStandardOutput(std::string_view text) {
  if (stopRequested()) {
    return;
  }
  // Through the runtime's stream, which turns line feeds into CR LF.
  errno = 0;
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
    std::clearerr(stdout);
    throw OutputError(std::strerror(errno != 0 ? errno : EIO));
  }
}

void writeStandardError(std::string_view text) {
  if (stopRequested()) {
    return;
  }
  std::fflush(stdout);
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

void installStopHandlers() {
  stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  doneEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

bool stopRequested() { return InterlockedCompareExchange(&stopFlag, 0, 0) != 0; }

void requestStop() {
  InterlockedExchange(&stopFlag, 1);
  if (stopEvent != nullptr) {
    SetEvent(stopEvent);
  }
}

void pauseUnlessStopped(unsigned milliseconds) {
  if (stopEvent == nullptr) {
    Sleep(milliseconds);
  } else if (!stopRequested()) {
    WaitForSingleObject(stopEvent, milliseconds);
  }
}

// Console control events come on a thread of their own; nothing to hold back.
StopSignalsHeldBack::StopSignalsHeldBack() : saved_{} {}
StopSignalsHeldBack::~StopSignalsHeldBack() = default;

void shutdownComplete() {
  if (doneEvent != nullptr) {
    SetEvent(doneEvent);
  }
}

}  // namespace platform
