#include "detection/detection_loop.h"

#include <gtest/gtest.h>
#include <pcap/dlt.h>

#include "tests/support/corpus.h"
#include "tests/support/fake_pcap.h"

namespace {

using fakepcap::ipv4;

const char* const kReportA =
    "Found a Tarvex Scanner Packet\n"
    "Adapter Name : Ethernet\n"
    "Adapter IP Address : 192.0.2.10\n"
    "Scanner IP Address : 192.0.2.77:50000\n\n";

class PollingCycleTest : public ::testing::Test {
 protected:
  void SetUp() override { fakepcap::reset(); }

  // A table over devices "a" (192.0.2.10, "Ethernet") and "b" (198.51.100.1, "Wi-Fi").
  InterfaceTable twoInterfaces(int linkTypeOfB = DLT_EN10MB) {
    fakepcap::setDevices(
        {{.name = "a", .addresses = {ipv4("192.0.2.10")}},
         {.name = "b", .addresses = {ipv4("198.51.100.1")}, .linkType = linkTypeOfB}});
    return buildQuietly(
        [](const std::string& ip) { return ip == "192.0.2.10" ? "Ethernet\n" : "Wi-Fi\n"; });
  }

  static InterfaceTable buildQuietly(const AliasLookup& lookup) {
    return buildInterfaceTable(lookup, [](const StartupEvent&) {});
  }

  static std::string pollOnce(const InterfaceTable& table, bool expectFrame) {
    std::string out;
    EXPECT_EQ(pollInterfacesOnce(table, [&out](std::string_view text) { out += text; }),
              expectFrame);
    return out;
  }
};

TEST_F(PollingCycleTest, EmptyTableReportsNothingReceived) {
  const InterfaceTable table = buildQuietly([](const std::string&) { return ""; });
  EXPECT_EQ(pollOnce(table, false), "Didn't receive any packet\n");
  EXPECT_EQ(pollOnce(table, false), "Didn't receive any packet\n");
}

TEST_F(PollingCycleTest, QuietInterfacesReportNothingReceived) {
  const InterfaceTable table = twoInterfaces();
  EXPECT_EQ(pollOnce(table, false), "Didn't receive any packet\n");
}

TEST_F(PollingCycleTest, FramesOnTwoInterfacesGiveTwoReportsInTableOrder) {
  const InterfaceTable table = twoInterfaces();
  fakepcap::queueFrame("b", corpus::frame("ethernet", 1));  // 4 bytes of options
  fakepcap::queueFrame("a", corpus::frame("ethernet", 0));
  EXPECT_EQ(pollOnce(table, true), std::string(kReportA) +
                                       "Found a Tarvex Scanner Packet\n"
                                       "Adapter Name : Wi-Fi\n"
                                       "Adapter IP Address : 198.51.100.1\n"
                                       "Scanner IP Address : 192.0.2.77:40004\n\n");
}

TEST_F(PollingCycleTest, OneFrameAnywhereSuppressesTheIdleLine) {
  const InterfaceTable table = twoInterfaces(DLT_LINUX_SLL2);
  fakepcap::queueFrame("b", corpus::frame("sll2", 0));
  EXPECT_EQ(pollOnce(table, true),
            "Found a Tarvex Scanner Packet\n"
            "Adapter Name : Wi-Fi\n"
            "Adapter IP Address : 198.51.100.1\n"
            "Scanner IP Address : 192.0.2.77:54000\n\n");
}

TEST_F(PollingCycleTest, BurstIsReportedOneFramePerCycle) {
  const InterfaceTable table = twoInterfaces();
  for (int i = 0; i < 3; ++i) {
    fakepcap::queueFrame("a", corpus::frame("ethernet", 0));
  }
  for (int cycle = 0; cycle < 3; ++cycle) {
    EXPECT_EQ(pollOnce(table, true), kReportA) << cycle;
  }
  EXPECT_EQ(pollOnce(table, false), "Didn't receive any packet\n");
}

TEST_F(PollingCycleTest, EmptyAliasJoinsTheNameAndAddressLines) {
  fakepcap::setDevices({{.name = "a", .addresses = {ipv4("192.0.2.10")}}});
  const InterfaceTable table = buildQuietly([](const std::string&) { return ""; });
  fakepcap::queueFrame("a", corpus::frame("ethernet", 0));
  EXPECT_EQ(pollOnce(table, true),
            "Found a Tarvex Scanner Packet\n"
            "Adapter Name : Adapter IP Address : 192.0.2.10\n"
            "Scanner IP Address : 192.0.2.77:50000\n\n");
}

TEST_F(PollingCycleTest, UndecodableFrameIsReportedWithoutMadeUpValues) {
  const InterfaceTable table = twoInterfaces();
  fakepcap::queueFrame("a", {0x02, 0, 0, 0, 0, 0x01});
  fakepcap::queueFrame("b", corpus::frame("forged", 0));  // IHL 0
  EXPECT_EQ(pollOnce(table, true),
            "Found a Tarvex Scanner Packet\n"
            "Adapter Name : Ethernet\n"
            "Adapter IP Address : 192.0.2.10\n\n"
            "Found a Tarvex Scanner Packet\n"
            "Adapter Name : Wi-Fi\n"
            "Adapter IP Address : 198.51.100.1\n\n");
}

}  // namespace
