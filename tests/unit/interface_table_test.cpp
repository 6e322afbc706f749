#include "discovery/interface_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <set>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "tests/support/fake_pcap.h"

namespace {

using fakepcap::Device;
using fakepcap::ipv4;
using fakepcap::ipv6;

// Every case a device list can hold, one device each.
std::vector<Device> mixedDevices() {
  return {
      {.name = "eth0", .addresses = {ipv6("2001:db8::10"), ipv4("192.0.2.10"), ipv4("192.0.2.11")}},
      {.name = "broken", .activateStatus = PCAP_ERROR, .openError = "Can't create raw socket"},
      {.name = "nocompile", .addresses = {ipv4("192.0.2.20")}, .compileError = "syntax error"},
      {.name = "noinstall", .addresses = {ipv4("192.0.2.30")}, .installError = "not permitted"},
      {.name = "v6only", .addresses = {ipv6("2001:db8::40"), ipv6("fe80::1")}},
      {.name = "nosockaddr", .addresses = {fakepcap::withoutSocketAddress(), ipv4("198.51.100.5")}},
      {.name = "twin", .addresses = {ipv4("192.0.2.10")}},
      // Never opened: binding a queue would take the host's traffic, and
      // joining a bus would make its daemon queue every message for us.
      {.name = "nfqueue", .addresses = {ipv4("192.0.2.50")}},
      {.name = "rpcap://nfqueue:7"},
      {.name = "dbus-system"},
      {.name = "dbus://unix:path=/run/bus"},
  };
}

// Start-up's events, one line each: "kind device: detail".
class RecordedStartup {
 public:
  StartupOutput owner() {
    return [this](const StartupEvent& event) {
      static const char* const kinds[] = {"opened", "openFailed", "filterNotCompiled",
                                          "filterNotInstalled", "notNonBlocking"};
      lines += kinds[static_cast<int>(event.kind)] + (" " + event.device) +
               (event.detail.empty() ? "" : ": " + event.detail) + "\n";
    };
  }
  std::string lines;
};

class InterfaceTableTest : public ::testing::Test {
 protected:
  void SetUp() override { fakepcap::reset(); }

  // Devices are started from several threads, so lookups are recorded under
  // a lock and compared in order of address.
  InterfaceTable build() {
    InterfaceTable table = buildInterfaceTable(
        [this](const std::string& ip) {
          const std::lock_guard<std::mutex> lock(lookupsMutex);
          lookups.insert(ip);
          return "alias of " + ip + "\n";
        },
        startup.owner());
    return table;
  }

