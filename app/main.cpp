#include <cstdio>
#include <iostream>
#include <stdexcept>

#include "detection/detection_loop.h"
#include "discovery/interface_table.h"
#include "platform/platform.h"

int main() {
  if (!platform::prepareCaptureLibrary()) {
    return 1;
  }
  platform::installStopHandlers();
  try {
    InterfaceTable table = buildInterfaceTable();
    std::cout << "Found interfaces : " << table.count() << std::endl;
    table.releaseUnusedHandles();
    detectionLoop(table);
  } catch (const std::runtime_error& error) {
    // The alias command could not be started: start-up cannot go on.
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
  std::fflush(stdout);
  platform::shutdownComplete();
  return 0;
}
