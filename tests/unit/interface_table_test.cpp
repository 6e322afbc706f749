#include "discovery/interface_table.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "tests/support/fake_pcap.h"
#include "tests/support/output_capture.h"

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
  };
}

class InterfaceTableTest : public ::testing::Test {
 protected:
  void SetUp() override { fakepcap::reset(); }

  InterfaceTable build() {
    OutputCapture capture;
    InterfaceTable table = buildInterfaceTable([this](const std::string& ip) {
      lookups.push_back(ip);
      return "alias of " + ip + "\n";
    });
    streams = capture.finish();
    return table;
  }

  std::vector<std::string> lookups;
  OutputCapture::Result streams;
};

TEST_F(InterfaceTableTest, ReportsEachSkipOnItsStreamInDeviceOrder) {
  fakepcap::setDevices(mixedDevices());
  build();
  EXPECT_EQ(streams.out,
            "Fetching interfaces...\n"
            "pcap_open_live() failed due to [broken: Can't create raw socket]\n"
            "Fetching interfaces...\n"
            "Fetching interfaces...\n"
            "Fetching interfaces...\n");
  EXPECT_EQ(streams.err,
            "Couldn't parse filter udp dst port 1119: syntax error\n"
            "Couldn't install filter udp dst port 1119: not permitted\n");
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
  EXPECT_EQ(lookups, (std::vector<std::string>{"192.0.2.10", "198.51.100.5", "192.0.2.10"}));
}

TEST_F(InterfaceTableTest, OpensEveryDeviceWithTheScannerSettings) {
  fakepcap::setDevices(mixedDevices());
  const InterfaceTable table = build();
  const auto& seen = fakepcap::counters();
  EXPECT_EQ(seen.enumerations, 1);
#ifdef TARVEX_HAVE_PCAP_FINDALLDEVS_EX
  EXPECT_EQ(seen.enumerationSources, std::vector<std::string>{"rpcap://"});
#endif
  EXPECT_EQ(seen.openedNames, (std::vector<std::string>{"eth0", "broken", "nocompile", "noinstall",
                                                        "v6only", "nosockaddr", "twin"}));
  EXPECT_EQ(seen.compiledFilters, std::vector<std::string>(6, "udp dst port 1119"));
  // broken and v6only have no IPv4 to be read on: they get the smallest buffer.
  const int frames = 256 * 1024;
#ifdef _WIN32
  const int least = 4096;
#else
  const int least = static_cast<int>(sysconf(_SC_PAGESIZE));  // one page of ring
#endif
  EXPECT_EQ(seen.bufferSizes,
            (std::vector<int>{frames, least, frames, frames, least, frames, frames}));
#ifndef _WIN32
  // Frames must be readable at the next poll, not when the kernel hands over
  // a block of them.
  EXPECT_EQ(seen.immediateMode, std::vector<bool>(7, true));
#endif
  for (const auto& entry : table.entries) {
    EXPECT_EQ(fakepcap::openedOn(entry.handle.get()), entry.device->name);
  }
  // The kept handles (eth0, nosockaddr, twin) were made non-blocking.
  ASSERT_EQ(seen.nonblocking.size(), 7U);
  EXPECT_TRUE(seen.nonblocking[0]);
  EXPECT_TRUE(seen.nonblocking[5]);
  EXPECT_TRUE(seen.nonblocking[6]);
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
  const std::string status = "status ";
  EXPECT_EQ(
      streams.out,
      "pcap_open_live() failed due to [eth0: " + status + std::to_string(PCAP_ERROR_PERM_DENIED) +
          " (socket: EPERM)]\n" + "pcap_open_live() failed due to [eth1: " + status +
          std::to_string(PCAP_ERROR_IFACE_NOT_UP) + "]\n" +
          "pcap_open_live() failed due to [eth2: " + status +
          std::to_string(PCAP_ERROR_NO_SUCH_DEVICE) + " (gone)]\n" +
          "pcap_open_live() failed due to [eth3: " + std::string(PCAP_ERRBUF_SIZE - 1 - 6, 'x') +
          "]\n" +
          // An empty detail is left out, as libpcap 1.10.4 and later do.
          "pcap_open_live() failed due to [eth5: " + status +
          std::to_string(PCAP_ERROR_PERM_DENIED) + "]\n" +
          "pcap_open_live() failed due to [eth6: " + status +
          std::to_string(PCAP_ERROR_NO_SUCH_DEVICE) + "]\n" + "Fetching interfaces...\n");
  EXPECT_EQ(table.count(), 1U);  // a warning is no failure
  // The local-device prefix is stripped before opening.
  EXPECT_EQ(fakepcap::counters().openedNames.front(), "eth0");
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
  releaseInterfaceTable(table);
  EXPECT_EQ(fakepcap::counters().handlesLive, 0);
  EXPECT_EQ(fakepcap::counters().listsLive, 0);
  EXPECT_EQ(table.count(), 0U);
}

TEST_F(InterfaceTableTest, EmptyDeviceListGivesEmptyTableAndNoOutput) {
  const InterfaceTable table = build();
  EXPECT_EQ(table.count(), 0U);
  EXPECT_EQ(streams.out, "");
  EXPECT_EQ(streams.err, "");
  EXPECT_TRUE(lookups.empty());
}

TEST_F(InterfaceTableTest, AliasIsStoredExactlyAsTheLookupAnswers) {
  fakepcap::setDevices({{.name = "a", .addresses = {ipv4("192.0.2.1")}},
                        {.name = "b", .addresses = {ipv4("192.0.2.2")}}});
  OutputCapture capture;
  const InterfaceTable table = buildInterfaceTable(
      [](const std::string& ip) { return ip == "192.0.2.1" ? std::string() : " two\nlines \n"; });
  capture.finish();
  ASSERT_EQ(table.count(), 2U);
  EXPECT_EQ(table.entries[0].alias, "");
  EXPECT_EQ(table.entries[1].alias, " two\nlines \n");
}

TEST_F(InterfaceTableTest, EnumerationFailureIsLeftToTheCallerWithTheLibrarysReason) {
  fakepcap::setDevices(mixedDevices());
  fakepcap::failEnumeration("Can't open device list");
  OutputCapture capture;
  try {
    buildInterfaceTable([](const std::string&) { return ""; });
    ADD_FAILURE() << "no EnumerationError";
  } catch (const EnumerationError& error) {
    EXPECT_STREQ(error.what(), "Can't open device list");
  }
  const auto streams = capture.finish();
  EXPECT_EQ(streams.out + streams.err, "");
  EXPECT_TRUE(fakepcap::counters().openedNames.empty());
}

TEST_F(InterfaceTableTest, LookupFailureStopsStartUp) {
  fakepcap::setDevices({{.name = "a", .addresses = {ipv4("192.0.2.1")}},
                        {.name = "b", .addresses = {ipv4("192.0.2.2")}}});
  OutputCapture capture;
  EXPECT_THROW(buildInterfaceTable([](const std::string&) -> std::string {
                 throw CommandStartError("popen() failed!");
               }),
               CommandStartError);
  EXPECT_EQ(capture.finish().out, "Fetching interfaces...\n");
  EXPECT_EQ(fakepcap::counters().handlesLive, 0);
  EXPECT_EQ(fakepcap::counters().listsLive, 0);
}

}  // namespace
