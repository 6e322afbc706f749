#pragma once

// The few calls that differ between Windows and POSIX hosts.

#include <cstdint>
#include <cstdio>
#include <string>
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

// Makes the capture library loadable. False (after saying why on standard
// error) when it is not installed.
bool prepareCaptureLibrary();

// Asks a capture handle, before activation, to make each frame readable as
// soon as it arrives rather than when the kernel hands over a block of them.
// Returns the capture library's status (0 on success).
int requestImmediateDelivery(pcap* handle);

// Ctrl+C, termination requests and closing the console ask the tool to stop.
void installStopHandlers();
bool stopRequested();
void requestStop();
// Sleeps for the given time, returning early once a stop is requested.
void pauseUnlessStopped(unsigned milliseconds);
// Called once the tool has finished shutting down.
void shutdownComplete();

}  // namespace platform