  std::mutex lookupsMutex;
  std::multiset<std::string> lookups;
  RecordedStartup startup;
};

TEST_F(InterfaceTableTest, ReportsEachDeviceInDeviceOrder) {
  fakepcap::setDevices(mixedDevices());
  build();
  EXPECT_EQ(startup.lines,
            "opened eth0\n"
            "openFailed broken: broken: Can't create raw socket\n"
            "filterNotCompiled nocompile: syntax error\n"
            "filterNotInstalled noinstall: not permitted\n"
            "opened v6only\n"
            "opened nosockaddr\n"
            "opened twin\n");
}

TEST_F(InterfaceTableTest, KeepsOneEntryPerUsableDeviceWithItsFirstIpv4Address) {
  fakepcap::setDevices(mixedDevices());
  const InterfaceTable table = build();
  ASSERT_EQ(table.count(), 3U);
  EXPECT_EQ(table.entries[0].ipAddress, "192.0.2.10");
  EXPECT_EQ(table.entries[1].ipAddress, "198.51.100.5");
  EXPECT_EQ(table.entries[2].ipAddress, "192.0.2.10");
  EXPECT_STREQ(table.entries[0].device->name, "eth0");
  EXPECT_STREQ(table.entries[1].device->name, "nosockaddr");
  EXPECT_STREQ(table.entries[2].device->name, "twin");
  EXPECT_EQ(table.entries[0].alias, "alias of 192.0.2.10\n");
  // Devices sharing an address are looked up and kept separately.
  EXPECT_EQ(lookups, (std::multiset<std::string>{"192.0.2.10", "198.51.100.5", "192.0.2.10"}));
}

TEST_F(InterfaceTableTest, OpensEveryDeviceWithTheScannerSettings) {
  fakepcap::setDevices(mixedDevices());
  const InterfaceTable table = build();
  const auto& seen = fakepcap::counters();
  EXPECT_EQ(seen.enumerations, 1);
#ifdef TARVEX_HAVE_PCAP_FINDALLDEVS_EX
  EXPECT_EQ(seen.enumerationSources, std::vector<std::string>{"rpcap://"});
#endif
  EXPECT_EQ(std::multiset<std::string>(seen.openedNames.begin(), seen.openedNames.end()),
            (std::multiset<std::string>{"eth0", "broken", "nocompile", "noinstall", "v6only",
                                        "nosockaddr", "twin"}));
  EXPECT_EQ(seen.compiledFilters, std::vector<std::string>(6, "udp dst port 1119"));
  // Room for about 30 datagrams; broken and v6only have no IPv4 to be read
  // on: they get the smallest buffer.
#ifdef _WIN32
  const int frames = 4096;
  const int least = 4096;
#else
  const int frames = 18 * 1024;
  const int least = static_cast<int>(sysconf(_SC_PAGESIZE));  // one page of ring
#endif
  EXPECT_EQ(seen.bufferSizes, (std::map<std::string, int>{{"eth0", frames},
                                                          {"broken", least},
                                                          {"nocompile", frames},
                                                          {"noinstall", frames},
                                                          {"v6only", least},
                                                          {"nosockaddr", frames},
                                                          {"twin", frames}}));
#ifndef _WIN32
  // Frames must be readable at the next poll, not when the kernel hands over
  // a block of them.
  EXPECT_EQ(seen.immediateMode.size(), 7U);
  for (const auto& [device, immediate] : seen.immediateMode) {
    EXPECT_TRUE(immediate) << device;
  }
#endif
  for (const auto& entry : table.entries) {
    EXPECT_EQ(fakepcap::openedOn(entry.handle.get()), entry.device->name);
  }
  // Every handle that opened and took the filter was made non-blocking.
  EXPECT_EQ(seen.nonblocking,
            (std::map<std::string, bool>{
                {"eth0", true}, {"v6only", true}, {"nosockaddr", true}, {"twin", true}}));
}

TEST_F(InterfaceTableTest, OpenFailuresReadAsTheLibrarysOwnOpenWouldPutThem) {
  fakepcap::setDevices({
      {.name = "rpcap://eth0",
       .activateStatus = PCAP_ERROR_PERM_DENIED,
       .openError = "socket: EPERM"},
      {.name = "eth1", .activateStatus = PCAP_ERROR_IFACE_NOT_UP},
      {.name = "eth2", .activateStatus = PCAP_ERROR_NO_SUCH_DEVICE, .openError = "gone"},
      {.name = "eth3", .activateStatus = PCAP_ERROR, .openError = std::string(400, 'x')},
      {.name = "eth5", .activateStatus = PCAP_ERROR_PERM_DENIED},
      {.name = "eth6", .activateStatus = PCAP_ERROR_NO_SUCH_DEVICE},
      {.name = "eth4", .addresses = {ipv4("192.0.2.4")}, .activateStatus = PCAP_WARNING},
  });
  const InterfaceTable table = build();
  const auto status = [](int code) { return "status " + std::to_string(code); };
  EXPECT_EQ(startup.lines, "openFailed rpcap://eth0: eth0: " + status(PCAP_ERROR_PERM_DENIED) +
                               " (socket: EPERM)\n"
                               "openFailed eth1: eth1: " +
                               status(PCAP_ERROR_IFACE_NOT_UP) +
                               "\n"
                               "openFailed eth2: eth2: " +
                               status(PCAP_ERROR_NO_SUCH_DEVICE) +
                               " (gone)\n"
                               "openFailed eth3: eth3: " +
                               std::string(PCAP_ERRBUF_SIZE - 1 - 6, 'x') +
                               "\n"
                               // An empty detail is left out, as libpcap 1.10.4 and later do.
                               "openFailed eth5: eth5: " +
                               status(PCAP_ERROR_PERM_DENIED) +
                               "\n"
                               "openFailed eth6: eth6: " +
                               status(PCAP_ERROR_NO_SUCH_DEVICE) +
                               "\n"
                               "opened eth4\n");
  EXPECT_EQ(table.count(), 1U);  // a warning is no failure
  // The local-device prefix is stripped before opening.
  EXPECT_EQ(std::count(fakepcap::counters().openedNames.begin(),
                       fakepcap::counters().openedNames.end(), "eth0"),
            1);
  EXPECT_EQ(fakepcap::counters().handlesLive, 1);
}

TEST_F(InterfaceTableTest, ReleasesWhatSkippedDevicesOpened) {
  fakepcap::setDevices(mixedDevices());
  InterfaceTable table = build();
  // Open: the three entries' handles and the IPv6-only device's, kept until
  // the table is released; filter failures are closed at once.
  EXPECT_EQ(fakepcap::counters().handlesLive, 4);
  EXPECT_EQ(fakepcap::counters().programsLive, 0);
  EXPECT_EQ(fakepcap::counters().listsLive, 1);
  releaseUnwatchedHandles(table);
  table.unwatchedRelease.wait();
  EXPECT_EQ(fakepcap::counters().handlesLive, 3);
  releaseInterfaceTable(table);
  EXPECT_EQ(fakepcap::counters().handlesLive, 0);
  EXPECT_EQ(fakepcap::counters().listsLive, 0);
  EXPECT_EQ(table.count(), 0U);
}

TEST_F(InterfaceTableTest, EmptyDeviceListGivesEmptyTableAndNoOutput) {
  const InterfaceTable table = build();
  EXPECT_EQ(table.count(), 0U);
  EXPECT_EQ(startup.lines, "");
  EXPECT_TRUE(lookups.empty());
}

TEST_F(InterfaceTableTest, AliasIsStoredExactlyAsTheLookupAnswers) {
  fakepcap::setDevices({{.name = "a", .addresses = {ipv4("192.0.2.1")}},
                        {.name = "b", .addresses = {ipv4("192.0.2.2")}}});
  const InterfaceTable table = buildInterfaceTable(
      [](const std::string& ip) { return ip == "192.0.2.1" ? std::string() : " two\nlines \n"; },
      startup.owner());
  ASSERT_EQ(table.count(), 2U);
  EXPECT_EQ(table.entries[0].alias, "");
  EXPECT_EQ(table.entries[1].alias, " two\nlines \n");
}

TEST_F(InterfaceTableTest, EnumerationFailureIsLeftToTheCallerWithTheLibrarysReason) {
  fakepcap::setDevices(mixedDevices());
  fakepcap::failEnumeration("Can't open device list");
  try {
    buildInterfaceTable([](const std::string&) { return ""; }, startup.owner());
    ADD_FAILURE() << "no EnumerationError";
  } catch (const EnumerationError& error) {
    EXPECT_STREQ(error.what(), "Can't open device list");
  }
  EXPECT_EQ(startup.lines, "");
  EXPECT_TRUE(fakepcap::counters().openedNames.empty());
}

// Whatever the other devices' lookups do meanwhile, the output holds every
// device before the failing one, its own line, and nothing after it.
TEST_F(InterfaceTableTest, LookupFailureStopsStartUp) {
  fakepcap::setDevices({{.name = "a", .addresses = {ipv4("192.0.2.1")}},
                        {.name = "down", .activateStatus = PCAP_ERROR_IFACE_NOT_UP},
                        {.name = "b", .addresses = {ipv4("192.0.2.2")}},
                        {.name = "c", .addresses = {ipv4("192.0.2.3")}}});
  EXPECT_THROW(buildInterfaceTable(
                   [](const std::string& ip) -> std::string {
                     if (ip == "192.0.2.2") {
                       throw CommandStartError("popen() failed!");
                     }
                     return "fine\n";
                   },
                   startup.owner()),
               CommandStartError);
  EXPECT_EQ(startup.lines,
            "opened a\n"
            "openFailed down: down: status " +
                std::to_string(PCAP_ERROR_IFACE_NOT_UP) +
                "\n"
                "opened b\n");
  EXPECT_EQ(fakepcap::counters().handlesLive, 0);
  EXPECT_EQ(fakepcap::counters().listsLive, 0);
}

}  // namespace
