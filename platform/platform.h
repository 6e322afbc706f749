#pragma once

// The few calls that differ between Windows and POSIX hosts.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

struct pcap;  // the capture library's handle, pcap_t

namespace platform {

// One IPv4 address held by a network interface, as the system lists it.
struct InterfaceAddress {
  std::string name;
  std::uint32_t address = 0;  // network byte order
};

// Runs a command line through the system command interpreter, its standard
// output readable (text mode) from the returned stream; null when it cannot
// be started.
std::FILE* openCommandPipe(const std::string& commandLine);
void closeCommandPipe(std::FILE* pipe);

// Every IPv4 address of every interface, in the system's order.
std::vector<InterfaceAddress> readInterfaceAddresses();

// Opens /dev/null on whichever of the standard descriptors is closed, so that
// no capture socket can become standard output and carry the tool's text
// onto a network. False when that cannot be done.
bool secureStandardDescriptors();

// Lifts the soft limit on open files to the hard one: every capture device
// takes descriptors, and a host may have thousands of them.
void raiseOpenFileLimit();

// Makes the capture library usable; the first call of the tool. False when
// it is not installed (on Windows: no usable wpcap.dll).
bool prepareCaptureLibrary();

#ifdef _WIN32
// The system directory (System32), or empty text when it cannot be had.
std::string systemDirectory();
#endif

// Called once start-up is over (every device opened and filtered, every
// alias known): gives up root, every capability and privilege, and on Linux
// puts the process under a system call filter that leaves it polling,
// writing its standard streams, pausing and stopping, and nothing else.
// Throws RightsError when something could not be given up: the tool must
// not go on then.
void giveUpRights();

// What could not be given up, in one line.
class RightsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Asks a capture handle, before activation, to make each frame readable as
// soon as it arrives rather than when the kernel hands over a block of them.
// Returns the capture library's status (0 on success).
int requestImmediateDelivery(pcap* handle);

// Whether capture devices may be opened from several threads at once.
bool captureOpensMayOverlap();

// The kernel capture buffer of a watched device: room for about 30 small
// datagrams, so that above one a second the kernel drops the surplus and a
// report is never much more than 30 seconds behind its datagram.
int backlogCaptureBufferBytes();

// The smallest kernel capture buffer the capture library accepts, for
// devices that are opened but never read.
int smallestCaptureBufferBytes();

// Standard output can no longer be written (a full disk, a reader gone).
class OutputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Writes all of text to standard output at once, unbuffered. Once a stop is
// requested it writes nothing more and gives up a write that waits for a
// reader; callers that must know ask stopRequested(). Throws OutputError
// when output cannot be written.
void writeStandardOutput(std::string_view text);

// Writes text to standard error after everything written to standard
// output, so that the two keep their order on a shared terminal or file.
// Nothing once a stop is requested.
void writeStandardError(std::string_view text);

// Ctrl+C, termination requests and closing the console ask the tool to stop;
// a signal ignored when the tool was started stays ignored. A stop that the
// tool cannot honour in time (a call that blocks) ends the process anyway
// within about a second.
void installStopHandlers();
bool stopRequested();
void requestStop();
// While one lives, the threads this thread starts begin with the stop
// signals blocked, so that a stop always reaches the main thread and wakes
// its pause or its blocked write, whatever helper threads are running.
class StopSignalsHeldBack {
 public:
  StopSignalsHeldBack();
  ~StopSignalsHeldBack();
  StopSignalsHeldBack(const StopSignalsHeldBack&) = delete;
  StopSignalsHeldBack& operator=(const StopSignalsHeldBack&) = delete;

 private:
  alignas(8) unsigned char saved_[128];  // the thread's signal mask (POSIX)
};

// Sleeps for the given time, returning early once a stop is requested.
void pauseUnlessStopped(unsigned milliseconds);
// Called once the tool has finished shutting down.
void shutdownComplete();

}  // namespace platform
