#include "discovery/alias_lookup.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <exception>
#include <stdexcept>

namespace {

TEST(RunCommandCapture, ReturnsEveryLineUntouched) {
  EXPECT_EQ(runCommandCapture("printf 'Ethernet\\nWi-Fi 2\\n  spaced  \\n'"),
            "Ethernet\nWi-Fi 2\n  spaced  \n");
  EXPECT_EQ(runCommandCapture("printf 'no line end'"), "no line end");
}

TEST(RunCommandCapture, LongLinesArriveWhole) {
  const std::string longLine(300, 'x');
  EXPECT_EQ(runCommandCapture("printf '%s\\nshort\\n' " + longLine), longLine + "\nshort\n");
}

TEST(RunCommandCapture, EmptyOutputIsEmptyText) { EXPECT_EQ(runCommandCapture("true"), ""); }

TEST(RunCommandCapture, StandardErrorIsNotCaptured) {
  EXPECT_EQ(runCommandCapture("echo to-out; echo to-err >&2"), "to-out\n");
}

TEST(RunCommandCapture, FailingCommandStillYieldsItsOutput) {
  EXPECT_EQ(runCommandCapture("echo partial; exit 3"), "partial\n");
}

TEST(RunCommandCapture, RaisesWhenTheCommandCannotStart) {
  // Leave no descriptor free for the pipe, and give them back (and the
  // limit) before anything else looks at the outcome: a sanitizer's checks
  // need descriptors too.
  rlimit saved{};
  getrlimit(RLIMIT_NOFILE, &saved);
  const rlimit tight{64, saved.rlim_max};
  setrlimit(RLIMIT_NOFILE, &tight);
  std::vector<int> taken;
  for (int fd = dup(STDIN_FILENO); fd >= 0; fd = dup(STDIN_FILENO)) {
    taken.push_back(fd);
  }
  std::exception_ptr outcome;
  try {
    runCommandCapture("echo unreachable");
  } catch (...) {
    outcome = std::current_exception();
  }
  for (int fd : taken) {
    close(fd);
  }
  setrlimit(RLIMIT_NOFILE, &saved);
  ASSERT_TRUE(outcome) << "returned";
  try {
    std::rethrow_exception(outcome);
  } catch (const CommandStartError& error) {
    EXPECT_STREQ(error.what(), "popen() failed!");
  }
}

TEST(AliasCommand, IsThePowerShellPipelineByteForByte) {
  const std::string expected =
      "powershell \"Get-NetIPAddress -IPAddress '192.0.2.10' | %{$_.InterfaceAlias};\"";
  EXPECT_EQ(aliasCommandFor("192.0.2.10"), expected);
  EXPECT_EQ(aliasCommandFor("255.255.255.255")->size(), 41U + 15U + 26U);
  EXPECT_EQ(aliasCommandFor("0.0.0.0")->size(), 41U + 7U + 26U);
}

TEST(AliasCommand, RefusesAnythingButDottedDecimal) {
  for (const char* text : {"", "192.0.2", "192.0.2.10'; Remove-Item x; '", "192.0.2.10 ",
                           "0192.0.2.10", "192.0.2.256", "2001:db8::1", "host.example"}) {
    EXPECT_EQ(aliasCommandFor(text), std::nullopt) << text;
  }
}

TEST(AliasesHolding, NamesEveryInterfaceWithTheAddressOnceInListOrder) {
  const auto address = [](const char* text) {
    in_addr value{};
    inet_pton(AF_INET, text, &value);
    return value.s_addr;
  };
  const std::vector<platform::InterfaceAddress> interfaces{
      {"eth0", address("192.0.2.10")},     {"eth0", address("192.0.2.11")},
      {"veth-b", address("198.51.100.1")}, {"veth-a", address("192.0.2.10")},
      {"eth0", address("192.0.2.10")},  // again, with another prefix length
  };
  EXPECT_EQ(aliasesHolding(interfaces, "192.0.2.10"), "eth0\nveth-a\n");
  EXPECT_EQ(aliasesHolding(interfaces, "198.51.100.1"), "veth-b\n");
  EXPECT_EQ(aliasesHolding(interfaces, "203.0.113.1"), "");
  EXPECT_EQ(aliasesHolding(interfaces, "not an address"), "");
}

}  // namespace
