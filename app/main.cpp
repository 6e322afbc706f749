#include <cstdio>
#include <stdexcept>
#include <string>

#include "detection/detection_loop.h"
#include "discovery/interface_table.h"
#include "platform/platform.h"

namespace {

void reportFailure(const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s\n", message.c_str());
}

// Start-up and detection until a stop is requested; the exit status.
int watchUntilStopped() {
  InterfaceTable table;
  int status = 0;
  try {
    table = buildInterfaceTable();
    // Writes nothing when start-up was cut short by a stop.
    if (platform::writeStandardOutput("Found interfaces : " + std::to_string(table.count()) +
                                      "\n")) {
      detectionLoop(table);
    }
  } catch (const platform::OutputError& error) {
    reportFailure(std::string("Couldn't write to standard output: ") + error.what());
    status = 1;
  } catch (const std::runtime_error& error) {
    // The alias command could not be started: start-up cannot go on.
    reportFailure(error.what());
    status = 1;
  }
  releaseInterfaceTable(table);
  return status;
}

}  // namespace

int main() {
  if (!platform::secureStandardDescriptors()) {
    return 1;
  }
  platform::raiseOpenFileLimit();
  if (!platform::prepareCaptureLibrary()) {
    return 1;
  }
  platform::installStopHandlers();
  const int status = watchUntilStopped();
  // Everything is released: on Windows the console may now be closed.
  platform::shutdownComplete();
  return status;
}
