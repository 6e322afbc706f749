#pragma once

// A scriptable stand-in for the capture library, linked into the unit tests
// in place of libpcap.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct pcap;

namespace fakepcap {

struct Address {
  int family = 0;  // AF_INET or AF_INET6; 0 for an entry without a socket address
  std::string text;
};

struct Device {
  std::string name{};
  std::vector<Address> addresses{};
  int activateStatus = 0;      // pcap_activate's answer: < 0 fails, > 0 warns
  std::string openError{};     // the handle's error text when activation fails
  std::string compileError{};  // non-empty: compiling the filter fails
  std::string installError{};  // non-empty: installing the filter fails
  int linkType = 1;            // DLT_EN10MB
};

Address ipv4(const std::string& text);
Address ipv6(const std::string& text);
Address withoutSocketAddress();

void reset();
void setDevices(std::vector<Device> devices);
void failEnumeration(const std::string& message);
void queueFrame(const std::string& deviceName, std::vector<std::uint8_t> frame);

// What the tool asked of the library. Devices are opened from several
// threads, so what is recorded per handle is keyed by its device's name.
struct Counters {
  int enumerations = 0;
  int listsLive = 0;                     // device lists handed out and not freed
  int handlesLive = 0;                   // handles opened and not closed
  int programsLive = 0;                  // compiled filters not freed
  std::vector<std::string> openedNames;  // as given to pcap_create, in no set order
  std::map<std::string, int> bufferSizes;
  std::map<std::string, bool> immediateMode;  // set before activation
  std::vector<std::string> compiledFilters;
  std::vector<std::string> enumerationSources;
  std::map<std::string, bool> nonblocking;
};
const Counters& counters();

// The name of the device a handle was opened on.
std::string openedOn(const pcap* handle);

}  // namespace fakepcap
